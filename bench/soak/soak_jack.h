// The soak's two JACK clients: a player that hands kvn a bounded number of events per period, and
// a recorder that streams what kvn sends out (the test clients of tests/sdl keep everything they
// heard and copy it on every look, which a million messages cannot afford).
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace oracle {

using Bytes = std::vector<uint8_t>;

// Counts of what the server did to this client that could lose MIDI on the way.
struct ServerTrouble {
    uint64_t xruns = 0;       // reported by the server
    uint64_t lostCycles = 0;  // periods this client was not run for (frame time jumped)
};

class JackPort {
public:
    enum class Direction { Play, Record };
    // `perPeriod`: at most this many events leave a player in one period.
    JackPort(const std::string& name, Direction direction, unsigned perPeriod = 0);
    ~JackPort();
    JackPort(const JackPort&) = delete;
    JackPort& operator=(const JackPort&) = delete;

    bool Ok() const { return port_ != nullptr; }
    std::string PortName() const;
    // Connects this player's port to another client's input port.
    bool Connect(const std::string& input);

    // Player: queues one event; waits while the queue lacks room. False when it never had room.
    bool Send(const Bytes& event);
    // Player: events queued but not yet handed to the server.
    bool Idle() const;

    // Recorder: the next event that arrived (a SysEx that came in pieces joined into one); false
    // when none is waiting.
    bool Next(Bytes& event);
    // Recorder: events lost because the queue to this thread was full.
    uint64_t Overflows() const { return overflows_.load(); }

    ServerTrouble Trouble() const { return {xruns_.load(), lostCycles_.load()}; }
    uint64_t Periods() const { return periods_.load(); }
    // Microseconds since the server last reported an xrun; -1 when it never did.
    int64_t SinceXrun() const;
    // Largest event the server's MIDI buffers take (known after the first period).
    size_t MaxEvent() const { return maxEvent_.load(); }

private:
    static int Process(jack_nframes_t frames, void* self);
    static int OnXrun(void* self);
    bool Pop(Bytes& piece);

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    Direction direction_;
    unsigned perPeriod_;
    jack_ringbuffer_t* ring_ = nullptr;
    std::atomic<uint64_t> overflows_{0}, xruns_{0}, lostCycles_{0}, periods_{0};
    std::atomic<size_t> maxEvent_{0};
    std::atomic<uint64_t> lastXrun_{0};
    uint32_t lastFrame_ = 0;   // process thread only
    Bytes partial_;            // a SysEx still coming in pieces (reader side)
    std::vector<Bytes> held_;  // an event that came after an unfinished SysEx
};

}  // namespace oracle
