// Output-wide commands (channel-wide silencing and reset, the reference tone, connection thru) and
// the two SysEx pattern tables.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

using Words = std::vector<uint32_t>;

uint32_t Cc(uint32_t status, uint32_t controller, uint32_t value) {
    return status | (controller << 8) | (value << 16);
}

Words OnAllChannels(uint32_t controller) {
    Words out;
    for (uint32_t ch = 0; ch < 16; ++ch) out.push_back(Cc(0xB0 | ch, controller, 0));
    return out;
}

Words Tuning(uint32_t ch, uint32_t msb, uint32_t lsb) {
    const uint32_t s = 0xB0 | ch;
    return {Cc(s, 101, 0), Cc(s, 100, 1), Cc(s, 6, msb), Cc(s, 38, lsb), Cc(s, 101, 127), Cc(s, 100, 127)};
}

Words Join(std::initializer_list<Words> parts) {
    Words out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class CommandsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
};

TEST_F(CommandsTest, ChannelWideCommandsCoverChannelsOneToSixteenBackToBack) {
    g_KeyShift = 7;  // does not reach the commands
    mf_AllNotesOff();
    mf_AllSoundOff();
    mf_ResetAllControllers();
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120), OnAllChannels(121)}));
    for (const auto& e : sim::ShortMessages()) EXPECT_EQ(e.timeUs, sim::ShortMessages().front().timeUs);
    EXPECT_EQ(g_LampOut, 3);
    EXPECT_EQ(g_LampMasterTune, -1) << "only a reset arriving at the input asks for the tuning";
}

// ---- Reference tone ----------------------------------------------------------------------------------

TEST(RefToneButtons, EachButtonTogglesItsLevelAndSwitchesFromTheOther) {
    // {current, button, next} with soft = 1, loud = 2.
    const int32_t table[][3] = {{0, 1, 1}, {1, 1, 0}, {2, 1, 1}, {0, 2, 2}, {1, 2, 2}, {2, 2, 0}};
    for (const auto& t : table) EXPECT_EQ(mf_NextRefTone(t[0], t[1]), t[2]) << t[0] << " " << t[1];
}

class RefToneTest : public CommandsTest {
protected:
    Words Press(int32_t button) {
        sim::ClearOutputLog();
        g_RefTone = mf_NextRefTone(g_RefTone, button);
        mf_RefTone();
        return SentWords();
    }
    static Words Head(uint32_t msb = 64, uint32_t lsb = 0) {
        return Join({{Cc(0xBF, 123, 0), Cc(0xBF, 120, 0), Cc(0xBF, 121, 0)}, Tuning(15, msb, lsb)});
    }
    static Words Sounding(uint32_t velocity, uint32_t msb = 64, uint32_t lsb = 0) {
        return Join(
            {Head(msb, lsb), {Cc(0xBF, 7, 127), Cc(0xBF, 11, 127), Cc(0xCF, 74, 0), Cc(0x9F, 69, velocity)}});
    }
    static Words Muted() { return Join({Head(), {Cc(0xBF, 7, 0), Cc(0xBF, 11, 0)}}); }
};

TEST_F(RefToneTest, PressSequencesSoundMuteAndSwitchLevels) {
    const struct {
        int32_t button;
        Words sent;
        int32_t state;
    } steps[] = {
        {1, Sounding(100), 1}, {1, Muted(), 0},       {2, Sounding(127), 2},
        {1, Sounding(100), 1}, {2, Sounding(127), 2}, {2, Muted(), 0},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(Press(steps[i].button), steps[i].sent) << "step " << i;
        EXPECT_EQ(g_RefTone, steps[i].state) << "step " << i;
    }
}

TEST_F(RefToneTest, ToneFollowsThePitchIgnoresTheKeyShiftAndPassesConnectionThru) {
    g_Frequency = 4385;  // 438.5 Hz: MSB 0x3C, LSB 0x1B
    g_KeyShift = -7;
    g_ThruConnect = 1;
    EXPECT_EQ(Press(2), Sounding(127, 0x3C, 0x1B));
    EXPECT_EQ(g_LampMasterTune, 10);
}

// ---- Connection thru -----------------------------------------------------------------------------------

