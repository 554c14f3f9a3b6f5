// The engine timer: its set-up and tear-down against the platform, the lamp countdowns it lowers,
// the one-paint-per-tick repaint protocol and the SysEx family timeout. The hung-output watchdog
// is exercised through a blocked send in sysex_test.
#include <tuple>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

// A countdown of a layer above, handed to the tick as the panel hands it its icon blink.
Atomic32 g_BlinkPhase{kLampIdle};

// Input lamp, output lamp, repaint request.
std::tuple<int, int, int> Lamps() { return {g_LampIn, g_LampOut, g_Redraw}; }

// Records what the panel would find when it draws.
class SnapshotWindow final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t, intptr_t) override {
        if (msg == plat::kWmPaint) seen.push_back({g_LampIn, g_BlinkPhase});
        return 0;
    }
    std::vector<std::pair<int32_t, int32_t>> seen;  // input lamp, blink phase
};

TEST_F(EngineTest, TimerPeriodIsAskedForUnlessTheMinimumIsOneAndOnlyACoarseTimerWarns) {
    // {minimum period, warning boxes, begin/end period calls}
    const std::tuple<uint32_t, size_t, int> cases[] = {{1, 0, 0}, {2, 1, 1}, {0, 0, 1}};
    for (const auto& [min, boxes, calls] : cases) {
        SCOPED_TRACE(min);
        ResetEverything();
        sim::SetTimeCaps(min, 1000000);
        mf_TimerInitialize();
        EXPECT_EQ(sim::Boxes().size(), boxes);
        EXPECT_EQ(sim::BeginPeriodCalls(), calls);
        EXPECT_EQ(sim::EndPeriodCalls(), 0);
        mf_TimerEndPeriod();
        EXPECT_EQ(sim::EndPeriodCalls(), calls);
    }
}

TEST_F(EngineTest, OneTimerAtMostAndKillStopsTheTicks) {
    mf_TimerStart();
    const uint32_t first = g_TimerId;
    ASSERT_NE(first, 0u);
    mf_TimerStart();
    EXPECT_EQ(g_TimerId, first);
    g_LampPanic = 5;  // two timers would lower it twice per tick
    sim::Tick();
    EXPECT_EQ(g_LampPanic, 4);

    mf_TimerKill();
    EXPECT_EQ(g_TimerId, 0u);
    EXPECT_FALSE(sim::TimerRunning());
    sim::SetTimerFails(true);  // a failed start leaves the id at 0, so a later start is accepted
    mf_TimerStart();
    sim::SetTimerFails(false);
    mf_TimerStart();
    EXPECT_TRUE(sim::TimerRunning());
}

class LampTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        mf_TimerStart();
        ASSERT_NE(g_TimerId, 0u);
    }
    void Note() { Play(Msg(0x90, 60, 100)); }
};

TEST_F(LampTest, ActivityLampCountsDownAndOnlyTrafficAtRestReArmsIt) {
    OpenPortsDirect();
    // {ticks, then a note or not, the lamps after}
    const std::tuple<int, bool, std::tuple<int, int, int>> steps[] = {
        {0, true, {3, 3, 1}},    {1, true, {2, 2, 0}},  // counting: neither extended nor re-armed
        {1, false, {1, 1, 0}},   {1, true, {0, 0, 0}},  // dark at 0, still not idle
        {2, false, {-1, -1, 0}}, {0, true, {3, 3, 1}}   // the first message after the rest
    };
    for (const auto& [ticks, note, lamps] : steps) {
        sim::Tick(ticks);
        sim::Pump();
        if (note) Note();
        EXPECT_EQ(Lamps(), lamps) << ticks << (note ? " then a note" : "");
    }
}

