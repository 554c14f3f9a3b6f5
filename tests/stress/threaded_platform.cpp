#include "tests/stress/threaded_platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "platform/device_name.h"

namespace {

struct Posted {
    plat::HWnd wnd;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

using Clock = std::chrono::steady_clock;

// Header flags: the word driver and application share. Relaxed, so that the platform itself
// orders nothing between the threads; the engine must do that through its own hand-offs.
uint32_t LoadFlags(plat::MidiHdr* hdr) {
    return std::atomic_ref<uint32_t>(hdr->dwFlags).load(std::memory_order_relaxed);
}
void SetFlags(plat::MidiHdr* hdr, uint32_t set, uint32_t clear) {
    std::atomic_ref<uint32_t> flags(hdr->dwFlags);
    uint32_t f = flags.load(std::memory_order_relaxed);
    while (!flags.compare_exchange_weak(f, (f & ~clear) | set, std::memory_order_relaxed)) {
    }
}

thread_local bool t_posted = false;

}  // namespace

namespace tp {
// A thread of the platform's own (timer, output completion) and what it waits on.
struct Worker {
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::thread thread;
    void Stop() {
        std::unique_lock lk(m);
        stop = true;
        lk.unlock();
        cv.notify_all();
        if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
        if (thread.joinable()) thread.detach();
    }
};
}  // namespace tp

struct plat::Window {
    plat::WindowClient* client = nullptr;
};

struct plat::MidiInPort {
    plat::MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
    std::atomic<bool> started{false};
    std::atomic<plat::MidiOutPort*> link{nullptr};
    std::mutex m{};  // the queue of headers, as the driver keeps it
    std::deque<plat::MidiHdr*> queue{};
};

struct plat::MidiOutPort : tp::Worker {
    plat::MidiOutCallback callback = nullptr;
    uintptr_t instance = 0;
    struct Pending {
        plat::MidiHdr* hdr;
        Clock::time_point due;
        std::vector<uint8_t> sent;
    };
    std::deque<Pending> pending{};
    bool busy = false;
};

namespace {

struct World {
    // User-interface thread only.
    std::vector<std::string> inputs, outputs;
    std::vector<std::unique_ptr<plat::MidiInPort>> inPorts;
    std::vector<std::unique_ptr<plat::MidiOutPort>> outPorts;
    std::set<const void*> open;  // the ports not closed
    std::deque<plat::Window> windows;
    std::map<uint32_t, std::unique_ptr<tp::Worker>> timers;
    uint32_t nextTimerId = 1;
    std::vector<tp::Record> uiRecords;

    // The input driver thread only (and the user-interface thread once it has joined it).
    std::vector<tp::Record> linkRecords;

    // Handed from the user-interface thread to the driver thread when the input opens.
    std::atomic<plat::MidiInPort*> input{nullptr};

    // The window message queue.
    std::mutex qm;
    std::condition_variable messages, space;
    std::deque<Posted> queue;

    std::atomic<uint64_t> ticks{0};
    std::atomic<int> addedWhileWaiting{0}, changedWhileSending{0};
    std::mutex boxMutex;
    std::vector<std::string> boxes;
};

std::unique_ptr<World> gWorld = std::make_unique<World>();
World& W() { return *gWorld; }

const Clock::time_point kStart = Clock::now();

bool Valid(const void* h) { return W().open.count(h) != 0; }

void Record(tp::Rec kind, uint32_t word = 0, std::vector<uint8_t> data = {}) {
    W().uiRecords.push_back({kind, word, std::move(data), 0, 0});
}

// midi{In,Out}{Prepare,Unprepare}Header.
uint32_t Prepare(const void* h, plat::MidiHdr* hdr, uint32_t size, bool prepare) {
    if (!Valid(h)) return plat::kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(plat::MidiHdr) || (prepare && hdr->lpData == nullptr))
        return plat::kMmInvalParam;
    if (!prepare && (LoadFlags(hdr) & plat::kMhdrInQueue)) return plat::kMidiErrStillPlaying;
    SetFlags(hdr, prepare ? plat::kMhdrPrepared : 0, prepare ? 0 : plat::kMhdrPrepared);
    return plat::kMmNoError;
}

void CompletionLoop(plat::MidiOutPort* port) {
    std::unique_lock lk(port->m);
    for (;;) {
        port->cv.wait(lk, [&] { return port->stop || !port->pending.empty(); });
        if (port->stop) return;
        const Clock::time_point due = port->pending.front().due;
        if (Clock::now() < due) {
            port->cv.wait_until(lk, due, [&] { return port->stop; });
            continue;  // look again: a reset may have taken it meanwhile
        }
        plat::MidiOutPort::Pending item = std::move(port->pending.front());
        port->pending.pop_front();
        port->busy = true;
        lk.unlock();
        // As a driver that has sent it: the buffer must still hold what was sent.
        const uint32_t n = item.hdr->dwBufferLength;
        if (n != item.sent.size() || std::memcmp(item.hdr->lpData, item.sent.data(), n) != 0)
            ++W().changedWhileSending;
        SetFlags(item.hdr, plat::kMhdrDone, plat::kMhdrInQueue);
        port->callback(port, plat::kMomDone, port->instance, reinterpret_cast<uintptr_t>(item.hdr), 0);
        lk.lock();
        port->busy = false;
        port->cv.notify_all();
    }
}

bool QueueHoldsLongDataFor(plat::MidiHdr* hdr) {
    std::lock_guard lk(W().qm);
    return std::any_of(W().queue.begin(), W().queue.end(), [hdr](const Posted& p) {
        return p.msg == plat::kWmApp + 1 && p.lParam == reinterpret_cast<intptr_t>(hdr);
    });
}

uint32_t CopyName(const std::vector<std::string>& names, uint32_t id, char* name, size_t size) {
    if (id >= names.size()) return plat::kMmBadDeviceId;
    return plat::CopyDeviceName(names[id], name, size);
}

}  // namespace

