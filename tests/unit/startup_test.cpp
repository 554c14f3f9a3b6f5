// Start-up and shutdown of the whole application: what happens in which order, which messages the
// user meets, the single-instance rule, and what each way of ending leaves in "KVN.ini".
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

// "[section]key=value" for every key line of a settings text, in file order.
std::vector<std::string> Keys(const std::string& ini) {
    std::vector<std::string> keys;
    std::string section;
    for (size_t pos = 0; pos < ini.size();) {
        const size_t end = std::min(ini.find('\n', pos), ini.size());
        std::string line = ini.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        pos = end + 1;
        if (line.empty()) continue;
        if (line.front() == '[') {
            section = line;
        } else {
            keys.push_back(section + line);
        }
    }
    return keys;
}

// Every one of `want` is a key line of the file.
::testing::AssertionResult HasKeys(const std::string& ini, const std::vector<std::string>& want) {
    const std::vector<std::string> keys = Keys(ini);
    for (const std::string& w : want) {
        if (std::find(keys.begin(), keys.end(), w) == keys.end())
            return ::testing::AssertionFailure() << w << " missing in:\n" << ini;
    }
    return ::testing::AssertionSuccess();
}

bool HasSection(const std::string& ini, const std::string& section) {
    return ini.find("[" + section + "]") != std::string::npos;
}

const std::string kMissing07 = "07.bmp file is not found.\nPlease defrost a KVN_xxx.zip file once again.";

class StartupTest : public AppTest {
protected:
    void TwoDevices() {
        sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        WriteIni("[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Synth\n");
    }
    void ExpectOneBox(const std::string& text, const std::string& caption, uint32_t style) {
        ASSERT_EQ(sim::Boxes().size(), 1u);
        EXPECT_EQ(sim::Boxes()[0].text, text);
        EXPECT_EQ(sim::Boxes()[0].caption, caption);
        EXPECT_EQ(sim::Boxes()[0].style, style);
    }
    // Three changes an orderly end must save.
    void ChangeThree() {
        Click(PointOf(HIT_FREQ_UP));
        Click(PointOf(HIT_KEY_DOWN));
        Click(PointOf(HIT_COLOR_2));
        sim::ClearLogs();
    }
};

// ---- Start-up ------------------------------------------------------------------------------

TEST_F(StartupTest, MessagesAppearInTheirOrderAroundTheWindow) {
    TwoDevices();
    sim::SetInputDevices({"Keyboard", "Pad"});
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    sim::SetOutputOpenResult(0, 7);
    sim::SetTimeCaps(2, 1000000);
    struct Seen {
        std::string caption, text;
        bool frame, shown, timer;
    };
    std::vector<Seen> seen;
    sim::SetBoxHook([&](const sim::Box& box) {
        seen.push_back({box.caption, box.text, sim::MainFrame() != nullptr, sim::Shown(sim::MainFrame()),
                        sim::TimerRunning()});
    });
    ASSERT_TRUE(Start());
    ASSERT_EQ(seen.size(), 3u);
    // The port failures come before any window exists...
    EXPECT_EQ(seen[0].text, "The specified MIDI input device is already in use by another application.");
    EXPECT_EQ(seen[0].caption, "Korvane");
    EXPECT_FALSE(seen[0].frame);
    EXPECT_EQ(seen[1].text, "The specified MIDI output device can not be used");
    EXPECT_FALSE(seen[1].frame);
    // ...the timer warning after the window is shown and before the timer runs.
    EXPECT_EQ(seen[2].caption, "CMIDI::mf_TimerInitialize()");
    EXPECT_EQ(seen[2].text, "マルチメディア高精度タイマーが使用できません！");
    EXPECT_EQ(sim::Boxes()[2].style, plat::kMbOk | plat::kMbIconWarning);
    EXPECT_TRUE(seen[2].frame && seen[2].shown);
    EXPECT_FALSE(seen[2].timer);
    EXPECT_TRUE(sim::TimerRunning());
    // The failed output was replaced by the mapper; the failed input was not replaced.
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_FALSE(sim::InputStarted());
}

TEST_F(StartupTest, OutputIsTunedBeforeTheWindowAndInputStartsLast) {
    TwoDevices();
    sim::SetTimeCaps(2, 1000000);
    bool inputStartedAtWarning = true;
    uint64_t warningAt = 0;
    sim::SetBoxHook([&](const sim::Box&) {
        inputStartedAtWarning = sim::InputStarted();
        warningAt = sim::NowUs();
    });
    ASSERT_TRUE(Start());

    // Nothing leaves before the output is open; its start-up burst and tuning come before the
    // frame's one-second pause, so before any window exists.
    const auto& out = sim::OutputLog();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].kind, sim::Event::Open);
    EXPECT_EQ(out[0].device, 0);
    ASSERT_EQ(sim::ShortMessages().size(), 48u + 90u);
    for (const auto& e : out) EXPECT_LT(e.timeUs, 1000000u);
    EXPECT_GE(sim::NowUs(), 1000000u);

    // The input is opened with the ports, silent until the very end of start-up.
    const auto& in = sim::InputLog();
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(in[0].kind, sim::InKind::Open);
    EXPECT_LT(in[0].timeUs, 1000000u);
    EXPECT_FALSE(inputStartedAtWarning);
    EXPECT_GE(warningAt, 1000000u);
    EXPECT_EQ(in.back().kind, sim::InKind::Start);
    EXPECT_GE(in.back().timeUs, warningAt);
    EXPECT_TRUE(sim::InputStarted());

    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - Studio");
    EXPECT_EQ(sim::ClaimedInstances(), (std::vector<std::string>{"KVN - Studio"}));
    EXPECT_TRUE(sim::Shown(sim::MainFrame()));
    EXPECT_FALSE(sim::Iconic(sim::MainFrame()));
    EXPECT_EQ(sim::BeginPeriodCalls(), 1);
}

