#include "platform/sim/sim.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>

#include "platform/device_name.h"
#include "platform/sim/sim_internal.h"

struct plat::MidiInPort {
    uint32_t id = 0;
    bool open = false;
    bool started = false;
    plat::MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
    std::deque<plat::MidiHdr*> queue;
    plat::MidiOutPort* link = nullptr;
    bool away = false;  // its device has left
};

struct plat::MidiOutPort {
    int id = 0;
    bool open = false;
    plat::MidiOutCallback callback = nullptr;
    uintptr_t instance = 0;
    bool away = false;  // its device has left
    struct Pending {
        plat::MidiHdr* hdr;
        uint64_t dueUs;  // UINT64_MAX: only on request
    };
    std::vector<Pending> pending;
};

namespace {

constexpr uint64_t kNever = UINT64_MAX;

struct Timer {
    uint32_t id;
    plat::TimerCallback callback;
    uintptr_t user;
};

struct World {
    std::vector<std::string> inputs, outputs;
    std::map<std::string, std::string> earlierIn, earlierOut;
    std::map<uint32_t, uint32_t> inputOpenResult;
    std::map<int, uint32_t> outputOpenResult;
    std::map<int, sim::LongMode> longMode;
    std::map<int, uint64_t> longDelayUs;
    std::map<int, int> blockTicks;
    std::vector<sim::InEvent> inLog;
    std::vector<std::unique_ptr<plat::MidiInPort>> inPorts;
    std::vector<std::unique_ptr<plat::MidiOutPort>> outPorts;
    std::vector<std::unique_ptr<plat::Window>> windows;
    std::vector<sim::OutEvent> log;
    std::deque<sim::Posted> queue;
    std::vector<sim::Posted> queueView;
    size_t queueLimit = 10000;
    std::vector<sim::Box> boxes;
    std::function<void(const sim::Box&)> boxHook;
    plat::TimeCaps caps{1, 1000000};
    bool timerFails = false;
    uint32_t nextTimerId = 1;
    std::vector<Timer> timers;
    int beginPeriod = 0, endPeriod = 0;
    uint64_t nowUs = 0;
    int exitStatus = -1;
    bool inCompletion = false;
    bool fastPath = false;
    std::function<void()> sendHook;
    int inCallback = 0;  // depth of input callbacks running
    bool inHook = false;
    int faults = 0;
};

World& W() {
    static World world;
    return world;
}

plat::MidiInPort* OpenInput() {
    for (auto& p : W().inPorts) {
        if (p->open) return p.get();
    }
    return nullptr;
}

plat::MidiOutPort* OpenOutput() {
    for (auto& p : W().outPorts) {
        if (p->open) return p.get();
    }
    return nullptr;
}

bool ValidIn(plat::HMidiIn h) {
    return h != nullptr && std::any_of(W().inPorts.begin(), W().inPorts.end(),
                                       [h](const auto& p) { return p.get() == h && p->open; });
}

bool ValidOut(plat::HMidiOut h) {
    return h != nullptr && std::any_of(W().outPorts.begin(), W().outPorts.end(),
                                       [h](const auto& p) { return p.get() == h && p->open; });
}

void Record(plat::MidiOutPort* port, sim::Event kind, uint32_t word = 0, std::vector<uint8_t> data = {}) {
    W().log.push_back({W().nowUs, port->id, kind, word, std::move(data)});
}

uint32_t RecordIn(plat::MidiInPort* port, sim::InKind kind, uint32_t result = plat::kMmNoError) {
    W().inLog.push_back({W().nowUs, static_cast<int>(port->id), kind, result, W().log.size()});
    return result;
}

void FinishLong(plat::MidiOutPort* port, plat::MidiHdr* hdr) {
    hdr->dwFlags &= ~plat::kMhdrInQueue;
    hdr->dwFlags |= plat::kMhdrDone;
    if (port->callback) {
        port->callback(port, plat::kMomDone, port->instance, reinterpret_cast<uintptr_t>(hdr), 0);
    }
}

// An input callback, counted so that what it must not do (block, wait) can be caught.
void CallIn(plat::MidiInPort* in, uint32_t msg, uintptr_t param1, uintptr_t param2) {
    ++W().inCallback;
    in->callback(in, msg, in->instance, param1, param2);
    --W().inCallback;
}

// Its device leaves (away) or comes back; the driver tells only the transitions that matter.
bool SetAway(bool input, bool away) {
    if (input) {
        plat::MidiInPort* in = OpenInput();
        if (in == nullptr) return false;
        if (in->away != away && away && in->callback) CallIn(in, plat::kMimDeviceGone, 0, 0);
        in->away = away;
        return true;
    }
    plat::MidiOutPort* out = OpenOutput();
    if (out == nullptr) return false;
    if (out->away != away && !away && out->callback)
        out->callback(out, plat::kMomDeviceBack, out->instance, 0, 0);
    out->away = away;
    return true;
}

void AfterSend() {
    World& w = W();
    if (!w.sendHook || w.inHook || w.inCallback > 0) return;
    w.inHook = true;
    w.sendHook();
    w.inHook = false;
}

// Runs the driver's work that has come due by now.
void RunDue() {
    World& w = W();
    if (w.inCompletion) return;
    w.inCompletion = true;
    for (auto& port : w.outPorts) {
        auto& pend = port->pending;
        for (size_t i = 0; i < pend.size();) {
            if (pend[i].dueUs != kNever && pend[i].dueUs <= w.nowUs) {
                plat::MidiHdr* hdr = pend[i].hdr;
                pend.erase(pend.begin() + static_cast<long>(i));
                FinishLong(port.get(), hdr);
            } else {
                ++i;
            }
        }
    }
    w.inCompletion = false;
}

void TickOnce() {
    W().nowUs += 10000;
    RunDue();
    auto timers = W().timers;  // a callback may kill its own timer
    for (const Timer& t : timers) t.callback(t.id, 0, t.user, 0, 0);
}

uint32_t CopyName(const std::vector<std::string>& names, uint32_t id, char* name, size_t size) {
    if (id >= names.size()) return plat::kMmBadDeviceId;
    return plat::CopyDeviceName(names[id], name, size);
}

}  // namespace

