// The shell across whole runs of the application: start-up and shutdown in their order, the
// single-instance rule, the settings file (what a start reads, what each way of ending writes and
// what it leaves alone) and where the main frame places itself.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "panel/state.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "shell/main_frame.h"
#include "shell/profile.h"
#include "shell/settings.h"
#include "tests/support/app_fixture.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace kvntest {
namespace {

// ---- Start-up and shutdown ----

// Every "[section]key=value" of `want`, '|' between them, reads back from the settings file.
::testing::AssertionResult HasKeys(const std::string& path, const std::string& want) {
    for (size_t pos = 0; pos < want.size();) {
        const size_t end = std::min(want.find('|', pos), want.size());
        const std::string w = want.substr(pos, end - pos);
        pos = end + 1;
        const size_t close = w.find(']'), eq = w.find('=');
        const std::string section = w.substr(1, close - 1), key = w.substr(close + 1, eq - close - 1);
        if (kvn::profile::GetString(path, section, key, "<none>") != w.substr(eq + 1))
            return ::testing::AssertionFailure() << w << " missing";
    }
    return ::testing::AssertionSuccess();
}

// Key lines: no section name, pattern or value of ours holds an '='.
long KeyCount(const std::string& ini) { return std::count(ini.begin(), ini.end(), '='); }

bool HasSection(const std::string& ini, const std::string& section) {
    return ini.find("[" + section + "]") != std::string::npos;
}

class ShellTest : public AppTest {
protected:
    void TwoDevices() {
        sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        WriteIni("[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Synth\n");
    }
    void ExpectOneBox(const std::string& text, const std::string& caption) {
        ASSERT_EQ(sim::Boxes().size(), 1u);
        EXPECT_EQ(sim::Boxes()[0].text, text);
        EXPECT_EQ(sim::Boxes()[0].caption, caption);
        EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
    }
    // Three changes an orderly end must save.
    void ChangeThree() {
        Click(PointOf(HIT_FREQ_UP));
        Click(PointOf(HIT_KEY_DOWN));
        Click(PointOf(HIT_COLOR_2));
        sim::ClearLogs();
    }
    // A new life with this file, started.
    void StartWithFile(const std::string& text) {
        NextLife();
        WriteIni(text);
        ASSERT_TRUE(Start());
    }
    std::string EndByPlatform() {
        EXPECT_EQ(CloseByPlatform(), 0);
        return ReadIni();
    }
    std::string EndByPanel() {
        EXPECT_EQ(CloseByPanel(), 0);
        return ReadIni();
    }
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> entries;
        for (const auto& e : fs::directory_iterator(folder_)) entries.push_back(e.path().filename().string());
        std::sort(entries.begin(), entries.end());
        return entries;
    }
    // The frame on its own, as the framework creates it once the settings path is known.
    void UsePath() {
        theApp.m_IniPath = IniPath();
        g_WindowTitle = "KVN - Studio";
    }
    void DragBy(int dx, int dy) {
        const plat::Point grip = PointOf(HIT_MOVE);
        MoveTo(grip);
        Press();
        MoveTo({grip.x + dx, grip.y + dy});
        Release();
    }
};
using StartupTest = ShellTest;
using SettingsTest = ShellTest;
using MainFrameTest = ShellTest;

