// The simulated platform: deterministic and single-threaded. MIDI devices record everything sent
// to them with the simulated time; input is delivered through the real driver-callback path; the
// clock moves only when the code sleeps, reads it, or the test advances it; timer ticks and the
// message queue are driven by the test; message boxes are recorded and answered at once.
// Nothing here is native: every service of the platform interface is emulated, and each emulation
// keeps the contract the real adapters keep, since the tests of the whole system run on it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace sim {

// Thrown by plat::ExitProcess so that a test can watch the process end and carry on.
struct ProcessExit {
    int status;
};

enum class Event { Open, Short, Long, Reset, Close, Connect, Disconnect };

// One thing that happened at an output port.
struct OutEvent {
    uint64_t timeUs;  // simulated time
    int device;       // output device id, -1 for the mapper
    Event kind;
    uint32_t word;              // Short: the packed message
    std::vector<uint8_t> data;  // Long: the bytes sent
};

struct Box {
    std::string text;
    std::string caption;
    uint32_t style;
};

struct Posted {
    plat::HWnd wnd;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

// How an output device treats long messages.
enum class LongMode {
    Complete,  // the driver reports MOM_DONE 1 ms (simulated) after the send, or SetOutputLongDelay's time
    Manual,    // MOM_DONE only when the test calls CompleteOutput() or CompleteOutputAfter()
    Never,     // MOM_DONE never comes (until the port is reset)
    Block,     // the send does not return; simulated timer ticks go on meanwhile (see SetOutputBlockTicks)
};

// What the input driver was asked to do, in call order. `outIndex` is the size of the output log at
// that moment, so a test can tell how input calls interleave with what the output received.
enum class InKind { Open, Prepare, Unprepare, AddBuffer, Start, Stop, Reset, Close };
struct InEvent {
    uint64_t timeUs;
    int device;  // input device id
    InKind kind;
    uint32_t result;  // what the call returned (AddBuffer refuses a header that is already queued)
    size_t outIndex;
};

// Fresh world: no devices, clock at 0, no timer, empty queue and records.
void Reset();

// ---- Devices ----
void SetInputDevices(std::vector<std::string> names);
void SetOutputDevices(std::vector<std::string> names);
void SetInputOpenResult(uint32_t id, uint32_t result);  // result of every later open of that id
void SetOutputOpenResult(int id, uint32_t result);      // id -1: the mapper
void SetOutputLongMode(int id, LongMode mode);          // id -1: the mapper
// Complete mode: MOM_DONE comes `us` simulated microseconds after the send (default 1000).
void SetOutputLongDelay(int id, uint64_t us);
// Block mode: the send stays inside the driver for this many timer ticks, then returns with the
// message still outstanding (default 3000, so that a watchdog that never fires fails the test).
void SetOutputBlockTicks(int id, int ticks);
// Names an earlier version gave devices of one direction, and the names they have now:
// plat::MidiTranslateStoredName rewrites the one to the other.
void SetEarlierNames(bool input, std::map<std::string, std::string> earlierToNow);

// ---- Input, through the driver callback of the open input port ----
// True when the port was open and started (otherwise the driver has nowhere to send it).
bool DeliverShort(uint32_t word, uint32_t timestamp = 0);
// Fills the first queued buffer and reports it as long data; false when no buffer was queued.
bool DeliverSysEx(const std::vector<uint8_t>& bytes);
// Number of SysEx buffers currently queued at the open input.
int QueuedInputBuffers();
bool InputStarted();
int OpenInputDevice();  // device id of the open input port, -1 when none is open
const std::vector<InEvent>& InputLog();
void ClearInputLog();

// ---- Devices that leave and come back, their ports staying open ----
// The device of the open input (or output) port leaves, or comes back, as the SDL driver reports
// it: the input's callback hears kMimDeviceGone when its device leaves, the output's kMomDeviceBack
// when its device is back and linked again; a device already away (or there) changes nothing. An
// input whose device is away receives nothing. False when no such port is open.
bool DeviceLeaves(bool input);
bool DeviceReturns(bool input);

// ---- The input's fast path ----
// Off at first, as on Windows. On: plat::MidiInFastPathOpen is true while no open output has a
// long message between hand-over and done notice (sends from other threads leave at once here).
void SetFastPath(bool on);
// Called after each short or long message an output takes, except from inside an input callback
// (the driver has one thread): input delivered from here arrives while another thread sends.
void SetSendHook(std::function<void()> hook);
// What an input callback did that it must not: block or wait (Sleep, a message box), or send to
// an output whose long message is still leaving (between hand-over and done notice).
int InputCallbackFaults();

// ---- Output ----
const std::vector<OutEvent>& OutputLog();
std::vector<OutEvent> ShortMessages();  // the Short events only
void ClearOutputLog();
void CompleteOutput();  // reports every long message still outstanding as done
// Every long message outstanding now is reported done `us` from now, when the clock gets there
// (for example while the engine polls it waiting for the output).
void CompleteOutputAfter(uint64_t us);
void ClearLogs();  // the output and the input log
int OpenOutputs();
int OpenInputs();

// ---- Timer ----
void SetTimeCaps(uint32_t periodMin, uint32_t periodMax);
void SetTimerFails(bool fails);
void Tick(int count = 1);  // advances 10 ms and calls the timer callback, per tick
bool TimerRunning();
int BeginPeriodCalls();
int EndPeriodCalls();

// ---- Clock ----
uint64_t NowUs();
void Advance(uint64_t us);

// ---- Windows and the message queue ----
plat::HWnd CreateTestWindow(plat::WindowClient* client);
const std::vector<Posted>& Queue();
void SetQueueLimit(size_t limit);  // posts beyond it fail
int Pump();                        // dispatches every queued message (and any they post); returns the count
int PumpOne();

// ---- Message boxes ----
const std::vector<Box>& Boxes();
void ClearBoxes();
// Called while a box is "open", before it is answered with OK (a modal loop keeps dispatching).
void SetBoxHook(std::function<void(const Box&)> hook);

// ---- Process ----
int ExitStatus();  // -1 while the process has not ended

}  // namespace sim
