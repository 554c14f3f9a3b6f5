// Process-wide values of the shell and the panel (the engine's own are in engine/state.h). All of
// them belong to the user-interface thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/window.h"

// Settings the panel reads (loaded and saved by the settings store).
extern int32_t g_PanelColor;  // 0..3: row of every skin overlay and the text colour
extern int32_t g_IconBlink;   // non-zero: the small icon blinks on input
extern int32_t g_WindowShow;  // 0: start minimised

// The main window.
extern plat::Point g_WindowPos;      // remembered top-left corner, saved at the end
extern std::string g_WindowTitle;    // "KVN - " + the current folder's name; the single-instance key
extern plat::HIcon g_hIconNormal;    // small icon 132
extern plat::HIcon g_hIconActivity;  // small icon 133, the lit version
extern int32_t g_IconState;          // the small icon last given: 1 normal, 2 activity, -1 neither

// Panel regions, named by the red value of the hit map: 25 - red / 10.
enum PanelRegion : int32_t {
    HIT_NONE = -1,
    HIT_INPUT_PORT = 3,
    HIT_OUTPUT_PORT = 4,
    HIT_THRU_CONNECT = 5,
    HIT_FREQ_DOWN = 6,
    HIT_FREQ_UP = 7,
    HIT_SEND_TUNE = 8,
    HIT_COLOR_0 = 9,
    HIT_COLOR_1 = 10,
    HIT_COLOR_2 = 11,
    HIT_COLOR_3 = 12,
    HIT_MOVE = 13,
    HIT_MINIMIZE = 14,
    HIT_CLOSE = 15,
    HIT_PANIC = 16,
    HIT_KEY_DOWN = 17,
    HIT_KEY_UP = 18,
    HIT_TONE_SOFT = 19,
    HIT_TONE_LOUD = 20,
};

enum DragState : int32_t { DRAG_IDLE = 0, DRAG_DRAGGING = 1 };

// Mouse state of the panel.
extern int32_t g_HoverRegion;  // region of the last mouse move; every press acts on it
extern int32_t g_DragState;
extern int32_t g_ClosePressed;     // the close button is held down
extern plat::Point g_MousePos;     // client coordinates of the last move
extern plat::Point g_MouseScreen;  // the same in screen coordinates
extern plat::Point g_DragAnchor;   // screen point the next drag step is measured from

// Puts the shell's and the panel's values back to their start (tests use it).
void ResetShellState();
// Everything process-wide, engine included.
void ResetProcessState();
