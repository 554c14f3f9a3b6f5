// The names the MIDI catalogues show, made the same way for both MIDI systems (pure functions).
// A name fits the product-name field (31 bytes of whole UTF-8 characters), reads well, and depends
// on its own port alone, so that a stored name opens the same device on every start.
#pragma once

#include <string>
#include <vector>

namespace sdlplat {

// What a MIDI system tells about one port. The position in the list is its order of appearance.
struct PortFacts {
    std::string client{};                // "Studio USB 4x4 Anniversary", "a2j", "system"
    std::string port{};                  // the port's own name, without the client
    std::vector<std::string> aliases{};  // JACK's aliases ("alsa_pcm:…/midi_capture_1")
    std::string pretty{};                // JACK's pretty name, where set
    std::string busPath{};               // the device's bus path (an ALSA card's sysfs device), where known
};

// The catalogue names of one direction's ports, in the same order.
std::vector<std::string> PortCatalogNames(const std::vector<PortFacts>& ports);

// A device name stored by an earlier version (the full "client:port" name cut at 31 bytes), as
// the catalogue now names that port, when it names exactly one of `ports`; else `stored` itself.
std::string TranslateStoredName(const std::string& stored, const std::vector<PortFacts>& ports);

}  // namespace sdlplat
