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
    // Only a buffer the driver returned without a message to us goes back here; one with a
    // message waiting would be overwritten before it is read. The header's flags cannot tell the
    // two apart: the driver clears "in queue" before its callback posts, and a buffer handed back
    // in between would be filled again while its message is still on the way (and reading the
    // flags at all races with the driver's writes).
    int32_t kept = 1;
    if (g_MidiInHeader == nullptr || g_LongInPosted != 0 || !g_LongInKept.CompareExchange(kept, 0)) return;
    HandBackInputBuffer();
}

int mf_SendSysEx(const char* data, uint32_t length) {
    const uint64_t t0 = plat::ClockMs();
    // Acquire: the driver may read the buffer until it reports the message done; what it did
    // with the buffer must be over before the copy below writes into it.
    while (g_OutputDone.LoadAcquire() == 0) {
        if (plat::ClockMs() - t0 >= kCompletionLimitMs) {
            // The driver never reported the previous message finished: give up on this output.
            char text[kHungMessageSize];
            std::snprintf(text, sizeof text, "[%s] got missing,  Change to [%s]", g_MidiOutDeviceName.c_str(),
                          kMapperName);
            {
                const CLetGo modal;  // the box's loop dispatches other actions
                plat::ShowMessageBox(text, "Korvane", plat::kMbOk);
            }
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

void MidiOutProc(plat::HMidiOut handle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t param2) {
    if (msg == plat::kMomDeviceBack) {
        plat::PostWindowMessage(g_PanelWnd.load(), kMsgOutBack, reinterpret_cast<uintptr_t>(handle), 0);
        return;
    }
    if (msg != plat::kMomDone) return;
    g_OutputDone.StoreRelease(1);  // publishes the driver's last use of the buffer (see mf_SendSysEx)
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
