// The JACK side, on libjack: one client "KVN" with a port "in" and a port "out" (a second port of one
// direction at once, "in-2" …). Everything MIDI happens in its process callback, once per period:
// - output sent from our other threads waits in a lock-free ring per port, each event stamped with
//   the frame it may leave at (the frame it was sent at plus one period, and never before the event
//   ahead of it), so pauses between messages hold at the output and nothing jitters. Events go into
//   the port's buffer in frame order, within its room; what does not fit waits for the next period.
// - input is handed to Receive event by event, a SysEx that comes in pieces joined first. A short
//   message may be handled right there (the fast path, see plat::MidiInFastPathOpen): its sends are
//   written into this period's output at the input event's own frame.
// - a link from an input to an output (midiConnect) is served there too, in the same period.
// The client's other duties, on our driver thread: the links to the devices (each made again when
// its device comes back, found by its port's full name; only the links made here are ever
// removed), telling each port where its device went (NoteDevice), and the server's end.
//
// JACK's server can go away while we run (stopped, or killed). The client goes with it: it is left
// as it is (closing it once a new server runs crashes the JACK library), and once a server of that
// name is back a new client takes up every open port, linked to its device as soon as it is there.
#include <jack/jack.h>
#include <jack/metadata.h>
#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/sdl/midi_internal.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"

namespace sdlplat::midi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPiece = 4096;          // a longer SysEx goes into the ring in pieces of this size
constexpr size_t kJoinBytes = 1u << 16;  // a SysEx that comes in pieces is joined up to this size
constexpr auto kWaitLimit = std::chrono::seconds(1);  // for room in the ring, or for it to empty

constexpr const char* kServerGoneText =
    "The JACK server has stopped, and every MIDI port with it.\nKorvane goes on without MIDI, and "
    "takes up its ports again as soon as the server is back.";

// The JACK library's own complaints (a server that is not running, or that went away) would reach
// stderr on every listing; the user is told in our own words instead.
void Quiet(const char*) {}

class JackSystem;

// Set by the process callback around the hand-over of one short input message.
struct FastContext {
    JackSystem* sys = nullptr;
    const plat::MidiInPort* in = nullptr;
    uint32_t frame = 0;    // the input event's offset in this period
    bool handing = false;  // inside Receive for a short message
    bool open = false;     // the engine was told it may send from here
};
thread_local FastContext t_fast;

std::string PortName(bool input, int slot) {
    std::string name = input ? kInPortName : kOutPortName;
    return slot == 0 ? name : name + "-" + std::to_string(slot + 1);
}

class JackSystem : public MidiSystem {
public:
    const char* Name() const override { return "jack"; }

    // Under the system lock, or before the system is chosen: a client once the server answers.
    bool Connect() {
        if (client_.load() != nullptr) return true;
        if (S().serverGone.load()) return false;
        jack_client_t* c = NewClient();
        client_ = c;
        return c != nullptr;
    }

    bool Reachable(bool) override { return !S().serverGone.load() && Connect(); }

    void List(bool input, std::vector<std::string>& rows, std::vector<PortFacts>& facts) override {
        if (!Reachable(input)) return;
        const char** ports = jack_get_ports(client_.load(), nullptr, JACK_DEFAULT_MIDI_TYPE,
                                            input ? JackPortIsOutput : JackPortIsInput);
        for (const char** p = ports; p != nullptr && *p != nullptr; ++p) {
            if (sdlplat::IsOwnPort(*p)) continue;
            rows.emplace_back(*p);
            facts.push_back(Facts(rows.back()));
        }
        if (ports != nullptr) jack_free(ports);
    }

    // A port's client and own name, its aliases and its pretty name: a hardware port's own name
    // is a number, and what it stands for is in these.
    PortFacts Facts(const std::string& full) {
        PortFacts f;
        const size_t colon = full.find(':');
        f.client = full.substr(0, std::min(colon, full.size()));
        f.port = colon == std::string::npos ? full : full.substr(colon + 1);
        jack_port_t* port = jack_port_by_name(client_.load(), full.c_str());
        if (port == nullptr) return f;
        const size_t size = static_cast<size_t>(jack_port_name_size());
        std::vector<char> a(size), b(size);
        char* aliases[2] = {a.data(), b.data()};
        for (int i = 0, n = jack_port_get_aliases(port, aliases); i < n; ++i)
            f.aliases.emplace_back(aliases[i]);
        char* value = nullptr;
        char* type = nullptr;
        if (jack_get_property(jack_port_uuid(port), JACK_METADATA_PRETTY_NAME, &value, &type) == 0) {
            f.pretty = value != nullptr ? value : "";
            jack_free(value);
            jack_free(type);
        }
        return f;
    }

