// The SDL adapter (kvn, the Linux build) implements the platform interface as follows.
// Provided natively, by SDL2, SDL2_ttf and the MIDI system: windows, mouse, keyboard and cursor;
// surfaces, block copies and pixels; text (an installed face standing in for the Windows one); the
// work area; the clock and sleep; MIDI ports (one client of the ALSA sequencer on alsa-lib, else
// one JACK client on libjack).
// Emulated:
// - the WinMM driver's behaviour: MIM_/MOM_ callbacks, queued input buffers, resets, long messages
//   completed by a thread of ours (midi_internal.h);
// - the MIDI mapper: an output port of our own, "KVN:out", that any synth can be linked to;
// - midiConnect: linked input forwarded to its output (under JACK in the process callback, in the
//   same period; under ALSA by that thread);
// - a MIDI server that goes away and comes back: the ports are taken up again;
// - the multimedia timer: one thread per timer on the steady clock; periods are accepted and
//   ignored;
// - posted messages: SDL user events naming the window by id; the main frame and its view are one
//   borderless SDL window;
// - the modal list: a window and loop of our own; message boxes: SDL's, on a helper thread while
//   the user-interface thread goes on dispatching (on stderr without a display);
// - single instance: an abstract socket named after the title, released with the process;
// - stop signals and the display's loss: an orderly close, or at least a save, then the end.
//
// Below, what the adapter offers beyond the platform interface: its orderly end, and a few facts
// about the MIDI system it chose, for the entry point and the adapter's own tests.
#pragma once

#include <cstdint>
#include <string>

#include "platform/window.h"

namespace sdlplat {

// The MIDI clients' names: every port of ours belongs to one of them (JACK adds "-01", "-02" …
// when a name is taken, for example by a second copy of the program). Under JACK the one client
// "KVN" holds both ports ("KVN:in", "KVN:out"), under JACK and under ALSA alike.
inline constexpr const char* kOutClient = "KVN";    // our one client
inline constexpr const char* kInClient = "KVN-in";  // an earlier version's input client, still our own
inline constexpr const char* kOutPortName = "out";
inline constexpr const char* kInPortName = "in";

// "alsa", "jack" or "none"; decided at the first MIDI call and kept for the run.
const char* MidiSystemName();

// Whether the JACK server has gone away and no server of its name has been reached since (the
// adapter looks for one five times a second, and takes up its open ports again on it).
bool MidiServerGone();

// Turns SIGINT, SIGTERM and SIGHUP into the platform's close command (an orderly end that saves
// the settings); a second one ends the process at once. SIGPIPE is ignored: a connection that
// breaks is an error its writer handles, not the end of the program. Called by the entry point
// first thing, before any other thread exists, since it blocks those signals in every thread but
// its own.
void HandleStopSignals();

// What to do, on the user-interface thread, when a stop signal's close request is about to be
// delivered to the main frame (the windowed program silences its output first).
void OnStopSignal(void (*before)());

// Headless running: the calling thread becomes the user-interface thread with SDL's events and
// posted messages but no video at all (no display is looked for, no X library is started); message
// boxes become lines on stderr. False when SDL's events cannot start.
bool StartHeadless();
// A window without anything on a screen, after StartHeadless: it receives what is posted to it and
// the close request of a stop signal.
plat::HWnd CreateHeadlessWindow(plat::WindowClient* client);

// What to do, on the user-interface thread, when the display goes away: the program then ends at
// once with status 1, after this (an orderly save of the settings, without the display).
void OnDisplayLost(void (*save)());

// Closes the MIDI clients, stops the adapter's driver thread and ends SDL. Called once by the
// entry point after the application returns; nothing of the platform may be used afterwards.
void Shutdown();

// Counters of messages the adapter had to drop (a full forwarding buffer, a SysEx with no
// buffer queued) or cut (a SysEx longer than the buffer queued for it), for tests and diagnostics.
struct MidiDrops {
    uint64_t sysexNoBuffer;
    uint64_t forwardOverflow;
    uint64_t sysexCut;
};
MidiDrops MidiDropCounts();

// ---- Port names, as the catalogues show them (pure functions) ----------------------------------
// True for a port of any of this program's clients: its own ports never appear in its catalogues
// (the names they show are port_names.h's).
bool IsOwnPort(const std::string& fullName);

}  // namespace sdlplat