// ================================ plat:: implementation ========================================
namespace plat {

uint32_t MidiInGetNumDevs() { return static_cast<uint32_t>(W().inputs.size()); }
uint32_t MidiOutGetNumDevs() { return static_cast<uint32_t>(W().outputs.size()); }
uint32_t MidiInGetDevName(uint32_t id, char* name, size_t size) {
    return CopyName(W().inputs, id, name, size);
}
uint32_t MidiOutGetDevName(uint32_t id, char* name, size_t size) {
    return CopyName(W().outputs, id, name, size);
}

uint32_t MidiInOpen(HMidiIn* handle, uint32_t id, MidiInCallback callback, uintptr_t instance) {
    *handle = nullptr;
    if (id >= W().inputs.size()) return kMmBadDeviceId;
    auto it = W().inputOpenResult.find(id);
    if (it != W().inputOpenResult.end() && it->second != kMmNoError) return it->second;
    auto port = std::make_unique<MidiInPort>();
    port->id = id;
    port->open = true;
    port->callback = callback;
    port->instance = instance;
    *handle = port.get();
    W().inPorts.push_back(std::move(port));
    RecordIn(*handle, sim::InKind::Open);
    if (callback) callback(*handle, kMimOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiInPrepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr) || hdr->lpData == nullptr) {
        return RecordIn(handle, sim::InKind::Prepare, kMmInvalParam);
    }
    hdr->dwFlags |= kMhdrPrepared;
    return RecordIn(handle, sim::InKind::Prepare);
}

uint32_t MidiInUnprepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr))
        return RecordIn(handle, sim::InKind::Unprepare, kMmInvalParam);
    if (hdr->dwFlags & kMhdrInQueue) return RecordIn(handle, sim::InKind::Unprepare, kMidiErrStillPlaying);
    hdr->dwFlags &= ~kMhdrPrepared;
    return RecordIn(handle, sim::InKind::Unprepare);
}

uint32_t MidiInAddBuffer(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr))
        return RecordIn(handle, sim::InKind::AddBuffer, kMmInvalParam);
    if (!(hdr->dwFlags & kMhdrPrepared)) return RecordIn(handle, sim::InKind::AddBuffer, kMidiErrUnprepared);
    if (hdr->dwFlags & kMhdrInQueue) return RecordIn(handle, sim::InKind::AddBuffer, kMidiErrStillPlaying);
    hdr->dwFlags = (hdr->dwFlags | kMhdrInQueue) & ~kMhdrDone;
    hdr->dwBytesRecorded = 0;
    handle->queue.push_back(hdr);
    return RecordIn(handle, sim::InKind::AddBuffer);
}

uint32_t MidiInStart(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    handle->started = true;
    return RecordIn(handle, sim::InKind::Start);
}

uint32_t MidiInStop(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    handle->started = false;
    return RecordIn(handle, sim::InKind::Stop);
}

