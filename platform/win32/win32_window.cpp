// Win32 windows, GDI surfaces and the modal pop-up list.
//
// Which messages reach a WindowClient: the paint of the view, the mouse and key messages the
// panel handles, the frame's close and system commands, and everything in the WM_USER/WM_APP
// ranges. Creation and destruction notify nobody (the core acts right after CreateMainFrame /
// CreateView and before DestroyWindow). System commands and keys also get Windows' default
// handling after the client, so a posted SC_MINIMIZE minimises; a close request is left
// entirely to the frame's client.
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/file.h"
#include "platform/win32/win32_internal.h"

struct plat::Surface {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ oldBitmap = nullptr;
    HGDIOBJ oldFont = nullptr;
    int32_t width = 0;
    int32_t height = 0;
};

static_assert(plat::kWmPaint == WM_PAINT && plat::kWmClose == WM_CLOSE && plat::kWmApp == WM_APP);
static_assert(plat::kWmLButtonDblClk == WM_LBUTTONDBLCLK && plat::kWmSysCommand == WM_SYSCOMMAND);
static_assert(plat::kScMinimize == SC_MINIMIZE && plat::kWmSetIcon == WM_SETICON);
static_assert(plat::kSwShow == SW_SHOW && plat::kSwMinimize == SW_MINIMIZE);
static_assert(plat::kIdCancel == IDCANCEL && plat::kLbErr == LB_ERR && plat::kClrInvalid == CLR_INVALID);

