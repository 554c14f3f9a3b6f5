// The pop-up list in which the user chooses the input or the output port. It only hands the chosen
// row back (g_MidiInPicked / g_MidiOutPicked); the panel switches the port afterwards.
#pragma once

#include <string>

#include "platform/window.h"

// The picker's in- and outputs, user-interface thread only.
extern int32_t g_PickOutput;    // 0: the picker chooses the input, 1: the output
extern int32_t g_MidiInPicked;  // the row chosen, or the current one until a choice is made
extern int32_t g_MidiOutPicked;
// Puts them back to their start (tests use it).
void ResetPickerState();

constexpr uint32_t kPickerBackground = plat::Rgb(255, 230, 180);

class CDevicePickerDlg final : public plat::DialogClient {
public:
    // Runs the list modally; the result code is not used by the panel.
    int DoModal();

    bool OnInitDialog(plat::HDialog dlg) override;
    void OnSelChange(plat::HDialog dlg) override;
};

// "%2d: " followed by the name, so that a sorted list keeps the rows in order.
std::string PickerLine(int row, const char* name);
