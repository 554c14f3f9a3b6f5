// A platform with real threads for the ThreadSanitizer stress test, behaving as WinMM does so that
// the engine meets the interleavings it meets on Windows: the test's driver thread calls the input
// port's callback (SysEx fills the first queued header or, with none queued, is lost); the output
// port's own thread completes long messages a little later, reading the buffer only then; a real
// periodic timer thread; one window message queue, drained by the test's user-interface thread.
// One input "Keyboard", one output "Synth". Header flags, which both sides touch, are atomic;
// otherwise the platform orders nothing between the threads beyond WinMM's callback and message.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace tp {

// What the user-interface thread sent to the output, in its order.
struct Record {
    enum Kind { Short, Long, Connect, Disconnect, Reset } kind;
    uint32_t word = 0;          // Short
    std::vector<uint8_t> data;  // Long: the buffer as sent
    bool operator==(const Record&) const = default;
};

// One message played into the input: the callback got it (the input was started and, for SysEx, a
// header queued); the callback posted it to a window; the driver forwarded it (the input was
// joined to the output).
struct Delivery {
    bool delivered = false, posted = false, forwarded = false;
};

plat::HWnd CreateTestWindow(plat::WindowClient* client);

// ---- The driver thread ----
Delivery PlayShort(uint32_t word, uint64_t seq);  // seq arrives as the message's time stamp
Delivery PlaySysEx(const std::vector<uint8_t>& bytes);
// Blocks while `limit` or more messages wait, so that a driver that outruns the user-interface
// thread cannot grow the queue without bound. Returns early on stop (after WakeWaiters).
void WaitForQueueBelow(size_t limit, const std::atomic<bool>& stop);
void WakeWaiters();

// ---- The user-interface thread ----
// Hands the oldest message to its window's client, waiting up to waitUs for one; false if none.
bool DispatchOne(uint32_t waitUs);
bool Idle();  // no message waits and no output holds a long message
std::vector<Record> TakeRecords();

// What the platform itself saw go wrong, and the timer's ticks. (A message box or the end of the
// process aborts the run.)
struct Faults {
    int inputBufferAddedWhileItsMessageWaits, outputBufferChangedWhileSending;
    uint64_t timerTicks;
};
Faults Seen();

}  // namespace tp
