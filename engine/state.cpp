#include "engine/state.h"

#include <cstring>

// Ports: user-interface thread only.
plat::HMidiIn g_MidiInHandle = nullptr;
plat::HMidiOut g_MidiOutHandle = nullptr;
plat::MidiHdr* g_MidiInHeader = nullptr;
plat::MidiHdr* g_MidiOutHeader = nullptr;
MidiCaps g_MidiInCaps[kMaxCatalogRows] = {};
MidiCaps g_MidiOutCaps[kMaxCatalogRows] = {};
int32_t g_MidiInCount = 0;
int32_t g_MidiOutCount = 0;
int32_t g_MidiInDevice = -1;
int32_t g_MidiOutDevice = -1;
std::string g_MidiInDeviceName;
std::string g_MidiOutDeviceName;
int32_t g_MidiInPicked = -1;
int32_t g_MidiOutPicked = -1;
int32_t g_PickOutput = 0;

// Written by the panel's creation (UI), read by the driver and timer threads to post.
std::atomic<plat::HWnd> g_PanelWnd{nullptr};

// Settings: UI thread, except g_ThruConnect which the driver callbacks read.
int32_t g_Frequency = 4400;
int32_t g_KeyShift = 0;
int32_t g_SkipF8 = 1;
Atomic32 g_ThruConnect{0};
int32_t g_RefTone = 0;

// Written by the UI thread and the timer; g_OutputDone also by the output driver thread.
Atomic32 g_SysExFamily{-1};
Atomic32 g_Redraw{0};
Atomic32 g_HungCount{-1};
Atomic32 g_OutputDone{1};

// Armed on the UI thread (g_InputSilence on the input driver thread), lowered by the timer.
Atomic32 g_LampFreqDown{kLampIdle};
Atomic32 g_LampFreqUp{kLampIdle};
Atomic32 g_LampMasterTune{kLampIdle};
Atomic32 g_LampIn{kLampIdle};
Atomic32 g_LampOut{kLampIdle};
Atomic32 g_LampPanic{kLampIdle};
Atomic32 g_LampDrop{kLampIdle};
Atomic32 g_LampKeyDown{kLampIdle};
Atomic32 g_LampKeyUp{kLampIdle};
Atomic32 g_BlinkPhase{kLampIdle};
Atomic32 g_BlinkHold{kLampIdle};
Atomic32 g_InputSilence{kLampIdle};

// Written by the UI thread before g_HungCount is released; read by the timer after acquiring it.
char g_HungMessage[kHungMessageSize] = {};

// Raised by the input driver thread, lowered by the UI thread.
Atomic32 g_LongInPosted{0};
Atomic32 g_LongInKept{0};

// UI thread.
uint32_t g_TimerId = 0;
plat::TimeCaps g_TimeCaps = {};
uint8_t g_RpnMsb[16];
uint8_t g_RpnLsb[16];
char g_SysExText[96] = {};
int32_t g_SysExLength = 0;
std::string g_IgnoreTable[kTableRows];
std::string g_TriggerTable[kTableRows];

namespace {
struct RpnInit {
    RpnInit() {
        std::memset(g_RpnMsb, 127, sizeof g_RpnMsb);
        std::memset(g_RpnLsb, 127, sizeof g_RpnLsb);
    }
} rpnInit;
}  // namespace

void mf_ResetEngineState() {
    g_MidiInHandle = nullptr;
    g_MidiOutHandle = nullptr;
    for (plat::MidiHdr** hdr : {&g_MidiInHeader, &g_MidiOutHeader}) {
        if (*hdr != nullptr) delete[](*hdr)->lpData;
        delete *hdr;
        *hdr = nullptr;
    }
    std::memset(g_MidiInCaps, 0, sizeof g_MidiInCaps);
    std::memset(g_MidiOutCaps, 0, sizeof g_MidiOutCaps);
    g_MidiInCount = 0;
    g_MidiOutCount = 0;
    g_MidiInDevice = -1;
    g_MidiOutDevice = -1;
    g_MidiInDeviceName.clear();
    g_MidiOutDeviceName.clear();
    g_MidiInPicked = -1;
    g_MidiOutPicked = -1;
    g_PickOutput = 0;
    g_PanelWnd = nullptr;

    g_Frequency = 4400;
    g_KeyShift = 0;
    g_SkipF8 = 1;
    g_ThruConnect = 0;
    g_RefTone = 0;

    g_SysExFamily = -1;
    g_Redraw = 0;
    g_HungCount = -1;
    g_OutputDone = 1;
    for (Atomic32* lamp :
         {&g_LampFreqDown, &g_LampFreqUp, &g_LampMasterTune, &g_LampIn, &g_LampOut, &g_LampPanic, &g_LampDrop,
          &g_LampKeyDown, &g_LampKeyUp, &g_BlinkPhase, &g_BlinkHold, &g_InputSilence}) {
        *lamp = kLampIdle;
    }
    std::memset(g_HungMessage, 0, sizeof g_HungMessage);

    g_LongInPosted = 0;
    g_LongInKept = 0;
    g_TimerId = 0;
    g_TimeCaps = {};
    std::memset(g_RpnMsb, 127, sizeof g_RpnMsb);
    std::memset(g_RpnLsb, 127, sizeof g_RpnLsb);
    std::memset(g_SysExText, 0, sizeof g_SysExText);
    g_SysExLength = 0;
    for (auto& row : g_IgnoreTable) row.clear();
    for (auto& row : g_TriggerTable) row.clear();
}
