// The ALSA sequencer's side, on alsa-lib's sequencer API: one client "KVN" with an input port "in"
// (that others write to) and an output port "out" (that others read from), whatever the slots.
//
// - A slot's link is a subscription between its device's port and ours, found by the port's name
//   ("client name:port name"; the numbers are handed out afresh on every start and after every
//   unplug). Only the subscriptions we made are removed again; one that someone else made stays.
// - The client also reads the sequencer's announce port: a client or port that comes, goes or
//   changes (a rename too) wakes the driver thread, which links each open slot again by name
//   (Watch), as under JACK, and tells the slot's port where its device went (NoteDevice).
// - Input: a thread of ours waits on the sequencer and on an eventfd (for the end), decodes each
//   event to bytes and hands it to Receive, a SysEx that arrives in pieces put together first.
//   Nothing there allocates, locks or logs: the buffers are made at start.
// - Output: every event goes direct to the subscribers of "out". The sequencer delivers a direct
//   event before the write returns, so what was handed over has left once the call is back.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/sdl/midi_internal.h"
#include "platform/sdl/sdl_platform.h"

namespace sdlplat::midi {

namespace {

constexpr int kNoAddr = -1;         // a link whose device is not there
constexpr size_t kInPool = 1000;    // events the sequencer keeps for us while we are busy
constexpr size_t kMaxPiece = 1024;  // the longest piece of a SysEx we send (37 cells)
constexpr int kMaxPollFds = 8;
// What a receiver needs per byte of a long message: a MIDI cable (31250 baud, 10 bits a byte), a
// program reading a port.
constexpr std::chrono::microseconds kCableByte{320}, kSoftByte{4};

int Pack(const snd_seq_addr_t& a) { return (int(a.client) << 8) | int(a.port); }
snd_seq_addr_t Unpack(int v) {
    snd_seq_addr_t a;
    a.client = static_cast<unsigned char>(v >> 8);
    a.port = static_cast<unsigned char>(v & 0xFF);
    return a;
}

// alsa-lib prints its errors on stderr unless given a handler: the user hears from us alone.
void Quiet(const char*, int, const char*, int, const char*, ...) {}

// The length of a message by its status byte (1 for a byte that cannot start one).
size_t MessageBytes(uint8_t status) {
    if (status < 0x80) return 1;
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0) || status == 0xF2) return 3;
    if (status < 0xE0 || status == 0xF1 || status == 0xF3) return 2;
    return 1;
}

bool Announcement(int type) {
    switch (type) {
    case SND_SEQ_EVENT_CLIENT_START:
    case SND_SEQ_EVENT_CLIENT_EXIT:
    case SND_SEQ_EVENT_CLIENT_CHANGE:
    case SND_SEQ_EVENT_PORT_START:
    case SND_SEQ_EVENT_PORT_EXIT:
    case SND_SEQ_EVENT_PORT_CHANGE:
        return true;
    default:
        return false;
    }
}

// A slot's link to its device's port. `addr` is where the name was found last (kNoAddr while the
// device is away); `ours` says whether we made the subscription.
struct SlotLink {
    std::string device;  // empty: no link (a closed slot, or the mapper)
    int addr = kNoAddr;
    bool ours = false;
};

class AlsaSystem : public MidiSystem {
public:
    ~AlsaSystem() override { Close(false); }

