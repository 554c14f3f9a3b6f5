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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Out(const std::string& s) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), static_cast<DWORD>(s.size()), &written, nullptr);
}

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

template <typename F>
bool WaitFor(DWORD timeoutMs, F ready) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (ready()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(20);
    }
}

std::string Line(const char* fmt, long a, long b, long c, long d) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, a, b, c, d);
    return buf;
}

int Box(const char* caption, DWORD timeout) {
    HWND box = nullptr;
    if (!WaitFor(timeout, [&] { return (box = FindWindowA("#32770", caption)) != nullptr; })) return 1;
    wchar_t text[4096] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 4096);
    Out(Utf8(text) + "\n");
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}

int Window(const char* title, DWORD timeout) {
    HWND w = nullptr;
    if (!WaitFor(timeout,
                 [&] { return (w = FindWindowA(nullptr, title)) != nullptr && IsWindowVisible(w); })) {
        return 1;
    }
    RECT r{}, wa{};
    GetWindowRect(w, &r);
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &wa, 0);
    Out(Line("rect %ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom));
    Out(Line("workarea %ld %ld %ld %ld\n", wa.left, wa.top, wa.right, wa.bottom));
    // (Wine answers no WM_GETICON from another process, so the icons cannot be looked at here.)
    Out(Line("style %08lX exstyle %08lX iconic %ld\n", GetWindowLongA(w, GWL_STYLE),
             GetWindowLongA(w, GWL_EXSTYLE), IsIconic(w) ? 1 : 0, 0));
    return 0;
}

int Close(const char* title) {
    HWND w = FindWindowA(nullptr, title);
    return w != nullptr && PostMessageA(w, WM_CLOSE, 0, 0) ? 0 : 1;
}

// The pop-up list: a dialog-class window holding list box 1000.
HWND FindList() {
    HWND found = nullptr;
    EnumWindows(
        [](HWND w, LPARAM arg) -> BOOL {
            char cls[64] = {};
            GetClassNameA(w, cls, sizeof cls);
            if (std::strcmp(cls, "#32770") == 0 && IsWindowVisible(w) && GetDlgItem(w, 1000) != nullptr) {
                *reinterpret_cast<HWND*>(arg) = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

int List(DWORD timeout) {
    HWND dlg = nullptr;
    if (!WaitFor(timeout, [&] { return (dlg = FindList()) != nullptr; })) return 1;
    HWND list = GetDlgItem(dlg, 1000);
    RECT r{}, lr{};
    GetWindowRect(dlg, &r);
    GetWindowRect(list, &lr);
    const long count = static_cast<long>(SendMessageA(list, LB_GETCOUNT, 0, 0));
    Out(Line("rect %ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom));
    POINT origin{0, 0};
    ClientToScreen(list, &origin);
    Out(Line("client %ld %ld itemheight %ld count %ld\n", origin.x, origin.y,
             static_cast<long>(SendMessageA(list, LB_GETITEMHEIGHT, 0, 0)), count));
    Out(Line("cursel %ld\n", static_cast<long>(SendMessageA(list, LB_GETCURSEL, 0, 0)), 0, 0, 0));
    for (long i = 0; i < count; ++i) {
        std::wstring text(
            static_cast<size_t>(SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0)) + 1, L'\0');
        const LRESULT n =
            SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        Out("line " + Utf8(text) + "\n");
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
    for (const POINT& p : hits) {
        cx += p.x;
        cy += p.y;
    }
    cx /= static_cast<double>(hits.size());
    cy /= static_cast<double>(hits.size());
    POINT best = hits[0];
    double bestD = 1e18;
    for (const POINT& p : hits) {
        const double d = (p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy);
        if (d < bestD) {
            bestD = d;
            best = p;
        }
    }
    Out(Line("%ld %ld\n", best.x, best.y, 0, 0));
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