uint32_t MidiInReset(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    handle->started = false;
    RecordIn(handle, sim::InKind::Reset);
    // Queued buffers come back empty.
    while (!handle->queue.empty()) {
        MidiHdr* hdr = handle->queue.front();
        handle->queue.pop_front();
        hdr->dwBytesRecorded = 0;
        hdr->dwFlags = (hdr->dwFlags & ~kMhdrInQueue) | kMhdrDone;
        if (handle->callback) {
            handle->callback(handle, kMimLongData, handle->instance, reinterpret_cast<uintptr_t>(hdr), 0);
        }
    }
    return kMmNoError;
}

uint32_t MidiInClose(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (!handle->queue.empty()) return RecordIn(handle, sim::InKind::Close, kMidiErrStillPlaying);
    RecordIn(handle, sim::InKind::Close);
    handle->open = false;
    handle->started = false;
    handle->link = nullptr;
    if (handle->callback) handle->callback(handle, kMimClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t id, MidiOutCallback callback, uintptr_t instance) {
    *handle = nullptr;
    const int dev = id == kMidiMapper ? -1 : static_cast<int>(id);
    if (dev >= 0 && static_cast<size_t>(dev) >= W().outputs.size()) return kMmBadDeviceId;
    auto it = W().outputOpenResult.find(dev);
    if (it != W().outputOpenResult.end() && it->second != kMmNoError) return it->second;
    auto port = std::make_unique<MidiOutPort>();
    port->id = dev;
    port->open = true;
    port->callback = callback;
    port->instance = instance;
    *handle = port.get();
    W().outPorts.push_back(std::move(port));
    Record(*handle, sim::Event::Open);
    if (callback) callback(*handle, kMomOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutShortMsg(HMidiOut handle, uint32_t msg) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (W().inCallback > 0 && !handle->pending.empty()) ++W().faults;
    Record(handle, sim::Event::Short, msg);
    AfterSend();
    return kMmNoError;
}

uint32_t MidiOutPrepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr) || hdr->lpData == nullptr) return kMmInvalParam;
    hdr->dwFlags |= kMhdrPrepared;
    return kMmNoError;
}

uint32_t MidiOutUnprepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    if (hdr->dwFlags & kMhdrInQueue) return kMidiErrStillPlaying;
    hdr->dwFlags &= ~kMhdrPrepared;
    return kMmNoError;
}

uint32_t MidiOutLongMsg(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    if (!(hdr->dwFlags & kMhdrPrepared)) return kMidiErrUnprepared;
    if (hdr->dwFlags & kMhdrInQueue) return kMidiErrStillPlaying;
    const auto* bytes = reinterpret_cast<const uint8_t*>(hdr->lpData);
    Record(handle, sim::Event::Long, 0, std::vector<uint8_t>(bytes, bytes + hdr->dwBufferLength));
    hdr->dwFlags = (hdr->dwFlags | kMhdrInQueue) & ~kMhdrDone;
    sim::LongMode mode = sim::LongMode::Complete;
    if (auto it = W().longMode.find(handle->id); it != W().longMode.end()) mode = it->second;
    switch (mode) {
    case sim::LongMode::Complete: {
        auto it = W().longDelayUs.find(handle->id);
        handle->pending.push_back({hdr, W().nowUs + (it != W().longDelayUs.end() ? it->second : 1000)});
        break;
    }
    case sim::LongMode::Manual:
    case sim::LongMode::Never:
        handle->pending.push_back({hdr, kNever});
        break;
    case sim::LongMode::Block: {
        // The driver does not return from the send; the timer thread keeps ticking meanwhile.
        // By default it gives up after 30 simulated seconds, so a broken watchdog fails the test
        // instead of hanging it.
        auto it = W().blockTicks.find(handle->id);
        const int ticks = it != W().blockTicks.end() ? it->second : 3000;
        for (int i = 0; i < ticks; ++i) TickOnce();
        handle->pending.push_back({hdr, kNever});
        break;
    }
    }
    AfterSend();
    return kMmNoError;
}

uint32_t MidiOutReset(HMidiOut handle) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    Record(handle, sim::Event::Reset);
    auto pending = std::move(handle->pending);
    handle->pending.clear();
    for (auto& p : pending) FinishLong(handle, p.hdr);
    return kMmNoError;
}

uint32_t MidiOutClose(HMidiOut handle) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (!handle->pending.empty()) return kMidiErrStillPlaying;
    Record(handle, sim::Event::Close);
    handle->open = false;
    for (auto& in : W().inPorts) {
        if (in->link == handle) in->link = nullptr;
    }
    if (handle->callback) handle->callback(handle, kMomClose, handle->instance, 0, 0);
    return kMmNoError;
}

