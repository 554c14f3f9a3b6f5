// Start-up and shutdown of the whole application: what happens in which order, which messages the
// user meets, the single-instance rule, and what each way of ending leaves in "KVN.ini".
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
    size_t pos = 0;
    while (pos < ini.size()) {
        size_t end = ini.find('\n', pos);
        if (end == std::string::npos) end = ini.size();
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

bool Has(const std::vector<std::string>& keys, const std::string& key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool HasSection(const std::string& ini, const std::string& section) {
    return ini.find("[" + section + "]") != std::string::npos;
}

constexpr uint32_t kNoteOn = 0x00403C90;

class StartupTest : public AppTest {
protected:
    void TwoDevices() {
        sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        WriteIni("[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Synth\n");
    }
    bool FileExists() const { return std::filesystem::exists(IniPath()); }
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
    EXPECT_TRUE(seen[2].frame);
    EXPECT_TRUE(seen[2].shown);
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
    const auto shorts = sim::ShortMessages();
    ASSERT_EQ(shorts.size(), 48u + 90u);
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

TEST_F(StartupTest, MasterTuneLampShowsForTwoSecondsAfterStartUp) {
    TwoDevices();
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_LampMasterTune, 200);
    auto lampDrawn = [] {
        for (const auto& op : sim::DrawLog()) {
            if (op.kind == sim::DrawKind::Blt && op.src == "03.bmp") return true;
        }
        return false;
    };
    Pump();
    sim::Tick(199);
    Pump();
    sim::ClearDrawLog();
    plat::SendWindowMessage(sim::View(), plat::kWmPaint, 0, 0);
    EXPECT_TRUE(lampDrawn()) << "still lit after 1.99 s";
    sim::ClearDrawLog();
    sim::Tick(2);  // out at 2 s; the tick that sees it at 0 asks for the repaint
    EXPECT_EQ(sim::Pump(), 1);
    EXPECT_FALSE(lampDrawn());
    EXPECT_FALSE(sim::DrawLog().empty());
}

TEST_F(StartupTest, ShowZeroStartsMinimisedWithTimerLampAndInputRunning) {
    TwoDevices();
    WriteIni("[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Synth\n[Window]\nShow=0\n");
    ASSERT_TRUE(Start());
    EXPECT_TRUE(sim::Iconic(sim::MainFrame()));
    EXPECT_TRUE(sim::TimerRunning());
    EXPECT_EQ(g_LampMasterTune, 200);
    EXPECT_TRUE(sim::InputStarted());
    sim::ClearOutputLog();
    ASSERT_TRUE(sim::DeliverShort(kNoteOn));
    Pump();
    EXPECT_EQ(sim::ShortMessages().size(), 1u) << "MIDI flows while minimised";
    // Still minimised at the end: the next run starts minimised again.
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_TRUE(Has(Keys(ReadIni()), "[Window]Show=0"));
}

TEST_F(StartupTest, FoldersNamedAlikeRefuseEachOtherWhateverTheirPath) {
    sim::SetPathSeparator('\\');
    sim::SetCurrentDir("D:\\Music\\Studio");
    sim::SetOtherInstance("KVN - Studio");
    EXPECT_FALSE(Start());
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "KVN.exe is already starting.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");

    // At the root of a drive the folder name is empty.
    theApp.Reset();
    ResetProcessState();
    sim::Reset();
    sim::SetPathSeparator('\\');
    sim::SetCurrentDir("E:\\");
    sim::SetOtherInstance("KVN - ");
    EXPECT_FALSE(Start());
    EXPECT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(g_WindowTitle, "KVN - ");
}

TEST_F(StartupTest, AnotherFolderNameIsNoOtherInstance) {
    TwoDevices();
    sim::SetOtherInstance("KVN - Studio 2");
    sim::SetOtherInstance("KVN - studio");  // the title is matched exactly
    ASSERT_TRUE(Start());
    EXPECT_TRUE(sim::Boxes().empty());
}

TEST_F(StartupTest, RefusedSecondInstanceTouchesNothing) {
    TwoDevices();
    const std::string before =
        "[InitialSetting]\r\nMidiInDeviceName=Keyboard\r\nMidiOutDeviceName=Synth\r\ng_Frequency=4415\r\n";
    WriteIni(before);
    sim::SetOtherInstance("KVN - Studio");
    EXPECT_EQ(KvnMain(), 0);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "KVN.exe is already starting.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_EQ(sim::MainFrame(), nullptr);
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_EQ(ReadIni(), before);
    // Nor is a file created where there was none.
    std::filesystem::remove(IniPath());
    theApp.Reset();
    EXPECT_EQ(KvnMain(), 0);
    EXPECT_FALSE(FileExists());
}

// ---- Ways of ending ------------------------------------------------------------------------

const std::vector<std::string> kAllKeys = {
    "[WindowPosition]left=590",
    "[WindowPosition]top=445",
    "[Window]Show=1",
    "[InitialSetting]MidiInDeviceName=Keyboard",
    "[InitialSetting]MidiOutDeviceName=Synth",
    "[InitialSetting]g_PanelColor=2",
    "[InitialSetting]g_Frequency=4405",
    "[InitialSetting]g_KeyShift=-1",
    "[InitialSetting]g_SkipF8=1",
    "[InitialSetting]g_IconBlink=1",
};

TEST_F(StartupTest, PanelCloseClosesThePortsFirstThenWritesEveryKey) {
    TwoDevices();
    const std::string before = ReadIni();
    ASSERT_TRUE(Start());
    Click(PointOf(HIT_FREQ_UP));
    Click(PointOf(HIT_KEY_DOWN));
    Click(PointOf(HIT_COLOR_2));
    sim::ClearLogs();

    MoveTo(PointOf(HIT_CLOSE));
    Press();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonUp, 0, 0);
    ASSERT_EQ(sim::PumpOne(), 1);
    // The release closed both ports and asked the frame to close; nothing is written yet.
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_EQ(sim::OutputLog().back().kind, sim::Event::Close);
    EXPECT_EQ(ReadIni(), before);
    int closes = 0;
    for (const sim::Posted& p : sim::Queue())
        closes += (p.wnd == sim::MainFrame() && p.msg == plat::kWmClose);
    EXPECT_EQ(closes, 1);

    const int loop = plat::RunMessageLoop();
    EXPECT_EQ(loop, 0);
    EXPECT_TRUE(sim::Destroyed(sim::MainFrame()));
    // The frame wrote its keys when it was destroyed, the rest follows in ExitInstance.
    const auto written = Keys(ReadIni());
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(Has(written, kAllKeys[i])) << kAllKeys[i];
    EXPECT_FALSE(Has(written, "[InitialSetting]g_Frequency=4405"));
    EXPECT_TRUE(sim::TimerRunning());
    EXPECT_EQ(theApp.ExitInstance(loop), 0);
    EXPECT_FALSE(sim::TimerRunning());

    const auto keys = Keys(ReadIni());
    for (const std::string& key : kAllKeys) EXPECT_TRUE(Has(keys, key)) << key << "\n" << ReadIni();
    EXPECT_TRUE(HasSection(ReadIni(), "Ignore these MIDI SysEx messages."));
    EXPECT_TRUE(HasSection(ReadIni(), "After receiving these MIDI SysEx messages, Send master tune."));
}

