#include "tests/sdl/jack_client.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace kvntest {

namespace {
constexpr size_t kRing = 1 << 22;  // seconds of the fastest burst JACK carries

// An arrival's head in the ring, followed by its bytes.
struct Head {
    uint32_t size, frame, period;
};

void Encode(uint32_t k, uint8_t* out) {
    out[0] = uint8_t(0x90 | ((k >> 14) & 0x0F));
    out[1] = uint8_t((k >> 7) & 0x7F);
    out[2] = uint8_t(k & 0x7F);
}
}  // namespace

Bytes Numbered(uint32_t k) {
    Bytes b(3);
    Encode(k, b.data());
    return b;
}

uint32_t NumberOf(const Bytes& b) { return (uint32_t(b[0] & 0x0F) << 14) | (uint32_t(b[1]) << 7) | b[2]; }

JackClient::JackClient(const std::string& name, unsigned perPeriod)
    : perPeriod_(perPeriod == 0 ? ~0u : perPeriod) {
    client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (client_ == nullptr) return;
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    toSend_ = jack_ringbuffer_create(kRing);
    arrived_ = jack_ringbuffer_create(kRing);
    jack_set_process_callback(client_, Process, this);
    jack_set_xrun_callback(
        client_, [](void* self) { return static_cast<JackClient*>(self)->xruns_.fetch_add(1), 0; }, this);
    jack_activate(client_);
}

JackClient::~JackClient() {
    Close();
    if (toSend_) jack_ringbuffer_free(toSend_);
    if (arrived_) jack_ringbuffer_free(arrived_);
}

void JackClient::Play(void* buf, jack_nframes_t frames) {
    uint32_t len = 0;
    for (unsigned sent = 0; sent < perPeriod_ && jack_ringbuffer_read_space(toSend_) >= sizeof len; ++sent) {
        jack_ringbuffer_peek(toSend_, reinterpret_cast<char*>(&len), sizeof len);
        if (jack_ringbuffer_read_space(toSend_) < sizeof len + len) break;
        jack_midi_data_t* data = jack_midi_event_reserve(buf, 0, len);
        if (data == nullptr) break;  // full for this period: the rest goes next time
        jack_ringbuffer_read_advance(toSend_, sizeof len);
        jack_ringbuffer_read(toSend_, reinterpret_cast<char*>(data), len);
    }
    if (!streaming_.load(std::memory_order_acquire)) return;
    const uint32_t period = jack_last_frame_time(client_), rate = jack_get_sample_rate(client_);
    uint32_t k = streamed_.load(std::memory_order_relaxed), last = 0;
    for (; k < streamCount_; ++k) {
        const auto ahead = int32_t(streamStart_ + uint32_t(uint64_t(k) * rate / streamRate_) - period);
        if (ahead >= int32_t(frames)) break;
        // One that found the last period full leaves first, at the earliest free frame.
        const uint32_t offset = std::max(last, ahead < 0 ? 0u : uint32_t(ahead));
        jack_midi_data_t* data = jack_midi_event_reserve(buf, offset, 3);
        if (data == nullptr) break;
        Encode(k, data);
        streamFrames_[k] = period + offset;
        last = offset;
    }
    streamed_.store(k, std::memory_order_release);
}

int JackClient::Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    void* outBuf = jack_port_get_buffer(self->out_, frames);
    jack_midi_clear_buffer(outBuf);
    if (self->maxEvent_.load(std::memory_order_relaxed) == 0)
        self->maxEvent_.store(jack_midi_max_event_size(outBuf), std::memory_order_relaxed);
    self->Play(outBuf, frames);
    void* inBuf = jack_port_get_buffer(self->in_, frames);
    const uint32_t n = jack_midi_get_event_count(inBuf);
    const jack_nframes_t start = jack_last_frame_time(self->client_);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, inBuf, i) != 0) continue;
        const Head head{uint32_t(ev.size), start + ev.time, start};
        if (jack_ringbuffer_write_space(self->arrived_) < sizeof head + ev.size) {
            self->overflows_.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        jack_ringbuffer_write(self->arrived_, reinterpret_cast<const char*>(&head), sizeof head);
        jack_ringbuffer_write(self->arrived_, reinterpret_cast<const char*>(ev.buffer), ev.size);
    }
    self->cycles_.fetch_add(1, std::memory_order_release);
    return 0;
}

