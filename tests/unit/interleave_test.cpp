// Input and panel actions interleaved by a seeded generator, with input also arriving while the
// user-interface thread is inside an action (from the platform's send hook), so that short messages
// take the fast path as well as the hand-off. What comes out must be what the oracle makes of SOME
// serial order of the input messages and the actions that keeps the input's order and each action
// whole; a search over all such merges decides it.
#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "panel/state.h"
#include "picker/picker.h"
#include "tests/oracle/generator.h"
#include "tests/oracle/model.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

// One thing an output took: the device, what kind, and the bytes (none for Open, Reset, Close).
struct Token {
    int device;
    sim::Event kind;
    oracle::Bytes bytes;
    bool operator==(const Token&) const = default;
};
using Tokens = std::vector<Token>;

// What the output side looks like after a number of actions.
struct Stage {
    oracle::Settings settings;
    int device = -1;  // the mapper
};

class Interleave : public AppTest, public ::testing::WithParamInterface<uint64_t> {
protected:
    void Shorts(Tokens& t, const std::vector<oracle::Bytes>& messages) {
        for (const oracle::Bytes& b : messages) t.push_back({stage_.device, sim::Event::Short, b});
    }
    void Burst(Tokens& t, uint8_t controller) {
        for (int ch = 0; ch < 16; ++ch) Shorts(t, {{uint8_t(0xB0 + ch), controller, 0}});
    }
    void Tune(Tokens& t) { Shorts(t, oracle::TuningAll(stage_.settings.frequency / 10.0)); }

    // Posts the click on `region` (handled later, in the queue's order) and writes down what it
    // must send, from the stage it finds.
    void PostClick(int region) {
        const plat::Point p = points_.at(region);
        const intptr_t at = (p.x & 0xFFFF) | ((p.y & 0xFFFF) << 16);
        for (uint32_t msg : {plat::kWmMouseMove, plat::kWmLButtonDown, plat::kWmLButtonUp})
            plat::PostWindowMessage(sim::View(), msg, 0, at);
        Tokens out;  // what it must send, whole
        oracle::Settings& s = stage_.settings;
        switch (region) {
        case HIT_KEY_UP:
        case HIT_KEY_DOWN:
            s.keyShift += region == HIT_KEY_UP ? 1 : -1;
            [[fallthrough]];
        case HIT_PANIC:
            Burst(out, 123);
            Burst(out, 120);
            break;
        case HIT_FREQ_UP:
        case HIT_FREQ_DOWN:
            s.frequency += region == HIT_FREQ_UP ? 5 : -5;
            [[fallthrough]];
        case HIT_SEND_TUNE:
            Tune(out);
            break;
        case HIT_OUTPUT_PORT:
            Burst(out, 121);
            Burst(out, 123);
            Burst(out, 120);
            out.push_back({stage_.device, sim::Event::Reset, {}});
            out.push_back({stage_.device, sim::Event::Close, {}});
            stage_.device = stage_.device == 0 ? 1 : 0;  // Synth A and Synth B by turns
            out.push_back({stage_.device, sim::Event::Open, {}});
            Burst(out, 123);
            Burst(out, 120);
            Burst(out, 121);
            Tune(out);
            break;
        default:  // the input port: its close silences the output
            Burst(out, 123);
            Burst(out, 120);
        }
        actions_.push_back(std::move(out));
        stages_.push_back(stage_);
    }

    // One input message from the generator, through the driver; kept when the driver took it.
    void DeliverOne(bool shortOnly = false) {
        const oracle::Bytes in = generator_.Next().bytes;
        if (shortOnly && in[0] == 0xF0) return;
        const size_t queued = sim::Queue().size();
        const bool taken = in[0] == 0xF0
                               ? sim::DeliverSysEx(in)
                               : sim::DeliverShort(in[0] | uint32_t(in.size() > 1 ? in[1] : 0) << 8 |
                                                   uint32_t(in.size() > 2 ? in[2] : 0) << 16);
        if (!taken) return;
        inputs_.push_back(in);
        if (in[0] != 0xF0) (sim::Queue().size() > queued ? handedOff_ : fast_) += 1;
    }

    Stage stage_;
    std::vector<Stage> stages_;  // after 0, 1, ... actions
    std::vector<Tokens> actions_;
    std::vector<oracle::Bytes> inputs_;
    std::map<int, plat::Point> points_;
    std::mt19937_64 rng_{GetParam()};
    oracle::Generator generator_{GetParam(), 64};
    int fast_ = 0, handedOff_ = 0;
};

std::string Describe(const Tokens& log, size_t from) {
    std::string text;
    for (size_t k = from; k < log.size() && k < from + 4; ++k) {
        text += "\n  dev " + std::to_string(log[k].device) + " kind " + std::to_string(int(log[k].kind)) +
                " " + oracle::Show(log[k].bytes);
    }
    return text;
}

