// The part of a MIDI system's side that RtMidi makes the same for ALSA and JACK: one RtMidi client
// per port slot (each opens at most one port), errors through a callback instead of exceptions.
// RtMidi copies each incoming event into a std::vector before it calls us, so it may allocate on
// the MIDI system's thread.
#pragma once

#include <RtMidi.h>

#include <algorithm>
#include <atomic>
#include <type_traits>

#include "platform/sdl/midi_internal.h"
#include "platform/sdl/sdl_platform.h"

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

    // Makes the clients of slot 0; false when the system cannot be used.
    bool Start() {
        out_[0] = New<RtMidiOut>(0);
        in_[0] = out_[0] != nullptr ? New<RtMidiIn>(0) : nullptr;
        if (in_[0] != nullptr) return true;
        Close(false);
        return false;
    }

    // A JACK client reconnects on every listing.
    bool Reachable(bool input) override {
        ErrorSink* sink = nullptr;
        RtMidi* rt = Lister(input, &sink);
        if (rt == nullptr) return false;
        sink->Clear();
        rt->getPortCount();
        return sink->warnings == 0 && sink->errors == 0;
    }

    void List(bool input, std::vector<std::string>& rows) override {
        ErrorSink* sink = nullptr;
        RtMidi* rt = Lister(input, &sink);
        if (rt == nullptr) return;
        const unsigned n = rt->getPortCount();
        for (unsigned i = 0; i < n; ++i) {
            std::string full = rt->getPortName(i);
            if (full.empty() || sdlplat::IsOwnPort(full)) continue;
            rows.push_back(std::move(full));
        }
    }

    // A slot with a client first (the client that has the plain name "KVN-in" or "KVN" when there
    // is one); a second port at once gets a client of its own, "KVN-in-01".
    int FreeSlot(bool input) override {
        System& s = S();
        const auto open = [&](int i) { return input ? s.ins[i].open.load() : s.outs[i].open.load(); };
        for (int i = 0; i < kSlots; ++i) {
            if (!open(i) && Client(input, i) != nullptr) return i;
        }
        for (int i = 0; i < kSlots; ++i) {
            if (open(i)) continue;
            if (input) {
                in_[i] = New<RtMidiIn>(i);
            } else {
                out_[i] = New<RtMidiOut>(i);
            }
            return Client(input, i) != nullptr ? i : -1;
        }
        return -1;
    }

    bool OpenIn(int slot, const std::string& device) override {
        RtMidiIn* rt = in_[slot];
        const int index = FindIndex(rt, device);
        if (index < 0) return false;  // gone since the catalogue was made
        inSink_[slot].Clear();
        rt->openPort(static_cast<unsigned>(index), sdlplat::kInPortName);
        if (inSink_[slot].errors.load() == 0) return true;
        rt->closePort();
        return false;
    }

    bool OpenOut(int slot, const std::string& device) override {
        RtMidiOut* rt = out_[slot];
        outSink_[slot].Clear();
        if (device.empty()) {
            rt->openVirtualPort(sdlplat::kOutPortName);
        } else {
            const int index = FindIndex(rt, device);
            if (index < 0) return false;
            rt->openPort(static_cast<unsigned>(index), sdlplat::kOutPortName);
        }
        if (outSink_[slot].errors.load() == 0) return true;
        rt->closePort();
        return false;
    }

    // A client that went with its server is left as it is (see midi_jack.cpp).
    void CloseIn(int slot) override {
        if (in_[slot] != nullptr && !S().serverGone.load()) in_[slot]->closePort();
    }
    void CloseOut(int slot) override {
        if (out_[slot] != nullptr && !S().serverGone.load()) out_[slot]->closePort();
    }

    bool SendShort(int slot, const uint8_t* data, size_t n) override { return Write(slot, data, n); }

    // In pieces when RtMidi cannot take the bytes whole (the receiving side, RtMidi included, joins
    // the pieces of a SysEx), with short messages held back meanwhile by sendMu, as a real port
    // makes them wait, instead of landing inside the SysEx. A reset of the port stops the pieces
    // and closes the open SysEx; so does the end of bytes that open a SysEx without closing it (an
    // input buffer filled to the brim by a longer one), so that the receiver does not take what
    // follows for more of it.
    void SendLong(int slot, const uint8_t* data, size_t n, uint32_t gen) override {
        constexpr size_t kPiece = 4096;
        if (n == 0) return;
        const uint8_t eox = 0xF7;
        if (n <= kWholeLimit) {
            Write(slot, data, n);
        } else {
            for (size_t at = 0; at < n; at += kPiece) {
                if (at > 0) {
                    WaitPeriods(2);  // one period begins the emptying, the next one has finished it
                    if (S().outs[slot].resetGen.load() != gen) {
                        Write(slot, &eox, 1);
                        return;
                    }
                }
                Write(slot, data + at, std::min(kPiece, n - at));
            }
        }
        if (data[0] == 0xF0 && data[n - 1] != 0xF7) Write(slot, &eox, 1);
    }

    void Drain() override { WaitPeriods(2); }
    void Watch() override {}

    void Close(bool dead) override {
        for (int i = 0; i < kSlots; ++i) {
            if (!dead) {
                delete in_[i];  // closes its port and its client
                delete out_[i];
            }
            in_[i] = nullptr;
            out_[i] = nullptr;
        }
    }

