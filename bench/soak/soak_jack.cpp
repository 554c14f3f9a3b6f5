#include "bench/soak/soak_jack.h"

#include <jack/midiport.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace oracle {

namespace {
constexpr size_t kPlayRing = 1u << 20;
constexpr size_t kRecordRing = 1u << 22;
}  // namespace

JackPort::JackPort(const std::string& name, Direction direction, unsigned perPeriod)
    : direction_(direction), perPeriod_(perPeriod == 0 ? 1u << 30 : perPeriod) {
    client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (client_ == nullptr) return;
    ring_ = jack_ringbuffer_create(direction == Direction::Play ? kPlayRing : kRecordRing);
    port_ = jack_port_register(client_, direction == Direction::Play ? "out" : "in", JACK_DEFAULT_MIDI_TYPE,
                               direction == Direction::Play ? JackPortIsOutput : JackPortIsInput, 0);
    jack_set_process_callback(client_, Process, this);
    jack_set_xrun_callback(client_, OnXrun, this);
    if (port_ == nullptr || jack_activate(client_) != 0) port_ = nullptr;
}

JackPort::~JackPort() {
    if (client_ != nullptr) jack_client_close(client_);
    if (ring_ != nullptr) jack_ringbuffer_free(ring_);
}

std::string JackPort::PortName() const { return port_ ? jack_port_name(port_) : ""; }

bool JackPort::Connect(const std::string& input) {
    if (port_ == nullptr) return false;
    const int r = jack_connect(client_, jack_port_name(port_), input.c_str());
    return r == 0 || r == EEXIST;
}

int JackPort::OnXrun(void* arg) {
    auto* self = static_cast<JackPort*>(arg);
    self->xruns_.fetch_add(1, std::memory_order_relaxed);
    self->lastXrun_.store(jack_get_time(), std::memory_order_relaxed);
    return 0;
}

int JackPort::Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackPort*>(arg);
    const jack_nframes_t frame = jack_last_frame_time(self->client_);
    if (self->periods_.load(std::memory_order_relaxed) > 0 && frame != self->lastFrame_ + frames) {
        const uint32_t gap = (frame - self->lastFrame_) / frames;
        if (gap > 1) self->lostCycles_.fetch_add(gap - 1, std::memory_order_relaxed);
    }
    self->lastFrame_ = frame;
    void* buf = jack_port_get_buffer(self->port_, frames);
    if (self->maxEvent_.load(std::memory_order_relaxed) == 0) {
        self->maxEvent_.store(jack_midi_max_event_size(buf), std::memory_order_relaxed);
    }
    if (self->direction_ == Direction::Play) {
        jack_midi_clear_buffer(buf);
        uint32_t len = 0;
        for (unsigned sent = 0; sent < self->perPeriod_; ++sent) {
            if (jack_ringbuffer_read_space(self->ring_) < sizeof len) break;
            jack_ringbuffer_peek(self->ring_, reinterpret_cast<char*>(&len), sizeof len);
            if (jack_ringbuffer_read_space(self->ring_) < sizeof len + len) break;
            jack_midi_data_t* data = jack_midi_event_reserve(buf, 0, len);
            if (data == nullptr) break;  // the period's buffer is full: the rest waits for the next one
            jack_ringbuffer_read_advance(self->ring_, sizeof len);
            jack_ringbuffer_read(self->ring_, reinterpret_cast<char*>(data), len);
        }
    } else {
        const uint32_t n = jack_midi_get_event_count(buf);
        for (uint32_t i = 0; i < n; ++i) {
            jack_midi_event_t ev;
            if (jack_midi_event_get(&ev, buf, i) != 0 || ev.size == 0) continue;
            const auto len = static_cast<uint32_t>(ev.size);
            if (jack_ringbuffer_write_space(self->ring_) < sizeof len + len) {
                self->overflows_.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            jack_ringbuffer_write(self->ring_, reinterpret_cast<const char*>(&len), sizeof len);
            jack_ringbuffer_write(self->ring_, reinterpret_cast<const char*>(ev.buffer), len);
        }
    }
    self->periods_.fetch_add(1, std::memory_order_release);
    return 0;
}

bool JackPort::Send(const Bytes& event) {
    const auto len = static_cast<uint32_t>(event.size());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (jack_ringbuffer_write_space(ring_) < sizeof len + len) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&len), sizeof len);
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(event.data()), len);
    return true;
}

int64_t JackPort::SinceXrun() const {
    const uint64_t at = lastXrun_.load(std::memory_order_relaxed);
    return at == 0 ? -1 : static_cast<int64_t>(jack_get_time() - at);
}

bool JackPort::Idle() const { return jack_ringbuffer_read_space(ring_) == 0; }

bool JackPort::Pop(Bytes& piece) {
    uint32_t len = 0;
    if (jack_ringbuffer_read_space(ring_) < sizeof len) return false;
    // The process thread writes the length and the bytes in two steps: take neither before both.
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&len), sizeof len);
    if (jack_ringbuffer_read_space(ring_) < sizeof len + len) return false;
    jack_ringbuffer_read_advance(ring_, sizeof len);
    piece.resize(len);
    jack_ringbuffer_read(ring_, reinterpret_cast<char*>(piece.data()), len);
    return true;
}

bool JackPort::Next(Bytes& event) {
    if (!held_.empty()) {
        event = std::move(held_.front());
        held_.erase(held_.begin());
        return true;
    }
    Bytes piece;
    while (Pop(piece)) {
        if (!partial_.empty()) {
            // A long SysEx leaves kvn in pieces; the pieces after the first begin with data bytes.
            if (piece[0] < 0x80 || piece[0] == 0xF7) {
                partial_.insert(partial_.end(), piece.begin(), piece.end());
                if (partial_.back() == 0xF7) {
                    event.swap(partial_);
                    partial_.clear();
                    return true;
                }
                continue;
            }
            // Something else cut into it: the unfinished SysEx is reported as it is, and this
            // event waits for the next call.
            event.swap(partial_);
            partial_.clear();
            if (piece[0] == 0xF0 && piece.back() != 0xF7) {
                partial_ = std::move(piece);
            } else {
                held_.push_back(std::move(piece));
            }
            return true;
        }
        if (piece[0] == 0xF0 && piece.back() != 0xF7) {
            partial_ = std::move(piece);
            continue;
        }
        event = std::move(piece);
        return true;
    }
    return false;
}

}  // namespace oracle
