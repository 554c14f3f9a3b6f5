// The settings file across whole runs of the application: what a start reads, what an orderly end
// writes, and what it must leave alone.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "shell/settings.h"
#include "tests/support/app_fixture.h"

namespace fs = std::filesystem;

namespace kvntest {
namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

const char* const kIgnore = "[Ignore these MIDI SysEx messages.]";
const char* const kTrigger = "[After receiving these MIDI SysEx messages, Send master tune.]";

// Written out here rather than taken from the engine, so that a slip in either shows.
const char* const kIgnoreKeys[9] = {
    "<XG  Master Tune1>", "<XG  Master Tune2>", "<GS  Master Tune >", "<GM1 Master Tune >", "<GM2 Master Tune >",
    "<User Define 1   >", "<User Define 2   >", "<User Define 3   >", "<User Define 4   >",
};
const char* const kIgnorePatterns[5] = {
    "F0 43 ** ** 30 00 00 ** ** ** F7",        "F0 43 ** ** 00 00 00 ** ** ** ** F7",
    "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7", "F0 7F ** ** 01 ** ** F7",
    "F0 7F ** ** 03 ** ** F7",
};
const char* const kTriggerKeys[9] = {
    "<XG  Reset      >", "<GS  Reset      >", "<88  Reset      >", "<GM1 Reset      >", "<GM2 Reset      >",
    "<User Define 1  >", "<User Define 2  >", "<User Define 3  >", "<User Define 4  >",
};
const char* const kTriggerPatterns[5] = {
    "F0 43 ** ** 00 00 7E 00 F7", "F0 41 ** ** 12 40 00 7F ** ** F7", "F0 41 ** ** 12 00 00 7F ** ** F7",
    "F0 7E ** ** 01 F7",          "F0 7E ** ** 03 F7",
};

// Lines as the file holds them, without their line breaks.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        pos = nl + 1;
    }
    return lines;
}

// Every expected line appears in text, in this order (other lines may stand between them).
::testing::AssertionResult InOrder(const std::vector<std::string>& expected, const std::string& text) {
    const std::vector<std::string> lines = Lines(text);
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

class SettingsTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        Devices();
    }

    void Devices() {
        sim::SetInputDevices(inputs_);
        sim::SetOutputDevices(outputs_);
    }

    void NextLife() {
        AppTest::NextLife();
        Devices();
    }

    // Starts, ends through the platform's close command, returns the file.
    std::string Run() {
        EXPECT_TRUE(Start());
        EXPECT_EQ(CloseByPlatform(), 0);
        return ReadIni();
    }

    std::string Section(const std::string& name, const std::string& body) { return "[" + name + "]" + kEol + body; }

    std::vector<std::string> inputs_;
    std::vector<std::string> outputs_;
};

std::string FirstRunFile() {
    std::string s;
    auto line = [&s](const std::string& l) { s += l + kEol; };
    line("[WindowPosition]");
    line("left=590");
    line("top=445");
    line("[Window]");
    line("Show=1");
    line("[InitialSetting]");
    line("MidiInDeviceName=");
    line("MidiOutDeviceName=Window's MIDI Mapper");
    line("g_PanelColor=1");
    line("g_Frequency=4400");
    line("g_KeyShift=0");
    line("g_SkipF8=1");
    line("g_IconBlink=1");
    line(kIgnore);
    for (int i = 0; i < 9; ++i) line(std::string(kIgnoreKeys[i]) + "=" + (i < 5 ? kIgnorePatterns[i] : ""));
    line(kTrigger);
    for (int i = 0; i < 9; ++i) line(std::string(kTriggerKeys[i]) + "=" + (i < 5 ? kTriggerPatterns[i] : ""));
    return s;
}

// ---------------------------------------------------------------------------------------------
// First run and the stable round trip

