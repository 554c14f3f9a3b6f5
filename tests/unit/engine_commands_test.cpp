// Output-wide commands (channel-wide silencing and reset, the reference tone, connection thru) and
// the two SysEx pattern tables.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

uint32_t Cc(uint8_t status, uint8_t controller, uint8_t value) {
    return status | (uint32_t(controller) << 8) | (uint32_t(value) << 16);
}

std::vector<uint32_t> OnAllChannels(uint8_t controller) {
    std::vector<uint32_t> out;
    for (uint8_t ch = 0; ch < 16; ++ch) out.push_back(Cc(static_cast<uint8_t>(0xB0 | ch), controller, 0));
    return out;
}

std::vector<uint32_t> Tuning(uint8_t ch, uint8_t msb, uint8_t lsb) {
    const auto s = static_cast<uint8_t>(0xB0 | ch);
    return {Cc(s, 101, 0), Cc(s, 100, 1), Cc(s, 6, msb), Cc(s, 38, lsb), Cc(s, 101, 127), Cc(s, 100, 127)};
}

std::vector<uint32_t> TuningAll(uint8_t msb, uint8_t lsb) {
    std::vector<uint32_t> out;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        for (uint32_t w : Tuning(ch, msb, lsb)) out.push_back(w);
    }
    return out;
}

std::vector<uint32_t> Join(std::initializer_list<std::vector<uint32_t>> parts) {
    std::vector<uint32_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- Channel-wide commands -------------------------------------------------------------------------

class ChannelWideTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
};

TEST_F(ChannelWideTest, EachCommandCoversChannelsOneToSixteenInOrder) {
    mf_AllNotesOff();
    EXPECT_EQ(SentWords(), OnAllChannels(123));
    sim::ClearOutputLog();
    mf_AllSoundOff();
    EXPECT_EQ(SentWords(), OnAllChannels(120));
    sim::ClearOutputLog();
    mf_ResetAllControllers();
    EXPECT_EQ(SentWords(), OnAllChannels(121));
}

TEST_F(ChannelWideTest, OurOwnResetIsNotFollowedByTuning) {
    // Only a reset arriving at the input asks for the tuning.
    mf_ResetAllControllers();
    EXPECT_EQ(SentWords().size(), 16u);
    EXPECT_EQ(g_LampMasterTune, -1);
}

TEST_F(ChannelWideTest, KeyShiftDoesNotReachCommandsAndBurstsHaveNoPause) {
    g_KeyShift = 7;
    mf_AllNotesOff();
    mf_AllSoundOff();
    const auto events = sim::ShortMessages();
    ASSERT_EQ(events.size(), 32u);
    for (const auto& e : events) EXPECT_EQ(e.timeUs, events.front().timeUs);
    EXPECT_EQ(g_LampOut, 3);
}

// ---- Reference tone ----------------------------------------------------------------------------------

TEST(RefToneButtons, EachButtonTogglesItsLevelAndSwitchesFromTheOther) {
    constexpr int32_t kSoft = 1, kLoud = 2;
    EXPECT_EQ(mf_NextRefTone(0, kSoft), 1);
    EXPECT_EQ(mf_NextRefTone(1, kSoft), 0);
    EXPECT_EQ(mf_NextRefTone(2, kSoft), 1);
    EXPECT_EQ(mf_NextRefTone(0, kLoud), 2);
    EXPECT_EQ(mf_NextRefTone(1, kLoud), 2);
    EXPECT_EQ(mf_NextRefTone(2, kLoud), 0);
}

class RefToneTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    // What a press on a tone button does to the engine.
    std::vector<uint32_t> Press(int32_t button) {
        sim::ClearOutputLog();
        g_RefTone = mf_NextRefTone(g_RefTone, button);
        mf_RefTone();
        return SentWords();
    }
    static std::vector<uint32_t> Head(uint8_t msb = 64, uint8_t lsb = 0) {
        return Join({{Cc(0xBF, 123, 0), Cc(0xBF, 120, 0), Cc(0xBF, 121, 0)}, Tuning(15, msb, lsb)});
    }
    static std::vector<uint32_t> Sounding(uint8_t velocity) {
        return {Cc(0xBF, 7, 127), Cc(0xBF, 11, 127), Cc(0xCF, 74, 0), Cc(0x9F, 69, velocity)};
    }
    static std::vector<uint32_t> Muted() { return {Cc(0xBF, 7, 0), Cc(0xBF, 11, 0)}; }
};