namespace plat {

uint32_t MidiInGetNumDevs() { return static_cast<uint32_t>(W().inputs.size()); }
uint32_t MidiOutGetNumDevs() { return static_cast<uint32_t>(W().outputs.size()); }
uint32_t MidiInGetDevName(uint32_t id, char* s, size_t n) { return CopyName(W().inputs, id, s, n); }
uint32_t MidiOutGetDevName(uint32_t id, char* s, size_t n) { return CopyName(W().outputs, id, s, n); }

uint32_t MidiInOpen(HMidiIn* handle, uint32_t id, MidiInCallback callback, uintptr_t instance) {
    *handle = nullptr;
    if (id >= W().inputs.size()) return kMmBadDeviceId;
    W().open.insert(*handle = W().inPorts.emplace_back(new MidiInPort(callback, instance)).get());
    W().input.store(*handle, std::memory_order_release);
    if (callback) callback(*handle, kMimOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiInPrepareHeader(HMidiIn h, MidiHdr* p, uint32_t n) { return Prepare(h, p, n, true); }
uint32_t MidiInUnprepareHeader(HMidiIn h, MidiHdr* p, uint32_t n) { return Prepare(h, p, n, false); }
uint32_t MidiOutPrepareHeader(HMidiOut h, MidiHdr* p, uint32_t n) { return Prepare(h, p, n, true); }
uint32_t MidiOutUnprepareHeader(HMidiOut h, MidiHdr* p, uint32_t n) { return Prepare(h, p, n, false); }

uint32_t MidiInAddBuffer(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!Valid(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    if (!(LoadFlags(hdr) & kMhdrPrepared)) return kMidiErrUnprepared;
    std::lock_guard lk(handle->m);
    // Still with the driver: queued, or taken from the queue and not yet returned.
    if (LoadFlags(hdr) & kMhdrInQueue) return kMidiErrStillPlaying;
    if (QueueHoldsLongDataFor(hdr)) ++W().addedWhileWaiting;
    hdr->dwBytesRecorded = 0;
    SetFlags(hdr, kMhdrInQueue, kMhdrDone);
    handle->queue.push_back(hdr);
    return kMmNoError;
}

uint32_t MidiInStart(HMidiIn h) { return Valid(h) ? (h->started = true, kMmNoError) : kMmInvalHandle; }
uint32_t MidiInStop(HMidiIn h) { return Valid(h) ? (h->started = false, kMmNoError) : kMmInvalHandle; }

uint32_t MidiInReset(HMidiIn handle) {
    if (!Valid(handle)) return kMmInvalHandle;
    handle->started = false;
    std::deque<MidiHdr*> returned;
    {
        std::lock_guard lk(handle->m);
        returned.swap(handle->queue);
    }
    for (MidiHdr* hdr : returned) {
        hdr->dwBytesRecorded = 0;
        SetFlags(hdr, kMhdrDone, kMhdrInQueue);
        if (handle->callback)
            handle->callback(handle, kMimLongData, handle->instance, reinterpret_cast<uintptr_t>(hdr), 0);
    }
    return kMmNoError;
}

uint32_t MidiInClose(HMidiIn handle) {
    if (!Valid(handle)) return kMmInvalHandle;
    if (std::lock_guard lk(handle->m); !handle->queue.empty()) return kMidiErrStillPlaying;
    W().open.erase(handle);
    handle->started = false;
    handle->link = nullptr;
    W().input.store(nullptr, std::memory_order_release);
    if (handle->callback) handle->callback(handle, kMimClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t id, MidiOutCallback callback, uintptr_t instance) {
    *handle = nullptr;
    if (id != kMidiMapper && id >= W().outputs.size()) return kMmBadDeviceId;
    MidiOutPort* port = W().outPorts.emplace_back(new MidiOutPort({}, callback, instance)).get();
    port->thread = std::thread(CompletionLoop, port);
    W().open.insert(*handle = port);
    if (callback) callback(port, kMomOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutShortMsg(HMidiOut handle, uint32_t msg) {
    if (!Valid(handle)) return kMmInvalHandle;
    Record(tp::Rec::Short, msg);
    return kMmNoError;
}

uint32_t MidiOutLongMsg(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!Valid(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    const uint32_t flags = LoadFlags(hdr);
    if (!(flags & kMhdrPrepared)) return kMidiErrUnprepared;
    if (flags & kMhdrInQueue) return kMidiErrStillPlaying;
    const auto* bytes = reinterpret_cast<const uint8_t*>(hdr->lpData);
    std::vector<uint8_t> sent(bytes, bytes + hdr->dwBufferLength);
    Record(tp::Rec::Long, 0, sent);
    SetFlags(hdr, kMhdrInQueue, kMhdrDone);
    static thread_local std::mt19937 rng(12345);
    const uint32_t us = std::uniform_int_distribution<uint32_t>(50, 1500)(rng);  // completion delay
    std::lock_guard lk(handle->m);
    handle->pending.push_back({hdr, Clock::now() + std::chrono::microseconds(us), std::move(sent)});
    handle->cv.notify_all();
    return kMmNoError;
}

uint32_t MidiOutReset(HMidiOut handle) {
    if (!Valid(handle)) return kMmInvalHandle;
    Record(tp::Rec::Reset);
    std::deque<MidiOutPort::Pending> returned;
    {
        std::unique_lock lk(handle->m);
        returned.swap(handle->pending);
        handle->cv.wait(lk, [&] { return !handle->busy; });
    }
    for (auto& item : returned) {
        SetFlags(item.hdr, kMhdrDone, kMhdrInQueue);
        handle->callback(handle, kMomDone, handle->instance, reinterpret_cast<uintptr_t>(item.hdr), 0);
    }
    return kMmNoError;
}

uint32_t MidiOutClose(HMidiOut handle) {
    if (!Valid(handle)) return kMmInvalHandle;
    if (std::lock_guard lk(handle->m); !handle->pending.empty() || handle->busy) return kMidiErrStillPlaying;
    handle->Stop();
    W().open.erase(handle);
    for (auto& in : W().inPorts) {
        MidiOutPort* expected = handle;
        in->link.compare_exchange_strong(expected, nullptr);
    }
    if (handle->callback) handle->callback(handle, kMomClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiConnect(HMidiIn in, HMidiOut out) {
    if (!Valid(in) || !Valid(out)) return kMmInvalHandle;
    in->link = out;
    Record(tp::Rec::Connect);
    return kMmNoError;
}

uint32_t MidiDisconnect(HMidiIn in, HMidiOut out) {
    if (!Valid(in) || !Valid(out)) return kMmInvalHandle;
    MidiOutPort* expected = out;
    if (!in->link.compare_exchange_strong(expected, nullptr)) return kMmError;
    Record(tp::Rec::Disconnect);
    return kMmNoError;
}

uint32_t TimeGetDevCaps(TimeCaps* caps, uint32_t size) {
    if (caps == nullptr || size < sizeof(TimeCaps)) return 97;  // TIMERR_NOCANDO
    *caps = {1, 1000000};
    return kMmNoError;
}

uint32_t TimeBeginPeriod(uint32_t) { return kMmNoError; }
uint32_t TimeEndPeriod(uint32_t) { return kMmNoError; }

uint32_t TimeSetEvent(uint32_t delay, uint32_t, TimerCallback callback, uintptr_t user, uint32_t flags) {
    if (callback == nullptr || delay == 0) return 0;
    const uint32_t id = W().nextTimerId++;
    tp::Worker* t = (W().timers[id] = std::make_unique<tp::Worker>()).get();
    t->thread = std::thread([t, id, delay, callback, user, flags] {
        Clock::time_point next = Clock::now();
        std::unique_lock lk(t->m);
        for (;;) {
            next += std::chrono::milliseconds(delay);
            if (t->cv.wait_until(lk, next, [t] { return t->stop; })) return;
            lk.unlock();
            callback(id, 0, user, 0, 0);
            ++W().ticks;
            lk.lock();
            if (!(flags & kTimePeriodic)) return;
        }
    });
    return id;
}

uint32_t TimeKillEvent(uint32_t id) {
    auto it = W().timers.find(id);
    if (it == W().timers.end()) return 97;
    it->second->Stop();
    W().timers.erase(it);
    return kMmNoError;
}

bool PostWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (wnd == nullptr) return false;
    std::lock_guard lk(W().qm);
    W().queue.push_back({wnd, msg, wParam, lParam});
    W().messages.notify_one();
    t_posted = true;
    return true;
}

int ShowMessageBox(const char* text, const char* caption, uint32_t) {
    std::lock_guard lk(W().boxMutex);
    W().boxes.push_back(std::string(caption ? caption : "") + ": " + (text ? text : ""));
    return kIdOk;
}

uint64_t ClockMs() {
    return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - kStart).count());
}

void Sleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void ExitProcess(int status) {
    std::fprintf(stderr, "threaded platform: the engine ended the process with status %d\n", status);
    std::abort();
}

}  // namespace plat

namespace tp {

void Reset() {
    for (auto& [id, timer] : W().timers) timer->Stop();
    for (auto& port : W().outPorts) port->Stop();
    gWorld = std::make_unique<World>();
}

void SetDevices(std::vector<std::string> inputs, std::vector<std::string> outputs) {
    W().inputs = std::move(inputs);
    W().outputs = std::move(outputs);
}

plat::HWnd CreateTestWindow(plat::WindowClient* client) {
    return &W().windows.emplace_back(plat::Window{client});
}

namespace {

// The open, started input port (null when there is none), after the link has seen the message.
plat::MidiInPort* Arrive(Delivery& d, Record link) {
    plat::MidiInPort* in = W().input.load(std::memory_order_acquire);
    if (in == nullptr || !in->started) return nullptr;
    d.started = true;
    if (in->link.load() != nullptr) {
        W().linkRecords.push_back(std::move(link));
        d.forwarded = true;
    }
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
    if (plat::MidiInPort* in = Arrive(d, {Rec::LinkShort, word, {}, 0, seq}))
        Deliver(d, in, plat::kMimData, word, seq);
    return d;
}

Delivery PlaySysEx(const std::vector<uint8_t>& bytes, uint64_t seq) {
    Delivery d;
    plat::MidiInPort* in = Arrive(d, {Rec::LinkLong, 0, bytes, 0, seq});
    if (in == nullptr) return d;
    std::unique_lock lk(in->m);
    if (in->queue.empty()) return d;  // no buffer queued: the message is lost, as WinMM loses it
    plat::MidiHdr* hdr = in->queue.front();
    in->queue.pop_front();
    lk.unlock();
    const auto n = static_cast<uint32_t>(std::min<size_t>(bytes.size(), hdr->dwBufferLength));
    std::memcpy(hdr->lpData, bytes.data(), n);
    hdr->dwBytesRecorded = n;
    SetFlags(hdr, plat::kMhdrDone, plat::kMhdrInQueue);
    Deliver(d, in, plat::kMimLongData, reinterpret_cast<uintptr_t>(hdr), seq);
    return d;
}

bool DispatchOne(uint32_t waitUs) {
    std::unique_lock lk(W().qm);
    if (!W().messages.wait_for(lk, std::chrono::microseconds(waitUs), [] { return !W().queue.empty(); }))
        return false;
    const Posted p = W().queue.front();
    W().queue.pop_front();
    lk.unlock();
    W().space.notify_all();
    if (p.wnd != nullptr && p.wnd->client != nullptr) p.wnd->client->WindowProc(p.msg, p.wParam, p.lParam);
    return true;
}

void WaitForQueueBelow(size_t limit, const std::atomic<bool>& stop) {
    std::unique_lock lk(W().qm);
    W().space.wait(lk, [&] { return W().queue.size() < limit || stop.load(); });
}

void WakeWaiters() {
    { std::lock_guard lk(W().qm); }
    W().space.notify_all();
}

void Mark(int code, uint64_t seq, std::vector<uint8_t> data) {
    W().uiRecords.push_back({Rec::Mark, 0, std::move(data), code, seq});
}

bool Idle() {
    for (auto& port : W().outPorts) {
        std::lock_guard lk(port->m);
        if (!port->pending.empty() || port->busy) return false;
    }
    std::lock_guard lk(W().qm);
    return W().queue.empty();
}

Outcome TakeOutcome() {
    std::lock_guard lk(W().boxMutex);
    return {std::move(W().uiRecords), std::move(W().linkRecords), W().ticks,
            W().addedWhileWaiting,    W().changedWhileSending,    W().boxes};
}

}  // namespace tp
