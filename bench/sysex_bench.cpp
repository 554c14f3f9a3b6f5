// Cost of one 11-byte SysEx through recognition and output on the simulated platform, and the heap
// allocations it makes in steady state.
//
// Each message takes the whole road: the simulated input driver fills the one input buffer and
// calls MidiInProc, which posts it; the panel handler runs recognition (hex text, family, both
// tables) and the output (copy into the one output buffer, input buffer handed back, send); the
// simulated output driver completes the message and MidiOutProc posts that; the handler of the
// completion runs. Two messages: the GS reset (a Trigger row matches; the 16 ms wait and the 90
// tuning messages that follow it are left out, BM_SysEx_GsResetWithItsTuning has them) and an
// 11-byte message that matches nothing.
//
// The simulated platform allocates on its own account (it records every long message in a new
// vector, and its queues are std::deque). BM_SimOnly_11Bytes makes exactly the platform calls the
// engine makes for one message, without the engine, so its allocations and time are the
// simulation's share: the engine's own allocations per message are the difference, which must be
// 0. BM_Recognition_* runs mf_CheckSysEx alone, which touches no platform at all.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "bench/alloc_count.h"
#include "engine/engine.h"
#include "platform/sim/sim.h"

namespace {

constexpr int kBatch = 1 << 12;
constexpr uint32_t kHdrSize = sizeof(plat::MidiHdr);

const std::vector<uint8_t> kGsReset = {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const std::vector<uint8_t> kNonMatching = {0xF0, 0x7D, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x00, 0xF7};

// The panel handlers, as the view routes them. `withoutTuning` handles a received SysEx the way
// mf_LongMsgIn does but stops before the tuning that follows a Trigger match.
class Router final : public plat::WindowClient {
public:
    bool withoutTuning = false;
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgLongIn) {
            if (!withoutTuning) {
                OnMidiLongMsg(wParam, lParam);
            } else {
                g_LongInPosted.Add(-1);
                const uint8_t flags = mf_CheckSysEx();
                if (!(flags & kFlagDrop)) {
                    mf_SendSysEx(g_MidiInHeader->lpData, static_cast<uint32_t>(g_SysExLength));
                    mf_ArmActivity(g_LampIn);
                }
            }
        } else if (msg == kMsgOutDone) {
            OnMidiOutDone(wParam, lParam);
        }
        return 0;
    }
};

Router g_router;

plat::MidiHdr* NewHeader() {
    auto* hdr = new plat::MidiHdr{};
    hdr->lpData = new char[kSysExBufferSize]{};
    hdr->dwBufferLength = kSysExBufferSize;
    return hdr;
}

void FreeHeaders() {
    for (plat::MidiHdr** hdr : {&g_MidiInHeader, &g_MidiOutHeader}) {
        if (*hdr == nullptr) continue;
        delete[](*hdr)->lpData;
        delete *hdr;
        *hdr = nullptr;
    }
}

// Records grown once to a batch's worth, then emptied with their capacity kept.
void GrowRecords(int perMessage) {
    for (int i = 0; i < kBatch * perMessage + 64; ++i) plat::MidiOutShortMsg(g_MidiOutHandle, 0xFE);
    for (int i = 0; i < kBatch * 4 + 64; ++i) plat::MidiInStart(g_MidiInHandle);
    sim::ClearLogs();
}

// A fresh engine with both ports open and started, completing long messages at once.
void OpenPorts(bool withoutTuning, int perMessage) {
    sim::Reset();
    mf_ResetEngineState();
    mf_SetBuiltInRows();
    g_router.withoutTuning = withoutTuning;
    g_PanelWnd = sim::CreateTestWindow(&g_router);
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    sim::SetOutputLongDelay(0, 0);
    g_MidiInHeader = NewHeader();
    g_MidiOutHeader = NewHeader();
    plat::MidiOutOpen(&g_MidiOutHandle, 0, MidiOutProc, 0);
    plat::MidiInOpen(&g_MidiInHandle, 0, MidiInProc, 0);
    mf_MidiInStart();
    GrowRecords(perMessage);
}

void ClosePorts() {
    plat::MidiInReset(g_MidiInHandle);
    plat::MidiInClose(g_MidiInHandle);
    plat::MidiOutReset(g_MidiOutHandle);
    plat::MidiOutClose(g_MidiOutHandle);
    FreeHeaders();
    sim::Reset();
    mf_ResetEngineState();
}

// One message: delivered by the input driver, handled, sent, completed, completion handled.
void OneMessage(const std::vector<uint8_t>& bytes) {
    sim::DeliverSysEx(bytes);
    while (sim::PumpOne()) {
    }
}