TEST_F(StartupTest, MessagesAppearInTheirOrderAroundTheWindow) {
    TwoDevices();
    sim::SetInputDevices({"Keyboard", "Pad"});
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    sim::SetOutputOpenResult(0, 7);
    sim::SetTimeCaps(2, 1000000);
    // Each box as caption, text and whether the frame exists, is shown and the timer runs.
    std::vector<std::string> seen;
    sim::SetBoxHook([&](const sim::Box& box) {
        seen.push_back(box.caption + "|" + box.text + "|" + std::to_string(sim::MainFrame() != nullptr) +
                       std::to_string(sim::Shown(sim::MainFrame())) + std::to_string(sim::TimerRunning()));
    });
    ASSERT_TRUE(Start());
    // The port failures come before any window exists, the timer warning after the window is shown
    // and before the timer runs.
    EXPECT_EQ(seen,
              (std::vector<std::string>{
                  "Korvane|The specified MIDI input device is already in use by another application.|000",
                  "Korvane|The specified MIDI output device can not be used|000",
                  "CMIDI::mf_TimerInitialize()|マルチメディア高精度タイマーが使用できません！|110"}));
    EXPECT_EQ(sim::Boxes().at(2).style, plat::kMbOk | plat::kMbIconWarning);
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
    // The output's start-up burst and tuning come before the frame's one-second pause.
    const auto& out = sim::OutputLog();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].kind, sim::Event::Open);
    ASSERT_EQ(sim::ShortMessages().size(), 48u + 90u);
    for (const auto& e : out) EXPECT_LT(e.timeUs, 1000000u);
    // The input is opened with the ports, silent until the very end of start-up.
    const auto& in = sim::InputLog();
    ASSERT_FALSE(in.empty());
    EXPECT_EQ(in[0].kind, sim::InKind::Open);
    EXPECT_LT(in[0].timeUs, 1000000u);
    EXPECT_FALSE(inputStartedAtWarning);
    EXPECT_GE(warningAt, 1000000u);
    EXPECT_EQ(in.back().kind, sim::InKind::Start);
    EXPECT_TRUE(sim::InputStarted());
    EXPECT_EQ(sim::ClaimedInstances(), (std::vector<std::string>{"KVN - Studio"}));
    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - Studio");
    EXPECT_EQ(g_LampMasterTune, 200);
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
            ExpectOneBox("KVN.exe is already starting.", "Korvane");
        } else {
            EXPECT_TRUE(sim::Boxes().empty());
        }
    }
}

TEST_F(StartupTest, RefusedSecondInstanceTouchesNothing) {
    TwoDevices();
    const std::string before = "[InitialSetting]\r\nMidiInDeviceName=Keyboard\r\ng_Frequency=4415\r\n";
    WriteIni(before);
    sim::SetOtherInstance("KVN - Studio");
    EXPECT_EQ(KvnMain(), 0);
    EXPECT_EQ(sim::Boxes().size(), 1u);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_EQ(sim::MainFrame(), nullptr);
    EXPECT_EQ(ReadIni(), before);
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"Bitmap", "KVN.ini"}));
    // Nor is a file created where there was none.
    fs::remove(IniPath());
    theApp.Reset();
    EXPECT_EQ(KvnMain(), 0);
    EXPECT_FALSE(fs::exists(IniPath()));
}

const std::string kFrameKeys = "[WindowPosition]left=590|[WindowPosition]top=445|[Window]Show=1";
const std::string kAllKeys =
    kFrameKeys +
    "|[InitialSetting]MidiInDeviceName=Keyboard|[InitialSetting]MidiOutDeviceName=Synth"
    "|[InitialSetting]g_PanelColor=2|[InitialSetting]g_Frequency=4405"
    "|[InitialSetting]g_KeyShift=-1|[InitialSetting]g_SkipF8=1|[InitialSetting]g_IconBlink=1";

TEST_F(StartupTest, PanelCloseClosesThePortsFirstThenWritesEveryKey) {
    TwoDevices();
    const std::string before = ReadIni();
    ASSERT_TRUE(Start());
    ChangeThree();
    MoveTo(PointOf(HIT_CLOSE));
    Press();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonUp, 0, 0);
    ASSERT_EQ(sim::PumpOne(), 1);
    // The release closed both ports and asked the frame to close once; nothing is written yet.
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_EQ(ReadIni(), before);
    EXPECT_EQ(std::count_if(
                  sim::Queue().begin(), sim::Queue().end(),
                  [](const sim::Posted& p) { return p.wnd == sim::MainFrame() && p.msg == plat::kWmClose; }),
              1);
    const int loop = plat::RunMessageLoop();
    EXPECT_EQ(loop, 0);
    // The frame wrote its keys when it was destroyed, the rest follows in ExitInstance.
    EXPECT_TRUE(HasKeys(IniPath(), kFrameKeys));
    EXPECT_FALSE(HasKeys(IniPath(), "[InitialSetting]g_Frequency=4405"));
    EXPECT_TRUE(sim::TimerRunning());
    EXPECT_EQ(theApp.ExitInstance(loop), 0);
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_TRUE(HasKeys(IniPath(), kAllKeys));
    EXPECT_EQ(KeyCount(ReadIni()), 3 + 7 + 9 + 9);
}

TEST_F(StartupTest, PlatformCloseWritesTheSameKeysButLeavesThePortsOpen) {
    TwoDevices();
    ASSERT_TRUE(Start());
    ChangeThree();
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 2);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Close);
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_TRUE(HasKeys(IniPath(), kAllKeys));
    EXPECT_EQ(KeyCount(ReadIni()), 3 + 7 + 9 + 9);
}