TEST_P(Interleave, OutputIsTheOracleOfSomeSerialOrder) {
    sim::SetInputDevices({"Keys A", "Keys B"});
    sim::SetOutputDevices({"Synth A", "Synth B"});
    for (int dev : {0, 1}) sim::SetOutputLongDelay(dev, 3000);  // a long message stays out a while
    ASSERT_TRUE(Start());
    Pump();
    const int kRegions[] = {HIT_KEY_UP,    HIT_KEY_DOWN, HIT_FREQ_UP,     HIT_FREQ_DOWN,
                            HIT_SEND_TUNE, HIT_PANIC,    HIT_OUTPUT_PORT, HIT_INPUT_PORT};
    for (int region : kRegions) points_[region] = PointOf(region);
    stages_.push_back(stage_);
    sim::SetFastPath(true);
    sim::ClearLogs();
    sim::SetSendHook([this] {
        if (rng_() % 10 == 0) DeliverOne();
    });
    int pickerFast = 0;
    sim::SetListAction([&](plat::HDialog dlg) {
        // Input while the picker is open (a SysEx would go stale on an input switch).
        const int before = fast_;
        DeliverOne(true);
        pickerFast += fast_ - before;
        // The other port; the lines go by row number.
        sim::UserSelect(dlg, g_PickOutput ? (g_MidiOutDevice == 1 ? 2 : 1) : 1 - g_MidiInDevice);
    });

    for (int step = 0; step < 600; ++step) {
        const uint64_t r = rng_() % 20;
        if (r < 10) {
            DeliverOne();
        } else if (r < 12) {
            const int region = kRegions[rng_() % 8];
            const oracle::Settings& s = stage_.settings;
            if ((region == HIT_KEY_UP && s.keyShift >= 7) || (region == HIT_KEY_DOWN && s.keyShift <= -7) ||
                (region == HIT_FREQ_UP && s.frequency >= 4455) ||
                (region == HIT_FREQ_DOWN && s.frequency <= 4350))
                continue;
            // A SysEx still waiting when its port closes is dropped as stale, whichever way the
            // short ones go: the input is switched with nothing waiting.
            if (region == HIT_INPUT_PORT) Pump();
            PostClick(region);
            if (region == HIT_INPUT_PORT) Pump();
        } else if (r < 17) {
            sim::PumpOne();
        } else if (r < 18) {
            Pump();
        } else {
            sim::Tick();
        }
    }
    sim::SetSendHook(nullptr);
    sim::SetListAction(nullptr);
    Pump();
    sim::Tick();
    Pump();
    // Once everything is handled and has left, the fast path is open again.
    inputs_.push_back({0x90, 60, 100});
    ASSERT_TRUE(sim::DeliverShort(0x643C90));
    EXPECT_TRUE(sim::Queue().empty()) << "the fast path stayed shut";

    // What input i makes after j actions; its length is the same at every stage (the settings the
    // actions change never decide whether a message passes or a run follows).
    const size_t ni = inputs_.size(), na = actions_.size();
    std::vector<std::vector<Tokens>> made(na + 1);
    for (size_t j = 0; j <= na; ++j) {
        oracle::Model model(stages_[j].settings);
        const int dev = stages_[j].device;
        for (const oracle::Bytes& in : inputs_) {
            const oracle::Outcome o = model.Apply(in);
            Tokens t;
            if (o.passed) t.push_back({dev, in[0] == 0xF0 ? sim::Event::Long : sim::Event::Short, o.out});
            if (o.tuning != oracle::kNoTuning)
                for (const oracle::Bytes& b : model.Run(o.tuning)) t.push_back({dev, sim::Event::Short, b});
            made[j].push_back(std::move(t));
        }
    }
    Tokens log;
    for (const sim::OutEvent& e : sim::OutputLog())
        log.push_back({e.device, e.kind, e.kind == sim::Event::Short ? oracle::Unpack(e.word) : e.data});

    // reach[i][j]: the first i inputs and the first j actions, merged in some order, made the
    // start of the log.
    std::vector<size_t> inAt(ni + 1, 0), actAt(na + 1, 0);
    for (size_t i = 0; i < ni; ++i) inAt[i + 1] = inAt[i] + made[0][i].size();
    for (size_t j = 0; j < na; ++j) actAt[j + 1] = actAt[j] + actions_[j].size();
    auto fits = [&](const Tokens& t, size_t at) {
        return at + t.size() <= log.size() && std::equal(t.begin(), t.end(), log.begin() + long(at));
    };
    std::vector<std::vector<char>> reach(ni + 1, std::vector<char>(na + 1, 0));
    reach[0][0] = 1;
    size_t furthest = 0;
    for (size_t i = 0; i <= ni; ++i) {
        for (size_t j = 0; j <= na; ++j) {
            if (!reach[i][j]) continue;
            const size_t at = inAt[i] + actAt[j];
            furthest = std::max(furthest, at);
            if (i < ni && fits(made[j][i], at)) reach[i + 1][j] = 1;
            if (j < na && fits(actions_[j], at)) reach[i][j + 1] = 1;
        }
    }
    EXPECT_TRUE(reach[ni][na] && log.size() == inAt[ni] + actAt[na])
        << "no serial order of " << ni << " inputs and " << na << " actions explains the output from message "
        << furthest << " of " << log.size() << " on:" << Describe(log, furthest);
    EXPECT_GT(fast_, 0) << "no short message took the fast path";
    EXPECT_GT(handedOff_, 0) << "no short message was handed off";
    EXPECT_GT(na, 20u);
    EXPECT_GT(pickerFast, 0) << "input waited for the picker to close";
    EXPECT_EQ(sim::InputCallbackFaults(), 0) << "an input callback blocked, or overtook a long message";
}

INSTANTIATE_TEST_SUITE_P(Seeds, Interleave, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u));

}  // namespace
}  // namespace kvntest
