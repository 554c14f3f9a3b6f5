// What the SDL adapter's windows and list do beyond the platform contract (tests/platform), on a
// real X server (run_with.sh --x, no window manager): the X window itself, input from xdotool,
// dropped and overflowing posts, and the list widget (clicks, scrolling, keys, modality).
#include <gtest/gtest.h>

#include <numeric>
#include <tuple>

#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"
#include "tests/sdl/window_support.h"

using kvntest::Background;
using kvntest::Msg;
using kvntest::Output;
using kvntest::PollUntil;

namespace {

constexpr intptr_t Pack(int x, int y) {
    return intptr_t(uint32_t(uint16_t(x)) | uint32_t(uint16_t(y)) << 16);
}

struct Window {
    Window(const char* title, int x, int y, bool show = false) {
        frame = plat::CreateMainFrame(title, x, y, 740, 150, &frameClient);
        view = frame ? plat::CreateView(frame, &viewClient) : nullptr;
        if (show) plat::ShowWindow(frame, plat::kSwShow);
    }
    ~Window() { plat::DestroyWindow(frame); }
    // An event of the window system for this window, as SDL reports it.
    void Push(Uint8 what) const {
        SDL_Event e{};
        e.type = SDL_WINDOWEVENT;
        e.window.windowID = SDL_GetWindowID(frame->sdl);
        e.window.event = what;
        SDL_PushEvent(&e);
    }
    kvntest::Client frameClient, viewClient;
    plat::HWnd frame = nullptr;
    plat::HWnd view = nullptr;
};

TEST(SdlWindow, TheXWindowIsWhereTheFrameSaysItIs) {
    Window w("KVN - place", 100, 120, true);
    plat::MoveWindow(w.frame, 300, 310, 740, 150, false);
    const std::string info = Output("xwininfo -name 'KVN - place'");
    for (const char* line :
         {"Absolute upper-left X:  300", "Absolute upper-left Y:  310", "Width: 740", "Height: 150"}) {
        EXPECT_NE(info.find(line), std::string::npos) << line << "\n" << info;
    }
}

// A window destroyed meanwhile gets nothing more: queued messages for it are dropped.
TEST(SdlWindow, MessagesForADestroyedWindowAreDropped) {
    Window w("KVN - post", 0, 0);
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 2, 1, 2));
    Window other("KVN - other", 0, 200);
    ASSERT_TRUE(plat::PostWindowMessage(other.view, plat::kWmApp + 3, 0, 0));
    other.viewClient.on = [](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == plat::kWmApp + 3) plat::QuitMessageLoop(8);
    };
    plat::DestroyWindow(w.frame);
    EXPECT_FALSE(plat::PostWindowMessage(w.view, plat::kWmApp, 0, 0));
    EXPECT_EQ(kvntest::RunLoop(), 8);
    EXPECT_TRUE(w.viewClient.All().empty());
    EXPECT_EQ(plat::SendWindowMessage(w.view, plat::kWmApp, 0, 0), 0);
}

// What the view of `w` was posted with message `msg`, in the order it arrived, on this thread (the
// loop's); the loop ends once `last` has come. Empty when anything came on another thread.
std::vector<uintptr_t> RunUntil(Window& w, uint32_t msg, uintptr_t last) {
    std::vector<uintptr_t> seen;
    bool elsewhere = false;
    const std::thread::id loop = std::this_thread::get_id();
    w.viewClient.on = [&, loop](uint32_t m, uintptr_t wParam, intptr_t) {
        if (m != msg) return;
        seen.push_back(wParam);
        elsewhere |= std::this_thread::get_id() != loop;
        if (wParam == last) plat::QuitMessageLoop(4);
    };
    EXPECT_EQ(kvntest::RunLoop(30000), 4);
    w.viewClient.on = nullptr;
    return elsewhere ? std::vector<uintptr_t>{} : seen;
}

std::vector<uintptr_t> Upto(uintptr_t count) {
    std::vector<uintptr_t> all(count);
    std::iota(all.begin(), all.end(), 0);
    return all;
}