TEST_F(StartupTest, DeviceNamesStoredByAnEarlierVersionOpenTheirDevicesAndAreWrittenBackAsNamedNow) {
    sim::SetInputDevices({"Pad", "Keyboard"});
    sim::SetOutputDevices({"Other", "Synth"});
    sim::SetEarlierNames(true, {{"usb:Keyboard", "Keyboard"}});
    sim::SetEarlierNames(false, {{"usb:Synth", "Synth"}});
    WriteIni("[InitialSetting]\nMidiInDeviceName=usb:Keyboard\nMidiOutDeviceName=usb:Synth\n");
    ASSERT_TRUE(Start());
    EXPECT_EQ(sim::OpenInputDevice(), 1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Open);
    EXPECT_EQ(sim::OutputLog()[0].device, 1);
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_TRUE(HasKeys(IniPath(),
                        "[InitialSetting]MidiInDeviceName=Keyboard|[InitialSetting]MidiOutDeviceName=Synth"));
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
    ASSERT_FALSE(sim::Boxes().empty());
    EXPECT_EQ(sim::Boxes().back().text, "[Synth] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::Boxes().back().caption, "Korvane");
    EXPECT_EQ(ReadIni(), before);
}

TEST_F(StartupTest, MissingSkinEndsStartUpWithStatusOneAndSavesOnlyTheLoadedSettings) {
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    WriteIni(
        "[WindowPosition]\nleft=12\ntop=34\n[InitialSetting]\nMidiInDeviceName=Keyboard\n"
        "MidiOutDeviceName=Gone\ng_Frequency=4455\ng_PanelColor=7\n"
        "[Ignore these MIDI SysEx messages.]\n<User Define 1   >=F0 11 F7\n");
    RemoveSkinFile("07.bmp");
    EXPECT_EQ(KvnMain(), 1);
    ExpectOneBox("07.bmp file is not found.\nPlease defrost a KVN_xxx.zip file once again.", "KVN");
    // Start-up ended there: no timer, no input; the ports opened before the window stay open.
    EXPECT_FALSE(sim::TimerRunning());
    EXPECT_FALSE(sim::InputStarted());
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 2);
    // The output name as the ports left it.
    EXPECT_TRUE(HasKeys(
        IniPath(),
        "[WindowPosition]left=12|[InitialSetting]MidiInDeviceName=Keyboard"
        "|[InitialSetting]MidiOutDeviceName=Window's MIDI Mapper|[InitialSetting]g_Frequency=4455"
        "|[InitialSetting]g_PanelColor=0|[Ignore these MIDI SysEx messages.]<User Define 1   >=F0 11 F7"));
    EXPECT_TRUE(HasSection(ReadIni(), "After receiving these MIDI SysEx messages, Send master tune."));

    // Without a settings file no window keys are written.
    NextLife();
    fs::remove(IniPath());
    EXPECT_FALSE(Start());
    EXPECT_EQ(theApp.ExitInstance(0), 1);
    EXPECT_TRUE(HasSection(ReadIni(), "InitialSetting")) << ReadIni();
    EXPECT_FALSE(HasSection(ReadIni(), "Window"));
    EXPECT_FALSE(HasSection(ReadIni(), "WindowPosition"));
}

// ---- The settings file ----

const std::string kIgnore = "[Ignore these MIDI SysEx messages.]";
const std::string kTrigger = "[After receiving these MIDI SysEx messages, Send master tune.]";

// Written out here rather than taken from the engine, so that a slip in either shows.
const char* const kIgnoreKeys[9] = {"<XG  Master Tune1>", "<XG  Master Tune2>", "<GS  Master Tune >",
                                    "<GM1 Master Tune >", "<GM2 Master Tune >", "<User Define 1   >",
                                    "<User Define 2   >", "<User Define 3   >", "<User Define 4   >"};
const char* const kIgnorePatterns[5] = {
    "F0 43 ** ** 30 00 00 ** ** ** F7", "F0 43 ** ** 00 00 00 ** ** ** ** F7",
    "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7", "F0 7F ** ** 01 ** ** F7", "F0 7F ** ** 03 ** ** F7"};
const char* const kTriggerKeys[9] = {"<XG  Reset      >", "<GS  Reset      >", "<88  Reset      >",
                                     "<GM1 Reset      >", "<GM2 Reset      >", "<User Define 1  >",
                                     "<User Define 2  >", "<User Define 3  >", "<User Define 4  >"};