    bool Start() {
        snd_lib_error_set_handler(Quiet);
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            seq_ = nullptr;
            return false;
        }
        snd_seq_set_client_name(seq_, sdlplat::kOutClient);
        client_ = snd_seq_client_id(seq_);
        // Room for bursts, and for a SysEx sent to us in one piece; neither is needed to work. Set
        // before the ports exist: resizing the pool drops whatever is already queued in it.
        snd_seq_set_client_pool_input(seq_, kInPool);
        snd_seq_set_input_buffer_size(seq_, kForwardBytes);
        inPort_ = snd_seq_create_simple_port(seq_, sdlplat::kInPortName,
                                             SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        outPort_ = snd_seq_create_simple_port(seq_, sdlplat::kOutPortName,
                                              SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                              SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (client_ < 0 || inPort_ < 0 || outPort_ < 0) return false;
        // Without the announcements only the port watch is lost.
        snd_seq_connect_from(seq_, inPort_, SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE);

        // Each receiving client holds a piece of a SysEx in cells of its pool, one per 28 bytes: a
        // piece takes at most half of our own pool (the size clients get by default), and 1 KB.
        snd_seq_client_pool_t* pool = nullptr;
        snd_seq_client_pool_alloca(&pool);
        size_t cells = 200;
        if (snd_seq_get_client_pool(seq_, pool) == 0) cells = snd_seq_client_pool_get_output_pool(pool);
        piece_ = std::clamp(cells / 2 * sizeof(snd_seq_event_t), size_t(256), kMaxPiece);
        for (snd_midi_event_t*& enc : enc_) {
            if (snd_midi_event_new(piece_, &enc) < 0) return false;
        }
        if (snd_midi_event_new(16, &dec_) < 0) return false;
        snd_midi_event_no_status(dec_, 1);  // every message with its status byte
        sysex_ = std::make_unique<uint8_t[]>(kForwardBytes);

        nfds_ = snd_seq_poll_descriptors_count(seq_, POLLIN);
        if (nfds_ <= 0 || nfds_ >= kMaxPollFds) return false;
        snd_seq_poll_descriptors(seq_, fds_, static_cast<unsigned>(nfds_), POLLIN);
        stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stop_ < 0) return false;
        fds_[nfds_] = {stop_, POLLIN, 0};
        for (std::atomic<int>& a : inAddr_) a = kNoAddr;
        input_ = std::thread([this] { InputLoop(); });
        return true;
    }

    const char* Name() const override { return "alsa"; }
    // The sequencer is part of the kernel: it has no server that could be away.
    bool Reachable(bool) override { return seq_ != nullptr; }

    void List(bool input, std::vector<std::string>& rows, std::vector<PortFacts>& facts) override {
        EachPort(input, [&](int addr, std::string&& full) {
            if (sdlplat::IsOwnPort(full)) return false;  // another copy of us
            facts.push_back(Facts(addr, full));
            rows.push_back(std::move(full));
            return false;
        });
    }

    // A listed port's client and own name, and the bus path of the card behind it, where a card is:
    // the sysfs device, which stays while the device stays plugged where it is.
    PortFacts Facts(int addr, const std::string& full) {
        PortFacts f;
        snd_seq_client_info_t* cinfo = nullptr;
        snd_seq_client_info_alloca(&cinfo);
        f.port = full;
        if (snd_seq_get_any_client_info(seq_, Unpack(addr).client, cinfo) < 0) return f;
        const std::string client = snd_seq_client_info_get_name(cinfo);
        if (full.size() > client.size() && full.compare(0, client.size(), client) == 0) {
            f.client = client;  // unless renamed since it was listed
            f.port = full.substr(client.size() + 1);
        }
        const int card = snd_seq_client_info_get_card(cinfo);
        if (card >= 0) {
            const std::string link = "/sys/class/sound/card" + std::to_string(card) + "/device";
            if (char* path = realpath(link.c_str(), nullptr)) {
                f.busPath = path;
                free(path);
            }
        }
        return f;
    }

    bool OpenIn(int slot, const std::string& device) override {
        if (device.empty()) {  // opened absent: our port alone until its device appears
            inLinks_[slot] = {};
            inAddr_[slot] = kNoAddr;
            return true;
        }
        if (!MakeLink(inLinks_, slot, device, true)) return false;
        inAddr_[slot] = inLinks_[slot].addr;
        return true;
    }
    bool OpenOut(int slot, const std::string& device) override {
        if (device.empty()) {
            outLinks_[slot] = {};  // the mapper: our port alone, for anyone to link to
            return true;
        }
        return MakeLink(outLinks_, slot, device, false);
    }
    void CloseIn(int slot) override {
        inAddr_[slot] = kNoAddr;
        DropLink(inLinks_, slot, true);
        inLinks_[slot] = {};
    }
    void CloseOut(int slot) override {
        DropLink(outLinks_, slot, false);
        outLinks_[slot] = {};
    }

