#include "tests/oracle/generator.h"

#include <algorithm>

namespace oracle {

Generator::Generator(uint64_t seed, size_t maxSysEx)
    : rng_(seed), maxSysEx_(std::max<size_t>(maxSysEx, 64)) {}

uint8_t Generator::Note() {
    // A quarter at the ends, where the key shift folds notes back by an octave.
    if (Below(4) == 0) return static_cast<uint8_t>(Below(2) == 0 ? Below(9) : 119 + Below(9));
    return Data();
}

Generated Generator::Next() {
    const auto ch = static_cast<uint8_t>(Below(16));
    uint32_t r = Below(1000);
    auto pick = [&](uint32_t weight) {
        if (r < weight) return true;
        r -= weight;
        return false;
    };
    if (pick(257)) {
        const uint8_t velocity = Below(10) == 0 ? 0 : static_cast<uint8_t>(1 + Below(127));
        return {{uint8_t(0x90 | ch), Note(), velocity}, ch == 9 ? "note on, channel 10" : "note on"};
    }
    if (pick(140))
        return {{uint8_t(0x80 | ch), Note(), Data()}, ch == 9 ? "note off, channel 10" : "note off"};
    if (pick(25)) return {{uint8_t(0xA0 | ch), Note(), Data()}, "poly pressure"};
    if (pick(220)) return Control(ch);
    if (pick(40)) return {{uint8_t(0xC0 | ch), Data()}, "program change"};
    if (pick(40)) return {{uint8_t(0xD0 | ch), Data()}, "channel pressure"};
    if (pick(50)) return {{uint8_t(0xE0 | ch), Data(), Data()}, "pitch bend"};
    if (pick(150)) return {{0xF8}, "timing clock"};
    if (pick(50)) return {{0xFE}, "active sensing"};
    if (pick(10)) {
        static const uint8_t kRealTime[] = {0xFA, 0xFB, 0xFC, 0xFF};
        return {{kRealTime[Below(4)]}, "start/continue/stop/reset"};
    }
    if (pick(10)) {
        switch (Below(4)) {
        case 0:
            return {{0xF1, Data()}, "system common"};
        case 1:
            return {{0xF2, Data(), Data()}, "system common"};
        case 2:
            return {{0xF3, Data()}, "system common"};
        default:
            return {{0xF6}, "system common"};
        }
    }
    return SysEx();
}

Generated Generator::Control(uint8_t ch) {
    const auto status = static_cast<uint8_t>(0xB0 | ch);
    const bool perc = ch == 9;
    uint32_t r = Below(220);
    if (r < 45) {
        const uint32_t v = Below(10);
        const uint8_t value = v < 7 ? 0 : (v < 9 ? 127 : Data());
        return {{status, 101, value}, perc ? "control: RPN MSB, channel 10" : "control: RPN MSB"};
    }
    r -= 45;
    if (r < 45) {
        const uint32_t v = Below(20);
        const uint8_t value = v < 10 ? 1 : (v < 13 ? 0 : (v < 15 ? 2 : (v < 18 ? 127 : Data())));
        return {{status, 100, value}, perc ? "control: RPN LSB, channel 10" : "control: RPN LSB"};
    }
    r -= 45;
    if (r < 55) {
        return {{status, uint8_t(Below(2) == 0 ? 6 : 38), Data()},
                perc ? "control: data entry, channel 10" : "control: data entry"};
    }
    r -= 55;
    if (r < 7) {
        return {{status, 121, Below(4) == 0 ? Data() : uint8_t(0)},
                perc ? "control: reset all controllers, channel 10" : "control: reset all controllers"};
    }
    uint8_t controller = Data();
    while (controller == 6 || controller == 38 || controller == 100 || controller == 101 ||
           controller == 121) {
        controller = Data();
    }
    return {{status, controller, Data()}, "control: other"};
}

Bytes Generator::Template(uint32_t which, const char** kind) {
    const uint8_t dev = Data();
    switch (which) {
    case 0:
        *kind = "sysex: XG reset";
        return {0xF0, 0x43, uint8_t(0x10 | Below(16)), 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
    case 1:
        *kind = "sysex: GS reset";
        return {0xF0, 0x41, dev, 0x42, 0x12, 0x40, 0x00, 0x7F, Data(), Data(), 0xF7};
    case 2:
        *kind = "sysex: 88 reset";
        return {0xF0, 0x41, dev, 0x42, 0x12, 0x00, 0x00, 0x7F, Data(), Data(), 0xF7};
    case 3:
        *kind = "sysex: GM1 reset";
        return {0xF0, 0x7E, dev, 0x09, 0x01, 0xF7};
    case 4:
        *kind = "sysex: GM2 reset";
        return {0xF0, 0x7E, dev, 0x09, 0x03, 0xF7};
    case 5:
        *kind = "sysex: XG master tune 1";
        return {0xF0, 0x43, uint8_t(0x10 | Below(16)), 0x27, 0x30, 0x00, 0x00, Data(), Data(), Data(), 0xF7};
    case 6:
        *kind = "sysex: XG master tune 2";
        return {0xF0,   0x43, uint8_t(0x10 | Below(16)), 0x4C, 0x00, 0x00, 0x00, Data(), Data(), Data(),
                Data(), 0xF7};
    case 7:
        *kind = "sysex: GS master tune";
        return {0xF0, 0x41, dev, 0x42, 0x12, 0x40, 0x00, 0x00, Data(), Data(), Data(), Data(), Data(), 0xF7};
    case 8:
        *kind = "sysex: GM1 master tune";
        return {0xF0, 0x7F, dev, 0x04, 0x01, Data(), Data(), 0xF7};
    default:
        *kind = "sysex: GM2 master tune";
        return {0xF0, 0x7F, dev, 0x04, 0x03, Data(), Data(), 0xF7};
    }
}

Generated Generator::SysEx() {
    const uint32_t r = Below(100);
    const char* kind = "";
    if (r < 60) {
        Bytes m = Template(r < 30 ? Below(5) : 5 + Below(5), &kind);
        return {std::move(m), kind};
    }
    if (r < 75) {
        // A near miss: one byte changed, cut short, or lengthened.
        Bytes m = Template(Below(10), &kind);
        switch (Below(3)) {
        case 0:
            m[1 + Below(uint32_t(m.size() - 2))] = Data();
            break;
        case 1:
            m.resize(1 + Below(uint32_t(m.size() - 1)));
            m.push_back(0xF7);
            break;
        default:
            for (uint32_t n = 1 + Below(4); n > 0; --n) m.insert(m.end() - 1, Data());
            break;
        }
        return {std::move(m), "sysex: near miss"};
    }
    size_t length = 0;
    const uint32_t band = Below(100);
    if (band < 50) {
        length = 2 + Below(29);
        kind = "sysex: other, up to 30 bytes";
    } else if (band < 80) {
        length = 31 + Below(226);
        kind = "sysex: other, 31-256 bytes";
    } else if (band < 95) {
        length = 257 + Below(3840);
        kind = "sysex: other, 257-4096 bytes";
    } else {
        length = 4097 + Below(uint32_t(maxSysEx_ > 4097 ? maxSysEx_ - 4096 : 1));
        kind = "sysex: other, over 4096 bytes";
    }
    length = std::min(length, maxSysEx_);
    Bytes m(length);
    m[0] = 0xF0;
    for (size_t i = 1; i + 1 < length; ++i) m[i] = Data();
    m[length - 1] = 0xF7;
    return {std::move(m), kind};
}

}  // namespace oracle