bool MidiInFastPathOpen(HMidiIn in) {
    if (!W().fastPath || !ValidIn(in)) return false;
    return std::none_of(W().outPorts.begin(), W().outPorts.end(),
                        [](const auto& p) { return p->open && !p->pending.empty(); });
}

void MidiTranslateStoredName(bool input, std::string& name) {
    const auto& earlier = input ? W().earlierIn : W().earlierOut;
    if (const auto it = earlier.find(name); it != earlier.end()) name = it->second;
}

uint32_t MidiConnect(HMidiIn in, HMidiOut out) {
    if (!ValidIn(in) || !ValidOut(out)) return kMmInvalHandle;
    in->link = out;
    Record(out, sim::Event::Connect);
    return kMmNoError;
}

uint32_t MidiDisconnect(HMidiIn in, HMidiOut out) {
    if (!ValidIn(in) || !ValidOut(out)) return kMmInvalHandle;
    if (in->link != out) return kMmError;
    in->link = nullptr;
    Record(out, sim::Event::Disconnect);
    return kMmNoError;
}

uint32_t TimeGetDevCaps(TimeCaps* caps, uint32_t size) {
    if (caps == nullptr || size < sizeof(TimeCaps)) return 97;  // TIMERR_NOCANDO
    *caps = W().caps;
    return kMmNoError;
}

uint32_t TimeBeginPeriod(uint32_t) {
    ++W().beginPeriod;
    return kMmNoError;
}

uint32_t TimeEndPeriod(uint32_t) {
    ++W().endPeriod;
    return kMmNoError;
}

uint32_t TimeSetEvent(uint32_t, uint32_t, TimerCallback callback, uintptr_t user, uint32_t) {
    if (W().timerFails || callback == nullptr) return 0;
    const uint32_t id = W().nextTimerId++;
    W().timers.push_back({id, callback, user});
    return id;
}

uint32_t TimeKillEvent(uint32_t id) {
    auto& t = W().timers;
    auto it = std::find_if(t.begin(), t.end(), [id](const Timer& x) { return x.id == id; });
    if (it == t.end()) return 97;
    t.erase(it);
    return kMmNoError;
}

bool PostWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (wnd == nullptr || W().queue.size() >= W().queueLimit) return false;
    W().queue.push_back({wnd, msg, wParam, lParam});
    return true;
}

int ShowMessageBox(const char* text, const char* caption, uint32_t style) {
    if (W().inCallback > 0) ++W().faults;
    W().boxes.push_back({text ? text : "", caption ? caption : "", style});
    if (W().boxHook) {
        auto box = W().boxes.back();
        W().boxHook(box);
    }
    return kIdOk;
}

uint64_t ClockMs() {
    // Reading the clock costs a little simulated time, so that a loop polling it moves on.
    W().nowUs += 100;
    RunDue();
    return W().nowUs / 1000;
}

void Sleep(uint32_t ms) {
    if (W().inCallback > 0) ++W().faults;
    W().nowUs += static_cast<uint64_t>(ms) * 1000;
    RunDue();
}

void ExitProcess(int status) {
    W().exitStatus = status;
    throw sim::ProcessExit{status};
}

}  // namespace plat

