#include "shell/main_frame.h"

#include <cstdint>

#include "engine/engine.h"
#include "panel/view.h"
#include "platform/platform.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "shell/profile.h"
#include "shell/settings.h"

CMainFrame::CMainFrame() = default;
CMainFrame::~CMainFrame() = default;

bool CMainFrame::Create() {
    CreateStruct cs;
    PreCreateWindow(cs);
    m_hWnd = plat::CreateMainFrame(cs.title.c_str(), cs.x, cs.y, cs.cx, cs.cy, this);
    if (m_hWnd == nullptr) return false;
    if (OnCreate() == -1) {
        plat::DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
        m_View.reset();
        return false;
    }
    return true;
}

bool CMainFrame::PreCreateWindow(CreateStruct& cs) {
    const plat::Rect w = plat::GetWorkArea();
    cs.cx = kFrameWidth;
    cs.cy = kFrameHeight;
    const std::string& ini = theApp.m_IniPath;
    int32_t x =
        kvn::profile::GetInt(ini, kvn::settings::kSectionPosition, "left", w.right / 2 - kFrameWidth / 2);
    int32_t y =
        kvn::profile::GetInt(ini, kvn::settings::kSectionPosition, "top", w.bottom / 2 - kFrameHeight / 2);
    // Left and top first, then right and bottom: on a work area smaller than the window the
    // right or bottom edge wins.
    if (x < w.left) x = w.left;
    if (y < w.top) y = w.top;
    // Compared in 64 bits: a stored place near the integer limit must not wrap past the edge.
    if (int64_t{x} + kFrameWidth > w.right) x = w.right - kFrameWidth;
    if (int64_t{y} + kFrameHeight > w.bottom) y = w.bottom - kFrameHeight;
    g_WindowPos = {x, y};
    cs.x = x;
    cs.y = y;
    cs.title = g_WindowTitle;
    return true;
}

int CMainFrame::OnCreate() {
    m_View = std::make_unique<CKVNView>();
    if (!m_View->Create(m_hWnd)) {
        m_View.reset();
        return -1;
    }
    g_hIconNormal = plat::LoadAppIcon(plat::kIconNormal);
    g_hIconActivity = plat::LoadAppIcon(plat::kIconActivity);
    plat::SendWindowMessage(m_hWnd, plat::kWmSetIcon, kIconSmall,
                            reinterpret_cast<intptr_t>(g_hIconActivity));
    plat::Sleep(1000);
    return 0;
}

bool CMainFrame::DestroyWindow() {
    const std::string& ini = theApp.m_IniPath;
    kvn::profile::WriteInt(ini, kvn::settings::kSectionPosition, "left", g_WindowPos.x);
    kvn::profile::WriteInt(ini, kvn::settings::kSectionPosition, "top", g_WindowPos.y);
    kvn::profile::WriteInt(ini, kvn::settings::kSectionWindow, "Show", plat::IsIconic(m_hWnd) ? 0 : 1);
    if (m_View) m_View->OnDestroy();
    plat::DestroyWindow(m_hWnd);
    return true;
}

void CMainFrame::UpdateWindow() {
    if (m_View) plat::SendWindowMessage(m_View->Hwnd(), plat::kWmPaint, 0, 0);
}

intptr_t CMainFrame::WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    switch (msg) {
    case plat::kWmClose: {
        // The document never has unsaved changes: close without asking, and end the loop.
        const CHold hold;  // the ports' closing sends: one action, whole to the input's fast path
        DestroyWindow();
        plat::QuitMessageLoop(0);
        return 0;
    }
    case plat::kWmSysCommand:
        if ((wParam & 0xFFF0) == plat::kScMinimize) plat::ShowWindow(m_hWnd, plat::kSwMinimize);
        return 0;
    case plat::kWmSetIcon:
        if (wParam == kIconSmall) plat::SetSmallIcon(m_hWnd, reinterpret_cast<plat::HIcon>(lParam));
        return 0;
    default:
        return 0;
    }
}
