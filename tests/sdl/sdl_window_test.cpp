// Windows, posted messages, input and message boxes of the SDL adapter, on a real X server
// (run_with.sh --x, no window manager); input comes from xdotool, pictures from import.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/bmp.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"
#include "tests/sdl/window_support.h"

using kvntest::Background;
using kvntest::Client;
using kvntest::Msg;
using kvntest::Output;
using kvntest::PollUntil;

namespace {

constexpr intptr_t Pack(int x, int y) { return intptr_t(uint32_t(uint16_t(x)) | uint32_t(uint16_t(y)) << 16); }

struct Window {
    Window(const char* title, int x, int y) {
        frame = plat::CreateMainFrame(title, x, y, 740, 150, &frameClient);
        view = frame ? plat::CreateView(frame, &viewClient) : nullptr;
    }
    ~Window() { plat::DestroyWindow(frame); }
    Client frameClient, viewClient;
    plat::HWnd frame = nullptr;
    plat::HWnd view = nullptr;
};

// The X window id of a window of ours, by its title.
std::string XId(const std::string& title) {
    std::string id = Output("xdotool search --name '^" + title + "$' 2>/dev/null | head -1");
    while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
    return id;
}

TEST(SdlWindow, FrameAndViewAreOneBorderlessWindowPlacedInScreenCoordinates) {
    EXPECT_EQ(plat::GetWorkArea().right, 1280);  // no window manager: the whole screen
    EXPECT_EQ(plat::GetWorkArea().bottom, 1024);
    Window w("KVN - place", 100, 120);
    ASSERT_NE(w.view, nullptr);
    ASSERT_FALSE(XId("KVN - place").empty());
    EXPECT_FALSE(kvntest::Viewable("KVN - place"));  // hidden until shown
    plat::ShowWindow(w.frame, plat::kSwShow);
    EXPECT_TRUE(kvntest::Viewable("KVN - place"));
    EXPECT_FALSE(plat::IsIconic(w.frame));
    const plat::Rect r = plat::GetWindowRect(w.frame);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 120);
    EXPECT_EQ(r.right, 840);
    EXPECT_EQ(r.bottom, 270);
    const plat::Point p = plat::ClientToScreen(w.view, {5, 6});
    EXPECT_EQ(p.x, 105);
    EXPECT_EQ(p.y, 126);

    plat::MoveWindow(w.frame, 300, 310, 740, 150, false);
    EXPECT_EQ(plat::GetWindowRect(w.frame).left, 300);
    const std::string info = Output("xwininfo -name 'KVN - place'");
    EXPECT_NE(info.find("Absolute upper-left X:  300"), std::string::npos) << info;
    EXPECT_NE(info.find("Absolute upper-left Y:  310"), std::string::npos) << info;
    EXPECT_NE(info.find("Width: 740"), std::string::npos);
}

TEST(SdlWindow, PresentShowsTheCanvasOnTheScreen) {
    const std::string dir = kvntest::ScratchDir();
    kvn::bmp::Image img;
    img.width = 740;
    img.height = 150;
    for (int y = 0; y < 150; ++y) {
        for (int x = 0; x < 740; ++x) img.pixels.push_back(uint32_t((x * 3) & 0xFF) << 16 | uint32_t(y) << 8 | 0x40);
    }
    ASSERT_TRUE(kvn::bmp::Save(dir + "/canvas.bmp", img));
    kvn::bmp::Image lamp;
    lamp.width = 44;
    lamp.height = 27;
    lamp.pixels.assign(44 * 27, 0xFFD000);
    ASSERT_TRUE(kvn::bmp::Save(dir + "/lamp.bmp", lamp));
    plat::HSurface canvas = plat::LoadBitmapSurface(dir + "/canvas.bmp");
    plat::HSurface lit = plat::LoadBitmapSurface(dir + "/lamp.bmp");
    ASSERT_NE(canvas, nullptr);
    ASSERT_NE(lit, nullptr);

    Window w("KVN - present", 50, 60);
    plat::ShowWindow(w.frame, plat::kSwShow);
    plat::BitBlt(canvas, 25, 77, 44, 27, lit, 0, 0);
    plat::Present(w.view, canvas, 740, 150);
    ASSERT_EQ(kvntest::Run("import -window root bmp3:" + dir + "/shot.bmp"), 0);
    kvn::bmp::Image shot;
    ASSERT_TRUE(kvn::bmp::Load(dir + "/shot.bmp", shot));
    const auto at = [&](int x, int y) { return shot.pixels[size_t(y + 60) * size_t(shot.width) + size_t(x + 50)]; };
    for (auto [x, y] : {std::pair{0, 0}, {739, 149}, {300, 20}, {24, 77}, {69, 104}}) {
        EXPECT_EQ(at(x, y), img.pixels[size_t(y) * 740 + size_t(x)]) << x << "," << y;
    }
    EXPECT_EQ(at(25, 77), 0xFFD000u);
    EXPECT_EQ(at(68, 103), 0xFFD000u);
    EXPECT_NE(shot.pixels[size_t(59) * size_t(shot.width) + 50], img.pixels[0]);  // just outside
    plat::FreeSurface(canvas);
    plat::FreeSurface(lit);
}

