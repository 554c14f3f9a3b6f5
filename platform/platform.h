// The platform as Korvane's core sees it: MIDI ports with driver callbacks, a periodic multimedia
// timer, window messages posted from any thread, message boxes, a clock, sleep and process exit.
// Every adapter (win32, sdl, sim) implements these functions; the core never includes an OS header.
// Names and values follow the WinMM / Win32 calls they stand for (renamed where <windows.h> has a
// macro of that name), so the Windows adapter is a thin pass-through and the other adapters have a
// precise contract to emulate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat {

// ---- Result codes -------------------------------------------------------------------------
constexpr uint32_t kMmNoError = 0;
constexpr uint32_t kMmError = 1;
constexpr uint32_t kMmBadDeviceId = 2;
constexpr uint32_t kMmAllocated = 4;  // device held by another program
constexpr uint32_t kMmInvalHandle = 5;
constexpr uint32_t kMmInvalParam = 11;
constexpr uint32_t kMidiErrUnprepared = 64;
constexpr uint32_t kMidiErrStillPlaying = 65;

constexpr uint32_t kMidiMapper = 0xFFFFFFFFu;  // output device id of the system's MIDI mapper

// ---- Driver callback messages -------------------------------------------------------------
constexpr uint32_t kMimOpen = 0x3C1;
constexpr uint32_t kMimClose = 0x3C2;
constexpr uint32_t kMimData = 0x3C3;
constexpr uint32_t kMimLongData = 0x3C4;
constexpr uint32_t kMimError = 0x3C5;
constexpr uint32_t kMimLongError = 0x3C6;
constexpr uint32_t kMomOpen = 0x3C7;
constexpr uint32_t kMomClose = 0x3C8;
constexpr uint32_t kMomDone = 0x3C9;
// Beyond WinMM, which never sends them: MIDI systems whose devices come and go while a port of
// ours stays open (ALSA, JACK) tell an input that its device has gone, and an output that its
// device is back and linked again. Matched by the device's full name.
constexpr uint32_t kMimDeviceGone = 0x3E0;
constexpr uint32_t kMomDeviceBack = 0x3E1;

// ---- MIDI header flags --------------------------------------------------------------------
constexpr uint32_t kMhdrDone = 0x1;
constexpr uint32_t kMhdrPrepared = 0x2;
constexpr uint32_t kMhdrInQueue = 0x4;

// Same layout as WinMM's MIDIHDR, which the system headers pack to single bytes (112 bytes on
// x64), so the Windows adapter can hand it to the driver as it is.
#pragma pack(push, 1)
struct MidiHdr {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    MidiHdr* lpNext;
    uintptr_t reserved;
    uint32_t dwOffset;
    uintptr_t dwReserved[8];
};
#pragma pack(pop)

constexpr size_t kMaxPnameLen = 32;  // product name, terminator included

struct MidiInPort;
struct MidiOutPort;
using HMidiIn = MidiInPort*;
using HMidiOut = MidiOutPort*;

using MidiInCallback = void (*)(HMidiIn handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                uintptr_t param2);
using MidiOutCallback = void (*)(HMidiOut handle, uint32_t msg, uintptr_t instance, uintptr_t param1,
                                 uintptr_t param2);

uint32_t MidiInGetNumDevs();
uint32_t MidiOutGetNumDevs();
// Copies the product name of device `id` (at most kMaxPnameLen - 1 bytes and a terminator).
uint32_t MidiInGetDevName(uint32_t id, char* name, size_t size);
uint32_t MidiOutGetDevName(uint32_t id, char* name, size_t size);

uint32_t MidiInOpen(HMidiIn* handle, uint32_t id, MidiInCallback callback, uintptr_t instance);
uint32_t MidiInPrepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size);
uint32_t MidiInUnprepareHeader(HMidiIn handle, MidiHdr* hdr, uint32_t size);
uint32_t MidiInAddBuffer(HMidiIn handle, MidiHdr* hdr, uint32_t size);
uint32_t MidiInStart(HMidiIn handle);
uint32_t MidiInStop(HMidiIn handle);
uint32_t MidiInReset(HMidiIn handle);
uint32_t MidiInClose(HMidiIn handle);

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t id, MidiOutCallback callback, uintptr_t instance);
uint32_t MidiOutShortMsg(HMidiOut handle, uint32_t msg);
uint32_t MidiOutPrepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size);
uint32_t MidiOutUnprepareHeader(HMidiOut handle, MidiHdr* hdr, uint32_t size);
uint32_t MidiOutLongMsg(HMidiOut handle, MidiHdr* hdr, uint32_t size);
uint32_t MidiOutReset(HMidiOut handle);
uint32_t MidiOutClose(HMidiOut handle);