const char* const kTriggerPatterns[5] = {"F0 43 ** ** 00 00 7E 00 F7", "F0 41 ** ** 12 40 00 7F ** ** F7",
                                         "F0 41 ** ** 12 00 00 7F ** ** F7", "F0 7E ** ** 01 F7",
                                         "F0 7E ** ** 03 F7"};

// Every expected line appears in text, in this order (other lines may stand between them).
::testing::AssertionResult InOrder(const std::vector<std::string>& expected, const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = std::min(text.find('\n', pos), text.size());
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        pos = nl + 1;
    }
    size_t at = 0;
    for (const std::string& want : expected) {
        while (at < lines.size() && lines[at] != want) ++at;
        if (at == lines.size()) {
            return ::testing::AssertionFailure()
                   << "line \"" << want.substr(0, 80) << "\" missing or out of order in:\n"
                   << text.substr(0, 4000);
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
    return n;
}

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Section(const std::string& name, const std::string& body) {
    return "[" + name + "]" + kEol + body;
}
std::string Initial(const std::string& body) { return Section("InitialSetting", body); }

std::string FirstRunFile() {
    std::string s;
    for (const char* l : {"[WindowPosition]", "left=590", "top=445", "[Window]", "Show=1", "[InitialSetting]",
                          "MidiInDeviceName=", "MidiOutDeviceName=Window's MIDI Mapper", "g_PanelColor=1",
                          "g_Frequency=4400", "g_KeyShift=0", "g_SkipF8=1", "g_IconBlink=1"})
        s += l + kEol;
    s += kIgnore + kEol;
    for (int i = 0; i < 9; ++i)
        s += std::string(kIgnoreKeys[i]) + "=" + (i < 5 ? kIgnorePatterns[i] : "") + kEol;
    s += kTrigger + kEol;
    for (int i = 0; i < 9; ++i)
        s += std::string(kTriggerKeys[i]) + "=" + (i < 5 ? kTriggerPatterns[i] : "") + kEol;
    return s;
}

TEST_F(SettingsTest, FirstRunStartsWithDefaultsAndWritesEveryKeyInOrder) {
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    EXPECT_EQ(
        (std::vector<int32_t>{g_PanelColor, g_Frequency, g_KeyShift, g_SkipF8, g_IconBlink, g_WindowShow}),
        (std::vector<int32_t>{1, 4400, 0, 1, 1, 1}));
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(g_IgnoreTable[i], i < 5 ? kIgnorePatterns[i] : "") << i;
        EXPECT_EQ(g_TriggerTable[i], i < 5 ? kTriggerPatterns[i] : "") << i;
    }
    // Nothing is written while the system runs.
    Pump();
    sim::Tick(5);
    EXPECT_FALSE(fs::exists(IniPath()));

    EXPECT_EQ(EndByPanel(), FirstRunFile());
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"Bitmap", "KVN.ini"})) << "no temporary file left";
}

TEST_F(SettingsTest, HandEditedContentAndUserRowsSurviveRunsAndAChangeRewritesOnlyItsLine) {
    // Comments, blank lines, unknown keys in our sections and unknown sections between them.
    std::string edited;
    const std::string first = FirstRunFile();
    for (size_t pos = 0; pos < first.size();) {
        const size_t nl = first.find(kEol, pos);
        std::string l = first.substr(pos, nl - pos);
        pos = nl + kEol.size();
        // User rows filled in, the clock filter off.
        if (l.rfind("<User Define ", 0) == 0)
            l += "F0 7D " + std::to_string(l.size()) + l.substr(13, 1) + " F7";
        if (l == "g_SkipF8=1") l = "g_SkipF8=0";
        if (l == "[InitialSetting]")
            edited += "; my studio" + kEol + kEol + "[Other Program]" + kEol + "x = 1" + kEol + kEol;
        edited += l + kEol;
        if (l == "g_KeyShift=0") edited += "MyOwnKey=kept" + kEol + "; between keys" + kEol;
        if (l == "Show=1") edited += kEol;
        if (l == kIgnore) edited += "   ; indented comment" + kEol + "Unknown Row=F0 01 F7" + kEol;
    }
    edited += "; trailing comment" + kEol + "[Zeta]" + kEol + "no equals sign here" + kEol + "z=" + kEol;

    StartWithFile(edited);
    EXPECT_EQ(g_SkipF8, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(g_IgnoreTable[5 + i], "F0 7D 19" + std::to_string(i + 1) + " F7");
        EXPECT_EQ(g_TriggerTable[5 + i], "F0 7D 18" + std::to_string(i + 1) + " F7");
    }
    EXPECT_EQ(EndByPlatform(), edited);
    StartWithFile(edited);
    Click(PointOf(HIT_FREQ_UP));
    std::string changed = edited;
    changed.replace(changed.find("g_Frequency=4400"), 16, "g_Frequency=4405");
    EXPECT_EQ(EndByPanel(), changed);
}

