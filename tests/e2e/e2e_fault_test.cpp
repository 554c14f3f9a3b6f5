// kvn when what it depends on goes away while it runs: the JACK server (stopped, or killed and
// started again), a device's client (and its coming back), the display; and a second stop signal.
#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kInputName = 220, kClose = 100, kPanic = 90;

class Faults : public KvnTest {
protected:
    // The close button after a fault: status 0, and both ports still the ones the user chose.
    void CloseKeepingThePorts() {
        kvn->Click(ControlAt(kClose));
        EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
        EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "MidiInDeviceName"), "kvnplay:out");
        EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "MidiOutDeviceName"), "kvnsink:in");
    }
};

pid_t ServerPid(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr ? pid_t(std::atoi(value)) : 0;
}

TEST_F(Faults, WhenTheJackServerStopsThePanelSaysSoAndStaysUsable) {
    if (kvntest::MidiClient::Alsa()) GTEST_SKIP() << "about the JACK server";
    Launch(Settings());
    const pid_t jackd = ServerPid("KVN_TEST_JACKD_PID");
    ASSERT_GT(jackd, 0);
    ASSERT_EQ(kill(jackd, SIGTERM), 0);
    EXPECT_TRUE(kvntest::PollUntil([] { return BoxShown("Korvane"); }, std::chrono::seconds(20)))
        << "no message";
    EXPECT_TRUE(DismissBox("Korvane"));
    ASSERT_TRUE(kvn->Running()) << kvn->Log();

    // Every control still answers: a command to the gone output, the picker over a gone server.
    kvn->Click(ControlAt(kPanic));
    kvn->Click(ControlAt(kInputName));
    EXPECT_TRUE(kvntest::PollUntil([] { return kvntest::Viewable("KVN list"); })) << "no picker";
    kvntest::Xdotool("key Escape");
    EXPECT_TRUE(kvntest::PollUntil([] { return !kvntest::Viewable("KVN list"); }));
    ASSERT_TRUE(kvn->Running()) << kvn->Log();
    EXPECT_FALSE(BoxShown("Korvane")) << "a second message";

    kvn->Click(ControlAt(kClose));
    EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "MidiInDeviceName"), "kvnplay:out");
}

// Unplugged: a device leaving while open only silences its side. Plugged in again: it is linked
// again by itself; choosing it once more in the picker changes nothing and keeps it working.
TEST_F(Faults, ADeviceThatLeavesOnlySilencesItsSideAndIsLinkedAgainWhenItComesBack) {
    Launch(Settings());
    player.Close();  // the input's device
    kvn->Click(ControlAt(kPanic));
    EXPECT_EQ(Out(32), Concat({OnAllChannels(123), OnAllChannels(120)})) << Show(Played(sink));
    kvntest::MidiClient player2("kvnplay");
    ASSERT_EQ(player2.Name(), "kvnplay");
    EXPECT_TRUE(WaitLive(player2, sink)) << "the input did not come back";

    sink.Close();  // the output's device
    ASSERT_TRUE(kvntest::PollUntil([&] { return !player2.PortExists("kvnsink:in"); }));
    kvn->Click(ControlAt(kPanic));
    ASSERT_TRUE(player2.WaitCycles(4));
    ASSERT_TRUE(kvn->Running()) << kvn->Log();
    kvntest::MidiClient sink2("kvnsink");
    ASSERT_EQ(sink2.Name(), "kvnsink");
    EXPECT_TRUE(WaitLive(player2, sink2)) << "the output did not come back";

    const std::vector<std::string> rows = InputRows(sink2);
    const auto row = int(std::find(rows.begin(), rows.end(), "kvnplay:out") - rows.begin());
    ASSERT_LT(row, int(rows.size()));
    ASSERT_TRUE(PickRow(*kvn, ControlAt(kInputName), row)) << "no picker";
    EXPECT_TRUE(WaitLive(player2, sink2));
    player2.Send({0x94, 61, 33});
    ASSERT_TRUE(Settle(player2, sink2));
    EXPECT_EQ(Played(sink2), (std::vector<Bytes>{{0x94, 61, 33}})) << Show(Played(sink2));
    EXPECT_FALSE(BoxShown("Korvane"));
    // The first click after the picker counts.
    CloseKeepingThePorts();
    EXPECT_FALSE(sink2.PortExists("KVN:out"));
}

