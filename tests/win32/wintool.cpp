// A test helper that runs beside KVN.exe in the same Wine prefix and looks at it from outside.
//   wintool window TITLE TIMEOUT_MS      waits (polling every 20 ms) for a visible top-level window
//                                        and prints "rect LEFT TOP RIGHT BOTTOM"; status 1 on a timeout
//   wintool findregion BMP REGION        prints the pixel of the hit map whose region code
//                                        (25 - red / 10) is REGION that lies nearest the middle
//                                        of all such pixels
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int Window(const char* title, DWORD timeout) {
    HWND w = nullptr;
    for (const DWORD start = GetTickCount();
         (w = FindWindowA(nullptr, title)) == nullptr || !IsWindowVisible(w); Sleep(20)) {
        if (GetTickCount() - start >= timeout) return 1;
    }
    RECT r{};
    GetWindowRect(w, &r);
    std::printf("rect %ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
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
    std::printf("%ld %ld\n", best.x, best.y);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    if (cmd == "window" && argc >= 4) return Window(argv[2], static_cast<DWORD>(std::atol(argv[3])));
    if (cmd == "findregion" && argc >= 4) return FindRegion(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: wintool window|findregion ...\n");
    return 2;
}