namespace {

// Windows live until the process ends: other threads post to them by handle, and a post to a
// destroyed window must fail, not touch freed memory.
std::mutex gWindowsLock;
std::vector<std::unique_ptr<plat::Window>> gWindows;
plat::Window* gLastFrame = nullptr;

HCURSOR gCursor = nullptr;

plat::Window* NewWindow() {
    std::lock_guard<std::mutex> lock(gWindowsLock);
    gWindows.push_back(std::make_unique<plat::Window>());
    return gWindows.back().get();
}

bool ForClient(UINT msg) {
    switch (msg) {
    case WM_PAINT:
    case WM_CLOSE:
    case WM_SYSCOMMAND:
    case WM_KEYDOWN:
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
        return true;
    default:
        return msg >= WM_USER && msg <= 0xBFFF;
    }
}

bool AlsoDefault(UINT msg) { return msg == WM_SYSCOMMAND || msg == WM_KEYDOWN; }

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        auto* w = static_cast<plat::Window*>(cs->lpCreateParams);
        w->hwnd = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w));
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    auto* w = reinterpret_cast<plat::Window*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (w == nullptr) return DefWindowProcA(hwnd, msg, wParam, lParam);

    switch (msg) {
    case WM_NCDESTROY:
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        w->client = nullptr;
        if (w == gLastFrame) gLastFrame = nullptr;
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_SIZE:
        if (w->isFrame && w->view != nullptr && w->view->hwnd != nullptr) {
            ::MoveWindow(w->view->hwnd, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
        }
        return 0;
    case WM_SETFOCUS:
        if (w->isFrame && w->view != nullptr && w->view->hwnd != nullptr) {
            ::SetFocus(w->view->hwnd);
            return 0;
        }
        break;
    case WM_ERASEBKGND:
        if (!w->isFrame) return 1;  // the panel paints every pixel itself
        break;
    case WM_SETCURSOR:
        // The view has no class cursor: the one the core chose stays until it chooses another.
        if (!w->isFrame && LOWORD(lParam) == HTCLIENT) {
            ::SetCursor(gCursor != nullptr ? gCursor : LoadCursor(nullptr, IDC_ARROW));
            return TRUE;
        }
        break;
    case WM_PAINT:
        if (w->isFrame) return DefWindowProcA(hwnd, msg, wParam, lParam);  // the view covers it
        {
            // A posted paint has nothing invalid; the client still paints the whole panel.
            PAINTSTRUCT ps;
            BeginPaint(hwnd, &ps);
            EndPaint(hwnd, &ps);
            if (w->client != nullptr) w->client->WindowProc(WM_PAINT, wParam, lParam);
        }
        return 0;
    default:
        break;
    }

    if (w->client != nullptr && ForClient(msg)) {
        const LRESULT r = w->client->WindowProc(msg, wParam, lParam);
        if (!AlsoDefault(msg)) return r;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RegisterClasses() {
    static const bool registered = [] {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &WndProc;
        wc.hInstance = win32::Instance();
        wc.hIcon = LoadIconA(win32::Instance(), MAKEINTRESOURCEA(plat::kIconApp));
        wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        wc.lpszClassName = win32::kFrameClass;
        RegisterClassExA(&wc);

        WNDCLASSEXA vc{};
        vc.cbSize = sizeof vc;
        vc.style = CS_DBLCLKS;  // the panel treats the second click of a double-click as a press
        vc.lpfnWndProc = &WndProc;
        vc.hInstance = win32::Instance();
        vc.lpszClassName = win32::kViewClass;
        RegisterClassExA(&vc);
        return true;
    }();
    (void)registered;
}

// Clips a block copy to both surfaces, as the interface promises.
bool Clip(int32_t& x, int32_t& y, int32_t& w, int32_t& h, int32_t& sx, int32_t& sy, int32_t dw, int32_t dh,
          int32_t sw, int32_t sh) {
    if (sx < 0) {
        x -= sx;
        w += sx;
        sx = 0;
    }
    if (sy < 0) {
        y -= sy;
        h += sy;
        sy = 0;
    }
    if (x < 0) {
        sx -= x;
        w += x;
        x = 0;
    }
    if (y < 0) {
        sy -= y;
        h += y;
        y = 0;
    }
    w = std::min({w, sw - sx, dw - x});
    h = std::min({h, sh - sy, dh - y});
    return w > 0 && h > 0;
}

INT_PTR CALLBACK ListDlgProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* dlg = reinterpret_cast<plat::Dialog*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    switch (msg) {
    case WM_INITDIALOG:
        dlg = reinterpret_cast<plat::Dialog*>(lParam);
        dlg->hwnd = hwnd;
        SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(dlg));
        dlg->brush = CreateSolidBrush(dlg->backColor);
        return dlg->client->OnInitDialog(dlg) ? TRUE : FALSE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORLISTBOX:
        if (dlg == nullptr) return FALSE;
        SetBkColor(reinterpret_cast<HDC>(wParam), dlg->backColor);
        return reinterpret_cast<INT_PTR>(dlg->brush);
    case WM_COMMAND:
        if (dlg == nullptr) return FALSE;
        if (LOWORD(wParam) == win32::kListBoxId && HIWORD(wParam) == LBN_SELCHANGE) {
            dlg->client->OnSelChange(dlg);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(hwnd, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

LRESULT ListSend(plat::HDialog dlg, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendDlgItemMessageA(dlg->hwnd, win32::kListBoxId, msg, wParam, lParam);
}

}  // namespace

namespace win32 {
HINSTANCE Instance() { return GetModuleHandleA(nullptr); }
}  // namespace win32

namespace plat {

// ---- Process and files --------------------------------------------------------------------
std::string GetCurrentDir() {
    std::string dir(MAX_PATH, '\0');
    DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(dir.size()), dir.data());
    if (n >= dir.size()) {
        dir.resize(n);
        n = GetCurrentDirectoryA(static_cast<DWORD>(dir.size()), dir.data());
    }
    dir.resize(n < dir.size() ? n : 0);
    return dir;
}

char PathSeparator() { return '\\'; }

std::string_view NewFileEol() { return "\r\n"; }

// The settings file is not forced to the disk here: the write and rename are left to the system's
// cache, as they always were on Windows.
bool SyncFile(std::FILE*) { return true; }

bool ClaimInstance(const char* title) {
    // The claim is the main frame's title itself, created later; a crash takes it away.
    return FindWindowA(nullptr, title) == nullptr;
}

// ---- Windows ------------------------------------------------------------------------------
Rect GetWorkArea() {
    RECT r{};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &r, 0);
    return {r.left, r.top, r.right, r.bottom};
}

HWnd CreateMainFrame(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                     WindowClient* client) {
    RegisterClasses();
    Window* w = NewWindow();
    w->isFrame = true;
    w->client = client;
    const DWORD style = WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    if (CreateWindowExA(0, win32::kFrameClass, title, style, x, y, width, height, nullptr, nullptr,
                        win32::Instance(), w) == nullptr) {
        w->client = nullptr;
        return nullptr;
    }
    gLastFrame = w;
    return w;
}

HWnd CreateView(HWnd frame, WindowClient* client) {
    if (frame == nullptr || frame->hwnd == nullptr) return nullptr;
    RECT rc{};
    GetClientRect(frame->hwnd, &rc);
    Window* w = NewWindow();
    w->client = client;
    w->frame = frame;
    if (CreateWindowExA(0, win32::kViewClass, "", WS_CHILD | WS_VISIBLE, 0, 0, rc.right, rc.bottom,
                        frame->hwnd, nullptr, win32::Instance(), w) == nullptr) {
        w->client = nullptr;
        return nullptr;
    }
    frame->view = w;
    return w;
}

void DestroyWindow(HWnd wnd) {
    if (wnd != nullptr && wnd->hwnd != nullptr && IsWindow(wnd->hwnd)) ::DestroyWindow(wnd->hwnd);
}

void ShowWindow(HWnd frame, int cmd) {
    if (frame == nullptr || frame->hwnd == nullptr) return;
    ::ShowWindow(frame->hwnd, cmd);
    UpdateWindow(frame->hwnd);
}

bool IsIconic(HWnd frame) { return frame != nullptr && ::IsIconic(frame->hwnd); }

Rect GetWindowRect(HWnd frame) {
    RECT r{};
    if (frame != nullptr) ::GetWindowRect(frame->hwnd, &r);
    return {r.left, r.top, r.right, r.bottom};
}

void MoveWindow(HWnd frame, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint) {
    if (frame != nullptr) ::MoveWindow(frame->hwnd, x, y, width, height, repaint ? TRUE : FALSE);
}

Point ClientToScreen(HWnd wnd, Point p) {
    POINT pt{p.x, p.y};
    if (wnd != nullptr) ::ClientToScreen(wnd->hwnd, &pt);
    return {pt.x, pt.y};
}

bool PostWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    return wnd != nullptr && wnd->hwnd != nullptr && PostMessageA(wnd->hwnd, msg, wParam, lParam) != FALSE;
}

intptr_t SendWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (wnd == nullptr || wnd->client == nullptr) return 0;
    return wnd->client->WindowProc(msg, wParam, lParam);
}

