#include "tests/sdl/alsa_client.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <functional>
#include <utility>

#include "tests/sdl/jack_client.h"  // PollUntil

namespace kvntest {

namespace {

constexpr int kPool = 2000;                  // events the sequencer keeps for us: the most it allows
constexpr size_t kBuffer = size_t(1) << 18;  // alsa-lib's buffers: room for a long SysEx in one event
constexpr long kSpare = 16;                  // cells left free in a receiver for what others send it
// The receivers are asked again after this many cells at the latest (a receiver that came since).
constexpr long kMaxCredit = 256;
constexpr unsigned kMidiTypes =
    SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION;

// The sequencer's own question for any client's pool (alsa-lib asks it for its own client only).
// The kernel's header cannot be included beside alsa-lib's, so its layout is repeated here.
struct PoolInfo {
    int client, outputPool, inputPool, outputRoom, outputFree, inputFree;
    char reserved[64];
};
static_assert(sizeof(PoolInfo) == 88);
const unsigned long kGetClientPool = _IOWR('S', 0x4b, PoolInfo);

size_t MessageBytes(uint8_t status) {
    if (status < 0x80) return 1;
    if (status < 0xC0 || (status >= 0xE0 && status < 0xF0) || status == 0xF2) return 3;
    if (status < 0xE0 || status == 0xF1 || status == 0xF3) return 2;
    return 1;
}

// Calls f(address, "client name:port name", capabilities, type) for each port of the sequencer,
// clients by number, each one's ports in order, until f says stop.
void EachPort(snd_seq_t* seq,
              const std::function<bool(const snd_seq_addr_t&, const std::string&, unsigned, unsigned)>& f) {
    snd_seq_client_info_t* cinfo = nullptr;
    snd_seq_port_info_t* pinfo = nullptr;
    snd_seq_client_info_alloca(&cinfo);
    snd_seq_port_info_alloca(&pinfo);
    snd_seq_client_info_set_client(cinfo, -1);
    while (snd_seq_query_next_client(seq, cinfo) >= 0) {
        const int client = snd_seq_client_info_get_client(cinfo);
        snd_seq_port_info_set_client(pinfo, client);
        snd_seq_port_info_set_port(pinfo, -1);
        while (snd_seq_query_next_port(seq, pinfo) >= 0) {
            const std::string full =
                std::string(snd_seq_client_info_get_name(cinfo)) + ":" + snd_seq_port_info_get_name(pinfo);
            if (f(*snd_seq_port_info_get_addr(pinfo), full, snd_seq_port_info_get_capability(pinfo),
                  snd_seq_port_info_get_type(pinfo)))
                return;
        }
    }
}

}  // namespace

AlsaClient::AlsaClient(const std::string& name) {
    if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
        seq_ = nullptr;
        return;
    }
    snd_seq_set_client_name(seq_, name.c_str());
    client_ = snd_seq_client_id(seq_);
    // Sized before the ports exist: resizing the pool drops what is queued in it, and kvn may send
    // to "in" the moment it appears.
    snd_seq_set_client_pool_input(seq_, kPool);
    snd_seq_set_input_buffer_size(seq_, kBuffer);
    snd_seq_set_output_buffer_size(seq_, kBuffer);
    constexpr unsigned kType = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
    out_ = snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, kType);
    in_ = snd_seq_create_simple_port(seq_, "in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, kType);
    pollfd pfd{};
    if (snd_seq_poll_descriptors(seq_, &pfd, 1, POLLIN) == 1) fd_ = pfd.fd;
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (client_ < 0 || fd_ < 0 || stop_ < 0 || snd_midi_event_new(16, &enc_) < 0 ||
        snd_midi_event_new(16, &dec_) < 0) {
        in_ = out_ = -1;
        return;
    }
    snd_midi_event_no_status(dec_, 1);  // every message with its status byte
    receiver_ = std::thread([this] { ReceiveLoop(); });
}

AlsaClient::~AlsaClient() {
    Close();
    if (enc_ != nullptr) snd_midi_event_free(enc_);
    if (dec_ != nullptr) snd_midi_event_free(dec_);
    if (stop_ >= 0) close(stop_);
}

void AlsaClient::Close() {
    if (receiver_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t told = write(stop_, &one, sizeof one);  // the count was 0
        receiver_.join();
    }
    std::lock_guard lk(sendMu_);
    if (seq_ != nullptr) snd_seq_close(seq_);
    seq_ = nullptr;
}

