// MIDI ports through RtMidi, behaving towards the engine as a WinMM driver does: callbacks with
// MIM_DATA / MIM_LONGDATA / MOM_DONE, input buffers queued by the client and filled one SysEx
// each, reset handing queued buffers back empty, and a driver-side link from an input to an output.
//
// Threads:
// - the caller (the user-interface thread) opens, closes, sends and queues buffers;
// - the MIDI system's thread (JACK's process thread, or RtMidi's ALSA reader) runs OnInput. Our
//   part there never blocks and never allocates: a started flag, a fixed ring of queued buffers,
//   a fixed byte ring for forwarding and sem_post. RtMidi itself, before it calls us, copies each
//   event into a std::vector (so it may allocate on that thread), and the engine's callback
//   posts into window.cpp's preallocated queue, without lock or allocation;
// - the driver thread (ours, one for all ports) forwards linked input to its output, completes
//   long messages with MOM_DONE (so that a completion never arrives inside MidiOutLongMsg), links
//   ports to devices that come back, and takes the ports up again on a JACK server that is back.
//
// RtMidi's JACK output keeps a 16 KB ring that the process thread empties once per period, and its
// send spins until the message fits (for ever once the server is gone). So a message up to
// kWholeLimit bytes leaves as one event; a longer SysEx leaves in pieces (the receiving side,
// RtMidi included, joins the pieces of a SysEx) with the ring emptied in between; and nothing is
// handed to RtMidi unless the ring surely has room for it (see Write).
//
// JACK's server can go away while we run (stopped, or killed). Its clients go with it: they are
// left as they are (closing one once a new server runs crashes the JACK library) and every open
// port of ours is taken up again on a new client once a server of that name is back, and linked
// to its device again as soon as the device is there. A device that leaves and comes back is
// linked again the same way.
#include <RtMidi.h>
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_name.h"
#include "platform/platform.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"

#ifdef KVN_HAVE_JACK
#include <jack/jack.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlots = 4;                     // ports of one direction open at the same time
constexpr uint32_t kHeaderQueue = 16;         // input buffers queued at once
constexpr uint32_t kForwardBytes = 1u << 17;  // forwarding ring of one input
constexpr int kLongInFlight = 8;              // long messages outstanding at one output
constexpr size_t kWholeLimit = 12288;         // of RtMidi's 16 KB JACK ring, 4 KB stay for short messages
constexpr size_t kPiece = 4096;               // a longer message leaves in pieces of this size
constexpr size_t kRtRing = 16383;             // what RtMidi's JACK output ring holds (its 16 KB less one)
constexpr auto kServerRetry = std::chrono::milliseconds(200);  // a gone server is looked for this often

enum class Api { None, Alsa, Jack, Core };

constexpr const char* kServerGoneText =
    "The JACK server has stopped, and every MIDI port with it.\nKorvane goes on without MIDI, and "
    "takes up its ports again as soon as the server is back.";

constexpr const char* kNoSystemText =
    "No MIDI system is available: the ALSA sequencer cannot be opened and no JACK server is "
    "running.\nStart a JACK server (for example \"jackd -d dummy\"); Korvane finds it the next "
    "time it lists the MIDI ports.";

// What RtMidi reports through its error callback, instead of throwing.
struct ErrorSink {
    std::atomic<int> warnings{0};
    std::atomic<int> errors{0};
    void Clear() {
        warnings = 0;
        errors = 0;
    }
};

void OnRtError(RtMidiError::Type type, const std::string&, void* user) {
    auto* sink = static_cast<ErrorSink*>(user);
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
        ++sink->warnings;
    } else {
        ++sink->errors;
    }
}

// Single producer (the MIDI thread), single consumer (the driver thread); records are a 32-bit
// length and the bytes.
class ByteRing {
public:
    bool Push(const uint8_t* data, uint32_t n) {
        const uint64_t w = w_.load(std::memory_order_relaxed);
        const uint64_t r = r_.load(std::memory_order_acquire);
        if (kForwardBytes - (w - r) < n + 4u) return false;
        const uint32_t len = n;
        Copy(w, reinterpret_cast<const uint8_t*>(&len), 4);
        Copy(w + 4, data, n);
        w_.store(w + 4 + n, std::memory_order_release);
        return true;
    }
    // Length of the next record copied into `out`, 0 when empty; a record longer than `cap` is skipped.
    uint32_t Pop(uint8_t* out, uint32_t cap) {
        for (;;) {
            const uint64_t r = r_.load(std::memory_order_relaxed);
            if (w_.load(std::memory_order_acquire) == r) return 0;
            uint32_t len = 0;
            Fetch(r, reinterpret_cast<uint8_t*>(&len), 4);
            if (len <= cap) Fetch(r + 4, out, len);
            r_.store(r + 4 + len, std::memory_order_release);
            if (len <= cap && len > 0) return len;
        }
    }
    // Only while neither side runs.
    void Clear() { r_.store(w_.load()); }

private:
    void Copy(uint64_t at, const uint8_t* src, uint32_t n) {
        const uint32_t pos = uint32_t(at % kForwardBytes);
        const uint32_t first = std::min(n, kForwardBytes - pos);
        std::memcpy(buf_ + pos, src, first);
        std::memcpy(buf_, src + first, n - first);
    }
    void Fetch(uint64_t at, uint8_t* dst, uint32_t n) const {
        const uint32_t pos = uint32_t(at % kForwardBytes);
        const uint32_t first = std::min(n, kForwardBytes - pos);
        std::memcpy(dst, buf_ + pos, first);
        std::memcpy(dst + first, buf_, n - first);
    }
    uint8_t buf_[kForwardBytes];
    std::atomic<uint64_t> w_{0}, r_{0};
};

