#include "engine/state.h"

#include <algorithm>
#include <iterator>

// Every engine value with its start value. VALUE(type, name, start) is one value; ARRAY(type,
// name, size, start) an array whose elements all start alike.
#define KVN_ENGINE_STATE(VALUE, ARRAY)                                                            \
    /* Ports: user-interface thread only. */                                                      \
    VALUE(plat::HMidiIn, g_MidiInHandle, nullptr)                                                 \
    VALUE(plat::HMidiOut, g_MidiOutHandle, nullptr)                                               \
    VALUE(plat::MidiHdr*, g_MidiInHeader, nullptr)                                                \
    VALUE(plat::MidiHdr*, g_MidiOutHeader, nullptr)                                               \
    ARRAY(MidiCaps, g_MidiInCaps, kMaxCatalogRows, MidiCaps{})                                    \
    ARRAY(MidiCaps, g_MidiOutCaps, kMaxCatalogRows, MidiCaps{})                                   \
    VALUE(int32_t, g_MidiInCount, 0)                                                              \
    VALUE(int32_t, g_MidiOutCount, 0)                                                             \
    VALUE(int32_t, g_MidiInDevice, -1)                                                            \
    VALUE(int32_t, g_MidiOutDevice, -1)                                                           \
    VALUE(std::string, g_MidiInDeviceName, std::string())                                         \
    VALUE(std::string, g_MidiOutDeviceName, std::string())                                        \
    /* Written by the panel's creation (UI), read by the driver and timer threads to post. */     \
    VALUE(std::atomic<plat::HWnd>, g_PanelWnd, nullptr)                                           \
    /* Settings: UI thread, except g_ThruConnect which the driver callbacks read. */              \
    VALUE(int32_t, g_Frequency, 4400)                                                             \
    VALUE(int32_t, g_KeyShift, 0)                                                                 \
    VALUE(int32_t, g_SkipF8, 1)                                                                   \
    VALUE(Atomic32, g_ThruConnect, 0)                                                             \
    VALUE(int32_t, g_RefTone, 0)                                                                  \
    /* Written by the UI thread and the timer; g_OutputDone also by the output driver thread. */  \
    VALUE(Atomic32, g_SysExFamily, -1)                                                            \
    VALUE(Atomic32, g_Redraw, 0)                                                                  \
    VALUE(Atomic32, g_HungCount, -1)                                                              \
    VALUE(Atomic32, g_OutputDone, 1)                                                              \
    /* Written by the UI thread before g_HungCount is released; read by the timer after acquiring \
       it. */                                                                                     \
    ARRAY(char, g_HungMessage, kHungMessageSize, '\0')                                            \
    /* Raised by the input driver thread, lowered by the UI thread. */                            \
    VALUE(Atomic32, g_LongInPosted, 0)                                                            \
    VALUE(Atomic32, g_LongInKept, 0)                                                              \
    VALUE(Atomic32, g_InputWaiting, 0)                                                            \
    /* Taken by the UI thread (which alone counts its holds) and tried by the input driver. */    \
    VALUE(Atomic32, g_Busy, 0)                                                                    \
    VALUE(int32_t, g_HoldDepth, 0)                                                                \
    /* UI thread. */                                                                              \
    VALUE(uint32_t, g_TimerId, 0)                                                                 \
    VALUE(plat::TimeCaps, g_TimeCaps, plat::TimeCaps{})                                           \
    ARRAY(uint8_t, g_RpnMsb, 16, 127)                                                             \
    ARRAY(uint8_t, g_RpnLsb, 16, 127)                                                             \
    ARRAY(char, g_SysExText, 96, '\0')                                                            \
    VALUE(int32_t, g_SysExLength, 0)                                                              \
    ARRAY(std::string, g_IgnoreTable, kTableRows, std::string())                                  \
    ARRAY(std::string, g_TriggerTable, kTableRows, std::string())

#define KVN_DEFINE_ARRAY(type, name, size, start) type name[size] = {};
#define KVN_FILL_ARRAY(type, name, size, start) std::fill(std::begin(name), std::end(name), start);
#define KVN_SKIP(...)

KVN_ENGINE_STATE(KVN_DEFINE_VALUE, KVN_DEFINE_ARRAY)

#define KVN_DEFINE_LAMP(name) Atomic32 name{kLampIdle};
KVN_LAMPS(KVN_DEFINE_LAMP)

namespace {
// The arrays that do not start at zero get their start values before main.
struct ArrayStarts {
    ArrayStarts() { KVN_ENGINE_STATE(KVN_SKIP, KVN_FILL_ARRAY) }
} arrayStarts;
}  // namespace

void mf_ResetEngineState() {
    for (plat::MidiHdr** hdr : {&g_MidiInHeader, &g_MidiOutHeader}) {
        if (*hdr != nullptr) delete[](*hdr)->lpData;
        delete *hdr;
    }
    KVN_ENGINE_STATE(KVN_RESET_VALUE, KVN_FILL_ARRAY)
    for (Atomic32* lamp : kLamps) *lamp = kLampIdle;
}
