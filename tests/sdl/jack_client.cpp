#include "tests/sdl/jack_client.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace kvntest {

namespace {
constexpr size_t kRing = 1 << 22;  // seconds of the fastest burst JACK carries
}

JackClient::JackClient(const std::string& name) {
    client_ = jack_client_open(name.c_str(), JackNoStartServer, nullptr);
    if (client_ == nullptr) return;
    out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    in_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    toSend_ = jack_ringbuffer_create(kRing);
    arrived_ = jack_ringbuffer_create(kRing);
    jack_set_process_callback(client_, Process, this);
    jack_activate(client_);
}

JackClient::~JackClient() {
    Close();
    if (toSend_) jack_ringbuffer_free(toSend_);
    if (arrived_) jack_ringbuffer_free(arrived_);
}

int JackClient::Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    void* outBuf = jack_port_get_buffer(self->out_, frames);
    jack_midi_clear_buffer(outBuf);
    uint32_t len = 0;
    while (jack_ringbuffer_read_space(self->toSend_) >= sizeof len) {
        jack_ringbuffer_peek(self->toSend_, reinterpret_cast<char*>(&len), sizeof len);
        if (jack_ringbuffer_read_space(self->toSend_) < sizeof len + len) break;
        jack_midi_data_t* data = jack_midi_event_reserve(outBuf, 0, len);
        if (data == nullptr) break;  // full for this period: the rest goes next time
        jack_ringbuffer_read_advance(self->toSend_, sizeof len);
        jack_ringbuffer_read(self->toSend_, reinterpret_cast<char*>(data), len);
    }
    void* inBuf = jack_port_get_buffer(self->in_, frames);
    const uint32_t n = jack_midi_get_event_count(inBuf);
    const jack_nframes_t start = jack_last_frame_time(self->client_);
    for (uint32_t i = 0; i < n; ++i) {
        jack_midi_event_t ev;
        if (jack_midi_event_get(&ev, inBuf, i) != 0) continue;
        const uint32_t head[2] = {static_cast<uint32_t>(ev.size), start + ev.time};
        if (jack_ringbuffer_write_space(self->arrived_) < sizeof head + ev.size) break;
        jack_ringbuffer_write(self->arrived_, reinterpret_cast<const char*>(head), sizeof head);
        jack_ringbuffer_write(self->arrived_, reinterpret_cast<const char*>(ev.buffer), ev.size);
    }
    const uint64_t cycle = self->cycles_.load(std::memory_order_relaxed);
    if (cycle < self->cycleLog_.size()) self->cycleLog_[cycle] = {start, jack_get_time()};
    self->cycles_.store(cycle + 1, std::memory_order_release);
    return 0;
}

void JackClient::Send(const Bytes& event) {
    const auto len = static_cast<uint32_t>(event.size());
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(&len), sizeof len);
    jack_ringbuffer_write(toSend_, reinterpret_cast<const char*>(event.data()), len);
}

bool JackClient::SendInPieces(const Bytes& event, size_t piece) {
    if (piece == 0) return false;
    const size_t pieces = (event.size() + piece - 1) / piece;
    if (SendRoom() < event.size() + 4 * pieces) return false;
    for (size_t at = 0; at < event.size(); at += piece) {
        Send(Bytes(event.begin() + long(at), event.begin() + long(std::min(event.size(), at + piece))));
    }
    return true;
}

void JackClient::Drain() {
    std::lock_guard lk(mu_);
    uint32_t head[2] = {};
    // The process thread writes an event's head and its bytes one after the other: an event is
    // taken only once both are there.
    while (jack_ringbuffer_read_space(arrived_) >= sizeof head) {
        jack_ringbuffer_peek(arrived_, reinterpret_cast<char*>(head), sizeof head);
        if (jack_ringbuffer_read_space(arrived_) < sizeof head + head[0]) break;
        jack_ringbuffer_read_advance(arrived_, sizeof head);
        Timed t{head[1], Bytes(head[0])};
        jack_ringbuffer_read(arrived_, reinterpret_cast<char*>(t.bytes.data()), head[0]);
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

bool JackClient::KeptTime(uint32_t fromFrame, uint32_t toFrame) const {
    if (client_ == nullptr) return false;
    const jack_nframes_t period = jack_get_buffer_size(client_);
    const uint64_t periodUs = uint64_t(period) * 1000000u / jack_get_sample_rate(client_);
    const uint64_t n = std::min<uint64_t>(cycles_.load(std::memory_order_acquire), cycleLog_.size());
    const Cycle* last = nullptr;
    for (uint64_t i = 0; i < n; ++i) {
        const Cycle& c = cycleLog_[i];
        if (c.frame < fromFrame || c.frame > toFrame) continue;
        if (last != nullptr && c.frame != last->frame + period) return false;  // a period it missed
        if (last != nullptr && c.usecs - last->usecs > periodUs * 3 / 2) return false;
        last = &c;
    }
    return last != nullptr;
}

bool JackClient::WaitCycles(uint64_t count, std::chrono::milliseconds timeout) {
    const uint64_t target = Cycles() + count;
    return PollUntil([&] { return Cycles() >= target; }, timeout);
}

void JackClient::Clear() {
    Drain();
    std::lock_guard lk(mu_);
    received_.clear();
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