    bool SendShort(int slot, const uint8_t* data, size_t n) override {
        if (seq_ == nullptr) return false;
        snd_midi_event_t* enc = enc_[slot];
        snd_midi_event_reset_encode(enc);
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        const long used = snd_midi_event_encode(enc, data, long(n), &ev);
        if (used <= 0 || ev.type == SND_SEQ_EVENT_NONE) return false;
        return Emit(ev);
    }

    // A SysEx leaves in pieces of at most piece_ bytes (the receiving side joins them). A message
    // longer than kWholeLimit comes from the driver thread: it waits after each piece about as long
    // as a receiver takes to empty its buffer of it (a cable's time when a hardware port listens),
    // and stops, closing the SysEx, when the port is reset. Bytes that open a SysEx without
    // closing it (an input buffer filled to the brim by a longer one) are closed by an F7 too, so
    // that the receiver does not take what follows for more of it.
    void SendLong(int slot, const uint8_t* data, size_t n, uint32_t gen) override {
        if (seq_ == nullptr || n == 0) return;
        snd_midi_event_t* enc = enc_[slot];
        snd_midi_event_reset_encode(enc);
        const bool paced = n > kWholeLimit;
        const std::chrono::microseconds perByte = !paced              ? kSoftByte
                                                  : HardwareListens() ? kCableByte
                                                                      : kSoftByte;
        size_t at = 0;
        while (at < n) {
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            const long used = snd_midi_event_encode(enc, data + at, long(n - at), &ev);
            if (used <= 0) break;
            at += size_t(used);
            if (ev.type == SND_SEQ_EVENT_NONE) continue;
            Emit(ev);
            if (!paced || ev.type != SND_SEQ_EVENT_SYSEX || at >= n) continue;
            const auto* piece = static_cast<const uint8_t*>(ev.data.ext.ptr);
            if (ev.data.ext.len == 0 || piece[ev.data.ext.len - 1] == 0xF7) continue;
            std::this_thread::sleep_for(perByte * ev.data.ext.len);
            if (S().outs[slot].resetGen.load() != gen) {
                EndSysEx(enc);
                return;
            }
        }
        if (data[0] == 0xF0 && data[n - 1] != 0xF7) EndSysEx(enc);
    }

    // A direct event has reached its receivers when its write returns; a write under way on
    // another thread is waited for.
    void Drain() override { std::lock_guard lk(outMu_); }

    // On the driver thread: after an announcement, each open slot is linked again to the port of
    // its device's name, wherever that is now.
    void Watch() override {
        if (!portsChanged_.exchange(false)) return;
        System& s = S();
        std::lock_guard lk(s.mu);
        if (seq_ == nullptr) return;
        for (int i = 0; i < kSlots; ++i) {
            if (TakeUpWanted(s.ins[i])) inLinks_[i] = {s.ins[i].device, kNoAddr, false};
            if (TakeUpWanted(s.outs[i])) outLinks_[i] = {s.outs[i].device, kNoAddr, false};
            Follow(inLinks_, i, true, s.ins[i]);
            inAddr_[i] = inLinks_[i].addr;
            Follow(outLinks_, i, false, s.outs[i]);
        }
    }

    // A slot linked again, and its port told where its device went. A device found at another
    // place than before, or at the same place without the link that stood there (the sequencer
    // hands a client's number to the next one that comes), has left, whether or not it was seen
    // away in between.
    template <class Port>
    void Follow(SlotLink* links, int slot, bool input, Port& port) {
        if (links[slot].device.empty()) return;
        const int before = links[slot].addr;
        bool linked = false, anew = false;
        const bool there = Relink(links, slot, input, &linked, &anew);
        if (before != kNoAddr && (links[slot].addr != before || anew)) NoteDevice(port, false, false);
        NoteDevice(port, there, linked);
    }

