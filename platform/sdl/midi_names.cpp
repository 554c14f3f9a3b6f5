// Port names as the catalogues show them.
#include <cctype>

#include "platform/platform.h"
#include "platform/sdl/sdl_platform.h"

namespace sdlplat {

namespace {

bool AllDigits(const std::string& s, size_t from) {
    if (from >= s.size()) return false;
    for (size_t i = from; i < s.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// "name", or "name-NN" as JACK renames a second client of the same name.
bool IsClientOf(const std::string& client, const std::string& name) {
    if (client == name) return true;
    return client.size() > name.size() + 1 && client.compare(0, name.size(), name) == 0 &&
           client[name.size()] == '-' && AllDigits(client, name.size() + 1);
}

}  // namespace

bool IsOwnPort(const std::string& fullName) {
    const size_t colon = fullName.find(':');
    if (colon == std::string::npos) return false;
    const std::string client = fullName.substr(0, colon);
    return IsClientOf(client, kOutClient) || IsClientOf(client, kInClient);
}

std::string CatalogName(const std::string& fullName) {
    std::string name = fullName;
    const size_t limit = plat::kMaxPnameLen - 1;
    if (name.size() > limit) {
        size_t cut = limit;
        // Back up over continuation bytes so that no character is cut in half.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.erase(cut);
    }
    return name;
}

}  // namespace sdlplat
