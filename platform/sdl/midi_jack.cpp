// The JACK side, through RtMidi, with a client of our own that watches what RtMidi does not tell.
//
// RtMidi's JACK output keeps a 16 KB ring that the process thread empties once per period, and its
// send spins until the message fits (for ever once the server is gone). So a message up to
// kWholeLimit bytes leaves as one event; a longer SysEx leaves in pieces with the ring emptied in
// between; and nothing is handed to RtMidi unless the ring surely has room for it (see Write).
//
// JACK's server can go away while we run (stopped, or killed). Its clients go with it: they are
// left as they are (closing one once a new server runs crashes the JACK library) and every open
// port of ours is taken up again on a new client once a server of that name is back, and linked
// to its device again as soon as the device is there. A device that leaves and comes back is
// linked again the same way.
#include "platform/sdl/midi_rtmidi.h"

#ifdef KVN_HAVE_JACK
#include <jack/jack.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace sdlplat::midi {

namespace {

using Clock = std::chrono::steady_clock;

// Of RtMidi's 16 KB JACK ring, 4 KB stay for short messages beside a message of kWholeLimit.
constexpr size_t kRtRing = 16383;  // what RtMidi's JACK output ring holds (its 16 KB less one)

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

constexpr const char* kServerGoneText =
    "The JACK server has stopped, and every MIDI port with it.\nKorvane goes on without MIDI, and "
    "takes up its ports again as soon as the server is back.";

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
    // For the driver thread, from the JACK library's threads.
    std::atomic<bool> portsChanged{false};  // JACK ports came or went: links are looked at again
    std::atomic<bool> watchLost{false};     // the server threw our watch out: it is opened again

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
            jack_set_port_registration_callback(client, OnPort, this);
            jack_on_info_shutdown(client, OnShutdown, this);
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
        if (S().serverGone.load()) return;
        Open();
        if (!IsOpen()) {
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
    // On a thread of the JACK library, which also tells this to every other client of ours.
    // A client thrown out for being late (a machine far too busy) is only our watch: it is opened
    // again, and the server goes on.
    static void OnShutdown(jack_status_t code, const char*, void* watch) {
        if ((code & JackClientZombie) && !(code & JackServerError)) {
            static_cast<JackWatch*>(watch)->watchLost = true;
            WakeDriver();
        } else {
            NoteServerGone(kServerGoneText);
        }
    }
    // On the JACK library's notification thread, where no server call may be made: the driver
    // thread looks.
    static void OnPort(jack_port_id_t, int, void* watch) {
        static_cast<JackWatch*>(watch)->portsChanged = true;
        WakeDriver();
    }
    std::mutex mu_;
    jack_client_t* client_ = nullptr;
    bool opening_ = false;
    std::atomic<uint64_t> cycles_{0};
};

// The JACK library's own complaints (a server that is not running, or that went away) would
// reach stderr on every listing; the user is told in our own words instead.
void QuietJack(const char*) {}

class JackSystem : public RtSystem {
public:
    JackSystem() : RtSystem(RtMidi::UNIX_JACK) {}
    bool Start() {
        if (!RtSystem::Start()) return false;
        jack_.Open();  // from now on, the server's end is noticed
        return true;
    }

