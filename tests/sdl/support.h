// Helpers of the adapter tests: a recorder of driver callbacks, catalogue look-ups, scratch
// folders and running the X tools.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/window.h"

namespace kvntest {

// One driver callback as it happened.
struct Call {
    uint32_t msg;
    uintptr_t p1;
    uintptr_t p2;
    std::thread::id thread;
    std::vector<uint8_t> data;  // MIM_LONGDATA / MOM_DONE: the header's recorded bytes at that moment
    uint32_t flags;             // ... and its flags
};

// Records the callbacks of one port; pass `this` as the instance value.
class Recorder {
public:
    static void InProc(plat::HMidiIn, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2);
    static void OutProc(plat::HMidiOut, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2);
    uintptr_t Instance() { return reinterpret_cast<uintptr_t>(this); }

    std::vector<Call> Calls();
    std::vector<Call> Calls(uint32_t msg);
    // Polls until `count` callbacks of `msg` have come; false on timeout.
    bool WaitFor(uint32_t msg, size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    void Add(uint32_t msg, uintptr_t p1, uintptr_t p2, bool withHeader);
    std::mutex mu_;
    std::vector<Call> calls_;
};

// The catalogue row with exactly this name, or -1.
int InputRow(const std::string& name);
int OutputRow(const std::string& name);
std::vector<std::string> InputNames();
std::vector<std::string> OutputNames();

// A header over `bytes` of buffer.
struct Header {
    explicit Header(size_t bytes) : buffer(bytes) {
        hdr.lpData = buffer.data();
        hdr.dwBufferLength = static_cast<uint32_t>(bytes);
    }
    std::vector<char> buffer;
    plat::MidiHdr hdr{};
};

// A fresh folder under the test's working directory.
std::string ScratchDir();
// Runs a shell command, killed with all it started after 20 s; its exit status (-1 when killed).
int Run(const std::string& command);
// Runs a shell command as Run does and returns what it printed.
std::string Output(const std::string& command);

}  // namespace kvntest
