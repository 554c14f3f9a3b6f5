// Helpers of the adapter tests: a recorder of driver callbacks, catalogue look-ups, scratch
// folders and running the X tools.
#pragma once

#include <sys/types.h>

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

// The catalogue's names, and the row with exactly this name (or -1).
std::vector<std::string> Names(bool input);
int Row(bool input, const std::string& name);

// A header over `bytes` of buffer.
struct Header {
    explicit Header(size_t bytes) : buffer(bytes) {
        hdr.lpData = buffer.data();
        hdr.dwBufferLength = static_cast<uint32_t>(bytes);
    }
    std::vector<char> buffer;
    plat::MidiHdr hdr{};
};

// A JACK server a test starts itself, in place of the one it stopped (run_with.sh's, whose pid
// is in KVN_TEST_JACKD_PID): named $JACK_DEFAULT_SERVER, on the dummy driver as run_with.sh starts
// it, and stopped by its pid (also when the test ends without stopping it).
class JackServer {
public:
    JackServer() = default;
    ~JackServer() { Stop(); }
    JackServer(const JackServer&) = delete;
    JackServer& operator=(const JackServer&) = delete;
    // `options` go before "-d dummy" ("-S" for a synchronous server); waits until it answers.
    bool Start(const std::vector<std::string>& options);
    // SIGTERM, SIGKILL five seconds later; returns once it has gone.
    void Stop();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// The pid of the JACK server run_with.sh started (0 without one).
pid_t TestServerPid();
// Whether a process has ended (a zombie counts as ended).
bool ProcessGone(pid_t pid);

// A fresh folder under the test's working directory.
std::string ScratchDir();
// Runs a shell command, killed with all it started after 20 s; its exit status (-1 when killed).
int Run(const std::string& command);
// Runs a shell command as Run does and returns what it printed.
std::string Output(const std::string& command);

}  // namespace kvntest
