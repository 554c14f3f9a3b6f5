// A fresh simulated world and engine for every test, with a panel window whose messages reach
// the engine's handlers the way the real panel view routes them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "platform/sim/sim.h"

namespace kvntest {

// The panel's lamps, and every countdown the timer lowers by one per tick.
inline Atomic32* const kLamps[] = {&g_LampFreqDown, &g_LampFreqUp, &g_LampMasterTune, &g_LampIn,   &g_LampOut,
                                   &g_LampPanic,    &g_LampDrop,   &g_LampKeyDown,    &g_LampKeyUp};
inline Atomic32* const kCountdowns[] = {&g_LampFreqDown, &g_LampFreqUp, &g_LampMasterTune, &g_LampIn,
                                        &g_LampOut,      &g_LampPanic,  &g_LampDrop,       &g_LampKeyDown,
                                        &g_LampKeyUp,    &g_BlinkPhase, &g_BlinkHold,      &g_InputSilence};

// Stands in for the panel view: routes the engine's posted messages and counts paints.
class EngineWindow final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    int paints = 0;
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens output device `id` (-1: the mapper) and input device 0 straight through the platform,
    // the way the port operations leave them, without their message bursts.
    void OpenPortsDirect(int outputId = 0, bool withInput = true);

    // Packs a short message.
    static uint32_t Msg(uint8_t status, uint8_t d1 = 0, uint8_t d2 = 0) {
        return status | (uint32_t(d1) << 8) | (uint32_t(d2) << 16);
    }
    // Delivers through the input driver and handles everything it posted.
    void Play(uint32_t word);
    // The words of every short message sent since the log was last cleared.
    static std::vector<uint32_t> SentWords();

    EngineWindow window_;
    plat::HWnd wnd_ = nullptr;
};

// Frees the port buffers and puts every process-wide value back to its start.
void ResetEverything();

}  // namespace kvntest