std::atomic_ref<uint32_t> Flags(plat::MidiHdr* hdr) { return std::atomic_ref<uint32_t>(hdr->dwFlags); }

}  // namespace

// Bytes handed to RtMidi's JACK output ring, by the period count (JackWatch's) seen just after each
// write. A write seen at count w has surely left once the count is w + 3: one period may have begun
// before the write, the next empties the ring but may run its clients in any order, and the one
// after that has run them all.
struct RingUse {
    static constexpr int kKept = 3;
    static constexpr uint64_t kNone = ~uint64_t(0);
    uint64_t at[kKept] = {kNone, kNone, kNone};
    size_t bytes[kKept] = {};
    size_t Used(uint64_t now) const {
        size_t used = 0;
        for (int i = 0; i < kKept; ++i) used += at[i] != kNone && at[i] + 3 > now ? bytes[i] : 0;
        return used;
    }
    void Add(uint64_t now, size_t n) {
        int oldest = 0;
        for (int i = 0; i < kKept; ++i) {
            if (at[i] == now) {
                bytes[i] += n;
                return;
            }
            if (at[i] == kNone || (at[oldest] != kNone && at[i] < at[oldest])) oldest = i;
        }
        at[oldest] = now;
        bytes[oldest] = n;
    }
    void Clear() { *this = RingUse{}; }
};

struct plat::MidiInPort {
    RtMidiIn* rt = nullptr;
    ErrorSink sink;
    std::string device;  // JACK: the full name of the port it is linked to (under the system lock)
    std::atomic<bool> open{false};
    std::atomic<bool> started{false};
    std::atomic<int> busy{0};  // the MIDI thread is inside OnInput
    plat::MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
    std::atomic<int64_t> startNs{0};
    // Queued input buffers: added by the caller, taken by the MIDI thread (or by a reset while the
    // MIDI thread is kept out).
    plat::MidiHdr* headers[kHeaderQueue] = {};
    std::atomic<uint32_t> head{0}, tail{0};
    // The output the driver forwards to; written under the links lock, read as a flag by OnInput.
    std::atomic<plat::MidiOutPort*> link{nullptr};
    ByteRing forward;

    bool QueueEmpty() const { return head.load() == tail.load(); }
    plat::MidiHdr* PopHeader() {
        const uint32_t h = head.load(std::memory_order_relaxed);
        if (h == tail.load(std::memory_order_acquire)) return nullptr;
        plat::MidiHdr* hdr = headers[h % kHeaderQueue];
        head.store(h + 1, std::memory_order_release);
        return hdr;
    }
    // Waits until the MIDI thread has left OnInput; after `started` is false it does not come back.
    void Quiesce() const {
        while (busy.load() != 0) std::this_thread::yield();
    }
};

struct plat::MidiOutPort {
    RtMidiOut* rt = nullptr;  // swapped for a new one, under sendMu, when the JACK server is back
    ErrorSink sink;
    std::string device;  // JACK: the full name of the port it is linked to; empty for the mapper
    RingUse ring;        // under sendMu
    std::atomic<bool> open{false};
    plat::MidiOutCallback callback = nullptr;
    uintptr_t instance = 0;
    std::mutex sendMu;  // RtMidi's output ring takes one writer at a time
    uint8_t runningStatus = 0;
    std::mutex stateMu;  // the long messages in flight
    struct Job {
        plat::MidiHdr* hdr;
        bool sent;
    };
    Job jobs[kLongInFlight] = {};
    int jobCount = 0;
    std::atomic<uint32_t> resetGen{0};  // a reset cuts off a message that leaves in pieces
    std::atomic<int> completing{0};     // the driver thread is reporting a message done
};

