#include "tests/support/engine_fixture.h"

#include <cstdlib>

namespace kvntest {

intptr_t EngineWindow::WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    switch (msg) {
    case kMsgShortIn:
        OnMidiShortMsg(wParam, lParam);
        break;
    case kMsgLongIn:
        OnMidiLongMsg(wParam, lParam);
        break;
    case kMsgOutDone:
        OnMidiOutDone(wParam, lParam);
        break;
    case kMsgOutBack:
        OnMidiOutBack(wParam, lParam);
        break;
    case kMsgInGone:
        OnMidiInGone(wParam, lParam);
        break;
    case plat::kWmPaint:
        ++paints;
        break;
    default:
        break;
    }
    return 0;
}

namespace {
void FreeHeader(plat::MidiHdr*& hdr) {
    if (hdr == nullptr) return;
    delete[] hdr->lpData;
    delete hdr;
    hdr = nullptr;
}
}  // namespace

void ResetEverything() {
    // The buffers belong to the test world here; the engine frees its own through mf_DeviceClose.
    sim::Reset();
    mf_ResetEngineState();
}

void EngineTest::SetUp() {
    ResetEverything();
    wnd_ = sim::CreateTestWindow(&window_);
    g_PanelWnd = wnd_;
    mf_SetBuiltInRows();
}

void EngineTest::TearDown() {
    // Headers the fixture made itself (OpenPortsDirect) are freed here.
    FreeHeader(g_MidiInHeader);
    FreeHeader(g_MidiOutHeader);
    ResetEverything();
}

void EngineTest::OpenPortsDirect(int outputId, bool withInput) {
    if (sim::OutputLog().empty() && plat::MidiOutGetNumDevs() == 0) sim::SetOutputDevices({"Synth"});
    if (withInput && plat::MidiInGetNumDevs() == 0) sim::SetInputDevices({"Keyboard"});
    auto makeHeader = [] {
        auto* hdr = new plat::MidiHdr{};
        hdr->lpData = new char[kSysExBufferSize]{};
        hdr->dwBufferLength = kSysExBufferSize;
        return hdr;
    };
    if (g_MidiInHeader == nullptr) g_MidiInHeader = makeHeader();
    if (g_MidiOutHeader == nullptr) g_MidiOutHeader = makeHeader();
    ASSERT_EQ(plat::MidiOutOpen(&g_MidiOutHandle, static_cast<uint32_t>(outputId), MidiOutProc, 0), 0u);
    g_MidiOutDevice = outputId + 1;
    if (withInput) {
        ASSERT_EQ(plat::MidiInOpen(&g_MidiInHandle, 0, MidiInProc, 0), 0u);
        g_MidiInDevice = 0;
        plat::MidiInPrepareHeader(g_MidiInHandle, g_MidiInHeader, sizeof(plat::MidiHdr));
        plat::MidiInAddBuffer(g_MidiInHandle, g_MidiInHeader, sizeof(plat::MidiHdr));
        plat::MidiInStart(g_MidiInHandle);
    }
    sim::ClearOutputLog();
}

void EngineTest::Play(uint32_t word) {
    ASSERT_TRUE(sim::DeliverShort(word));
    sim::Pump();
}

std::vector<uint32_t> EngineTest::SentWords() {
    std::vector<uint32_t> words;
    for (const auto& e : sim::ShortMessages()) words.push_back(e.word);
    return words;
}

}  // namespace kvntest