TEST_F(SettingsTest, FirstRunStartsWithDefaultsAndWritesEveryKeyInOrder) {
    for (const char* key : kIgnoreKeys) ASSERT_EQ(std::string(key).size(), 18u) << key;
    for (const char* key : kTriggerKeys) ASSERT_EQ(std::string(key).size(), 17u) << key;

    ASSERT_TRUE(Start());
    EXPECT_EQ(g_MidiInDeviceName, "");
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    EXPECT_EQ(g_PanelColor, 1);
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_EQ(g_KeyShift, 0);
    EXPECT_EQ(g_SkipF8, 1);
    EXPECT_EQ(g_IconBlink, 1);
    EXPECT_EQ(g_WindowShow, 1);
    EXPECT_TRUE(sim::Shown(sim::MainFrame()));
    EXPECT_FALSE(sim::Iconic(sim::MainFrame()));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(g_IgnoreTable[i], kIgnorePatterns[i]) << i;
        EXPECT_EQ(g_TriggerTable[i], kTriggerPatterns[i]) << i;
    }
    for (int i = 5; i < 9; ++i) {
        EXPECT_EQ(g_IgnoreTable[i], "") << i;
        EXPECT_EQ(g_TriggerTable[i], "") << i;
    }
    // Nothing is written while the system runs.
    EXPECT_FALSE(fs::exists(IniPath()));
    Pump();
    sim::Tick(5);
    EXPECT_FALSE(fs::exists(IniPath()));

    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_EQ(ReadIni(), FirstRunFile());
    // No temporary file or anything else is left beside it.
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(folder_)) entries.push_back(e.path().filename().string());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"Bitmap", "KVN.ini"}));
}

TEST_F(SettingsTest, HandEditedContentSurvivesUnchangedRuns) {
    // A file as a previous run left it, then edited by hand: comments, blank lines, unknown keys in
    // our sections and unknown sections between them.
    std::string edited;
    for (const std::string& l : Lines(FirstRunFile())) {
        if (l == "[InitialSetting]") edited += "; my studio" + kEol + kEol + "[Other Program]" + kEol + "x = 1" + kEol + kEol;
        edited += l + kEol;
        if (l == "g_KeyShift=0") edited += "MyOwnKey=kept" + kEol + "; between keys" + kEol;
        if (l == "Show=1") edited += kEol;
        if (l == kIgnore) edited += "   ; indented comment" + kEol + "Unknown Row=F0 01 F7" + kEol;
    }
    edited += "; trailing comment" + kEol + "[Zeta]" + kEol + "no equals sign here" + kEol + "z=" + kEol;
    WriteIni(edited);

    EXPECT_EQ(Run(), edited);
    NextLife();
    EXPECT_EQ(Run(), edited);

    // A change rewrites its own line and nothing else.
    NextLife();
    ASSERT_TRUE(Start());
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(CloseByPanel(), 0);
    std::string changed = edited;
    changed.replace(changed.find("g_Frequency=4400"), 16, "g_Frequency=4405");
    EXPECT_EQ(ReadIni(), changed);
}