namespace {

void NoteServerGone();
void NoteWatchLost();
void NotePortsChanged();

#ifdef KVN_HAVE_JACK
// What RtMidi does not tell about JACK, seen through a client of our own (no ports, so it shows in
// no list):
// - the server makes RtMidi's connection a little after openPort returns, and a message sent before
//   it stands is lost (seen here under load: up to a tenth of the first messages), so an open waits,
//   up to a second, until the server shows one more link from the device to a port of ours;
// - RtMidi's output ring is emptied once per period, and what does not fit is dropped or garbled,
//   so the driver waits for periods to pass: between the pieces of a long message, and before it
//   reports a long message done (so MOM_DONE means the bytes have left, as with a real driver).
// - ports coming and going, so that a device that comes back is linked again;
// - and the server's end: told once to the user, since every port went with it.
class JackWatch {
public:
    // The JACK library is called outside the lock: meeting a new server, it may stall.
    void Open() {
        {
            std::lock_guard lk(mu_);
            if (client_ != nullptr || opening_) return;
            opening_ = true;
        }
        jack_client_t* client = jack_client_open("KVN-query", JackNoStartServer, nullptr);
        if (client != nullptr) {
            jack_set_process_callback(client, Count, &cycles_);
            jack_set_port_registration_callback(client, OnPort, nullptr);
            jack_on_info_shutdown(client, OnShutdown, nullptr);
            jack_activate(client);
        }
        std::lock_guard lk(mu_);
        opening_ = false;
        client_ = client;
    }
    bool IsOpen() {
        std::lock_guard lk(mu_);
        return client_ != nullptr;
    }
    // After the server's end: the dead client is left as it is (see the top of this file).
    void Forget() {
        std::lock_guard lk(mu_);
        client_ = nullptr;
    }
    bool Exists(const std::string& port) {
        std::lock_guard lk(mu_);
        return client_ != nullptr && jack_port_by_name(client_, port.c_str()) != nullptr;
    }
    uint64_t Cycles() const { return cycles_.load(); }
    int OwnLinks(const std::string& port) {
        Open();
        std::lock_guard lk(mu_);
        if (client_ == nullptr) return -1;
        jack_port_t* p = jack_port_by_name(client_, port.c_str());
        if (p == nullptr) return -1;
        const char** links = jack_port_get_all_connections(client_, p);
        int n = 0;
        for (const char** l = links; l != nullptr && *l != nullptr; ++l) n += sdlplat::IsOwnPort(*l) ? 1 : 0;
        if (links != nullptr) jack_free(links);
        return n;
    }
    void WaitForMore(const std::string& port, int before) {
        if (before < 0) return;
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (OwnLinks(port) <= before && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Returns once `n` periods have begun since the call (or a quarter second has passed).
    void WaitPeriods(int n) {
        if (Gone()) return;
        Open();
        bool counting = false;
        {
            std::lock_guard lk(mu_);
            counting = client_ != nullptr;
        }
        if (!counting) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10) * n);
            return;
        }
        const uint64_t target = cycles_.load() + uint64_t(n);
        const auto deadline = Clock::now() + std::chrono::milliseconds(250);
        while (cycles_.load() < target && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void Close() {
        std::lock_guard lk(mu_);
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
    }

private:
    static int Count(jack_nframes_t, void* cycles) {
        static_cast<std::atomic<uint64_t>*>(cycles)->fetch_add(1, std::memory_order_relaxed);
        return 0;
    }
    bool Gone() const;
    // On a thread of the JACK library, which also tells this to every other client of ours.
    // A client thrown out for being late (a machine far too busy) is only our watch: it is opened
    // again, and the server goes on.
    static void OnShutdown(jack_status_t code, const char*, void*) {
        if ((code & JackClientZombie) && !(code & JackServerError)) {
            NoteWatchLost();
        } else {
            NoteServerGone();
        }
    }
    // On the JACK library's notification thread, where no server call may be made: the driver
    // thread looks.
    static void OnPort(jack_port_id_t, int, void*) { NotePortsChanged(); }
    std::mutex mu_;
    jack_client_t* client_ = nullptr;
    bool opening_ = false;
    std::atomic<uint64_t> cycles_{0};
};
#else
struct JackWatch {
    void Open() {}
    bool IsOpen() { return false; }
    void Forget() {}
    bool Exists(const std::string&) { return false; }
    uint64_t Cycles() const { return 0; }
    int OwnLinks(const std::string&) { return -1; }
    void WaitForMore(const std::string&, int) {}
    void WaitPeriods(int n) { std::this_thread::sleep_for(std::chrono::milliseconds(10) * n); }
    void Close() {}
};
#endif

struct System {
    std::mutex mu;  // catalogues, opening and closing
    bool tried = false;
    Api api = Api::None;
    bool reported = false;
    std::vector<std::string> inRows, outRows;  // full names of the catalogue rows
    plat::MidiInPort ins[kSlots];
    plat::MidiOutPort outs[kSlots];
    std::mutex links;  // input→output links and the forwarding rings' consumer side
    sem_t wake;
    std::thread* driver = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<bool> driverDone{false};
    std::atomic<uint64_t> dropNoBuffer{0}, dropForward{0}, cutSysEx{0};
    std::atomic<bool> jackGone{false};      // the JACK server ended; its clients are dead
    std::atomic<bool> portsChanged{false};  // JACK ports came or went: links are looked at again
    std::atomic<bool> watchLost{false};     // the server threw our watch out: it is opened again
    uint8_t scratch[kForwardBytes];         // the driver thread's copy of one forwarded message
    JackWatch jack;                         // used only when the MIDI system is JACK

