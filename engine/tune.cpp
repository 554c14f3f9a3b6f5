// Master tune: Channel Fine Tuning (RPN 0/1) on every channel but the percussion channel.
#include "engine/engine.h"

// value = floor(8192 + 8192 * cents / 100), cents = 1200 * log2(f / 440); {LSB, MSB} of 14 bits.
const uint8_t g_TuneTable[11][2][2] = {
    {{0x2B, 0x33}, {0x4E, 0x34}},  // 435.0, 435.5
    {{0x70, 0x35}, {0x13, 0x37}},  // 436.0, 436.5
    {{0x35, 0x38}, {0x57, 0x39}},  // 437.0, 437.5
    {{0x79, 0x3A}, {0x1B, 0x3C}},  // 438.0, 438.5
    {{0x3D, 0x3D}, {0x5E, 0x3E}},  // 439.0, 439.5
    {{0x00, 0x40}, {0x21, 0x41}},  // 440.0, 440.5
    {{0x41, 0x42}, {0x62, 0x43}},  // 441.0, 441.5
    {{0x03, 0x45}, {0x23, 0x46}},  // 442.0, 442.5
    {{0x43, 0x47}, {0x63, 0x48}},  // 443.0, 443.5
    {{0x03, 0x4A}, {0x23, 0x4B}},  // 444.0, 444.5
    {{0x42, 0x4C}, {0x61, 0x4D}},  // 445.0, 445.5
};

void mf_SendMasterTune(int channel) {
    // Off-grid pitches (a hand-edited settings file) use the half-hertz entry of their whole hertz.
    // The panel can step an off-grid pitch a few tenths past either limit; never index outside.
    int index = (g_Frequency - 4350) / 10;
    index = index < 0 ? 0 : (index > 10 ? 10 : index);
    const int half = (g_Frequency % 10 != 0) ? 1 : 0;
    const uint8_t lsb = g_TuneTable[index][half][0];
    const uint8_t msb = g_TuneTable[index][half][1];

    auto tune = [&](int ch) {
        const auto status = static_cast<uint8_t>(0xB0 + ch);
        mf_SendShortMsg(status, 101, 0);
        mf_SendShortMsg(status, 100, 1);
        mf_SendShortMsg(status, 6, msb);
        mf_SendShortMsg(status, 38, lsb);
        mf_SendShortMsg(status, 101, 127);
        mf_SendShortMsg(status, 100, 127);
    };
    if (channel == -1) {
        for (int ch = 0; ch < 16; ++ch) {
            if (ch != 9) tune(ch);
        }
    } else if (channel >= 0 && channel < 16 && channel != 9) {
        tune(channel);
    }
    g_LampMasterTune = 10;
    mf_RequestRedraw();
}