std::string AlsaClient::Name() const {
    if (seq_ == nullptr) return "";
    snd_seq_client_info_t* info = nullptr;
    snd_seq_client_info_alloca(&info);
    return snd_seq_get_client_info(seq_, info) == 0 ? snd_seq_client_info_get_name(info) : "";
}

// ---- Playing ---------------------------------------------------------------------------------

int AlsaClient::InputFree(int client) {
    PoolInfo info{};
    info.client = client;
    // A client of the kernel (a device's) has no queue of its own: it takes what comes.
    if (ioctl(fd_, kGetClientPool, &info) < 0 || info.inputPool == 0) return -1;
    return info.inputFree;
}

// Under sendMu_: what the fullest program subscribed to "out" has free.
long AlsaClient::RoomCells() {
    long cells = LONG_MAX;
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_addr_t own{};
    own.client = static_cast<unsigned char>(client_);
    own.port = static_cast<unsigned char>(out_);
    snd_seq_query_subscribe_set_root(query, &own);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    for (int i = 0;; ++i) {
        snd_seq_query_subscribe_set_index(query, i);
        if (snd_seq_query_port_subscribers(seq_, query) < 0) break;
        const int free = InputFree(snd_seq_query_subscribe_get_addr(query)->client);
        if (free >= 0) cells = std::min(cells, long(free) - kSpare);
    }
    return cells;
}

// Only the receivers take from their queues: the room is at least what it was less what was sent
// since, and asking the sequencer before each event would slow a burst down.
size_t AlsaClient::SendRoom() {
    std::lock_guard lk(sendMu_);
    if (!Ok()) return 0;
    if (credit_ <= 0) credit_ = std::min(RoomCells(), kMaxCredit);
    return credit_ <= 0 ? 0 : size_t(credit_) * sizeof(snd_seq_event_t);
}

bool AlsaClient::Emit(snd_seq_event_t& ev) {
    snd_seq_ev_set_source(&ev, out_);
    snd_seq_ev_set_direct(&ev);
    return snd_seq_event_output_direct(seq_, &ev) >= 0;
}

void AlsaClient::Send(const Bytes& event) {
    if (!Ok() || event.empty()) return;
    std::lock_guard lk(sendMu_);
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    if (event[0] == 0xF0 || event[0] < 0x80) {  // a SysEx, or a piece of one
        snd_seq_ev_set_sysex(&ev, unsigned(event.size()), const_cast<uint8_t*>(event.data()));
    } else {
        snd_midi_event_reset_encode(enc_);
        if (snd_midi_event_encode(enc_, event.data(), long(event.size()), &ev) <= 0 ||
            ev.type == SND_SEQ_EVENT_NONE)
            return;
    }
    // The receiver holds the event in one cell, its bytes in more.
    const long cells =
        1 + (snd_seq_ev_is_variable(&ev) ? long((event.size() + sizeof ev - 1) / sizeof ev) : 0);
    if (credit_ < cells) {
        long room = 0;
        PollUntil([&] { return (room = RoomCells()) >= cells; }, std::chrono::seconds(10));
        credit_ = std::min(room, kMaxCredit);
    }
    credit_ -= cells;
    snd_seq_ev_set_subs(&ev);
    Emit(ev);
}

bool AlsaClient::SendInPieces(const Bytes& event, size_t piece) {
    if (piece == 0) return false;
    for (size_t at = 0; at < event.size(); at += piece) {
        Send(Bytes(event.begin() + long(at), event.begin() + long(std::min(event.size(), at + piece))));
    }
    return true;
}

bool AlsaClient::WaitCycles(uint64_t count, std::chrono::milliseconds timeout) {
    for (uint64_t i = 0; i < count; ++i) {
        std::unique_lock lk(mu_);
        const uint64_t n = ++echoesSent_;
        lk.unlock();
        {
            std::lock_guard send(sendMu_);
            if (!Ok()) return false;
            snd_seq_event_t ev;
            snd_seq_ev_clear(&ev);
            ev.type = SND_SEQ_EVENT_USR0;
            ev.data.raw32.d[0] = uint32_t(n);
            snd_seq_ev_set_dest(&ev, client_, in_);
            if (!Emit(ev)) return false;
        }
        lk.lock();
        if (!arrived_.wait_for(lk, timeout, [&] { return echoes_ >= n; })) return false;
    }
    return true;
}

// ---- Receiving ---------------------------------------------------------------------------------