    // Closing the client removes its ports, and every subscription to them.
    void Close(bool dead) override {
        if (input_.joinable()) {
            const uint64_t one = 1;
            if (write(stop_, &one, sizeof one) < 0) {
                // An eventfd that cannot count up is full: the thread has been told already.
            }
            input_.join();
        }
        if (stop_ >= 0) close(stop_);
        stop_ = -1;
        if (seq_ != nullptr && !dead) snd_seq_close(seq_);
        seq_ = nullptr;
        for (snd_midi_event_t*& enc : enc_) {
            if (enc != nullptr) snd_midi_event_free(enc);
            enc = nullptr;
        }
        if (dec_ != nullptr) snd_midi_event_free(dec_);
        dec_ = nullptr;
    }

private:
    // Calls f(address, "client name:port name") for each port of another client that can be read
    // (input) or written (output) through a subscription, as RtMidi listed them, until f says stop.
    template <class F>
    void EachPort(bool input, F&& f) {
        if (seq_ == nullptr) return;
        const unsigned want = input ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                    : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
        constexpr unsigned kMidi =
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;
        snd_seq_client_info_t* cinfo = nullptr;
        snd_seq_port_info_t* pinfo = nullptr;
        snd_seq_client_info_alloca(&cinfo);
        snd_seq_port_info_alloca(&pinfo);
        snd_seq_client_info_set_client(cinfo, -1);
        while (snd_seq_query_next_client(seq_, cinfo) >= 0) {
            const int client = snd_seq_client_info_get_client(cinfo);
            if (client == SND_SEQ_CLIENT_SYSTEM || client == client_) continue;
            snd_seq_port_info_set_client(pinfo, client);
            snd_seq_port_info_set_port(pinfo, -1);
            while (snd_seq_query_next_port(seq_, pinfo) >= 0) {
                if ((snd_seq_port_info_get_type(pinfo) & kMidi) == 0) continue;
                if ((snd_seq_port_info_get_capability(pinfo) & want) != want) continue;
                std::string full = snd_seq_client_info_get_name(cinfo);
                full += ':';
                full += snd_seq_port_info_get_name(pinfo);
                if (f(Pack(*snd_seq_port_info_get_addr(pinfo)), std::move(full))) return;
            }
        }
    }

    int Find(bool input, const std::string& device) {
        int found = kNoAddr;
        EachPort(input, [&](int addr, std::string&& full) {
            if (full != device) return false;
            found = addr;
            return true;
        });
        return found;
    }

    // The subscription between a device's port and ours, by direction.
    void Address(snd_seq_port_subscribe_t* sub, int device, bool input) const {
        snd_seq_addr_t own;
        own.client = static_cast<unsigned char>(client_);
        own.port = static_cast<unsigned char>(input ? inPort_ : outPort_);
        const snd_seq_addr_t other = Unpack(device);
        snd_seq_port_subscribe_set_sender(sub, input ? &other : &own);
        snd_seq_port_subscribe_set_dest(sub, input ? &own : &other);
    }
    // 1: made by us; 0: it stood already (someone else's); -1: failed.
    int Subscribe(int device, bool input) {
        snd_seq_port_subscribe_t* sub = nullptr;
        snd_seq_port_subscribe_alloca(&sub);
        Address(sub, device, input);
        const int err = snd_seq_subscribe_port(seq_, sub);
        if (err == 0) return 1;
        return err == -EBUSY ? 0 : -1;
    }
    bool Subscribed(int device, bool input) {
        snd_seq_port_subscribe_t* sub = nullptr;
        snd_seq_port_subscribe_alloca(&sub);
        Address(sub, device, input);
        return snd_seq_get_port_subscription(seq_, sub) == 0;
    }
    void Unsubscribe(int device, bool input) {
        snd_seq_port_subscribe_t* sub = nullptr;
        snd_seq_port_subscribe_alloca(&sub);
        Address(sub, device, input);
        snd_seq_unsubscribe_port(seq_, sub);  // gone with its device already: nothing to do
    }

