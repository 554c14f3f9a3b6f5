// The one JACK client of the tests, the soak and the JACK benchmark: it plays through "<name>:out"
// and records everything that reaches "<name>:in", stamped with the server's frames. Its process
// thread never waits or allocates: what it plays and what it heard cross in lock-free rings.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kvntest {

using Bytes = std::vector<uint8_t>;

// One event as it arrived: its frame, and the first frame of the period it came in.
struct Timed {
    uint32_t frame;
    uint32_t period;
    Bytes bytes;
};

// A stream message carries its number in the 18 data bits of a note-on (channel, key, velocity).
Bytes Numbered(uint32_t number);
uint32_t NumberOf(const Bytes& note);

class JackClient {
public:
    // `perPeriod`: at most this many queued events leave in one period (0: as many as fit).
    explicit JackClient(const std::string& name = "kvntest", unsigned perPeriod = 0);
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    bool Ok() const { return client_ != nullptr && out_ != nullptr && in_ != nullptr; }
    std::string Name() const { return client_ ? jack_get_client_name(client_) : ""; }
    std::string OutPort() const { return Name() + ":out"; }
    std::string InPort() const { return Name() + ":in"; }

    // Queued for the next period; every event leaves whole.
    void Send(const Bytes& event);
    // Queued as consecutive events of at most `piece` bytes, as a SysEx too long for one event
    // leaves; false, with nothing queued, when the queue lacks room for it now.
    bool SendInPieces(const Bytes& event, size_t piece);
    // Bytes the send queue can take now (each event also takes 4 bytes of length).
    size_t SendRoom() const { return jack_ringbuffer_write_space(toSend_); }
    // Plays `count` numbered note-ons from inside the process thread, number k at frame
    // start + k * sampleRate / rate; StreamFrames()[k] is the frame it left at (below Streamed()).
    void Stream(uint32_t count, uint32_t rate, uint32_t start);
    uint32_t Streamed() const { return streamed_.load(std::memory_order_acquire); }
    const std::vector<uint32_t>& StreamFrames() const { return streamFrames_; }

    // Waits (up to `timeout`) until at least `count` events have arrived; returns all so far.
    std::vector<Bytes> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<Bytes> Received();
    std::vector<Timed> ReceivedTimed();
    // Everything held so far, forgotten here: for streams too long to keep.
    std::vector<Timed> Take();
    void Clear();
    // Events lost because the ring from the process thread was full.
    uint64_t Overflows() const { return overflows_.load(); }

    // Periods this client has taken part in. With a synchronous server (-S) every client finishes
    // a period before the next begins: two periods after something was seen, every other client
    // is done with the period that carried it.
    uint64_t Cycles() const { return cycles_.load(); }
    bool WaitCycles(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    uint64_t Xruns() const { return xruns_.load(); }
    size_t MaxEvent() const { return maxEvent_.load(); }  // known after the first period
    uint32_t Period() const { return client_ ? jack_get_buffer_size(client_) : 0; }
    uint32_t Now() const { return client_ ? jack_frame_time(client_) : 0; }

    // Leaves the server now (the ports go with it), as a device that is unplugged.
    void Close() {
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
    }
    // Forgets a client whose server has gone, without closing it: once this process has reached a
    // new server, the JACK library has cleaned it up itself, and closing it again would crash.
    void Abandon() { client_ = nullptr; }

    bool Connect(const std::string& from, const std::string& to);
    bool PortExists(const std::string& name) const {
        return client_ && jack_port_by_name(client_, name.c_str());
    }
    bool Connected(const std::string& from, const std::string& to) const;
    // The names of all MIDI ports of the server with the given direction flag.
    std::vector<std::string> MidiPorts(unsigned long flags) const;

private:
    static int Process(jack_nframes_t frames, void* self);
    void Play(void* buf, jack_nframes_t frames);
    void Drain();

    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    unsigned perPeriod_;
    jack_ringbuffer_t* toSend_ = nullptr;
    jack_ringbuffer_t* arrived_ = nullptr;
    std::atomic<uint64_t> cycles_{0}, xruns_{0}, overflows_{0};
    std::atomic<size_t> maxEvent_{0};
    std::atomic<bool> streaming_{false};
    uint32_t streamCount_ = 0, streamRate_ = 1, streamStart_ = 0;
    std::atomic<uint32_t> streamed_{0};
    std::vector<uint32_t> streamFrames_;
    std::mutex mu_;
    std::vector<Timed> received_;
};

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace kvntest