TEST(SdlWindow, PostedMessagesReachTheirWindowInOrderOnTheLoopsThread) {
    Window w("KVN - post", 0, 0);
    EXPECT_FALSE(plat::PostWindowMessage(nullptr, plat::kWmApp, 0, 0));
    std::vector<uintptr_t> seen;
    w.viewClient.on = [&](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
        if (msg != plat::kWmApp + 1) return;
        seen.push_back(wParam);
        if (lParam == -1) plat::QuitMessageLoop(7);
    };
    Background poster([&] {
        for (uintptr_t i = 0; i < 2000; ++i) plat::PostWindowMessage(w.view, plat::kWmApp + 1, i, i == 1999 ? -1 : 5);
        plat::PostWindowMessage(w.frame, plat::kWmApp, 9, 9);
    });
    EXPECT_EQ(kvntest::RunLoop(), 7);
    ASSERT_EQ(seen.size(), 2000u);
    for (uintptr_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
    for (const Msg& m : w.viewClient.Of(plat::kWmApp + 1)) EXPECT_EQ(m.thread, std::this_thread::get_id());

    // A window destroyed meanwhile gets nothing more: queued messages for it are dropped.
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 2, 1, 2));
    Window other("KVN - other", 0, 200);
    ASSERT_TRUE(plat::PostWindowMessage(other.view, plat::kWmApp + 3, 0, 0));
    other.viewClient.on = [](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == plat::kWmApp + 3) plat::QuitMessageLoop(8);
    };
    plat::DestroyWindow(w.frame);
    EXPECT_FALSE(plat::PostWindowMessage(w.view, plat::kWmApp, 0, 0));
    EXPECT_EQ(kvntest::RunLoop(), 8);
    EXPECT_TRUE(w.viewClient.Of(plat::kWmApp + 2).empty());
    EXPECT_EQ(plat::SendWindowMessage(w.view, plat::kWmApp, 0, 0), 0);
}

// What a view of `w` was posted with message `msg`, in the order it arrived; the loop ends once
// `last` has come.
std::vector<uintptr_t> RunUntil(Window& w, uint32_t msg, uintptr_t last) {
    std::vector<uintptr_t> seen;
    w.viewClient.on = [&](uint32_t m, uintptr_t wParam, intptr_t) {
        if (m != msg) return;
        seen.push_back(wParam);
        if (wParam == last) plat::QuitMessageLoop(4);
    };
    EXPECT_EQ(kvntest::RunLoop(30000), 4);
    w.viewClient.on = nullptr;
    return seen;
}

std::string FirstGap(const std::vector<uintptr_t>& seen, uintptr_t count) {
    if (seen.size() != count) return "got " + std::to_string(seen.size()) + " of " + std::to_string(count);
    for (uintptr_t i = 0; i < count; ++i) {
        if (seen[i] != i) return "at " + std::to_string(i) + ": " + std::to_string(seen[i]);
    }
    return "";
}

// SDL's queue holds 65535 events. Posts from another thread while the loop does not run (a
// burst of MIDI while the panel is busy) go on past that, and all arrive, in order, once it runs;
// the loop's own posts meanwhile queue behind them.
TEST(SdlWindow, ABurstBeyondSdlsQueueArrivesWholeAndInOrder) {
    Window w("KVN - burst", 0, 0);
    constexpr uintptr_t kBurst = 120000;
    static_assert(kBurst > 65535 && kBurst < sdlplat::internal::kPostOverflow);
    uintptr_t failed = 0;
    {
        Background midi([&] {
            for (uintptr_t i = 0; i < kBurst; ++i) failed += plat::PostWindowMessage(w.view, plat::kWmApp + 5, i, 0) ? 0 : 1;
        });
    }
    EXPECT_EQ(failed, 0u);
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 5, kBurst, 0));
    const std::vector<uintptr_t> seen = RunUntil(w, plat::kWmApp + 5, kBurst);
    EXPECT_EQ(FirstGap(seen, kBurst + 1), "");
    for (const Msg& m : w.viewClient.Of(plat::kWmApp + 5)) ASSERT_EQ(m.thread, std::this_thread::get_id());

    // Emptied, the overflow is left alone again: posts and window events keep their order.
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 6, 0, 0));
    SDL_Event close{};
    close.type = SDL_WINDOWEVENT;
    close.window.windowID = SDL_GetWindowID(w.frame->sdl);
    close.window.event = SDL_WINDOWEVENT_CLOSE;
    SDL_PushEvent(&close);
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 6, 1, 0));
    std::vector<uintptr_t> order;
    w.frameClient.on = [&](uint32_t m, uintptr_t, intptr_t) {
        if (m == plat::kWmClose) order.push_back(99);
    };
    w.viewClient.on = [&](uint32_t m, uintptr_t wParam, intptr_t) {
        if (m != plat::kWmApp + 6) return;
        order.push_back(wParam);
        if (wParam == 1) plat::QuitMessageLoop(4);
    };
    EXPECT_EQ(kvntest::RunLoop(), 4);
    EXPECT_EQ(order, (std::vector<uintptr_t>{0, 99, 1}));
}

