// What needs a window manager (run_with.sh --wm: Xvfb and openbox): minimising and restoring,
// no decoration on the frame, and the pop-up list going away when it loses the focus.
#include <gtest/gtest.h>

#include "tests/sdl/window_support.h"

using kvntest::Client;
using kvntest::Output;
using kvntest::PollUntil;

namespace {

std::atomic<bool> gGaveUp{false};
void GiveUp(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {
    gGaveUp = true;
    plat::QuitMessageLoop(-99);
}

TEST(SdlWm, TheFrameMinimisesAndRestoresAndHasNoDecoration) {
    Client frameClient, viewClient;
    plat::HWnd frame = plat::CreateMainFrame("KVN - wm", 100, 120, 740, 150, &frameClient);
    ASSERT_NE(plat::CreateView(frame, &viewClient), nullptr);
    plat::ShowWindow(frame, plat::kSwShow);
    EXPECT_TRUE(PollUntil([&] { return kvntest::Viewable("KVN - wm"); }));
    EXPECT_NE(Output("xprop -name 'KVN - wm' _MOTIF_WM_HINTS").find("0x2, 0x0, 0x0"), std::string::npos);
    const auto placed = [&] {
        return plat::GetWindowRect(frame).left == 100 && plat::GetWindowRect(frame).top == 120;
    };
    EXPECT_TRUE(PollUntil(placed));
    for (int cmd : {plat::kSwMinimize, plat::kSwShow}) {
        plat::ShowWindow(frame, cmd);
        EXPECT_TRUE(PollUntil([&] { return plat::IsIconic(frame) == (cmd == plat::kSwMinimize); })) << cmd;
        EXPECT_TRUE(PollUntil([&] { return kvntest::Viewable("KVN - wm") == (cmd == plat::kSwShow); }))
            << cmd;
    }
    EXPECT_TRUE(PollUntil(placed));
    plat::DestroyWindow(frame);
}

class Picker final : public plat::DialogClient {
public:
    virtual ~Picker() = default;
    bool OnInitDialog(plat::HDialog dlg) override {
        plat::ListAddString(dlg, " 0: Window's MIDI Mapper");
        const plat::Rect r = plat::GetDialogRect(dlg);
        plat::MoveDialog(dlg, 400, 400, r.right - r.left, r.bottom - r.top);
        return true;
    }
    void OnSelChange(plat::HDialog) override { ++changes; }
    int changes = 0;
};

TEST(SdlWm, ThePopUpListGoesAwayWhenTheUserTurnsToAnotherWindow) {
    Client frameClient, viewClient;
    plat::HWnd frame = plat::CreateMainFrame("KVN - focus", 0, 0, 740, 150, &frameClient);
    plat::CreateView(frame, &viewClient);
    plat::ShowWindow(frame, plat::kSwShow);
    Picker p;
    kvntest::Background user([] {
        // Once the list has the focus, another window takes it. The focus is moved directly rather
        // than by a click, whose effect would be the window manager's focus policy and timing.
        const auto listFocused = [] {
            return Output("xdotool getwindowfocus getwindowname").find("KVN list") != std::string::npos;
        };
        if (!PollUntil(listFocused, std::chrono::seconds(20)))
            ADD_FAILURE() << "the list never had the focus";
        kvntest::Xdotool("search --name '^KVN - focus$' windowfocus");
    });
    const uint32_t guard = plat::TimeSetEvent(30000, 1, GiveUp, 0, plat::kTimeOneShot);
    EXPECT_EQ(plat::DoModalList(&p, plat::Rgb(255, 230, 180)), plat::kIdCancel);
    plat::TimeKillEvent(guard);
    EXPECT_FALSE(gGaveUp) << "the list stayed open";
    EXPECT_EQ(p.changes, 0);
    plat::DestroyWindow(frame);
}

}  // namespace