TEST_F(RefToneTest, SoftThenLoudSoundsBothLevels) {
    EXPECT_EQ(Press(1), Join({Head(), Sounding(100)}));
    EXPECT_EQ(g_RefTone, 1);
    EXPECT_EQ(Press(2), Join({Head(), Sounding(127)}));
    EXPECT_EQ(g_RefTone, 2);
}

TEST_F(RefToneTest, SoftTwiceMutesWithoutANote) {
    Press(1);
    EXPECT_EQ(Press(1), Join({Head(), Muted()}));
    EXPECT_EQ(g_RefTone, 0);
}

TEST_F(RefToneTest, LoudThenSoftThenLoudTwice) {
    EXPECT_EQ(Press(2), Join({Head(), Sounding(127)}));
    EXPECT_EQ(Press(1), Join({Head(), Sounding(100)}));
    EXPECT_EQ(Press(2), Join({Head(), Sounding(127)}));
    EXPECT_EQ(Press(2), Join({Head(), Muted()}));
    EXPECT_EQ(g_RefTone, 0);
}

TEST_F(RefToneTest, ToneFollowsTheChosenPitchAndIgnoresTheKeyShift) {
    g_Frequency = 4385;  // 438.5 Hz: MSB 0x3C, LSB 0x1B
    g_KeyShift = -7;
    EXPECT_EQ(Press(2), Join({Head(0x3C, 0x1B), Sounding(127)}));
    EXPECT_EQ(g_LampMasterTune, 10);
}

TEST_F(RefToneTest, ToneReachesTheOutputWhileConnectionThruIsOn) {
    g_ThruConnect = 1;
    EXPECT_EQ(Press(1), Join({Head(), Sounding(100)}));
}

// ---- Connection thru -----------------------------------------------------------------------------------

class ConnectionThruTest : public EngineTest {
protected:
    static std::vector<sim::Event> Kinds() {
        std::vector<sim::Event> kinds;
        for (const auto& e : sim::OutputLog()) kinds.push_back(e.kind);
        return kinds;
    }
};

TEST_F(ConnectionThruTest, OnJoinsThePortsThenSilencesEveryChannel) {
    OpenPortsDirect();
    g_ThruConnect = 1;  // the caller sets the flag
    mf_ThruConnect(1);
    const auto& log = sim::OutputLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].kind, sim::Event::Connect);
    EXPECT_EQ(log[0].device, 0);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_ThruConnect, 1);
    EXPECT_EQ(g_LampMasterTune, -1);

    // From now on the platform forwards input itself, untouched, and the engine sees none of it.
    sim::ClearOutputLog();
    g_KeyShift = 3;
    ASSERT_TRUE(sim::DeliverShort(Cc(0x90, 60, 100)));
    EXPECT_TRUE(sim::Queue().empty());
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Cc(0x90, 60, 100)});
}

TEST_F(ConnectionThruTest, OnWithoutAnInputClearsTheFlagAndJoinsNothing) {
    OpenPortsDirect(0, /*withInput=*/false);
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    EXPECT_EQ(g_ThruConnect, 0);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Connect);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
}

TEST_F(ConnectionThruTest, OnWithAnInputButNoOutputKeepsTheFlag) {
    sim::SetInputDevices({"Keyboard"});
    ASSERT_EQ(plat::MidiInOpen(&g_MidiInHandle, 0, MidiInProc, 0), 0u);
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    EXPECT_EQ(g_ThruConnect, 1);
    EXPECT_TRUE(sim::OutputLog().empty());
    plat::MidiInClose(g_MidiInHandle);
}