// Posts from other threads take the overflow only (SDL's own post locks and may allocate). Only
// with it full does a post fail, telling its poster; what went in before still arrives whole and
// in order, and posting works again afterwards.
TEST(SdlWindow, APostFailsOnlyWhenTheOverflowIsFullToo) {
    Window w("KVN - full", 0, 0);
    uintptr_t posted = 0;
    Background([&] {
        while (posted < 1000000 && plat::PostWindowMessage(w.view, plat::kWmApp + 7, posted, 0)) ++posted;
    }).join();
    EXPECT_EQ(posted, sdlplat::internal::kPostOverflow);
    ASSERT_GT(posted, 0u);
    EXPECT_FALSE(plat::PostWindowMessage(w.view, plat::kWmApp + 7, posted, 0));
    const std::vector<uintptr_t> seen = RunUntil(w, plat::kWmApp + 7, posted - 1);
    EXPECT_TRUE(seen == Upto(posted)) << seen.size();
    ASSERT_TRUE(plat::PostWindowMessage(w.view, plat::kWmApp + 8, 0, 0));
    EXPECT_EQ(RunUntil(w, plat::kWmApp + 8, 0), (std::vector<uintptr_t>{0}));
}

TEST(SdlWindow, MouseAndKeysReachTheViewAsWin32Messages) {
    Window w("KVN - mouse", 200, 200, true);
    w.viewClient.on = [](uint32_t msg, uintptr_t, intptr_t) {
        if (msg == plat::kWmKeyDown) plat::QuitMessageLoop(1);
    };
    // Far enough apart not to count as one double-click, then a double-click, a right click, a key.
    Background user([] {
        kvntest::Xdotool(
            "mousemove 210 230 click 1 mousemove 400 260 click --repeat 2 --delay 10 1 click 3 key a");
    });
    ASSERT_EQ(kvntest::RunLoop(), 1);
    // wParam: MK_LBUTTON while the left button is down; the virtual key of a key.
    std::vector<std::tuple<uint32_t, uintptr_t, intptr_t>> presses;
    for (const Msg& m : w.viewClient.All()) {
        const bool key = m.msg == plat::kWmKeyDown;
        if (m.msg != plat::kWmMouseMove && m.msg != plat::kWmPaint)
            presses.emplace_back(m.msg, key ? m.wParam : m.wParam & 1, key ? 0 : m.lParam);
    }
    const std::vector<std::tuple<uint32_t, uintptr_t, intptr_t>> expected = {
        {plat::kWmLButtonDown, 1, Pack(10, 30)},    {plat::kWmLButtonUp, 0, Pack(10, 30)},
        {plat::kWmLButtonDown, 1, Pack(200, 60)},   {plat::kWmLButtonUp, 0, Pack(200, 60)},
        {plat::kWmLButtonDblClk, 1, Pack(200, 60)}, {plat::kWmLButtonUp, 0, Pack(200, 60)},
        {plat::kWmRButtonDown, 0, Pack(200, 60)},   {plat::kWmKeyDown, 'A', 0}};
    EXPECT_EQ(presses, expected);
    const auto moves = w.viewClient.Of(plat::kWmMouseMove);
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back().lParam, Pack(200, 60));
    EXPECT_TRUE(w.frameClient.All().empty());  // the frame gets no input
}

TEST(SdlWindow, TheIconsShowOnTheWindow) {
    Window w("KVN - icons", 0, 0);
    const std::string id = Output("xdotool search --name '^KVN - icons$' 2>/dev/null | head -1");
    ASSERT_FALSE(id.empty());
    const auto icon = [&] { return Output("xprop -id " + id.substr(0, id.find('\n')) + " _NET_WM_ICON"); };
    EXPECT_TRUE(PollUntil([&] { return icon().find("Icon (32 x 32)") != std::string::npos; })) << icon();
    plat::SetSmallIcon(w.frame, plat::LoadAppIcon(plat::kIconActivity));
    EXPECT_TRUE(PollUntil([&] { return icon().find("Icon (16 x 16)") != std::string::npos; })) << icon();
    plat::SetSmallIcon(w.frame, nullptr);  // nothing to set: left as it is
    EXPECT_NE(icon().find("Icon (16 x 16)"), std::string::npos);
}

