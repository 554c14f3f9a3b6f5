#include "picker/picker.h"

#include <cstdio>

#include "engine/engine.h"
#include "shell/globals.h"

#define KVN_PICKER_STATE(VALUE)        \
    VALUE(int32_t, g_PickOutput, 0)    \
    VALUE(int32_t, g_MidiInPicked, -1) \
    VALUE(int32_t, g_MidiOutPicked, -1)

KVN_PICKER_STATE(KVN_DEFINE_VALUE)

void ResetPickerState() { KVN_PICKER_STATE(KVN_RESET_VALUE) }

namespace {

constexpr size_t kNumberWidth = 4;  // "%2d: "

const MidiCaps* Catalog() { return g_PickOutput ? g_MidiOutCaps : g_MidiInCaps; }
int32_t CatalogCount() { return g_PickOutput ? g_MidiOutCount : g_MidiInCount; }

}  // namespace

std::string PickerLine(int row, const char* name) {
    char number[16];
    std::snprintf(number, sizeof number, "%2d: ", row);
    return std::string(number) + name;
}

int CDevicePickerDlg::DoModal() { return plat::DoModalList(this, kPickerBackground); }

bool CDevicePickerDlg::OnInitDialog(plat::HDialog dlg) {
    plat::ListResetContent(dlg);
    const MidiCaps* caps = Catalog();
    const bool output = g_PickOutput != 0;
    for (int row = 0; row < CatalogCount(); ++row) {
        const char* name = caps[row].szPname;
        if (name[0] == '\0') break;
        // The other end of a virtual cable whose one end is in use is not offered; the rows keep
        // their numbers.
        const bool cable = output ? mf_IsCable(g_MidiInDeviceName.c_str(), name, true)
                                  : mf_IsCable(name, g_MidiOutDeviceName.c_str(), false);
        if (cable) continue;
        plat::ListAddString(dlg, PickerLine(row, name).c_str());
    }

    const int32_t current = output ? g_MidiOutDevice : g_MidiInDevice;
    const std::string& currentName = output ? g_MidiOutDeviceName : g_MidiInDeviceName;
    if (current != -1) {
        std::string line;
        for (int i = 0; i < plat::ListGetCount(dlg); ++i) {
            if (plat::ListGetText(dlg, i, &line) == plat::kLbErr) continue;
            if (line.size() >= kNumberWidth &&
                line.compare(kNumberWidth, std::string::npos, currentName) == 0) {
                plat::ListSetCurSel(dlg, i);
                break;
            }
        }
    }

    const plat::Rect r = plat::GetDialogRect(dlg);
    plat::MoveDialog(dlg, g_WindowPos.x + 63, g_WindowPos.y + 3, r.right - r.left, r.bottom - r.top);
    return true;
}

void CDevicePickerDlg::OnSelChange(plat::HDialog dlg) {
    const int sel = plat::ListGetCurSel(dlg);
    if (sel == plat::kLbErr) return;
    std::string line;
    if (plat::ListGetText(dlg, sel, &line) == plat::kLbErr || line.size() < kNumberWidth) return;
    const std::string name = line.substr(kNumberWidth);
    const MidiCaps* caps = Catalog();
    for (int row = 0; row < CatalogCount(); ++row) {
        if (name != caps[row].szPname) continue;
        if (g_PickOutput) {
            g_MidiOutPicked = row;
            g_MidiOutDeviceName = name;
        } else {
            g_MidiInPicked = row;
            g_MidiInDeviceName = name;
        }
        plat::EndDialog(dlg, plat::kIdOk);
        return;
    }
}