TEST_F(StartupTest, OnlyAnotherInstanceWithExactlyTheSameTitleRefusesTheStart) {
    const struct {
        char sep;         // 0: the host's, for the test's own folder
        const char* dir;  // nullptr: the test's own folder, "Studio"
        std::vector<std::string> others;
        bool refused;
        const char* title;
    } cases[] = {
        {'\\', "D:\\Music\\Studio", {"KVN - Studio"}, true, "KVN - Studio"},  // whatever the path
        {'\\', "E:\\", {"KVN - "}, true, "KVN - "},  // at the root of a drive the folder name is empty
        {'/', "/", {"KVN - "}, true, "KVN - "},
        {0, nullptr, {"KVN - Studio 2", "KVN - studio"}, false, "KVN - Studio"}  // matched exactly
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        NextLife();
#ifdef _WIN32
        sim::SetPathSeparator(c.sep != 0 ? c.sep : '\\');
#else
        sim::SetPathSeparator(c.sep != 0 ? c.sep : '/');
#endif
        if (c.dir) sim::SetCurrentDir(c.dir);
        for (const std::string& other : c.others) sim::SetOtherInstance(other);
        EXPECT_EQ(Start(), !c.refused);
        EXPECT_EQ(g_WindowTitle, c.title);
        if (c.refused) {
            ExpectOneBox("KVN.exe is already starting.", "Korvane", plat::kMbOk);
        } else {
            EXPECT_TRUE(sim::Boxes().empty());
            EXPECT_EQ(CloseByPlatform(), 0);
        }
    }
}

TEST_F(StartupTest, RefusedSecondInstanceTouchesNothing) {
    TwoDevices();
    const std::string before =
        "[InitialSetting]\r\nMidiInDeviceName=Keyboard\r\nMidiOutDeviceName=Synth\r\ng_Frequency=4415\r\n";
    WriteIni(before);
    sim::SetOtherInstance("KVN - Studio");
    EXPECT_EQ(KvnMain(), 0);
    ExpectOneBox("KVN.exe is already starting.", "Korvane", plat::kMbOk);
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_EQ(sim::MainFrame(), nullptr);
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_EQ(ReadIni(), before);
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(folder_), std::filesystem::directory_iterator()),
        2);
    // Nor is a file created where there was none.
    std::filesystem::remove(IniPath());
    theApp.Reset();
    EXPECT_EQ(KvnMain(), 0);
    EXPECT_FALSE(std::filesystem::exists(IniPath()));
}

// ---- Ways of ending ------------------------------------------------------------------------

const std::vector<std::string> kAllKeys = {"[WindowPosition]left=590",
                                           "[WindowPosition]top=445",
                                           "[Window]Show=1",
                                           "[InitialSetting]MidiInDeviceName=Keyboard",
                                           "[InitialSetting]MidiOutDeviceName=Synth",
                                           "[InitialSetting]g_PanelColor=2",
                                           "[InitialSetting]g_Frequency=4405",
                                           "[InitialSetting]g_KeyShift=-1",
                                           "[InitialSetting]g_SkipF8=1",
                                           "[InitialSetting]g_IconBlink=1"};

TEST_F(StartupTest, PanelCloseClosesThePortsFirstThenWritesEveryKey) {
    TwoDevices();
    const std::string before = ReadIni();
    ASSERT_TRUE(Start());
    ChangeThree();

    MoveTo(PointOf(HIT_CLOSE));
    Press();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonUp, 0, 0);
    ASSERT_EQ(sim::PumpOne(), 1);
    // The release closed both ports and asked the frame to close; nothing is written yet.
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_EQ(sim::OutputLog().back().kind, sim::Event::Close);
    EXPECT_EQ(ReadIni(), before);
    EXPECT_EQ(std::count_if(
                  sim::Queue().begin(), sim::Queue().end(),
                  [](const sim::Posted& p) { return p.wnd == sim::MainFrame() && p.msg == plat::kWmClose; }),
              1);

    const int loop = plat::RunMessageLoop();
    EXPECT_EQ(loop, 0);
    EXPECT_TRUE(sim::Destroyed(sim::MainFrame()));
    // The frame wrote its keys when it was destroyed, the rest follows in ExitInstance.
    EXPECT_TRUE(HasKeys(ReadIni(), {kAllKeys[0], kAllKeys[1], kAllKeys[2]}));
    EXPECT_FALSE(HasKeys(ReadIni(), {"[InitialSetting]g_Frequency=4405"}));
    EXPECT_TRUE(sim::TimerRunning());
    EXPECT_EQ(theApp.ExitInstance(loop), 0);
    EXPECT_FALSE(sim::TimerRunning());

    EXPECT_TRUE(HasKeys(ReadIni(), kAllKeys));
    EXPECT_TRUE(HasSection(ReadIni(), "Ignore these MIDI SysEx messages."));
    EXPECT_TRUE(HasSection(ReadIni(), "After receiving these MIDI SysEx messages, Send master tune."));
}

