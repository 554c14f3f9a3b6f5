// The last step of every adapter's MidiInGetDevName / MidiOutGetDevName: a device's product name
// copied into the caller's buffer the way WinMM does it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace plat {

// At most kMaxPnameLen - 1 bytes of `from`, and no more than `size` - 1, then a terminator.
// kMmInvalParam for a missing or empty buffer.
uint32_t CopyDeviceName(std::string_view from, char* name, size_t size);

}  // namespace plat
