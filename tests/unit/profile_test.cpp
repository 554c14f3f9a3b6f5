#include "shell/profile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/app_fixture.h"

namespace fs = std::filesystem;
namespace pf = kvn::profile;
using namespace std::string_literals;

namespace {

using kvntest::kEol;

class ProfileTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(dir_, ec);
    }
    void Put(std::string_view bytes) const { std::ofstream(path_, std::ios::binary) << bytes; }
    std::string Contents() const {
        std::ifstream f(path_, std::ios::binary);
        if (!f) return "<missing>";
        std::ostringstream out;
        out << f.rdbuf();
        return out.str();
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
        return names;
    }
    std::string Str(std::string_view section, std::string_view key) const {
        return pf::GetString(path_, section, key, "<default>");
    }
    int32_t Int(std::string_view section, std::string_view key, int32_t def = 99) const {
        return pf::GetInt(path_, section, key, def);
    }

    const fs::path dir_ = kvntest::FreshTempDir();
    const std::string path_ = (dir_ / "KVN.ini").string();
};

TEST_F(ProfileTest, WritesChangeOnlyTheirKeyAndKeepEverythingElseByteForByte) {
    Put("; Korvane settings, edited by hand\norphan=before any section\n[InitialSetting]\n"
        "MidiInDeviceName = Old In   \n  Unknown Key=keep me\ng_Frequency=4400\nfree text without equals\n\n"
        "; about the next section\n[Ignore these MIDI SysEx messages.]\n<User Define 1   >=F0 7E ** 04 F7\n"
        "[Extra]\nx=1\n");
    EXPECT_TRUE(pf::WriteString(path_, "InitialSetting", "MidiInDeviceName", "Port A"));
    EXPECT_TRUE(pf::WriteInt(path_, "InitialSetting", "g_KeyShift", -3));
    EXPECT_TRUE(pf::WriteInt(path_, "Window", "Show", 0));
    EXPECT_TRUE(pf::WriteString(path_, "Ignore these MIDI SysEx messages.", "<User Define 2   >", ""));
    EXPECT_EQ(Contents(),
              "; Korvane settings, edited by hand\norphan=before any section\n[InitialSetting]\n"
              "MidiInDeviceName=Port A\n  Unknown Key=keep me\ng_Frequency=4400\ng_KeyShift=-3\n"
              "free text without equals\n\n; about the next section\n[Ignore these MIDI SysEx messages.]\n"
              "<User Define 1   >=F0 7E ** 04 F7\n<User Define 2   >=\n[Extra]\nx=1\n[Window]\nShow=0\n");
    EXPECT_EQ(Str("InitialSetting", "Unknown Key"), "keep me");
    // Lines before the first section and lines without '=' are no keys.
    EXPECT_EQ(Str("InitialSetting", "orphan"), "<default>");
    EXPECT_EQ(Str("InitialSetting", "free text without equals"), "<default>");
    EXPECT_EQ(std::vector<std::string>{"KVN.ini"}, Entries());  // no temporary file left over
}

TEST_F(ProfileTest, NamesIgnoreLetterCaseButNotInnerBlanks) {
    Put("[After receiving these MIDI SysEx messages, Send master tune.]\n<User Define 1  >=AA\n"
        "<User Define 1   >=BB\n[initialsetting]\nG_KEYSHIFT=5\n");
    const std::string trigger = "After receiving these MIDI SysEx messages, send MASTER tune.";
    EXPECT_EQ(Str(trigger, "<User Define 1  >"), "AA");
    EXPECT_EQ(Str(trigger, "<user define 1   >"), "BB");
    EXPECT_EQ(Str(trigger, "<User Define 1 >"), "<default>");
    EXPECT_EQ(Str(trigger, "<UserDefine 1  >"), "<default>");
    EXPECT_EQ(Int("InitialSetting", "g_KeyShift"), 5);

    EXPECT_TRUE(pf::WriteString(path_, trigger, "<User Define 1   >", "CC"));
    EXPECT_TRUE(pf::WriteInt(path_, "InitialSetting", "g_KeyShift", -2));
    EXPECT_EQ(Contents(),
              "[After receiving these MIDI SysEx messages, Send master tune.]\n<User Define 1  >=AA\n"
              "<User Define 1   >=CC\n[initialsetting]\ng_KeyShift=-2\n");
}

