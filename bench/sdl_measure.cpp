// Measures the SDL adapter: the 10 ms timer's intervals, and the cost of one panel-like paint
// (background, lamps, three texts, present). Not a test; run it with a display, for example
//   tests/sdl/run_with.sh --x -- build-b1/sdl_measure   (a build as bench/jack/README.md says)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <vector>

#include "platform/platform.h"
#include "platform/window.h"
#include "tests/sdl/window_support.h"

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point gTicks[301];
std::atomic<size_t> gCount{0};

void Tick(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
    const size_t n = gCount.load();
    if (n < 301) {
        gTicks[n] = Clock::now();
        gCount.store(n + 1);
    }
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void Report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const double mean = std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
    std::printf("%s: n %zu, mean %.3f ms, min %.3f, median %.3f, p99 %.3f, max %.3f\n", what, v.size(), mean,
                v.front(), v[v.size() / 2], v[v.size() * 99 / 100], v.back());
}

}  // namespace

int main() {
    const uint32_t id = plat::TimeSetEvent(10, 1, Tick, 0, plat::kTimePeriodic);
    while (gCount.load() < 301) plat::Sleep(5);
    plat::TimeKillEvent(id);
    std::vector<double> intervals;
    for (size_t i = 1; i < 301; ++i) intervals.push_back(Ms(gTicks[i] - gTicks[i - 1]));
    Report("timer interval", intervals);
    std::printf("timer drift over 300 ticks: %.3f ms\n", Ms(gTicks[300] - gTicks[0]) - 3000.0);

    const std::string skin = std::string(KVN_SOURCE_DIR) + "/resources/Bitmap/";
    plat::HSurface bg = plat::LoadBitmapSurface(skin + "00.bmp");
    plat::HSurface lamps = plat::LoadBitmapSurface(skin + "09.bmp");
    plat::HSurface canvas = plat::LoadBitmapSurface(skin + "99.bmp");
    if (!bg || !lamps || !canvas) {
        std::printf("no skin in %s\n", skin.c_str());
        return 1;
    }
    kvntest::Client frameClient, viewClient;
    plat::HWnd frame = plat::CreateMainFrame("KVN - measure", 100, 100, 740, 150, &frameClient);
    plat::HWnd view = frame ? plat::CreateView(frame, &viewClient) : nullptr;
    if (view == nullptr) {
        std::printf("no display\n");
        return 1;
    }
    plat::ShowWindow(frame, plat::kSwShow);
    plat::HFont font = plat::CreatePanelFont("SimHei", 26, 8);
    std::vector<double> paints;
    for (int i = 0; i < 300; ++i) {
        const auto t0 = Clock::now();
        plat::BitBlt(canvas, 0, 0, 740, 150, bg, 0, 0);
        plat::BitBlt(canvas, 25, 77, 44, 27, lamps, 44 * (i & 1), 0);
        plat::BitBlt(canvas, 25, 103, 44, 27, lamps, 0, 27);
        plat::SelectTextStyle(canvas, font, plat::Rgb(255, 80, 80), plat::kClrInvalid);
        plat::DrawTextAt(canvas, 70, 76, "kvnplay:out");
        plat::DrawTextAt(canvas, 70, 103, "Window's MIDI Mapper");
        plat::DrawTextAt(canvas, 646, 49, " 0");
        plat::Present(view, canvas, 740, 150);
        paints.push_back(Ms(Clock::now() - t0));
    }
    Report("paint", paints);
    plat::FreeFont(font);
    plat::DestroyWindow(frame);
    return 0;
}