TEST_F(SettingsTest, ClosingByThePlatformSavesExactlyAsThePanelDoes) {
    inputs_ = {"Keys"};
    outputs_ = {"Synth A", "Synth B"};
    const std::string start = Section("InitialSetting", "MidiOutDeviceName=Synth B" + kEol + "g_KeyShift=-3" + kEol) +
                              "; note" + kEol;
    NextLife();
    WriteIni(start);
    ASSERT_TRUE(Start());
    Click(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string byPanel = ReadIni();

    NextLife();
    WriteIni(start);
    ASSERT_TRUE(Start());
    Click(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_EQ(ReadIni(), byPanel);
    EXPECT_TRUE(InOrder({"[InitialSetting]", "MidiOutDeviceName=Synth B", "g_KeyShift=-3", "MidiInDeviceName=Keys",
                         "g_Frequency=4395", "; note", "[WindowPosition]"},
                        byPanel))
        << byPanel;
}

// ---------------------------------------------------------------------------------------------
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
    if (key == "g_IconBlink") return g_IconBlink;
    return g_WindowShow;
}

TEST_F(SettingsTest, RangeRulesAtTheirEdges) {
    const RangeCase cases[] = {
        {"g_Frequency", "4455", 4455}, {"g_Frequency", "4456", 4400}, {"g_Frequency", "4350", 4350},
        {"g_Frequency", "4349", 4400}, {"g_Frequency", "4401", 4401}, {"g_Frequency", "4403", 4403},
        {"g_Frequency", "-4400", 4400}, {"g_Frequency", nullptr, 4400}, {"g_Frequency", "", 4400},
        {"g_KeyShift", "-7", -7},      {"g_KeyShift", "7", 7},        {"g_KeyShift", "-8", 0},
        {"g_KeyShift", "8", 0},        {"g_KeyShift", nullptr, 0},
        {"g_PanelColor", "4", 0},      {"g_PanelColor", "-1", 0},     {"g_PanelColor", "3", 3},
        {"g_PanelColor", "0", 0},      {"g_PanelColor", nullptr, 1},  {"g_PanelColor", "", 1},
        {"g_SkipF8", "2", 1},          {"g_SkipF8", "0", 0},          {"g_SkipF8", "-1", 1},
        {"g_SkipF8", nullptr, 1},
        {"g_IconBlink", "5", 5},       {"g_IconBlink", "0", 0},       {"g_IconBlink", "-2147483648", INT32_MIN},
        {"g_IconBlink", nullptr, 1},
    };
    // Each rule looks only at its own key, so one run can try one case of every key at once.
    std::vector<std::vector<RangeCase>> rounds;
    for (const RangeCase& c : cases) {
        size_t r = 0;
        while (r < rounds.size() && std::any_of(rounds[r].begin(), rounds[r].end(),
                                                [&](const RangeCase& o) { return std::string(o.key) == c.key; })) {
            ++r;
        }
        if (r == rounds.size()) rounds.emplace_back();
        rounds[r].push_back(c);
    }
    for (const std::vector<RangeCase>& round : rounds) {
        NextLife();
        // Another key keeps the section present when the tested ones are missing.
        std::string body = "Unrelated=1" + kEol;
        std::string trace;
        for (const RangeCase& c : round) {
            if (c.stored) body += std::string(c.key) + "=" + c.stored + kEol;
            trace += std::string(c.key) + "=" + (c.stored ? c.stored : "<missing>") + " ";
        }
        SCOPED_TRACE(trace);
        WriteIni(Section("InitialSetting", body));
        ASSERT_TRUE(Start());
        for (const RangeCase& c : round) EXPECT_EQ(Loaded(c.key), c.loaded) << c.key;
        EXPECT_EQ(CloseByPlatform(), 0);
        const std::string file = ReadIni();
        for (const RangeCase& c : round) {
            EXPECT_EQ(Count(file, std::string(c.key) + "="), 1u) << file;
            EXPECT_TRUE(InOrder({"[InitialSetting]", "Unrelated=1", std::string(c.key) + "=" + std::to_string(c.loaded)},
                                file))
                << file;
        }
    }
}

TEST_F(SettingsTest, ValuesWrittenBackAreCanonicalNumbers) {
    WriteIni(Section("InitialSetting", "g_Frequency= 04410 " + kEol + "g_KeyShift=-07" + kEol + "g_PanelColor=+2" + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4410);
    EXPECT_EQ(g_KeyShift, -7);
    EXPECT_EQ(CloseByPlatform(), 0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({"g_Frequency=4410", "g_KeyShift=-7"}, file)) << file;
}

TEST_F(SettingsTest, TimingClockFilterOffStaysOffAcrossRuns) {
    WriteIni(Section("InitialSetting", "g_SkipF8=0" + kEol));
    for (int life = 0; life < 3; ++life) {
        SCOPED_TRACE(life);
        if (life > 0) NextLife();
        ASSERT_TRUE(Start());
        EXPECT_EQ(g_SkipF8, 0);
        EXPECT_EQ(CloseByPanel(), 0);
        EXPECT_EQ(Count(ReadIni(), "g_SkipF8=0"), 1u);
    }
}

TEST_F(SettingsTest, ShowDecidesHowTheWindowStarts) {
    struct {
        const char* stored;
        bool iconic;
    } cases[] = {{"0", true}, {"7", false}, {"-1", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        NextLife();
        WriteIni(Section("Window", std::string("Show=") + c.stored + kEol));
        ASSERT_TRUE(Start());
        EXPECT_TRUE(sim::Shown(sim::MainFrame()));
        EXPECT_EQ(sim::Iconic(sim::MainFrame()), c.iconic);
        // Minimised or not, the run is fully up.
        EXPECT_TRUE(sim::TimerRunning());
        EXPECT_EQ(g_LampMasterTune, 200);
        EXPECT_EQ(CloseByPlatform(), 0);
        // What is written is the state at the end, not what was read.
        EXPECT_EQ(Count(ReadIni(), std::string("Show=") + (c.iconic ? "0" : "1") + kEol), 1u) << ReadIni();
    }
}

// ---------------------------------------------------------------------------------------------
// Pattern table rows

TEST_F(SettingsTest, LongUserRowsAreCutToFiftyCharactersAndWrittenBackCut) {
    const std::string sixty = "F0 43 10 4C 00 00 7E 00 F7 11 22 33 44 55 66 77 88 99 AA BBB";
    ASSERT_EQ(sixty.size(), 60u);
    const std::string fifty = sixty.substr(0, 50);
    const std::string exact = "F0 41 10 42 12 40 00 7F 00 41 F7 01 02 03 04 05 F7";
    ASSERT_EQ(exact.size(), 50u);
    const std::string fiftyOne = exact + "X";
    WriteIni(Section("Ignore these MIDI SysEx messages.",
                     "<User Define 1   >=" + sixty + kEol + "<User Define 4   >=" + fiftyOne + kEol) +
             Section("After receiving these MIDI SysEx messages, Send master tune.",
                     "<User Define 2  >=" + exact + kEol + "<User Define 3  >=" + sixty + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_IgnoreTable[5], fifty);
    EXPECT_EQ(g_IgnoreTable[8], exact);
    EXPECT_EQ(g_TriggerTable[6], exact);
    EXPECT_EQ(g_TriggerTable[7], fifty);
    EXPECT_EQ(CloseByPlatform(), 0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({kIgnore, "<User Define 1   >=" + fifty, "<User Define 4   >=" + exact, kTrigger,
                         "<User Define 2  >=" + exact, "<User Define 3  >=" + fifty},
                        file))
        << file;
    EXPECT_EQ(file.find(sixty), std::string::npos);
    EXPECT_EQ(file.find(fiftyOne), std::string::npos);
}

TEST_F(SettingsTest, UserRowsSurviveManyRunsUnchanged) {
    std::string ignore, trigger;
    for (int i = 0; i < 4; ++i) {
        ignore += std::string(kIgnoreKeys[5 + i]) + "=F0 7D 0" + std::to_string(i) + " ** F7" + kEol;
        trigger += std::string(kTriggerKeys[5 + i]) + "=F0 7D 1" + std::to_string(i) + " * F7" + kEol;
    }
    WriteIni(Section("Ignore these MIDI SysEx messages.", ignore) +
             Section("After receiving these MIDI SysEx messages, Send master tune.", trigger));
    std::string previous;
    for (int life = 0; life < 4; ++life) {
        SCOPED_TRACE(life);
        if (life > 0) NextLife();
        ASSERT_TRUE(Start());
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(g_IgnoreTable[5 + i], "F0 7D 0" + std::to_string(i) + " ** F7");
            EXPECT_EQ(g_TriggerTable[5 + i], "F0 7D 1" + std::to_string(i) + " * F7");
        }
        EXPECT_EQ(CloseByPanel(), 0);
        const std::string file = ReadIni();
        if (life > 0) {
            EXPECT_EQ(file, previous);
        }
        previous = file;
    }
}

TEST_F(SettingsTest, EditedFixedRowsHaveNoEffectAndAreRestored) {
    WriteIni(Section("After receiving these MIDI SysEx messages, Send master tune.",
                     "<XG  Reset      >=F0 00 F7" + kEol + "<GM2 Reset      >=" + kEol) +
             Section("Ignore these MIDI SysEx messages.", "<gs  master tune >=F0 41 F7" + kEol));
    ASSERT_TRUE(Start());
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(g_IgnoreTable[i], kIgnorePatterns[i]) << i;
        EXPECT_EQ(g_TriggerTable[i], kTriggerPatterns[i]) << i;
    }
    EXPECT_EQ(CloseByPlatform(), 0);
    const std::string file = ReadIni();
    EXPECT_EQ(file.find("F0 00 F7"), std::string::npos) << file;
    EXPECT_EQ(file.find("F0 41 F7"), std::string::npos) << file;
    EXPECT_EQ(Count(Lower(file), Lower("<XG  Reset      >=")), 1u);
    EXPECT_EQ(Count(Lower(file), Lower("<GS  Master Tune >=")), 1u);
    // Restored where they stood: the edited rows are still the first lines of their sections.
    EXPECT_TRUE(InOrder({kTrigger, std::string("<XG  Reset      >=") + kTriggerPatterns[0],
                         std::string("<GM2 Reset      >=") + kTriggerPatterns[4], kIgnore},
                        file))
        << file;
}

TEST_F(SettingsTest, NamesIgnoreLetterCaseButInnerBlanksCount) {
    const std::string start =
        "[ignore these midi sysex messages.]" + kEol +
        "<USER DEFINE 1   >=F0 11 F7" + kEol +  // Ignore row 6 whatever the case
        "<User Define 2  >=F0 22 F7" + kEol +   // two blanks: a Trigger key, not an Ignore key
        "[AFTER RECEIVING THESE MIDI SYSEX MESSAGES, SEND MASTER TUNE.]" + kEol +
        "<user define 1  >=F0 33 F7" + kEol +   // Trigger row 6
        "<User Define 2   >=F0 44 F7" + kEol +  // three blanks: an Ignore key, not a Trigger key
        "[initialsetting]" + kEol + "G_FREQUENCY=4410" + kEol + "g_keyshift=3" + kEol +
        "[WINDOW]" + kEol + "show=0" + kEol;
    WriteIni(start);
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_IgnoreTable[5], "F0 11 F7");
    EXPECT_EQ(g_IgnoreTable[6], "");
    EXPECT_EQ(g_TriggerTable[5], "F0 33 F7");
    EXPECT_EQ(g_TriggerTable[6], "");
    EXPECT_EQ(g_Frequency, 4410);
    EXPECT_EQ(g_KeyShift, 3);
    EXPECT_TRUE(sim::Iconic(sim::MainFrame()));
    plat::ShowWindow(sim::MainFrame(), plat::kSwShow);
    EXPECT_EQ(CloseByPlatform(), 0);

    const std::string file = ReadIni();
    const std::string lower = Lower(file);
    // Each of our sections exists once, in whatever case it was found.
    for (const char* s : {"[initialsetting]", "[window]", "[windowposition]", "[ignore these midi sysex messages.]",
                          "[after receiving these midi sysex messages, send master tune.]"}) {
        EXPECT_EQ(Count(lower, s), 1u) << s << "\n" << file;
    }
    EXPECT_EQ(Count(lower, "g_frequency="), 1u) << file;
    EXPECT_EQ(Count(lower, "show="), 1u) << file;
    EXPECT_EQ(Count(lower, "show=1"), 1u) << file;
    // The look-alike keys stay as they were, and the real ones are added beside them.
    EXPECT_TRUE(InOrder({"[ignore these midi sysex messages.]", "<User Define 2  >=F0 22 F7", "<User Define 2   >=",
                         "[AFTER RECEIVING THESE MIDI SYSEX MESSAGES, SEND MASTER TUNE.]",
                         "<User Define 2   >=F0 44 F7", "<User Define 2  >="},
                        file))
        << file;

    // Read back the same way the next time.
    NextLife();
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_IgnoreTable[5], "F0 11 F7");
    EXPECT_EQ(g_IgnoreTable[6], "");
    EXPECT_EQ(g_TriggerTable[5], "F0 33 F7");
    EXPECT_EQ(g_TriggerTable[6], "");
    EXPECT_EQ(g_Frequency, 4410);
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_EQ(ReadIni(), file);
}