// Range rules

struct RangeCase {
    const char* key;
    const char* stored;  // nullptr: the key is missing
    int32_t loaded;
};

int32_t Loaded(const std::string& key) {
    if (key == "g_PanelColor") return g_PanelColor;
    if (key == "g_Frequency") return g_Frequency;
    if (key == "g_KeyShift") return g_KeyShift;
    if (key == "g_SkipF8") return g_SkipF8;
    return g_IconBlink;
}

TEST_F(SettingsTest, RangeRulesAtTheirEdgesAndValuesWrittenBackCanonical) {
    const RangeCase cases[] = {{"g_Frequency", "4455", 4455},  {"g_Frequency", "4456", 4400},
                               {"g_Frequency", "4349", 4400},  {"g_Frequency", "4403", 4403},
                               {"g_Frequency", nullptr, 4400}, {"g_KeyShift", "-7", -7},
                               {"g_KeyShift", "7", 7},         {"g_KeyShift", "-8", 0},
                               {"g_KeyShift", "8", 0},         {"g_PanelColor", "4", 0},
                               {"g_PanelColor", "-1", 0},      {"g_PanelColor", "3", 3},
                               {"g_PanelColor", nullptr, 1},   {"g_SkipF8", "2", 1},
                               {"g_SkipF8", "0", 0},           {"g_SkipF8", "-1", 1},
                               {"g_IconBlink", "5", 5},        {"g_IconBlink", "-2147483648", INT32_MIN}};
    for (const RangeCase& c : cases) {
        const std::string key = c.key;
        SCOPED_TRACE(key + "=" + (c.stored ? c.stored : "<missing>"));
        // Another key keeps the section present when the tested one is missing.
        StartWithFile(Initial("Unrelated=1" + kEol + (c.stored ? key + "=" + c.stored + kEol : "")));
        EXPECT_EQ(Loaded(key), c.loaded);
        const std::string file = EndByPlatform();
        EXPECT_EQ(Count(file, key + "="), 1u) << file;
        EXPECT_TRUE(InOrder({"[InitialSetting]", "Unrelated=1", key + "=" + std::to_string(c.loaded)}, file));
    }
}

TEST_F(SettingsTest, ShowDecidesHowTheWindowStartsAndTheEndStateIsWritten) {
    for (const auto& [stored, iconic] : {std::pair{"0", true}, {"7", false}, {"-1", false}, {"", false}}) {
        SCOPED_TRACE(stored);
        NextLife();
        sim::SetInputDevices({"Keys"});
        WriteIni(Section("Window", "Show="s + stored + kEol));
        ASSERT_TRUE(Start());
        EXPECT_TRUE(sim::Shown(sim::MainFrame()));
        EXPECT_EQ(sim::Iconic(sim::MainFrame()), iconic);
        EXPECT_TRUE(sim::InputStarted()) << "minimised or not, the run is fully up";
        EXPECT_EQ(Count(EndByPlatform(), "Show="s + (iconic ? "0" : "1") + kEol), 1u) << ReadIni();
    }
}

// Pattern table rows