// Posts from other threads take the overflow only (SDL's own post locks and may allocate). Only
// with it full does a post fail, telling its poster; what went in before still arrives whole and
// in order, and posting works again afterwards.
TEST(SdlWindow, APostFailsOnlyWhenTheOverflowIsFullToo) {
    Window w("KVN - full", 0, 0);
    uintptr_t posted = 0;
    {
        Background midi([&] {
            while (posted < 1000000 && plat::PostWindowMessage(w.view, plat::kWmApp + 7, posted, 0)) ++posted;
        });
    }
    EXPECT_LT(posted, 1000000u);
    EXPECT_EQ(posted, sdlplat::internal::kPostOverflow);
    ASSERT_GT(posted, 0u);
    EXPECT_FALSE(plat::PostWindowMessage(w.view, plat::kWmApp + 7, posted, 0));
    const std::vector<uintptr_t> seen = RunUntil(w, plat::kWmApp + 7, posted - 1);
    EXPECT_EQ(FirstGap(seen, posted), "");
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 8, 0, 0));
    EXPECT_EQ(RunUntil(w, plat::kWmApp + 8, 0), (std::vector<uintptr_t>{0}));
}

TEST(SdlWindow, MouseAndKeysReachTheViewAsWin32Messages) {
    Window w("KVN - mouse", 200, 200);
    plat::ShowWindow(w.frame, plat::kSwShow);
    w.viewClient.on = [](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == plat::kWmKeyDown) plat::QuitMessageLoop(1);
    };
    // Far enough apart not to count as one double-click, then a double-click, a right click, a key.
    Background user([] {
        kvntest::Xdotool("mousemove 210 230 click 1 mousemove 400 260 click --repeat 2 --delay 10 1 click 3 key a");
    });
    ASSERT_EQ(kvntest::RunLoop(), 1);
    std::vector<Msg> presses;
    for (const Msg& m : w.viewClient.All()) {
        if (m.msg != plat::kWmMouseMove && m.msg != plat::kWmPaint) presses.push_back(m);
    }
    const std::vector<std::pair<uint32_t, intptr_t>> expected = {
        {plat::kWmLButtonDown, Pack(10, 30)},    {plat::kWmLButtonUp, Pack(10, 30)},
        {plat::kWmLButtonDown, Pack(200, 60)},   {plat::kWmLButtonUp, Pack(200, 60)},
        {plat::kWmLButtonDblClk, Pack(200, 60)}, {plat::kWmLButtonUp, Pack(200, 60)},
        {plat::kWmRButtonDown, Pack(200, 60)},   {plat::kWmKeyDown, 0}};
    ASSERT_EQ(presses.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(presses[i].msg, expected[i].first) << i;
        if (expected[i].first != plat::kWmKeyDown) {
            EXPECT_EQ(presses[i].lParam, expected[i].second) << i;
        }
    }
    EXPECT_EQ(presses[0].wParam & 1, 1u);  // MK_LBUTTON while it is down
    EXPECT_EQ(presses[7].wParam, uintptr_t('A'));
    const auto moves = w.viewClient.Of(plat::kWmMouseMove);
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back().lParam, Pack(200, 60));
    EXPECT_TRUE(w.frameClient.All().empty());  // the frame gets no input
}

