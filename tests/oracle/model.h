// What kvn promises to make of each message played into it, written down from its rules as a
// user would read them (not from the engine's code):
// - Note On and Note Off are transposed by the key shift, folded back an octave past either end,
//   except on channel 10; a Note Off always leaves with release velocity 127;
// - timing clock is dropped while the clock filter is on;
// - on every channel but 10, RPN 101/100 selections are remembered (from the input only), and Data
//   Entry (6, 38) is dropped while RPN 0/1, Channel Fine Tuning, is selected;
// - Reset All Controllers (121) on a channel but 10 is passed on and followed by that channel's tuning;
// - a SysEx of up to 30 bytes is written as hex text and matched against the master-tune patterns
//   (dropped) and the reset patterns (followed by the tuning of every channel but 10); longer ones
//   pass untouched;
// - everything else passes unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace oracle {

using Bytes = std::vector<uint8_t>;

constexpr int kNoTuning = -2;
constexpr int kAllChannels = -1;

struct Settings {
    int keyShift = 0;       // -7..7
    bool skipClock = true;  // g_SkipF8
    int frequency = 4400;   // tenths of a hertz, on the 0.5 Hz grid
};

struct Outcome {
    bool passed = false;  // the message (as `out`) leaves kvn
    Bytes out;
    int tuning = kNoTuning;  // a channel 0..15, kAllChannels, or kNoTuning
};

class Model {
public:
    explicit Model(const Settings& settings);
    Outcome Apply(const Bytes& in);
    // The run of control changes that tunes `channel` (0..15 but 9), or all of them (kAllChannels).
    const std::vector<Bytes>& Run(int channel) const;
    const Settings& Config() const { return settings_; }

    // The SysEx rules on their own: whether a message matches the drop or the reset patterns.
    static bool MatchesIgnore(const Bytes& sysex);
    static bool MatchesTrigger(const Bytes& sysex);

private:
    Settings settings_;
    uint8_t rpnMsb_[16], rpnLsb_[16];
    std::vector<Bytes> runs_[16];
    std::vector<Bytes> all_;
};

// The Channel Fine Tuning sent for `hz` on `channel` (0..15): six control changes; and the run for
// every channel but 10.
std::vector<Bytes> Tuning(int channel, double hz);
std::vector<Bytes> TuningAll(double hz);

// The bytes of a short message packed in a driver's word (status in the low byte), as long as its
// status says.
Bytes Unpack(uint32_t word);

// "F0 41 10 ..." as kvn writes a message for matching.
std::string HexText(const Bytes& message);
// A readable form of one message, shortened in the middle when long.
std::string Show(const Bytes& message);

}  // namespace oracle
