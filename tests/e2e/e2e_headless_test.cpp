// kvn --headless, started as its systemd user unit starts it (the unit's ExecStart line, with the
// launcher of this build in place of the installed one), over JACK and without any X server: a
// display that is named but served by nobody must not even be knocked at.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// The unit file with the launcher of this build (written into `dir`) in place of /usr/bin/korvane.
std::string UnitFor(const std::string& dir) {
    const fs::path program(KVN_PROGRAM);
    std::string launcher = ReadText(std::string(KVN_SOURCE_DIR) + "/platform/sdl/korvane.sh");
    launcher = Replaced(launcher, "$here/@KVN_REL_PROGRAM@", program.string());
    launcher = Replaced(launcher, "$here/@KVN_REL_SKIN@", (program.parent_path() / "Bitmap").string());
    const std::string path = dir + "/korvane-launcher";
    std::ofstream(path, std::ios::binary) << launcher;
    chmod(path.c_str(), 0755);
    return Replaced(ReadText(std::string(KVN_SOURCE_DIR) + "/platform/sdl/korvane.service"),
                    "/usr/bin/korvane", path);
}

// The words of the unit's ExecStart line.
std::vector<std::string> ExecStart(const std::string& unit) {
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("ExecStart=", 0) != 0) continue;
        std::istringstream words(line.substr(10));
        std::vector<std::string> command;
        for (std::string word; words >> word;) command.push_back(word);
        return command;
    }
    return {};
}

// An X display that nobody serves: a socket on the loopback where its clients would connect.
class DeadDisplay {
public:
    DeadDisplay() {
        for (int n = 70; n < 100 && name_.empty(); ++n) {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(6000 + n));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 4) == 0) {
                name_ = "127.0.0.1:" + std::to_string(n);
            } else {
                close(fd_);
                fd_ = -1;
            }
        }
    }
    ~DeadDisplay() {
        if (fd_ >= 0) close(fd_);
    }
    const std::string& Name() const { return name_; }
    bool Knocked() {
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return false;
        close(c);
        return true;
    }

private:
    int fd_ = -1;
    std::string name_;
};

class Headless : public KvnTest {
protected:
    // Starts the unit's command (with `extra` words) in the launcher's default folder, which holds
    // `settings`, and waits until it has opened its ports.
    void StartUnit(const std::string& settings, const std::vector<std::string>& extra = {}) {
        ASSERT_TRUE(player.Ok()) << "no MIDI system";
        ASSERT_FALSE(display.Name().empty());
        kvn = std::make_unique<Kvn>("korvane", settings);
        // The launcher's folder: ${XDG_DATA_HOME}/korvane.
        setenv("XDG_DATA_HOME", fs::path(kvn->Dir()).parent_path().c_str(), 1);
        if (nameDisplay) setenv("DISPLAY", display.Name().c_str(), 1);
        std::vector<std::string> command = ExecStart(UnitFor(fs::path(kvn->Dir()).parent_path()));
        ASSERT_FALSE(command.empty()) << "no ExecStart line";
        command.insert(command.end(), extra.begin(), extra.end());
        ASSERT_TRUE(kvn->Start(command));
        ASSERT_TRUE(kvntest::PollUntil([&] { return Said("ports opened") || !kvn->Running(); }))
            << kvn->Log();
        ASSERT_TRUE(kvn->Running()) << kvn->Log();
    }

    bool Said(const std::string& text) const { return kvn->Log().find(text) != std::string::npos; }

    // SIGTERM: what the exit button does (the notes ended on the output, status 0, the settings
    // saved), and the display never tried.
    void Stop(kvntest::MidiClient& out) {
        std::remove((kvn->Dir() + "/KVN.ini").c_str());
        out.Clear();
        kvn->Signal(SIGTERM);
        EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
        const std::vector<Bytes> heard = Out(out, 32);
        for (uint8_t controller : {123, 120}) {
            for (const Bytes& b : OnAllChannels(controller))
                EXPECT_NE(std::find(heard.begin(), heard.end(), b), heard.end()) << Show({b}) << " missing";
        }
        EXPECT_FALSE(display.Knocked()) << "the display was tried";
        EXPECT_EQ(kvn->Log().find("\x1b"), std::string::npos) << "escape codes on stderr";
    }

    static std::vector<Bytes> Out(kvntest::MidiClient& out, size_t count) {
        kvntest::PollUntil([&] { return Played(out).size() >= count; }, std::chrono::seconds(15));
        std::vector<Bytes> v = Played(out);
        v.erase(std::remove(v.begin(), v.end(), Bytes{0xFE}), v.end());
        return v;
    }

    static std::vector<Bytes> Greeting() {
        return Concat({OnAllChannels(123), OnAllChannels(120), OnAllChannels(121), TuningAll(440.0)});
    }

