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
    const auto value = static_cast<int>(std::floor(8192.0 + 8192.0 * 12.0 * std::log2(hz / 440.0)));
    return {static_cast<uint8_t>(value >> 7), static_cast<uint8_t>(value & 127)};
}

std::vector<uint32_t> TuneRun(int channel, Fine f) {
    const auto s = static_cast<uint32_t>(0xB0 | channel);
    auto cc = [s](uint32_t c, uint32_t v) { return s | (c << 8) | (v << 16); };
    return {cc(101, 0), cc(100, 1), cc(6, f.msb), cc(38, f.lsb), cc(101, 127), cc(100, 127)};
}

std::vector<uint32_t> FullRun(Fine f) {
    std::vector<uint32_t> out;
    for (int ch = 0; ch < 16; ++ch) {
        if (ch != 9)
            for (uint32_t w : TuneRun(ch, f)) out.push_back(w);
    }
    return out;
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

TEST_F(MasterTuneTest, FullRunIsSentBackToBackInExactOrderForEveryPanelPitch) {
    ASSERT_EQ(g_Frequency, 4400);
    mf_SendMasterTune(-1);
    const auto events = sim::ShortMessages();
    ASSERT_EQ(events.size(), 90u);
    for (const auto& e : events) EXPECT_EQ(e.timeUs, events.front().timeUs);
    EXPECT_EQ(SentWords(), FullRun({64, 0}));

    for (int tenths = 4350; tenths <= 4455; tenths += 5) {
        g_Frequency = tenths;
        EXPECT_EQ(Send(-1), FullRun(FineTuningFor(tenths / 10.0))) << "g_Frequency " << tenths;
    }
}

TEST_F(MasterTuneTest, OffGridPitchUsesTheHalfHertzOfItsWholeHertzAndIsClampedAtTheEnds) {
    for (int tenths = 4351; tenths <= 4454; ++tenths) {
        if (tenths % 5 == 0) continue;
        g_Frequency = tenths;
        EXPECT_EQ(Send(0), TuneRun(0, FineTuningFor(tenths / 10 + 0.5))) << tenths;
    }
    // Stepped a few tenths past either end of the panel's range.
    const struct {
        int tenths;
        double hz;
    } clamps[] = {{4340, 435.0}, {4345, 435.5}, {4349, 435.5}, {4456, 445.5},
                  {4460, 445.0}, {4461, 445.5}, {4475, 445.5}};
    for (const auto& c : clamps) {
        g_Frequency = c.tenths;
        EXPECT_EQ(Send(0), TuneRun(0, FineTuningFor(c.hz))) << c.tenths;
    }
}

TEST_F(MasterTuneTest, SingleChannelsGetTheirSixMessagesAndPercussionNone) {
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        EXPECT_EQ(Send(ch), TuneRun(ch, {64, 0})) << "channel index " << ch;
    }
    g_Frequency = 4375;
    EXPECT_EQ(Send(4), TuneRun(4, FineTuningFor(437.5)));

    g_LampMasterTune = -1;
    g_Redraw = 0;
    EXPECT_TRUE(Send(9).empty());
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_EQ(sim::Pump(), 0) << "a request, not an immediate paint";
}

TEST_F(MasterTuneTest, EveryRunReArmsItsLampWhileTheOutputLampFollowsTheActivityRule) {
    g_LampMasterTune = 200;  // the start-up lamp
    g_Redraw = 0;
    mf_SendMasterTune(-1);
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_EQ(window_.paints, 0);
    EXPECT_EQ(g_LampOut, 3);
    g_LampMasterTune = 4;
    g_LampOut = 1;
    mf_SendMasterTune(3);
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(g_LampOut, 1);

    // Without an output nothing is sent, and the lamp still lights.
    plat::MidiOutClose(g_MidiOutHandle);
    g_MidiOutHandle = nullptr;
    g_LampMasterTune = -1;
    EXPECT_TRUE(Send(-1).empty());
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampMasterTune, 10);
}

}  // namespace
}  // namespace kvntest
