// The engine timer: its set-up and tear-down against the platform, the lamp countdowns it lowers,
// the one-paint-per-tick repaint protocol, the SysEx family timeout and the hung-output watchdog.
#include <array>
#include <cstdio>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

// Input lamp, output lamp, repaint request.
std::tuple<int, int, int> Lamps() { return {g_LampIn, g_LampOut, g_Redraw}; }

int PaintsQueued() {
    int n = 0;
    for (const auto& p : sim::Queue()) n += p.msg == plat::kWmPaint ? 1 : 0;
    return n;
}

// Records what the panel would find when it draws.
class SnapshotWindow final : public plat::WindowClient {
public:
    struct Seen {
        int32_t lampIn, blinkPhase, family, silence;
    };
    intptr_t WindowProc(uint32_t msg, uintptr_t, intptr_t) override {
        if (msg == plat::kWmPaint) seen.push_back({g_LampIn, g_BlinkPhase, g_SysExFamily, g_InputSilence});
        return 0;
    }
    std::vector<Seen> seen;
};

// ---- Set-up and tear-down of the platform timer ------------------------------------------------

TEST_F(EngineTest, TimerPeriodIsAskedForUnlessTheMinimumIsOneAndOnlyACoarseTimerWarns) {
    const struct {
        uint32_t min;
        bool warns;
        int periodCalls;
    } cases[] = {{1, false, 0}, {2, true, 1}, {0, false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.min);
        ResetEverything();
        sim::SetTimeCaps(c.min, 1000000);
        mf_TimerInitialize();
        EXPECT_EQ(std::make_pair(g_TimeCaps.wPeriodMin, g_TimeCaps.wPeriodMax),
                  std::make_pair(c.min, 1000000u));
        ASSERT_EQ(sim::Boxes().size(), c.warns ? 1u : 0u);
        for (const auto& b : sim::Boxes()) {
            EXPECT_EQ(std::tie(b.text, b.caption, b.style),
                      std::make_tuple("マルチメディア高精度タイマーが使用できません！",
                                      "CMIDI::mf_TimerInitialize()", 0x30u));
        }
        EXPECT_EQ(std::make_pair(sim::BeginPeriodCalls(), sim::EndPeriodCalls()),
                  std::make_pair(c.periodCalls, 0));
        mf_TimerEndPeriod();
        EXPECT_EQ(std::make_pair(sim::BeginPeriodCalls(), sim::EndPeriodCalls()),
                  std::make_pair(c.periodCalls, c.periodCalls));
    }
}

TEST_F(EngineTest, OneTimerAtMostAndKillStopsTheTicks) {
    mf_TimerStart();
    ASSERT_NE(g_TimerId, 0u);
    const uint32_t first = g_TimerId;
    mf_TimerStart();
    EXPECT_EQ(g_TimerId, first);
    g_LampPanic = 5;  // two timers would lower it twice per tick
    sim::Tick();
    EXPECT_EQ(g_LampPanic, 4);

    mf_TimerKill();
    EXPECT_EQ(g_TimerId, 0u);
    EXPECT_FALSE(sim::TimerRunning());
    g_Redraw = 1;
    sim::Tick(3);
    sim::Pump();
    EXPECT_EQ(g_LampPanic, 4);
    EXPECT_EQ(window_.paints, 0);

    sim::SetTimerFails(true);  // a failed start leaves the id at 0, and a kill of id 0 is harmless
    mf_TimerStart();
    EXPECT_EQ(g_TimerId, 0u);
    mf_TimerKill();
    sim::SetTimerFails(false);
    mf_TimerStart();  // with the id back at 0 a new start is accepted
    EXPECT_NE(g_TimerId, 0u);
    EXPECT_TRUE(sim::TimerRunning());
}

// ---- Lamp countdowns and repaints ------------------------------------------------------------------

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
    Note();
    EXPECT_EQ(Lamps(), std::make_tuple(3, 3, 1));
    sim::Tick();
    sim::Pump();
    Note();  // counting: neither extended nor re-armed, nothing changes on the face
    EXPECT_EQ(Lamps(), std::make_tuple(2, 2, 0));
    sim::Tick();
    EXPECT_EQ(Lamps(), std::make_tuple(1, 1, 0));
    sim::Tick();
    Note();  // dark at 0, still not idle
    EXPECT_EQ(Lamps(), std::make_tuple(0, 0, 0));
    sim::Tick(2);
    EXPECT_EQ(Lamps(), std::make_tuple(-1, -1, 0));
    sim::Pump();
    Note();  // first message after the rest
    EXPECT_EQ(Lamps(), std::make_tuple(3, 3, 1));
}

TEST_F(LampTest, EveryCountdownFallsByOnePerTickAndRestsAtIdleWithoutPosting) {
    const std::array<Atomic32*, 12> lamps = {
        &g_LampFreqDown, &g_LampFreqUp,  &g_LampMasterTune, &g_LampIn,     &g_LampOut,   &g_LampPanic,
        &g_LampDrop,     &g_LampKeyDown, &g_LampKeyUp,      &g_BlinkPhase, &g_BlinkHold, &g_InputSilence};
    for (size_t i = 0; i < lamps.size(); ++i) *lamps[i] = static_cast<int32_t>(i + 1);
    sim::Tick();
    for (size_t i = 0; i < lamps.size(); ++i)
        EXPECT_EQ(*lamps[i], static_cast<int32_t>(i)) << "countdown " << i;
    sim::Tick(20);
    for (size_t i = 0; i < lamps.size(); ++i) EXPECT_EQ(*lamps[i], -1) << "countdown " << i;
    sim::Pump();
    sim::Tick(50);
    EXPECT_EQ(sim::Pump(), 0) << "idle ticks post nothing";
}