    DeadDisplay display;
    bool nameDisplay = true;  // else no DISPLAY at all, as run_with.sh leaves it
};

TEST_F(Headless, NotesPassTransposedAndSigtermSavesThePortsGivenOnTheCommandLine) {
    ASSERT_NO_FATAL_FAILURE(
        StartUnit("[InitialSetting]\ng_KeyShift=2\n", {"--in", player.OutPort(), "--out", sink.InPort()}));
    EXPECT_TRUE(Said("korvane: started")) << kvn->Log();
    ASSERT_TRUE(WaitLive(player, sink)) << kvn->Log();
    player.Send({0x90, 60, 100});
    EXPECT_EQ(Out(sink, 1), (std::vector<Bytes>{{0x90, 62, 100}})) << Show(Played(sink));
    Stop(sink);
    const std::string ini = kvn->Ini();
    EXPECT_EQ(IniValue(ini, "InitialSetting", "MidiInDeviceName"), player.OutPort()) << ini;
    EXPECT_EQ(IniValue(ini, "InitialSetting", "MidiOutDeviceName"), sink.InPort()) << ini;
    EXPECT_EQ(IniValue(ini, "InitialSetting", "g_KeyShift"), "2") << ini;
}

// A board that boots before its sound module: the output stays chosen, and is greeted and linked
// when it appears.
TEST_F(Headless, AnOutputAbsentAtStartIsGreetedWhenItAppearsThenNotesPass) {
    ASSERT_NO_FATAL_FAILURE(
        StartUnit("[InitialSetting]\nMidiInDeviceName=kvnplay:out\nMidiOutDeviceName=latesink:in\n"));
    EXPECT_TRUE(Said("out latesink:in (not there yet")) << kvn->Log();
    kvntest::MidiClient late("latesink");
    ASSERT_TRUE(late.Ok());
    EXPECT_EQ(Out(late, Greeting().size()), Greeting()) << Show(Played(late));
    EXPECT_TRUE(kvntest::PollUntil([&] { return Said("device back: latesink:in"); })) << kvn->Log();
    ASSERT_TRUE(WaitLive(player, late)) << kvn->Log();
    player.Send({0x90, 64, 99});
    EXPECT_EQ(Out(late, 1), (std::vector<Bytes>{{0x90, 64, 99}})) << Show(Played(late));
    Stop(late);
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "MidiOutDeviceName"), "latesink:in");
}

TEST_F(Headless, TheJackServerKilledAndStartedAgainBringsMidiBack) {
    if (kvntest::MidiClient::Alsa()) GTEST_SKIP() << "about the JACK server";
    nameDisplay = false;
    ASSERT_NO_FATAL_FAILURE(StartUnit(Settings()));
    ASSERT_TRUE(WaitLive(player, sink)) << kvn->Log();
    const char* pid = std::getenv("KVN_TEST_JACKD_PID");
    const pid_t jackd = pid != nullptr ? pid_t(std::atoi(pid)) : 0;
    ASSERT_GT(jackd, 0);
    ASSERT_EQ(kill(jackd, SIGKILL), 0);
    ASSERT_TRUE(kvntest::PollUntil([&] { return kvntest::ProcessGone(jackd); }));
    player.Abandon();
    sink.Abandon();
    EXPECT_TRUE(kvntest::PollUntil([&] { return Said("korvane: The JACK server has stopped"); }))
        << kvn->Log();
    ASSERT_TRUE(kvn->Running()) << kvn->Log();

    kvntest::JackServer server;
    ASSERT_TRUE(server.Start({})) << "no second server";
    kvntest::MidiClient player2("kvnplay"), sink2("kvnsink");
    ASSERT_TRUE(player2.Ok() && sink2.Ok());
    EXPECT_TRUE(WaitLive(player2, sink2, false)) << "MIDI did not come back\n" << kvn->Log();
    EXPECT_TRUE(kvntest::PollUntil([&] { return Said("device back: kvnsink:in"); })) << kvn->Log();
    Stop(sink2);
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "MidiOutDeviceName"), "kvnsink:in");
}

// The unit as systemd reads it (the manual page it names belongs to the installed package).
TEST(HeadlessUnit, PassesSystemdAnalyzeVerify) {
    if (kvntest::Run("command -v systemd-analyze >/dev/null") != 0) GTEST_SKIP() << "no systemd-analyze";
    const std::string dir = kvntest::ScratchDir();
    std::ofstream(dir + "/korvane.service", std::ios::binary) << UnitFor(dir);
    const std::string out =
        kvntest::Output("systemd-analyze verify --man=no " + dir + "/korvane.service 2>&1; echo rc=$?");
    EXPECT_NE(out.find("rc=0"), std::string::npos) << out;
}

}  // namespace
}  // namespace e2e