protected:
    // RtMidi throws from its constructors only; every later error reaches the sink. Null when the
    // client cannot be made.
    template <class Rt>
    Rt* New(int slot) {
        constexpr bool input = std::is_same_v<Rt, RtMidiIn>;
        try {
            auto* rt = new Rt(api_, input ? sdlplat::kInClient : sdlplat::kOutClient);
            // Asked for an API that is not compiled in, RtMidi quietly takes another one.
            if (rt->getCurrentApi() != api_) {
                delete rt;
                return nullptr;
            }
            rt->setErrorCallback(OnError, input ? &inSink_[slot] : &outSink_[slot]);
            if constexpr (input) {
                rt->setCallback(OnInput, &S().ins[slot]);
                rt->ignoreTypes(false, false, false);  // SysEx, timing clock and active sensing too
            }
            return rt;
        } catch (const RtMidiError&) {
            return nullptr;
        }
    }

    // The client that lists the ports of one direction: the first of ours that lives (open or
    // not), else a new one in a free slot. Null while the server is gone.
    RtMidi* Lister(bool input, ErrorSink** sink) {
        if (S().serverGone.load()) return nullptr;
        int slot = 0;
        while (slot < kSlots && Client(input, slot) == nullptr) ++slot;
        if (slot == kSlots) slot = FreeSlot(input);
        if (slot < 0) return nullptr;
        *sink = input ? &inSink_[slot] : &outSink_[slot];
        return Client(input, slot);
    }
    RtMidi* Client(bool input, int slot) const {
        return input ? static_cast<RtMidi*>(in_[slot]) : out_[slot];
    }

    static int FindIndex(RtMidi* rt, const std::string& full) {
        const unsigned n = rt->getPortCount();
        for (unsigned i = 0; i < n; ++i) {
            if (rt->getPortName(i) == full) return static_cast<int>(i);
        }
        return -1;
    }

    // Hands one event to RtMidi; under the port's sendMu.
    virtual bool Write(int slot, const uint8_t* data, size_t n) {
        if (out_[slot] == nullptr) return false;
        out_[slot]->sendMessage(data, n);
        return true;
    }
    // Returns once `n` periods of the system have begun.
    virtual void WaitPeriods(int) {}

    const RtMidi::Api api_;
    RtMidiIn* in_[kSlots] = {};
    RtMidiOut* out_[kSlots] = {};  // swapped for a new one, under sendMu, when the server is back
    ErrorSink inSink_[kSlots], outSink_[kSlots];

private:
    static void OnError(RtMidiError::Type type, const std::string&, void* user) {
        auto* sink = static_cast<ErrorSink*>(user);
        if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
            ++sink->warnings;
        } else {
            ++sink->errors;
        }
    }
    // The MIDI system's thread.
    static void OnInput(double, std::vector<unsigned char>* message, void* user) {
        if (message != nullptr)
            Receive(*static_cast<plat::MidiInPort*>(user), message->data(), message->size());
    }
};

}  // namespace sdlplat::midi