// The server killed outright, so that no client is told in order: one message, every control
// answers meanwhile, and once a server of that name runs again, Korvane takes up its ports by
// itself and MIDI flows again, without another message.
TEST_F(Faults, TheJackServerKilledAndStartedAgainBringsMidiBack) {
    if (kvntest::MidiClient::Alsa()) GTEST_SKIP() << "about the JACK server";
    Launch(Settings());
    const pid_t jackd = ServerPid("KVN_TEST_JACKD_PID");
    ASSERT_GT(jackd, 0);
    ASSERT_EQ(kill(jackd, SIGKILL), 0);
    ASSERT_TRUE(kvntest::PollUntil([&] { return kvntest::ProcessGone(jackd); }));
    player.Abandon();
    sink.Abandon();
    EXPECT_TRUE(kvntest::PollUntil([] { return BoxShown("Korvane"); }, std::chrono::seconds(20)))
        << "no message";
    EXPECT_TRUE(DismissBox("Korvane"));
    ASSERT_TRUE(kvn->Running()) << kvn->Log();
    for (int i = 0; i < 3; ++i) kvn->Click(ControlAt(kPanic));
    kvn->Click(ControlAt(kInputName));
    EXPECT_TRUE(kvntest::PollUntil([] { return kvntest::Viewable("KVN list"); })) << "no picker";
    kvntest::Xdotool("key Escape");
    EXPECT_TRUE(kvntest::PollUntil([] { return !kvntest::Viewable("KVN list"); }));

    kvntest::JackServer server;
    ASSERT_TRUE(server.Start({})) << "no second server";
    kvntest::MidiClient player2("kvnplay"), sink2("kvnsink");
    ASSERT_TRUE(player2.Ok() && sink2.Ok());
    EXPECT_TRUE(WaitLive(player2, sink2)) << "MIDI did not come back\n" << kvn->Log();
    // Choosing the input again in the picker (the port in use) keeps it working.
    const std::vector<std::string> rows = InputRows(sink2);
    const auto row = int(std::find(rows.begin(), rows.end(), "kvnplay:out") - rows.begin());
    ASSERT_LT(row, int(rows.size()));
    ASSERT_TRUE(PickRow(*kvn, ControlAt(kInputName), row)) << "no picker";
    ASSERT_TRUE(Settle(player2, sink2));
    sink2.Clear();
    player2.Send({0x90, 64, 99});
    ASSERT_TRUE(Settle(player2, sink2));
    EXPECT_EQ(Played(sink2), (std::vector<Bytes>{{0x90, 64, 99}})) << Show(Played(sink2));
    EXPECT_FALSE(BoxShown("Korvane")) << "a second message";

    CloseKeepingThePorts();
}

TEST_F(Faults, WhenTheDisplayGoesAwayTheSettingsAreSavedAndTheProgramEnds) {
    Launch(Settings("g_Frequency=4430\n"));
    std::remove((kvn->Dir() + "/KVN.ini").c_str());
    const pid_t xvfb = ServerPid("KVN_TEST_XVFB_PID");
    ASSERT_GT(xvfb, 0);
    ASSERT_EQ(kill(xvfb, SIGTERM), 0);
    EXPECT_EQ(kvn->WaitExit(), 1) << kvn->Log();
    EXPECT_NE(kvn->Log().find("the display has gone away"), std::string::npos) << kvn->Log();
    const std::string ini = kvn->Ini();
    EXPECT_EQ(IniValue(ini, "InitialSetting", "g_Frequency"), "4430");
    EXPECT_EQ(IniValue(ini, "WindowPosition", "left"), "100");
    EXPECT_EQ(IniValue(ini, "Window", "Show"), "1");
    // Its clients left the server with it.
    EXPECT_TRUE(kvntest::PollUntil([&] { return !sink.PortExists("KVN:out"); }));
}

TEST_F(Faults, ASecondStopSignalEndsAProgramThatCannotCloseYet) {
    if (kvntest::MidiClient::Alsa()) GTEST_SKIP() << "held up by the JACK server's message";
    Launch(Settings());
    // The message about the server holds the program until it is answered.
    ASSERT_EQ(kill(ServerPid("KVN_TEST_JACKD_PID"), SIGTERM), 0);
    ASSERT_TRUE(kvntest::PollUntil([] { return BoxShown("Korvane"); }, std::chrono::seconds(20)));
    kvn->Signal(SIGTERM);
    EXPECT_TRUE(kvntest::PollUntil([&] { return !kvntest::Viewable(kvn->Title()); }))
        << "the panel did not close";
    EXPECT_TRUE(kvn->Running());
    kvn->Signal(SIGTERM);
    EXPECT_EQ(kvn->WaitExit(), 128 + SIGTERM) << kvn->Log();
}

}  // namespace
}  // namespace e2e
