#include "tests/oracle/model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace oracle {

namespace {

// Master-tune messages of the XG, GS, GM1 and GM2 formats: dropped.
const char* const kIgnore[] = {
    "F0 43 ** ** 30 00 00 ** ** ** F7",
    "F0 43 ** ** 00 00 00 ** ** ** ** F7",
    "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7",
    "F0 7F ** ** 01 ** ** F7",
    "F0 7F ** ** 03 ** ** F7",
};
// XG, GS, "88", GM1 and GM2 resets: followed by the tuning.
const char* const kTrigger[] = {
    "F0 43 ** ** 00 00 7E 00 F7",
    "F0 41 ** ** 12 40 00 7F ** ** F7",
    "F0 41 ** ** 12 00 00 7F ** ** F7",
    "F0 7E ** ** 01 F7",
    "F0 7E ** ** 03 F7",
};

constexpr size_t kInspected = 30;  // longer SysEx is passed on without a look

// Only the shorter of text and pattern is compared; '*' stands for any one character.
bool Matches(const std::string& pattern, const std::string& text) {
    const size_t n = std::min(pattern.size(), text.size());
    for (size_t i = 0; i < n; ++i) {
        if (pattern[i] != '*' && pattern[i] != text[i]) return false;
    }
    return true;
}

template <size_t N>
bool AnyMatches(const char* const (&table)[N], const Bytes& sysex) {
    if (sysex.size() > kInspected) return false;
    const std::string text = HexText(sysex);
    for (const char* row : table) {
        if (Matches(row, text)) return true;
    }
    return false;
}

}  // namespace

Bytes Unpack(uint32_t word) {
    const auto status = uint8_t(word);
    const size_t length = (status & 0xE0) == 0xC0 || status == 0xF1 || status == 0xF3 ? 2
                          : status >= 0xF4                                            ? 1
                                                                                      : 3;
    Bytes out{status, uint8_t(word >> 8), uint8_t(word >> 16)};
    out.resize(length);
    return out;
}

std::string HexText(const Bytes& message) {
    std::string text;
    char hex[4];
    for (size_t i = 0; i < message.size(); ++i) {
        std::snprintf(hex, sizeof hex, "%02X", message[i]);
        if (i > 0) text += ' ';
        text += hex;
    }
    return text;
}

std::string Show(const Bytes& message) {
    if (message.size() <= 24) return HexText(message);
    const Bytes head(message.begin(), message.begin() + 16);
    const Bytes tail(message.end() - 4, message.end());
    return HexText(head) + " ... " + HexText(tail) + " (" + std::to_string(message.size()) + " bytes)";
}

bool Model::MatchesIgnore(const Bytes& sysex) { return AnyMatches(kIgnore, sysex); }
bool Model::MatchesTrigger(const Bytes& sysex) { return AnyMatches(kTrigger, sysex); }

std::vector<Bytes> Tuning(int channel, double hz) {
    // 14 bits around 8192, 8192 steps per 100 cents, rounded down.
    const double cents = 1200.0 * std::log2(hz / 440.0);
    const auto value = static_cast<int>(std::floor(8192.0 + 8192.0 * cents / 100.0));
    const auto status = uint8_t(0xB0 + channel);
    return {{status, 101, 0},
            {status, 100, 1},
            {status, 6, uint8_t(value >> 7)},
            {status, 38, uint8_t(value & 0x7F)},
            {status, 101, 127},
            {status, 100, 127}};
}

std::vector<Bytes> TuningAll(double hz) {
    std::vector<Bytes> all;
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        for (Bytes& b : Tuning(ch, hz)) all.push_back(std::move(b));
    }
    return all;
}

Model::Model(const Settings& settings) : settings_(settings) {
    for (int ch = 0; ch < 16; ++ch) {
        rpnMsb_[ch] = 127;
        rpnLsb_[ch] = 127;
        if (ch != 9) runs_[ch] = Tuning(ch, settings.frequency / 10.0);
    }
    all_ = TuningAll(settings.frequency / 10.0);
}

const std::vector<Bytes>& Model::Run(int channel) const {
    return channel == kAllChannels ? all_ : runs_[channel];
}

Outcome Model::Apply(const Bytes& in) {
    Outcome o;
    o.out = in;
    const uint8_t status = in[0];
    if (status == 0xF0) {
        o.passed = !MatchesIgnore(in);
        if (MatchesTrigger(in)) o.tuning = kAllChannels;
        return o;
    }
    if (status >= 0xF0) {
        o.passed = !(status == 0xF8 && settings_.skipClock);
        return o;
    }
    o.passed = true;
    const int kind = status & 0xF0;
    const int channel = status & 0x0F;
    if ((kind == 0x80 || kind == 0x90) && channel != 9) {
        int note = in[1] + settings_.keyShift;
        if (note < 0) note += 12;
        if (note > 127) note -= 12;
        o.out[1] = static_cast<uint8_t>(note);
    }
    if (kind == 0x80) o.out[2] = 127;
    if (kind == 0xB0 && channel != 9) {
        switch (in[1]) {
        case 101:
            rpnMsb_[channel] = in[2];
            break;
        case 100:
            rpnLsb_[channel] = in[2];
            break;
        case 6:
        case 38:
            o.passed = !(rpnMsb_[channel] == 0 && rpnLsb_[channel] == 1);
            break;
        case 121:
            o.tuning = channel;
            break;
        default:
            break;
        }
    }
    return o;
}

}  // namespace oracle
