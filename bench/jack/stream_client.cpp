#include "bench/jack/stream_client.h"

#include <jack/midiport.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace kvnbench {

Client::Client(const std::string& name, bool output) {
    client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (client_ == nullptr) return;
    port_ = jack_port_register(client_, output ? "out" : "in", JACK_DEFAULT_MIDI_TYPE,
                               output ? JackPortIsOutput : JackPortIsInput, 0);
    jack_set_process_callback(client_, OnProcess, this);
    jack_set_xrun_callback(client_, OnXrun, this);
}

int Client::OnXrun(void* arg) {
    static_cast<Client*>(arg)->xruns_.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

Client::~Client() { Close(); }

void Client::Close() {
    if (client_ != nullptr) jack_client_close(client_);
    client_ = nullptr;
}

bool Client::Activate() { return client_ != nullptr && jack_activate(client_) == 0; }

std::string Client::PortName() const { return port_ ? jack_port_name(port_) : ""; }
uint32_t Client::Period() const { return client_ ? jack_get_buffer_size(client_) : 0; }
uint32_t Client::Rate() const { return client_ ? jack_get_sample_rate(client_) : 0; }

int Client::OnProcess(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<Client*>(arg);
    const jack_time_t now = jack_get_time();
    const jack_time_t periodUs = jack_time_t(frames) * 1000000u / jack_get_sample_rate(self->client_);
    if (self->lastStart_ != 0 && now - self->lastStart_ > periodUs * 3 / 2) {
        self->late_.fetch_add(1, std::memory_order_relaxed);
    }
    self->lastStart_ = now;
    self->Process(frames);
    self->cycles_.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

bool Client::WaitCycles(uint64_t n, std::chrono::milliseconds timeout) const {
    const uint64_t target = Cycles() + n;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Cycles() < target) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- Player ------------------------------------------------------------------------------------

Player::Player(const std::string& name) : Client(name, true) { control_ = jack_ringbuffer_create(1 << 14); }

Player::~Player() {
    Close();
    jack_ringbuffer_free(control_);
}

void Player::SendControl(const std::vector<uint8_t>& bytes) {
    const auto len = static_cast<uint32_t>(bytes.size());
    if (jack_ringbuffer_write_space(control_) < sizeof len + len) return;
    jack_ringbuffer_write(control_, reinterpret_cast<const char*>(&len), sizeof len);
    jack_ringbuffer_write(control_, reinterpret_cast<const char*>(bytes.data()), len);
}

void Player::StartStream(uint32_t count, uint32_t rate, uint32_t start) {
    StopStream();
    sendFrame_.assign(count, 0);
    sendCycle_.assign(count, 0);
    count_ = count;
    rate_ = rate;
    start_ = start;
    sent_.store(0);
    deferred_.store(0);
    firstUs_.store(0);
    lastUs_.store(0);
    armed_.store(true, std::memory_order_release);
}

void Player::StopStream() {
    if (!armed_.exchange(false)) return;
    WaitCycles(2);
}

void Player::Process(jack_nframes_t frames) {
    void* buf = jack_port_get_buffer(port_, frames);
    jack_midi_clear_buffer(buf);
    uint32_t len = 0;
    while (jack_ringbuffer_read_space(control_) >= sizeof len) {
        jack_ringbuffer_peek(control_, reinterpret_cast<char*>(&len), sizeof len);
        jack_midi_data_t* data = jack_midi_event_reserve(buf, 0, len);
        if (data == nullptr) break;
        jack_ringbuffer_read_advance(control_, sizeof len);
        jack_ringbuffer_read(control_, reinterpret_cast<char*>(data), len);
    }
    if (!armed_.load(std::memory_order_acquire)) return;
    const uint32_t cycle = jack_last_frame_time(client_);
    const uint32_t sr = jack_get_sample_rate(client_);
    const uint32_t first = sent_.load(std::memory_order_relaxed);
    uint32_t k = first;
    uint32_t lastOffset = 0;
    while (k < count_) {
        const uint32_t due = start_ + uint32_t(uint64_t(k) * sr / rate_);
        const auto ahead = int32_t(due - cycle);  // frames from this period's start
        if (ahead >= int32_t(frames)) break;
        // Late (deferred from a full period) messages leave first, at the earliest free frame.
        uint32_t offset = ahead < 0 ? 0 : uint32_t(ahead);
        if (offset < lastOffset) offset = lastOffset;
        jack_midi_data_t* data = jack_midi_event_reserve(buf, offset, 3);
        if (data == nullptr) {
            deferred_.fetch_add(1, std::memory_order_relaxed);
            break;
        }
        EncodeSeq(k, data);
        sendFrame_[k] = cycle + offset;
        sendCycle_[k] = cycle;
        lastOffset = offset;
        ++k;
    }
    if (k != first) {
        const jack_time_t now = jack_get_time();
        if (first == 0) firstUs_.store(now, std::memory_order_relaxed);
        lastUs_.store(now, std::memory_order_relaxed);
    }
    sent_.store(k, std::memory_order_release);
}

// ---- Sink --------------------------------------------------------------------------------------

Sink::Sink(const std::string& name) : Client(name, false) {}

void Sink::Restart(size_t capacity) {
    armed_.store(false);
    WaitCycles(2);
    log_.assign(capacity, Arrival{});
    count_.store(0);
    notes_.store(0);
    overflow_.store(0);
    armed_.store(true, std::memory_order_release);
}

void Sink::Process(jack_nframes_t frames) {
    if (!armed_.load(std::memory_order_acquire)) return;
    void* buf = jack_port_get_buffer(port_, frames);
    const uint32_t n = jack_midi_get_event_count(buf);
    const uint32_t cycle = jack_last_frame_time(client_);
    size_t at = count_.load(std::memory_order_relaxed);
    size_t notes = notes_.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, buf, i) != 0) continue;
        if (at >= log_.size()) {
            overflow_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        Arrival& a = log_[at++];
        a.frame = cycle + ev.time;
        a.cycle = cycle;
        a.size = uint8_t(ev.size > 255 ? 255 : ev.size);
        for (size_t b = 0; b < 3; ++b) a.bytes[b] = b < ev.size ? ev.buffer[b] : 0;
        if (ev.size == 3 && (ev.buffer[0] & 0xF0) == 0x90) ++notes;
    }
    count_.store(at, std::memory_order_release);
    notes_.store(notes, std::memory_order_release);
}

bool Sink::Seen(const std::vector<uint8_t>& bytes, size_t from) const {
    const size_t n = Count();
    for (size_t i = from; i < n; ++i) {
        const Arrival& a = log_[i];
        if (a.size != bytes.size() || bytes.size() > 3) continue;
        if (std::memcmp(a.bytes, bytes.data(), bytes.size()) == 0) return true;
    }
    return false;
}

bool Connect(jack_client_t* client, const std::string& from, const std::string& to) {
    const int r = jack_connect(client, from.c_str(), to.c_str());
    return r == 0 || r == EEXIST;
}

bool PortExists(jack_client_t* client, const std::string& name) {
    return jack_port_by_name(client, name.c_str()) != nullptr;
}

}  // namespace kvnbench
