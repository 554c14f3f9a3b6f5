// Output-wide commands (the reference tone, connection thru; the channel-wide silencing and reset
// show in the port traces of ports_test) and the master tune: its Channel Fine Tuning run, values
// computed here from the cents formula (not copied), the off-grid rule and the channels it reaches.
#include <cmath>
#include <cstdint>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

using Words = std::vector<uint32_t>;

uint32_t Cc(int status, int controller, int value = 0) {
    return uint32_t(status) | uint32_t(controller) << 8 | uint32_t(value) << 16;
}

Words Join(std::initializer_list<Words> parts) {
    Words out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Words OnAllChannels(int controller) {
    Words out;
    for (int ch = 0; ch < 16; ++ch) out.push_back(Cc(0xB0 | ch, controller));
    return out;
}

struct Fine {
    uint8_t msb, lsb;
};

// value = floor(8192 + 8192 * cents / 100), cents = 1200 * log2(f / 440).
Fine FineTuningFor(double hz) {
    const auto value = static_cast<int>(std::floor(8192.0 + 8192.0 * 12.0 * std::log2(hz / 440.0)));
    return {static_cast<uint8_t>(value >> 7), static_cast<uint8_t>(value & 127)};
}

Words TuneRun(int channel, Fine f) {
    const int s = 0xB0 | channel;
    return {Cc(s, 101, 0),    Cc(s, 100, 1),   Cc(s, 6, f.msb),
            Cc(s, 38, f.lsb), Cc(s, 101, 127), Cc(s, 100, 127)};
}

Words FullRun(Fine f) {
    Words out;
    for (int ch = 0; ch < 16; ++ch)
        if (ch != 9) out = Join({out, TuneRun(ch, f)});
    return out;
}

class CommandsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    Words Tune(int channel) {
        sim::ClearOutputLog();
        mf_SendMasterTune(channel);
        return SentWords();
    }
    Words Press(int32_t button) {
        sim::ClearOutputLog();
        g_RefTone = mf_NextRefTone(g_RefTone, button);
        mf_RefTone();
        return SentWords();
    }
    static Words Tone(int velocity, Fine f = {64, 0}) {
        const Words head = Join({{Cc(0xBF, 123), Cc(0xBF, 120), Cc(0xBF, 121)}, TuneRun(15, f)});
        if (velocity == 0) return Join({head, {Cc(0xBF, 7), Cc(0xBF, 11)}});
        return Join({head, {Cc(0xBF, 7, 127), Cc(0xBF, 11, 127), Cc(0xCF, 74), Cc(0x9F, 69, velocity)}});
    }
};

// ---- Reference tone ----------------------------------------------------------------------------------

TEST_F(CommandsTest, RefTonePressesSoundMuteAndSwitchLevels) {
    // Soft = 1, loud = 2: each button switches its own level on and off and the other's level over.
    const struct {
        int32_t button, state, velocity;
    } steps[] = {{1, 1, 100}, {1, 0, 0}, {2, 2, 127}, {1, 1, 100}, {2, 2, 127}, {2, 0, 0}};
    for (const auto& s : steps) {
        EXPECT_EQ(Press(s.button), Tone(s.velocity)) << s.button << " -> " << s.state;
        EXPECT_EQ(g_RefTone, s.state);
    }
    // It follows the pitch, ignores the key shift and sounds through connection thru.
    g_Frequency = 4385;  // 438.5 Hz: MSB 0x3C, LSB 0x1B
    g_KeyShift = -7;
    g_ThruConnect = 1;
    EXPECT_EQ(Press(2), Tone(127, {0x3C, 0x1B}));
    EXPECT_EQ(g_LampMasterTune, 10);
}

// ---- Connection thru -----------------------------------------------------------------------------------

TEST_F(CommandsTest, ThruOnJoinsThePortsThenSilencesAndOffUnjoinsRetunesThenSilences) {
    g_ThruConnect = 1;  // the caller sets the flag
    mf_ThruConnect(1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Connect);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_ThruConnect, 1);
    EXPECT_EQ(g_LampMasterTune, -1);
    sim::ClearOutputLog();
    g_Frequency = 4450;
    mf_ThruConnect(0);
    g_ThruConnect = 0;
    ASSERT_EQ(sim::OutputLog().size(), 1u + 90 + 32);
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Disconnect);
    EXPECT_EQ(SentWords(), Join({FullRun(FineTuningFor(445.0)), OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_LampMasterTune, 10);
}

TEST_F(EngineTest, ThruWithAMissingPort) {
    // No input: the flag is cleared and nothing is joined; the silencing still goes out. (An input
    // without an output keeps the flag for the output that comes later: see ports_test.)
    OpenPortsDirect(0, /*withInput=*/false);
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_EQ(sim::OutputLog().size(), 32u);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
    // Off with no ports at all: nothing is sent, and the tuning lamp still lights.
    plat::MidiOutClose(g_MidiOutHandle);
    g_MidiOutHandle = nullptr;
    sim::ClearOutputLog();
    mf_ThruConnect(0);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampMasterTune, 10);
}

// ---- Master tune --------------------------------------------------------------------------------------

TEST_F(CommandsTest, FullRunIsSentBackToBackInExactOrderForEveryPanelPitch) {
    for (int tenths = 4350; tenths <= 4455; tenths += 5) {
        g_Frequency = tenths;
        EXPECT_EQ(Tune(-1), FullRun(FineTuningFor(tenths / 10.0))) << "g_Frequency " << tenths;
        for (const auto& e : sim::ShortMessages()) ASSERT_EQ(e.timeUs, sim::ShortMessages()[0].timeUs);
    }
}

TEST_F(CommandsTest, OffGridPitchUsesTheHalfHertzOfItsWholeHertzAndIsClampedAtTheEnds) {
    for (int tenths = 4351; tenths <= 4454; ++tenths) {
        g_Frequency = tenths;
        if (tenths % 5 == 0) continue;
        EXPECT_EQ(Tune(0), TuneRun(0, FineTuningFor(tenths / 10 + 0.5))) << tenths;
    }
    // Stepped a few tenths past either end of the panel's range.
    const std::pair<int, double> clamps[] = {{4340, 435.0}, {4345, 435.5}, {4349, 435.5}, {4456, 445.5},
                                             {4460, 445.0}, {4461, 445.5}, {4475, 445.5}};
    for (const auto& [tenths, hz] : clamps) {
        g_Frequency = tenths;
        EXPECT_EQ(Tune(0), TuneRun(0, FineTuningFor(hz))) << tenths;
    }
}

TEST_F(CommandsTest, SingleChannelsGetTheirSixMessagesAndPercussionNoneButEveryRunLightsTheLamp) {
    for (int ch = 0; ch < 16; ++ch) {
        g_LampMasterTune = 4;
        g_Redraw = 0;
        EXPECT_EQ(Tune(ch), ch == 9 ? Words{} : TuneRun(ch, {64, 0})) << "channel index " << ch;
        EXPECT_EQ(g_LampMasterTune, 10);
        EXPECT_EQ(g_Redraw, 1);
    }
    EXPECT_EQ(sim::Pump(), 0) << "a request, not an immediate paint";
    g_LampOut = 1;  // the output lamp follows the activity rule
    Tune(-1);
    EXPECT_EQ(g_LampOut, 1);
}

}  // namespace
}  // namespace kvntest
