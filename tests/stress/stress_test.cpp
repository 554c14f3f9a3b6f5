// The engine with real threads, under ThreadSanitizer. A driver thread plays the oracle's random
// MIDI into MidiInProc; the output completes SysEx on its own thread; a real 10 ms timer runs
// TimerProc; this test's thread is the user-interface thread, handing the posted messages to the
// engine and pressing buttons in between. Every message posted must be handled once, in order, and
// come out as the oracle says, each button's own messages where it was pressed; while the ports are
// joined the driver forwards instead. No buffer may be touched while the other side holds it, and
// ThreadSanitizer must report nothing.
// Environment: KVN_STRESS_SECONDS (default 5), KVN_STRESS_SEED (the input played; the threads'
// interleaving differs from run to run whatever the seed).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "tests/oracle/generator.h"
#include "tests/oracle/model.h"
#include "tests/stress/threaded_platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using oracle::Bytes;

uint32_t Pack(const Bytes& m) {
    uint32_t word = 0;
    for (size_t i = 0; i < m.size() && i < 3; ++i) word |= uint32_t(m[i]) << (8 * i);
    return word;
}

// Odd while connection thru is being switched; each switch adds 2. The driver thread reads it
// around every delivery to know whether the link could have changed meanwhile.
std::atomic<uint32_t> g_thruGeneration{0};

struct Played {
    uint64_t seq;
    Bytes bytes;
    tp::Delivery delivery;
    uint32_t generationBefore, generationAfter;
};

void DriverLoop(uint64_t seed, const std::atomic<bool>& stop, std::vector<Played>& played) {
    oracle::Generator gen(seed, kSysExBufferSize);
    std::mt19937_64 pace(seed ^ 0x9E3779B97F4A7C15ull);
    for (uint64_t seq = 1; !stop;) {
        // Input comes in bursts with gaps between them, as from a player.
        for (int i = 1 + int(pace() % 48); i > 0 && !stop; --i) {
            tp::WaitForQueueBelow(512, stop);
            Played p{seq++, gen.Next().bytes, {}, g_thruGeneration.load(), 0};
            p.delivery = p.bytes[0] == 0xF0 ? tp::PlaySysEx(p.bytes) : tp::PlayShort(Pack(p.bytes), p.seq);
            p.generationAfter = g_thruGeneration.load();
            played.push_back(std::move(p));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pace() % 1500));
    }
}

// The user-interface thread: stands in for the panel, hands the engine its messages, presses its
// buttons, and writes down what must come out of each.
struct Panel final : plat::WindowClient {
    oracle::Model model{{}};
    Bytes rpn[16][2];  // the last RPN selection taken in on each channel, for the next model
    std::vector<tp::Record> expected;
    std::vector<uint64_t> shortsHandled;
    std::vector<Bytes> sysexHandled;
    uint64_t paints = 0;

