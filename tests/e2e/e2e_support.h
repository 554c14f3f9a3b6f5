// End-to-end tests of kvn: the program itself, started in a folder of its own under Xvfb and
// openbox with a JACK server on the dummy driver (run_with.sh) or over an ALSA sequencer, played to
// and listened to by MIDI clients of the test, clicked with xdotool and looked at with screenshots.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "tests/oracle/model.h"
#include "tests/sdl/jack_client.h"
#include "tests/sdl/midi_client.h"

namespace e2e {

using kvntest::Bytes;

// The skin's hit map and pictures (resources/Bitmap).
kvn::bmp::Image Skin(const std::string& file);
// The middle of the control whose hit-map red value is `red`, in panel coordinates.
struct Point {
    int x;
    int y;
};
Point ControlAt(int red);

// One run of kvn in a fresh folder named `folder` (the window title is "KVN - <folder>").
class Kvn {
public:
    // `ini`: the settings file's text before the start; empty for none.
    explicit Kvn(const std::string& folder, const std::string& ini);
    ~Kvn();  // a program still running is killed
    Kvn(const Kvn&) = delete;
    Kvn& operator=(const Kvn&) = delete;

    bool Start();
    // Until the panel is on the screen and painted (false after the timeout or if kvn ended).
    bool WaitForPanel(std::chrono::seconds timeout = std::chrono::seconds(30));
    std::string Title() const { return "KVN - " + folder_; }
    std::string Dir() const { return dir_; }

    // A left click at a point of the panel (press and release there).
    void Click(Point p);
    // A screenshot of the panel.
    kvn::bmp::Image Shot();

    bool Running();
    // Waits for the end; its exit status, -1 while still running after the timeout, 128 + n for
    // a signal.
    int WaitExit(std::chrono::seconds timeout = std::chrono::seconds(20));
    void Signal(int sig);
    pid_t Pid() const { return pid_; }

    std::string Ini() const;
    std::string Log() const;  // what it wrote to stdout and stderr

private:
    std::string folder_, dir_;
    pid_t pid_ = -1;
    int status_ = -1;
    int panelX_ = 0, panelY_ = 0;
};

// The value of `key` in `section` of a settings text, or "<missing>".
std::string IniValue(const std::string& ini, const std::string& section, const std::string& key);

// Message boxes on the screen: whether one with this caption is there; presses Enter in the one
// there until it is gone (false when there was none).
bool BoxShown(const std::string& caption);
bool DismissBox(const std::string& caption);

// ---- MIDI ------------------------------------------------------------------------------------
using oracle::Tuning;
using oracle::TuningAll;
// One control change, value 0, on all sixteen channels.
std::vector<Bytes> OnAllChannels(uint8_t controller);
std::vector<Bytes> Concat(std::vector<std::vector<Bytes>> parts);

// The messages played so far, without the markers of WaitLive and Settle.
std::vector<Bytes> Played(kvntest::MidiClient& sink);
std::vector<Bytes> Played(kvntest::JackClient& sink);

// Plays active sensing (which every Korvane passes on) until the sink hears one: from then on
// the input is open, started and connected. Then forgets what the sink heard, unless `clear` is off.
bool WaitLive(kvntest::MidiClient& player, kvntest::MidiClient& sink, bool clear = true);
bool WaitLive(kvntest::JackClient& player, kvntest::JackClient& sink, bool clear = true);
// Plays a marker and waits until the sink has it: everything played before has been handled.
bool Settle(kvntest::MidiClient& player, kvntest::MidiClient& sink);
bool Settle(kvntest::JackClient& player, kvntest::JackClient& sink);
bool IsMarker(const Bytes& b);

// A SysEx of `size` bytes: F0, data bytes, F7.
Bytes SysEx(size_t size);

// ---- The port picker ---------------------------------------------------------------------------
// The rows the input picker shows (the MIDI system's outputs but Korvane's own, in the system's
// order), as seen by `any` client of the test.
std::vector<std::string> InputRows(kvntest::MidiClient& any);
// Opens the picker with the control at `control` and clicks its row `row`; false when no picker
// showed.
bool PickRow(Kvn& kvn, Point control, int row);
// The same, but only presses the left button on the row, without letting it go.
bool PressRow(Kvn& kvn, Point control, int row);

// A readable list of messages, for failure output.
std::string Show(const std::vector<Bytes>& messages);

}  // namespace e2e
