// The panel: the only view. It loads the skin, composes the whole panel on every paint, blinks the
// small icon, turns mouse input into settings changes and engine calls, and routes the engine's
// posted messages to the engine.
#pragma once

#include <string>

#include "panel/state.h"
#include "platform/window.h"

// One skin file with the surface it is selected into.
struct SkinBitmap {
    plat::HSurface surface = nullptr;
    int32_t width = 0;
    int32_t height = 0;
};

enum SkinIndex {
    SKIN_BACKGROUND,   // 00.bmp
    SKIN_FAMILY,       // 01.bmp
    SKIN_CENTRE,       // 02.bmp
    SKIN_MASTER_TUNE,  // 03.bmp
    SKIN_WINDOW_BTNS,  // 04.bmp
    SKIN_HIT_MAP,      // 05.bmp
    SKIN_FREQ_LAMPS,   // 06.bmp
    SKIN_DIGITS,       // 07.bmp
    SKIN_PANIC,        // 08.bmp
    SKIN_PORT_LAMPS,   // 09.bmp
    SKIN_KEY_LAMPS,    // 10.bmp
    SKIN_TONE_LAMPS,   // 11.bmp
    SKIN_CANVAS,       // 99.bmp
    SKIN_COUNT
};

extern const char* const kSkinFiles[SKIN_COUNT];

class CKVNView final : public plat::WindowClient {
public:
    CKVNView();
    ~CKVNView();

    // Creates the view window inside `frame` and runs OnCreate; false when it refused. The view
    // moves, minimises, closes and gives icons to `frame`.
    bool Create(plat::HWnd frame);
    int OnCreate();
    void OnDraw();
    void OnDestroy();

    void OnMouseMove(uint32_t flags, plat::Point point);
    void OnLButtonDown(uint32_t flags, plat::Point point);
    void OnLButtonUp(uint32_t flags, plat::Point point);
    void OnLButtonDblClk(uint32_t flags, plat::Point point);
    int32_t HitTest(int32_t x, int32_t y) const;

    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

    plat::HWnd Hwnd() const { return m_hWnd; }
    const SkinBitmap& Skin(int index) const { return m_Skin[index]; }
    const std::string& Missing() const { return m_strMissing; }

    // Null, or the skin path of `name` when it fits the platform's path length.
    static plat::HSurface LoadSkinBitmap(const char* name);

private:
    void DrawFrequency();
    void IconBlinkCheck();
    void Copy(int skin, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t x, int32_t y);
    void Text(int32_t x, int32_t y, const char* text);
    void ChoosePort(bool output);
    void FreeSkin();

    plat::HWnd m_hWnd = nullptr;
    plat::HWnd m_hFrame = nullptr;
    SkinBitmap m_Skin[SKIN_COUNT];
    std::string m_strMissing;
    plat::HFont m_hFont = nullptr;
};

// The text colour of each panel colour.
uint32_t PanelTextColor(int32_t panelColor);