    void Expect(const Bytes& m) { expected.push_back({tp::Record::Short, Pack(m), {}}); }
    void Expect(const std::vector<Bytes>& run) {
        for (const Bytes& m : run) Expect(m);
    }
    void Expect(const oracle::Outcome& o, bool sysex) {
        if (o.passed && sysex) expected.push_back({tp::Record::Long, 0, o.out});
        if (o.passed && !sysex) Expect(o.out);
        if (o.tuning != oracle::kNoTuning) Expect(model.Run(o.tuning));
    }
    void Silence() {
        for (uint8_t cc : {123, 120})
            for (uint8_t ch = 0; ch < 16; ++ch) Expect(Bytes{uint8_t(0xB0 + ch), cc, 0});
    }
    // A model for the settings now, which remembers the RPN selections taken in so far.
    void Renew() {
        model = oracle::Model({g_KeyShift, g_SkipF8 != 0, g_Frequency});
        for (auto& channel : rpn)
            for (const Bytes& m : channel)
                if (!m.empty()) model.Apply(m);
    }

    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgShortIn) {
            shortsHandled.push_back(uint64_t(lParam));
            const Bytes in{uint8_t(wParam), uint8_t(wParam >> 8), uint8_t(wParam >> 16)};
            if (g_ThruConnect == 0) {  // otherwise the engine takes no notice
                if ((in[0] & 0xF0) == 0xB0 && (in[1] == 100 || in[1] == 101))
                    rpn[in[0] & 15][in[1] - 100] = in;
                Expect(model.Apply(in), false);
            }
            OnMidiShortMsg(wParam, lParam);
        } else if (msg == kMsgLongIn) {
            const auto* hdr = reinterpret_cast<const plat::MidiHdr*>(lParam);
            sysexHandled.emplace_back(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded);
            Expect(model.Apply(sysexHandled.back()), true);
            OnMidiLongMsg(wParam, lParam);
        } else if (msg == kMsgOutDone) {
            OnMidiOutDone(wParam, lParam);
        } else if (msg == plat::kWmPaint) {
            ++paints;
        }
        return 0;
    }

    // What the panel's buttons have the engine do, and the lamps they light for the timer.
    void Press(std::mt19937_64& rng) {
        const int button = int(rng() % 5), step = rng() % 2 ? 1 : -1, hz = g_Frequency + 5 * step;
        if (button == 0 && hz >= 4350 && hz <= 4455) {  // 435.0 .. 445.5 Hz
            g_Frequency = hz;
            Renew();
            mf_SendMasterTune(-1);
            Expect(oracle::TuningAll(g_Frequency / 10.0));
            g_LampMasterTune = 10;
        } else if (button == 1 && std::abs(g_KeyShift + step) <= 7) {
            g_KeyShift += step;
            Renew();
            mf_AllNotesOff(), mf_AllSoundOff();
            Silence();
            (step > 0 ? g_LampKeyUp : g_LampKeyDown) = 10;
        } else if (button == 2) {  // the reference tone, either level
            g_RefTone = mf_NextRefTone(g_RefTone, step > 0 ? 1 : 2);
            mf_RefTone();
            for (uint8_t cc : {123, 120, 121}) Expect(Bytes{0xBF, cc, 0});
            Expect(oracle::Tuning(15, g_Frequency / 10.0));
            for (uint8_t cc : {7, 11}) Expect(Bytes{0xBF, cc, uint8_t(g_RefTone ? 127 : 0)});
            if (g_RefTone)
                Expect(Bytes{0xCF, 74, 0}), Expect(Bytes{0x9F, 69, uint8_t(g_RefTone == 1 ? 100 : 127)});
        } else if (button == 3) {  // connection thru
            g_thruGeneration.fetch_add(1);
            g_ThruConnect = 1 - g_ThruConnect;
            mf_ThruConnect(g_ThruConnect);
            g_thruGeneration.fetch_add(1);
            expected.push_back({g_ThruConnect ? tp::Record::Connect : tp::Record::Disconnect, 0, {}});
            if (g_ThruConnect == 0) Expect(oracle::TuningAll(g_Frequency / 10.0));
            Silence();
        } else if (button == 4) {  // the clock filter
            g_SkipF8 = 1 - g_SkipF8;
            Renew();
        }
    }
};

// Where two sequences part, for a failure message; empty when they are equal.
template <typename T>
std::string Parting(const std::vector<T>& got, const std::vector<T>& want,
                    std::function<std::string(const T&)> show) {
    const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (g == got.end() && w == want.end()) return "";
    return "at " + std::to_string(g - got.begin()) + " of " + std::to_string(want.size()) + ": " +
           (g == got.end() ? "nothing" : show(*g)) + ", expected " + (w == want.end() ? "nothing" : show(*w));
}

std::string ShowRecord(const tp::Record& r) {
    char word[16];
    std::snprintf(word, sizeof word, "%06X", r.word);
    const char* kinds[] = {"short ", "long ", "connect", "disconnect", "reset"};
    return kinds[r.kind] + (r.kind == tp::Record::Short ? word : oracle::Show(r.data));
}

