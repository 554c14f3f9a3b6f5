// Which ports are this program's own (never in its catalogues).
#include <cctype>

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

}  // namespace sdlplat
