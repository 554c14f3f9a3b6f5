#include "platform/device_name.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace plat {

uint32_t CopyDeviceName(std::string_view from, char* name, size_t size) {
    if (name == nullptr || size == 0) return kMmInvalParam;
    const size_t n = std::min({from.size(), size - 1, kMaxPnameLen - 1});
    std::memcpy(name, from.data(), n);
    name[n] = '\0';
    return kMmNoError;
}

}  // namespace plat
