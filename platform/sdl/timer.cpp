// The multimedia timer (one thread per timer on the steady clock), the clock, sleeping and exit.
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

const Clock::time_point kProcessStart = Clock::now();

constexpr uint32_t kTimerNoCanDo = 97;  // TIMERR_NOCANDO

struct Timer {
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    std::thread thread;
};

struct Timers {
    std::mutex mu;
    uint32_t nextId = 1;
    std::map<uint32_t, std::shared_ptr<Timer>> live;
};

// Never destroyed: a timer thread may outlive static destruction when the program ends without
// killing it (its thread is then simply ended with the process).
Timers& T() {
    static Timers* t = new Timers;
    return *t;
}

void Run(std::shared_ptr<Timer> timer, uint32_t id, uint32_t delay, plat::TimerCallback callback,
         uintptr_t user, bool periodic) {
    const auto period = std::chrono::milliseconds(delay);
    // Due times are counted from the start, not from the last call, so the ticks do not drift.
    Clock::time_point due = Clock::now() + period;
    for (;;) {
        {
            std::unique_lock lk(timer->mu);
            if (timer->cv.wait_until(lk, due, [&] { return timer->stop; })) return;
        }
        callback(id, 0, user, 0, 0);
        if (!periodic) return;
        due += period;
        const auto now = Clock::now();
        if (now > due + 4 * period) due = now;  // after a long stall (a suspended machine) start afresh
    }
}

}  // namespace

namespace plat {

uint32_t TimeGetDevCaps(TimeCaps* caps, uint32_t size) {
    if (caps == nullptr || size < sizeof(TimeCaps)) return kTimerNoCanDo;
    caps->wPeriodMin = 1;
    caps->wPeriodMax = 1000000;
    return kMmNoError;
}

// The steady clock needs no period set.
uint32_t TimeBeginPeriod(uint32_t) { return kMmNoError; }
uint32_t TimeEndPeriod(uint32_t) { return kMmNoError; }

uint32_t TimeSetEvent(uint32_t delay, uint32_t, TimerCallback callback, uintptr_t user, uint32_t flags) {
    if (callback == nullptr || delay == 0) return 0;
    Timers& t = T();
    std::lock_guard lk(t.mu);
    const uint32_t id = t.nextId++;
    auto timer = std::make_shared<Timer>();
    timer->thread = std::thread(Run, timer, id, delay, callback, user, (flags & kTimePeriodic) != 0);
    t.live.emplace(id, std::move(timer));
    return id;
}

uint32_t TimeKillEvent(uint32_t id) {
    std::shared_ptr<Timer> timer;
    {
        Timers& t = T();
        std::lock_guard lk(t.mu);
        auto it = t.live.find(id);
        if (it == t.live.end()) return kTimerNoCanDo;
        timer = std::move(it->second);
        t.live.erase(it);
    }
    {
        std::lock_guard lk(timer->mu);
        timer->stop = true;
    }
    timer->cv.notify_all();
    // No callback runs after this returns, except when a callback kills its own timer.
    if (timer->thread.get_id() == std::this_thread::get_id()) {
        timer->thread.detach();
    } else {
        timer->thread.join();
    }
    return kMmNoError;
}

uint64_t ClockMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - kProcessStart).count());
}

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ExitProcess(int status) { std::_Exit(status); }

}  // namespace plat