TEST(SdlWindow, TheCloseRequestGoesToTheFrameAndExposureRepaintsTheView) {
    Window w("KVN - close", 0, 0);
    plat::ShowWindow(w.frame, plat::kSwShow);
    w.viewClient.msgs.clear();
    const Uint32 sdlId = SDL_GetWindowID(w.frame->sdl);
    for (Uint8 what : {Uint8(SDL_WINDOWEVENT_EXPOSED), Uint8(SDL_WINDOWEVENT_CLOSE)}) {
        SDL_Event e{};
        e.type = SDL_WINDOWEVENT;
        e.window.windowID = sdlId;
        e.window.event = what;
        SDL_PushEvent(&e);
    }
    SDL_Event quit{};
    quit.type = SDL_QUIT;  // what SIGTERM becomes
    SDL_PushEvent(&quit);
    // The repaint is posted, so it comes after both close requests.
    w.viewClient.on = [&](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == plat::kWmPaint && w.frameClient.Of(plat::kWmClose).size() == 2) plat::QuitMessageLoop(2);
    };
    ASSERT_EQ(kvntest::RunLoop(), 2);
    EXPECT_FALSE(w.viewClient.Of(plat::kWmPaint).empty());
    EXPECT_TRUE(w.viewClient.Of(plat::kWmClose).empty());
}

TEST(SdlWindow, TheIconsAreBuiltInAndShowOnTheWindow) {
    const plat::HIcon app = plat::LoadAppIcon(plat::kIconApp);
    const plat::HIcon normal = plat::LoadAppIcon(plat::kIconNormal);
    const plat::HIcon lit = plat::LoadAppIcon(plat::kIconActivity);
    ASSERT_NE(app, nullptr);
    ASSERT_NE(normal, nullptr);
    ASSERT_NE(lit, nullptr);
    EXPECT_EQ(plat::LoadAppIcon(999), nullptr);
    Window w("KVN - icons", 0, 0);
    const std::string id = XId("KVN - icons");
    const auto icon = [&] { return Output("xprop -id " + id + " _NET_WM_ICON"); };
    EXPECT_TRUE(PollUntil([&] { return icon().find("Icon (32 x 32)") != std::string::npos; })) << icon();
    plat::SetSmallIcon(w.frame, lit);
    EXPECT_TRUE(PollUntil([&] { return icon().find("Icon (16 x 16)") != std::string::npos; })) << icon();
    plat::SetSmallIcon(w.frame, nullptr);  // nothing to set: left as it is
    EXPECT_NE(icon().find("Icon (16 x 16)"), std::string::npos);
}

TEST(SdlWindow, AMessageBoxKeepsTheLoopGoingOnTheUiThreadAndBlocksAnyOtherThread) {
    Window w("KVN - box", 0, 0);
    plat::ShowWindow(w.frame, plat::kSwShow);
    std::atomic<bool> delivered{false};
    w.viewClient.on = [&](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == plat::kWmApp) delivered = true;
        if (msg == plat::kWmApp + 1) plat::QuitMessageLoop(3);
    };
    // Closes the box on the screen, as a user pressing Enter in it, until it is gone.
    const auto dismiss = [] {
        const auto boxId = [] {
            std::istringstream tree(Output("xwininfo -root -tree"));
            for (std::string line; std::getline(tree, line);) {
                const size_t at = line.find("0x");
                if (line.find("\"Korvane\"") != std::string::npos && at != std::string::npos) {
                    return line.substr(at, line.find(' ', at) - at);
                }
            }
            return std::string();
        };
        PollUntil([&] { return !boxId().empty(); }, std::chrono::seconds(20));
        const bool gone = PollUntil([&] {
            const std::string id = boxId();
            if (id.empty()) return true;
            kvntest::Xdotool("windowfocus --sync " + id + " key Return");
            return PollUntil([&] { return boxId().empty(); }, std::chrono::seconds(1));
        }, std::chrono::seconds(20));
        if (!gone) ADD_FAILURE() << "the box stayed open:\n" << Output("xwininfo -root -tree");
    };
    {
        Background user([&] {
            plat::PostWindowMessage(w.view, plat::kWmApp, 0, 0);
            PollUntil([&] { return delivered.load(); });
            dismiss();
        });
        EXPECT_EQ(plat::ShowMessageBox("The specified MIDI output device can not be used", "Korvane", plat::kMbOk),
                  plat::kIdOk);
    }
    EXPECT_TRUE(delivered);  // dispatched while the box was open

    // The watchdog's box, on another thread: the loop here runs on meanwhile.
    Background timerThread([&] {
        plat::ShowMessageBox("[SD-90] got missing.  Sorry,  Exit this application.", "Korvane", plat::kMbOk | plat::kMbIconWarning);
        plat::PostWindowMessage(w.view, plat::kWmApp + 1, 0, 0);
    });
    Background user(dismiss);
    EXPECT_EQ(kvntest::RunLoop(30000), 3);
}

}  // namespace
