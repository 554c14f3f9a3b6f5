// The engine timer: its set-up and tear-down against the platform, the lamp countdowns it lowers,
// the one-paint-per-tick repaint protocol, the SysEx family timeout and the hung-output watchdog.
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

// The twelve countdowns the timer lowers.
std::array<Atomic32*, 12> AllCountdowns() {
    return {&g_LampFreqDown, &g_LampFreqUp,  &g_LampMasterTune, &g_LampIn,     &g_LampOut,   &g_LampPanic,
            &g_LampDrop,     &g_LampKeyDown, &g_LampKeyUp,      &g_BlinkPhase, &g_BlinkHold, &g_InputSilence};
}

int PaintsQueued() {
    int n = 0;
    for (const auto& p : sim::Queue()) n += p.msg == plat::kWmPaint ? 1 : 0;
    return n;
}

// ---- Set-up and tear-down of the platform timer ------------------------------------------------

class TimerSetupTest : public EngineTest {};

TEST_F(TimerSetupTest, OneMillisecondMinimumNeedsNoPeriodAndNoWarning) {
    sim::SetTimeCaps(1, 1000000);
    mf_TimerInitialize();
    EXPECT_EQ(g_TimeCaps.wPeriodMin, 1u);
    EXPECT_EQ(g_TimeCaps.wPeriodMax, 1000000u);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(sim::BeginPeriodCalls(), 0);

    mf_TimerEndPeriod();
    EXPECT_EQ(sim::EndPeriodCalls(), 0);
}

TEST_F(TimerSetupTest, CoarseTimerWarnsOnceAndAsksForOneMillisecond) {
    sim::SetTimeCaps(2, 1000);
    mf_TimerInitialize();
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "マルチメディア高精度タイマーが使用できません！");
    EXPECT_EQ(sim::Boxes()[0].caption, "CMIDI::mf_TimerInitialize()");
    EXPECT_EQ(sim::Boxes()[0].style, 0x30u);
    EXPECT_EQ(sim::BeginPeriodCalls(), 1);
    EXPECT_EQ(sim::EndPeriodCalls(), 0);

    mf_TimerEndPeriod();
    EXPECT_EQ(sim::EndPeriodCalls(), 1);
    EXPECT_EQ(sim::BeginPeriodCalls(), 1);
}

TEST_F(TimerSetupTest, ZeroMinimumAsksForThePeriodWithoutWarning) {
    // Only a minimum above 1 is worth a warning; any minimum but 1 gets the period set and released.
    sim::SetTimeCaps(0, 1000);
    mf_TimerInitialize();
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(sim::BeginPeriodCalls(), 1);
    mf_TimerEndPeriod();
    EXPECT_EQ(sim::EndPeriodCalls(), 1);
}

TEST_F(TimerSetupTest, StartRunsOneTimerAndASecondStartDoesNothing) {
    mf_TimerStart();
    ASSERT_NE(g_TimerId, 0u);
    EXPECT_TRUE(sim::TimerRunning());
    const uint32_t first = g_TimerId;

    mf_TimerStart();
    EXPECT_EQ(g_TimerId, first);

    // Two timers would lower every countdown twice per tick.
    g_LampPanic = 5;
    sim::Tick();
    EXPECT_EQ(g_LampPanic, 4);
}

TEST_F(TimerSetupTest, KillStopsTheTicks) {
    mf_TimerStart();
    mf_TimerKill();
    EXPECT_EQ(g_TimerId, 0u);
    EXPECT_FALSE(sim::TimerRunning());

    g_LampPanic = 5;
    g_Redraw = 1;
    sim::Tick(3);
    sim::Pump();
    EXPECT_EQ(g_LampPanic, 5);
    EXPECT_EQ(window_.paints, 0);

    // With the id back at 0 a new start is accepted.
    mf_TimerStart();
    EXPECT_NE(g_TimerId, 0u);
    EXPECT_TRUE(sim::TimerRunning());
}

TEST_F(TimerSetupTest, FailedStartLeavesEverythingLitAndInert) {
    sim::SetTimerFails(true);
    mf_TimerStart();
    EXPECT_EQ(g_TimerId, 0u);
    EXPECT_FALSE(sim::TimerRunning());

    g_LampIn = 3;
    g_Redraw = 1;
    g_HungCount = 0;
    sim::Tick(2000);
    sim::Pump();
    EXPECT_EQ(g_LampIn, 3);
    EXPECT_EQ(window_.paints, 0);
    EXPECT_EQ(g_HungCount, 0);
    EXPECT_TRUE(sim::Boxes().empty());

    mf_TimerKill();  // passes id 0 to the platform, which refuses it harmlessly
    EXPECT_EQ(g_TimerId, 0u);
}

