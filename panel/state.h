// The panel's own process-wide values: what the mouse is doing over it and the small icon's blink.
// All of them belong to the user-interface thread, except that the engine's timer lowers the blink
// countdowns.
#pragma once

#include <cstdint>

#include "engine/state.h"
#include "platform/window.h"

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

// The small icon's blink, countdowns that the view hands to the engine's tick, like its lamps:
// the time left in the current icon, and how long input keeps the blinking going.
extern Atomic32 g_BlinkPhase;
extern Atomic32 g_BlinkHold;

// Puts the values above back to their start (tests use it).
void ResetPanelState();