int RunMessageLoop() {
    MSG m{};
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return static_cast<int>(m.wParam);
}

void QuitMessageLoop(int code) { PostQuitMessage(code); }

// ---- Mouse --------------------------------------------------------------------------------
void SetCapture(HWnd wnd) {
    if (wnd != nullptr) ::SetCapture(wnd->hwnd);
}

void ReleaseCapture() { ::ReleaseCapture(); }

void SetCursor(Cursor cursor) {
    gCursor = LoadCursor(nullptr, cursor == Cursor::SizeAll ? IDC_SIZEALL : IDC_ARROW);
    ::SetCursor(gCursor);
}

// ---- Icons --------------------------------------------------------------------------------
HIcon LoadAppIcon(int resourceId) {
    HANDLE icon = LoadImageA(win32::Instance(), MAKEINTRESOURCEA(resourceId), IMAGE_ICON,
                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR);
    return reinterpret_cast<HIcon>(icon);
}

void SetSmallIcon(HWnd frame, HIcon icon) {
    if (frame != nullptr) SendMessageA(frame->hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

// ---- Drawing ------------------------------------------------------------------------------
HSurface LoadBitmapSurface(const std::string& path) {
    auto bitmap = static_cast<HBITMAP>(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0,
                                                  LR_LOADFROMFILE | LR_CREATEDIBSECTION | LR_VGACOLOR));
    if (bitmap == nullptr) return nullptr;
    BITMAP info{};
    HDC dc = CreateCompatibleDC(nullptr);
    if (dc == nullptr || GetObjectA(bitmap, sizeof info, &info) == 0) {
        if (dc != nullptr) DeleteDC(dc);
        DeleteObject(bitmap);
        return nullptr;
    }
    auto* s = new Surface;
    s->dc = dc;
    s->bitmap = bitmap;
    s->oldBitmap = SelectObject(dc, bitmap);
    s->width = info.bmWidth;
    s->height = info.bmHeight;
    return s;
}

void FreeSurface(HSurface s) {
    if (s == nullptr) return;
    if (s->oldFont != nullptr) SelectObject(s->dc, s->oldFont);
    SelectObject(s->dc, s->oldBitmap);
    DeleteDC(s->dc);
    DeleteObject(s->bitmap);
    delete s;
}

int32_t SurfaceWidth(HSurface s) { return s ? s->width : 0; }
int32_t SurfaceHeight(HSurface s) { return s ? s->height : 0; }

void BitBlt(HSurface dst, int32_t x, int32_t y, int32_t w, int32_t h, HSurface src, int32_t sx, int32_t sy) {
    if (dst == nullptr || src == nullptr) return;
    if (!Clip(x, y, w, h, sx, sy, dst->width, dst->height, src->width, src->height)) return;
    ::BitBlt(dst->dc, x, y, w, h, src->dc, sx, sy, SRCCOPY);
}

uint32_t GetPixel(HSurface s, int32_t x, int32_t y) {
    if (s == nullptr || x < 0 || y < 0 || x >= s->width || y >= s->height) return kClrInvalid;
    return ::GetPixel(s->dc, x, y);
}

HFont CreatePanelFont(const char* face, int32_t height, int32_t width) {
    return reinterpret_cast<HFont>(CreateFontA(height, width, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                               ANSI_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                               DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face));
}

void FreeFont(HFont font) {
    if (font != nullptr) DeleteObject(reinterpret_cast<HFONT>(font));
}

void SelectTextStyle(HSurface s, HFont font, uint32_t textColor, uint32_t backColor) {
    if (s == nullptr) return;
    if (font != nullptr) {
        HGDIOBJ old = SelectObject(s->dc, reinterpret_cast<HFONT>(font));
        if (s->oldFont == nullptr) s->oldFont = old;
    }
    SetTextColor(s->dc, textColor);
    if (backColor == kClrInvalid) {
        SetBkMode(s->dc, TRANSPARENT);
    } else {
        SetBkMode(s->dc, OPAQUE);
        SetBkColor(s->dc, backColor);
    }
}

void DrawTextAt(HSurface s, int32_t x, int32_t y, const char* text) {
    if (s == nullptr || text == nullptr) return;
    const std::wstring wide = win32::Widen(text);
    TextOutW(s->dc, x, y, wide.c_str(), static_cast<int>(wide.size()));
}

void Present(HWnd view, HSurface canvas, int32_t w, int32_t h) {
    if (view == nullptr || canvas == nullptr) return;
    HDC dc = GetDC(view->hwnd);
    if (dc == nullptr) return;
    ::BitBlt(dc, 0, 0, w, h, canvas->dc, 0, 0, SRCCOPY);
    ReleaseDC(view->hwnd, dc);
}

// ---- The pop-up list ----------------------------------------------------------------------
int DoModalList(DialogClient* client, uint32_t backColor) {
    Dialog dlg;
    dlg.client = client;
    dlg.backColor = backColor;
    // Owned by the main frame, which is disabled meanwhile, as a modal dialog with no parent is.
    HWND owner = gLastFrame != nullptr ? gLastFrame->hwnd : nullptr;
    const INT_PTR r = DialogBoxParamA(win32::Instance(), MAKEINTRESOURCEA(win32::kListDialogId), owner,
                                      &ListDlgProc, reinterpret_cast<LPARAM>(&dlg));
    if (dlg.brush != nullptr) DeleteObject(dlg.brush);
    return r == -1 ? kIdCancel : static_cast<int>(r);
}

void ListResetContent(HDialog dlg) { ListSend(dlg, LB_RESETCONTENT); }

int ListAddString(HDialog dlg, const char* text) {
    return static_cast<int>(ListSend(dlg, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text)));
}