// ---- Lamp countdowns -----------------------------------------------------------------------------

class LampTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        mf_TimerStart();
        ASSERT_NE(g_TimerId, 0u);
    }
    void Note() { Play(Msg(0x90, 60, 100)); }
    // Control 6 while RPN 0/1 is selected on channel 1: always dropped.
    void DropOne() { Play(Msg(0xB0, 6, 64)); }
    void SelectFineTuning() {
        Play(Msg(0xB0, 101, 0));
        Play(Msg(0xB0, 100, 1));
    }
};

TEST_F(LampTest, InputLampCountsThreeTwoOneZeroThenRests) {
    OpenPortsDirect();
    Note();
    std::vector<int32_t> seen{g_LampIn};
    for (int i = 0; i < 5; ++i) {
        sim::Tick();
        seen.push_back(g_LampIn);
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{3, 2, 1, 0, -1, -1}));
}

TEST_F(LampTest, TrafficWhileCountingNeitherExtendsNorReArms) {
    OpenPortsDirect();
    Note();
    ASSERT_EQ(g_LampIn, 3);
    ASSERT_EQ(g_LampOut, 3);
    sim::Tick();
    Note();
    EXPECT_EQ(g_LampIn, 2);
    EXPECT_EQ(g_LampOut, 2);
    sim::Tick(2);
    Note();  // dark at 0, still not idle
    EXPECT_EQ(g_LampIn, 0);
    EXPECT_EQ(g_LampOut, 0);
    sim::Tick();
    ASSERT_EQ(g_LampIn, -1);
    Note();  // first message after the rest
    EXPECT_EQ(g_LampIn, 3);
    EXPECT_EQ(g_LampOut, 3);
}

TEST_F(LampTest, ActivityArmingRequestsARedrawOnlyWhenItArms) {
    OpenPortsDirect();
    Note();
    EXPECT_EQ(g_Redraw, 1);
    sim::Tick();
    sim::Pump();
    ASSERT_EQ(g_Redraw, 0);
    Note();  // lamps counting: nothing changes on the face
    EXPECT_EQ(g_Redraw, 0);
}

TEST_F(LampTest, DropLampIsReArmedByEveryDrop) {
    OpenPortsDirect();
    SelectFineTuning();
    DropOne();
    EXPECT_EQ(g_LampDrop, 50);
    sim::Tick(20);
    EXPECT_EQ(g_LampDrop, 30);
    DropOne();
    EXPECT_EQ(g_LampDrop, 50);
    // Steady dropping keeps it lit.
    for (int i = 0; i < 10; ++i) {
        sim::Tick(40);
        DropOne();
        EXPECT_GE(g_LampDrop, 1);
    }
}

TEST_F(LampTest, EveryCountdownFallsByOnePerTickAndRestsAtIdle) {
    auto lamps = AllCountdowns();
    for (size_t i = 0; i < lamps.size(); ++i) *lamps[i] = static_cast<int32_t>(i + 1);
    sim::Tick();
    for (size_t i = 0; i < lamps.size(); ++i)
        EXPECT_EQ(*lamps[i], static_cast<int32_t>(i)) << "countdown " << i;
    sim::Tick(20);
    for (size_t i = 0; i < lamps.size(); ++i) EXPECT_EQ(*lamps[i], -1) << "countdown " << i;
}

TEST_F(LampTest, IdleTicksPostNothing) {
    sim::Tick(50);
    EXPECT_EQ(sim::Pump(), 0);
    EXPECT_EQ(window_.paints, 0);
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

    // The lamps are still counting: no new request, no new paint.
    sim::Tick();
    sim::Pump();
    EXPECT_EQ(window_.paints, 1);
}