TEST_F(StartupTest, PlatformCloseWritesTheSameKeysButLeavesThePortsOpen) {
    TwoDevices();
    ASSERT_TRUE(Start());
    Click(PointOf(HIT_FREQ_UP));
    Click(PointOf(HIT_KEY_DOWN));
    Click(PointOf(HIT_COLOR_2));
    sim::ClearLogs();
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Close);
    EXPECT_FALSE(sim::TimerRunning());
    const auto keys = Keys(ReadIni());
    for (const std::string& key : kAllKeys) EXPECT_TRUE(Has(keys, key)) << key << "\n" << ReadIni();
    EXPECT_EQ(keys.size(), 3u + 7u + 9u + 9u);
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
        "[WindowPosition]\nleft=12\ntop=34\n[Window]\nShow=1\n"
        "[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Gone\ng_Frequency=4455\ng_PanelColor="
        "7\n"
        "[Ignore these MIDI SysEx messages.]\n<User Define 1   >=F0 11 F7\n");
    RemoveSkinFile("07.bmp");
    EXPECT_EQ(KvnMain(), 1);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text,
              "07.bmp file is not found.\nPlease defrost a KVN_xxx.zip file once again.");
    EXPECT_EQ(sim::Boxes()[0].caption, "KVN");
    // Start-up ended there: nothing shown, no timer, no input.
    EXPECT_FALSE(sim::Shown(sim::MainFrame()));
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_FALSE(sim::InputStarted());
    // The ports opened before the window stay open until the process ends.
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);

    const std::string ini = ReadIni();
    const auto keys = Keys(ini);
    EXPECT_TRUE(Has(keys, "[WindowPosition]left=12")) << ini;
    EXPECT_TRUE(Has(keys, "[WindowPosition]top=34"));
    EXPECT_TRUE(Has(keys, "[InitialSetting]MidiInDeviceName=Keyboard"));
    EXPECT_TRUE(Has(keys, "[InitialSetting]MidiOutDeviceName=Window's MIDI Mapper"))
        << "as the ports left it";
    EXPECT_TRUE(Has(keys, "[InitialSetting]g_Frequency=4455"));
    EXPECT_TRUE(Has(keys, "[InitialSetting]g_PanelColor=0"));
    EXPECT_TRUE(Has(keys, "[InitialSetting]g_IconBlink=1"));
    EXPECT_TRUE(Has(keys, "[Ignore these MIDI SysEx messages.]<User Define 1   >=F0 11 F7"));
    EXPECT_TRUE(HasSection(ini, "After receiving these MIDI SysEx messages, Send master tune."));
}

TEST_F(StartupTest, MissingSkinWithoutASettingsFileWritesNoWindowKeys) {
    TwoDevices();
    std::filesystem::remove(IniPath());
    RemoveSkinFile("00.bmp");
    EXPECT_FALSE(Start());
    EXPECT_EQ(theApp.ExitInstance(0), 1);
    const std::string ini = ReadIni();
    EXPECT_TRUE(HasSection(ini, "InitialSetting")) << ini;
    EXPECT_FALSE(HasSection(ini, "Window"));
    EXPECT_FALSE(HasSection(ini, "WindowPosition"));
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
    EXPECT_TRUE(Has(Keys(ReadIni()), "[Window]Show=1"));
}

}  // namespace
}  // namespace kvntest