    // Under the system lock. The link stands once this returns true.
    bool MakeLink(SlotLink* links, int slot, const std::string& device, bool input) {
        links[slot] = {};
        if (seq_ == nullptr) return false;
        const int addr = Find(input, device);
        if (addr == kNoAddr) return false;  // gone since the catalogue was made
        const int made = Subscribe(addr, input);
        if (made < 0) return false;
        links[slot] = {device, addr, made == 1};
        return true;
    }
    // Removes the slot's subscription if we made it, unless another open slot stands on it: that
    // one owns it from now on.
    void DropLink(SlotLink* links, int slot, bool input) {
        SlotLink& l = links[slot];
        if (seq_ == nullptr || !l.ours || l.addr == kNoAddr) return;
        for (int i = 0; i < kSlots; ++i) {
            if (i != slot && !links[i].device.empty() && links[i].addr == l.addr) {
                links[i].ours = true;
                return;
            }
        }
        Unsubscribe(l.addr, input);
    }
    // Whether the device's port is there; `linked`, whether the subscription to it stands; `anew`,
    // whether the one that stood at the same place had gone and was made again.
    bool Relink(SlotLink* links, int slot, bool input, bool* linked, bool* anew) {
        SlotLink& l = links[slot];
        *linked = false;
        if (l.device.empty()) return false;
        const int now = Find(input, l.device);
        if (l.addr != kNoAddr && l.addr != now) {
            // The name has moved on, or left: what we made at the old place goes.
            DropLink(links, slot, input);
            l.addr = kNoAddr;
            l.ours = false;
        }
        if (now == kNoAddr) return false;
        *linked = l.addr == now && Subscribed(now, input);
        if (*linked) return true;
        const bool stood = l.addr == now;
        const int made = Subscribe(now, input);
        if (made < 0) return true;
        *anew = stood && made == 1;
        l.addr = now;
        l.ours = l.ours || made == 1;
        *linked = true;
        return true;
    }

    // Whether a hardware port is among the subscribers of "out".
    bool HardwareListens() {
        snd_seq_query_subscribe_t* query = nullptr;
        snd_seq_port_info_t* info = nullptr;
        snd_seq_query_subscribe_alloca(&query);
        snd_seq_port_info_alloca(&info);
        snd_seq_addr_t own;
        own.client = static_cast<unsigned char>(client_);
        own.port = static_cast<unsigned char>(outPort_);
        snd_seq_query_subscribe_set_root(query, &own);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
        for (int i = 0;; ++i) {
            snd_seq_query_subscribe_set_index(query, i);
            if (snd_seq_query_port_subscribers(seq_, query) < 0) return false;
            const snd_seq_addr_t* to = snd_seq_query_subscribe_get_addr(query);
            if (snd_seq_get_any_port_info(seq_, to->client, to->port, info) == 0 &&
                (snd_seq_port_info_get_type(info) & SND_SEQ_PORT_TYPE_HARDWARE) != 0)
                return true;
        }
    }