// ---------------------------------------------------------------------------------------------
// Where the file is

TEST_F(SettingsTest, PathIsTheCurrentDirectoryAsReportedPlusTheFileName) {
    sim::SetPathSeparator('/');
    EXPECT_EQ(kvn::settings::FormPath(), folder_.string() + "/KVN.ini");

    sim::SetCurrentDir("/");
    EXPECT_EQ(kvn::settings::FormPath(), "//KVN.ini");
    sim::SetPathSeparator('\\');
    sim::SetCurrentDir("C:\\");
    EXPECT_EQ(kvn::settings::FormPath(), "C:\\\\KVN.ini");
    sim::SetCurrentDir("D:\\Music\\Korvane");
    EXPECT_EQ(kvn::settings::FormPath(), "D:\\Music\\Korvane\\KVN.ini");
}

TEST_F(SettingsTest, AtARootTheTitleIsBareAndTheFileIsStillFound) {
    // A root directory, without writing to the real one: the bare title is already taken, so the
    // start is refused before anything is read or written.
    sim::SetPathSeparator('/');
    sim::SetCurrentDir("/");
    sim::SetOtherInstance("KVN - ");
    EXPECT_FALSE(Start());
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "KVN.exe is already starting.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    theApp.ExitInstance(0);

    // A real folder reported with its trailing separator, as a root is: the doubled separator
    // still reaches the file.
    NextLife();
    sim::SetPathSeparator('/');
    sim::SetCurrentDir(folder_.string() + "/");
    WriteIni(Section("InitialSetting", "g_Frequency=4410" + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(theApp.m_IniPath, folder_.string() + "//KVN.ini");
    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - ");
    EXPECT_EQ(g_Frequency, 4410);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({"[InitialSetting]", "g_Frequency=4415", "[WindowPosition]", "left=590", "top=445"}, file))
        << file;
}

TEST_F(SettingsTest, RefusedStartLeavesTheFileUntouched) {
    const std::string start = Section("InitialSetting", "g_Frequency=4410" + kEol) + "; mine" + kEol;
    WriteIni(start);
    sim::SetOtherInstance("KVN - Studio");
    EXPECT_FALSE(Start());
    EXPECT_EQ(sim::MainFrame(), nullptr);
    theApp.ExitInstance(0);
    EXPECT_EQ(ReadIni(), start);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
}

TEST_F(SettingsTest, MissingSkinStillSavesTheSettingsButNoWindowKeys) {
    RemoveSkinFile("07.bmp");
    WriteIni(Section("InitialSetting", "g_Frequency=4410" + kEol + "g_PanelColor=9" + kEol) +
             Section("Ignore these MIDI SysEx messages.", "<User Define 2   >=F0 01 F7" + kEol));
    EXPECT_FALSE(Start());
    theApp.ExitInstance(0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({"[InitialSetting]", "g_Frequency=4410", "g_PanelColor=0", "MidiInDeviceName=",
                         "MidiOutDeviceName=Window's MIDI Mapper", "g_IconBlink=1", kIgnore,
                         "<User Define 2   >=F0 01 F7", std::string("<XG  Master Tune1>=") + kIgnorePatterns[0],
                         "<User Define 1   >=", kTrigger, "<User Define 4  >="},
                        file))
        << file;
    EXPECT_EQ(file.find("[Window"), std::string::npos) << file;
}

// ---------------------------------------------------------------------------------------------
// Failed writes

TEST_F(SettingsTest, AFileThatCannotBeWrittenEndsTheRunNormally) {
    // A folder where the file should be: nothing can be read or written there.
    fs::create_directory(IniPath());
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_EQ(g_PanelColor, 1);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_TRUE(fs::is_directory(IniPath()));
    EXPECT_TRUE(fs::is_empty(IniPath()));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);

    // And the next start reads whatever the file holds.
    NextLife();
    fs::remove(IniPath());
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_EQ(CloseByPlatform(), 0);
}

