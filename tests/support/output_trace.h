// The output log written as text lines, and the expected lines built the same way, so that a
// mismatch shows which message went wrong and when.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "tests/oracle/model.h"

namespace kvntest {

inline std::string Line(int dev, uint64_t t, const std::string& what) {
    return "dev " + std::to_string(dev) + " @" + std::to_string(t) + " " + what;
}

inline std::string Text(unsigned status, unsigned d1, unsigned d2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X %u %u", status & 0xFF, d1 & 0xFF, d2 & 0xFF);
    return buf;
}

inline std::vector<std::string> Trace(uint64_t t0) {
    static const char* const kKinds[] = {"Open", "Short", "Long", "Reset", "Close", "Connect", "Disconnect"};
    std::vector<std::string> out;
    for (const auto& e : sim::OutputLog()) {
        const std::string what = e.kind == sim::Event::Short  ? Text(e.word, e.word >> 8, e.word >> 16)
                                 : e.kind == sim::Event::Long ? "Long " + std::to_string(e.data.size())
                                                              : kKinds[static_cast<int>(e.kind)];
        out.push_back(Line(e.device, e.timeUs - t0, what));
    }
    return out;
}

// The expected trace, in the same words.
struct Expect {
    explicit Expect(int device) : dev(device) {}
    int dev;
    uint64_t t = 0;
    std::vector<std::string> v;

    Expect& At(uint64_t us) { return t = us, *this; }
    Expect& Dev(int d) { return dev = d, *this; }
    Expect& Add(const std::string& what) { return v.push_back(Line(dev, t, what)), *this; }
    Expect& Cc(int ch, int ctl, int val) { return Add(Text(0xB0 + ch, ctl, val)); }
    Expect& Burst(int ctl) {
        for (int ch = 0; ch < 16; ++ch) Cc(ch, ctl, 0);
        return *this;
    }
    // Channel Fine Tuning at `hz` on every channel but channel 10.
    Expect& Tuning(double hz = 440.0) {
        for (const oracle::Bytes& b : oracle::TuningAll(hz)) Add(Text(b[0], b[1], b[2]));
        return *this;
    }
    // A successful output open that starts at `at`.
    Expect& OpenSequence(uint64_t at) {
        return At(at).Add("Open").Burst(123).Burst(120).Burst(121).At(at + 16000).Tuning();
    }
    // An output close that starts at `at`.
    Expect& CloseSequence(uint64_t at) {
        return At(at)
            .Burst(121)
            .At(at + 16000)
            .Burst(123)
            .Burst(120)
            .Add("Reset")
            .At(at + 32000)
            .Add("Close");
    }
};

}  // namespace kvntest
