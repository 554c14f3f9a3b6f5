// The engine's 10 ms heartbeat: lamp countdowns, coalesced repaints, the SysEx family timeout and
// the watchdog over a long-message send that never returns.
#include "engine/engine.h"

namespace {

constexpr int32_t kHungLimitTicks = 1000;  // 10 s

// The countdowns of the layers above, handed over once each; a slot once filled keeps its value.
constexpr int kMaxOtherCountdowns = 4;
std::atomic<Atomic32*> g_OtherCountdowns[kMaxOtherCountdowns] = {};

// Calls f on every countdown the tick lowers: the lamps, then the other layers'.
template <typename F>
void ForEachCountdown(F f) {
    for (Atomic32* c : kLamps) f(*c);
    for (const std::atomic<Atomic32*>& slot : g_OtherCountdowns) {
        Atomic32* c = slot.load(std::memory_order_acquire);
        if (c == nullptr) break;
        f(*c);
    }
}

}  // namespace

void mf_TimerAlsoLowers(Atomic32& countdown) {
    for (std::atomic<Atomic32*>& slot : g_OtherCountdowns) {
        Atomic32* expected = nullptr;
        if (slot.compare_exchange_strong(expected, &countdown, std::memory_order_acq_rel) ||
            expected == &countdown)
            return;
    }
}

void mf_ArmActivity(Atomic32& lamp) {
    if (lamp == kLampIdle) {
        lamp = 3;
        g_Redraw = 1;
    }
}

void mf_RequestRedraw() { g_Redraw = 1; }

void mf_PostPaint() { plat::PostWindowMessage(g_PanelWnd.load(), plat::kWmPaint, 0, 0); }

void mf_TimerInitialize() {
    plat::TimeGetDevCaps(&g_TimeCaps, sizeof g_TimeCaps);
    if (g_TimeCaps.wPeriodMin > 1) {
        plat::ShowMessageBox("マルチメディア高精度タイマーが使用できません！", "CMIDI::mf_TimerInitialize()",
                             plat::kMbOk | plat::kMbIconWarning);
    }
    if (g_TimeCaps.wPeriodMin != 1) plat::TimeBeginPeriod(1);
}

void mf_TimerStart() {
    if (g_TimerId != 0) return;
    g_TimerId = plat::TimeSetEvent(10, 1, TimerProc, 1, plat::kTimePeriodic);
}

void mf_TimerKill() {
    plat::TimeKillEvent(g_TimerId);
    g_TimerId = 0;
}

void mf_TimerEndPeriod() {
    if (g_TimeCaps.wPeriodMin != 1) plat::TimeEndPeriod(1);
}

void TimerProc(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
    // 1. A countdown standing at 0 has just run out: its lamp must go dark, so ask for a repaint.
    //    Tested before the decrement so that the repaint already finds it at -1.
    bool runOut = false;
    ForEachCountdown([&](const Atomic32& c) { runOut |= (c == 0); });
    if (runOut) {
        if (g_InputSilence == 0) g_SysExFamily = -1;
        g_Redraw = 1;
    }
    // 2. Lower every running countdown. A plain read-then-write: an arming store that slips in
    //    between is lost, which costs one lamp flash at most.
    ForEachCountdown([](Atomic32& c) {
        const int32_t v = c;
        if (v > kLampIdle) c = v - 1;
    });
    // 3. At most one paint per tick, however many requests came in.
    if (g_Redraw == 1) {
        g_Redraw = 0;
        mf_PostPaint();
    }
    // 4. Watchdog: the user-interface thread is stuck inside a long send.
    //    Counted with a compare-exchange: a plain read-then-write could undo the -1 that the send
    //    stores when it returns, and the watchdog would then end a healthy process 10 s later.
    int32_t hung = g_HungCount.LoadAcquire();
    if (hung >= 0 && g_HungCount.CompareExchange(hung, hung + 1)) {
        if (hung + 1 >= kHungLimitTicks) {
            plat::ShowMessageBox(g_HungMessage, "Korvane", plat::kMbOk);
            plat::ExitProcess(1);
        }
    }
}
