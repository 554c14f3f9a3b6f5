// Cost of one short message through the engine (mf_ShortMsgIn down to the output call) on the
// simulated platform, and the heap allocations it makes in steady state, which must be none.
//
// The simulated output records every message into a vector. Its capacity is grown once before
// timing, and the record is emptied (capacity kept) every kBatch messages with the timer paused,
// so neither the growth nor the clearing is in the figures. What is timed is the engine's work
// plus the simulated driver's bookkeeping (a handle check and one append to the record);
// BM_SimOutputCallOnly measures that bookkeeping alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/alloc_count.h"
#include "engine/engine.h"
#include "platform/sim/sim.h"

namespace {

constexpr int kBatch = 1 << 14;

uint32_t Msg(uint8_t status, uint8_t d1 = 0, uint8_t d2 = 0) {
    return status | (uint32_t(d1) << 8) | (uint32_t(d2) << 16);
}

// A fresh engine with one open output whose record already has room for a whole batch.
void OpenOutput() {
    sim::Reset();
    mf_ResetEngineState();
    mf_SetBuiltInRows();
    sim::SetOutputDevices({"Synth"});
    plat::MidiOutOpen(&g_MidiOutHandle, 0, MidiOutProc, 0);
    for (int i = 0; i < kBatch + 16; ++i) plat::MidiOutShortMsg(g_MidiOutHandle, Msg(0xFE));
    sim::ClearOutputLog();
}

void CloseOutput() {
    plat::MidiOutClose(g_MidiOutHandle);
    sim::Reset();
    mf_ResetEngineState();
}

// Runs `stream` round and round through mf_ShortMsgIn; reports ns per message (the benchmark's
// own time per iteration) and heap allocations per message.
void RunStream(benchmark::State& state, const std::vector<uint32_t>& stream) {
    const size_t mask = stream.size() - 1;  // power-of-two length
    size_t i = 0;
    int inBatch = 0;
    const uint64_t allocsBefore = kvnbench::g_allocations;
    for (auto _ : state) {
        mf_ShortMsgIn(stream[i++ & mask]);
        if (++inBatch == kBatch) {
            state.PauseTiming();
            sim::ClearOutputLog();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    const auto allocs = static_cast<double>(kvnbench::g_allocations - allocsBefore);
    state.counters["allocs_per_msg"] = benchmark::Counter(allocs, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

// Note On / Note Off pairs on channels 1-16 with a key shift: the commonest traffic.
void BM_ShortMsgIn_NotesShifted(benchmark::State& state) {
    OpenOutput();
    g_KeyShift = 5;
    std::vector<uint32_t> stream;
    for (int k = 0; k < 64; ++k) {
        const auto ch = static_cast<uint8_t>(k & 15);
        const auto note = static_cast<uint8_t>(36 + k);
        stream.push_back(Msg(static_cast<uint8_t>(0x90 | ch), note, 100));
        stream.push_back(Msg(static_cast<uint8_t>(0x80 | ch), note, 64));
    }
    RunStream(state, stream);
    CloseOutput();
}
BENCHMARK(BM_ShortMsgIn_NotesShifted);

// A performance as it arrives: notes, controllers (RPN selection and data entry outside 0/1
// included), pitch bend, pressure, program change, filtered clock and active sensing. No
// message of it is dropped or followed by a retune.
void BM_ShortMsgIn_Mixed(benchmark::State& state) {
    OpenOutput();
    g_KeyShift = -3;
    const std::vector<uint32_t> pattern{
        Msg(0x90, 60, 100), Msg(0xF8),         Msg(0xB0, 7, 100), Msg(0xE0, 0, 64),
        Msg(0x99, 36, 120), Msg(0xD0, 40),     Msg(0x80, 60, 0),  Msg(0xF8),
        Msg(0xB1, 101, 0),  Msg(0xB1, 100, 0), Msg(0xB1, 6, 12),  Msg(0xB1, 38, 0),
        Msg(0xA2, 64, 30),  Msg(0xC3, 5),      Msg(0xFE),         Msg(0xB0, 64, 127),
    };
    std::vector<uint32_t> stream;
    for (int r = 0; r < 16; ++r) stream.insert(stream.end(), pattern.begin(), pattern.end());
    RunStream(state, stream);
    CloseOutput();
}
BENCHMARK(BM_ShortMsgIn_Mixed);

// Timing clock while the filter is on: nothing reaches the output.
void BM_ShortMsgIn_ClockFiltered(benchmark::State& state) {
    OpenOutput();
    RunStream(state, std::vector<uint32_t>(64, Msg(0xF8)));
    CloseOutput();
}
BENCHMARK(BM_ShortMsgIn_ClockFiltered);

// The simulated driver's own share: the output call alone, no engine.
void BM_SimOutputCallOnly(benchmark::State& state) {
    OpenOutput();
    int inBatch = 0;
    const uint64_t allocsBefore = kvnbench::g_allocations;
    for (auto _ : state) {
        plat::MidiOutShortMsg(g_MidiOutHandle, Msg(0x90, 60, 100));
        if (++inBatch == kBatch) {
            state.PauseTiming();
            sim::ClearOutputLog();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    const auto allocs = static_cast<double>(kvnbench::g_allocations - allocsBefore);
    state.counters["allocs_per_msg"] = benchmark::Counter(allocs, benchmark::Counter::kAvgIterations);
    CloseOutput();
}
BENCHMARK(BM_SimOutputCallOnly);

// The whole hand-off: the input driver's callback posts the message, the queue is pumped and the
// panel handler runs the engine. The simulated queue is a std::deque, which allocates a block
// every few posts and frees it once drained; those allocations belong to the simulation, not to
// the engine (the real platforms post into the system's own queue).
class Router final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgShortIn) OnMidiShortMsg(wParam, lParam);
        return 0;
    }
};

void BM_HandOffThroughSimQueue(benchmark::State& state) {
    OpenOutput();
    Router router;
    g_PanelWnd = sim::CreateTestWindow(&router);
    sim::SetInputDevices({"Keyboard"});
    plat::MidiInOpen(&g_MidiInHandle, 0, MidiInProc, 0);
    plat::MidiInStart(g_MidiInHandle);
    g_KeyShift = 5;
    int inBatch = 0;
    uint8_t note = 0;
    const uint64_t allocsBefore = kvnbench::g_allocations;
    for (auto _ : state) {
        sim::DeliverShort(Msg(0x90, static_cast<uint8_t>(note++ & 127), 100));
        sim::PumpOne();
        if (++inBatch == kBatch) {
            state.PauseTiming();
            sim::ClearOutputLog();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    const auto allocs = static_cast<double>(kvnbench::g_allocations - allocsBefore);
    state.counters["allocs_per_msg"] = benchmark::Counter(allocs, benchmark::Counter::kAvgIterations);
    plat::MidiInClose(g_MidiInHandle);
    CloseOutput();
}
BENCHMARK(BM_HandOffThroughSimQueue);

}  // namespace

BENCHMARK_MAIN();
