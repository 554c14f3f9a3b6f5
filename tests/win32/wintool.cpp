// A test helper that runs beside KVN.exe in the same Wine prefix and looks at its windows from
// the outside. Waits poll every 20 ms up to the given timeout; exit status 1 on a timeout.
//   wintool box CAPTION TIMEOUT_MS       prints a message box's text (UTF-8), then presses OK
//   wintool window TITLE TIMEOUT_MS      waits for a visible top-level window; prints its rect,
//                                        the work area, its styles and whether it is minimised
//   wintool close TITLE                  posts WM_CLOSE to it (the platform's own close command)
//   wintool list TIMEOUT_MS              waits for the pop-up list; prints its rect, line height,
//                                        selection and lines
//   wintool findregion BMP REGION        prints the pixel of the hit map whose region code
//                                        (25 - red / 10) is REGION that lies nearest the middle
//                                        of all such pixels
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Writes to stdout unbuffered, so nothing is lost when Wine ends the process.
void Out(const char* fmt, ...) {
    char buf[8192];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buf, static_cast<DWORD>(std::clamp(n, 0, int(sizeof buf) - 1)),
              &written, nullptr);
}

std::string Utf8(const wchar_t* w) {
    char buf[8192];
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf, static_cast<size_t>(n - 1)) : std::string();
}

template <typename F>
bool WaitFor(DWORD timeoutMs, F ready) {
    for (const DWORD start = GetTickCount(); !ready(); Sleep(20)) {
        if (GetTickCount() - start >= timeoutMs) return false;
    }
    return true;
}

int Box(const char* caption, DWORD timeout) {
    HWND box = nullptr;
    if (!WaitFor(timeout, [&] { return (box = FindWindowA("#32770", caption)) != nullptr; })) return 1;
    wchar_t text[4096] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    Out("%s\n", Utf8(text).c_str());
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

int Window(const char* title, DWORD timeout) {
    HWND w = nullptr;
    const auto shown = [&] { return (w = FindWindowA(nullptr, title)) != nullptr && IsWindowVisible(w); };
    if (!WaitFor(timeout, shown)) return 1;
    RECT r{}, wa{};
    GetWindowRect(w, &r);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &wa, 0);
    Out("rect %ld %ld %ld %ld\nworkarea %ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom, wa.left, wa.top,
        wa.right, wa.bottom);
    // (Wine answers no WM_GETICON from another process, so the icons cannot be looked at here.)
    Out("style %08lX exstyle %08lX iconic %d\n", GetWindowLongA(w, GWL_STYLE), GetWindowLongA(w, GWL_EXSTYLE),
        IsIconic(w) ? 1 : 0);
    return 0;
}

int Close(const char* title) {
    HWND w = FindWindowA(nullptr, title);
    return w != nullptr && PostMessageA(w, WM_CLOSE, 0, 0) ? 0 : 1;
}

// The pop-up list: a dialog-class window holding list box 1000.
HWND FindList() {
    for (HWND w = nullptr; (w = FindWindowExA(nullptr, w, "#32770", nullptr)) != nullptr;) {
        if (IsWindowVisible(w) && GetDlgItem(w, 1000) != nullptr) return w;
    }
    return nullptr;
}

int List(DWORD timeout) {
    HWND dlg = nullptr;
    if (!WaitFor(timeout, [&] { return (dlg = FindList()) != nullptr; })) return 1;
    HWND list = GetDlgItem(dlg, 1000);
    RECT r{};
    GetWindowRect(dlg, &r);
    const long count = static_cast<long>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    POINT origin{0, 0};
    ClientToScreen(list, &origin);
    Out("rect %ld %ld %ld %ld\nclient %ld %ld itemheight %ld count %ld\ncursel %ld\n", r.left, r.top, r.right,
        r.bottom, origin.x, origin.y, static_cast<long>(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0)), count,
        static_cast<long>(SendMessageA(list, LB_GETCURSEL, 0, 0)));
    for (long i = 0; i < count; ++i) {
        wchar_t text[1024] = {};  // lines are a number and a device name
        SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        Out("line %s\n", Utf8(text).c_str());
    }
    return 0;
}

int FindRegion(const char* path, int region) {
    auto bmp = static_cast<HBITMAP>(
        LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    if (bmp == nullptr) return 1;
    BITMAP info{};
    GetObjectA(bmp, sizeof info, &info);
    HDC dc = CreateCompatibleDC(nullptr);
    SelectObject(dc, bmp);
    std::vector<POINT> hits;
    for (long y = 0; y < info.bmHeight; ++y) {
        for (long x = 0; x < info.bmWidth; ++x) {
            if (25 - GetRValue(GetPixel(dc, x, y)) / 10 == region) hits.push_back({x, y});
        }
    }
    if (hits.empty()) return 1;
    double cx = 0, cy = 0;
    for (const POINT& p : hits) cx += p.x, cy += p.y;
    cx /= static_cast<double>(hits.size());
    cy /= static_cast<double>(hits.size());
    const auto d = [&](const POINT& p) { return (p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy); };
    const POINT best =
        *std::min_element(hits.begin(), hits.end(), [&](auto& a, auto& b) { return d(a) < d(b); });
    Out("%ld %ld\n", best.x, best.y);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    const auto timeout = [&](int i) { return argc > i ? static_cast<DWORD>(std::atol(argv[i])) : 10000u; };
    if (cmd == "box" && argc >= 3) return Box(argv[2], timeout(3));
    if (cmd == "window" && argc >= 3) return Window(argv[2], timeout(3));
    if (cmd == "close" && argc >= 3) return Close(argv[2]);
    if (cmd == "list") return List(timeout(2));
    if (cmd == "findregion" && argc >= 4) return FindRegion(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: wintool box|window|close|list|findregion ...\n");
    return 2;
}