    bool OpenIn(int slot, const std::string& device) override {
        jack_port_t* port = EnsurePort(true, slot);
        if (port == nullptr) return false;
        // Without a device (opened absent), our port alone until it appears.
        return device.empty() || Link(device, jack_port_name(port), &ins_[slot].made);
    }

    bool OpenOut(int slot, const std::string& device) override {
        jack_port_t* port = EnsurePort(false, slot);
        if (port == nullptr) return false;
        outs_[slot].lastDue = 0;
        outs_[slot].anyDue = false;
        // The mapper is a port that anything can be linked to, by the user.
        return device.empty() || Link(jack_port_name(port), device, &outs_[slot].made);
    }

    // The port stays, with the links someone else made to it: a switch or a close removes only
    // the link made here.
    void CloseIn(int slot) override {
        jack_port_t* port = inPort_[slot].load();
        if (port != nullptr && ins_[slot].made && Alive())
            jack_disconnect(client_.load(), S().ins[slot].device.c_str(), jack_port_name(port));
        ins_[slot].made = false;
    }
    void CloseOut(int slot) override {
        DrainSlot(slot);  // the notes-off and resets of the close reach the device first
        jack_port_t* port = outPort_[slot].load();
        if (port != nullptr && outs_[slot].made && Alive())
            jack_disconnect(client_.load(), jack_port_name(port), S().outs[slot].device.c_str());
        outs_[slot].made = false;
    }

    bool SendShort(int slot, const uint8_t* data, size_t n) override { return Push(slot, data, n); }

    // In pieces when longer than kWholeLimit (the receiving side joins the pieces of a SysEx), with
    // short messages held back meanwhile by sendMu, as a real port makes them wait, instead of
    // landing inside the SysEx. A reset of the port stops the pieces and closes the open SysEx; so
    // does the end of bytes that open a SysEx without closing it (an input buffer filled to the brim
    // by a longer one), so that the receiver does not take what follows for more of it.
    void SendLong(int slot, const uint8_t* data, size_t n, uint32_t gen) override {
        if (n == 0) return;
        const uint8_t eox = 0xF7;
        if (n <= kWholeLimit) {
            Push(slot, data, n);
        } else {
            for (size_t at = 0; at < n; at += kPiece) {
                if (at > 0 && S().outs[slot].resetGen.load() != gen) {
                    Push(slot, &eox, 1);
                    return;
                }
                if (!Push(slot, data + at, std::min(kPiece, n - at))) return;
            }
        }
        if (data[0] == 0xF0 && data[n - 1] != 0xF7) Push(slot, &eox, 1);
    }

    void Drain() override {
        for (int i = 0; i < kSlots; ++i) DrainSlot(i);
    }

    void Watch() override {
        if (S().serverGone.load() || lost_.load()) TryRevive();
        if (portsChanged_.exchange(false)) Relink();
    }

    void Close(bool dead) override {
        if (!dead) Drain();
        jack_client_t* c = client_.exchange(nullptr);
        if (c == nullptr || dead || S().serverGone.load()) return;
        jack_deactivate(c);
        jack_client_close(c);
    }

    // ---- The process thread -------------------------------------------------------------------
    bool FastOpen(const plat::MidiInPort& in) {
        if (!t_fast.handing || t_fast.in != &in) return false;
        const System& s = S();
        for (int i = 0; i < kSlots; ++i) {
            if (!rings_[i].Empty() || s.outs[i].longBusy.load() != 0) return false;
        }
        t_fast.open = true;
        return true;
    }
    bool WriteNow(int slot, const uint8_t* data, size_t n) { return Write(slot, t_fast.frame, data, n); }

private:
    struct InState {
        bool made = false;  // the link to the device was made here (under the system lock)
        // The SysEx being joined (the process thread's).
        size_t join = 0, joinTotal = 0;
        bool joining = false;
        uint8_t joined[kJoinBytes];
    };
    struct OutState {
        bool made = false;
        uint32_t lastDue = 0;  // under the port's sendMu
        bool anyDue = false;
        // This period's buffer, its last frame written, its room for one event (the process thread's).
        void* buf = nullptr;
        uint32_t last = 0;
        size_t room = 0;
    };