constexpr const char* kList = "KVN list";

class Picker final : public plat::DialogClient {
public:
    virtual ~Picker() = default;
    bool OnInitDialog(plat::HDialog dlg) override {
        plat::ListResetContent(dlg);
        for (const std::string& line : lines) plat::ListAddString(dlg, line.c_str());
        plat::ListSetCurSel(dlg, initial);
        const plat::Rect r = plat::GetDialogRect(dlg);
        plat::MoveDialog(dlg, at.x, at.y, r.right - r.left, r.bottom - r.top);
        return true;
    }
    void OnSelChange(plat::HDialog dlg) override {
        std::string text;
        plat::ListGetText(dlg, plat::ListGetCurSel(dlg), &text);
        chosen.push_back(text);
        if (endOnChoice) plat::EndDialog(dlg, plat::kIdOk);
    }
    std::vector<std::string> lines;
    int initial = -1;
    plat::Point at{300, 200};
    bool endOnChoice = true;
    std::vector<std::string> chosen;
};

// Shows the list, and once it is on the screen acts as the user: xdotool, then `then`.
int Modal(Picker& p, const std::string& xdotool, const std::function<void()>& then = nullptr) {
    kvntest::Background user([&] {
        PollUntil([] { return kvntest::Viewable(kList); });
        kvntest::Xdotool(xdotool);
        if (then) then();
    });
    kvntest::Guard guard;
    return plat::DoModalList(&p, plat::Rgb(255, 230, 180));
}

TEST(SdlList, AClickChoosesALine) {
    Picker p;
    p.lines = {" 2: kvnsink:in", " 0: Window's MIDI Mapper", " 1: fluidsynth:midi_00"};
    p.initial = 1;
    // The third line: one pixel of frame and two lines of 18 or 19 pixels above it.
    EXPECT_EQ(Modal(p, "mousemove 330 246 click 1"), plat::kIdOk);
    EXPECT_EQ(p.chosen, (std::vector<std::string>{" 2: kvnsink:in"}));
}

TEST(SdlList, KeysMoveTheChoiceAndEnterEndsIt) {
    Picker p;
    p.lines = {" 0: a", " 1: b", " 2: c", " 3: d"};
    p.initial = 0;
    p.endOnChoice = false;
    EXPECT_EQ(Modal(p, "key Down Down Up End Return"), plat::kIdOk);
    EXPECT_EQ(p.chosen, (std::vector<std::string>{" 1: b", " 2: c", " 1: b", " 3: d"}));
}

TEST(SdlList, ALongListScrollsToShowTheMarkedLine) {
    Picker p;
    for (int i = 0; i < 21; ++i) {
        p.lines.emplace_back(i < 10 ? " " : "");
        p.lines.back() += std::to_string(i) + ": port " + std::to_string(i);
    }
    p.initial = 20;
    EXPECT_EQ(Modal(p, "mousemove 330 210 click 1"), plat::kIdOk);  // the first line shown
    ASSERT_EQ(p.chosen.size(), 1u);
    EXPECT_GT(std::stoi(p.chosen[0]), 10);
}

TEST(SdlList, TheMainWindowIgnoresInputMeanwhile) {
    kvntest::Client frameClient, viewClient;
    plat::HWnd frame = plat::CreateMainFrame("KVN - modal", 0, 0, 740, 150, &frameClient);
    plat::CreateView(frame, &viewClient);
    plat::ShowWindow(frame, plat::kSwShow);
    Picker p;
    p.lines = {" 0: a", " 1: b"};
    p.at = {400, 400};
    // A click and a key on the main window (ignored).
    EXPECT_EQ(Modal(p, "mousemove 50 50 click 1 key x", [] { kvntest::Xdotool("key Escape"); }),
              plat::kIdCancel);
    EXPECT_TRUE(viewClient.Of(plat::kWmLButtonDown).empty());
    EXPECT_TRUE(viewClient.Of(plat::kWmKeyDown).empty());
    EXPECT_TRUE(p.chosen.empty());
    plat::DestroyWindow(frame);
}

}  // namespace