TEST_F(StartupTest, PlatformCloseWritesTheSameKeysButLeavesThePortsOpen) {
    TwoDevices();
    ASSERT_TRUE(Start());
    ChangeThree();
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Close);
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_TRUE(HasKeys(ReadIni(), kAllKeys));
    EXPECT_EQ(Keys(ReadIni()).size(), 3u + 7u + 9u + 9u);
}

TEST_F(StartupTest, HungOutputEndsTheProcessWithStatusOneAndSavesNothing) {
    TwoDevices();
    const std::string before = ReadIni();
    sim::SetOutputLongMode(0, sim::LongMode::Block);
    ASSERT_TRUE(Start());
    Click(PointOf(HIT_FREQ_UP));  // a change that would be saved by an orderly end
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));
    int status = -1;
    try {
        Pump();
    } catch (const sim::ProcessExit& exit) {
        status = exit.status;
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(sim::ExitStatus(), 1);
    ASSERT_FALSE(sim::Boxes().empty());
    EXPECT_EQ(sim::Boxes().back().text, "[Synth] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::Boxes().back().caption, "Korvane");
    EXPECT_EQ(ReadIni(), before);
    EXPECT_EQ(sim::OpenOutputs(), 1);
}

TEST_F(StartupTest, MissingSkinEndsStartUpWithStatusOneAndSavesOnlyTheLoadedSettings) {
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    WriteIni(
        "[WindowPosition]\nleft=12\ntop=34\n[Window]\nShow=1\n[InitialSetting]\nMidiInDeviceName=Keyboard\n"
        "MidiOutDeviceName=Gone\ng_Frequency=4455\ng_PanelColor=7\n"
        "[Ignore these MIDI SysEx messages.]\n<User Define 1   >=F0 11 F7\n");
    RemoveSkinFile("07.bmp");
    EXPECT_EQ(KvnMain(), 1);
    ExpectOneBox(kMissing07, "KVN", plat::kMbOk);
    // Start-up ended there: nothing shown, no timer, no input.
    EXPECT_FALSE(sim::Shown(sim::MainFrame()));
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_FALSE(sim::InputStarted());
    // The ports opened before the window stay open until the process ends.
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);
    // The output name as the ports left it.
    EXPECT_TRUE(HasKeys(
        ReadIni(),
        {"[WindowPosition]left=12", "[WindowPosition]top=34", "[InitialSetting]MidiInDeviceName=Keyboard",
         "[InitialSetting]MidiOutDeviceName=Window's MIDI Mapper", "[InitialSetting]g_Frequency=4455",
         "[InitialSetting]g_PanelColor=0", "[InitialSetting]g_IconBlink=1",
         "[Ignore these MIDI SysEx messages.]<User Define 1   >=F0 11 F7"}));
    EXPECT_TRUE(HasSection(ReadIni(), "After receiving these MIDI SysEx messages, Send master tune."));

    // Without a settings file no window keys are written.
    NextLife();
    std::filesystem::remove(IniPath());
    RemoveSkinFile("00.bmp");
    EXPECT_FALSE(Start());
    EXPECT_EQ(theApp.ExitInstance(0), 1);
    EXPECT_TRUE(HasSection(ReadIni(), "InitialSetting")) << ReadIni();
    EXPECT_FALSE(HasSection(ReadIni(), "Window"));
    EXPECT_FALSE(HasSection(ReadIni(), "WindowPosition"));
}

TEST_F(StartupTest, AWholeRunThroughKvnMainEndsWithTheLoopsCode) {
    TwoDevices();
    // The user closes the panel while the timer warning is up; the loop then ends with 0.
    sim::SetTimeCaps(2, 1000000);
    sim::SetBoxHook([this](const sim::Box&) {
        const plat::Point p = PointOf(HIT_CLOSE);
        const intptr_t lp = (p.x & 0xFFFF) | ((p.y & 0xFFFF) << 16);
        plat::PostWindowMessage(sim::View(), plat::kWmMouseMove, 0, lp);
        plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, lp);
        plat::PostWindowMessage(sim::View(), plat::kWmLButtonUp, 0, lp);
    });
    EXPECT_EQ(KvnMain(), 0);
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_EQ(sim::EndPeriodCalls(), 1);
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_TRUE(HasKeys(ReadIni(), {"[Window]Show=1"}));
}

}  // namespace
}  // namespace kvntest
