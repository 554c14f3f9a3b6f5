// The MIDI system's side through RtMidi, as far as ALSA and JACK share it.
#include "platform/sdl/midi_rtmidi.h"

#include <algorithm>

#include "platform/sdl/sdl_platform.h"

namespace sdlplat::midi {

namespace {

void OnRtError(RtMidiError::Type type, const std::string&, void* user) {
    auto* sink = static_cast<ErrorSink*>(user);
    if (type == RtMidiError::WARNING || type == RtMidiError::DEBUG_WARNING) {
        ++sink->warnings;
    } else {
        ++sink->errors;
    }
}

// The MIDI system's thread.
void OnInput(double, std::vector<unsigned char>* message, void* user) {
    if (message != nullptr) Receive(*static_cast<plat::MidiInPort*>(user), message->data(), message->size());
}

}  // namespace

RtMidiOut* RtSystem::NewOut(int slot) {
    try {
        auto* rt = new RtMidiOut(api_, sdlplat::kOutClient);
        // Asked for an API that is not compiled in, RtMidi quietly takes another one.
        if (rt->getCurrentApi() != api_) {
            delete rt;
            return nullptr;
        }
        rt->setErrorCallback(OnRtError, &outSink_[slot]);
        return rt;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

RtMidiIn* RtSystem::NewIn(int slot) {
    try {
        auto* rt = new RtMidiIn(api_, sdlplat::kInClient);
        if (rt->getCurrentApi() != api_) {
            delete rt;
            return nullptr;
        }
        rt->setErrorCallback(OnRtError, &inSink_[slot]);
        rt->setCallback(OnInput, &S().ins[slot]);
        rt->ignoreTypes(false, false, false);  // SysEx, timing clock and active sensing too
        return rt;
    } catch (const RtMidiError&) {
        return nullptr;
    }
}

bool RtSystem::Start() {
    RtMidiOut* out = NewOut(0);
    if (out == nullptr) return false;
    RtMidiIn* in = NewIn(0);
    if (in == nullptr) {
        delete out;
        return false;
    }
    out_[0] = out;
    in_[0] = in;
    return true;
}

// A JACK client reconnects on every listing.
bool RtSystem::Reachable(bool input) {
    ErrorSink* sink = nullptr;
    RtMidi* rt = Lister(input, &sink);
    if (rt == nullptr) return false;
    sink->Clear();
    rt->getPortCount();
    return sink->warnings == 0 && sink->errors == 0;
}

RtMidi* RtSystem::Lister(bool input, ErrorSink** sink) {
    System& s = S();
    if (s.serverGone.load()) return nullptr;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < kSlots; ++i) {
            RtMidi* rt = input ? static_cast<RtMidi*>(in_[i]) : static_cast<RtMidi*>(out_[i]);
            const bool open = input ? s.ins[i].open.load() : s.outs[i].open.load();
            if (pass == 1 && rt == nullptr && !open) {
                rt = input ? static_cast<RtMidi*>(in_[i] = NewIn(i))
                           : static_cast<RtMidi*>(out_[i] = NewOut(i));
            }
            if (rt == nullptr) continue;
            if (sink != nullptr) *sink = input ? &inSink_[i] : &outSink_[i];
            return rt;
        }
    }
    return nullptr;
}

void RtSystem::List(bool input, std::vector<std::string>& rows) {
    RtMidi* rt = Lister(input, nullptr);
    if (rt == nullptr) return;
    const unsigned n = rt->getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        std::string full = rt->getPortName(i);
        if (full.empty() || sdlplat::IsOwnPort(full)) continue;
        rows.push_back(std::move(full));
    }
}

int RtSystem::FindIndex(RtMidi* rt, const std::string& full) {
    const unsigned n = rt->getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        if (rt->getPortName(i) == full) return static_cast<int>(i);
    }
    return -1;
}

// A slot with a client first (the client that has the plain name "KVN-in" or "KVN" when there is
// one); a second port at once gets a client of its own, "KVN-in-01".
int RtSystem::FreeSlot(bool input) {
    System& s = S();
    const auto open = [&](int i) { return input ? s.ins[i].open.load() : s.outs[i].open.load(); };
    const auto client = [&](int i) { return input ? static_cast<RtMidi*>(in_[i]) : out_[i]; };
    for (int i = 0; i < kSlots; ++i) {
        if (!open(i) && client(i) != nullptr) return i;
    }
    for (int i = 0; i < kSlots; ++i) {
        if (open(i)) continue;
        if (input) {
            in_[i] = NewIn(i);
        } else {
            out_[i] = NewOut(i);
        }
        return client(i) != nullptr ? i : -1;
    }
    return -1;
}

bool RtSystem::OpenIn(int slot, const std::string& device) {
    RtMidiIn* rt = in_[slot];
    const int index = FindIndex(rt, device);
    if (index < 0) return false;  // gone since the catalogue was made
    inSink_[slot].Clear();
    rt->openPort(static_cast<unsigned>(index), sdlplat::kInPortName);
    if (inSink_[slot].errors.load() == 0) return true;
    rt->closePort();
    return false;
}

bool RtSystem::OpenOut(int slot, const std::string& device) {
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
void RtSystem::CloseIn(int slot) {
    if (in_[slot] != nullptr && !S().serverGone.load()) in_[slot]->closePort();
}

void RtSystem::CloseOut(int slot) {
    if (out_[slot] != nullptr && !S().serverGone.load()) out_[slot]->closePort();
}

bool RtSystem::Write(int slot, const uint8_t* data, size_t n) {
    if (out_[slot] == nullptr) return false;
    out_[slot]->sendMessage(data, n);
    return true;
}

// In pieces when RtMidi cannot take the bytes whole (the receiving side, RtMidi included, joins
// the pieces of a SysEx), with short messages held back meanwhile by sendMu, as a real port makes
// them wait, instead of landing inside the SysEx. A reset of the port stops the pieces and closes
// the open SysEx; so does the end of bytes that open a SysEx without closing it (an input buffer
// filled to the brim by a longer one), so that the receiver does not take what follows for more
// of it.
void RtSystem::SendLong(int slot, const uint8_t* data, size_t n, uint32_t gen) {
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

void RtSystem::Close(bool dead) {
    for (int i = 0; i < kSlots; ++i) {
        if (!dead) {
            delete in_[i];  // closes its port and its client
            delete out_[i];
        }
        in_[i] = nullptr;
        out_[i] = nullptr;
    }
}

}  // namespace sdlplat::midi
