// What the platform contract test needs from the adapter it runs against: a scratch folder, a look
// at the screen, and a user who answers boxes and presses keys. One file per adapter provides it.
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

namespace contract {

// The panel font (a 26-pixel cell, 8 pixels across on average) as drawn with the face the
// adapter finds for it: how wide "0123456789" is, give or take `slack`, and how many rows of the
// cell an opaque background may leave out.
struct FontMetrics {
    int tenDigits, slack, cellShortBy;
};
extern const FontMetrics kPanelFont;

// A path for a file named `name` in a folder of this test run's own.
std::string ScratchPath(const std::string& name);

// Whether the window titled `title` is on the screen.
bool Shown(const std::string& title);

// Waits until a message box titled `caption` is shown and presses OK in it. Returns the box's
// text where the adapter can read it back, "" where it cannot.
std::string AnswerBox(const std::string& caption);

enum class Key { Down, Escape };
// The user presses `keys` in the list of `dlg` once it is on the screen; returns at once.
void PressKeys(plat::HDialog dlg, const std::vector<Key>& keys);

}  // namespace contract
