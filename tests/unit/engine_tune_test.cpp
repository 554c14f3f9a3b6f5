// Master tune: the Channel Fine Tuning run, its values for every pitch the panel offers (computed
// here from the cents formula, not copied), the off-grid rule and the channels it reaches.
#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

struct Fine {
    uint8_t msb, lsb;
};

// value = floor(8192 + 8192 * cents / 100), cents = 1200 * log2(f / 440).
Fine FineTuningFor(double hz) {
    const double cents = 1200.0 * std::log2(hz / 440.0);
    const auto value = static_cast<int>(std::floor(8192.0 + 8192.0 * cents / 100.0));
    return {static_cast<uint8_t>(value >> 7), static_cast<uint8_t>(value & 127)};
}

uint32_t Cc(uint8_t status, uint8_t controller, uint8_t value) {
    return status | (uint32_t(controller) << 8) | (uint32_t(value) << 16);
}

std::vector<uint32_t> TuneRun(uint8_t channel, Fine fine) {
    const auto s = static_cast<uint8_t>(0xB0 | channel);
    return {Cc(s, 101, 0),       Cc(s, 100, 1),   Cc(s, 6, fine.msb),
            Cc(s, 38, fine.lsb), Cc(s, 101, 127), Cc(s, 100, 127)};
}

class MasterTuneTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    std::vector<uint32_t> Send(int channel) {
        sim::ClearOutputLog();
        mf_SendMasterTune(channel);
        return SentWords();
    }
};

TEST_F(MasterTuneTest, FormulaAgreesWithTheKnownPitches) {
    // Guards the test's own arithmetic.
    EXPECT_EQ(FineTuningFor(440.0).msb, 0x40);
    EXPECT_EQ(FineTuningFor(440.0).lsb, 0x00);
    EXPECT_EQ(FineTuningFor(435.5).msb, 0x34);
    EXPECT_EQ(FineTuningFor(435.5).lsb, 0x4E);
    EXPECT_EQ(FineTuningFor(445.5).msb, 0x4D);
    EXPECT_EQ(FineTuningFor(445.5).lsb, 0x61);
    EXPECT_EQ(FineTuningFor(435.0).msb, 0x33);
    EXPECT_EQ(FineTuningFor(435.0).lsb, 0x2B);
}

TEST_F(MasterTuneTest, FullRunAt440InExactOrder) {
    ASSERT_EQ(g_Frequency, 4400);
    std::vector<uint32_t> want;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        for (uint32_t w : TuneRun(ch, {64, 0})) want.push_back(w);
    }
    ASSERT_EQ(want.size(), 90u);
    EXPECT_EQ(Send(-1), want);
}

TEST_F(MasterTuneTest, FullRunIsSentBackToBack) {
    mf_SendMasterTune(-1);
    const auto events = sim::ShortMessages();
    ASSERT_EQ(events.size(), 90u);
    for (const auto& e : events) EXPECT_EQ(e.timeUs, events.front().timeUs);
}

TEST_F(MasterTuneTest, EveryPitchOnThePanelSendsTheFormulaValue) {
    for (int tenths = 4350; tenths <= 4455; tenths += 5) {
        g_Frequency = tenths;
        const Fine fine = FineTuningFor(tenths / 10.0);
        const auto sent = Send(-1);
        ASSERT_EQ(sent.size(), 90u);
        size_t i = 0;
        for (uint8_t ch = 0; ch < 16; ++ch) {
            if (ch == 9) continue;
            const std::vector<uint32_t> got(sent.begin() + static_cast<long>(i),
                                            sent.begin() + static_cast<long>(i + 6));
            EXPECT_EQ(got, TuneRun(ch, fine)) << "g_Frequency " << tenths << " channel index " << int(ch);
            i += 6;
        }
    }
}

TEST_F(MasterTuneTest, TableIsLaidOutByWholeHertzThenHalfLsbFirst) {
    for (int group = 0; group < 11; ++group) {
        for (int half = 0; half < 2; ++half) {
            const Fine fine = FineTuningFor(435.0 + group + 0.5 * half);
            EXPECT_EQ(g_TuneTable[group][half][0], fine.lsb) << group << "/" << half;
            EXPECT_EQ(g_TuneTable[group][half][1], fine.msb) << group << "/" << half;
        }
    }
}

