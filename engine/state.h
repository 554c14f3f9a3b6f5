// The engine state: every process-wide value of the MIDI engine, declared here and defined in
// state.cpp. Four threads meet in it without locks (user interface, input driver, output driver,
// timer); each value that more than one thread touches is one atomic 32-bit word, relaxed except
// for the g_HungMessage / g_HungCount pair. Everything not marked otherwise belongs to the
// user-interface thread alone, or is read by the input's fast path while it holds g_Busy (the
// settings, the output handle, the RPN tracker).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// One 32-bit word shared between threads: plain reads and writes are relaxed atomics; the one pair
// that needs ordering uses the explicit acquire/release forms.
class Atomic32 {
public:
    constexpr Atomic32(int32_t v) : v_(v) {}
    Atomic32(const Atomic32&) = delete;
    Atomic32& operator=(const Atomic32&) = delete;
    operator int32_t() const { return v_.load(std::memory_order_relaxed); }
    Atomic32& operator=(int32_t v) {
        v_.store(v, std::memory_order_relaxed);
        return *this;
    }
    int32_t LoadAcquire() const { return v_.load(std::memory_order_acquire); }
    void StoreRelease(int32_t v) { v_.store(v, std::memory_order_release); }
    int32_t Add(int32_t d) { return v_.fetch_add(d, std::memory_order_acq_rel) + d; }
    bool CompareExchange(int32_t& expected, int32_t desired) {
        return v_.compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
    }

private:
    std::atomic<int32_t> v_;
};
static_assert(sizeof(Atomic32) == 4 && std::atomic<int32_t>::is_always_lock_free);

// ---- Ports and buffers (ports.cpp) ----------------------------------------------------------
constexpr int kMaxCatalogRows = 21;
constexpr uint32_t kSysExBufferSize = 16384;
constexpr const char* kMapperName = "Window's MIDI Mapper";

struct MidiCaps {
    char szPname[plat::kMaxPnameLen];
};

extern plat::HMidiIn g_MidiInHandle;             // null: no input open
extern plat::HMidiOut g_MidiOutHandle;           // null: no output open
extern plat::MidiHdr* g_MidiInHeader;            // the one input SysEx buffer, allocated once at start-up
extern plat::MidiHdr* g_MidiOutHeader;           // the one output SysEx buffer, allocated once at start-up
extern MidiCaps g_MidiInCaps[kMaxCatalogRows];   // row k = input device k
extern MidiCaps g_MidiOutCaps[kMaxCatalogRows];  // row 0 = the mapper, row k = output device k - 1
extern int32_t g_MidiInCount;                    // 0..21
extern int32_t g_MidiOutCount;                   // 1..21 once enumerated
extern int32_t g_MidiInDevice;                   // current input row, -1 none
extern int32_t g_MidiOutDevice;                  // current output row, -1 none
extern std::string g_MidiInDeviceName;
extern std::string g_MidiOutDeviceName;

// The panel window that receives every posted engine message. Written once at window creation,
// read by the driver and timer threads.
extern std::atomic<plat::HWnd> g_PanelWnd;

// ---- Settings as the engine uses them -------------------------------------------------------
extern int32_t g_Frequency;     // tenths of a hertz, 4350..4455
extern int32_t g_KeyShift;      // semitones, -7..7
extern int32_t g_SkipF8;        // 1: timing clock is not forwarded
extern Atomic32 g_ThruConnect;  // 1 while the driver joins input to output; read by driver threads
extern int32_t g_RefTone;       // 0 off, 1 soft, 2 loud

// ---- Indicators and countdowns (shared with the timer thread) -------------------------------
extern Atomic32 g_SysExFamily;  // -1 none, 0 universal, 1 Roland, 2 Yamaha
extern Atomic32 g_Redraw;       // repaint request, turned into one WM_PAINT per tick
extern Atomic32 g_HungCount;    // watchdog: -1 idle, else ticks spent inside a long send
extern Atomic32 g_OutputDone;   // 1: the output driver has finished the last long message (release/acquire)

