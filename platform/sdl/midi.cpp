// The platform's MIDI calls, and the choice of the MIDI system (see midi_internal.h).
#include <algorithm>
#include <chrono>

#include "platform/device_name.h"
#include "platform/sdl/midi_internal.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"

namespace sdlplat::midi {

System& S() {
    static System* s = new System;
    return *s;
}

}  // namespace sdlplat::midi

using namespace sdlplat::midi;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kNoSystemText =
    "No MIDI system is available: the ALSA sequencer cannot be opened and no JACK server is "
    "running.\nStart a JACK server (for example \"jackd -d dummy\"); Korvane finds it the next "
    "time it lists the MIDI ports.";

// Chooses the MIDI system once: the ALSA sequencer when it opens, else JACK.
void EnsureSystem(System& s) {
    if (s.tried) return;
    s.tried = true;
    s.sys = OpenAlsa();
    if (s.sys == nullptr) s.sys = OpenJack();
    if (s.sys != nullptr) s.driver = new std::thread(DriverLoop);
}

void Enumerate(System& s, bool input) {
    // With the server gone the catalogue stays as it was: the ports chosen stay chosen (and open),
    // to be taken up again when the server is back.
    if (s.serverGone.load()) return;
    std::vector<std::string>& rows = input ? s.inRows : s.outRows;
    std::vector<sdlplat::PortFacts> facts;
    rows.clear();
    if (s.sys != nullptr) s.sys->List(input, rows, facts);
    // Named here, once per listing, the same way whichever system listed them.
    (input ? s.inNames : s.outNames) = sdlplat::PortCatalogNames(facts);
}

uint32_t CopyName(System& s, bool input, uint32_t id, char* name, size_t size) {
    std::lock_guard lk(s.mu);
    EnsureSystem(s);
    if ((input ? s.inRows : s.outRows).empty()) Enumerate(s, input);
    const std::vector<std::string>& names = input ? s.inNames : s.outNames;
    if (id >= names.size()) return plat::kMmBadDeviceId;
    return plat::CopyDeviceName(names[id], name, size);
}

// The one message box about a missing MIDI system; shown outside every lock, since its modal
// loop dispatches messages that may call back into MIDI.
void ReportNoSystem(bool show) {
    if (show) plat::ShowMessageBox(kNoSystemText, "Korvane", plat::kMbOk | plat::kMbIconWarning);
}

bool TakeReport(System& s) {
    if (s.reported) return false;
    s.reported = true;
    return true;
}

bool ValidIn(plat::HMidiIn h) {
    System& s = S();
    return h != nullptr && h >= &s.ins[0] && h < &s.ins[kSlots] && h->open.load();
}

bool ValidOut(plat::HMidiOut h) {
    System& s = S();
    return h != nullptr && h >= &s.outs[0] && h < &s.outs[kSlots] && h->open.load();
}

uint32_t Prepare(plat::MidiHdr* hdr, uint32_t size) {
    if (hdr == nullptr || size < sizeof(plat::MidiHdr) || hdr->lpData == nullptr) return plat::kMmInvalParam;
    // A header with the driver is prepared already; leaving it untouched keeps us from racing the
    // MIDI thread, which writes its flags.
    auto flags = Flags(hdr);
    if (!(flags.load() & plat::kMhdrPrepared)) flags.store(flags.load() | plat::kMhdrPrepared);
    return plat::kMmNoError;
}

uint32_t Unprepare(plat::MidiHdr* hdr, uint32_t size) {
    if (hdr == nullptr || size < sizeof(plat::MidiHdr)) return plat::kMmInvalParam;
    auto flags = Flags(hdr);
    if (flags.load() & plat::kMhdrInQueue) return plat::kMidiErrStillPlaying;
    flags.store(flags.load() & ~plat::kMhdrPrepared);
    return plat::kMmNoError;
}

