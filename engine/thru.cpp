// Input hand-off from the driver thread, the fast path beside it, and the whole path of a short
// message: clock filter, key shift, control-change inspection and the one send operation for every
// composed short message.
#include <thread>

#include "engine/engine.h"

namespace {

// The fast path holds the flag for one message at most: spinning that out is short, and the
// input side never waits for us in return.
void TakeBusy() {
    for (int32_t expected = 0; !g_Busy.CompareExchange(expected, 1); expected = 0) std::this_thread::yield();
}

// Lowers the count of waiting input once its message has been handled to the end.
struct Handled {
    ~Handled() { g_InputWaiting.Add(-1); }
};

}  // namespace

CHold::CHold() {
    if (g_HoldDepth++ == 0) TakeBusy();
}

CHold::~CHold() {
    if (--g_HoldDepth == 0) g_Busy.StoreRelease(0);
}

CLetGo::CLetGo() : m_Depth(g_HoldDepth) {
    if (m_Depth == 0) return;
    g_HoldDepth = 0;
    g_Busy.StoreRelease(0);
}

CLetGo::~CLetGo() {
    if (m_Depth == 0) return;
    TakeBusy();
    g_HoldDepth = m_Depth;
}

void MidiInProc(plat::HMidiIn handle, uint32_t msg, uintptr_t, uintptr_t param1, uintptr_t param2) {
    // Driver thread: the hand-off, or a short message on the fast path below; nothing here waits,
    // allocates or calls the system. Data travels by value (short) or by the address of the one
    // input buffer (SysEx), both inside a posted message.
    if (msg == plat::kMimDeviceGone) {  // whether or not the driver forwards by itself
        plat::PostWindowMessage(g_PanelWnd.load(), kMsgInGone, reinterpret_cast<uintptr_t>(handle), 0);
        return;
    }
    g_InputSilence = 500;
    if (g_ThruConnect != 0) {
        // The driver forwards by itself. A SysEx buffer it returns now reaches nobody; it is
        // handed back when the link is removed.
        if (msg == plat::kMimLongData) g_LongInKept.StoreRelease(1);
        return;
    }
    if (msg == plat::kMimData) {
        // The fast path: handled right here when its output cannot differ from the hand-off's. No
        // earlier input waits for the user-interface thread, which runs no action now (the flag
        // is ours), and nothing of its sends still waits at the output (asked once the flag is
        // ours: only a holder sends). Reset All Controllers goes the long way: its retune pauses.
        int32_t idle = 0;
        if (g_InputWaiting == 0 && (param1 & 0xFFF0) != 0x79B0 && g_Busy.CompareExchange(idle, 1)) {
            const bool open = plat::MidiInFastPathOpen(handle);
            if (open) mf_ShortMsgIn(static_cast<uint32_t>(param1));
            g_Busy.StoreRelease(0);
            if (open) return;
        }
        // Counted once posted: only this thread reads the count, so the handler's lowering may
        // come first (a dip below zero nobody sees).
        if (plat::PostWindowMessage(g_PanelWnd.load(), kMsgShortIn, param1, static_cast<intptr_t>(param2)))
            g_InputWaiting.Add(1);
    } else if (msg == plat::kMimLongData) {
        g_LongInPosted.Add(1);
        if (plat::PostWindowMessage(g_PanelWnd.load(), kMsgLongIn, reinterpret_cast<uintptr_t>(handle),
                                    static_cast<intptr_t>(param1))) {
            g_InputWaiting.Add(1);
        } else {
            g_LongInPosted.Add(-1);
            g_LongInKept.StoreRelease(1);
        }
    }
}

void OnMidiShortMsg(uintptr_t wParam, intptr_t) {
    const Handled handled;
    // A SysEx buffer kept because its message could not be posted (the queue was full) goes back
    // to the driver once the queue is being worked off, or no SysEx would ever come in again.
    if (g_LongInKept != 0 && g_ThruConnect == 0) mf_HandBackInputBufferIfIdle();
    mf_ShortMsgIn(static_cast<uint32_t>(wParam));
}

