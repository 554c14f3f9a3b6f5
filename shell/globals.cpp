#include "shell/globals.h"

#include "engine/state.h"
#include "panel/state.h"
#include "picker/picker.h"

#define KVN_SHELL_STATE(VALUE)                           \
    VALUE(int32_t, g_PanelColor, 0)                      \
    VALUE(int32_t, g_IconBlink, 1)                       \
    VALUE(int32_t, g_WindowShow, 1)                      \
    VALUE(plat::Point, g_WindowPos, (plat::Point{0, 0})) \
    VALUE(std::string, g_WindowTitle, std::string())     \
    VALUE(plat::HIcon, g_hIconNormal, nullptr)           \
    VALUE(plat::HIcon, g_hIconActivity, nullptr)         \
    VALUE(int32_t, g_IconState, -1)

KVN_SHELL_STATE(KVN_DEFINE_VALUE)

void ResetShellState() { KVN_SHELL_STATE(KVN_RESET_VALUE) }

void ResetProcessState() {
    mf_ResetEngineState();
    ResetShellState();
    ResetPanelState();
    ResetPickerState();
}
