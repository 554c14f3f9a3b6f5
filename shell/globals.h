// Process-wide values of the shell (the engine's own are in engine/state.h, the panel's in
// panel/state.h, the picker's in picker/picker.h). All of them belong to the user-interface thread.
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

// Puts the shell's values back to their start (tests use it).
void ResetShellState();
// Everything process-wide: the engine's, the shell's, the panel's and the picker's.
void ResetProcessState();