TEST_F(ProfileTest, BlanksAroundNamesAndValuesAreSkippedAndValuesKeepTheirEquals) {
    Put("[  Window  ]\n  Show   =   7   \ntitle = a = b =\nempty=\nblanks=   \t \n;hidden=3\nstray "
        "cr=1\r\r\n");
    EXPECT_EQ(Int("Window", "Show"), 7);
    EXPECT_EQ(Int(" Window ", " Show "), 7);
    EXPECT_EQ(Str("Window", "title"), "a = b =");
    EXPECT_EQ(Str("Window", "stray cr"), "1");
    EXPECT_EQ(Str("Window", "hidden"), "<default>");
    EXPECT_EQ(Str("Window", ";hidden"), "<default>");
    // An empty value is text "" but no integer: integers fall back to the default.
    for (const char* key : {"empty", "blanks"}) {
        EXPECT_EQ(Str("Window", key), "") << key;
        EXPECT_EQ(Int("Window", key, 42), 42) << key;
    }
    EXPECT_TRUE(pf::WriteString(path_, "Window", "padded", "  x = y  "));
    EXPECT_EQ(Str("Window", "padded"), "x = y");
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
    EXPECT_EQ(Str("InitialSetting", "MidiOutDeviceName"), "<default>");
    EXPECT_EQ(Int("InitialSetting", "g_Frequency", 4400), 4400);
    EXPECT_EQ(Contents(), "<missing>");  // reading never creates the file

    Put("[InitialSetting]\ng_Frequency=4410\n");
    EXPECT_EQ(Int("InitialSetting", "g_PanelColor", 1), 1);
    EXPECT_EQ(Int("Window", "g_Frequency", 4400), 4400);
    EXPECT_EQ(pf::GetString(path_, "Window", "Show", ""), "");
}

TEST_F(ProfileTest, FirstOfRepeatedSectionsAndKeysIsReadAndWritten) {
    Put("[A]\nk=first\nk=second\n[B]\n; only a comment\n\n[a]\nk=third\nonly=later\n");
    EXPECT_EQ(Str("A", "k"), "first");
    EXPECT_EQ(Str("A", "only"), "<default>");
    EXPECT_TRUE(pf::WriteString(path_, "a", "K", "new"));
    EXPECT_TRUE(pf::WriteString(path_, "A", "only", "x"));
    // A section without keys gets its first key right under its header.
    EXPECT_TRUE(pf::WriteString(path_, "B", "m", "1"));
    EXPECT_EQ(Contents(),
              "[A]\nK=new\nk=second\nonly=x\n[B]\nm=1\n; only a comment\n\n[a]\nk=third\nonly=later\n");
}

TEST_F(ProfileTest, IntegersReadLikeTheClassicProfileCalls) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    // No digits reads 0, not the default; beyond the range is clamped to its nearest end.
    const std::vector<std::pair<std::string, int32_t>> cases = {{"42", 42},
                                                                {"-7", -7},
                                                                {"+15", 15},
                                                                {"-0", 0},
                                                                {"007", 7},
                                                                {"4455 Hz", 4455},
                                                                {"12abc", 12},
                                                                {"abc", 0},
                                                                {"-", 0},
                                                                {"- 5", 0},
                                                                {"0x1F", 0},
                                                                {"2147483647", kMax},
                                                                {"2147483648", kMax},
                                                                {"-2147483648", kMin},
                                                                {"-2147483649", kMin},
                                                                {"99999999999999999999999999", kMax}};
    // Key names built by appending: g++ 12 warns falsely (-Wrestrict) about "v" + std::to_string(i) at -O3.
    const auto key = [](size_t i) { return std::string("v").append(std::to_string(i)); };
    std::string text = "[InitialSetting]\n";
    for (size_t i = 0; i < cases.size(); ++i) text += key(i) + "=" + cases[i].first + "\n";
    Put(text);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(Int("InitialSetting", key(i)), cases[i].second) << cases[i].first;

    Put("");
    for (const int32_t value : {-3, 0, 4400, kMin, kMax}) {
        EXPECT_TRUE(pf::WriteInt(path_, "InitialSetting", "n", value));
        EXPECT_EQ(Int("InitialSetting", "n"), value);
        EXPECT_EQ(Str("InitialSetting", "n"), std::to_string(value));  // no plus, no leading zeros
    }
}