    System() { sem_init(&wake, 0, 0); }
};

// Never destroyed: the MIDI and driver threads may still run while static objects are torn down.
System& S() {
    static System* s = new System;
    return *s;
}

void NoteServerGone() {
    if (S().jackGone.exchange(true)) return;
    sdlplat::internal::PostNotice(kServerGoneText);
    sem_post(&S().wake);  // the driver thread looks for a new server from now on
}

void NoteWatchLost() {
    S().watchLost = true;
    sem_post(&S().wake);
}

void NotePortsChanged() {
    S().portsChanged = true;
    sem_post(&S().wake);
}

#ifdef KVN_HAVE_JACK
bool JackWatch::Gone() const { return S().jackGone.load(); }
#endif

RtMidi::Api ToRt(Api api) {
    switch (api) {
    case Api::Alsa:
        return RtMidi::LINUX_ALSA;
    case Api::Jack:
        return RtMidi::UNIX_JACK;
    case Api::Core:
        return RtMidi::MACOSX_CORE;
    default:
        return RtMidi::RTMIDI_DUMMY;
    }
}

void OnInput(double, std::vector<unsigned char>* message, void* user);

// RtMidi throws from its constructors only; every later error reaches the sink.
RtMidiOut* NewOut(Api api, plat::MidiOutPort& port) {
    try {
        auto* rt = new RtMidiOut(ToRt(api), sdlplat::kOutClient);
        // Asked for an API that is not compiled in, RtMidi quietly takes another one.
        if (rt->getCurrentApi() != ToRt(api)) {
            delete rt;
            return nullptr;
        }
        rt->setErrorCallback(OnRtError, &port.sink);
        return rt;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

RtMidiIn* NewIn(Api api, plat::MidiInPort& port) {
    try {
        auto* rt = new RtMidiIn(ToRt(api), sdlplat::kInClient);
        if (rt->getCurrentApi() != ToRt(api)) {
            delete rt;
            return nullptr;
        }
        rt->setErrorCallback(OnRtError, &port.sink);
        rt->setCallback(OnInput, &port);
        rt->ignoreTypes(false, false, false);  // SysEx, timing clock and active sensing too
        return rt;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

void DriverLoop();

// Chooses the MIDI system once: the ALSA sequencer when it opens, else JACK, asked for
// explicitly (RtMidi's own choice does not fall back when ALSA fails).
#ifdef KVN_HAVE_JACK
// The JACK library's own complaints (a server that is not running, or that went away) would
// reach stderr on every listing; the user is told in our own words instead.
void QuietJack(const char*) {}
#endif

void EnsureSystem(System& s) {
    if (s.tried) return;
    s.tried = true;
#ifdef KVN_HAVE_JACK
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
#endif
#ifdef __APPLE__
    const Api order[] = {Api::Core, Api::Jack};
#else
    const Api order[] = {Api::Alsa, Api::Jack};
#endif
    for (Api api : order) {
        // Without its device the ALSA sequencer cannot open, and trying only fills stderr.
        if (api == Api::Alsa && access("/dev/snd/seq", F_OK) != 0) continue;
        RtMidiOut* out = NewOut(api, s.outs[0]);
        if (out == nullptr) continue;
        RtMidiIn* in = NewIn(api, s.ins[0]);
        if (in == nullptr) {
            delete out;
            continue;
        }
        s.outs[0].rt = out;
        s.ins[0].rt = in;
        s.api = api;
        break;
    }
    if (s.api != Api::None) s.driver = new std::thread(DriverLoop);
    if (s.api == Api::Jack) s.jack.Open();  // from now on, the server's end is noticed
}

// Whether the MIDI system answers now (a JACK client reconnects on every listing).
bool Reachable(RtMidi* rt, ErrorSink& sink) {
    sink.Clear();
    rt->getPortCount();
    return sink.warnings == 0 && sink.errors == 0;
}

// The client that lists the ports of one direction: the first of ours that lives (open or not),
// else a new one in a free slot. Null while the JACK server is gone.
RtMidi* Lister(System& s, bool input, ErrorSink** sink = nullptr) {
    if (s.api == Api::None || s.jackGone.load()) return nullptr;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < kSlots; ++i) {
            RtMidi* rt = input ? static_cast<RtMidi*>(s.ins[i].rt) : static_cast<RtMidi*>(s.outs[i].rt);
            const bool open = input ? s.ins[i].open.load() : s.outs[i].open.load();
            if (pass == 1 && rt == nullptr && !open) {
                rt = input ? static_cast<RtMidi*>(s.ins[i].rt = NewIn(s.api, s.ins[i]))
                           : static_cast<RtMidi*>(s.outs[i].rt = NewOut(s.api, s.outs[i]));
            }
            if (rt == nullptr) continue;
            if (sink != nullptr) *sink = input ? &s.ins[i].sink : &s.outs[i].sink;
            return rt;
        }
    }
    return nullptr;
}

void Enumerate(System& s, bool input) {
    // With the JACK server gone the catalogue stays as it was: the ports chosen stay chosen (and
    // open), to be taken up again when the server is back.
    if (s.jackGone.load()) return;
    std::vector<std::string>& rows = input ? s.inRows : s.outRows;
    rows.clear();
    RtMidi* rt = Lister(s, input);
    if (rt == nullptr) return;
    s.jack.Open();  // a watch lost with an earlier server comes back with the new one
    const unsigned n = rt->getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        std::string full = rt->getPortName(i);
        if (full.empty() || sdlplat::IsOwnPort(full)) continue;
        rows.push_back(std::move(full));
    }
}

int FindRtIndex(RtMidi* rt, const std::string& full) {
    const unsigned n = rt->getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        if (rt->getPortName(i) == full) return static_cast<int>(i);
    }
    return -1;
}

uint32_t CopyName(System& s, bool input, uint32_t id, char* name, size_t size) {
    std::lock_guard lk(s.mu);
    EnsureSystem(s);
    std::vector<std::string>& rows = input ? s.inRows : s.outRows;
    if (rows.empty()) Enumerate(s, input);
    if (id >= rows.size()) return plat::kMmBadDeviceId;
    return plat::CopyDeviceName(sdlplat::CatalogName(rows[id], s.api == Api::Alsa), name, size);
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

void WaitPeriods(int n) {
    System& s = S();
    if (s.api == Api::Jack) s.jack.WaitPeriods(n);
}

bool Write(plat::MidiOutPort& out, const uint8_t* data, size_t n);

// Hands one event to RtMidi; called with sendMu held. Under JACK only when its ring surely has
// room (waiting up to a second for periods to pass, as a real port makes a sender wait), and never
// once the server is gone: RtMidi would spin for ever. What cannot go is dropped.
bool Write(plat::MidiOutPort& out, const uint8_t* data, size_t n) {
    System& s = S();
    if (out.rt == nullptr) return false;
    if (s.api == Api::Jack) {
        if (n + 4 > kRtRing) return false;  // RtMidi drops it anyway
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (s.jack.IsOpen() && out.ring.Used(s.jack.Cycles()) + n + 4 > kRtRing) {
            if (s.jackGone.load() || Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (s.jackGone.load()) return false;
    }
    out.rt->sendMessage(data, n);
    if (s.api == Api::Jack) out.ring.Add(s.jack.Cycles(), n + 4);  // the count after the write
    return true;
}

// Sends `n` bytes, in pieces when RtMidi cannot take them whole; called with sendMu held (so short
// messages wait, as a real port makes them wait, instead of landing inside the SysEx). A reset of
// the port stops the pieces and closes the open SysEx; so does the end of bytes that open a SysEx
// without closing it (an input buffer filled to the brim by a longer one), so that the receiver
// does not take what follows for more of it.
void SendBytes(plat::MidiOutPort& out, const uint8_t* data, size_t n, uint32_t gen) {
    if (n == 0) return;
    const uint8_t eox = 0xF7;
    if (n <= kWholeLimit) {
        Write(out, data, n);
    } else {
        for (size_t at = 0; at < n; at += kPiece) {
            if (at > 0) {
                WaitPeriods(2);  // one period begins the emptying, the next one has finished it
                if (out.resetGen.load() != gen) {
                    Write(out, &eox, 1);
                    return;
                }
            }
            Write(out, data + at, std::min(kPiece, n - at));
        }
    }
    if (data[0] == 0xF0 && data[n - 1] != 0xF7) Write(out, &eox, 1);
}

void FinishLong(plat::MidiOutPort& out, plat::MidiHdr* hdr) {
    auto flags = Flags(hdr);
    flags.store((flags.load() & ~plat::kMhdrInQueue) | plat::kMhdrDone);
    if (out.callback) out.callback(&out, plat::kMomDone, out.instance, reinterpret_cast<uintptr_t>(hdr), 0);
}

void ForwardAll(System& s) {
    std::lock_guard lk(s.links);
    for (plat::MidiInPort& in : s.ins) {
        for (;;) {
            const uint32_t n = in.forward.Pop(s.scratch, kForwardBytes);
            if (n == 0) break;
            plat::MidiOutPort* out = in.link.load();
            if (out == nullptr || !out->open.load()) continue;
            std::lock_guard send(out->sendMu);
            SendBytes(*out, s.scratch, n, out->resetGen.load());
        }
    }
}

void CompleteJobs(plat::MidiOutPort& out) {
    for (;;) {
        plat::MidiHdr* hdr = nullptr;
        bool sent = false;
        uint32_t gen = 0;
        {
            std::lock_guard lk(out.stateMu);
            if (out.jobCount == 0) return;
            hdr = out.jobs[0].hdr;
            sent = out.jobs[0].sent;
            gen = out.resetGen.load();
        }
        if (!sent) {
            {
                std::lock_guard send(out.sendMu);
                SendBytes(out, reinterpret_cast<const uint8_t*>(hdr->lpData), hdr->dwBufferLength, gen);
            }
            std::lock_guard lk(out.stateMu);
            if (out.jobCount > 0 && out.jobs[0].hdr == hdr && out.resetGen.load() == gen)
                out.jobs[0].sent = true;
        }
        WaitPeriods(2);  // done once it has left
        bool mine = false;
        {
            std::lock_guard lk(out.stateMu);
            if (out.jobCount > 0 && out.jobs[0].hdr == hdr && out.resetGen.load() == gen) {
                std::move(out.jobs + 1, out.jobs + out.jobCount, out.jobs);
                --out.jobCount;
                out.completing.fetch_add(1);
                mine = true;
            }
        }
        if (mine) {
            FinishLong(out, hdr);
            out.completing.fetch_sub(1);
        }
    }
}

// On the driver thread: links each open port of ours to its device again where the device is there
// and nothing of ours is linked to it (it left and came back, or the server did), through RtMidi's
// own open, which links as it opens.
void Relink(System& s) {
    std::lock_guard lk(s.mu);
    if (s.api != Api::Jack || s.jackGone.load()) return;
    const auto unlinked = [&](const std::string& device) {
        return !device.empty() && s.jack.Exists(device) && s.jack.OwnLinks(device) == 0;
    };
    for (plat::MidiInPort& p : s.ins) {
        if (!p.open.load() || p.rt == nullptr || !unlinked(p.device)) continue;
        const int index = FindRtIndex(p.rt, p.device);
        if (index < 0) continue;
        p.rt->closePort();
        p.rt->openPort(static_cast<unsigned>(index), sdlplat::kInPortName);
    }
    for (plat::MidiOutPort& p : s.outs) {
        if (!p.open.load() || p.rt == nullptr || !unlinked(p.device)) continue;
        const int index = FindRtIndex(p.rt, p.device);
        if (index < 0) continue;
        std::lock_guard send(p.sendMu);
        p.rt->closePort();
        p.rt->openPort(static_cast<unsigned>(index), sdlplat::kOutPortName);
    }
}

// On the driver thread while the JACK server is gone: once a server of that name answers again,
// every open port of ours gets a new client in place of its dead one (which is left as it is), the
// mapper its own port at once, a device's port as soon as the device is there (Relink).
// The new clients are made outside the system lock (the JACK library, meeting a new server in a
// process that still holds clients of the last one, has been seen to stall there): the panel goes
// on meanwhile, and they are put in place under the lock.
void TryRevive(System& s) {
    if (s.api != Api::Jack || !s.jackGone.load()) return;
    s.jack.Forget();
    s.jack.Open();
    if (!s.jack.IsOpen()) return;  // not back yet
    bool inOpen[kSlots] = {}, outOpen[kSlots] = {}, mapper[kSlots] = {};
    {
        std::lock_guard lk(s.mu);
        for (int i = 0; i < kSlots; ++i) {
            inOpen[i] = s.ins[i].open.load();
            outOpen[i] = s.outs[i].open.load();
            mapper[i] = s.outs[i].device.empty();
        }
    }
    RtMidiIn* ins[kSlots] = {};
    RtMidiOut* outs[kSlots] = {};
    for (int i = 0; i < kSlots; ++i) ins[i] = inOpen[i] ? NewIn(s.api, s.ins[i]) : nullptr;
    for (int i = 0; i < kSlots; ++i) {
        outs[i] = outOpen[i] ? NewOut(s.api, s.outs[i]) : nullptr;
        if (outs[i] != nullptr && mapper[i]) outs[i]->openVirtualPort(sdlplat::kOutPortName);
    }
    std::vector<RtMidiIn*> unusedIns;
    std::vector<RtMidiOut*> unusedOuts;
    {
        std::lock_guard lk(s.mu);
        for (int i = 0; i < kSlots; ++i) {
            plat::MidiInPort& p = s.ins[i];
            if (!p.open.load() && ins[i] != nullptr) unusedIns.push_back(ins[i]);
            p.rt = p.open.load() ? ins[i] : nullptr;  // a dead client is left as it is
        }
        for (int i = 0; i < kSlots; ++i) {
            plat::MidiOutPort& p = s.outs[i];
            // Closed meanwhile, or opened again as something else: its new client is not used.
            const bool fits = p.open.load() && outOpen[i] && mapper[i] == p.device.empty();
            if (!fits && outs[i] != nullptr) unusedOuts.push_back(outs[i]);
            std::lock_guard send(p.sendMu);
            p.rt = fits ? outs[i] : nullptr;
            p.ring.Clear();
            p.runningStatus = 0;
        }
        s.inRows.clear();
        s.outRows.clear();
        s.jackGone = false;
    }
    for (RtMidiIn* rt : unusedIns) delete rt;
    for (RtMidiOut* rt : unusedOuts) delete rt;
    Relink(s);
}

void DriverLoop() {
    System& s = S();
    for (;;) {
        if (s.jackGone.load()) {
            timespec until{};
            clock_gettime(CLOCK_REALTIME, &until);
            const long ns = until.tv_nsec + long(std::chrono::nanoseconds(kServerRetry).count());
            until.tv_sec += ns / 1000000000L;
            until.tv_nsec = ns % 1000000000L;
            while (sem_timedwait(&s.wake, &until) != 0 && errno == EINTR) {
            }
        } else {
            while (sem_wait(&s.wake) != 0 && errno == EINTR) {
            }
        }
        if (s.stopping.load()) break;
        if (s.jackGone.load()) TryRevive(s);
        if (s.watchLost.exchange(false)) {
            s.jack.Forget();  // left as it is, as a client of a gone server is
            s.jack.Open();
        }
        if (s.portsChanged.exchange(false)) Relink(s);
        ForwardAll(s);
        for (plat::MidiOutPort& out : s.outs) CompleteJobs(out);
    }
    s.driverDone = true;
}

void Deliver(plat::MidiInPort& p, const uint8_t* b, size_t n) {
    System& s = S();
    if (b[0] < 0x80) return;  // every event of the MIDI system starts with its status
    if (p.link.load(std::memory_order_acquire) != nullptr) {
        if (p.forward.Push(b, static_cast<uint32_t>(n))) {
            sem_post(&s.wake);
        } else {
            s.dropForward.fetch_add(1, std::memory_order_relaxed);
        }
    }
    const int64_t nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    const auto stamp = static_cast<uint32_t>((nowNs - p.startNs.load(std::memory_order_relaxed)) / 1000000);
    if (b[0] == 0xF0) {
        plat::MidiHdr* hdr = p.PopHeader();
        if (hdr == nullptr) {
            s.dropNoBuffer.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // A longer SysEx fills the buffer, as a WinMM driver hands on a full buffer; the rest has
        // no buffer to go to and is dropped.
        const auto len = static_cast<uint32_t>(std::min<size_t>(n, hdr->dwBufferLength));
        if (len < n) s.cutSysEx.fetch_add(1, std::memory_order_relaxed);
        std::memcpy(hdr->lpData, b, len);
        hdr->dwBytesRecorded = len;
        auto flags = Flags(hdr);
        flags.store((flags.load() & ~plat::kMhdrInQueue) | plat::kMhdrDone, std::memory_order_release);
        if (p.callback)
            p.callback(&p, plat::kMimLongData, p.instance, reinterpret_cast<uintptr_t>(hdr), stamp);
        return;
    }
    uint32_t word = b[0];
    if (n > 1) word |= uint32_t(b[1]) << 8;
    if (n > 2) word |= uint32_t(b[2]) << 16;
    if (p.callback) p.callback(&p, plat::kMimData, p.instance, word, stamp);
}

// The MIDI system's thread.
void OnInput(double, std::vector<unsigned char>* message, void* user) {
    auto* p = static_cast<plat::MidiInPort*>(user);
    p->busy.fetch_add(1);
    if (p->started.load() && message != nullptr && !message->empty())
        Deliver(*p, message->data(), message->size());
    p->busy.fetch_sub(1);
}

// A slot not open, one with a client first (the client that has the plain name "KVN-in" or "KVN"
// when there is one); a second port at once gets a client of its own, "KVN-in-01".
plat::MidiInPort* FreeInSlot(System& s) {
    for (plat::MidiInPort& p : s.ins) {
        if (!p.open.load() && p.rt != nullptr) return &p;
    }
    for (plat::MidiInPort& p : s.ins) {
        if (p.open.load()) continue;
        p.rt = NewIn(s.api, p);
        return p.rt ? &p : nullptr;
    }
    return nullptr;
}

plat::MidiOutPort* FreeOutSlot(System& s) {
    for (plat::MidiOutPort& p : s.outs) {
        if (!p.open.load() && p.rt != nullptr) return &p;
    }
    for (plat::MidiOutPort& p : s.outs) {
        if (p.open.load()) continue;
        p.rt = NewOut(s.api, p);
        return p.rt ? &p : nullptr;
    }
    return nullptr;
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

uint32_t MidiInOpen(HMidiIn* handle, uint32_t id, MidiInCallback callback, uintptr_t instance) {
    if (handle == nullptr) return kMmInvalParam;
    *handle = nullptr;
    System& s = S();
    std::unique_lock lk(s.mu);
    EnsureSystem(s);
    if (s.jackGone.load()) return kMmError;  // the user has been told
    ErrorSink* listerSink = nullptr;
    RtMidi* lister = Lister(s, true, &listerSink);
    if (s.api == Api::None || lister == nullptr || !Reachable(lister, *listerSink)) {
        const bool show = TakeReport(s);
        lk.unlock();
        ReportNoSystem(show);
        return kMmError;
    }
    if (s.inRows.empty()) Enumerate(s, true);
    if (id >= s.inRows.size()) return kMmBadDeviceId;
    MidiInPort* p = FreeInSlot(s);
    if (p == nullptr) return kMmError;
    const int index = FindRtIndex(p->rt, s.inRows[id]);
    if (index < 0) return kMmError;  // gone since the catalogue was made
    const bool jack = s.api == Api::Jack;
    const int linksBefore = jack ? s.jack.OwnLinks(s.inRows[id]) : -1;
    p->sink.Clear();
    p->rt->openPort(static_cast<unsigned>(index), sdlplat::kInPortName);
    if (p->sink.errors.load() != 0) {
        p->rt->closePort();
        return kMmError;
    }
    s.jack.WaitForMore(s.inRows[id], linksBefore);
    p->device = jack ? s.inRows[id] : std::string();
    p->callback = callback;
    p->instance = instance;
    p->head = 0;
    p->tail = 0;
    {
        std::lock_guard links(s.links);
        p->link = nullptr;
        p->forward.Clear();
    }
    p->started = false;
    p->open = true;
    *handle = p;
    lk.unlock();
    if (callback) callback(p, kMimOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiInPrepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr) || hdr->lpData == nullptr) return kMmInvalParam;
    // A header with the driver is prepared already; leaving it untouched keeps us from racing the
    // MIDI thread, which writes its flags.
    auto flags = Flags(hdr);
    if (!(flags.load() & kMhdrPrepared)) flags.store(flags.load() | kMhdrPrepared);
    return kMmNoError;
}

uint32_t MidiInUnprepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    auto flags = Flags(hdr);
    if (flags.load() & kMhdrInQueue) return kMidiErrStillPlaying;
    flags.store(flags.load() & ~kMhdrPrepared);
    return kMmNoError;
}

uint32_t MidiInAddBuffer(HMidiIn handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidIn(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr) || hdr->lpData == nullptr) return kMmInvalParam;
    auto flags = Flags(hdr);
    const uint32_t f = flags.load();
    if (!(f & kMhdrPrepared)) return kMidiErrUnprepared;
    if (f & kMhdrInQueue) return kMidiErrStillPlaying;
    const uint32_t t = handle->tail.load(std::memory_order_relaxed);
    if (t - handle->head.load(std::memory_order_acquire) >= kHeaderQueue) return kMmError;
    hdr->dwBytesRecorded = 0;
    flags.store((f | kMhdrInQueue) & ~kMhdrDone);
    handle->headers[t % kHeaderQueue] = hdr;
    handle->tail.store(t + 1, std::memory_order_release);
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
    while (MidiHdr* hdr = handle->PopHeader()) {
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
    if (!handle->QueueEmpty()) return kMidiErrStillPlaying;
    System& s = S();
    std::unique_lock lk(s.mu);
    handle->started = false;
    handle->Quiesce();
    {
        std::lock_guard links(s.links);
        handle->link = nullptr;
        handle->forward.Clear();
    }
    if (handle->rt != nullptr && !s.jackGone.load()) handle->rt->closePort();
    handle->device.clear();
    handle->open = false;
    lk.unlock();
    if (handle->callback) handle->callback(handle, kMimClose, handle->instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t id, MidiOutCallback callback, uintptr_t instance) {
    if (handle == nullptr) return kMmInvalParam;
    *handle = nullptr;
    System& s = S();
    std::unique_lock lk(s.mu);
    EnsureSystem(s);
    if (s.jackGone.load()) return kMmError;  // the user has been told
    const bool mapper = id == kMidiMapper;
    if (!mapper) {
        if (s.outRows.empty()) Enumerate(s, false);
        if (s.api != Api::None && id >= s.outRows.size()) return kMmBadDeviceId;
    }
    MidiOutPort* p = s.api == Api::None ? nullptr : FreeOutSlot(s);
    if (s.api == Api::None || (p != nullptr && !Reachable(p->rt, p->sink))) {
        const bool show = TakeReport(s);
        lk.unlock();
        ReportNoSystem(show);
        return kMmError;
    }
    if (p == nullptr) return kMmError;
    p->sink.Clear();
    if (mapper) {
        // The mapper is our own port, to which any synth can be connected.
        p->rt->openVirtualPort(sdlplat::kOutPortName);
    } else {
        const int index = FindRtIndex(p->rt, s.outRows[id]);
        if (index < 0) return kMmError;
        const int linksBefore = s.api == Api::Jack ? s.jack.OwnLinks(s.outRows[id]) : -1;
        p->rt->openPort(static_cast<unsigned>(index), sdlplat::kOutPortName);
        if (p->sink.errors.load() == 0) s.jack.WaitForMore(s.outRows[id], linksBefore);
    }
    if (p->sink.errors.load() != 0) {
        p->rt->closePort();
        return kMmError;
    }
    p->device = mapper || s.api != Api::Jack ? std::string() : s.outRows[id];
    p->callback = callback;
    p->instance = instance;
    {
        std::lock_guard send(p->sendMu);
        p->runningStatus = 0;
        p->ring.Clear();
    }
    p->jobCount = 0;
    p->open = true;
    *handle = p;
    lk.unlock();
    if (callback) callback(p, kMomOpen, instance, 0, 0);
    return kMmNoError;
}

uint32_t MidiOutShortMsg(HMidiOut handle, uint32_t msg) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    uint8_t b[3] = {uint8_t(msg), uint8_t(msg >> 8), uint8_t(msg >> 16)};
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
    if (b[0] < 0x80) {
        // Running status: the word holds only data bytes.
        if (handle->runningStatus == 0) return kMmInvalParam;
        b[2] = b[1];
        b[1] = b[0];
        b[0] = handle->runningStatus;
    }
    const size_t n = MessageLength(b[0]);
    if (n == 0) return kMmInvalParam;
    if (b[0] < 0xF0) {
        handle->runningStatus = b[0];
    } else if (b[0] < 0xF8) {
        handle->runningStatus = 0;  // system common cancels it, real-time does not
    }
    Write(*handle, b, n);
    return kMmNoError;
}

uint32_t MidiOutPrepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr) || hdr->lpData == nullptr) return kMmInvalParam;
    auto flags = Flags(hdr);
    if (!(flags.load() & kMhdrPrepared)) flags.store(flags.load() | kMhdrPrepared);
    return kMmNoError;
}

uint32_t MidiOutUnprepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    if (hdr == nullptr || size < sizeof(MidiHdr)) return kMmInvalParam;
    auto flags = Flags(hdr);
    if (flags.load() & kMhdrInQueue) return kMidiErrStillPlaying;
    flags.store(flags.load() & ~kMhdrPrepared);
    return kMmNoError;
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
            SendBytes(*handle, reinterpret_cast<const uint8_t*>(hdr->lpData), hdr->dwBufferLength, 0);
        }
        handle->jobs[handle->jobCount++] = {hdr, whole};
    }
    sem_post(&S().wake);  // the driver thread reports it done
    return kMmNoError;
}