    // An active client, or null. Its process callback finds no port of ours until they are
    // registered on it.
    jack_client_t* NewClient() {
        jack_client_t* c = jack_client_open(kOutClient, JackNoStartServer, nullptr);
        if (c == nullptr) return nullptr;
        jack_set_process_callback(c, Process, this);
        jack_set_port_registration_callback(c, OnPort, this);
        jack_set_port_rename_callback(c, OnRename, this);
        jack_set_client_registration_callback(c, OnClient, this);
        jack_on_info_shutdown(c, OnShutdown, this);
        cycling_ = c;
        if (jack_activate(c) == 0) return c;
        cycling_ = nullptr;
        jack_client_close(c);
        return nullptr;
    }

    bool Alive() const { return client_.load() != nullptr && !S().serverGone.load(); }

    jack_port_t* EnsurePort(bool input, int slot) {
        std::atomic<jack_port_t*>& port = input ? inPort_[slot] : outPort_[slot];
        if (port.load() != nullptr) return port.load();
        if (!Alive()) return nullptr;
        port = jack_port_register(client_.load(), PortName(input, slot).c_str(), JACK_DEFAULT_MIDI_TYPE,
                                  input ? JackPortIsInput : JackPortIsOutput, 0);
        return port.load();
    }

    // A link that stands once this returns; `made` tells whether it was made here (one that stood
    // already is someone else's and stays).
    bool Link(const std::string& from, const std::string& to, bool* made) {
        if (!Alive()) return false;
        const int r = jack_connect(client_.load(), from.c_str(), to.c_str());
        *made = r == 0;
        return r == 0 || r == EEXIST;
    }

