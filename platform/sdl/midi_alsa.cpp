// The ALSA sequencer's side, through RtMidi. The sequencer is part of the kernel: it has no server
// that could go away, and RtMidi drains each message into it as it is sent.
#include <unistd.h>

#include "platform/sdl/midi_rtmidi.h"

namespace sdlplat::midi {

namespace {

class AlsaSystem : public RtSystem {
public:
    AlsaSystem() : RtSystem(RtMidi::LINUX_ALSA) {}
    const char* Name() const override { return "alsa"; }
    std::string CatalogName(const std::string& full) const override {
        return sdlplat::CatalogName(full, true);
    }
};

}  // namespace

MidiSystem* OpenAlsa() {
    // Without its device the sequencer cannot open, and trying only fills stderr.
    if (access("/dev/snd/seq", F_OK) != 0) return nullptr;
    auto* system = new AlsaSystem;
    if (system->Start()) return system;
    delete system;
    return nullptr;
}

}  // namespace sdlplat::midi