void Report(benchmark::State& state, uint64_t allocsBefore) {
    const auto allocs = static_cast<double>(kvnbench::g_allocations - allocsBefore);
    state.counters["allocs_per_msg"] = benchmark::Counter(allocs, benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

// Steady state first (every container at its size), then one message per iteration, the records
// emptied every kBatch messages with the timer paused.
void TimeMessages(benchmark::State& state, const std::vector<uint8_t>& bytes) {
    for (int i = 0; i < 256; ++i) OneMessage(bytes);
    sim::ClearLogs();
    int inBatch = 0;
    const uint64_t allocsBefore = kvnbench::g_allocations;
    for (auto _ : state) {
        OneMessage(bytes);
        if (++inBatch == kBatch) {
            state.PauseTiming();
            sim::ClearLogs();
            inBatch = 0;
            state.ResumeTiming();
        }
    }
    Report(state, allocsBefore);
}

void RunMessages(benchmark::State& state, const std::vector<uint8_t>& bytes, bool withoutTuning,
                 int perMessage) {
    OpenPorts(withoutTuning, perMessage);
    TimeMessages(state, bytes);
    // The last message's completion comes with the next look at the clock; let it come.
    sim::Advance(1000);
    while (sim::PumpOne()) {
    }
    bool sent = false;
    for (const sim::OutEvent& e : sim::OutputLog()) sent |= e.kind == sim::Event::Long && e.data == bytes;
    if (!sent || sim::QueuedInputBuffers() != 1 || g_OutputDone != 1)
        state.SkipWithError("the message did not go round");
    ClosePorts();
}

void BM_SysEx_GsResetWithoutTuning(benchmark::State& state) { RunMessages(state, kGsReset, true, 2); }
BENCHMARK(BM_SysEx_GsResetWithoutTuning);

void BM_SysEx_NonMatching11Bytes(benchmark::State& state) { RunMessages(state, kNonMatching, false, 2); }
BENCHMARK(BM_SysEx_NonMatching11Bytes);

// For comparison: the reset as the engine handles it, followed (after a simulated 16 ms) by the
// tuning of fifteen channels, 90 short messages.
void BM_SysEx_GsResetWithItsTuning(benchmark::State& state) { RunMessages(state, kGsReset, false, 92); }
BENCHMARK(BM_SysEx_GsResetWithItsTuning);

// ---- The simulation's share ----------------------------------------------------------------------
// The same platform calls, in the same order, that the engine makes for one message it forwards:
// the driver's post, the copy and send, the completion's post and its handler.
void SimInProc(plat::HMidiIn handle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t) {
    if (msg == plat::kMimLongData)
        plat::PostWindowMessage(g_PanelWnd.load(), kMsgLongIn, reinterpret_cast<uintptr_t>(handle),
                                static_cast<intptr_t>(param1));
}

void SimOutProc(plat::HMidiOut, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t) {
    if (msg == plat::kMomDone) plat::PostWindowMessage(g_PanelWnd.load(), kMsgOutDone, param1, 0);
}

class SimOnlyRouter final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgLongIn) {
            auto* in = reinterpret_cast<plat::MidiHdr*>(lParam);
            // The wait's look at the clock, which also lets the previous message complete.
            benchmark::DoNotOptimize(plat::ClockMs());
            g_MidiOutHeader->dwBufferLength = in->dwBytesRecorded;
            std::memcpy(g_MidiOutHeader->lpData, in->lpData, in->dwBytesRecorded);
            plat::MidiInPrepareHeader(g_MidiInHandle, g_MidiInHeader, kHdrSize);
            plat::MidiInAddBuffer(g_MidiInHandle, g_MidiInHeader, kHdrSize);
            plat::MidiOutPrepareHeader(g_MidiOutHandle, g_MidiOutHeader, kHdrSize);
            g_MidiOutHeader->dwBytesRecorded = g_MidiOutHeader->dwBufferLength;
            plat::MidiOutLongMsg(g_MidiOutHandle, g_MidiOutHeader, kHdrSize);
        } else if (msg == kMsgOutDone) {
            plat::MidiOutUnprepareHeader(g_MidiOutHandle, reinterpret_cast<plat::MidiHdr*>(wParam), kHdrSize);
        }
        return 0;
    }
};

void BM_SimOnly_11Bytes(benchmark::State& state) {
    sim::Reset();
    mf_ResetEngineState();
    static SimOnlyRouter router;
    g_PanelWnd = sim::CreateTestWindow(&router);
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    sim::SetOutputLongDelay(0, 0);
    g_MidiInHeader = NewHeader();
    g_MidiOutHeader = NewHeader();
    plat::MidiOutOpen(&g_MidiOutHandle, 0, SimOutProc, 0);
    plat::MidiInOpen(&g_MidiInHandle, 0, SimInProc, 0);
    plat::MidiInPrepareHeader(g_MidiInHandle, g_MidiInHeader, kHdrSize);
    plat::MidiInAddBuffer(g_MidiInHandle, g_MidiInHeader, kHdrSize);
    plat::MidiInStart(g_MidiInHandle);
    GrowRecords(2);
    TimeMessages(state, kNonMatching);
    ClosePorts();
}
BENCHMARK(BM_SimOnly_11Bytes);

// ---- Recognition alone ---------------------------------------------------------------------------
void RunRecognition(benchmark::State& state, const std::vector<uint8_t>& bytes, uint8_t expected) {
    mf_ResetEngineState();
    mf_SetBuiltInRows();
    g_MidiInHeader = NewHeader();
    std::memcpy(g_MidiInHeader->lpData, bytes.data(), bytes.size());
    g_MidiInHeader->dwBytesRecorded = static_cast<uint32_t>(bytes.size());
    if (mf_CheckSysEx() != expected) state.SkipWithError("unexpected flags");
    const uint64_t allocsBefore = kvnbench::g_allocations;
    for (auto _ : state) benchmark::DoNotOptimize(mf_CheckSysEx());
    Report(state, allocsBefore);
    FreeHeaders();
    mf_ResetEngineState();
}

void BM_Recognition_GsReset(benchmark::State& state) { RunRecognition(state, kGsReset, kFlagRetune); }
BENCHMARK(BM_Recognition_GsReset);

void BM_Recognition_NonMatching11Bytes(benchmark::State& state) { RunRecognition(state, kNonMatching, 0); }
BENCHMARK(BM_Recognition_NonMatching11Bytes);

}  // namespace

BENCHMARK_MAIN();