    // Under the port's sendMu.
    bool Push(int slot, const uint8_t* data, size_t n) {
        if (!Alive() || outPort_[slot].load() == nullptr) return false;
        jack_client_t* c = client_.load();
        OutState& o = outs_[slot];
        uint32_t due = jack_frame_time(c) + jack_get_buffer_size(c);
        if (o.anyDue && int32_t(due - o.lastDue) < 0) due = o.lastDue;
        o.lastDue = due;
        o.anyDue = true;
        const auto deadline = Clock::now() + kWaitLimit;
        while (!rings_[slot].Push(due, data, uint32_t(n))) {
            // Full: a real port makes its sender wait too.
            if (n > EventRing::kMaxEvent || S().serverGone.load() || Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Returns once what was in the ring has left (or the server has gone, or a second passed).
    void DrainSlot(int slot) {
        const uint64_t target = rings_[slot].Written();
        const auto deadline = Clock::now() + kWaitLimit;
        while (rings_[slot].Taken() < target && !S().serverGone.load() && !lost_.load() &&
               Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    static int Process(jack_nframes_t frames, void* self) {
        static_cast<JackSystem*>(self)->Cycle(frames);
        return 0;
    }

    void Cycle(jack_nframes_t frames) {
        sdlplat::internal::SetRealtimeThread();
        jack_client_t* c = cycling_.load(std::memory_order_acquire);
        if (c == nullptr) return;
        const uint32_t start = jack_last_frame_time(c);
        frames_ = frames;
        for (int i = 0; i < kSlots; ++i) {
            OutState& o = outs_[i];
            jack_port_t* port = outPort_[i].load(std::memory_order_acquire);
            o.buf = port != nullptr ? jack_port_get_buffer(port, frames) : nullptr;
            if (o.buf == nullptr) continue;
            jack_midi_clear_buffer(o.buf);
            o.last = 0;
            o.room = jack_midi_max_event_size(o.buf);
            TakeDue(i, start);
        }
        for (int i = 0; i < kSlots; ++i) {
            jack_port_t* port = inPort_[i].load(std::memory_order_acquire);
            if (port != nullptr) Hear(i, jack_port_get_buffer(port, frames));
        }
    }

    // The ring's events due in this period, in order, while they fit.
    void TakeDue(int slot, uint32_t start) {
        OutState& o = outs_[slot];
        EventRing& ring = rings_[slot];
        EventRing::Head head{};
        while (ring.Peek(&head)) {
            const auto ahead = int32_t(head.due - start);
            if (ahead >= int32_t(frames_)) break;
            if (head.size > o.room) {  // larger than the port's whole buffer: it can never leave
                ring.Take(nullptr, head.size);
                S().dropForward.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            const uint32_t at = std::max(o.last, ahead < 0 ? 0u : uint32_t(ahead));
            jack_midi_data_t* d = jack_midi_event_reserve(o.buf, at, head.size);
            if (d == nullptr) break;  // full: the rest leaves next period
            ring.Take(d, head.size);
            o.last = at;
        }
    }

    // One event into this period's output, at `frame` or just after what was written before it.
    bool Write(int slot, uint32_t frame, const uint8_t* data, size_t n) {
        OutState& o = outs_[slot];
        if (o.buf == nullptr) return false;
        const uint32_t at = std::max(o.last, frame);
        jack_midi_data_t* d = jack_midi_event_reserve(o.buf, at, n);
        if (d == nullptr) {
            S().dropForward.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        std::memcpy(d, data, n);
        o.last = at;
        return true;
    }

    void Hear(int slot, void* buf) {
        plat::MidiInPort& p = S().ins[slot];
        const uint32_t n = jack_midi_get_event_count(buf);
        for (uint32_t k = 0; k < n; ++k) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, buf, k) != 0 || ev.size == 0) continue;
            if (p.started.load()) {
                plat::MidiOutPort* out = p.link.load(std::memory_order_acquire);
                if (out != nullptr && out->open.load()) Write(SlotOf(*out), ev.time, ev.buffer, ev.size);
            }
            Take(slot, p, ev.buffer, ev.size, ev.time);
        }
    }

    // A SysEx is handed on whole: the pieces that follow its F0 (data bytes, real-time messages
    // between them passing on at once) are joined until its F7 or the next status.
    void Take(int slot, plat::MidiInPort& p, const uint8_t* b, size_t n, uint32_t frame) {
        InState& in = ins_[slot];
        if (b[0] >= 0xF8) {
            HandShort(p, b, n, frame);
            return;
        }
        if (b[0] < 0x80) {
            if (!in.joining) return;  // no status to belong to
            Join(in, b, n);
        } else {
            if (in.joining) EndJoin(p, in);
            if (b[0] != 0xF0) {
                HandShort(p, b, n, frame);
                return;
            }
            in.joining = true;
            in.join = in.joinTotal = 0;
            Join(in, b, n);
        }
        if (b[n - 1] == 0xF7) EndJoin(p, in);
    }
    void Join(InState& in, const uint8_t* b, size_t n) {
        const size_t fit = std::min(n, kJoinBytes - in.join);
        std::memcpy(in.joined + in.join, b, fit);
        in.join += fit;
        in.joinTotal += n;
    }
    void EndJoin(plat::MidiInPort& p, InState& in) {
        in.joining = false;
        Receive(p, in.joined, in.join, in.joinTotal);
    }
    void HandShort(plat::MidiInPort& p, const uint8_t* b, size_t n, uint32_t frame) {
        t_fast = {this, &p, frame, true, false};
        Receive(p, b, n);
        t_fast = {};
    }

    // ---- The JACK library's other threads, where no server call may be made --------------------
    static void OnPort(jack_port_id_t, int, void* self) { static_cast<JackSystem*>(self)->PortsChanged(); }
    static void OnRename(jack_port_id_t, const char*, const char*, void* self) {
        static_cast<JackSystem*>(self)->PortsChanged();
    }
    // A client's ports are announced gone when it deactivates, but are still there until it has
    // closed, which is announced as the client's end alone.
    static void OnClient(const char*, int, void* self) { static_cast<JackSystem*>(self)->PortsChanged(); }
    void PortsChanged() {
        portsChanged_ = true;
        WakeDriver();
    }
    // A client thrown out for being late (a machine far too busy) while the server goes on is
    // taken up again without a word; the server's end is told.
    static void OnShutdown(jack_status_t code, const char*, void* self) {
        if ((code & JackClientZombie) && !(code & JackServerError)) {
            static_cast<JackSystem*>(self)->lost_ = true;
            WakeDriver();
        } else {
            NoteServerGone(kServerGoneText);
        }
    }

    // ---- The driver thread ----------------------------------------------------------------------
    // Links each open port of ours to its device again where the device is there and the link is
    // not (it left and came back, or the server did), and tells the port where its device went.
    void Relink() {
        System& s = S();
        std::lock_guard lk(s.mu);
        if (!Alive()) return;
        jack_client_t* c = client_.load();
        // Whether the device is there, and whether the link stands once this returns; `made` as in
        // Link; `anew`, whether the link had gone and was made again.
        const auto relink = [&](jack_port_t* port, const std::string& device, bool input, bool* made,
                                bool* linked, bool* anew) {
            if (jack_port_by_name(c, device.c_str()) == nullptr) return false;
            *linked = jack_port_connected_to(port, device.c_str()) != 0;
            if (*linked) return true;
            const char* ours = jack_port_name(port);
            const int r =
                input ? jack_connect(c, device.c_str(), ours) : jack_connect(c, ours, device.c_str());
            // A link made a moment ago can still look missing (the server shows it from its next
            // period on): one that is there already keeps the record of who made it.
            if (r != EEXIST) *made = r == 0;
            *linked = r == 0 || r == EEXIST;
            *anew = r == 0;
            return true;
        };
        // A device whose link had gone while it seemed there left and came back between two looks.
        const auto follow = [&](auto& p, jack_port_t* port, bool input, bool* made) {
            bool linked = false, anew = false;
            TakeUpWanted(p);
            if (!p.open.load() || port == nullptr || p.device.empty()) return;
            const bool there = relink(port, p.device, input, made, &linked, &anew);
            if (anew) NoteDevice(p, false, false);
            NoteDevice(p, there, linked);
        };
        for (int i = 0; i < kSlots; ++i) {
            follow(s.ins[i], inPort_[i].load(), true, &ins_[i].made);
            follow(s.outs[i], outPort_[i].load(), false, &outs_[i].made);
        }
    }

    // While the server is gone (or threw us out): once a server of that name answers again, a new
    // client takes up every open port. It is made outside the system lock (the JACK library,
    // meeting a new server in a process that still holds a client of the last one, has been seen
    // to stall there): the panel goes on meanwhile.
    void TryRevive() {
        System& s = S();
        {
            // The last client is left as it is, with its ports, which the next one must not use.
            // Every device went with the server: it is back once linked on the next.
            std::lock_guard lk(s.mu);
            for (int i = 0; i < kSlots; ++i) {
                inPort_[i] = nullptr;
                outPort_[i] = nullptr;
                NoteDevice(s.ins[i], false, false);
                NoteDevice(s.outs[i], false, false);
            }
        }
        jack_client_t* c = NewClient();
        if (c == nullptr) return;  // not back yet
        {
            std::lock_guard lk(s.mu);
            std::unique_lock<std::mutex> sends[kSlots];
            for (int i = 0; i < kSlots; ++i) sends[i] = std::unique_lock(s.outs[i].sendMu);
            for (int i = 0; i < kSlots; ++i) {
                rings_[i].Clear();
                ins_[i].made = outs_[i].made = ins_[i].joining = outs_[i].anyDue = false;
                s.outs[i].runningStatus = 0;
            }
            client_ = c;
            lost_ = false;
            s.serverGone = false;
            for (int i = 0; i < kSlots; ++i) {
                if (s.ins[i].open.load()) EnsurePort(true, i);
                if (s.outs[i].open.load()) EnsurePort(false, i);
            }
            s.inRows.clear();
            s.outRows.clear();
        }
        Relink();
    }

    std::atomic<jack_client_t*> client_{nullptr};   // the live client; swapped under every lock
    std::atomic<jack_client_t*> cycling_{nullptr};  // the client whose process callback runs
    std::atomic<jack_port_t*> inPort_[kSlots] = {}, outPort_[kSlots] = {};
    EventRing rings_[kSlots];
    InState ins_[kSlots];
    OutState outs_[kSlots];
    uint32_t frames_ = 0;  // this period's length (the process thread's)
    std::atomic<bool> portsChanged_{false};
    std::atomic<bool> lost_{false};
};

JackSystem* g_jack = nullptr;  // set once, before any client exists

}  // namespace

bool FastPathOpen(const plat::MidiInPort& in) { return t_fast.sys != nullptr && t_fast.sys->FastOpen(in); }

bool OnFastPath() { return t_fast.open; }

bool SendInCycle(plat::MidiOutPort& out, const uint8_t* data, size_t n) {
    return t_fast.sys != nullptr && t_fast.sys->WriteNow(SlotOf(out), data, n);
}

// Without a server now, the system is still JACK: the catalogues find one that starts later.
MidiSystem* OpenJack() {
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    if (g_jack == nullptr) g_jack = new JackSystem;
    S().linksServed = true;
    g_jack->Connect();
    return g_jack;
}

}  // namespace sdlplat::midi