void JackClient::Send(const Bytes& event) {
    const auto len = static_cast<uint32_t>(event.size());
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(&len), sizeof len);
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(event.data()), len);
}

bool JackClient::SendInPieces(const Bytes& event, size_t piece) {
    if (piece == 0 || SendRoom() < event.size() + 4 * ((event.size() + piece - 1) / piece)) return false;
    for (size_t at = 0; at < event.size(); at += piece) {
        Send(Bytes(event.begin() + long(at), event.begin() + long(std::min(event.size(), at + piece))));
    }
    return true;
}

void JackClient::Stream(uint32_t count, uint32_t rate, uint32_t start) {
    streaming_.store(false);
    WaitCycles(2);
    streamFrames_.assign(count, 0);
    streamCount_ = count;
    streamRate_ = rate;
    streamStart_ = start;
    streamed_.store(0);
    streaming_.store(true, std::memory_order_release);
}

void JackClient::Drain() {
    std::lock_guard lk(mu_);
    Head head{};
    // The process thread writes an event's head and its bytes one after the other: an event is
    // taken only once both are there.
    while (jack_ringbuffer_read_space(arrived_) >= sizeof head) {
        jack_ringbuffer_peek(arrived_, reinterpret_cast<char*>(&head), sizeof head);
        if (jack_ringbuffer_read_space(arrived_) < sizeof head + head.size) break;
        jack_ringbuffer_read_advance(arrived_, sizeof head);
        Timed t{head.frame, head.period, Bytes(head.size)};
        jack_ringbuffer_read(arrived_, reinterpret_cast<char*>(t.bytes.data()), head.size);
        received_.push_back(std::move(t));
    }
}

std::vector<Bytes> JackClient::WaitFor(size_t count, std::chrono::milliseconds timeout) {
    PollUntil(
        [&] {
            Drain();
            std::lock_guard lk(mu_);
            return received_.size() >= count;
        },
        timeout);
    return Received();
}

std::vector<Bytes> JackClient::Received() {
    std::vector<Bytes> out;
    for (Timed& t : ReceivedTimed()) out.push_back(std::move(t.bytes));
    return out;
}

std::vector<Timed> JackClient::ReceivedTimed() {
    Drain();
    std::lock_guard lk(mu_);
    return received_;
}

std::vector<Timed> JackClient::Take() {
    Drain();
    std::lock_guard lk(mu_);
    return std::exchange(received_, {});
}

void JackClient::Clear() { Take(); }

bool JackClient::WaitCycles(uint64_t count, std::chrono::milliseconds timeout) {
    const uint64_t target = Cycles() + count;
    return PollUntil([&] { return Cycles() >= target; }, timeout);
}

bool JackClient::Connect(const std::string& from, const std::string& to) {
    if (client_ == nullptr) return false;
    const int r = jack_connect(client_, from.c_str(), to.c_str());
    return r == 0 || r == EEXIST;
}

bool JackClient::Connected(const std::string& from, const std::string& to) const {
    if (client_ == nullptr) return false;
    jack_port_t* port = jack_port_by_name(client_, from.c_str());
    return port != nullptr && jack_port_connected_to(port, to.c_str()) != 0;
}

std::vector<std::string> JackClient::MidiPorts(unsigned long flags) const {
    std::vector<std::string> names;
    if (client_ == nullptr) return names;
    const char** ports = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (ports == nullptr) return names;
    for (const char** p = ports; *p; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
}

bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace kvntest