TEST_F(LampTest, ARunOutCostsExactlyOnePaint) {
    g_LampPanic = 70;
    int paintsSeen = 0;
    for (int tick = 1; tick <= 75; ++tick) {
        sim::Tick();
        const int queued = PaintsQueued();
        sim::Pump();
        if (queued != 0) {
            // The panic lamp reached 0 at tick 70; tick 71 sees it and asks for the repaint.
            EXPECT_EQ(tick, 71);
            paintsSeen += queued;
        }
    }
    EXPECT_EQ(paintsSeen, 1);
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

TEST_F(LampTest, TheRunOutPaintFindsTheCountdownAlreadyIdle) {
    SnapshotWindow panel;
    g_PanelWnd = sim::CreateTestWindow(&panel);

    // A blink phase armed by the panel asks for no repaint of its own; the icon blink relies on the
    // run-out paint finding it at -1.
    g_BlinkPhase = 2;
    sim::Tick(2);
    sim::Pump();
    EXPECT_TRUE(panel.seen.empty()) << "no paint while the phase counts 2, 1, 0";
    EXPECT_EQ(g_BlinkPhase, 0);
    sim::Tick();
    sim::Pump();
    ASSERT_EQ(panel.seen.size(), 1u);
    EXPECT_EQ(panel.seen[0].blinkPhase, -1);

    // Same for the input lamp: the paint that turns it off finds it idle.
    panel.seen.clear();
    g_LampIn = 1;
    sim::Tick(2);
    sim::Pump();
    ASSERT_EQ(panel.seen.size(), 1u);
    EXPECT_EQ(panel.seen[0].lampIn, -1);
}

// ---- SysEx family timeout --------------------------------------------------------------------------

class FamilyTimeoutTest : public LampTest {};

TEST_F(FamilyTimeoutTest, FamilyClearsOnTheTickAfterFiveSecondsOfSilence) {
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

    // Nothing brings it back by itself.
    sim::Tick(1000);
    EXPECT_EQ(g_SysExFamily, -1);
}

TEST_F(FamilyTimeoutTest, AnyCallbackRestartsTheSilence) {
    OpenPortsDirect();
    g_SysExFamily = 2;
    ASSERT_TRUE(sim::DeliverShort(Msg(0xFE)));
    sim::Tick(400);
    // An error report from the driver counts as input just the same.
    MidiInProc(g_MidiInHandle, plat::kMimError, 0, 0, 0);
    sim::Tick(400);
    EXPECT_EQ(g_SysExFamily, 2);
    sim::Tick(101);
    EXPECT_EQ(g_SysExFamily, -1);
}

TEST_F(FamilyTimeoutTest, OtherLampsRunningOutLeaveTheFamilyAlone) {
    OpenPortsDirect();
    g_SysExFamily = 0;
    Note();  // input lamp and silence armed together
    sim::Tick(10);
    sim::Pump();
    EXPECT_EQ(g_LampIn, -1);
    EXPECT_GE(window_.paints, 1);
    EXPECT_EQ(g_SysExFamily, 0);
}

// ---- Hung-output watchdog ----------------------------------------------------------------------------

class WatchdogTest : public LampTest {
protected:
    void Arm(const char* name) {
        std::snprintf(g_HungMessage, sizeof g_HungMessage,
                      "[%s] got missing.  Sorry,  Exit this application.", name);
        g_HungCount.StoreRelease(0);
    }
};

TEST_F(WatchdogTest, IdleWatchdogStaysIdle) {
    sim::Tick(1500);
    EXPECT_EQ(g_HungCount, -1);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(sim::ExitStatus(), -1);
}

TEST_F(WatchdogTest, SendReturningAtTick999EndsNothing) {
    Arm("Synth");
    sim::Tick(999);
    EXPECT_EQ(g_HungCount, 999);
    EXPECT_TRUE(sim::Boxes().empty());
    g_HungCount = -1;  // the send came back
    EXPECT_NO_THROW(sim::Tick(2000));
    EXPECT_EQ(g_HungCount, -1);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(sim::ExitStatus(), -1);
}

TEST_F(WatchdogTest, TenSecondsInsideOneSendEndsTheProcess) {
    Arm("Synth");
    sim::Tick(999);
    EXPECT_THROW(sim::Tick(), sim::ProcessExit);
    EXPECT_EQ(sim::ExitStatus(), 1);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "[Synth] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    EXPECT_EQ(sim::Boxes()[0].style, 0u);
}

TEST_F(WatchdogTest, HungSendThroughTheOutputPathEndsTheProcess) {
    OpenPortsDirect();
    g_MidiOutDeviceName = "Roland SC-88";
    sim::SetOutputLongMode(0, sim::LongMode::Block);
    const uint8_t reset[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    const uint64_t before = sim::NowUs();
    try {
        mf_SendSysEx(reinterpret_cast<const char*>(reset), sizeof reset);
        ADD_FAILURE() << "the send came back although the driver never returned";
    } catch (const sim::ProcessExit& e) {
        EXPECT_EQ(e.status, 1);
    }
    EXPECT_EQ(sim::ExitStatus(), 1);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "[Roland SC-88] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    // 1000 ticks of 10 ms, give or take the clock reads of the send itself.
    const uint64_t spent = sim::NowUs() - before;
    EXPECT_GE(spent, 10'000'000u);
    EXPECT_LT(spent, 10'010'000u);
}

}  // namespace
}  // namespace kvntest
