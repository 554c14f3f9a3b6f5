// The SDL adapter's own list widget on a real X server (run_with.sh --x), driven with xdotool as a
// user would: clicks, scrolling, keys moving the choice, and the main window ignoring input. What
// every adapter's list does is the platform contract's (tests/platform).
#include <gtest/gtest.h>

#include "tests/sdl/window_support.h"

using kvntest::PollUntil;

namespace {

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

TEST(SdlList, AClickChoosesALineOfTheSortedList) {
    Picker p;
    p.lines = {" 2: kvnsink:in", " 0: Window's MIDI Mapper", " 1: fluidsynth:midi_00"};
    p.initial = 1;  // marked, without counting as the user's choice
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