void OnMidiLongMsg(uintptr_t wParam, intptr_t lParam) {
    const Handled handled;
    g_LongInPosted.Add(-1);
    auto* hdr = reinterpret_cast<plat::MidiHdr*>(lParam);
    // A buffer handed back empty (the input being reset while it closes) is neither handled nor
    // queued again.
    // A message of an input that has been closed since (a switch) is stale: its buffer is the
    // new port's now.
    if (g_MidiInHandle == nullptr || hdr == nullptr) return;
    if (reinterpret_cast<plat::HMidiIn>(wParam) != g_MidiInHandle) return;
    if (static_cast<int32_t>(hdr->dwBytesRecorded) <= 0) return;
    mf_LongMsgIn(reinterpret_cast<plat::HMidiIn>(wParam), hdr);
}

void mf_ShortMsgIn(uint32_t msg) {
    const auto status = static_cast<uint8_t>(msg & 0xFF);
    const auto data1 = static_cast<uint8_t>((msg >> 8) & 0xFF);
    const auto data2 = static_cast<uint8_t>((msg >> 16) & 0xFF);

    if (g_ThruConnect == 1) {
        // Posted before the driver link was made: the driver forwards from now on; only the
        // lamps show the traffic.
        if (g_LampIn == kLampIdle) {
            g_LampIn = 3;
            g_LampOut = 3;
            mf_RequestRedraw();
        }
        return;
    }
    if (status == 0xF8 && g_SkipF8 == 1) return;

    if (status >= 0xF0) {
        plat::MidiOutShortMsg(g_MidiOutHandle, msg);
        mf_ArmActivity(g_LampOut);
    } else {
        const uint8_t kind = status & 0xF0;
        const uint8_t channel = status & 0x0F;
        uint8_t note = data1;
        uint8_t flags = 0;
        if ((kind == 0x80 || kind == 0x90) && channel != 9) {
            int shifted = data1 + g_KeyShift;
            if (shifted < 0) shifted += 12;
            if (shifted > 127) shifted -= 12;
            note = static_cast<uint8_t>(shifted);
        } else if (kind == 0xB0) {
            flags = mf_CheckControlChange(status, data1, data2);
        }
        if (flags & kFlagDrop) {
            g_LampDrop = 50;
            mf_PostPaint();
        } else {
            mf_SendShortMsg(status, note, data2);
        }
        if (flags & kFlagRetune) {
            plat::Sleep(1);
            mf_SendMasterTune(channel);
        }
    }
    mf_ArmActivity(g_LampIn);
}

uint8_t mf_CheckControlChange(uint8_t status, uint8_t controller, uint8_t value) {
    const uint8_t channel = status & 0x0F;
    if (channel == 9) return 0;  // the percussion channel is never inspected
    switch (controller) {
    case 100:
        g_RpnLsb[channel] = value;
        return 0;
    case 101:
        g_RpnMsb[channel] = value;
        return 0;
    case 6:
    case 38:
        // Channel Fine Tuning from elsewhere would undo ours.
        if (g_RpnLsb[channel] == 1 && g_RpnMsb[channel] == 0) {
            g_LampDrop = 50;
            mf_PostPaint();
            return kFlagDrop;
        }
        return 0;
    case 121:
        return kFlagRetune;
    default:
        return 0;
    }
}

int mf_SendShortMsg(uint8_t status, uint8_t data1, uint8_t data2) {
    if ((status & 0xF0) == 0x80) data2 = 127;  // every Note Off leaves with release velocity 127
    const uint32_t word = status | (static_cast<uint32_t>(data1) << 8) | (static_cast<uint32_t>(data2) << 16);
    plat::MidiOutShortMsg(g_MidiOutHandle, word);
    mf_ArmActivity(g_LampOut);
    return 0;
}
