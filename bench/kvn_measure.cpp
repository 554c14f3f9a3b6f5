// kvn on the SDL platform, measured: the adapter's 10 ms timer (intervals and drift), and one full
// repaint of the real panel. For the paint the application starts as kvn starts it (settings
// naming two ports, skin, window); then the view's WM_PAINT is handled again and again on the
// user-interface thread, as the message loop hands it over, with the loop's other events
// dispatched in between (untimed). Run it with a display and a JACK server:
//   tests/sdl/run_with.sh --wm --jack -- build/kvn_measure --paints=2000
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include "engine/state.h"
#include "panel/view.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"
#include "shell/app.h"
#include "shell/main_frame.h"
#include "tests/sdl/jack_client.h"
#include "tests/sdl/support.h"

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
    std::printf("| %s | %zu | %.3f | %.3f | %.3f | %.3f | %.3f |\n", what, v.size(), v.front(),
                v[(v.size() - 1) / 2], mean, v[size_t(0.99 * double(v.size()) + 0.5) - 1], v.back());
}

void Pump() {
    SDL_Event e;
    while (sdlplat::internal::WaitEvent(&e, 0)) sdlplat::internal::Dispatch(e);
}

// Paints `n` times; `light` sets the panel state before each paint.
template <typename F>
std::vector<double> Paints(plat::HWnd view, int n, F light) {
    std::vector<double> ms;
    for (int i = 0; i < n; ++i) {
        Pump();
        light(i);
        const auto t0 = Clock::now();
        plat::SendWindowMessage(view, plat::kWmPaint, 0, 0);
        ms.push_back(Ms(Clock::now() - t0));
    }
    return ms;
}

void Light(int32_t value) {
    g_LampIn = value;
    g_LampOut = value;
    g_LampDrop = value;
}

}  // namespace

int main(int argc, char** argv) {
    int paints = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--paints=", 9) == 0) paints = std::max(10, std::atoi(argv[i] + 9));
    }
    std::printf(
        "| What | n | min ms | median ms | mean ms | p99 ms | max ms |\n|---|---|---|---|---|---|---|\n");
    const uint32_t id = plat::TimeSetEvent(10, 1, Tick, 0, plat::kTimePeriodic);
    while (gCount.load() < 301) plat::Sleep(5);
    plat::TimeKillEvent(id);
    std::vector<double> intervals;
    for (size_t i = 1; i < 301; ++i) intervals.push_back(Ms(gTicks[i] - gTicks[i - 1]));
    Report("timer interval", intervals);

    sdlplat::HandleStopSignals();
    kvntest::JackClient player("kvnplay"), sink("kvnsink");  // the ports the settings name
    const std::string scratch = kvntest::ScratchDir(), dir = scratch + "/Measure";
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(std::filesystem::path(KVN_PROGRAM).parent_path() / "Bitmap",
                                    dir + "/Bitmap");
    std::ofstream(dir + "/KVN.ini") << "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\n"
                                       "MidiInDeviceName=kvnplay:out\nMidiOutDeviceName=kvnsink:in\n";
    if (!player.Ok() || chdir(dir.c_str()) != 0 || !theApp.InitInstance() || theApp.m_pMainWnd == nullptr) {
        std::fprintf(stderr, "the application did not start (run under run_with.sh --wm --jack)\n");
        return 1;
    }
    plat::HWnd view = theApp.m_pMainWnd->View()->Hwnd();
    // Let the window come up and the start-up paints and lamps go by.
    for (const auto settle = Clock::now() + std::chrono::seconds(3); Clock::now() < settle; plat::Sleep(5))
        Pump();
    Paints(view, 100, [](int) {});  // warm-up
    Report("paint, idle (both ports named, lamps out)", Paints(view, paints, [](int) {}));
    Report("paint, traffic (in, out and drop lamps lit on alternate paints)",
           Paints(view, paints, [](int i) { Light((i & 1) ? 30 : kLampIdle); }));
    Light(kLampIdle);
    std::printf("\ntimer drift over 300 ticks: %.3f ms\n", Ms(gTicks[300] - gTicks[0]) - 3000.0);
    theApp.m_pMainWnd->DestroyWindow();
    const int code = theApp.ExitInstance(0);
    sdlplat::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return code;
}