TEST_F(LampTest, ManyRequestsInOneTickMakeOnePaint) {
    OpenPortsDirect();
    for (int i = 0; i < 20; ++i) Note();
    mf_RequestRedraw();
    mf_SendMasterTune(-1);
    mf_RequestRedraw();
    EXPECT_EQ(window_.paints, 0) << "requests must wait for the tick";

    sim::Tick();
    ASSERT_EQ(PaintsQueued(), 1);
    const sim::Posted paint = sim::Queue()[0];
    EXPECT_EQ(paint.wnd, wnd_);
    EXPECT_EQ(paint.wParam, 0u);
    EXPECT_EQ(paint.lParam, 0);
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
    g_BlinkPhase = 2;
    sim::Tick(2);
    sim::Pump();
    EXPECT_TRUE(panel.seen.empty()) << "no paint while the phase counts 2, 1, 0";
    EXPECT_EQ(g_BlinkPhase, 0);
    sim::Tick();
    sim::Pump();
    ASSERT_EQ(panel.seen.size(), 1u);
    EXPECT_EQ(panel.seen[0].blinkPhase, -1);

    panel.seen.clear();
    g_LampIn = 1;
    sim::Tick(2);
    sim::Pump();
    ASSERT_EQ(panel.seen.size(), 1u);
    EXPECT_EQ(panel.seen[0].lampIn, -1);
}

// ---- SysEx family timeout --------------------------------------------------------------------------

TEST_F(LampTest, FamilyClearsOnTheTickAfterFiveSecondsOfSilence) {
    SnapshotWindow panel;
    g_PanelWnd = sim::CreateTestWindow(&panel);
    OpenPortsDirect();
    // The panel window is only a recorder here: hand the posted input to the engine ourselves.
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));
    const sim::Posted posted = sim::Queue().at(0);
    ASSERT_EQ(posted.msg, kMsgLongIn);
    sim::PumpOne();
    OnMidiLongMsg(posted.wParam, posted.lParam);
    ASSERT_EQ(g_SysExFamily, 1);
    ASSERT_EQ(g_InputSilence, 500);

    sim::Tick(500);
    sim::Pump();
    EXPECT_EQ(g_InputSilence, 0);
    EXPECT_EQ(g_SysExFamily, 1) << "500 ticks of silence have only just passed";
    panel.seen.clear();
    sim::Tick();
    EXPECT_EQ(g_SysExFamily, -1);
    sim::Pump();
    ASSERT_EQ(panel.seen.size(), 1u);
    EXPECT_EQ(panel.seen[0].family, -1);
    EXPECT_EQ(panel.seen[0].silence, -1);
    sim::Tick(1000);  // nothing brings it back by itself
    EXPECT_EQ(g_SysExFamily, -1);
}

TEST_F(LampTest, AnyCallbackRestartsTheSilenceAndOtherRunOutsLeaveTheFamilyAlone) {
    OpenPortsDirect();
    g_SysExFamily = 2;
    Note();  // input lamp and silence armed together
    sim::Tick(10);
    sim::Pump();
    EXPECT_EQ(g_LampIn, -1);
    EXPECT_GE(window_.paints, 1);
    EXPECT_EQ(g_SysExFamily, 2);

    ASSERT_TRUE(sim::DeliverShort(Msg(0xFE)));
    sim::Tick(400);
    MidiInProc(g_MidiInHandle, plat::kMimError, 0, 0, 0);  // an error report counts as input just the same
    sim::Tick(400);
    EXPECT_EQ(g_SysExFamily, 2);
    sim::Tick(101);
    EXPECT_EQ(g_SysExFamily, -1);
}

// ---- Hung-output watchdog ----------------------------------------------------------------------------

TEST_F(LampTest, WatchdogEndsTheProcessOnlyAfterTenSecondsInsideOneSend) {
    sim::Tick(1500);
    EXPECT_EQ(g_HungCount, -1);

    auto arm = [] {
        std::snprintf(g_HungMessage, sizeof g_HungMessage,
                      "[Synth] got missing.  Sorry,  Exit this application.");
        g_HungCount.StoreRelease(0);
    };
    arm();
    sim::Tick(999);
    EXPECT_EQ(g_HungCount, 999);
    EXPECT_TRUE(sim::Boxes().empty());
    g_HungCount = -1;  // the send came back
    EXPECT_NO_THROW(sim::Tick(2000));
    EXPECT_EQ(g_HungCount, -1);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(sim::ExitStatus(), -1);

    arm();
    sim::Tick(999);
    EXPECT_THROW(sim::Tick(), sim::ProcessExit);
    EXPECT_EQ(sim::ExitStatus(), 1);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "[Synth] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    EXPECT_EQ(sim::Boxes()[0].style, 0u);
}

}  // namespace
}  // namespace kvntest