TEST_F(ProfileTest, TextIsReadUpTo4095Characters) {
    const std::string exact(4095, 'e');
    const std::string longer = std::string(4095, 'l') + "tail";
    EXPECT_TRUE(pf::WriteString(path_, "S", "exact", exact));
    EXPECT_TRUE(pf::WriteString(path_, "S", "longer", longer));
    EXPECT_EQ(Str("S", "exact"), exact);
    EXPECT_EQ(Str("S", "longer"), longer.substr(0, 4095));
    EXPECT_EQ(pf::GetString(path_, "S", "missing", longer), longer.substr(0, 4095));
    EXPECT_NE(Contents().find(longer), std::string::npos);  // the file itself keeps it whole
}

TEST_F(ProfileTest, LineEndingsFollowTheFileOrThePlatformAndEveryKeyGetsALineOfItsOwn) {
    EXPECT_TRUE(pf::WriteString(path_, "WindowPosition", "left", "10"));
    EXPECT_TRUE(pf::WriteString(path_, "Window", "Show", "1"));
    EXPECT_EQ(Contents(), "[WindowPosition]" + kEol + "left=10" + kEol + "[Window]" + kEol + "Show=1" + kEol);

    const std::vector<std::vector<std::string>> cases = {
        // before, section, key, after (the value is "2")
        {"[A]\r\nk=1\r\n; c\r\n", "A", "k2", "[A]\r\nk=1\r\nk2=2\r\n; c\r\n"},
        {"[A]\r\nk=1\r\n", "B", "x", "[A]\r\nk=1\r\n[B]\r\nx=2\r\n"},
        {"[A]\nk=1\r\n", "A", "j", "[A]\nk=1\r\nj=2\r\n"},  // one CRLF makes a CRLF file
        {"[A]\nk=1", "A", "j", "[A]\nk=1\nj=2\n"},
        {"[A]\nk=1", "B", "j", "[A]\nk=1\n[B]\nj=2\n"},
        {"[A]\nk=1", "A", "k", "[A]\nk=2"},
        {"[A]", "A", "j", "[A]" + kEol + "j=2" + kEol},  // no line end of its own
        {"[A]\r\nk=1", "A", "j", "[A]\r\nk=1\r\nj=2\r\n"},
        {"; note", "A", "j", "; note" + kEol + "[A]" + kEol + "j=2" + kEol}};
    for (const auto& c : cases) {
        Put(c[0]);
        EXPECT_TRUE(pf::WriteString(path_, c[1], c[2], "2"));
        EXPECT_EQ(Contents(), c[3]) << c[0];
    }
}

TEST_F(ProfileTest, RefusedNamesAndValuesLeaveTheFileAlone) {
    EXPECT_FALSE(pf::WriteString(path_, "S", "k", "a\nb"));
    EXPECT_EQ(Contents(), "<missing>");
    Put("[S]\nk=1\n");
    const std::vector<std::vector<std::string>> refused = {
        {"S", "k", "a\rb"}, {"S", "a=b", "v"}, {"S", "  ", "v"},  {"S", "[T]", "v"},
        {"S", ";k", "v"},   {"S]x", "k", "v"}, {"S\nT", "k", "v"}};
    for (const auto& r : refused)
        EXPECT_FALSE(pf::WriteString(path_, r[0], r[1], r[2])) << r[0] << "/" << r[1];
    EXPECT_EQ(Contents(), "[S]\nk=1\n");
}