int ListGetCount(HDialog dlg) { return static_cast<int>(ListSend(dlg, LB_GETCOUNT)); }
int ListSetCurSel(HDialog dlg, int index) { return static_cast<int>(ListSend(dlg, LB_SETCURSEL, index)); }
int ListGetCurSel(HDialog dlg) { return static_cast<int>(ListSend(dlg, LB_GETCURSEL)); }

int ListGetText(HDialog dlg, int index, std::string* text) {
    const auto len = static_cast<int>(ListSend(dlg, LB_GETTEXTLEN, static_cast<WPARAM>(index)));
    if (len == LB_ERR) return kLbErr;
    std::string buf(static_cast<size_t>(len) + 1, '\0');
    const auto got = static_cast<int>(
        ListSend(dlg, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buf.data())));
    if (got == LB_ERR) return kLbErr;
    buf.resize(static_cast<size_t>(got));
    *text = std::move(buf);
    return got;
}

Rect GetDialogRect(HDialog dlg) {
    RECT r{};
    ::GetWindowRect(dlg->hwnd, &r);
    return {r.left, r.top, r.right, r.bottom};
}

void MoveDialog(HDialog dlg, int32_t x, int32_t y, int32_t w, int32_t h) {
    ::MoveWindow(dlg->hwnd, x, y, w, h, TRUE);
}

void EndDialog(HDialog dlg, int code) { ::EndDialog(dlg->hwnd, code); }

}  // namespace plat
