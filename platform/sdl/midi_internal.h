// Shared between the MIDI files of the SDL adapter:
// - midi.cpp: the platform's MIDI calls, which behave towards the engine as a WinMM driver does
//   (callbacks with MIM_DATA / MIM_LONGDATA / MOM_DONE, input buffers queued by the client and
//   filled one SysEx each, reset handing queued buffers back empty, a link from an input to an
//   output that the driver serves), and the choice of the MIDI system;
// - midi_driver.cpp: what the MIDI system's thread hands on, and the driver thread;
// - midi_ring.h: the lock-free queues between them;
// - one file per MIDI system, behind the small interface MidiSystem below: midi_jack.cpp on libjack
//   (one client; output and links served inside its process callback), midi_alsa.cpp on alsa-lib
//   (one client; an input thread of its own).
//
// Threads:
// - the caller (the user-interface thread) opens, closes, sends and queues buffers;
// - the MIDI system's thread hands each event to Receive. Our part there never blocks and never
//   allocates: a started flag, the queued buffers, a byte ring for forwarding (and sem_post, on
//   ALSA's input thread, which is ours and not a real-time one); the engine's callback posts into
//   window.cpp's preallocated queue, without lock or allocation. JACK's process thread makes no
//   system call at all: the driver thread wakes the user-interface thread for it;
// - the driver thread (ours, one for all ports) forwards linked input to its output (where the
//   system does not do so itself, System::linksServed), completes
//   long messages with MOM_DONE (so that a completion never arrives inside MidiOutLongMsg), and
//   lets the MIDI system look at its ports and its server (MidiSystem::Watch).
#pragma once

#include <semaphore.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/sdl/midi_ring.h"
#include "platform/sdl/port_names.h"

namespace sdlplat::midi {

constexpr int kSlots = 4;              // ports of one direction open at the same time
constexpr int kLongInFlight = 8;       // long messages outstanding at one output
constexpr size_t kWholeLimit = 12288;  // a longer message leaves from the driver thread, in pieces

inline std::atomic_ref<uint32_t> Flags(plat::MidiHdr* hdr) { return std::atomic_ref<uint32_t>(hdr->dwFlags); }

}  // namespace sdlplat::midi

struct plat::MidiInPort {
    std::string device;    // the full name of the port it is linked to (under the system lock)
    bool present = false;  // its device is there (under the system lock)
    std::atomic<bool> open{false};
    std::atomic<bool> started{false};
    std::atomic<int> busy{0};  // the MIDI thread is inside Receive
    plat::MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
    std::atomic<int64_t> startNs{0};
    sdlplat::midi::HeaderQueue headers;
    // The output the driver forwards to; written under the links lock, read as a flag by Receive.
    std::atomic<plat::MidiOutPort*> link{nullptr};
    sdlplat::midi::ByteRing forward;

    // Waits until the MIDI thread has left Receive; after `started` is false it does not come back.
    void Quiesce() const {
        while (busy.load() != 0) std::this_thread::yield();
    }
};

struct plat::MidiOutPort {
    std::string device;    // the full name of the port it is linked to; empty for the mapper
    bool present = false;  // its device is there and linked (under the system lock)
    std::atomic<bool> open{false};
    plat::MidiOutCallback callback = nullptr;
    uintptr_t instance = 0;
    std::mutex sendMu;  // one sender at a time; the MIDI system's side swaps its port under it
    uint8_t runningStatus = 0;
    std::mutex stateMu;  // the long messages in flight
    struct Job {
        plat::MidiHdr* hdr;
        bool sent;
    };
    Job jobs[sdlplat::midi::kLongInFlight] = {};
    int jobCount = 0;
    std::atomic<int> longBusy{0};       // jobCount, for the MIDI system's thread, which takes no lock
    std::atomic<uint32_t> resetGen{0};  // a reset cuts off a message that leaves in pieces
    std::atomic<int> completing{0};     // the driver thread is reporting a message done
};