TEST_F(ConnectionThruTest, OffUnjoinsRetunesThenSilences) {
    OpenPortsDirect();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    sim::ClearOutputLog();
    g_Frequency = 4450;  // 445.0 Hz: MSB 0x4C, LSB 0x42

    mf_ThruConnect(0);
    g_ThruConnect = 0;
    std::vector<sim::Event> want{sim::Event::Disconnect};
    want.insert(want.end(), 90 + 32, sim::Event::Short);
    EXPECT_EQ(Kinds(), want);
    EXPECT_EQ(SentWords(), Join({TuningAll(0x4C, 0x42), OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_LampMasterTune, 10);

    // The engine is back in the path at once for short messages.
    sim::ClearOutputLog();
    g_KeyShift = 2;
    Play(Cc(0x90, 60, 100));
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Cc(0x90, 62, 100)});
}

TEST_F(ConnectionThruTest, BufferReturnedDuringTheLinkGoesBackWhenTheLinkEnds) {
    // A SysEx the driver forwarded by itself hands our buffer back unposted. Removing the link gives
    // it back to the driver, so SysEx input works again at once, like short messages do.
    OpenPortsDirect();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    ASSERT_EQ(sim::QueuedInputBuffers(), 0);
    mf_ThruConnect(0);
    g_ThruConnect = 0;
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    sim::ClearOutputLog();
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    sim::Pump();
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Long);
}

TEST_F(ConnectionThruTest, OffWithNoPortsStillLightsTheTuningLamp) {
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
        EXPECT_EQ(std::strlen(kIgnoreLabels[row]), 18u) << "row " << row + 1;
        EXPECT_STREQ(kTriggerLabels[row], trigger[row]) << "row " << row + 1;
        EXPECT_EQ(std::strlen(kTriggerLabels[row]), 17u) << "row " << row + 1;
    }
}

class PatternTableTest : public ::testing::Test {
protected:
    void SetUp() override { ResetEverything(); }
    void TearDown() override { ResetEverything(); }
};

TEST_F(PatternTableTest, EveryRowIsEmptyBeforeStartUp) {
    for (int row = 0; row < kTableRows; ++row) {
        EXPECT_TRUE(g_IgnoreTable[row].empty());
        EXPECT_TRUE(g_TriggerTable[row].empty());
    }
}

TEST_F(PatternTableTest, BuiltInRowsAreTheMasterTunesAndTheResets) {
    mf_SetBuiltInRows();
    const std::string ignore[] = {"F0 43 ** ** 30 00 00 ** ** ** F7", "F0 43 ** ** 00 00 00 ** ** ** ** F7",
                                  "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7", "F0 7F ** ** 01 ** ** F7",
                                  "F0 7F ** ** 03 ** ** F7"};
    const std::string trigger[] = {"F0 43 ** ** 00 00 7E 00 F7", "F0 41 ** ** 12 40 00 7F ** ** F7",
                                   "F0 41 ** ** 12 00 00 7F ** ** F7", "F0 7E ** ** 01 F7",
                                   "F0 7E ** ** 03 F7"};
    for (int row = 0; row < kFixedRows; ++row) {
        EXPECT_EQ(g_IgnoreTable[row], ignore[row]) << "row " << row + 1;
        EXPECT_EQ(g_TriggerTable[row], trigger[row]) << "row " << row + 1;
    }
    for (int row = kFixedRows; row < kTableRows; ++row) {
        EXPECT_TRUE(g_IgnoreTable[row].empty()) << "row " << row + 1;
        EXPECT_TRUE(g_TriggerTable[row].empty()) << "row " << row + 1;
    }
}

TEST_F(PatternTableTest, BuiltInRowsOverrideFixedRowsAndKeepUserRows) {
    for (int row = 0; row < kTableRows; ++row) {
        g_IgnoreTable[row] = "F0 00 F7";
        g_TriggerTable[row] = "F0 11 F7";
    }
    mf_SetBuiltInRows();
    EXPECT_EQ(g_IgnoreTable[0], "F0 43 ** ** 30 00 00 ** ** ** F7");
    EXPECT_EQ(g_TriggerTable[4], "F0 7E ** ** 03 F7");
    for (int row = kFixedRows; row < kTableRows; ++row) {
        EXPECT_EQ(g_IgnoreTable[row], "F0 00 F7");
        EXPECT_EQ(g_TriggerTable[row], "F0 11 F7");
    }
}

}  // namespace
}  // namespace kvntest