    const char* Name() const override { return "jack"; }
    std::string CatalogName(const std::string& full) const override {
        return sdlplat::CatalogName(full, false);
    }
    void List(bool input, std::vector<std::string>& rows) override {
        jack_.Open();  // a watch lost with an earlier server comes back with the new one
        RtSystem::List(input, rows);
    }
    bool OpenIn(int slot, const std::string& device) override {
        const int before = jack_.OwnLinks(device);
        if (!RtSystem::OpenIn(slot, device)) return false;
        jack_.WaitForMore(device, before);
        return true;
    }
    bool OpenOut(int slot, const std::string& device) override {
        ring_[slot].Clear();  // not open: no sender uses it
        const int before = device.empty() ? -1 : jack_.OwnLinks(device);
        if (!RtSystem::OpenOut(slot, device)) return false;
        jack_.WaitForMore(device, before);
        return true;
    }
    void Watch() override {
        if (S().serverGone.load()) TryRevive();
        if (jack_.watchLost.exchange(false)) {
            jack_.Forget();  // left as it is, as a client of a gone server is
            jack_.Open();
        }
        if (jack_.portsChanged.exchange(false)) Relink();
    }
    void Close(bool dead) override {
        RtSystem::Close(dead);
        dead ? jack_.Forget() : jack_.Close();
    }

private:
    // Under JACK only when its ring surely has room (waiting up to a second for periods to pass, as
    // a real port makes a sender wait), and never once the server is gone: RtMidi would spin for
    // ever.
    bool Write(int slot, const uint8_t* data, size_t n) override {
        System& s = S();
        if (out_[slot] == nullptr) return false;
        if (n + 4 > kRtRing) return false;  // RtMidi drops it anyway
        const auto deadline = Clock::now() + std::chrono::seconds(1);
        while (jack_.IsOpen() && ring_[slot].Used(jack_.Cycles()) + n + 4 > kRtRing) {
            if (s.serverGone.load() || Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (s.serverGone.load()) return false;
        RtSystem::Write(slot, data, n);
        ring_[slot].Add(jack_.Cycles(), n + 4);  // the count after the write
        return true;
    }
    void WaitPeriods(int n) override { jack_.WaitPeriods(n); }

    // On the driver thread: links each open port of ours to its device again where the device is
    // there and nothing of ours is linked to it (it left and came back, or the server did), through
    // RtMidi's own open, which links as it opens.
    void Relink() {
        System& s = S();
        std::lock_guard lk(s.mu);
        if (s.serverGone.load()) return;
        // OwnLinks is -1 for a port that is not there.
        const auto unlinked = [&](const std::string& device) {
            return !device.empty() && jack_.OwnLinks(device) == 0;
        };
        for (int i = 0; i < kSlots; ++i) {
            plat::MidiInPort& p = s.ins[i];
            if (!p.open.load() || in_[i] == nullptr || !unlinked(p.device)) continue;
            const int index = FindIndex(in_[i], p.device);
            if (index < 0) continue;
            in_[i]->closePort();
            in_[i]->openPort(static_cast<unsigned>(index), sdlplat::kInPortName);
        }
        for (int i = 0; i < kSlots; ++i) {
            plat::MidiOutPort& p = s.outs[i];
            if (!p.open.load() || out_[i] == nullptr || !unlinked(p.device)) continue;
            const int index = FindIndex(out_[i], p.device);
            if (index < 0) continue;
            std::lock_guard send(p.sendMu);
            out_[i]->closePort();
            out_[i]->openPort(static_cast<unsigned>(index), sdlplat::kOutPortName);
        }
    }

    // On the driver thread while the server is gone: once a server of that name answers again,
    // every open port of ours gets a new client in place of its dead one (which is left as it is),
    // the mapper its own port at once, a device's port as soon as the device is there (Relink).
    // The new clients are made outside the system lock (the JACK library, meeting a new server in
    // a process that still holds clients of the last one, has been seen to stall there): the panel
    // goes on meanwhile, and they are put in place under the lock.
    void TryRevive() {
        System& s = S();
        jack_.Forget();
        jack_.Open();
        if (!jack_.IsOpen()) return;  // not back yet
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
        for (int i = 0; i < kSlots; ++i) ins[i] = inOpen[i] ? New<RtMidiIn>(i) : nullptr;
        for (int i = 0; i < kSlots; ++i) {
            outs[i] = outOpen[i] ? New<RtMidiOut>(i) : nullptr;
            if (outs[i] != nullptr && mapper[i]) outs[i]->openVirtualPort(sdlplat::kOutPortName);
        }
        std::vector<RtMidiIn*> unusedIns;
        std::vector<RtMidiOut*> unusedOuts;
        {
            std::lock_guard lk(s.mu);
            for (int i = 0; i < kSlots; ++i) {
                const bool open = s.ins[i].open.load();
                if (!open && ins[i] != nullptr) unusedIns.push_back(ins[i]);
                in_[i] = open ? ins[i] : nullptr;  // a dead client is left as it is
            }
            for (int i = 0; i < kSlots; ++i) {
                plat::MidiOutPort& p = s.outs[i];
                // Closed meanwhile, or opened again as something else: its new client is not used.
                const bool fits = p.open.load() && outOpen[i] && mapper[i] == p.device.empty();
                if (!fits && outs[i] != nullptr) unusedOuts.push_back(outs[i]);
                std::lock_guard send(p.sendMu);
                out_[i] = fits ? outs[i] : nullptr;
                ring_[i].Clear();
                p.runningStatus = 0;
            }
            s.inRows.clear();
            s.outRows.clear();
            s.serverGone = false;
        }
        for (RtMidiIn* rt : unusedIns) delete rt;
        for (RtMidiOut* rt : unusedOuts) delete rt;
        Relink();
    }

    JackWatch jack_;
    RingUse ring_[kSlots];  // under the port's sendMu
};

}  // namespace

// RtMidi's own choice does not fall back from ALSA to JACK: JACK is asked for explicitly.
MidiSystem* OpenJack() {
    jack_set_error_function(QuietJack);
    jack_set_info_function(QuietJack);
    auto* system = new JackSystem;
    if (system->Start()) return system;
    delete system;
    return nullptr;
}

}  // namespace sdlplat::midi
#else
// Without the JACK library's headers RtMidi has no JACK side either: its pkg-config file requires
// jack when it has one.
sdlplat::midi::MidiSystem* sdlplat::midi::OpenJack() { return nullptr; }
#endif
