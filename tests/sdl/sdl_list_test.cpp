// The modal pop-up list of the SDL adapter on a real X server (run_with.sh --x), driven with
// xdotool as a user would.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/sdl/window_support.h"

using kvntest::PollUntil;

namespace {

constexpr const char* kList = "KVN list";

class Picker final : public plat::DialogClient {
public:
    virtual ~Picker() = default;
    bool OnInitDialog(plat::HDialog dlg) override {
        plat::ListResetContent(dlg);
        for (const std::string& line : lines) order.push_back(plat::ListAddString(dlg, line.c_str()));
        EXPECT_EQ(plat::ListSetCurSel(dlg, plat::ListGetCount(dlg)), plat::kLbErr);
        plat::ListSetCurSel(dlg, initial);
        const plat::Rect r = plat::GetDialogRect(dlg);
        size = {r.right - r.left, r.bottom - r.top};
        plat::MoveDialog(dlg, at.x, at.y, size.x, size.y);
        rect = plat::GetDialogRect(dlg);
        return true;
    }
    void OnSelChange(plat::HDialog dlg) override {
        std::string text;
        const int length = plat::ListGetText(dlg, plat::ListGetCurSel(dlg), &text);
        EXPECT_EQ(length, int(text.size()));
        EXPECT_EQ(plat::ListGetText(dlg, plat::ListGetCount(dlg), &text), plat::kLbErr);
        chosen.push_back(text);
        if (endOnChoice) plat::EndDialog(dlg, plat::kIdOk);
    }
    std::vector<std::string> lines;
    std::vector<int> order;
    int initial = -1;
    plat::Point at{300, 200};
    plat::Point size{};
    plat::Rect rect{};
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
    EXPECT_EQ(p.order, (std::vector<int>{0, 0, 1}));  // where each landed when it was added
    EXPECT_EQ(p.chosen, (std::vector<std::string>{" 2: kvnsink:in"}));
    EXPECT_EQ(p.rect.left, 300);
    EXPECT_EQ(p.rect.top, 200);
    EXPECT_GT(p.size.x, 200);  // 155 × 63 dialog units of a 12-point fixed-pitch font
    EXPECT_GT(p.size.y, 100);
}

TEST(SdlList, KeysMoveTheChoiceAndEnterOrEscapeEndIt) {
    Picker p, q, empty;
    p.lines = {" 0: a", " 1: b", " 2: c", " 3: d"};
    p.initial = 0;
    p.endOnChoice = false;
    EXPECT_EQ(Modal(p, "key Down Down Up End Return"), plat::kIdOk);
    EXPECT_EQ(p.chosen, (std::vector<std::string>{" 1: b", " 2: c", " 1: b", " 3: d"}));
    q.lines = {" 0: a"};
    EXPECT_EQ(Modal(q, "key Escape"), plat::kIdCancel);
    EXPECT_TRUE(q.chosen.empty());
    EXPECT_EQ(Modal(empty, "key Down Escape"), plat::kIdCancel);
    EXPECT_TRUE(empty.chosen.empty());
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

TEST(SdlList, PostedMessagesFlowWhileTheMainWindowIgnoresInput) {
    kvntest::Client frameClient, viewClient;
    plat::HWnd frame = plat::CreateMainFrame("KVN - modal", 0, 0, 740, 150, &frameClient);
    plat::HWnd view = plat::CreateView(frame, &viewClient);
    plat::ShowWindow(frame, plat::kSwShow);
    std::atomic<bool> delivered{false};
    viewClient.on = [&](uint32_t msg, uintptr_t, intptr_t) { delivered = delivered || msg == plat::kWmApp; };
    Picker p;
    p.lines = {" 0: a", " 1: b"};
    p.at = {400, 400};
    // A click and a key on the main window (ignored), and MIDI arriving meanwhile.
    EXPECT_EQ(Modal(p, "mousemove 50 50 click 1 key x",
                    [&] {
                        plat::PostWindowMessage(view, plat::kWmApp, 0x3C90, 0);
                        PollUntil([&] { return delivered.load(); });
                        kvntest::Xdotool("key Escape");
                    }),
              plat::kIdCancel);
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(viewClient.Of(plat::kWmLButtonDown).empty());
    EXPECT_TRUE(viewClient.Of(plat::kWmKeyDown).empty());
    EXPECT_TRUE(p.chosen.empty());
    plat::DestroyWindow(frame);
}

}  // namespace