TEST_F(SettingsTest, AReadOnlyFileIsReadButKeptAsItWas) {
    const std::string start = Section("InitialSetting", "g_Frequency=4410" + kEol);
    WriteIni(start);
    fs::permissions(IniPath(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4410);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_EQ(ReadIni(), start);
    fs::permissions(IniPath(), fs::perms::owner_write, fs::perm_options::add);
}

// ---------------------------------------------------------------------------------------------
// Bad input

TEST_F(SettingsTest, RandomBytesGiveDefaultsAndAreKeptAhead) {
    std::mt19937 rng(20240611);
    std::string junk(64 * 1024, '\0');
    for (char& c : junk) c = char(rng() & 0xFF);
    WriteIni(junk);
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_EQ(g_KeyShift, 0);
    EXPECT_EQ(g_PanelColor, 1);
    EXPECT_EQ(g_SkipF8, 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    for (int i = 5; i < 9; ++i) EXPECT_EQ(g_IgnoreTable[i], "");
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string file = ReadIni();
    ASSERT_GT(file.size(), junk.size());
    EXPECT_EQ(file.compare(0, junk.size(), junk), 0) << "the bytes that were there are no longer all at the front";
    EXPECT_TRUE(InOrder({"[WindowPosition]", "left=590", "[InitialSetting]", "g_Frequency=4400", kIgnore, kTrigger},
                        file.substr(junk.size())));
}

TEST_F(SettingsTest, NulBytesDoNotHideTheRestOfTheFile) {
    using namespace std::string_literals;
    const std::string start = "\0\0\0"s + kEol + "[Mine]" + kEol + "a=\0b"s + kEol +
                              "[InitialSetting]" + kEol + "g_KeyShift=\0"s + kEol + "x\0y=1"s + kEol +
                              "g_Frequency=4410" + kEol + "[Ignore these MIDI SysEx messages.]" + kEol +
                              "<User Define 2   >=F0 7D F7" + kEol + "\0"s + kEol;
    WriteIni(start);
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4410);  // after the NUL bytes
    EXPECT_EQ(g_KeyShift, 0);
    EXPECT_EQ(g_IgnoreTable[6], "F0 7D F7");
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({"\0\0\0"s, "[Mine]", "a=\0b"s, "[InitialSetting]", "x\0y=1"s, "g_Frequency=4410", kIgnore,
                         "<User Define 2   >=F0 7D F7", "\0"s},
                        file));
    EXPECT_EQ(Count(file, "g_KeyShift="), 1u);
}