uint32_t MidiOutReset(HMidiOut handle) {
    if (!ValidOut(handle)) return kMmInvalHandle;
    handle->resetGen.fetch_add(1);
    {
        std::lock_guard send(handle->sendMu);
        for (uint8_t ch = 0; ch < 16; ++ch) {
            const uint8_t allNotesOff[3] = {uint8_t(0xB0 | ch), 123, 0};
            Write(*handle, allNotesOff, 3);
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
        if (handle->rt != nullptr && !s.jackGone.load()) handle->rt->closePort();
    }
    handle->device.clear();
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
    switch (s.api) {
    case Api::Alsa:
        return "alsa";
    case Api::Jack:
        return "jack";
    case Api::Core:
        return "coremidi";
    default:
        return "none";
    }
}

bool MidiServerGone() { return S().jackGone.load(); }

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
        sem_post(&s.wake);
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
    // Clients that went with a JACK server are left as they are (see the top of this file).
    const bool dead = s.jackGone.load() || stuck;
    for (plat::MidiInPort& p : s.ins) {
        p.started = false;
        if (!dead) p.Quiesce();
        p.open = false;
        if (!dead) delete p.rt;  // closes its port and its client
        p.rt = nullptr;
    }
    for (plat::MidiOutPort& p : s.outs) {
        p.open = false;
        if (!dead) delete p.rt;
        p.rt = nullptr;
    }
    if (dead) {
        s.jack.Forget();
    } else {
        s.jack.Close();
    }
    s.api = Api::None;
}

}  // namespace sdlplat::internal
