#include "tests/sdl/midi_client.h"

#include <cstdlib>
#include <cstring>

namespace kvntest {

bool MidiClient::Alsa() {
    const char* system = std::getenv("KVN_TEST_MIDI");
    return system != nullptr && std::strcmp(system, "alsa") == 0;
}

MidiClient::MidiClient(const std::string& name) {
    if (Alsa()) {
        alsa_ = std::make_unique<AlsaClient>(name);
    } else {
        jack_ = std::make_unique<JackClient>(name);
    }
}

}  // namespace kvntest
