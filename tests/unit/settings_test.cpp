// The settings file across whole runs of the application: what a start reads, what an orderly end
// writes, and what it must leave alone.
#include "shell/settings.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace kvntest {
namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

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

class SettingsTest : public AppTest {
protected:
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
    size_t EntriesInFolder() const {
        return size_t(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()));
    }
};

TEST_F(SettingsTest, FirstRunStartsWithDefaultsAndWritesEveryKeyInOrder) {
    for (const char* key : kIgnoreKeys) ASSERT_EQ(std::string(key).size(), 18u) << key;
    for (const char* key : kTriggerKeys) ASSERT_EQ(std::string(key).size(), 17u) << key;

    ASSERT_TRUE(Start());
    EXPECT_EQ(g_MidiInDeviceName, "");
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    EXPECT_EQ(
        (std::vector<int32_t>{g_PanelColor, g_Frequency, g_KeyShift, g_SkipF8, g_IconBlink, g_WindowShow}),
        (std::vector<int32_t>{1, 4400, 0, 1, 1, 1}));
    EXPECT_TRUE(sim::Shown(sim::MainFrame()));
    EXPECT_FALSE(sim::Iconic(sim::MainFrame()));
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(g_IgnoreTable[i], i < 5 ? kIgnorePatterns[i] : "") << i;
        EXPECT_EQ(g_TriggerTable[i], i < 5 ? kTriggerPatterns[i] : "") << i;
    }
    // Nothing is written while the system runs.
    Pump();
    sim::Tick(5);
    EXPECT_FALSE(fs::exists(IniPath()));

    EXPECT_EQ(EndByPanel(), FirstRunFile());
    // No temporary file or anything else is left beside it.
    std::vector<std::string> entries;
    for (const auto& e : fs::directory_iterator(folder_)) entries.push_back(e.path().filename().string());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"Bitmap", "KVN.ini"}));
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

    for (int life = 0; life < 2; ++life) {
        StartWithFile(edited);
        EXPECT_EQ(g_SkipF8, 0);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(g_IgnoreTable[5 + i], "F0 7D 19" + std::to_string(i + 1) + " F7");
            EXPECT_EQ(g_TriggerTable[5 + i], "F0 7D 18" + std::to_string(i + 1) + " F7");
        }
        EXPECT_EQ(EndByPlatform(), edited) << life;
    }
    StartWithFile(edited);
    Click(PointOf(HIT_FREQ_UP));
    std::string changed = edited;
    changed.replace(changed.find("g_Frequency=4400"), 16, "g_Frequency=4405");
    EXPECT_EQ(EndByPanel(), changed);
}

TEST_F(SettingsTest, ClosingByThePlatformSavesExactlyAsThePanelDoes) {
    const std::string start =
        Initial("MidiOutDeviceName=Synth B" + kEol + "g_KeyShift=-3" + kEol) + "; note" + kEol;
    std::string files[2];
    for (int way = 0; way < 2; ++way) {
        NextLife();
        sim::SetInputDevices({"Keys"});
        sim::SetOutputDevices({"Synth A", "Synth B"});
        WriteIni(start);
        ASSERT_TRUE(Start());
        Click(PointOf(HIT_FREQ_DOWN));
        files[way] = way == 0 ? EndByPanel() : EndByPlatform();
    }
    EXPECT_EQ(files[1], files[0]);
    EXPECT_TRUE(InOrder({"[InitialSetting]", "MidiOutDeviceName=Synth B", "g_KeyShift=-3",
                         "MidiInDeviceName=Keys", "g_Frequency=4395", "; note", "[WindowPosition]"},
                        files[0]));
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
    return g_IconBlink;
}

TEST_F(SettingsTest, RangeRulesAtTheirEdgesAndValuesWrittenBackCanonical) {
    const RangeCase cases[] = {{"g_Frequency", "4455", 4455},  {"g_Frequency", "4456", 4400},
                               {"g_Frequency", "4350", 4350},  {"g_Frequency", "4349", 4400},
                               {"g_Frequency", "4401", 4401},  {"g_Frequency", "4403", 4403},
                               {"g_Frequency", "-4400", 4400}, {"g_Frequency", nullptr, 4400},
                               {"g_Frequency", "", 4400},      {"g_Frequency", " 04410 ", 4410},
                               {"g_KeyShift", "-7", -7},       {"g_KeyShift", "7", 7},
                               {"g_KeyShift", "-8", 0},        {"g_KeyShift", "8", 0},
                               {"g_KeyShift", nullptr, 0},     {"g_KeyShift", "-07", -7},
                               {"g_PanelColor", "4", 0},       {"g_PanelColor", "-1", 0},
                               {"g_PanelColor", "3", 3},       {"g_PanelColor", "0", 0},
                               {"g_PanelColor", nullptr, 1},   {"g_PanelColor", "", 1},
                               {"g_PanelColor", "+2", 2},      {"g_SkipF8", "2", 1},
                               {"g_SkipF8", "0", 0},           {"g_SkipF8", "-1", 1},
                               {"g_SkipF8", nullptr, 1},       {"g_IconBlink", "5", 5},
                               {"g_IconBlink", "0", 0},        {"g_IconBlink", "-2147483648", INT32_MIN},
                               {"g_IconBlink", nullptr, 1}};
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
        // Minimised or not, the run is fully up.
        EXPECT_TRUE(sim::TimerRunning());
        EXPECT_TRUE(sim::InputStarted());
        EXPECT_EQ(g_LampMasterTune, 200);
        EXPECT_EQ(Count(EndByPlatform(), "Show="s + (iconic ? "0" : "1") + kEol), 1u) << ReadIni();
    }
}