TEST_F(SettingsTest, ATenMegabyteLineIsKeptWhole) {
    const std::string huge = "Notes=" + std::string(10 * 1024 * 1024, 'n');
    WriteIni("[Mine]" + kEol + huge + kEol + Section("InitialSetting", "g_Frequency=4410" + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_Frequency, 4410);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({"[Mine]", huge, "[InitialSetting]", "g_Frequency=4415"}, file));
}

TEST_F(SettingsTest, ATenMegabyteUserRowIsCutLikeAnyLongRow) {
    std::string row;
    while (row.size() < 10 * 1024 * 1024) row += "F0 7D ";
    WriteIni(Section("After receiving these MIDI SysEx messages, Send master tune.", "<User Define 4  >=" + row + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_TriggerTable[8], row.substr(0, 50));
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string file = ReadIni();
    EXPECT_LT(file.size(), 4096u);
    EXPECT_TRUE(InOrder({kTrigger, "<User Define 4  >=" + row.substr(0, 50)}, file));
}

TEST_F(SettingsTest, RepeatedSectionsAndKeysReadAndWriteTheSameOne) {
    const std::string start = "[InitialSetting]" + kEol + "g_Frequency=4410" + kEol + "g_Frequency=4420" + kEol +
                              "[Other]" + kEol + "k=v" + kEol + "[InitialSetting]" + kEol + "g_Frequency=4430" +
                              kEol + "g_PanelColor=2" + kEol;
    WriteIni(start);
    std::string file;
    for (int life = 0; life < 3; ++life) {
        SCOPED_TRACE(life);
        if (life > 0) NextLife();
        ASSERT_TRUE(Start());
        // The value read is the one written the time before: the first of its name.
        EXPECT_EQ(g_Frequency, 4410 + 5 * life);
        Click(PointOf(HIT_FREQ_UP));
        EXPECT_EQ(CloseByPanel(), 0);
        file = ReadIni();
        EXPECT_TRUE(InOrder({"[InitialSetting]", "g_Frequency=" + std::to_string(4415 + 5 * life), "g_Frequency=4420",
                             "[Other]", "k=v", "[InitialSetting]", "g_Frequency=4430", "g_PanelColor=2"},
                            file))
            << file;
    }
    EXPECT_EQ(Count(file, "[InitialSetting]"), 2u);
}

TEST_F(SettingsTest, EqualsSignsInsideValuesBelongToTheValue) {
    inputs_ = {"Other", "In=Port 2"};
    NextLife();
    WriteIni(Section("InitialSetting", "MidiInDeviceName=In=Port 2" + kEol) +
             Section("Ignore these MIDI SysEx messages.", "<User Define 3   >=F0 7D = F7" + kEol) +
             Section("Mine", "a=b=c" + kEol + "=no key" + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_MidiInDeviceName, "In=Port 2");
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_IgnoreTable[7], "F0 7D = F7");
    EXPECT_EQ(CloseByPanel(), 0);
    const std::string file = ReadIni();
    EXPECT_TRUE(InOrder({"[InitialSetting]", "MidiInDeviceName=In=Port 2", kIgnore, "<User Define 3   >=F0 7D = F7",
                         "[Mine]", "a=b=c", "=no key"},
                        file))
        << file;
}

}  // namespace
}  // namespace kvntest
