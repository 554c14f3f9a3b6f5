#include "tests/stress/threaded_platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/device_name.h"

using Clock = std::chrono::steady_clock;

struct plat::Window {
    plat::WindowClient* client = nullptr;
};

struct plat::MidiInPort {
    MidiInPort(plat::MidiInCallback c, uintptr_t i) : callback(c), instance(i) {}
    plat::MidiInCallback callback;
    uintptr_t instance;
    std::atomic<bool> started{false};
    std::atomic<plat::MidiOutPort*> link{nullptr};
    std::mutex m{};  // the queue of headers, as the driver keeps it
    std::deque<plat::MidiHdr*> queue{};
};

// Its thread completes the long messages sent, in order, as a transmitting driver does.
struct plat::MidiOutPort {
    MidiOutPort(plat::MidiOutCallback c, uintptr_t i) : callback(c), instance(i) {}
    plat::MidiOutCallback callback;
    uintptr_t instance;
    std::mutex m{};
    std::condition_variable cv{};
    std::deque<std::pair<plat::MidiHdr*, std::vector<uint8_t>>> pending{};  // and the bytes sent
    bool busy = false, stop = false;
    std::thread thread{};
};

namespace {

struct Posted {
    plat::HWnd wnd;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

struct Timer {
    std::atomic<bool> stop{false};
    std::thread thread;
};

struct World {
    // User-interface thread only. Ports are never freed: a stale handle stays harmless.
    plat::MidiOutPort* output = nullptr;
    plat::Window window;
    std::vector<std::unique_ptr<Timer>> timers;
    std::vector<tp::Record> records;

    std::atomic<plat::MidiInPort*> input{nullptr};  // handed to the driver thread when it opens

    std::mutex qm;  // the window message queue
    std::condition_variable messages, space;
    std::deque<Posted> queue;