TEST_F(SettingsTest, LongUserRowsAreCutToFiftyCharactersAndWrittenBackCut) {
    const std::string sixty = "F0 43 10 4C 00 00 7E 00 F7 11 22 33 44 55 66 77 88 99 AA BBB";
    const std::string fifty = sixty.substr(0, 50);
    const std::string exact = "F0 41 10 42 12 40 00 7F 00 41 F7 01 02 03 04 05 F7";
    StartWithFile(Section("Ignore these MIDI SysEx messages.",
                          "<User Define 1   >=" + sixty + kEol + "<User Define 4   >=" + exact + "X" + kEol) +
                  Section("After receiving these MIDI SysEx messages, Send master tune.",
                          "<User Define 2  >=" + exact + kEol + "<User Define 3  >=" + sixty + kEol));
    EXPECT_EQ(g_IgnoreTable[5], fifty);
    EXPECT_EQ(g_IgnoreTable[8], exact);
    EXPECT_EQ(g_TriggerTable[6], exact);
    EXPECT_EQ(g_TriggerTable[7], fifty);
    const std::string file = EndByPlatform();
    EXPECT_TRUE(InOrder({kIgnore, "<User Define 1   >=" + fifty, "<User Define 4   >=" + exact, kTrigger,
                         "<User Define 2  >=" + exact, "<User Define 3  >=" + fifty},
                        file));
    EXPECT_EQ(file.find(sixty), std::string::npos);
    EXPECT_EQ(file.find(exact + "X"), std::string::npos);
}

TEST_F(SettingsTest, EditedFixedRowsHaveNoEffectAndAreRestored) {
    StartWithFile(Section("After receiving these MIDI SysEx messages, Send master tune.",
                          "<XG  Reset      >=F0 00 F7" + kEol + "<GM2 Reset      >=" + kEol) +
                  Section("Ignore these MIDI SysEx messages.", "<gs  master tune >=F0 41 F7" + kEol));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(g_IgnoreTable[i], kIgnorePatterns[i]) << i;
        EXPECT_EQ(g_TriggerTable[i], kTriggerPatterns[i]) << i;
    }
    const std::string file = EndByPlatform();
    EXPECT_EQ(file.find("F0 00 F7"), std::string::npos) << file;
    EXPECT_EQ(file.find("F0 41 F7"), std::string::npos) << file;
    EXPECT_EQ(Count(Lower(file), "<gs  master tune >="), 1u);
    // Restored where they stood: the edited rows are still the first lines of their sections.
    EXPECT_TRUE(InOrder({kTrigger, "<XG  Reset      >="s + kTriggerPatterns[0],
                         "<GM2 Reset      >="s + kTriggerPatterns[4], kIgnore},
                        file));
}

// Where the file is

TEST_F(SettingsTest, PathIsTheCurrentDirectoryAsReportedPlusTheFileName) {
    const struct {
        char sep;
        const char *dir, *path;
    } cases[] = {{'/', "/", "//KVN.ini"},
                 {'\\', "C:\\", "C:\\\\KVN.ini"},
                 {'\\', "D:\\Music\\Korvane", "D:\\Music\\Korvane\\KVN.ini"}};
    for (const auto& c : cases) {
        sim::SetPathSeparator(c.sep);
        sim::SetCurrentDir(c.dir);
        EXPECT_EQ(kvn::settings::FormPath(), c.path);
    }
}

// Failed writes

TEST_F(SettingsTest, AFileThatCannotBeWrittenEndsTheRunNormally) {
    // A folder where the file should be: nothing can be read or written there.
    fs::create_directory(IniPath());
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_PanelColor, 1);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_TRUE(fs::is_empty(IniPath()));
    EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"Bitmap", "KVN.ini"}));
}

// ---- The main frame ----

// The keys the frame writes, as they stand in the file.
std::string Written(int left, int top, int show) {
    return "[WindowPosition]" + kEol + "left=" + std::to_string(left) + kEol + "top=" + std::to_string(top) +
           kEol + "[Window]" + kEol + "Show=" + std::to_string(show) + kEol;
}

struct PlaceCase {
    const char* what;
    plat::Rect work;
    const char *left, *top;  // as stored; nullptr: missing
    int x, y;
};