// The true length of a message by its status byte; 0 for a status that cannot stand alone.
size_t MessageLength(uint8_t status) {
    if (status < 0x80) return 0;
    if (status < 0xC0) return 3;
    if (status < 0xE0) return 2;
    if (status < 0xF0) return 3;
    switch (status) {
    case 0xF0:
        return 0;  // SysEx goes through MidiOutLongMsg
    case 0xF1:
    case 0xF3:
        return 2;
    case 0xF2:
        return 3;
    default:
        return 1;
    }
}

// The message's bytes, with running status applied and kept; its length, 0 when it is none. Under
// the port's sendMu, or on the fast path.
// A slot of one direction not open now, or -1.
int FreeSlot(const System& s, bool input) {
    for (int i = 0; i < kSlots; ++i) {
        if (!(input ? s.ins[i].open.load() : s.outs[i].open.load())) return i;
    }
    return -1;
}

size_t ComposeShort(plat::MidiOutPort& port, uint8_t* b) {
    if (b[0] < 0x80) {
        // Running status: the word holds only data bytes.
        if (port.runningStatus == 0) return 0;
        b[2] = b[1];
        b[1] = b[0];
        b[0] = port.runningStatus;
    }
    const size_t n = MessageLength(b[0]);
    if (n == 0) return 0;
    if (b[0] < 0xF0) {
        port.runningStatus = b[0];
    } else if (b[0] < 0xF8) {
        port.runningStatus = 0;  // system common cancels it, real-time does not
    }
    return n;
}

// Under the system lock, at the start of either open: the MIDI system taken up where it can be;
// false once its server has gone (the user has been told).
bool TakeUpSystem(System& s) {
    EnsureSystem(s);
    return !s.serverGone.load();
}

// Either open's answer when there is no MIDI system to open in: the user is told, once, outside
// the lock.
uint32_t RefuseNoSystem(System& s, std::unique_lock<std::mutex>& lk) {
    const bool show = TakeReport(s);
    lk.unlock();
    ReportNoSystem(show);
    return plat::kMmError;
}

// What opening a port of either direction records: its device, or the name it waits for.
template <class Port, class Callback>
void Record(Port& p, const std::string& device, const char* wanted, Callback callback, uintptr_t instance) {
    p.device = device;
    p.wanted = wanted == nullptr ? "" : wanted;
    p.present = wanted == nullptr;  // the link stands
    p.callback = callback;
    p.instance = instance;
}

