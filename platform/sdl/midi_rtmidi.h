// The part of a MIDI system's side that RtMidi makes the same for ALSA and JACK: one RtMidi client
// per port slot (each opens at most one port), errors through a callback instead of exceptions.
// RtMidi copies each incoming event into a std::vector before it calls us, so it may allocate on
// the MIDI system's thread.
#pragma once

#include <RtMidi.h>

#include <atomic>

#include "platform/sdl/midi_internal.h"

namespace sdlplat::midi {

// What RtMidi reports through its error callback, instead of throwing.
struct ErrorSink {
    std::atomic<int> warnings{0};
    std::atomic<int> errors{0};
    void Clear() {
        warnings = 0;
        errors = 0;
    }
};

class RtSystem : public MidiSystem {
public:
    explicit RtSystem(RtMidi::Api api) : api_(api) {}
    // Makes the clients of slot 0; false when the system does not answer.
    bool Start();

    bool Reachable(bool input) override;
    void List(bool input, std::vector<std::string>& rows) override;
    int FreeSlot(bool input) override;
    bool OpenIn(int slot, const std::string& device) override;
    bool OpenOut(int slot, const std::string& device) override;
    void CloseIn(int slot) override;
    void CloseOut(int slot) override;
    bool SendShort(int slot, const uint8_t* data, size_t n) override { return Write(slot, data, n); }
    void SendLong(int slot, const uint8_t* data, size_t n, uint32_t gen) override;
    void Drain() override { WaitPeriods(2); }
    void Watch() override {}
    void Close(bool dead) override;

protected:
    // RtMidi throws from its constructors only; every later error reaches the sink. Null when the
    // client cannot be made.
    RtMidiIn* NewIn(int slot);
    RtMidiOut* NewOut(int slot);
    // The client that lists the ports of one direction: the first of ours that lives (open or
    // not), else a new one in a free slot. Null while the server is gone.
    RtMidi* Lister(bool input, ErrorSink** sink);
    static int FindIndex(RtMidi* rt, const std::string& full);
    // Hands one event to RtMidi; under the port's sendMu.
    virtual bool Write(int slot, const uint8_t* data, size_t n);
    // Returns once `n` periods of the system have begun.
    virtual void WaitPeriods(int) {}

    const RtMidi::Api api_;
    RtMidiIn* in_[kSlots] = {};
    RtMidiOut* out_[kSlots] = {};  // swapped for a new one, under sendMu, when the server is back
    ErrorSink inSink_[kSlots], outSink_[kSlots];
};

}  // namespace sdlplat::midi