TEST_F(MainFrameTest, PlacesItselfInsideTheWorkArea) {
    const plat::Rect hd = {0, 0, 1920, 1040}, off = {100, 50, 1100, 650};
    const PlaceCase cases[] = {
        {"first run", hd, nullptr, nullptr, 590, 445},
        {"stored place kept", hd, "100", "200", 100, 200},
        {"left of the work area", hd, "-500", "200", 0, 200},
        {"right of the work area", hd, "5000", "200", 1180, 200},
        {"one past the edges", hd, "1181", "891", 1180, 890},
        {"above", hd, "10", "-20", 10, 0},
        {"only left stored", hd, "33", nullptr, 33, 445},
        // Defaults centre on (right / 2, bottom / 2), not on the middle of the work area.
        {"work area not at 0,0", off, nullptr, nullptr, 180, 250},
        {"pulled to its right and bottom", off, "5000", "5000", 360, 500},
        // A hand-edited or damaged file: the place is still pulled inside, without overflow.
        {"largest stored place", hd, "2147483647", "2147483647", 1180, 890},
        {"smallest stored place", hd, "-2147483648", "-2147483648", 0, 0},
        // Right and bottom win on a work area smaller than the window.
        {"too small", {0, 0, 600, 100}, nullptr, nullptr, -140, -50},
        {"too small, not at 0,0", {200, 300, 800, 400}, "300", "350", 60, 250}};
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.what);
        NextLife();
        UsePath();
        sim::SetWorkArea(c.work);
        std::string ini = "[WindowPosition]" + kEol;
        if (c.left) ini += std::string("left=") + c.left + kEol;
        if (c.top) ini += std::string("top=") + c.top + kEol;
        if (c.left || c.top) {
            WriteIni(ini);
        } else {
            fs::remove(IniPath());
        }
        g_WindowPos = {-12345, -12345};
        CMainFrame frame;
        CreateStruct cs;
        EXPECT_TRUE(frame.PreCreateWindow(cs));
        EXPECT_EQ((std::vector<int>{cs.x, cs.y, cs.cx, cs.cy, g_WindowPos.x, g_WindowPos.y}),
                  (std::vector<int>{c.x, c.y, 740, 150, c.x, c.y}));
        EXPECT_EQ(cs.title, "KVN - Studio");
    }
}

TEST_F(MainFrameTest, DestroyingWritesThePlaceThenTheVisibility) {
    // Negative places are written as signed numbers; a minimised frame writes 0.
    const struct {
        plat::Rect work;
        int show, left, top, shown;
    } cases[] = {{{0, 0, 1920, 1040}, plat::kSwShow, 590, 445, 1},
                 {{0, 0, 600, 100}, plat::kSwMinimize, -140, -50, 0}};
    for (const auto& c : cases) {
        NextLife();
        UsePath();
        sim::SetWorkArea(c.work);
        CMainFrame frame;
        const uint64_t before = sim::NowUs();
        ASSERT_TRUE(frame.Create());
        EXPECT_EQ(sim::NowUs() - before, 1000000u) << "the pause passes in simulated time";
        EXPECT_FALSE(sim::Shown(frame.Hwnd())) << "hidden until start-up shows it";
        plat::ShowWindow(frame.Hwnd(), c.show);
        frame.DestroyWindow();
        EXPECT_TRUE(sim::Destroyed(frame.Hwnd()));
        EXPECT_EQ(ReadIni(), Written(c.left, c.top, c.shown));
    }
}

TEST_F(MainFrameTest, EndingMinimisedRemembersThePlaceAndStartsMinimisedThere) {
    WriteIni("[WindowPosition]" + kEol + "left=100" + kEol + "top=200" + kEol);
    ASSERT_TRUE(Start());
    DragBy(30, 20);
    Click(PointOf(HIT_MINIMIZE));
    ASSERT_TRUE(sim::Iconic(sim::MainFrame()));
    EXPECT_NE(EndByPlatform().find(Written(130, 220, 0)), std::string::npos) << ReadIni();

    NextLife();
    ASSERT_TRUE(Start());
    EXPECT_TRUE(sim::Iconic(sim::MainFrame()));
    plat::ShowWindow(sim::MainFrame(), plat::kSwShow);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, 130);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).top, 220);
    EXPECT_NE(EndByPanel().find(Written(130, 220, 1)), std::string::npos) << ReadIni();
}

TEST_F(MainFrameTest, OnlyCreationAndThePanelDragMoveTheRememberedPlace) {
    ASSERT_TRUE(Start());
    // The platform's own move command (the system menu, a window manager) moves the window only.
    plat::MoveWindow(sim::MainFrame(), 10, 20, 740, 150, true);
    Pump();
    sim::Tick(3);
    Pump();
    // Hovering and clicking elsewhere on the panel does not either.
    MoveTo(PointOf(HIT_MOVE));
    Click(PointOf(HIT_COLOR_2));
    EXPECT_EQ(g_WindowPos.x, 590);
    EXPECT_EQ(g_WindowPos.y, 445);
    // A drag step takes the window from wherever it stands.
    DragBy(5, -7);
    EXPECT_NE(EndByPlatform().find(Written(15, 13, 1)), std::string::npos) << ReadIni();
}

}  // namespace
}  // namespace kvntest
