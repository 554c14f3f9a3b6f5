// A small JACK client for the adapter tests: it plays MIDI into the adapter's input through its
// output port and records everything that arrives at its input port.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kvntest {

using Bytes = std::vector<uint8_t>;

class JackClient {
public:
    // Registers "<name>:out" (plays) and "<name>:in" (records), plus an output port for each of
    // `extraOutputs` that only shows up in listings.
    explicit JackClient(const std::string& name = "kvntest", const std::vector<std::string>& extraOutputs = {});
    ~JackClient();
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    bool Ok() const { return client_ != nullptr && out_ != nullptr && in_ != nullptr; }
    std::string Name() const;
    std::string OutPort() const { return Name() + ":out"; }
    std::string InPort() const { return Name() + ":in"; }

    // Queued for the next period; every event leaves whole.
    void Send(const Bytes& event);
    // Waits (polling, up to `timeout`) until at least `count` events have arrived; returns all
    // that arrived so far.
    std::vector<Bytes> WaitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::vector<Bytes> Received();
    void Clear();

    bool Connect(const std::string& from, const std::string& to);
    bool PortExists(const std::string& name) const;
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
    std::vector<jack_port_t*> extra_;
    jack_ringbuffer_t* toSend_ = nullptr;
    jack_ringbuffer_t* arrived_ = nullptr;
    std::mutex mu_;
    std::vector<Bytes> received_;
};

// Polls `condition` until it holds or `timeout` passes; true when it held.
bool PollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace kvntest