void AlsaClient::ReceiveLoop() {
    // A sink slower than the program it listens to loses its whole queue when that overflows: it
    // goes first where the system lets it (as root in the ALSA tier's virtual machine).
    sched_param param{};
    param.sched_priority = 1;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq_, &ev);
            if (r == -ENOSPC) {  // our queue overflowed and was emptied: the loss shows
                overflows_.fetch_add(1);
                continue;
            }
            if (r < 0 || ev == nullptr) break;
            Take(*ev);
            // Handed over once per read from the sequencer, not per event: a waiter woken for
            // each would take the time this thread needs.
            if (snd_seq_event_input_pending(seq_, 0) == 0) Flush();
        }
        Flush();
    }
}

void AlsaClient::Push(Bytes b) { pending_.push_back(std::move(b)); }

void AlsaClient::Flush() {
    if (pending_.empty()) return;
    std::lock_guard lk(mu_);
    for (Bytes& b : pending_) received_.push_back(std::move(b));
    pending_.clear();
    arrived_.notify_all();
}

void AlsaClient::Take(const snd_seq_event_t& ev) {
    if (ev.type == SND_SEQ_EVENT_USR0 && ev.source.client == client_) {
        Flush();  // what came before it
        std::lock_guard lk(mu_);
        echoes_ = std::max<uint64_t>(echoes_, ev.data.raw32.d[0]);
        arrived_.notify_all();
        return;
    }
    if (ev.type == SND_SEQ_EVENT_SYSEX) {
        const auto* b = static_cast<const uint8_t*>(ev.data.ext.ptr);
        const size_t n = ev.data.ext.len;
        if (n == 0 || b == nullptr) return;
        if (b[0] == 0xF0 && !sysex_.empty()) Push(std::exchange(sysex_, {}));
        sysex_.insert(sysex_.end(), b, b + n);
        if (b[n - 1] == 0xF7) Push(std::exchange(sysex_, {}));
        return;
    }
    uint8_t b[16];
    const long n = snd_midi_event_decode(dec_, b, sizeof b, &ev);
    if (n <= 0) return;  // not a MIDI message
    // Anything but a real-time message ends a SysEx that has not ended itself.
    if (b[0] < 0xF8 && !sysex_.empty()) Push(std::exchange(sysex_, {}));
    for (long at = 0; at < n;) {
        const long len = std::min(long(MessageBytes(b[at])), n - at);
        Push(Bytes(b + at, b + at + len));
        at += len;
    }
}

std::vector<Bytes> AlsaClient::WaitFor(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lk(mu_);
    arrived_.wait_for(lk, timeout, [&] { return received_.size() >= count; });
    return received_;
}

std::vector<Bytes> AlsaClient::Received() {
    std::lock_guard lk(mu_);
    return received_;
}

size_t AlsaClient::Count() {
    std::lock_guard lk(mu_);
    return received_.size();
}

void AlsaClient::Clear() {
    std::lock_guard lk(mu_);
    received_.clear();
}

// ---- The sequencer's ports -----------------------------------------------------------------------

bool AlsaClient::Find(const std::string& name, snd_seq_addr_t* addr) {
    bool found = false;
    if (seq_ == nullptr) return false;
    EachPort(seq_, [&](const snd_seq_addr_t& a, const std::string& full, unsigned, unsigned) {
        if (full != name) return false;
        *addr = a;
        return found = true;
    });
    return found;
}

bool AlsaClient::PortExists(const std::string& name) {
    snd_seq_addr_t addr{};
    return Find(name, &addr);
}

bool AlsaClient::Connected(const std::string& from, const std::string& to) {
    snd_seq_addr_t sender{}, dest{};
    if (!Find(from, &sender) || !Find(to, &dest)) return false;
    snd_seq_port_subscribe_t* sub = nullptr;
    snd_seq_port_subscribe_alloca(&sub);
    snd_seq_port_subscribe_set_sender(sub, &sender);
    snd_seq_port_subscribe_set_dest(sub, &dest);
    return snd_seq_get_port_subscription(seq_, sub) == 0;
}

std::vector<std::string> AlsaClient::MidiPorts(bool readable) {
    std::vector<std::string> names;
    if (seq_ == nullptr) return names;
    const unsigned want = readable ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                   : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    EachPort(seq_, [&](const snd_seq_addr_t& a, const std::string& full, unsigned caps, unsigned type) {
        if (a.client != SND_SEQ_CLIENT_SYSTEM && (type & kMidiTypes) != 0 && (caps & want) == want)
            names.push_back(full);
        return false;
    });
    return names;
}

}  // namespace kvntest
