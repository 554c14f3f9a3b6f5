// JACK clients for the latency and throughput benchmarks: a player that sends a numbered stream
// on a frame schedule from inside its process callback (so the frame each message leaves at is
// known exactly), and a sink that stamps every event it receives with its frame. Both record into
// arrays sized before a stream starts; the process callbacks never allocate or lock.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kvnbench {

// A stream message carries its number in all 18 data bits of a note-on: the channel (4 bits), the
// key and the velocity (7 bits each). Notes pass through Korvane unchanged on every channel with a
// key shift of 0, and nothing else in its output is a note-on.
constexpr uint32_t kSeqBits = 18;
constexpr uint32_t kSeqMask = (1u << kSeqBits) - 1;
inline void EncodeSeq(uint32_t seq, uint8_t out[3]) {
    out[0] = uint8_t(0x90 | ((seq >> 14) & 0x0F));
    out[1] = uint8_t((seq >> 7) & 0x7F);
    out[2] = uint8_t(seq & 0x7F);
}
inline uint32_t DecodeSeq(const uint8_t b[3]) {
    return (uint32_t(b[0] & 0x0F) << 14) | (uint32_t(b[1]) << 7) | b[2];
}

// Base of both clients: one JACK client with one MIDI port, and a count of its periods.
class Client {
public:
    Client(const std::string& name, bool output);
    virtual ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Ok() const { return client_ != nullptr && port_ != nullptr; }
    std::string PortName() const;
    jack_client_t* Handle() const { return client_; }
    uint32_t Period() const;
    uint32_t Rate() const;
    uint64_t Cycles() const { return cycles_.load(std::memory_order_acquire); }
    // Overruns the server reported to this client (a period some client did not finish in time).
    uint32_t Xruns() const { return xruns_.load(std::memory_order_acquire); }
    // Periods this client began more than one and a half periods of wall time after the one
    // before (the machine or a client fell behind; a synchronous server then stretches periods).
    uint32_t LatePeriods() const { return late_.load(std::memory_order_acquire); }
    // Until this client has run `n` more periods (then a process callback that was running when
    // this was called has finished).
    bool WaitCycles(uint64_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    bool Activate();

protected:
    // Leaves the server; derived clients call it first in their destructors, so that no process
    // callback runs on a half-destroyed object.
    void Close();
    virtual void Process(jack_nframes_t frames) = 0;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;

private:
    static int OnProcess(jack_nframes_t frames, void* self);
    static int OnXrun(void* self);
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint32_t> xruns_{0}, late_{0};
    jack_time_t lastStart_ = 0;  // process thread only
};

// Plays: single control messages queued by the caller (at offset 0 of the next period), and a
// numbered stream of `count` note-ons, message k due at frame start + k * sampleRate / rate.
class Player final : public Client {
public:
    explicit Player(const std::string& name);
    ~Player() override;

    void SendControl(const std::vector<uint8_t>& bytes);

    // Arms a stream; not while one is running. `start` should be a few periods ahead.
    void StartStream(uint32_t count, uint32_t rate, uint32_t start);
    bool StreamDone() const { return sent_.load(std::memory_order_acquire) >= count_; }
    // Stops a stream (what is not sent yet never leaves) and waits until the callback is out.
    void StopStream();
    uint32_t Sent() const { return sent_.load(std::memory_order_acquire); }
    // Messages that found the period's port buffer full and left in a later period.
    uint32_t Deferred() const { return deferred_.load(std::memory_order_acquire); }
    // Frame each stream message left at and the start of its period (valid below Sent()).
    const std::vector<uint32_t>& SendFrames() const { return sendFrame_; }
    const std::vector<uint32_t>& SendCycles() const { return sendCycle_; }
    // Wall clock (jack_get_time, microseconds) of the periods the first and the last message left
    // in: with a synchronous server a late client stretches periods, and the stream runs slower
    // than its frame schedule says.
    uint64_t FirstUsecs() const { return firstUs_.load(std::memory_order_acquire); }
    uint64_t LastUsecs() const { return lastUs_.load(std::memory_order_acquire); }

private:
    void Process(jack_nframes_t frames) override;
    jack_ringbuffer_t* control_ = nullptr;
    std::atomic<bool> armed_{false};
    uint32_t count_ = 0, rate_ = 1, start_ = 0;
    std::atomic<uint32_t> sent_{0}, deferred_{0};
    std::atomic<uint64_t> firstUs_{0}, lastUs_{0};
    std::vector<uint32_t> sendFrame_, sendCycle_;
};

// One event as the sink received it.
struct Arrival {
    uint32_t frame;  // the event's own frame
    uint32_t cycle;  // the first frame of its period
    uint8_t size;
    uint8_t bytes[3];  // the first three bytes
};

// Records everything that arrives, up to a capacity set while it is not recording.
class Sink final : public Client {
public:
    explicit Sink(const std::string& name);
    ~Sink() override { Close(); }

    // Forgets what was recorded and records up to `capacity` events from now on.
    void Restart(size_t capacity);
    // Events recorded so far (the first Count() of Arrivals()).
    size_t Count() const { return count_.load(std::memory_order_acquire); }
    const std::vector<Arrival>& Arrivals() const { return log_; }
    uint32_t Overflow() const { return overflow_.load(std::memory_order_acquire); }
    // Whether an event with exactly these bytes arrived at or after `from`.
    bool Seen(const std::vector<uint8_t>& bytes, size_t from = 0) const;
    // Note-ons recorded so far.
    size_t Notes() const { return notes_.load(std::memory_order_acquire); }

private:
    void Process(jack_nframes_t frames) override;
    std::atomic<bool> armed_{false};
    std::vector<Arrival> log_;
    std::atomic<size_t> count_{0}, notes_{0};
    std::atomic<uint32_t> overflow_{0};
};

bool Connect(jack_client_t* client, const std::string& from, const std::string& to);
bool PortExists(jack_client_t* client, const std::string& name);

}  // namespace kvnbench