// ---------------------------------------------------------------------------------------------
// Pattern table rows

TEST_F(SettingsTest, LongUserRowsAreCutToFiftyCharactersAndWrittenBackCut) {
    const std::string sixty = "F0 43 10 4C 00 00 7E 00 F7 11 22 33 44 55 66 77 88 99 AA BBB";
    const std::string fifty = sixty.substr(0, 50);
    const std::string exact = "F0 41 10 42 12 40 00 7F 00 41 F7 01 02 03 04 05 F7";
    ASSERT_EQ(sixty.size(), 60u);
    ASSERT_EQ(exact.size(), 50u);
    std::string huge;
    while (huge.size() < 10 * 1024 * 1024) huge += "F0 7D ";
    StartWithFile(Section("Ignore these MIDI SysEx messages.",
                          "<User Define 1   >=" + sixty + kEol + "<User Define 4   >=" + exact + "X" + kEol) +
                  Section("After receiving these MIDI SysEx messages, Send master tune.",
                          "<User Define 2  >=" + exact + kEol + "<User Define 3  >=" + sixty + kEol +
                              "<User Define 4  >=" + huge + kEol));
    EXPECT_EQ(g_IgnoreTable[5], fifty);
    EXPECT_EQ(g_IgnoreTable[8], exact);
    EXPECT_EQ(g_TriggerTable[6], exact);
    EXPECT_EQ(g_TriggerTable[7], fifty);
    EXPECT_EQ(g_TriggerTable[8], huge.substr(0, 50));
    const std::string file = EndByPlatform();
    EXPECT_TRUE(InOrder({kIgnore, "<User Define 1   >=" + fifty, "<User Define 4   >=" + exact, kTrigger,
                         "<User Define 2  >=" + exact, "<User Define 3  >=" + fifty,
                         "<User Define 4  >=" + huge.substr(0, 50)},
                        file));
    EXPECT_EQ(file.find(sixty), std::string::npos);
    EXPECT_EQ(file.find(exact + "X"), std::string::npos);
    EXPECT_LT(file.size(), 4096u);
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
    EXPECT_EQ(Count(Lower(file), Lower("<XG  Reset      >=")), 1u);
    EXPECT_EQ(Count(Lower(file), Lower("<GS  Master Tune >=")), 1u);
    // Restored where they stood: the edited rows are still the first lines of their sections.
    EXPECT_TRUE(InOrder({kTrigger, "<XG  Reset      >="s + kTriggerPatterns[0],
                         "<GM2 Reset      >="s + kTriggerPatterns[4], kIgnore},
                        file));
}

// ---------------------------------------------------------------------------------------------
// Where the file is

TEST_F(SettingsTest, PathIsTheCurrentDirectoryAsReportedPlusTheFileName) {
    sim::SetPathSeparator('/');
    EXPECT_EQ(kvn::settings::FormPath(), folder_.string() + "/KVN.ini");
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

TEST_F(SettingsTest, AFolderReportedWithItsTrailingSeparatorStillReachesTheFile) {
    // As a root is reported: the doubled separator still reaches the file and the title is bare.
    sim::SetPathSeparator('/');
    sim::SetCurrentDir(folder_.string() + "/");
    WriteIni(Initial("g_Frequency=4410" + kEol));
    ASSERT_TRUE(Start());
    EXPECT_EQ(theApp.m_IniPath, folder_.string() + "//KVN.ini");
    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - ");
    EXPECT_EQ(g_Frequency, 4410);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_TRUE(InOrder({"[InitialSetting]", "g_Frequency=4415", "[WindowPosition]", "left=590", "top=445"},
                        EndByPanel()));
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
    const plat::HWnd frame = sim::MainFrame();
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_TRUE(sim::Destroyed(frame));
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_TRUE(fs::is_directory(IniPath()));
    EXPECT_TRUE(fs::is_empty(IniPath()));
    EXPECT_EQ(EntriesInFolder(), 2u);
}

// ---------------------------------------------------------------------------------------------
// Bad input

TEST_F(SettingsTest, RandomBytesGiveDefaultsAndAreKeptAhead) {
    std::mt19937 rng(20240611);
    std::string junk(64 * 1024, '\0');
    for (char& c : junk) c = char(rng() & 0xFF);
    StartWithFile(junk);
    EXPECT_EQ((std::vector<int32_t>{g_Frequency, g_KeyShift, g_PanelColor, g_SkipF8}),
              (std::vector<int32_t>{4400, 0, 1, 1}));
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    for (int i = 5; i < 9; ++i) EXPECT_EQ(g_IgnoreTable[i], "");
    const std::string file = EndByPanel();
    ASSERT_GT(file.size(), junk.size());
    EXPECT_EQ(file.compare(0, junk.size(), junk), 0)
        << "the bytes that were there are no longer all at the front";
    EXPECT_TRUE(
        InOrder({"[WindowPosition]", "left=590", "[InitialSetting]", "g_Frequency=4400", kIgnore, kTrigger},
                file.substr(junk.size())));
}

}  // namespace
}  // namespace kvntest