// ================================ test controls ================================================
namespace sim {

void Reset() {
    W() = World{};
    internal::ResetWindows();
}

void SetInputDevices(std::vector<std::string> names) { W().inputs = std::move(names); }
void SetOutputDevices(std::vector<std::string> names) { W().outputs = std::move(names); }
void SetInputOpenResult(uint32_t id, uint32_t result) { W().inputOpenResult[id] = result; }
void SetOutputOpenResult(int id, uint32_t result) { W().outputOpenResult[id] = result; }
void SetOutputLongMode(int id, LongMode mode) { W().longMode[id] = mode; }
void SetOutputLongDelay(int id, uint64_t us) { W().longDelayUs[id] = us; }
void SetOutputBlockTicks(int id, int ticks) { W().blockTicks[id] = ticks; }
void SetEarlierNames(bool input, std::map<std::string, std::string> earlierToNow) {
    (input ? W().earlierIn : W().earlierOut) = std::move(earlierToNow);
}
void SetFastPath(bool on) { W().fastPath = on; }
void SetSendHook(std::function<void()> hook) { W().sendHook = std::move(hook); }
int InputCallbackFaults() { return W().faults; }

bool DeviceLeaves(bool input) { return SetAway(input, true); }
bool DeviceReturns(bool input) { return SetAway(input, false); }

bool DeliverShort(uint32_t word, uint32_t timestamp) {
    plat::MidiInPort* in = OpenInput();
    if (in == nullptr || !in->started || in->away) return false;
    if (in->link != nullptr) plat::MidiOutShortMsg(in->link, word);
    if (in->callback) CallIn(in, plat::kMimData, word, timestamp);
    return true;
}

bool DeliverSysEx(const std::vector<uint8_t>& bytes) {
    plat::MidiInPort* in = OpenInput();
    if (in == nullptr || !in->started || in->away || in->queue.empty()) return false;
    plat::MidiHdr* hdr = in->queue.front();
    in->queue.pop_front();
    const auto n = static_cast<uint32_t>(std::min<size_t>(bytes.size(), hdr->dwBufferLength));
    std::memcpy(hdr->lpData, bytes.data(), n);
    hdr->dwBytesRecorded = n;
    hdr->dwFlags = (hdr->dwFlags & ~plat::kMhdrInQueue) | plat::kMhdrDone;
    if (in->link != nullptr) {
        Record(in->link, Event::Long, 0, std::vector<uint8_t>(bytes.begin(), bytes.begin() + n));
    }
    if (in->callback) CallIn(in, plat::kMimLongData, reinterpret_cast<uintptr_t>(hdr), 0);
    return true;
}

int QueuedInputBuffers() {
    plat::MidiInPort* in = OpenInput();
    return in ? static_cast<int>(in->queue.size()) : 0;
}

bool InputStarted() {
    plat::MidiInPort* in = OpenInput();
    return in != nullptr && in->started;
}

int OpenInputDevice() {
    plat::MidiInPort* in = OpenInput();
    return in ? static_cast<int>(in->id) : -1;
}

const std::vector<InEvent>& InputLog() { return W().inLog; }
void ClearInputLog() { W().inLog.clear(); }

const std::vector<OutEvent>& OutputLog() { return W().log; }

std::vector<OutEvent> ShortMessages() {
    std::vector<OutEvent> out;
    for (const auto& e : W().log) {
        if (e.kind == Event::Short) out.push_back(e);
    }
    return out;
}

void ClearOutputLog() { W().log.clear(); }

void CompleteOutput() {
    for (auto& port : W().outPorts) {
        auto pending = std::move(port->pending);
        port->pending.clear();
        for (auto& p : pending) FinishLong(port.get(), p.hdr);
    }
}

void CompleteOutputAfter(uint64_t us) {
    for (auto& port : W().outPorts) {
        for (auto& p : port->pending) p.dueUs = W().nowUs + us;
    }
}

void ClearLogs() {
    W().log.clear();
    W().inLog.clear();
}

int OpenOutputs() {
    return static_cast<int>(
        std::count_if(W().outPorts.begin(), W().outPorts.end(), [](const auto& p) { return p->open; }));
}

int OpenInputs() {
    return static_cast<int>(
        std::count_if(W().inPorts.begin(), W().inPorts.end(), [](const auto& p) { return p->open; }));
}

void SetTimeCaps(uint32_t periodMin, uint32_t periodMax) { W().caps = {periodMin, periodMax}; }
void SetTimerFails(bool fails) { W().timerFails = fails; }

void Tick(int count) {
    for (int i = 0; i < count; ++i) TickOnce();
}

bool TimerRunning() { return !W().timers.empty(); }
int BeginPeriodCalls() { return W().beginPeriod; }
int EndPeriodCalls() { return W().endPeriod; }

uint64_t NowUs() { return W().nowUs; }

void Advance(uint64_t us) {
    W().nowUs += us;
    RunDue();
}

plat::HWnd CreateTestWindow(plat::WindowClient* client) {
    auto wnd = std::make_unique<plat::Window>();
    wnd->client = client;
    W().windows.push_back(std::move(wnd));
    return W().windows.back().get();
}

const std::vector<Posted>& Queue() {
    W().queueView.assign(W().queue.begin(), W().queue.end());
    return W().queueView;
}

void SetQueueLimit(size_t limit) { W().queueLimit = limit; }

int PumpOne() {
    if (W().queue.empty()) return 0;
    Posted p = W().queue.front();
    W().queue.pop_front();
    if (p.wnd->client && !p.wnd->destroyed) p.wnd->client->WindowProc(p.msg, p.wParam, p.lParam);
    return 1;
}

int Pump() {
    int n = 0;
    while (PumpOne()) ++n;
    return n;
}

const std::vector<Box>& Boxes() { return W().boxes; }
void ClearBoxes() { W().boxes.clear(); }
void SetBoxHook(std::function<void(const Box&)> hook) { W().boxHook = std::move(hook); }

int ExitStatus() { return W().exitStatus; }

}  // namespace sim
