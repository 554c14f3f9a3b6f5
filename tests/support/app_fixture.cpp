#include "tests/support/app_fixture.h"

#include <atomic>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif
#include <fstream>
#include <sstream>

#include "engine/engine.h"
#include "panel/view.h"
#include "platform/bmp.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "shell/main_frame.h"

namespace fs = std::filesystem;

namespace kvntest {

namespace {
long ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

int32_t Pack(plat::Point p) { return (p.x & 0xFFFF) | ((p.y & 0xFFFF) << 16); }
}  // namespace

fs::path FreshTempDir() {
    // Test executables run side by side: the process id keeps their folders apart, the counter
    // the folders of one process.
    static std::atomic<int> counter{0};
    fs::path dir = fs::temp_directory_path() /
                   ("kvn-test-" + std::to_string(ProcessId()) + "-" + std::to_string(counter++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void AppTest::SetUp() {
    sim::Reset();
    ResetProcessState();
    theApp.Reset();
    root_ = FreshTempDir();
    folder_ = root_ / "Studio";
    fs::create_directories(folder_ / "Bitmap");
    for (const auto& entry : fs::directory_iterator(fs::path(KVN_SOURCE_DIR) / "resources" / "Bitmap")) {
        fs::copy_file(entry.path(), folder_ / "Bitmap" / entry.path().filename());
    }
    sim::SetCurrentDir(folder_.string());
}

void AppTest::NextLife() {
    mf_DeviceClose();
    theApp.Reset();
    ResetProcessState();
    sim::Reset();
    sim::SetCurrentDir(folder_.string());
}

void AppTest::TearDown() {
    // A run ended by the platform's close keeps its ports open; the process end releases them.
    mf_DeviceClose();
    theApp.Reset();
    // Buffers the engine still holds (a run that ended without the panel's close) go with the process.
    ResetProcessState();
    sim::Reset();
    std::error_code ec;
    fs::remove_all(root_, ec);
}

bool AppTest::Start() { return theApp.InitInstance(); }

void AppTest::Pump() { sim::Pump(); }

int AppTest::CloseByPlatform() {
    plat::PostWindowMessage(sim::MainFrame(), plat::kWmClose, 0, 0);
    const int code = plat::RunMessageLoop();
    return theApp.ExitInstance(code < 0 ? 0 : code);
}

int AppTest::CloseByPanel() {
    Click(PointOf(HIT_CLOSE));
    const int code = plat::RunMessageLoop();
    return theApp.ExitInstance(code < 0 ? 0 : code);
}

void AppTest::MoveTo(plat::Point p) {
    plat::PostWindowMessage(sim::View(), plat::kWmMouseMove, 0, Pack(p));
    Pump();
}

void AppTest::Press() {
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(g_MousePos));
    Pump();
}

void AppTest::Release() {
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonUp, 0, Pack(g_MousePos));
    Pump();
}

void AppTest::Click(plat::Point p) {
    MoveTo(p);
    Press();
    Release();
}

void AppTest::DoubleClick(plat::Point p) {
    MoveTo(p);
    Press();
    Release();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDblClk, 1, Pack(p));
    Pump();
    Release();
}

plat::Point AppTest::PointOf(int region) const {
    kvn::bmp::Image map;
    EXPECT_TRUE(kvn::bmp::Load((folder_ / "Bitmap" / "05.bmp").string(), map));
    // The middle of the region's pixels, when that pixel belongs to it; else its first pixel.
    const uint32_t red = uint32_t(250 - region * 10);
    long sx = 0, sy = 0, n = 0;
    plat::Point first{-1, -1};
    for (int32_t y = 0; y < map.height; ++y) {
        for (int32_t x = 0; x < map.width; ++x) {
            if (((map.pixels[size_t(y) * size_t(map.width) + size_t(x)] >> 16) & 0xFF) != red) continue;
            if (n == 0) first = {x, y};
            sx += x;
            sy += y;
            ++n;
        }
    }
    EXPECT_GT(n, 0) << "no pixel of region " << region << " in the hit map";
    if (n == 0) return {-1, -1};
    const plat::Point mid{int32_t(sx / n), int32_t(sy / n)};
    const uint32_t at = map.pixels[size_t(mid.y) * size_t(map.width) + size_t(mid.x)];
    return ((at >> 16) & 0xFF) == red ? mid : first;
}

std::string AppTest::IniPath() const { return (folder_ / "KVN.ini").string(); }

std::string AppTest::ReadIni() const {
    std::ifstream in(IniPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void AppTest::WriteIni(const std::string& text) const {
    std::ofstream out(IniPath(), std::ios::binary);
    out << text;
}

void AppTest::RemoveSkinFile(const std::string& name) const { fs::remove(folder_ / "Bitmap" / name); }

}  // namespace kvntest