namespace sdlplat::midi {

// One MIDI system's side, by port slot (the index in System::ins or System::outs): a slot is one
// port of ours, on a client of its own or on the system's one client. Called under System::mu,
// except where said otherwise.
class MidiSystem {
public:
    virtual ~MidiSystem() = default;
    virtual const char* Name() const = 0;  // "alsa", "jack"
    // Whether the system answers now.
    virtual bool Reachable(bool input) = 0;
    // The other programs' ports of one direction: their full names, by which they are opened, and
    // what the system tells about each, from which the catalogue names them.
    virtual void List(bool input, std::vector<std::string>& rows, std::vector<PortFacts>& facts) = 0;
    // Opens a port of ours linked to `device`; an empty `device` is the mapper, an output of ours
    // that anything can be linked to. A link stands once the open returns.
    virtual bool OpenIn(int slot, const std::string& device) = 0;
    virtual bool OpenOut(int slot, const std::string& device) = 0;
    virtual void CloseIn(int slot) = 0;
    virtual void CloseOut(int slot) = 0;  // under the port's sendMu
    // Under the port's sendMu. What cannot go is dropped. A long message that leaves in pieces
    // stops, closed, when the port's resetGen is no longer `gen`.
    virtual bool SendShort(int slot, const uint8_t* data, size_t n) = 0;
    virtual void SendLong(int slot, const uint8_t* data, size_t n, uint32_t gen) = 0;
    // Returns once what was handed over has left. Without a lock.
    virtual void Drain() = 0;
    // On the driver thread, without a lock, after each wake: ports that came or went, and the
    // server's return once it has ended (System::serverGone).
    virtual void Watch() = 0;
    // At the end; with `dead`, its clients are left as they are (their server is gone, or the
    // driver thread is stuck inside the system's library).
    virtual void Close(bool dead) = 0;
};

// Each returns null when its system cannot be used here.
MidiSystem* OpenAlsa();
MidiSystem* OpenJack();

struct System {
    std::mutex mu;  // catalogues, opening and closing
    bool tried = false;
    MidiSystem* sys = nullptr;  // chosen once, null again after the end; never destroyed
    bool reported = false;
    std::vector<std::string> inRows, outRows;    // full names of the catalogue rows
    std::vector<std::string> inNames, outNames;  // what the catalogue shows for them, row by row
    plat::MidiInPort ins[kSlots];
    plat::MidiOutPort outs[kSlots];
    std::mutex links;  // input→output links and the forwarding rings' consumer side
    sem_t wake;
    std::thread* driver = nullptr;
    std::atomic<bool> stopping{false};
    std::atomic<bool> driverDone{false};
    std::atomic<uint64_t> dropNoBuffer{0}, dropForward{0}, cutSysEx{0};
    std::atomic<bool> serverGone{false};   // the MIDI server ended; its clients are dead
    std::atomic<bool> linksServed{false};  // the system copies linked input to its output itself
    uint8_t scratch[kForwardBytes];        // the driver thread's copy of one forwarded message

    System() { sem_init(&wake, 0, 0); }
};

// Never destroyed: the MIDI and driver threads may still run while static objects are torn down.
System& S();

inline int SlotOf(const plat::MidiInPort& p) { return int(&p - S().ins); }
inline int SlotOf(const plat::MidiOutPort& p) { return int(&p - S().outs); }

// Any thread.
void WakeDriver();
// The server ended, and every port with it: the user is told `notice` once, and the driver thread
// looks for the server's return from then on.
void NoteServerGone(const char* notice);

// On the driver thread, under the system lock, for each open slot linked to a device whenever the
// system looked at its ports: whether the device's port `exists`, and whether ours is `linked` to
// it. A device is gone when its port no longer exists, back once it exists and is linked again (a
// link removed by hand is neither); the engine hears of an input's device gone (kMimDeviceGone)
// and of an output's device back (kMomDeviceBack).
void NoteDevice(plat::MidiInPort& p, bool exists, bool linked);
void NoteDevice(plat::MidiOutPort& p, bool exists, bool linked);

// On the MIDI system's thread: one event that arrived at an input; `whole`, when larger than `n`,
// is the length of a SysEx of which only the first `n` bytes could be kept.
void Receive(plat::MidiInPort& p, const uint8_t* data, size_t n, size_t whole = 0);

// On the MIDI system's thread, inside Receive: whether a short message of `in` may be handled
// right there, its sends written into this cycle's output (see plat::MidiInFastPathOpen); and,
// while so handled, whether this thread is on that path and the send of one message there.
bool FastPathOpen(const plat::MidiInPort& in);
bool OnFastPath();
bool SendInCycle(plat::MidiOutPort& out, const uint8_t* data, size_t n);

void DriverLoop();
void FinishLong(plat::MidiOutPort& out, plat::MidiHdr* hdr);

}  // namespace sdlplat::midi