// `wanted`: opened absent, for the device the catalogue will name so (our port alone until then).
uint32_t OpenIn(plat::HMidiIn* handle, uint32_t id, const char* wanted, plat::MidiInCallback callback,
                uintptr_t instance) {
    using namespace plat;
    if (handle == nullptr) return kMmInvalParam;
    *handle = nullptr;
    System& s = S();
    std::unique_lock lk(s.mu);
    if (!TakeUpSystem(s)) return kMmError;
    if (s.sys == nullptr || !s.sys->Reachable(true)) return RefuseNoSystem(s, lk);
    if (s.inRows.empty()) Enumerate(s, true);
    if (wanted == nullptr && id >= s.inRows.size()) return kMmBadDeviceId;
    const std::string device = wanted == nullptr ? s.inRows[id] : std::string();
    const int slot = FreeSlot(s, true);
    if (slot < 0 || !s.sys->OpenIn(slot, device)) return kMmError;
    MidiInPort* p = &s.ins[slot];
    Record(*p, device, wanted, callback, instance);
    // Its queue, link and forwarding ring were left empty by its close.
    p->started = false;
    p->open = true;
    *handle = p;
    lk.unlock();
    if (callback) callback(p, kMimOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t OpenOut(plat::HMidiOut* handle, uint32_t id, const char* wanted, plat::MidiOutCallback callback,
                 uintptr_t instance) {
    using namespace plat;
    if (handle == nullptr) return kMmInvalParam;
    *handle = nullptr;
    System& s = S();
    std::unique_lock lk(s.mu);
    if (!TakeUpSystem(s)) return kMmError;
    const bool mapper = id == kMidiMapper || wanted != nullptr;
    if (!mapper) {
        if (s.outRows.empty()) Enumerate(s, false);
        if (s.sys != nullptr && id >= s.outRows.size()) return kMmBadDeviceId;
    }
    const int slot = s.sys == nullptr ? -1 : FreeSlot(s, false);
    if (s.sys == nullptr || (slot >= 0 && !s.sys->Reachable(false))) return RefuseNoSystem(s, lk);
    // The mapper is our own port, to which any synth can be connected.
    const std::string device = mapper ? std::string() : s.outRows[id];
    if (slot < 0 || !s.sys->OpenOut(slot, device)) return kMmError;
    MidiOutPort* p = &s.outs[slot];
    Record(*p, device, wanted, callback, instance);
    {
        std::lock_guard send(p->sendMu);
        p->runningStatus = 0;
    }
    p->open = true;  // no long message in flight: its close waited for them
    *handle = p;
    lk.unlock();
    if (callback) callback(p, kMomOpen, instance, 0, 0);
    return kMmNoError;
}

}  // namespace

// ================================ plat:: implementation ========================================
namespace plat {

uint32_t MidiInGetNumDevs() {
    System& s = S();
    std::lock_guard lk(s.mu);
    EnsureSystem(s);
    Enumerate(s, true);
    return static_cast<uint32_t>(s.inRows.size());
}

uint32_t MidiOutGetNumDevs() {
    System& s = S();
    std::lock_guard lk(s.mu);
    EnsureSystem(s);
    Enumerate(s, false);
    return static_cast<uint32_t>(s.outRows.size());
}

uint32_t MidiInGetDevName(uint32_t id, char* name, size_t size) {
    return CopyName(S(), true, id, name, size);
}
uint32_t MidiOutGetDevName(uint32_t id, char* name, size_t size) {
    return CopyName(S(), false, id, name, size);
}

void MidiTranslateStoredName(bool input, std::string& name) {
    if (name.empty()) return;
    System& s = S();
    std::lock_guard lk(s.mu);
    EnsureSystem(s);
    std::vector<std::string> rows;
    std::vector<sdlplat::PortFacts> facts;
    if (s.sys != nullptr && !s.serverGone.load()) s.sys->List(input, rows, facts);
    name = sdlplat::TranslateStoredName(name, facts);
}

uint32_t MidiInOpen(HMidiIn* handle, uint32_t id, MidiInCallback callback, uintptr_t instance) {
    return OpenIn(handle, id, nullptr, callback, instance);
}

uint32_t MidiInOpenAbsent(HMidiIn* handle, const char* name, MidiInCallback callback, uintptr_t instance) {
    return name == nullptr || *name == '\0' ? kMmInvalParam : OpenIn(handle, 0, name, callback, instance);
}

uint32_t MidiOutOpenAbsent(HMidiOut* handle, const char* name, MidiOutCallback callback, uintptr_t instance) {
    return name == nullptr || *name == '\0' ? kMmInvalParam : OpenOut(handle, 0, name, callback, instance);
}

uint32_t MidiInPrepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    return ValidIn(handle) ? Prepare(hdr, size) : kMmInvalHandle;
}

uint32_t MidiInUnprepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    return ValidIn(handle) ? Unprepare(hdr, size) : kMmInvalHandle;
}

uint32_t MidiInAddBuffer(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr) || hdr->lpData == nullptr) return kMmInvalParam;
    auto flags = Flags(hdr);
    const uint32_t f = flags.load();
    if (!(f & kMhdrPrepared)) return kMidiErrUnprepared;
    if (f & kMhdrInQueue) return kMidiErrStillPlaying;
    if (handle->headers.Full()) return kMmError;
    hdr->dwBytesRecorded = 0;
    flags.store((f | kMhdrInQueue) & ~kMhdrDone);
    handle->headers.Push(hdr);
    return kMmNoError;
}

uint32_t MidiInStart(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (handle->started.load()) return kMmNoError;
    handle->startNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    handle->started = true;
    return kMmNoError;
}

uint32_t MidiInStop(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    handle->started = false;
    handle->Quiesce();
    return kMmNoError;
}

