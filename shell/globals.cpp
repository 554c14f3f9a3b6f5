#include "shell/globals.h"

#include "engine/state.h"

int32_t g_PanelColor = 0;
int32_t g_IconBlink = 1;
int32_t g_WindowShow = 1;
plat::Point g_WindowPos{0, 0};
std::string g_WindowTitle;
plat::HIcon g_hIconNormal = nullptr;
plat::HIcon g_hIconActivity = nullptr;
int32_t g_IconState = -1;
int32_t g_HoverRegion = HIT_NONE;
int32_t g_DragState = DRAG_IDLE;
int32_t g_ClosePressed = 0;
plat::Point g_MousePos{-1, -1};
plat::Point g_MouseScreen{-1, -1};
plat::Point g_DragAnchor{-1, -1};

void ResetShellState() {
    g_PanelColor = 0;
    g_IconBlink = 1;
    g_WindowShow = 1;
    g_WindowPos = {0, 0};
    g_WindowTitle.clear();
    g_hIconNormal = nullptr;
    g_hIconActivity = nullptr;
    g_IconState = -1;
    g_HoverRegion = HIT_NONE;
    g_DragState = DRAG_IDLE;
    g_ClosePressed = 0;
    g_MousePos = {-1, -1};
    g_MouseScreen = {-1, -1};
    g_DragAnchor = {-1, -1};
}

void ResetProcessState() {
    mf_ResetEngineState();
    ResetShellState();
}
