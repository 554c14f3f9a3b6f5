// Random MIDI for the soak: every kind of message a controller, sequencer or editor sends, with
// the ones kvn acts on (notes at the ends of the range, RPN selections, data entry, Reset All
// Controllers, resets and master tunes of each SysEx family, near misses of those) made common
// enough to meet each other often.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace oracle {

using Bytes = std::vector<uint8_t>;

struct Generated {
    Bytes bytes;
    const char* kind;  // a static label, for the counts
};

class Generator {
public:
    // `maxSysEx`: the longest SysEx to make (kvn's input buffer and the server's events bound it).
    Generator(uint64_t seed, size_t maxSysEx);
    Generated Next();

private:
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
    uint8_t Data() { return static_cast<uint8_t>(Below(128)); }
    uint8_t Note();
    Generated Control(uint8_t channel);
    Generated SysEx();
    Bytes Template(uint32_t which, const char** kind);

    std::mt19937_64 rng_;
    size_t maxSysEx_;
};

}  // namespace oracle
