// SysEx output through the one output buffer, the driver's completion, and the recovery from an
// output that never finishes.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"

namespace {

constexpr uint32_t kHdrSize = sizeof(plat::MidiHdr);
constexpr uint64_t kCompletionLimitMs = 10000;

void HandBackInputBuffer() {
    if (g_MidiInHandle == nullptr || g_MidiInHeader == nullptr) return;
    plat::MidiInPrepareHeader(g_MidiInHandle, g_MidiInHeader, kHdrSize);
    plat::MidiInAddBuffer(g_MidiInHandle, g_MidiInHeader, kHdrSize);
}

}  // namespace

void mf_HandBackInputBufferIfIdle() {
    // The buffer goes back only when no message of it is waiting to be handled: the driver would
    // otherwise overwrite data the user-interface thread has not read yet.
    if (g_MidiInHeader == nullptr || g_LongInPosted != 0) return;
    const uint32_t flags = g_MidiInHeader->dwFlags;
    if (flags & plat::kMhdrInQueue) return;  // already with the driver
    HandBackInputBuffer();
}

int mf_SendSysEx(const char* data, uint32_t length) {
    const uint64_t t0 = plat::ClockMs();
    while (g_OutputDone == 0) {
        if (plat::ClockMs() - t0 >= kCompletionLimitMs) {
            // The driver never reported the previous message finished: give up on this output.
            char text[kHungMessageSize];
            std::snprintf(text, sizeof text, "[%s] got missing,  Change to [%s]", g_MidiOutDeviceName.c_str(),
                          kMapperName);
            plat::ShowMessageBox(text, "Korvane", plat::kMbOk);
            HandBackInputBuffer();
            mf_MidiOutClose();
            g_MidiOutDevice = 0;
            mf_MidiOutOpen(g_MidiOutDevice);
            mf_RequestRedraw();
            return 1;
        }
    }
    if (length > kSysExBufferSize) length = kSysExBufferSize;
    g_MidiOutHeader->dwBufferLength = length;
    std::memcpy(g_MidiOutHeader->lpData, data, length);
    HandBackInputBuffer();
    plat::MidiOutPrepareHeader(g_MidiOutHandle, g_MidiOutHeader, kHdrSize);
    g_OutputDone = 0;
    g_MidiOutHeader->dwBytesRecorded = length;
    std::snprintf(g_HungMessage, sizeof g_HungMessage, "[%s] got missing.  Sorry,  Exit this application.",
                  g_MidiOutDeviceName.c_str());
    g_HungCount.StoreRelease(0);  // the text is complete before the watchdog can see the count
    plat::MidiOutLongMsg(g_MidiOutHandle, g_MidiOutHeader, kHdrSize);
    g_HungCount = -1;
    mf_ArmActivity(g_LampOut);
    return 0;
}

void MidiOutProc(plat::HMidiOut, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t param2) {
    if (msg != plat::kMomDone) return;
    g_OutputDone = 1;
    if (g_ThruConnect == 0) {
        plat::PostWindowMessage(g_PanelWnd.load(), kMsgOutDone, param1, static_cast<intptr_t>(param2));
    }
}

void OnMidiOutDone(uintptr_t wParam, intptr_t) {
    mf_HandBackInputBufferIfIdle();
    if (g_MidiOutHandle != nullptr) {
        plat::MidiOutUnprepareHeader(g_MidiOutHandle, reinterpret_cast<plat::MidiHdr*>(wParam), kHdrSize);
    }
}
