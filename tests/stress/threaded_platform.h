// A platform with real threads for the ThreadSanitizer stress test, behaving as WinMM does so that
// the engine meets the interleavings it meets on Windows:
// - Input: the test's driver thread plays MIDI (PlayShort / PlaySysEx), calling the input port's
//   callback on that thread. SysEx fills the first queued header ("in queue" cleared, "done" set,
//   then MIM_LONGDATA) or, with none queued, is lost. A port joined to an output forwards to it.
// - Output: every message is recorded; the port's own thread completes long messages a little
//   later, reading the buffer then, as a transmitting driver would, and reporting MOM_DONE.
// - Timer: a real periodic thread. Window messages: one queue, drained by DispatchOne on the test's
//   user-interface thread. Clock and Sleep are real.
// Header flags, which both sides may touch at any time, are accessed atomically; otherwise the
// platform adds no ordering between the threads beyond WinMM's own: the callback and the message.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tp {

// What reached an output (Link*: forwarded by the driver thread), and the test's marks.
enum class Rec { Short, Long, Connect, Disconnect, Reset, LinkShort, LinkLong, Mark };

struct Record {
    Rec kind;
    uint32_t word = 0;          // Short, LinkShort
    std::vector<uint8_t> data;  // Long (the buffer as sent), LinkLong, Mark
    int mark = 0;               // Mark: the test's code
    uint64_t seq = 0;           // LinkShort, LinkLong, Mark: the test's number
};

// Outcome of one message played into the open input port: an input port was open and started;
// delivered (short: whenever started; SysEx: a queued header took it); posted to a window by the
// callback; forwarded by the driver to the output the port was joined to.
struct Delivery {
    bool started = false, delivered = false, posted = false, forwarded = false;
};

// Fresh world: every thread of the platform stopped; no ports, timers, messages or records.
void Reset();
void SetDevices(std::vector<std::string> inputs, std::vector<std::string> outputs);
plat::HWnd CreateTestWindow(plat::WindowClient* client);

// ---- The driver thread ----
Delivery PlayShort(uint32_t word, uint64_t seq);
Delivery PlaySysEx(const std::vector<uint8_t>& bytes, uint64_t seq);
// Blocks while `limit` or more messages wait, so that a driver that outruns the user-interface
// thread cannot grow the queue without bound. Returns early on stop (after WakeWaiters).
void WaitForQueueBelow(size_t limit, const std::atomic<bool>& stop);
void WakeWaiters();

// ---- The user-interface thread ----
// Hands the oldest message to its window's client, waiting up to waitUs for one; false if none.
bool DispatchOne(uint32_t waitUs);
// No message waits and no output holds a long message.
bool Idle();
// The user-interface thread's records (sends, links, resets, marks) and the driver thread's
// (forwarding), each in its own order and kept apart, so that recording adds no ordering.
void Mark(int code, uint64_t seq, std::vector<uint8_t> data = {});

// The records, and the faults the platform itself saw.
struct Outcome {
    std::vector<Record> ui, links;
    uint64_t timerTicks;
    // midiInAddBuffer while its MIM_LONGDATA waits; the buffer differed from the bytes sent.
    int inputBufferAddedWhileItsMessageWaits, outputBufferChangedWhileSending;
    std::vector<std::string> boxes;  // message boxes shown
};
Outcome TakeOutcome();

}  // namespace tp
