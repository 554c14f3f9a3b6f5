// kvn when what it depends on goes away while it runs: the JACK server, a device's client, the
// display; and the stop signals.
#include <signal.h>

#include <cstdlib>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using Faults = KvnTest;

constexpr int kInputName = 220, kClose = 100, kPanic = 90;

pid_t ServerPid(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr ? pid_t(std::atoi(value)) : 0;
}

TEST_F(Faults, WhenTheJackServerStopsThePanelSaysSoAndStaysUsable) {
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

TEST_F(Faults, ADeviceLeavingWhileOpenOnlySilencesItsSide) {
    Launch(Settings());
    player.Close();  // the input's device
    kvn->Click(ControlAt(kPanic));
    const std::vector<Bytes> out = Out(32);
    EXPECT_EQ(out, Concat({OnAllChannels(123), OnAllChannels(120)})) << Show(out);
    ASSERT_TRUE(kvn->Running());

    kvntest::JackClient watcher("kvnwatch");
    sink.Close();  // the output's device
    ASSERT_TRUE(kvntest::PollUntil([&] { return !watcher.PortExists("kvnsink:in"); }));
    kvn->Click(ControlAt(kPanic));
    ASSERT_TRUE(watcher.WaitCycles(4));
    EXPECT_TRUE(kvn->Running()) << kvn->Log();
    EXPECT_FALSE(BoxShown("Korvane"));

    kvn->Click(ControlAt(kClose));
    EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
    EXPECT_FALSE(watcher.PortExists("KVN:out"));
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

TEST_F(Faults, AStopSignalClosesInOrder) {
    Launch(Settings("g_KeyShift=-3\n"));
    kvn->Signal(SIGINT);
    EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "g_KeyShift"), "-3");
    EXPECT_FALSE(sink.PortExists("KVN:out"));
}

TEST_F(Faults, ASecondStopSignalEndsAProgramThatCannotCloseYet) {
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
