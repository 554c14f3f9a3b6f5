// Commands that act on the output as a whole: channel-wide silencing and reset, the reference
// tone on channel 16 and connection thru.
#include "engine/engine.h"

namespace {

void ControllerOnAllChannels(uint8_t controller) {
    for (int ch = 0; ch < 16; ++ch) mf_SendShortMsg(static_cast<uint8_t>(0xB0 + ch), controller, 0);
}

}  // namespace

void mf_AllNotesOff() { ControllerOnAllChannels(123); }
void mf_AllSoundOff() { ControllerOnAllChannels(120); }
void mf_ResetAllControllers() { ControllerOnAllChannels(121); }

void mf_RefTone() {
    mf_SendShortMsg(0xBF, 123, 0);
    mf_SendShortMsg(0xBF, 120, 0);
    mf_SendShortMsg(0xBF, 121, 0);
    mf_SendMasterTune(15);  // the tone follows the chosen pitch
    if (g_RefTone == 0) {
        mf_SendShortMsg(0xBF, 7, 0);
        mf_SendShortMsg(0xBF, 11, 0);
        return;
    }
    mf_SendShortMsg(0xBF, 7, 127);
    mf_SendShortMsg(0xBF, 11, 127);
    mf_SendShortMsg(0xCF, 74, 0);
    mf_SendShortMsg(0x9F, 69, g_RefTone == 1 ? 100 : 127);
}

int32_t mf_NextRefTone(int32_t current, int32_t button) {
    // Each button switches its own level on and off; the other level's button changes level.
    return current == button ? 0 : button;
}

void mf_ThruConnect(int on) {
    if (on != 0) {
        if (g_MidiInHandle != nullptr) {
            plat::MidiConnect(g_MidiInHandle, g_MidiOutHandle);
        } else {
            g_ThruConnect = 0;
        }
    } else {
        plat::MidiDisconnect(g_MidiInHandle, g_MidiOutHandle);
        // A SysEx buffer the driver returned while it forwarded by itself was never posted to us;
        // without this the input would stay deaf to SysEx until it is restarted.
        mf_HandBackInputBufferIfIdle();
        mf_SendMasterTune(-1);
    }
    mf_AllNotesOff();
    mf_AllSoundOff();
}
