// The only top-level window: borderless, 740 × 150, its whole area the panel view.
#pragma once

#include <memory>
#include <string>

#include "platform/window.h"

class CKVNView;

constexpr int32_t kFrameWidth = 740;
constexpr int32_t kFrameHeight = 150;
constexpr uintptr_t kIconSmall = 0;  // WM_SETICON's wParam for the small icon

// The creation parameters the frame adjusts before its window exists.
struct CreateStruct {
    int32_t x = 0;
    int32_t y = 0;
    int32_t cx = 0;
    int32_t cy = 0;
    std::string title;
};

class CMainFrame final : public plat::WindowClient {
public:
    CMainFrame();
    ~CMainFrame();

    // Creates the window the framework's way: PreCreateWindow, the window, OnCreate. False when
    // OnCreate refused (the window is gone again).
    bool Create();
    bool PreCreateWindow(CreateStruct& cs);
    int OnCreate();
    // Saves the place and visibility, then destroys the frame and its view.
    bool DestroyWindow();
    void UpdateWindow();

    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;

    plat::HWnd Hwnd() const { return m_hWnd; }
    CKVNView* View() const { return m_View.get(); }

private:
    plat::HWnd m_hWnd = nullptr;
    std::unique_ptr<CKVNView> m_View;
};
