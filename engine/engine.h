// The MIDI engine's operations. All of them run on the user-interface thread, except the three
// platform callbacks (MidiInProc, MidiOutProc, TimerProc), which run on driver and timer threads
// and only touch atomics and post window messages, and mf_ShortMsgIn, which MidiInProc may run
// on the fast path while it holds the busy flag.
#pragma once

#include <cstdint>

#include "engine/state.h"

// Inspection flags of a received message.
constexpr uint8_t kFlagDrop = 1;    // not forwarded
constexpr uint8_t kFlagRetune = 2;  // the tuning follows it

// Window messages the engine posts to the panel window.
constexpr uint32_t kMsgShortIn = plat::kWmApp;      // wParam: packed short message
constexpr uint32_t kMsgLongIn = plat::kWmApp + 1;   // wParam: input handle, lParam: input header
constexpr uint32_t kMsgOutDone = plat::kWmApp + 2;  // wParam: finished output header
constexpr uint32_t kMsgOutBack = plat::kWmApp + 3;  // wParam: output handle whose device is back
constexpr uint32_t kMsgInGone = plat::kWmApp + 4;   // wParam: input handle whose device has gone

// ---- Timer, lamps and repaint ------------------------------------------------------------------
void mf_TimerInitialize();
void mf_TimerStart();  // only when no timer runs: periodic 10 ms, 1 ms resolution
void mf_TimerKill();
void mf_TimerEndPeriod();
void TimerProc(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2);

// Countdowns of the layers above (the panel's icon blink): each tick lowers them like the lamps
// and asks for a repaint when one runs out, without knowing what they show. Adding one twice adds
// it once; room for four.
void mf_TimerAlsoLowers(Atomic32& countdown);

void mf_ArmActivity(Atomic32& lamp);  // arm with 3 ticks only when idle, and request a redraw
void mf_RequestRedraw();              // the next tick posts one WM_PAINT
void mf_PostPaint();                  // WM_PAINT posted at once

// ---- Turns with the input's fast path ----------------------------------------------------------
// The user-interface thread holds the busy flag for the life of a CHold: around each action that
// sends or changes what the thru reads, so that input handled on the fast path falls before or
// after the whole action. Holds nest. A CLetGo gives the flag up for the life of a modal loop
// (message box, picker), in which other messages are dispatched and input keeps flowing.
class CHold {
public:
    CHold();
    ~CHold();
    CHold(const CHold&) = delete;
    CHold& operator=(const CHold&) = delete;
};

class CLetGo {
public:
    CLetGo();
    ~CLetGo();
    CLetGo(const CLetGo&) = delete;
    CLetGo& operator=(const CLetGo&) = delete;

private:
    int32_t m_Depth;
};

// ---- Input hand-off and short-message thru -----------------------------------------------------
void MidiInProc(plat::HMidiIn handle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
void OnMidiShortMsg(uintptr_t wParam, intptr_t lParam);
void OnMidiLongMsg(uintptr_t wParam, intptr_t lParam);
void mf_ShortMsgIn(uint32_t msg);
uint8_t mf_CheckControlChange(uint8_t status, uint8_t controller, uint8_t value);
int mf_SendShortMsg(uint8_t status, uint8_t data1, uint8_t data2);

// ---- Tuning --------------------------------------------------------------------------------
// Channel Fine Tuning for 435.0 .. 445.5 Hz in 0.5 Hz steps: per whole hertz the entry for the
// whole hertz then for the half above it, each LSB then MSB.
extern const uint8_t g_TuneTable[11][2][2];
void mf_SendMasterTune(int channel);  // -1: every channel but 10

// ---- Output-wide commands ----------------------------------------------------------------------
void mf_AllNotesOff();
void mf_AllSoundOff();
void mf_ResetAllControllers();
void mf_RefTone();
void mf_ThruConnect(int on);
// The reference tone state after a press on the soft (level 1) or loud (level 2) button.
int32_t mf_NextRefTone(int32_t current, int32_t button);

// ---- Pattern tables ----------------------------------------------------------------------------
void mf_SetBuiltInRows();  // rows 1-5 of both tables

// ---- SysEx recognition and output --------------------------------------------------------------
void mf_LongMsgIn(plat::HMidiIn handle, plat::MidiHdr* hdr);
uint8_t mf_CheckSysEx();
void mf_SysExToText();
int mf_SendSysEx(const char* data, uint32_t length);
void MidiOutProc(plat::HMidiOut handle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t param2);
void OnMidiOutDone(uintptr_t wParam, intptr_t lParam);
// Gives the input SysEx buffer back to the driver when the driver returned it without posting it
// (connection thru was on, or the post failed); otherwise it is with the driver or a message of it
// waits to be handled, and nothing happens.
void mf_HandBackInputBufferIfIdle();

// ---- Device catalogue and ports ----------------------------------------------------------------
void mf_DeviceInitialize();
void mf_MidiInEnumerate();
void mf_MidiOutEnumerate();
uint32_t mf_MidiInOpen(int32_t row);
void mf_MidiInStart();
void mf_MidiInClose();
uint32_t mf_MidiOutOpen(int32_t row);
// What an output that has just opened sends: notes off, sound off, controllers reset, a pause,
// the master tune.
void mf_MidiOutGreet();
// The devices of the open ports coming and going (kMsgOutBack, kMsgInGone); a message about a
// port closed since is dropped.
void OnMidiOutBack(uintptr_t wParam, intptr_t lParam);
void OnMidiInGone(uintptr_t wParam, intptr_t lParam);
void mf_MidiOutClose();
void mf_MidiInSwitch(int32_t row);
void mf_MidiOutSwitch(int32_t row);
void mf_DeviceClose();
// True when input name `in` and output name `out` are the two ends of one virtual cable, judged
// from the side that is already fixed (`fixedIsInput`).
bool mf_IsCable(const char* in, const char* out, bool fixedIsInput);