TEST_F(LampTest, EveryCountdownFallsByOnePerTickAndRestsAtIdleWithoutPosting) {
    mf_TimerAlsoLowers(g_BlinkPhase);
    std::vector<Atomic32*> lamps(std::begin(kLamps), std::end(kLamps));
    lamps.push_back(&g_BlinkPhase);
    for (size_t i = 0; i < lamps.size(); ++i) *lamps[i] = static_cast<int32_t>(i + 1);
    sim::Tick();
    for (size_t i = 0; i < lamps.size(); ++i) EXPECT_EQ(*lamps[i], int32_t(i)) << "countdown " << i;
    sim::Tick(20);
    for (size_t i = 0; i < lamps.size(); ++i) EXPECT_EQ(*lamps[i], -1) << "countdown " << i;
    sim::Pump();
    sim::Tick(50);
    EXPECT_EQ(sim::Pump(), 0) << "idle ticks post nothing";
}

TEST_F(LampTest, ManyRequestsInOneTickMakeOnePaint) {
    OpenPortsDirect();
    for (int i = 0; i < 20; ++i) Note();
    mf_SendMasterTune(-1);
    mf_RequestRedraw();
    EXPECT_EQ(window_.paints, 0) << "requests must wait for the tick";
    sim::Tick();
    ASSERT_EQ(sim::Queue().size(), 1u);
    EXPECT_EQ(std::tie(sim::Queue()[0].wnd, sim::Queue()[0].msg), std::make_tuple(wnd_, plat::kWmPaint));
    sim::Pump();
    EXPECT_EQ(window_.paints, 1);
    EXPECT_EQ(g_Redraw, 0);
    sim::Tick();  // the lamps are still counting: no new request, no new paint
    sim::Pump();
    EXPECT_EQ(window_.paints, 1);
}

TEST_F(LampTest, ARunOutCostsExactlyOnePaintWhichFindsTheCountdownAlreadyIdle) {
    SnapshotWindow panel;
    g_PanelWnd = sim::CreateTestWindow(&panel);
    g_LampPanic = 70;
    for (int tick = 1; tick <= 75; ++tick) {
        sim::Tick();
        sim::Pump();
        // The panic lamp reached 0 at tick 70; tick 71 sees it and asks for the repaint.
        EXPECT_EQ(panel.seen.size(), tick >= 71 ? 1u : 0u) << "tick " << tick;
    }
    // A blink phase armed by the panel asks for no repaint of its own; the icon blink relies on the
    // run-out paint finding it at -1.
    panel.seen.clear();
    mf_TimerAlsoLowers(g_BlinkPhase);
    g_BlinkPhase = 2;
    sim::Tick(2);
    sim::Pump();
    EXPECT_TRUE(panel.seen.empty()) << "no paint while the phase counts 2, 1, 0";
    sim::Tick();
    sim::Pump();
    g_LampIn = 1;
    sim::Tick(2);
    sim::Pump();
    EXPECT_EQ(panel.seen, (std::vector<std::pair<int32_t, int32_t>>{{-1, -1}, {-1, -1}}));
}

TEST_F(LampTest, FamilyClearsOnTheTickAfterFiveSecondsWithoutAnyInputCallback) {
    OpenPortsDirect();
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));
    sim::Pump();
    ASSERT_EQ(g_SysExFamily, 1);
    Note();  // other lamps run out meanwhile and leave the family alone
    sim::Tick(400);
    MidiInProc(g_MidiInHandle, plat::kMimError, 0, 0, 0);  // an error report counts as input just the same
    sim::Tick(500);
    sim::Pump();
    EXPECT_EQ(g_InputSilence, 0);
    EXPECT_EQ(g_SysExFamily, 1) << "500 ticks of silence have only just passed";
    const int paints = window_.paints;
    sim::Tick();
    EXPECT_EQ(g_SysExFamily, -1);
    sim::Pump();
    EXPECT_EQ(window_.paints, paints + 1);
    sim::Tick(1000);  // nothing brings it back by itself
    EXPECT_EQ(g_SysExFamily, -1);
}

}  // namespace
}  // namespace kvntest