// On the MIDI system's thread, inside an input callback for a short message: whether the
// message may be handled right here, its sends leaving in this cycle at the event's own place.
// True only while nothing sent from another thread still waits at the platform's output (no
// queued event, no long message between hand-over and done notice) and the platform can write
// this cycle's output from here. Platforms without a fast path return false.
bool MidiInFastPathOpen(HMidiIn in);

// The driver forwards everything arriving at `in` to `out` until disconnected.
uint32_t MidiConnect(HMidiIn in, HMidiOut out);
uint32_t MidiDisconnect(HMidiIn in, HMidiOut out);

// A device name read from the settings, as an earlier version named it, rewritten once to the name
// the catalogue of that direction now shows for the same device, where it names one device alone.
// Platforms whose names never changed leave it as it is.
void MidiTranslateStoredName(bool input, std::string& name);

// ---- Multimedia timer ---------------------------------------------------------------------
struct TimeCaps {
    uint32_t wPeriodMin;
    uint32_t wPeriodMax;
};
constexpr uint32_t kTimeOneShot = 0;
constexpr uint32_t kTimePeriodic = 1;
using TimerCallback = void (*)(uint32_t id, uint32_t msg, uintptr_t user, uintptr_t dw1, uintptr_t dw2);

uint32_t TimeGetDevCaps(TimeCaps* caps, uint32_t size);
uint32_t TimeBeginPeriod(uint32_t period);
uint32_t TimeEndPeriod(uint32_t period);
// Returns the timer's id, 0 on failure. The callback runs on the platform's timer thread.
uint32_t TimeSetEvent(uint32_t delay, uint32_t resolution, TimerCallback callback, uintptr_t user,
                      uint32_t flags);
uint32_t TimeKillEvent(uint32_t id);

// ---- Windows and their messages -----------------------------------------------------------
constexpr uint32_t kWmCreate = 0x0001;
constexpr uint32_t kWmDestroy = 0x0002;
constexpr uint32_t kWmPaint = 0x000F;
constexpr uint32_t kWmClose = 0x0010;
constexpr uint32_t kWmQuit = 0x0012;
constexpr uint32_t kWmSetIcon = 0x0080;
constexpr uint32_t kWmKeyDown = 0x0100;
constexpr uint32_t kWmSysCommand = 0x0112;
constexpr uint32_t kWmMouseMove = 0x0200;
constexpr uint32_t kWmLButtonDown = 0x0201;
constexpr uint32_t kWmLButtonUp = 0x0202;
constexpr uint32_t kWmLButtonDblClk = 0x0203;
constexpr uint32_t kWmRButtonDown = 0x0204;
constexpr uint32_t kWmApp = 0x8000;
constexpr uint32_t kScMinimize = 0xF020;

struct Window;
using HWnd = Window*;

// What a window does with the messages the platform delivers to it, on the user-interface thread.
class WindowClient {
public:
    virtual intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) = 0;

protected:
    ~WindowClient() = default;
};

// Queues a message for `wnd`; callable from any thread. False when it could not be queued.
bool PostWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// ---- Message boxes ------------------------------------------------------------------------
constexpr uint32_t kMbOk = 0x00;
constexpr uint32_t kMbIconWarning = 0x30;
constexpr int kIdOk = 1;

// A modal box with no owner window; `text` and `caption` are UTF-8. Blocks the calling thread until
// the user closes it; windows of the calling thread keep receiving their messages meanwhile.
int ShowMessageBox(const char* text, const char* caption, uint32_t style);

// ---- Process services ---------------------------------------------------------------------
// Monotonic milliseconds since process start.
uint64_t ClockMs();
void Sleep(uint32_t ms);
// Ends the process at once with `status`; no shutdown code of ours runs.
[[noreturn]] void ExitProcess(int status);

}  // namespace plat