    std::atomic<uint64_t> ticks{0};
    std::atomic<int> addedWhileWaiting{0}, changedWhileSending{0};
} g;

thread_local bool t_posted = false;

// Relaxed, so that the platform itself orders nothing between the threads.
uint32_t LoadFlags(plat::MidiHdr* hdr) {
    return std::atomic_ref<uint32_t>(hdr->dwFlags).load(std::memory_order_relaxed);
}
void SetFlags(plat::MidiHdr* hdr, uint32_t set, uint32_t clear) {
    std::atomic_ref<uint32_t> flags(hdr->dwFlags);
    uint32_t f = flags.load(std::memory_order_relaxed);
    while (!flags.compare_exchange_weak(f, (f & ~clear) | set, std::memory_order_relaxed)) {
    }
}

void Done(plat::MidiOutPort* port, plat::MidiHdr* hdr) {
    SetFlags(hdr, plat::kMhdrDone, plat::kMhdrInQueue);
    port->callback(port, plat::kMomDone, port->instance, reinterpret_cast<uintptr_t>(hdr), 0);
}

void CompletionLoop(plat::MidiOutPort* port) {
    std::unique_lock lk(port->m);
    for (;;) {
        port->cv.wait(lk, [&] { return port->stop || !port->pending.empty(); });
        if (port->stop) return;
        auto [hdr, sent] = std::move(port->pending.front());
        port->pending.pop_front();
        port->busy = true;
        lk.unlock();
        // As a driver that has sent it: the buffer must still hold what was sent.
        if (hdr->dwBufferLength != sent.size() || std::memcmp(hdr->lpData, sent.data(), sent.size()) != 0)
            ++g.changedWhileSending;
        Done(port, hdr);
        lk.lock();
        port->busy = false;
        port->cv.notify_all();
    }
}

bool QueueHoldsLongDataFor(plat::MidiHdr* hdr) {
    std::lock_guard lk(g.qm);
    return std::any_of(g.queue.begin(), g.queue.end(), [hdr](const Posted& p) {
        return p.msg == plat::kWmApp + 1 && p.lParam == reinterpret_cast<intptr_t>(hdr);
    });
}

}  // namespace

namespace plat {

uint32_t MidiInGetNumDevs() { return 1; }
uint32_t MidiOutGetNumDevs() { return 1; }
uint32_t MidiInGetDevName(uint32_t, char* s, size_t n) { return CopyDeviceName("Keyboard", s, n); }
uint32_t MidiOutGetDevName(uint32_t, char* s, size_t n) { return CopyDeviceName("Synth", s, n); }

uint32_t MidiInOpenAbsent(HMidiIn*, const char*, MidiInCallback, uintptr_t) { return kMmBadDeviceId; }
uint32_t MidiOutOpenAbsent(HMidiOut*, const char*, MidiOutCallback, uintptr_t) { return kMmBadDeviceId; }

uint32_t MidiInOpen(HMidiIn* handle, uint32_t, MidiInCallback callback, uintptr_t instance) {
    *handle = new MidiInPort(callback, instance);
    g.input.store(*handle, std::memory_order_release);
    callback(*handle, kMimOpen, instance, 0, 0);
    return kMmNoError;
}

// Preparing is not modelled: only "in queue" decides who may touch a header.
uint32_t MidiInPrepareHeader(HMidiIn, MidiHdr*, uint32_t) { return kMmNoError; }
uint32_t MidiInUnprepareHeader(HMidiIn, MidiHdr*, uint32_t) { return kMmNoError; }
uint32_t MidiOutPrepareHeader(HMidiOut, MidiHdr*, uint32_t) { return kMmNoError; }
uint32_t MidiOutUnprepareHeader(HMidiOut, MidiHdr*, uint32_t) { return kMmNoError; }

uint32_t MidiInAddBuffer(HMidiIn handle, MidiHdr* hdr, uint32_t) {
    std::lock_guard lk(handle->m);
    // Still with the driver: queued, or taken from the queue and not yet returned.
    if (LoadFlags(hdr) & kMhdrInQueue) return kMidiErrStillPlaying;
    if (QueueHoldsLongDataFor(hdr)) ++g.addedWhileWaiting;
    hdr->dwBytesRecorded = 0;
    SetFlags(hdr, kMhdrInQueue, kMhdrDone);
    handle->queue.push_back(hdr);
    return kMmNoError;
}

uint32_t MidiInStart(HMidiIn h) { return h->started = true, kMmNoError; }
uint32_t MidiInStop(HMidiIn h) { return h->started = false, kMmNoError; }

uint32_t MidiInReset(HMidiIn handle) {
    std::deque<MidiHdr*> returned;
    {
        std::lock_guard lk(handle->m);
        returned.swap(handle->queue);
    }
    for (MidiHdr* hdr : returned) {
        hdr->dwBytesRecorded = 0;
        SetFlags(hdr, kMhdrDone, kMhdrInQueue);
        handle->callback(handle, kMimLongData, handle->instance, reinterpret_cast<uintptr_t>(hdr), 0);
    }
    return kMmNoError;
}

uint32_t MidiInClose(HMidiIn handle) {
    handle->link = nullptr;
    g.input.store(nullptr, std::memory_order_release);
    handle->callback(handle, kMimClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t, MidiOutCallback callback, uintptr_t instance) {
    MidiOutPort* port = g.output = new MidiOutPort(callback, instance);
    port->thread = std::thread(CompletionLoop, port);
    *handle = port;
    callback(port, kMomOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutShortMsg(HMidiOut, uint32_t msg) {
    g.records.push_back({tp::Record::Short, msg, {}});
    return kMmNoError;
}

uint32_t MidiOutLongMsg(HMidiOut handle, MidiHdr* hdr, uint32_t) {
    if (LoadFlags(hdr) & kMhdrInQueue) return kMidiErrStillPlaying;
    const auto* bytes = reinterpret_cast<const uint8_t*>(hdr->lpData);
    g.records.push_back({tp::Record::Long, 0, {bytes, bytes + hdr->dwBufferLength}});
    SetFlags(hdr, kMhdrInQueue, kMhdrDone);
    std::lock_guard lk(handle->m);
    handle->pending.emplace_back(hdr, g.records.back().data);
    handle->cv.notify_all();
    return kMmNoError;
}

uint32_t MidiOutReset(HMidiOut handle) {
    g.records.push_back({tp::Record::Reset, 0, {}});
    std::unique_lock lk(handle->m);
    handle->cv.wait(lk, [&] { return !handle->busy; });
    for (auto& item : handle->pending) Done(handle, item.first);
    handle->pending.clear();
    return kMmNoError;
}

uint32_t MidiOutClose(HMidiOut handle) {
    {
        std::lock_guard lk(handle->m);
        handle->stop = true;
    }
    handle->cv.notify_all();
    handle->thread.join();
    handle->callback(handle, kMomClose, handle->instance, 0, 0);
    return kMmNoError;
}

// The hand-off only: this test's user-interface thread presses and handles without the busy flag.
bool MidiInFastPathOpen(HMidiIn) { return false; }

uint32_t MidiConnect(HMidiIn in, HMidiOut out) {
    in->link = out;
    g.records.push_back({tp::Record::Connect, 0, {}});
    return kMmNoError;
}

uint32_t MidiDisconnect(HMidiIn in, HMidiOut) {
    in->link = nullptr;
    g.records.push_back({tp::Record::Disconnect, 0, {}});
    return kMmNoError;
}

uint32_t TimeGetDevCaps(TimeCaps* caps, uint32_t) {
    *caps = {1, 1000000};
    return kMmNoError;
}
uint32_t TimeBeginPeriod(uint32_t) { return kMmNoError; }
uint32_t TimeEndPeriod(uint32_t) { return kMmNoError; }

// Periodic only, as the engine asks; a kill takes effect by the next tick.
uint32_t TimeSetEvent(uint32_t delay, uint32_t, TimerCallback callback, uintptr_t user, uint32_t) {
    Timer* t = g.timers.emplace_back(new Timer).get();
    const auto id = static_cast<uint32_t>(g.timers.size());
    t->thread = std::thread([=] {
        for (auto next = Clock::now() + std::chrono::milliseconds(delay); !t->stop;
             next += std::chrono::milliseconds(delay)) {
            std::this_thread::sleep_until(next);
            if (!t->stop) callback(id, 0, user, 0, 0), ++g.ticks;
        }
    });
    return id;
}

uint32_t TimeKillEvent(uint32_t id) {
    g.timers.at(id - 1)->stop = true;
    g.timers.at(id - 1)->thread.join();
    return kMmNoError;
}

bool PostWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (wnd == nullptr) return false;
    std::lock_guard lk(g.qm);
    g.queue.push_back({wnd, msg, wParam, lParam});
    g.messages.notify_one();
    return t_posted = true;
}

// The engine gives up on something: the run has failed.
int ShowMessageBox(const char* text, const char* caption, uint32_t) {
    std::fprintf(stderr, "threaded platform: the engine showed a message box: %s: %s\n", caption, text);
    std::abort();
}

uint64_t ClockMs() {
    static const Clock::time_point start = Clock::now();
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ExitProcess(int status) {
    std::fprintf(stderr, "threaded platform: the engine ended the process with status %d\n", status);
    std::abort();
}

}  // namespace plat

namespace tp {

plat::HWnd CreateTestWindow(plat::WindowClient* client) {
    g.window.client = client;
    return &g.window;
}

namespace {

// The open, started input port, or null.
plat::MidiInPort* Arrive(Delivery& d) {
    plat::MidiInPort* in = g.input.load(std::memory_order_acquire);
    if (in == nullptr || !in->started) return nullptr;
    d.forwarded = in->link.load() != nullptr;
    return in;
}

void Deliver(Delivery& d, plat::MidiInPort* in, uint32_t msg, uintptr_t p1, uint64_t seq) {
    d.delivered = true;
    t_posted = false;
    in->callback(in, msg, in->instance, p1, static_cast<uintptr_t>(seq));
    d.posted = t_posted;
}

}  // namespace

Delivery PlayShort(uint32_t word, uint64_t seq) {
    Delivery d;
    if (plat::MidiInPort* in = Arrive(d)) Deliver(d, in, plat::kMimData, word, seq);
    return d;
}

Delivery PlaySysEx(const std::vector<uint8_t>& bytes) {
    Delivery d;
    plat::MidiInPort* in = Arrive(d);
    if (in == nullptr) return d;
    std::unique_lock lk(in->m);
    if (in->queue.empty()) return d;  // no buffer queued: the message is lost, as WinMM loses it
    plat::MidiHdr* hdr = in->queue.front();
    in->queue.pop_front();
    lk.unlock();
    hdr->dwBytesRecorded = static_cast<uint32_t>(std::min<size_t>(bytes.size(), hdr->dwBufferLength));
    std::memcpy(hdr->lpData, bytes.data(), hdr->dwBytesRecorded);
    SetFlags(hdr, plat::kMhdrDone, plat::kMhdrInQueue);
    Deliver(d, in, plat::kMimLongData, reinterpret_cast<uintptr_t>(hdr), 0);
    return d;
}

bool DispatchOne(uint32_t waitUs) {
    std::unique_lock lk(g.qm);
    if (!g.messages.wait_for(lk, std::chrono::microseconds(waitUs), [] { return !g.queue.empty(); }))
        return false;
    const Posted p = g.queue.front();
    g.queue.pop_front();
    lk.unlock();
    g.space.notify_all();
    p.wnd->client->WindowProc(p.msg, p.wParam, p.lParam);
    return true;
}

void WaitForQueueBelow(size_t limit, const std::atomic<bool>& stop) {
    std::unique_lock lk(g.qm);
    g.space.wait(lk, [&] { return g.queue.size() < limit || stop.load(); });
}

void WakeWaiters() {
    { std::lock_guard lk(g.qm); }
    g.space.notify_all();
}

bool Idle() {
    if (std::lock_guard lk(g.output->m); !g.output->pending.empty() || g.output->busy) return false;
    std::lock_guard lk(g.qm);
    return g.queue.empty();
}

std::vector<Record> TakeRecords() { return std::exchange(g.records, {}); }

Faults Seen() { return {g.addedWhileWaiting, g.changedWhileSending, g.ticks}; }

}  // namespace tp