TEST_F(MasterTuneTest, OffGridPitchUsesTheHalfHertzOfItsWholeHertz) {
    for (int tenths = 4351; tenths <= 4359; ++tenths) {
        if (tenths == 4355) continue;
        g_Frequency = tenths;
        EXPECT_EQ(Send(0), TuneRun(0, FineTuningFor(435.5))) << tenths;
    }
    for (int tenths : {4401, 4404, 4406, 4409}) {
        g_Frequency = tenths;
        EXPECT_EQ(Send(0), TuneRun(0, FineTuningFor(440.5))) << tenths;
    }
    for (int tenths : {4441, 4449, 4451, 4454}) {
        g_Frequency = tenths;
        EXPECT_EQ(Send(0), TuneRun(0, FineTuningFor(tenths / 10 + 0.5))) << tenths;
    }
}

TEST_F(MasterTuneTest, PercussionChannelAloneSendsNothingButLightsTheLamp) {
    g_LampMasterTune = -1;
    EXPECT_TRUE(Send(9).empty());
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_EQ(sim::Pump(), 0) << "a request, not an immediate paint";
}

TEST_F(MasterTuneTest, SingleChannelGetsItsSixMessagesOnly) {
    EXPECT_EQ(Send(15), TuneRun(15, {64, 0}));
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        EXPECT_EQ(Send(ch), TuneRun(static_cast<uint8_t>(ch), {64, 0})) << "channel index " << ch;
    }
}

TEST_F(MasterTuneTest, EveryRunReArmsTheLampAndRequestsARedraw) {
    g_LampMasterTune = 200;  // the start-up lamp
    g_Redraw = 0;
    mf_SendMasterTune(-1);
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_EQ(window_.paints, 0);
    g_LampMasterTune = 4;
    mf_SendMasterTune(3);
    EXPECT_EQ(g_LampMasterTune, 10);
}

TEST_F(MasterTuneTest, OutputLampFollowsTheActivityRule) {
    mf_SendMasterTune(-1);
    EXPECT_EQ(g_LampOut, 3);
    g_LampOut = 1;
    mf_SendMasterTune(-1);
    EXPECT_EQ(g_LampOut, 1);
}

TEST_F(MasterTuneTest, ValueFollowsTheCurrentPitchEveryTime) {
    g_Frequency = 4430;
    EXPECT_EQ(Send(4), TuneRun(4, FineTuningFor(443.0)));
    g_Frequency = 4375;
    EXPECT_EQ(Send(4), TuneRun(4, FineTuningFor(437.5)));
}

TEST_F(MasterTuneTest, SendingWithoutAnOutputFailsSilently) {
    plat::MidiOutClose(g_MidiOutHandle);
    g_MidiOutHandle = nullptr;
    sim::ClearOutputLog();
    mf_SendMasterTune(-1);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampMasterTune, 10);
}

// A reset SysEx reaching the input: forwarded first, the whole run 16 ms later.
TEST_F(MasterTuneTest, GsResetIsForwardedThenFollowedByTheWholeRun) {
    g_Frequency = 4415;
    const std::vector<uint8_t> gsReset{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    ASSERT_TRUE(sim::DeliverSysEx(gsReset));
    sim::Pump();
    const auto& log = sim::OutputLog();
    ASSERT_EQ(log.size(), 91u);
    EXPECT_EQ(log[0].kind, sim::Event::Long);
    EXPECT_EQ(log[0].data, gsReset);
    std::vector<uint32_t> tune;
    for (size_t i = 1; i < log.size(); ++i) {
        EXPECT_EQ(log[i].kind, sim::Event::Short);
        tune.push_back(log[i].word);
    }
    std::vector<uint32_t> want;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        for (uint32_t w : TuneRun(ch, FineTuningFor(441.5))) want.push_back(w);
    }
    EXPECT_EQ(tune, want);
    EXPECT_GE(log[1].timeUs - log[0].timeUs, 16000u);
}

}  // namespace
}  // namespace kvntest