constexpr int32_t kLampIdle = -1;

// The lamps: countdowns in 10 ms ticks, idle (kLampIdle) at start, lit while >= 1, armed on the
// user-interface thread (g_InputSilence on the input driver thread) and lowered by the timer
// thread. This one list makes their definitions, kLamps and so the tick, the reset and the tests.
#define KVN_LAMPS(X)    \
    X(g_LampFreqDown)   \
    X(g_LampFreqUp)     \
    X(g_LampMasterTune) \
    X(g_LampIn)         \
    X(g_LampOut)        \
    X(g_LampPanic)      \
    X(g_LampDrop)       \
    X(g_LampKeyDown)    \
    X(g_LampKeyUp)      \
    X(g_InputSilence) /* refreshed by every input callback */

#define KVN_DECLARE_LAMP(name) extern Atomic32 name;
KVN_LAMPS(KVN_DECLARE_LAMP)
#undef KVN_DECLARE_LAMP

#define KVN_LAMP_ADDRESS(name) &name,
inline Atomic32* const kLamps[] = {KVN_LAMPS(KVN_LAMP_ADDRESS)};
#undef KVN_LAMP_ADDRESS

// Text of the watchdog's message; complete before g_HungCount is released to 0.
constexpr size_t kHungMessageSize = 160;
extern char g_HungMessage[kHungMessageSize];

// Long-data messages posted by the input driver thread and not yet handled. While one is waiting,
// the input buffer holds its data and must not go back to the driver.
extern Atomic32 g_LongInPosted;
// 1 when the input driver returned the buffer without posting it (connection thru was on, or the
// post failed): nobody will handle it, and it waits to be handed back. Set by the input driver
// thread (release), taken by the user-interface thread (acquire).
extern Atomic32 g_LongInKept;

// Input messages posted to the user-interface thread and not yet handled to the end: while one
// waits there, later input follows it the same way. Raised by the input driver thread.
extern Atomic32 g_InputWaiting;

// The busy flag: 1 while the user-interface thread runs an action that sends or changes what the
// thru reads, or while the input driver thread handles a message on the fast path. The input side
// only tries it (one compare-and-swap) and never waits; see CHold in engine.h.
extern Atomic32 g_Busy;
extern int32_t g_HoldDepth;  // the user-interface thread's nested holds

extern uint32_t g_TimerId;  // 0: no timer running
extern plat::TimeCaps g_TimeCaps;

// ---- Short-message inspection ----------------------------------------------------------------
extern uint8_t g_RpnMsb[16];  // last value of control 101 per channel, 127 at start
extern uint8_t g_RpnLsb[16];  // last value of control 100 per channel, 127 at start

// ---- SysEx recognition -----------------------------------------------------------------------
constexpr int kSysExInspectLimit = 30;  // longer messages are forwarded without inspection
extern char g_SysExText[96];
extern int32_t g_SysExLength;

// ---- Pattern tables --------------------------------------------------------------------------
constexpr int kTableRows = 9;
constexpr int kFixedRows = 5;
extern std::string g_IgnoreTable[kTableRows];
extern std::string g_TriggerTable[kTableRows];
extern const char* const kIgnoreLabels[kTableRows];
extern const char* const kTriggerLabels[kTableRows];
extern const char* const kIgnoreBuiltIn[kFixedRows];
extern const char* const kTriggerBuiltIn[kFixedRows];

// Tables of start values: one line per value, X(type, name, start), expanded once into the
// definitions and once into the reset, so that each start value is written in one place.
#define KVN_DEFINE_VALUE(type, name, start) type name = start;
#define KVN_RESET_VALUE(type, name, start) name = start;

// Puts every value above back to its start-of-process value (tests use it between cases), freeing
// the port buffers. Only for a world whose ports are gone: a driver may still hold the buffers.
void mf_ResetEngineState();
