// The engine's cost per message, by kind of message, on the simulated platform, and the heap
// allocations it makes in steady state.
//
// A short message goes in at mf_ShortMsgIn and comes out at the simulated output call. A SysEx
// takes the whole road: the simulated input driver fills the one input buffer and posts it, the
// panel handler recognises it (hex text, family, both tables) and sends it or drops it, the
// simulated output completes it and the completion is handled; a reset's 16 ms wait (simulated
// time) and its 90 tuning messages are included. The simulation's records are emptied (capacity
// kept) every batch with the timer paused. It allocates on its own account for each long message
// (a record, and its queues' blocks: about 1.14 per SysEx); the engine itself allocates nothing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/alloc_count.h"
#include "engine/engine.h"
#include "platform/sim/sim.h"

namespace {

constexpr int kBatch = 1 << 12;

uint32_t Msg(uint8_t status, uint8_t d1 = 0, uint8_t d2 = 0) {
    return status | (uint32_t(d1) << 8) | (uint32_t(d2) << 16);
}

struct Kind {
    std::vector<uint32_t> shorts;  // played round and round (a power-of-two length)
    std::vector<uint8_t> sysex;    // or this SysEx, again and again
    int keyShift = 0;
};

Kind Notes() {  // Note On / Note Off pairs on all channels, shifted: the commonest traffic
    Kind k;
    for (int i = 0; i < 64; ++i) {
        k.shorts.push_back(Msg(uint8_t(0x90 | (i & 15)), uint8_t(36 + i), 100));
        k.shorts.push_back(Msg(uint8_t(0x80 | (i & 15)), uint8_t(36 + i), 64));
    }
    k.keyShift = 5;
    return k;
}

Kind Mixed() {  // a performance: notes, controllers, RPN, bend, pressure, program, clock, sensing
    Kind k;
    for (int r = 0; r < 16; ++r) {
        k.shorts.insert(k.shorts.end(),
                        {Msg(0x90, 60, 100), Msg(0xF8), Msg(0xB0, 7, 100), Msg(0xE0, 0, 64),
                         Msg(0x99, 36, 120), Msg(0xD0, 40), Msg(0x80, 60, 0), Msg(0xF8), Msg(0xB1, 101, 0),
                         Msg(0xB1, 100, 0), Msg(0xB1, 6, 12), Msg(0xB1, 38, 0), Msg(0xA2, 64, 30),
                         Msg(0xC3, 5), Msg(0xFE), Msg(0xB0, 64, 127)});
    }
    k.keyShift = -3;
    return k;
}

Kind Clock() { return {std::vector<uint32_t>(64, Msg(0xF8)), {}, 0}; }  // filtered: nothing leaves
Kind SysEx(std::vector<uint8_t> bytes) { return {{}, std::move(bytes), 0}; }

// The panel's handlers, as the view routes them.
class Router final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgLongIn) OnMidiLongMsg(wParam, lParam);
        if (msg == kMsgOutDone) OnMidiOutDone(wParam, lParam);
        return 0;
    }
};

plat::MidiHdr* NewHeader() {
    auto* hdr = new plat::MidiHdr{};
    hdr->lpData = new char[kSysExBufferSize]{};
    hdr->dwBufferLength = kSysExBufferSize;
    return hdr;
}

void OneSysEx(const std::vector<uint8_t>& bytes) {
    sim::DeliverSysEx(bytes);
    while (sim::PumpOne()) {
    }
}

void BM_Message(benchmark::State& state, const Kind& kind) {
    static Router router;
    sim::Reset();
    mf_ResetEngineState();
    mf_SetBuiltInRows();
    g_PanelWnd = sim::CreateTestWindow(&router);
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    sim::SetOutputLongDelay(0, 0);
    g_MidiInHeader = NewHeader();
    g_MidiOutHeader = NewHeader();
    plat::MidiOutOpen(&g_MidiOutHandle, 0, MidiOutProc, 0);
    plat::MidiInOpen(&g_MidiInHandle, 0, MidiInProc, 0);
    mf_MidiInStart();
    g_KeyShift = kind.keyShift;
    // Every record at its batch's size first, and the SysEx's road walked once.
    for (int i = 0; i < kBatch * 92 + 64; ++i) plat::MidiOutShortMsg(g_MidiOutHandle, 0xFE);
    for (int i = 0; i < 256 && !kind.sysex.empty(); ++i) OneSysEx(kind.sysex);
    sim::ClearLogs();

    const size_t mask = kind.shorts.size() - 1;
    size_t i = 0;
    int inBatch = 0;
    const uint64_t allocsBefore = kvnbench::g_allocations;
    for (auto _ : state) {
        if (kind.sysex.empty()) {
            mf_ShortMsgIn(kind.shorts[i++ & mask]);
        } else {
            OneSysEx(kind.sysex);
        }
        if (++inBatch == kBatch) {
            state.PauseTiming();
            sim::ClearLogs();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    state.counters["allocs_per_msg"] = benchmark::Counter(double(kvnbench::g_allocations - allocsBefore),
                                                          benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
    // The last completion comes with the next look at the clock; then the buffer is back.
    sim::Advance(1000);
    while (sim::PumpOne()) {
    }
    if (!kind.sysex.empty() && sim::QueuedInputBuffers() != 1)
        state.SkipWithError("the SysEx did not go round");
    plat::MidiInReset(g_MidiInHandle);
    plat::MidiInClose(g_MidiInHandle);
    plat::MidiOutReset(g_MidiOutHandle);
    plat::MidiOutClose(g_MidiOutHandle);
    for (plat::MidiHdr** hdr : {&g_MidiInHeader, &g_MidiOutHeader}) {
        delete[](*hdr)->lpData;
        delete *hdr;
        *hdr = nullptr;
    }
    sim::Reset();
    mf_ResetEngineState();
}

BENCHMARK_CAPTURE(BM_Message, notes_shifted, Notes());
BENCHMARK_CAPTURE(BM_Message, mixed, Mixed());
BENCHMARK_CAPTURE(BM_Message, clock_filtered, Clock());
BENCHMARK_CAPTURE(BM_Message, sysex_11_bytes_passed,
                  SysEx({0xF0, 0x7D, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x00, 0xF7}));
BENCHMARK_CAPTURE(BM_Message, sysex_gs_master_tune_dropped,
                  SysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x3C,
                         0xF7}));
BENCHMARK_CAPTURE(BM_Message, sysex_gs_reset_and_its_tuning,
                  SysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));

}  // namespace

BENCHMARK_MAIN();