TEST_F(CommandsTest, ThruOnJoinsThePortsThenSilencesAndOffUnjoinsRetunesThenSilences) {
    g_ThruConnect = 1;  // the caller sets the flag
    mf_ThruConnect(1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Connect);
    EXPECT_EQ(sim::OutputLog()[0].device, 0);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_ThruConnect, 1);
    EXPECT_EQ(g_LampMasterTune, -1);

    // The platform forwards input itself, untouched, and the engine sees none of it.
    sim::ClearOutputLog();
    g_KeyShift = 2;
    ASSERT_TRUE(sim::DeliverShort(Cc(0x90, 60, 100)));
    EXPECT_TRUE(sim::Queue().empty());
    EXPECT_EQ(SentWords(), Words{Cc(0x90, 60, 100)});

    sim::ClearOutputLog();
    g_Frequency = 4450;  // 445.0 Hz: MSB 0x4C, LSB 0x42
    mf_ThruConnect(0);
    g_ThruConnect = 0;
    Words tune;
    for (uint32_t ch = 0; ch < 16; ++ch) {
        if (ch != 9) tune = Join({tune, Tuning(ch, 0x4C, 0x42)});
    }
    ASSERT_EQ(sim::OutputLog().size(), 1u + 90 + 32);
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Disconnect);
    EXPECT_EQ(SentWords(), Join({tune, OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_LampMasterTune, 10);

    // The engine is back in the path at once.
    sim::ClearOutputLog();
    Play(Cc(0x90, 60, 100));
    EXPECT_EQ(SentWords(), Words{Cc(0x90, 62, 100)});
}

TEST_F(EngineTest, ThruWithAMissingPort) {
    // No input: the flag is cleared and nothing is joined; the silencing still goes out.
    OpenPortsDirect(0, /*withInput=*/false);
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    EXPECT_EQ(g_ThruConnect, 0);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Connect);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));

    // An input but no output: the flag stays for the output that comes later.
    plat::MidiOutClose(g_MidiOutHandle);
    g_MidiOutHandle = nullptr;
    sim::SetInputDevices({"Keyboard"});
    ASSERT_EQ(plat::MidiInOpen(&g_MidiInHandle, 0, MidiInProc, 0), 0u);
    sim::ClearOutputLog();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    EXPECT_EQ(g_ThruConnect, 1);
    EXPECT_TRUE(sim::OutputLog().empty());
    plat::MidiInClose(g_MidiInHandle);
    g_MidiInHandle = nullptr;

    // Off with no ports at all still lights the tuning lamp.
    g_ThruConnect = 0;
    mf_ThruConnect(0);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampMasterTune, 10);
}

// ---- SysEx pattern tables ---------------------------------------------------------------------------

TEST(PatternTables, LabelsKeepTheirBlanks) {
    const char* const ignore[] = {"<XG  Master Tune1>", "<XG  Master Tune2>", "<GS  Master Tune >",
                                  "<GM1 Master Tune >", "<GM2 Master Tune >", "<User Define 1   >",
                                  "<User Define 2   >", "<User Define 3   >", "<User Define 4   >"};
    const char* const trigger[] = {"<XG  Reset      >", "<GS  Reset      >", "<88  Reset      >",
                                   "<GM1 Reset      >", "<GM2 Reset      >", "<User Define 1  >",
                                   "<User Define 2  >", "<User Define 3  >", "<User Define 4  >"};
    for (int row = 0; row < kTableRows; ++row) {
        EXPECT_STREQ(kIgnoreLabels[row], ignore[row]) << "row " << row + 1;
        EXPECT_STREQ(kTriggerLabels[row], trigger[row]) << "row " << row + 1;
    }
}

TEST(PatternTables, BuiltInRowsReplaceTheFixedRowsAndKeepTheUserRows) {
    ResetEverything();
    for (int row = 0; row < kTableRows; ++row) {
        EXPECT_TRUE(g_IgnoreTable[row].empty() && g_TriggerTable[row].empty()) << "row " << row + 1;
        g_IgnoreTable[row] = "F0 00 F7";
        g_TriggerTable[row] = "F0 11 F7";
    }
    mf_SetBuiltInRows();
    const std::string ignore[] = {"F0 43 ** ** 30 00 00 ** ** ** F7", "F0 43 ** ** 00 00 00 ** ** ** ** F7",
                                  "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7", "F0 7F ** ** 01 ** ** F7",
                                  "F0 7F ** ** 03 ** ** F7"};
    const std::string trigger[] = {"F0 43 ** ** 00 00 7E 00 F7", "F0 41 ** ** 12 40 00 7F ** ** F7",
                                   "F0 41 ** ** 12 00 00 7F ** ** F7", "F0 7E ** ** 01 F7",
                                   "F0 7E ** ** 03 F7"};
    for (int row = 0; row < kTableRows; ++row) {
        EXPECT_EQ(g_IgnoreTable[row], row < kFixedRows ? ignore[row] : "F0 00 F7") << "row " << row + 1;
        EXPECT_EQ(g_TriggerTable[row], row < kFixedRows ? trigger[row] : "F0 11 F7") << "row " << row + 1;
    }
    ResetEverything();
}

}  // namespace
}  // namespace kvntest