uint32_t MidiInReset(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    handle->started = false;
    handle->Quiesce();
    // Every queued buffer comes back empty, on the caller's thread.
    while (MidiHdr* hdr = handle->headers.Pop()) {
        hdr->dwBytesRecorded = 0;
        auto flags = Flags(hdr);
        flags.store((flags.load() & ~kMhdrInQueue) | kMhdrDone);
        if (handle->callback) {
            handle->callback(handle, kMimLongData, handle->instance, reinterpret_cast<uintptr_t>(hdr), 0);
        }
    }
    return kMmNoError;
}

uint32_t MidiInClose(HMidiIn handle) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (!handle->headers.Empty()) return kMidiErrStillPlaying;
    System& s = S();
    std::unique_lock lk(s.mu);
    handle->started = false;
    handle->Quiesce();
    {
        std::lock_guard links(s.links);
        handle->link = nullptr;
        handle->forward.Clear();
    }
    s.sys->CloseIn(SlotOf(*handle));
    handle->device.clear();
    handle->wanted.clear();
    handle->open = false;
    lk.unlock();
    if (handle->callback) handle->callback(handle, kMimClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t id, MidiOutCallback callback, uintptr_t instance) {
    return OpenOut(handle, id, nullptr, callback, instance);
}

uint32_t MidiOutShortMsg(HMidiOut handle, uint32_t msg) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    uint8_t b[3] = {uint8_t(msg), uint8_t(msg >> 8), uint8_t(msg >> 16)};
    if (OnFastPath()) {
        // The MIDI system's thread, handling an input message at once: nothing else sends now (the
        // engine holds every other sender off), so no lock is taken, and it leaves in this cycle.
        const size_t n = ComposeShort(*handle, b);
        if (n == 0) return kMmInvalParam;
        SendInCycle(*handle, b, n);
        return kMmNoError;
    }
    // Behind a long message that the driver thread has yet to send in pieces, a short one waits
    // its turn (while it is being sent, sendMu holds it back).
    for (;;) {
        {
            std::lock_guard lk(handle->stateMu);
            bool waiting = false;
            for (int i = 0; i < handle->jobCount; ++i) waiting = waiting || !handle->jobs[i].sent;
            if (!waiting) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard send(handle->sendMu);
    const size_t n = ComposeShort(*handle, b);
    if (n == 0) return kMmInvalParam;
    S().sys->SendShort(SlotOf(*handle), b, n);
    return kMmNoError;
}

bool MidiInFastPathOpen(HMidiIn in) { return ValidIn(in) && FastPathOpen(*in); }

uint32_t MidiOutPrepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    return ValidOut(handle) ? Prepare(hdr, size) : kMmInvalHandle;
}

uint32_t MidiOutUnprepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    return ValidOut(handle) ? Unprepare(hdr, size) : kMmInvalHandle;
}

uint32_t MidiOutLongMsg(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    auto flags = Flags(hdr);
    if (!(flags.load() & kMhdrPrepared)) return kMidiErrUnprepared;
    if (flags.load() & kMhdrInQueue) return kMidiErrStillPlaying;
    bool whole = hdr->dwBufferLength <= kWholeLimit;
    {
        std::lock_guard lk(handle->stateMu);
        if (handle->jobCount == kLongInFlight) return kMmError;
        // Behind a message still waiting to leave in pieces, this one waits its turn.
        for (int i = 0; i < handle->jobCount; ++i) whole = whole && handle->jobs[i].sent;
        flags.store((flags.load() | kMhdrInQueue) & ~kMhdrDone);
        if (whole) {
            // Sent here, so that it keeps its place among the short messages that follow.
            std::lock_guard send(handle->sendMu);
            S().sys->SendLong(SlotOf(*handle), reinterpret_cast<const uint8_t*>(hdr->lpData),
                              hdr->dwBufferLength, 0);
        }
        handle->jobs[handle->jobCount++] = {hdr, whole};
        handle->longBusy.fetch_add(1);
    }
    WakeDriver();  // the driver thread reports it done
    return kMmNoError;
}