    // Under the port's sendMu.
    bool Emit(snd_seq_event_t& ev) {
        snd_seq_ev_set_source(&ev, outPort_);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        std::lock_guard lk(outMu_);  // alsa-lib copies a long event into the handle's one buffer
        return snd_seq_event_output_direct(seq_, &ev) >= 0;
    }
    // Closes a SysEx that the encoder has begun: what it holds, then F7.
    void EndSysEx(snd_midi_event_t* enc) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        if (snd_midi_event_encode_byte(enc, 0xF7, &ev) == 1 && ev.type == SND_SEQ_EVENT_SYSEX) {
            Emit(ev);
            return;
        }
        uint8_t eox = 0xF7;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_sysex(&ev, 1, &eox);
        Emit(ev);
    }

    // ---- The input thread ----------------------------------------------------------------------
    void InputLoop() {
        for (;;) {
            if (poll(fds_, static_cast<nfds_t>(nfds_ + 1), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds_[nfds_].revents != 0) return;  // the end
            for (;;) {
                snd_seq_event_t* ev = nullptr;
                const int r = snd_seq_event_input(seq_, &ev);
                if (r == -ENOSPC) continue;  // the sequencer dropped some for us: on with the rest
                if (r < 0 || ev == nullptr) break;
                Handle(*ev);
            }
        }
    }

    void Handle(const snd_seq_event_t& ev) {
        if (Announcement(ev.type)) {
            if (ev.source.client == SND_SEQ_CLIENT_SYSTEM) {
                portsChanged_ = true;
                WakeDriver();
            }
            return;
        }
        if (ev.type == SND_SEQ_EVENT_SYSEX) {
            SysExPiece(ev);
            return;
        }
        uint8_t b[16];
        const long n = snd_midi_event_decode(dec_, b, sizeof b, &ev);
        if (n <= 0) return;  // not a MIDI event
        // Anything but a real-time message ends a SysEx that has not ended itself.
        if (b[0] < 0xF8) FlushSysEx();
        const int source = Pack(ev.source);
        // Some events decode to more than one message (a 14-bit controller, a parameter number).
        for (long at = 0; at < n;) {
            const long len = std::min(long(MessageBytes(b[at])), n - at);
            Deliver(source, b + at, size_t(len));
            at += len;
        }
    }

    void SysExPiece(const snd_seq_event_t& ev) {
        const auto* b = static_cast<const uint8_t*>(ev.data.ext.ptr);
        const size_t n = ev.data.ext.len;
        if (n == 0 || b == nullptr) return;
        if (b[0] == 0xF0) {
            FlushSysEx();
            sysexSource_ = Pack(ev.source);
        } else if (sysexLen_ == 0) {
            return;  // the rest of one whose beginning we never saw
        }
        const size_t take = std::min(n, kForwardBytes - sysexLen_);
        if (take < n) S().cutSysEx.fetch_add(1, std::memory_order_relaxed);
        std::memcpy(sysex_.get() + sysexLen_, b, take);
        sysexLen_ += take;
        if (b[n - 1] == 0xF7 || sysexLen_ == kForwardBytes) FlushSysEx();
    }
    void FlushSysEx() {
        if (sysexLen_ == 0) return;
        Deliver(sysexSource_, sysex_.get(), sysexLen_);
        sysexLen_ = 0;
    }

    // To the open slot linked to the sender, else to the first open one (a link someone else
    // made to our input).
    void Deliver(int source, const uint8_t* b, size_t n) {
        System& s = S();
        plat::MidiInPort* first = nullptr;
        for (int i = 0; i < kSlots; ++i) {
            plat::MidiInPort& p = s.ins[i];
            if (!p.open.load(std::memory_order_acquire)) continue;
            if (inAddr_[i].load(std::memory_order_relaxed) == source) {
                Receive(p, b, n);
                return;
            }
            if (first == nullptr) first = &p;
        }
        if (first != nullptr) Receive(*first, b, n);
    }

    snd_seq_t* seq_ = nullptr;
    int client_ = -1, inPort_ = -1, outPort_ = -1;
    size_t piece_ = kMaxPiece;
    std::mutex outMu_;
    snd_midi_event_t* enc_[kSlots] = {};           // by slot, under the port's sendMu
    SlotLink inLinks_[kSlots], outLinks_[kSlots];  // under the system lock
    std::atomic<int> inAddr_[kSlots];              // the input links' senders, for the input thread
    std::atomic<bool> portsChanged_{false};

    // The input thread's own.
    std::thread input_;
    int stop_ = -1;
    pollfd fds_[kMaxPollFds] = {};
    int nfds_ = 0;
    snd_midi_event_t* dec_ = nullptr;
    std::unique_ptr<uint8_t[]> sysex_;
    size_t sysexLen_ = 0;
    int sysexSource_ = kNoAddr;
};

}  // namespace

MidiSystem* OpenAlsa() {
    // Without its device the sequencer cannot open, and trying only fills stderr.
    if (access("/dev/snd/seq", F_OK) != 0) return nullptr;
    auto* system = new AlsaSystem;
    if (system->Start()) return system;
    delete system;
    return nullptr;
}

}  // namespace sdlplat::midi
