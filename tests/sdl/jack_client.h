// A small JACK client for the adapter tests: it plays MIDI into the adapter's input through its
// output port and records everything that arrives at its input port.
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

// One event as it arrived, with the server's frame time of its place in the period.
struct Timed {
    uint32_t frame;
    Bytes bytes;
};

class JackClient {
public:
    // Registers "<name>:out" (plays) and "<name>:in" (records).
    explicit JackClient(const std::string& name = "kvntest");
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    bool Ok() const { return client_ != nullptr && out_ != nullptr && in_ != nullptr; }
    std::string Name() const { return client_ ? jack_get_client_name(client_) : ""; }
    std::string OutPort() const { return Name() + ":out"; }
    std::string InPort() const { return Name() + ":in"; }

    // Queued for the next period; every event leaves whole.
    void Send(const Bytes& event);
    // Queued as consecutive events of at most `piece` bytes each, as a SysEx too long for one
    // event leaves (the receiver joins the pieces); as many go in one period as fit in it. False,
    // with nothing queued, when the queue has no room for it now.
    bool SendInPieces(const Bytes& event, size_t piece);
    // Bytes the send queue can take now (each event also takes 4 bytes of length).
    size_t SendRoom() const { return jack_ringbuffer_write_space(toSend_); }
    // Waits (polling, up to `timeout`) until at least `count` events have arrived; returns all
    // that arrived so far.
    std::vector<Bytes> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<Bytes> Received();
    std::vector<Timed> ReceivedTimed();
    void Clear();

    // Periods this client has taken part in. With the server in synchronous mode (-S) every
    // client finishes a period before the next begins, so once this count has moved on by two
    // after something was seen, every other client is done with the period that carried it.
    uint64_t Cycles() const { return cycles_.load(); }
    bool WaitCycles(uint64_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Leaves the server now (the ports go with it), as a device that is unplugged.
    void Close() {
        if (client_ != nullptr) jack_client_close(client_);
        client_ = nullptr;
    }
    // Forgets a client whose server has gone, without closing it: once this process has reached a
    // new server, the JACK library has cleaned it up itself, and closing it again would crash.
    void Abandon() { client_ = nullptr; }

    // Whether the server kept time from the period of `fromFrame` to that of `toFrame`: every one
    // began at most one and a half periods after the one before (of the first 65536 periods).
    bool KeptTime(uint32_t fromFrame, uint32_t toFrame) const;

    bool Connect(const std::string& from, const std::string& to);
    bool PortExists(const std::string& name) const {
        return client_ && jack_port_by_name(client_, name.c_str());
    }
    // Whether `from` is connected to `to`.
    bool Connected(const std::string& from, const std::string& to) const;
    // The names of all MIDI ports of the server with the given direction flag.
    std::vector<std::string> MidiPorts(unsigned long flags) const;

private:
    static int Process(jack_nframes_t frames, void* self);
    void Drain();

    jack_client_t* client_ = nullptr;
    jack_port_t* out_ = nullptr;
    jack_port_t* in_ = nullptr;
    jack_ringbuffer_t* toSend_ = nullptr;
    jack_ringbuffer_t* arrived_ = nullptr;
    std::atomic<uint64_t> cycles_{0};
    // When each period began: the server's frame time and jack_get_time's microseconds.
    struct Cycle {
        uint32_t frame;
        uint64_t usecs;
    };
    std::vector<Cycle> cycleLog_ = std::vector<Cycle>(65536);  // written by the process thread only
    std::mutex mu_;
    std::vector<Timed> received_;
};

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace kvntest
