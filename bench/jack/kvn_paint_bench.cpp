// The cost of one full repaint of the real panel on the SDL platform: the application started as
// kvn starts it (settings, ports, skin, window), then the view's WM_PAINT handled again and again
// on the user-interface thread, exactly as the message loop hands it over, with the loop's other
// events dispatched in between (untimed). Run it with a display and a JACK server, for example
//   cd build-b1 && ../tests/sdl/run_with.sh --wm --jack-async -- ./kvn_paint_bench --paints=2000
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "engine/state.h"
#include "panel/view.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"
#include "platform/window.h"
#include "shell/app.h"
#include "shell/main_frame.h"
#include "tests/sdl/jack_client.h"
#include "tests/sdl/support.h"

namespace {

using Clock = std::chrono::steady_clock;

void Pump() {
    SDL_Event e;
    while (sdlplat::internal::WaitEvent(&e, 0)) sdlplat::internal::Dispatch(e);
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

void Report(const char* what, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const double mean = std::accumulate(v.begin(), v.end(), 0.0) / double(v.size());
    std::printf("| %s | %zu | %.3f | %.3f | %.3f | %.3f | %.3f |\n", what, v.size(), v.front(),
                v[(v.size() - 1) / 2], mean, v[size_t(0.99 * double(v.size()) + 0.5) - 1], v.back());
}

// Paints `n` times; `light` sets the panel state before each paint.
template <typename F>
std::vector<double> Paints(plat::HWnd view, int n, F light) {
    std::vector<double> ms;
    ms.reserve(size_t(n));
    for (int i = 0; i < n; ++i) {
        Pump();
        light(i);
        const auto t0 = Clock::now();
        plat::SendWindowMessage(view, plat::kWmPaint, 0, 0);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int paints = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--paints=", 9) == 0) paints = std::max(10, std::atoi(argv[i] + 9));
    }
    sdlplat::HandleStopSignals();
    // The ports the settings name, so that the panel shows both names as it does in use.
    kvntest::JackClient player("kvnplay"), sink("kvnsink");
    const std::string scratch = kvntest::ScratchDir();
    const std::string dir = scratch + "/PaintBench";
    std::filesystem::create_directories(dir);
    std::filesystem::create_symlink(std::filesystem::path(KVN_PROGRAM).parent_path() / "Bitmap",
                                    dir + "/Bitmap");
    std::ofstream(dir + "/KVN.ini") << "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\n"
                                       "MidiInDeviceName=kvnplay:out\nMidiOutDeviceName=kvnsink:in\n";
    if (chdir(dir.c_str()) != 0 || !theApp.InitInstance() || theApp.m_pMainWnd == nullptr) {
        std::fprintf(stderr, "the application did not start\n");
        return 1;
    }
    plat::HWnd view = theApp.m_pMainWnd->View()->Hwnd();
    // Let the window come up and the start-up paints and lamps go by.
    const auto settle = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < settle) {
        Pump();
        plat::Sleep(5);
    }
    std::printf("kvn_paint_bench: %d paints per state, ports %s / %s, load average %s\n\n", paints,
                player.Ok() ? "kvnplay:out" : "(none)", sink.Ok() ? "kvnsink:in" : "(none)",
                LoadAverage().c_str());
    std::printf(
        "| Panel state | Paints | min ms | median ms | mean ms | p99 ms | max ms "
        "|\n|---|---|---|---|---|---|---|\n");
    Paints(view, 100, [](int) {});  // warm-up
    Report("idle (both ports named, lamps out)", Paints(view, paints, [](int) {}));
    Report("traffic (in, out and drop lamps lit, alternate paints)", Paints(view, paints, [](int i) {
               const int32_t lit = (i & 1) ? 30 : kLampIdle;
               g_LampIn = lit;
               g_LampOut = lit;
               g_LampDrop = lit;
           }));
    g_LampIn = kLampIdle;
    g_LampOut = kLampIdle;
    g_LampDrop = kLampIdle;
    std::printf("\nload average %s\n", LoadAverage().c_str());
    theApp.m_pMainWnd->DestroyWindow();
    const int code = theApp.ExitInstance(0);
    sdlplat::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return code;
}
