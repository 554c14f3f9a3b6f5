#include "panel/state.h"

#define KVN_PANEL_STATE(VALUE)                               \
    VALUE(int32_t, g_HoverRegion, HIT_NONE)                  \
    VALUE(int32_t, g_DragState, DRAG_IDLE)                   \
    VALUE(int32_t, g_ClosePressed, 0)                        \
    VALUE(plat::Point, g_MousePos, (plat::Point{-1, -1}))    \
    VALUE(plat::Point, g_MouseScreen, (plat::Point{-1, -1})) \
    VALUE(plat::Point, g_DragAnchor, (plat::Point{-1, -1}))  \
    VALUE(Atomic32, g_BlinkPhase, kLampIdle)                 \
    VALUE(Atomic32, g_BlinkHold, kLampIdle)

KVN_PANEL_STATE(KVN_DEFINE_VALUE)

void ResetPanelState() { KVN_PANEL_STATE(KVN_RESET_VALUE) }
