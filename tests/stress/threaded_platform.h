// A platform with real threads, for the ThreadSanitizer stress test: it implements platform.h the
// way WinMM behaves, so that the engine meets the same thread interleavings it meets on Windows.
//
// - Input: the test's own driver thread plays MIDI through PlayShort / PlaySysEx, which call the
//   input port's callback on that thread. SysEx goes through the queued input headers exactly like
//   WinMM: the first queued header is filled, "in queue" is cleared and "done" set, then the
//   callback gets MIM_LONGDATA; with no header queued the SysEx is lost. A port joined to an
//   output (MidiConnect) forwards everything to it from the driver thread.
// - Output: every message is recorded; a long message is completed by the port's own completion
//   thread a little later (it reads the buffer then, as a driver transmitting it would, and
//   reports MOM_DONE from that thread).
// - Timer: a real periodic thread. Window messages: one thread-safe queue, drained by the test's
//   user-interface thread with DispatchOne. Clock and Sleep are real.
//
// Header flags are the one word both sides may touch at any time (an application may poll
// "done"), so the platform reads and writes them atomically. Everything else in a header belongs
// to whoever holds the buffer, and the platform adds no ordering of its own between the driver
// threads and the engine beyond what WinMM gives: the callback, and the posted message.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tp {

// One record of everything that reached an output, and of the test's own marks, in one order.
enum class Rec {
    Short,       // sent by the engine (midiOutShortMsg)
    Long,        // sent by the engine (midiOutLongMsg); data is the buffer at the time of the send
    Connect,     // midiConnect
    Disconnect,  // midiDisconnect
    Reset,       // midiOutReset
    LinkShort,   // forwarded by the input driver over a link (driver thread)
    LinkLong,
    Mark,  // the test's own mark (user-interface thread); see mark/seq/data
};

struct Record {
    Rec kind;
    uint32_t word = 0;          // Short, LinkShort
    std::vector<uint8_t> data;  // Long, LinkLong, Mark
    int mark = 0;               // Mark: the test's code
    uint64_t seq = 0;           // LinkShort, LinkLong, Mark: the test's number
};

struct Posted {
    plat::HWnd wnd;
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

// Outcome of one message played into the open input port.
struct Delivery {
    bool started = false;    // an input port was open and started
    bool delivered = false;  // SysEx: a header was queued and filled; short: always with started
    bool posted = false;     // the callback posted it to a window (MidiInProc handed it on)
    bool forwarded = false;  // the port was joined to an output, which got it from the driver
};

// Fresh world: no ports, no timer, empty queue and records. Stops every thread of the platform.
void Reset();
void SetDevices(std::vector<std::string> inputs, std::vector<std::string> outputs);
// Completion delay of long messages: uniformly random in [minUs, maxUs].
void SetOutputDelay(uint32_t minUs, uint32_t maxUs);

plat::HWnd CreateTestWindow(plat::WindowClient* client);

// ---- The input driver (call from the test's driver thread) ----
Delivery PlayShort(uint32_t word, uint64_t seq);
Delivery PlaySysEx(const std::vector<uint8_t>& bytes, uint64_t seq);

// ---- The message queue ----
// Takes the oldest message and hands it to its window's client on the calling thread; waits up
// to waitUs for one. False when none came.
bool DispatchOne(uint32_t waitUs);
size_t QueueLength();
// Blocks the calling (driver) thread while more than `limit` messages wait, so that a driver that
// outruns the user-interface thread cannot grow the queue without bound. Returns early on stop.
void WaitForQueueBelow(size_t limit, const std::atomic<bool>& stop);
void WakeWaiters();

// ---- Records ----
// The user-interface thread's records (engine sends, links, resets and the test's marks) and the
// input driver thread's forwarding, each in its own order. They are kept apart, without a lock
// between the two threads, so that recording adds no ordering the real platform lacks.
void Mark(int code, uint64_t seq, std::vector<uint8_t> data = {});
std::vector<Record> TakeUiRecords();
std::vector<Record> TakeLinkRecords();
// Long messages the output still holds (queued or being completed).
int OutputPending();
uint64_t TimerTicks();

// Faults the platform itself saw.
struct Faults {
    int inputBufferAddedWhileItsMessageWaits =
        0;  // midiInAddBuffer of a header whose MIM_LONGDATA is still queued
    int outputBufferChangedWhileSending = 0;  // the buffer differed from the sent bytes at completion
    int boxes = 0;                            // message boxes shown
    std::vector<std::string> boxTexts;
};
Faults GetFaults();

}  // namespace tp