uint32_t MidiOutReset(HMidiOut handle) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    handle->resetGen.fetch_add(1);
    {
        std::lock_guard send(handle->sendMu);
        for (uint8_t ch = 0; ch < 16; ++ch) {
            const uint8_t allNotesOff[3] = {uint8_t(0xB0 | ch), 123, 0};
            S().sys->SendShort(SlotOf(*handle), allNotesOff, 3);
        }
        handle->runningStatus = 0;
    }
    MidiOutPort::Job jobs[kLongInFlight];
    int count = 0;
    {
        std::lock_guard lk(handle->stateMu);
        count = handle->jobCount;
        std::copy(handle->jobs, handle->jobs + count, jobs);
        handle->jobCount = 0;
    }
    for (int i = 0; i < count; ++i) FinishLong(*handle, jobs[i].hdr);
    handle->longBusy.fetch_sub(count);
    return kMmNoError;
}

uint32_t MidiOutClose(HMidiOut handle) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    {
        std::lock_guard lk(handle->stateMu);
        if (handle->jobCount != 0) return kMidiErrStillPlaying;
    }
    while (handle->completing.load() != 0) std::this_thread::yield();
    System& s = S();
    std::unique_lock lk(s.mu);
    {
        std::lock_guard links(s.links);
        for (MidiInPort& in : s.ins) {
            if (in.link.load() == handle) in.link = nullptr;
        }
    }
    {
        std::lock_guard send(handle->sendMu);
        s.sys->CloseOut(SlotOf(*handle));
    }
    handle->device.clear();
    handle->wanted.clear();
    handle->open = false;
    lk.unlock();
    if (handle->callback) handle->callback(handle, kMomClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiConnect(HMidiIn in, HMidiOut out) {
    if (!ValidIn(in) || !ValidOut(out)) return kMmInvalHandle;
    std::lock_guard links(S().links);
    in->link.store(out, std::memory_order_release);
    return kMmNoError;
}

uint32_t MidiDisconnect(HMidiIn in, HMidiOut out) {
    if (!ValidIn(in) || !ValidOut(out)) return kMmInvalHandle;
    std::lock_guard links(S().links);
    if (in->link.load() != out) return kMmError;
    in->link = nullptr;
    return kMmNoError;
}

}  // namespace plat

// ================================ adapter extras ===============================================
namespace sdlplat {

const char* MidiSystemName() {
    System& s = S();
    std::lock_guard lk(s.mu);
    EnsureSystem(s);
    return s.sys != nullptr ? s.sys->Name() : "none";
}

bool MidiServerGone() { return S().serverGone.load(); }

MidiDrops MidiDropCounts() { return {S().dropNoBuffer.load(), S().dropForward.load(), S().cutSysEx.load()}; }

}  // namespace sdlplat

namespace sdlplat::internal {

void ShutdownMidi() {
    System& s = S();
    // The driver thread stops first, outside the lock, which it may be waiting for.
    std::thread* driver = nullptr;
    {
        std::lock_guard lk(s.mu);
        std::swap(driver, s.driver);
    }
    // A driver thread held up inside the JACK library (a server that stalls) is left behind, with
    // every client: the program is ending, and must not hang on it.
    bool stuck = false;
    if (driver != nullptr) {
        s.stopping = true;
        WakeDriver();
        const auto deadline = Clock::now() + std::chrono::seconds(3);
        while (!s.driverDone.load() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stuck = !s.driverDone.load();
        if (stuck) {
            driver->detach();
        } else {
            driver->join();
        }
        delete driver;
    }
    std::unique_lock lk(s.mu, std::defer_lock);
    if (!stuck) lk.lock();
    // Clients that went with their server are left as they are (see midi_jack.cpp).
    const bool dead = s.serverGone.load() || stuck;
    for (plat::MidiInPort& p : s.ins) {
        p.started = false;
        if (!dead) p.Quiesce();
        p.open = false;
    }
    for (plat::MidiOutPort& p : s.outs) p.open = false;
    if (s.sys != nullptr) s.sys->Close(dead);
    if (!stuck) s.sys = nullptr;  // a driver thread left behind may still use it
}

}  // namespace sdlplat::internal