TEST(ThreadedEngine, EveryMessageIsHandledOnceInOrderAndAsTheOracleSaysWhileAllThreadsRun) {
    const char *secondsText = std::getenv("KVN_STRESS_SECONDS"), *seedText = std::getenv("KVN_STRESS_SEED");
    const double seconds = secondsText != nullptr ? std::atof(secondsText) : 5;
    const uint64_t seed =
        seedText ? std::strtoull(seedText, nullptr, 10) : Clock::now().time_since_epoch().count();
    std::printf("stress: seed %llu, %.1f s\n", (unsigned long long)seed, seconds);
    mf_ResetEngineState();
    Panel panel;
    g_PanelWnd = tp::CreateTestWindow(&panel);
    mf_SetBuiltInRows();
    g_MidiInDeviceName = "Keyboard";
    g_MidiOutDeviceName = "Synth";
    mf_DeviceInitialize();
    ASSERT_NE(g_MidiInHandle, nullptr);
    ASSERT_NE(g_MidiOutHandle, nullptr);
    mf_TimerInitialize();
    mf_TimerStart();
    g_LampMasterTune = 200;
    mf_MidiInStart();
    panel.Renew();
    tp::TakeRecords();  // what the start sent is not looked at here

    std::atomic<bool> stop{false};
    std::vector<Played> played;
    std::thread driver(DriverLoop, seed, std::cref(stop), std::ref(played));
    std::mt19937_64 rng(seed * 31 + 7);
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (auto nextPress = start; Clock::now() < deadline;) {
        tp::DispatchOne(500);
        if (Clock::now() >= nextPress) {
            panel.Press(rng);
            nextPress = Clock::now() + std::chrono::microseconds(rng() % 8000);
        }
    }
    // Let the driver finish its burst (posting never blocks it), then drain everything.
    stop = true;
    tp::WakeWaiters();
    driver.join();
    while (tp::DispatchOne(2000) || !tp::Idle()) {
    }
    const std::vector<tp::Record> records = tp::TakeRecords();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    mf_TimerKill();
    mf_TimerEndPeriod();
    mf_DeviceClose();
    g_PanelWnd = nullptr;
    mf_ResetEngineState();

    std::vector<uint64_t> shortsPosted;
    std::vector<Bytes> sysexPosted;
    uint64_t forwarded = 0;
    for (const Played& p : played) {
        const tp::Delivery& d = p.delivery;
        if (d.posted) p.bytes[0] == 0xF0 ? sysexPosted.push_back(p.bytes) : shortsPosted.push_back(p.seq);
        forwarded += d.forwarded;
        // While a switch is under way a message may be lost or doubled at the edge, as promised.
        const bool steady = p.generationBefore == p.generationAfter && p.generationBefore % 2 == 0;
        const bool thru = (p.generationBefore / 2) % 2 == 1;
        ASSERT_TRUE(!steady || (d.posted == (!thru && d.delivered) && d.forwarded == thru))
            << "message " << p.seq << (thru ? " during connection thru" : "") << ": posted " << d.posted
            << ", forwarded " << d.forwarded;
    }
    EXPECT_EQ(Parting<uint64_t>(panel.shortsHandled, shortsPosted, [](auto& s) { return std::to_string(s); }),
              "")
        << "the short messages handled are not those posted";
    EXPECT_EQ(Parting<Bytes>(panel.sysexHandled, sysexPosted, oracle::Show), "")
        << "the SysEx handled is not that posted";
    EXPECT_EQ(Parting<tp::Record>(records, panel.expected, ShowRecord), "") << "the output";
    const tp::Faults faults = tp::Seen();
    EXPECT_EQ(faults.inputBufferAddedWhileItsMessageWaits, 0)
        << "an input buffer went back while its SysEx waited";
    EXPECT_EQ(faults.outputBufferChangedWhileSending, 0) << "an output buffer changed while it was sent";

    // The run must have met what it is for.
    EXPECT_GT(shortsPosted.size(), 1000u);
    EXPECT_GT(sysexPosted.size(), 10u);
    EXPECT_GT(forwarded, 0u);
    EXPECT_GE(g_thruGeneration.load() / 2, 2u);  // connection thru switched
    EXPECT_GT(faults.timerTicks, uint64_t(elapsed * 50));
    EXPECT_GT(panel.paints, 0u);
}

}  // namespace