TEST_F(ProfileTest, FailedWritesKeepTheOldFile) {
    const std::string before = "[InitialSetting]\ng_Frequency=4410\n";
    Put(before);
    fs::permissions(path_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(pf::WriteInt(path_, "InitialSetting", "g_Frequency", 4400));
    EXPECT_FALSE(pf::WriteInt(path_, "InitialSetting", "g_KeyShift", 1));
    EXPECT_EQ(Contents(), before);
    EXPECT_EQ(std::vector<std::string>{"KVN.ini"}, Entries());
    EXPECT_FALSE(pf::WriteString((dir_ / "nowhere" / "KVN.ini").string(), "S", "k", "v"));

    // A directory at the path reads as no file and refuses writes.
    fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add);
    fs::remove(path_);
    fs::create_directory(path_);
    EXPECT_EQ(Str("InitialSetting", "MidiInDeviceName"), "<default>");
    EXPECT_EQ(Int("InitialSetting", "g_Frequency", 4400), 4400);
    EXPECT_FALSE(pf::WriteString(path_, "InitialSetting", "MidiInDeviceName", "x"));
    EXPECT_EQ(std::vector<std::string>{"KVN.ini"}, Entries());
}

TEST_F(ProfileTest, LeftoverTemporaryNamesAreNotTouched) {
    fs::create_directory(path_ + ".tmp");
    Put("[S]\nk=1\n");
    EXPECT_TRUE(pf::WriteString(path_, "S", "k", "2"));
    EXPECT_EQ(Contents(), "[S]\nk=2\n");
    EXPECT_TRUE(fs::is_directory(path_ + ".tmp"));
}

#ifndef _WIN32
TEST_F(ProfileTest, WritesThroughASymbolicLinkKeepTheLink) {
    const fs::path real = dir_ / "real.ini";
    std::ofstream(real) << "";
    fs::create_symlink(real, path_);
    EXPECT_TRUE(pf::WriteString(path_, "S", "k", "v"));
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(pf::GetString(real.string(), "S", "k", ""), "v");
}
#endif

TEST_F(ProfileTest, BinaryBytesAndTenMegabyteLinesSurviveAWrite) {
    const std::string big(10 * 1024 * 1024, 'y');
    const std::string head = "[InitialSetting]\njunk\0\xff\xfe\x80 bytes\n"s + "big=" + big + "\n" +
                             "nul\0key=1\n"s + "lonely\rcr=2\n";
    const std::string tail = "[Window]\nShow=1\n" + big;
    Put(head + "g_Frequency=4400\n" + tail);
    EXPECT_TRUE(pf::WriteInt(path_, "InitialSetting", "g_Frequency", 4455));
    EXPECT_TRUE(pf::WriteString(path_, "InitialSetting", "MidiInDeviceName", "In"));
    EXPECT_EQ(Contents(), head + "g_Frequency=4455\nMidiInDeviceName=In\n" + tail);
    EXPECT_EQ(Str("InitialSetting", "big"), big.substr(0, 4095));
    EXPECT_EQ(Str("InitialSetting", "nul\0key"s), "1");
    EXPECT_EQ(Str("InitialSetting", "lonely\rcr"), "2");
    EXPECT_EQ(Int("Window", "Show", 0), 1);
}

TEST_F(ProfileTest, AByteOrderMarkDoesNotHideTheFirstSection) {
    Put("\xEF\xBB\xBF[InitialSetting]\r\ng_Frequency=4410\r\n");
    EXPECT_EQ(Int("InitialSetting", "g_Frequency", 4400), 4410);
    ASSERT_TRUE(pf::WriteInt(path_, "InitialSetting", "g_KeyShift", -3));
    EXPECT_EQ(Contents(), "\xEF\xBB\xBF[InitialSetting]\r\ng_Frequency=4410\r\ng_KeyShift=-3\r\n");
}

}  // namespace
