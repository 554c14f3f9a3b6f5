// The platform interface as every real adapter keeps it, written once against platform.h and
// window.h and run against each (SDL under Xvfb, Win32 under Wine). What only one adapter has
// (its MIDI systems, its own widgets, the window manager's part) stays in that adapter's tests.
// Waits are on the thing itself with a generous time-out.
#include "tests/platform/contract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/bmp.h"
#include "platform/platform.h"
#include "platform/window.h"

namespace {

bool PollUntil(const std::function<bool()>& condition) {
    const uint64_t start = plat::ClockMs();
    while (!condition()) {
        if (plat::ClockMs() - start > 10000) return false;
        plat::Sleep(5);
    }
    return true;
}

// ---- Process services -------------------------------------------------------------------------

struct Ticks {
    std::atomic<int> count{0};
    std::atomic<uint32_t> id{0};
    std::atomic<uintptr_t> user{0};
};

void Count(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    auto* t = reinterpret_cast<Ticks*>(user);
    t->id = id;
    t->user = user;
    ++t->count;
}

// A periodic timer calls back with its id and user value; a killed one stays silent while others
// tick, and gives its place to new ones.
TEST(Contract, TimersTickWithTheirIdAndStopForGoodWhenKilled) {
    plat::TimeCaps caps{};
    EXPECT_EQ(plat::TimeGetDevCaps(&caps, sizeof caps), plat::kMmNoError);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_EQ(plat::TimeSetEvent(10, 1, nullptr, 0, plat::kTimePeriodic), 0u);
    static Ticks a, other;  // outlive a timer a failed test left running
    const auto start = [](Ticks& t) {
        return plat::TimeSetEvent(10, 1, Count, reinterpret_cast<uintptr_t>(&t), plat::kTimePeriodic);
    };
    const uint32_t idA = start(a);
    ASSERT_NE(idA, 0u);
    EXPECT_TRUE(PollUntil([&] { return a.count >= 5; }));
    EXPECT_EQ(plat::TimeKillEvent(idA), plat::kMmNoError);
    EXPECT_EQ(a.id, idA);
    EXPECT_EQ(a.user, reinterpret_cast<uintptr_t>(&a));
    EXPECT_NE(plat::TimeKillEvent(idA), plat::kMmNoError);
    const int frozen = a.count;
    const uint32_t idOther = start(other);
    EXPECT_TRUE(PollUntil([&] { return other.count >= 10; }));
    EXPECT_EQ(plat::TimeKillEvent(idOther), plat::kMmNoError);
    EXPECT_EQ(a.count, frozen);
    for (int i = 0; i < 40; ++i) {
        const uint32_t idle =
            plat::TimeSetEvent(1000, 1, Count, reinterpret_cast<uintptr_t>(&a), plat::kTimePeriodic);
        ASSERT_NE(idle, 0u) << "timer " << i;
        ASSERT_EQ(plat::TimeKillEvent(idle), plat::kMmNoError);
    }
    const uint64_t t0 = plat::ClockMs();  // the clock is monotonic and Sleep waits
    plat::Sleep(20);
    EXPECT_GE(plat::ClockMs() - t0, 20u);
}

// ---- Surfaces and text ------------------------------------------------------------------------

// 0x00RRGGBB by position, so that every pixel tells where it came from.
uint32_t Tag(int x, int y, int salt) { return uint32_t((salt & 0xFF) << 16 | (x & 0xFF) << 8 | (y & 0xFF)); }
// The 0x00BBGGRR value GetPixel gives for a 0x00RRGGBB colour.
uint32_t Ref(uint32_t rgb) { return plat::Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

// A bitmap file of w × h pixels coloured by `colour`, as 24 bits, or as 32 bits with alpha.
std::string WriteImage(const std::string& name, int w, int h, const std::function<uint32_t(int, int)>& colour,
                       bool v4 = false) {
    kvn::bmp::Image img;
    img.width = w;
    img.height = h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) img.pixels.push_back(colour(x, y) | (v4 ? 0xFF000000u : 0));
    }
    const std::string path = contract::ScratchPath(name);
    EXPECT_TRUE(v4 ? kvn::bmp::WriteFile(path, kvn::bmp::Encode32(img)) : kvn::bmp::Save(path, img));
    return path;
}

plat::HSurface Tagged(const std::string& name, int w, int h, int salt) {
    return plat::LoadBitmapSurface(WriteImage(name, w, h, [&](int x, int y) { return Tag(x, y, salt); }));
}

class ContractSurfaces : public ::testing::Test {
protected:
    void SetUp() override {
        src = Tagged("src.bmp", 10, 8, 1);
        Reload();
        ASSERT_NE(src, nullptr);
    }
    void TearDown() override {
        plat::FreeSurface(src);
        plat::FreeSurface(dst);
    }
    void Reload() {
        plat::FreeSurface(dst);
        dst = Tagged("dst.bmp", 20, 16, 2);
        ASSERT_NE(dst, nullptr);
    }
    // Where the destination shows the source, and where it still shows itself.
    void ExpectCopied(int x, int y, int w, int h, int sx, int sy) {
        for (int py = 0; py < 16; ++py) {
            for (int px = 0; px < 20; ++px) {
                const int fx = px - x + sx, fy = py - y + sy;
                const bool inside =
                    px >= x && px < x + w && py >= y && py < y + h && fx >= 0 && fx < 10 && fy >= 0 && fy < 8;
                ASSERT_EQ(plat::GetPixel(dst, px, py), inside ? Ref(Tag(fx, fy, 1)) : Ref(Tag(px, py, 2)))
                    << px << "," << py;
            }
        }
    }
    plat::HSurface src = nullptr;
    plat::HSurface dst = nullptr;
};

TEST_F(ContractSurfaces, BitmapsLoadInTheirOwnSizeAndPixelsReadBack) {
    EXPECT_EQ(plat::SurfaceWidth(src), 10);
    EXPECT_EQ(plat::SurfaceHeight(src), 8);
    EXPECT_EQ(plat::GetPixel(src, 3, 5), Ref(Tag(3, 5, 1)));
    EXPECT_EQ(plat::GetPixel(src, 9, 7), Ref(Tag(9, 7, 1)));
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {10, 0}, {0, 8}})
        EXPECT_EQ(plat::GetPixel(src, x, y), plat::kClrInvalid);
    EXPECT_EQ(plat::GetPixel(nullptr, 0, 0), plat::kClrInvalid);

    // A 32-bit bitmap with alpha: the colour counts, the alpha does not.
    plat::HSurface v4 = plat::LoadBitmapSurface(WriteImage(
        "v4.bmp", 4, 3, [](int x, int y) { return Tag(x, y, 7); }, true));
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(plat::GetPixel(v4, 2, 1), Ref(Tag(2, 1, 7)));
    plat::FreeSurface(v4);

    EXPECT_EQ(plat::LoadBitmapSurface(contract::ScratchPath("missing.bmp")), nullptr);
    std::ofstream(contract::ScratchPath("junk.bmp")) << "BM this is no bitmap";
    EXPECT_EQ(plat::LoadBitmapSurface(contract::ScratchPath("junk.bmp")), nullptr);
}

TEST_F(ContractSurfaces, BlockCopiesAreClippedToBothSurfaces) {
    // x, y, w, h, sx, sy: the whole source; inside both; starting left of and above the source;
    // running past its right and bottom edges; a destination partly outside before its start and
    // past its end.
    const int cases[][6] = {{0, 0, 10, 8, 0, 0},  {3, 4, 5, 2, 1, 2},    {5, 5, 10, 10, -2, -3},
                            {0, 0, 20, 16, 6, 5}, {-4, -2, 10, 8, 0, 0}, {15, 12, 10, 8, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c[0] << "," << c[1] << " " << c[2] << "x" << c[3] << " from " << c[4] << "," << c[5]);
        Reload();
        plat::BitBlt(dst, c[0], c[1], c[2], c[3], src, c[4], c[5]);
        ExpectCopied(c[0], c[1], c[2], c[3], c[4], c[5]);
    }
    // Empty, absurd or wholly outside rectangles, and missing surfaces, copy nothing.
    Reload();
    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-3, 4}, {4, -3}}) plat::BitBlt(dst, 0, 0, w, h, src, 0, 0);
    plat::BitBlt(dst, 30, 0, 5, 5, src, 0, 0);
    plat::BitBlt(dst, 0, 0, 5, 5, src, 10, 0);
    plat::BitBlt(dst, INT_MAX, INT_MAX, INT_MAX, INT_MAX, src, INT_MIN, INT_MIN);
    plat::BitBlt(dst, INT_MIN, INT_MIN, INT_MAX, INT_MAX, src, INT_MAX, INT_MAX);
    plat::BitBlt(nullptr, 0, 0, 5, 5, src, 0, 0);
    plat::BitBlt(dst, 0, 0, 5, 5, nullptr, 0, 0);
    ExpectCopied(0, 0, 0, 0, 0, 0);

    // Overlapping copies within one surface: down and right, then up and left.
    for (auto [x0, y0, sx, sy] : {std::array{2, 3, 0, 0}, {0, 0, 2, 3}}) {
        Reload();
        plat::BitBlt(dst, x0, y0, 10, 6, dst, sx, sy);
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(plat::GetPixel(dst, x0 + x, y0 + y), Ref(Tag(sx + x, sy + y, 2)));
        }
    }
}

// The box around every pixel that differs from `back`.
plat::Rect Ink(plat::HSurface s, uint32_t back) {
    plat::Rect r{INT_MAX, INT_MAX, -1, -1};
    for (int y = 0; y < plat::SurfaceHeight(s); ++y) {
        for (int x = 0; x < plat::SurfaceWidth(s); ++x) {
            if (plat::GetPixel(s, x, y) == back) continue;
            r = {std::min(r.left, x), std::min(r.top, y), std::max(r.right, x + 1),
                 std::max(r.bottom, y + 1)};
        }
    }
    return r;
}

int CountOf(plat::HSurface s, uint32_t colorref) {
    int n = 0;
    for (int y = 0; y < plat::SurfaceHeight(s); ++y)
        for (int x = 0; x < plat::SurfaceWidth(s); ++x) n += plat::GetPixel(s, x, y) == colorref;
    return n;
}

TEST(Contract, ThePanelFontHasA26PixelCellAndAverages8PixelsAcross) {
    const std::string file = WriteImage("canvas.bmp", 200, 60, [](int, int) { return 0u; });
    plat::HSurface canvas = plat::LoadBitmapSurface(file), blank = plat::LoadBitmapSurface(file),
                   opaque = plat::LoadBitmapSurface(file);
    ASSERT_TRUE(canvas && blank && opaque);
    plat::HFont font = plat::CreatePanelFont("SimHei", 26, 8);
    ASSERT_NE(font, nullptr);

    const uint32_t red = plat::Rgb(255, 80, 80);
    plat::SelectTextStyle(canvas, font, red, plat::kClrInvalid);
    plat::DrawTextAt(canvas, 20, 10, "0123456789");
    const plat::Rect ink = Ink(canvas, 0);
    ASSERT_GE(ink.right, 0) << "nothing drawn: is a font installed?";
    EXPECT_GE(ink.left, 20);
    EXPECT_GE(ink.top, 10);
    EXPECT_LE(ink.bottom, 10 + 26);
    EXPECT_NEAR(ink.right - 20, contract::kPanelFont.tenDigits, contract::kPanelFont.slack);
    EXPECT_GT(ink.bottom - ink.top, 12);
    EXPECT_GT(CountOf(canvas, red), 0);                       // strokes reach the full text colour
    EXPECT_EQ(CountOf(canvas, plat::Rgb(255, 255, 255)), 0);  // and no text cell behind them

    // CJK names are drawn too; nothing, empty or null, draws nothing; text past the surface is clipped.
    plat::SelectTextStyle(blank, font, red, plat::kClrInvalid);
    plat::DrawTextAt(blank, 0, 0, "");
    plat::DrawTextAt(blank, 0, 0, nullptr);
    EXPECT_LT(Ink(blank, 0).right, 0);
    plat::DrawTextAt(blank, 0, 0, "\xE9\x9F\xB3\xE6\xBA\x90");
    EXPECT_GT(Ink(blank, 0).right, 10);
    plat::DrawTextAt(blank, 190, 50, "clipped");
    plat::DrawTextAt(blank, -100, -100, "gone");

    // An opaque background fills the whole cell.
    plat::SelectTextStyle(opaque, font, red, plat::Rgb(0, 0, 200));
    plat::DrawTextAt(opaque, 10, 10, "ab");
    const plat::Rect box = Ink(opaque, 0);
    EXPECT_EQ(box.top, 10);
    EXPECT_NEAR(box.bottom, 10 + 26, contract::kPanelFont.cellShortBy);
    EXPECT_LE(box.bottom, 10 + 26);
    EXPECT_EQ(plat::GetPixel(opaque, box.left, box.top), plat::Rgb(0, 0, 200));

    plat::FreeFont(font);
    for (plat::HSurface s : {canvas, blank, opaque}) plat::FreeSurface(s);
}

TEST(Contract, AnUnknownFaceFallsBackAndStillDraws) {
    plat::HFont font = plat::CreatePanelFont("No Such Face", 20, 0);
    ASSERT_NE(font, nullptr);
    plat::HSurface s =
        plat::LoadBitmapSurface(WriteImage("white.bmp", 100, 30, [](int, int) { return 0xFFFFFFu; }));
    plat::SelectTextStyle(s, font, 0, plat::kClrInvalid);
    plat::DrawTextAt(s, 2, 2, "Mapper");
    EXPECT_GT(Ink(s, plat::Rgb(255, 255, 255)).right, 20);
    plat::FreeSurface(s);
    plat::FreeFont(font);
    plat::FreeFont(nullptr);
}

// ---- Windows and their messages -----------------------------------------------------------------

constexpr uint32_t kGiveUp = plat::kWmApp + 99;

// Records what a window is given; ends the loop it runs in when the test gives up waiting.
struct Recorder final : plat::WindowClient {
    virtual ~Recorder() = default;
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kGiveUp) plat::QuitMessageLoop(-99);
        msgs.push_back({msg, wParam, lParam});
        return on ? on(msg, wParam) : 0;
    }
    struct Msg {
        uint32_t msg;
        uintptr_t wParam;
        intptr_t lParam;
    };
    std::vector<Msg> msgs;
    std::function<intptr_t(uint32_t, uintptr_t)> on;
};

constexpr char kTitle[] = "KVN - contract";

void GiveUp(uint32_t, uint32_t, uintptr_t view, uintptr_t, uintptr_t) {
    plat::PostWindowMessage(reinterpret_cast<plat::HWnd>(view), kGiveUp, 0, 0);
}

class ContractWindows : public ::testing::Test {
protected:
    void SetUp() override {
        frame = plat::CreateMainFrame(kTitle, 100, 120, 740, 150, &frameClient);
        ASSERT_NE(frame, nullptr);
        view = plat::CreateView(frame, &viewClient);
        ASSERT_NE(view, nullptr);
        // A loop that nothing else ends is ended, so that the test fails instead of hanging.
        guard = plat::TimeSetEvent(30000, 1, GiveUp, reinterpret_cast<uintptr_t>(view), plat::kTimeOneShot);
    }
    void TearDown() override {
        plat::TimeKillEvent(guard);
        plat::DestroyWindow(frame);
    }
    Recorder frameClient, viewClient;
    plat::HWnd frame = nullptr, view = nullptr;
    uint32_t guard = 0;
};

TEST_F(ContractWindows, TheFrameIsPlacedInScreenCoordinatesHiddenUntilShownAndMovable) {
    EXPECT_EQ(plat::GetWorkArea().right, 1280);  // no task bar or panel: the whole screen
    EXPECT_EQ(plat::GetWorkArea().bottom, 1024);
    EXPECT_FALSE(contract::Shown(kTitle));
    plat::ShowWindow(frame, plat::kSwShow);
    EXPECT_TRUE(PollUntil([] { return contract::Shown(kTitle); }));
    EXPECT_FALSE(plat::IsIconic(frame));
    const plat::Rect r = plat::GetWindowRect(frame);
    const plat::Point p = plat::ClientToScreen(view, {10, 20});
    EXPECT_EQ((std::vector<int>{r.left, r.top, r.right, r.bottom, p.x, p.y}),
              (std::vector<int>{100, 120, 840, 270, 110, 140}));
    plat::MoveWindow(frame, 300, 310, 740, 150, true);
    EXPECT_EQ(plat::GetWindowRect(frame).left * 1000 + plat::GetWindowRect(frame).top, 300310);

    for (int id : {plat::kIconApp, plat::kIconNormal, plat::kIconActivity})
        EXPECT_NE(plat::LoadAppIcon(id), nullptr) << id;
    EXPECT_EQ(plat::LoadAppIcon(999), nullptr);
}

TEST_F(ContractWindows, MessagesReachTheClientsInOrderFromAnyThreadAndCloseIsTheClients) {
    viewClient.on = [](uint32_t msg, uintptr_t wParam) {
        if (msg == plat::kWmApp + 2) plat::QuitMessageLoop(7);
        return msg == plat::kWmApp + 1 ? intptr_t(wParam) * 2 : 0;
    };
    EXPECT_EQ(plat::SendWindowMessage(view, plat::kWmApp + 1, 21, 0), 42);  // sent: the client at once
    viewClient.msgs.clear();
    EXPECT_FALSE(plat::PostWindowMessage(nullptr, plat::kWmApp, 0, 0));
    // A posted paint has nothing invalid behind it and must still reach the view.
    ASSERT_TRUE(plat::PostWindowMessage(view, plat::kWmPaint, 0, 0));
    ASSERT_TRUE(plat::PostWindowMessage(view, plat::kWmApp, 0x643C90, 0));
    std::thread([this] { plat::PostWindowMessage(view, plat::kWmApp + 2, 1, 2); }).join();
    EXPECT_EQ(plat::RunMessageLoop(), 7);
    std::vector<uint32_t> app;
    for (const auto& m : viewClient.msgs) {
        if (m.msg == plat::kWmPaint || m.msg >= plat::kWmApp) app.push_back(m.msg);
    }
    EXPECT_EQ(app, (std::vector<uint32_t>{plat::kWmPaint, plat::kWmApp, plat::kWmApp + 2}));
    ASSERT_EQ(viewClient.msgs.back().msg, plat::kWmApp + 2);
    EXPECT_EQ(viewClient.msgs.back().lParam, 2);

    // Close is the client's alone: the frame stays.
    plat::ShowWindow(frame, plat::kSwShow);
    frameClient.on = [](uint32_t msg, uintptr_t) {
        if (msg == plat::kWmApp + 9) plat::QuitMessageLoop(0);
        return intptr_t(0);
    };
    plat::PostWindowMessage(frame, plat::kWmClose, 0, 0);
    plat::PostWindowMessage(frame, plat::kWmSysCommand, plat::kScMinimize, 0);
    plat::PostWindowMessage(frame, plat::kWmApp + 9, 0, 0);
    EXPECT_EQ(plat::RunMessageLoop(), 0);
    std::vector<uint32_t> got;
    for (const auto& m : frameClient.msgs) got.push_back(m.msg);
    EXPECT_NE(std::find(got.begin(), got.end(), plat::kWmClose), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), plat::kWmSysCommand), got.end());
    EXPECT_TRUE(contract::Shown(kTitle));
}

// A box blocks its own thread only: the windows of the user-interface thread get their messages
// while it is open there, and the loop runs on while another thread shows one.
TEST_F(ContractWindows, AMessageBoxIsAnsweredWhileTheWindowsGetTheirMessages) {
    const char kText[] = "\xE3\x83\x9E\xE3\x83\xAB\xE3\x83\x81 MIDI";  // "マルチ MIDI" in UTF-8
    plat::ShowWindow(frame, plat::kSwShow);
    std::atomic<bool> delivered{false};
    viewClient.on = [&](uint32_t msg, uintptr_t) {
        if (msg == plat::kWmApp) delivered = true;
        if (msg == plat::kWmApp + 1) plat::QuitMessageLoop(3);
        return intptr_t(0);
    };
    std::string shown;
    std::thread user([&] {
        plat::PostWindowMessage(view, plat::kWmApp, 0, 0);
        PollUntil([&] { return delivered.load(); });
        shown = contract::AnswerBox("KVN box");
    });
    EXPECT_EQ(plat::ShowMessageBox(kText, "KVN box", plat::kMbOk | plat::kMbIconWarning), plat::kIdOk);
    user.join();
    EXPECT_TRUE(delivered);
    EXPECT_TRUE(shown.empty() || shown == kText) << shown;  // where the adapter can read it back

    std::thread watchdog([&] {
        plat::ShowMessageBox("[SD-90] got missing.", "KVN box", plat::kMbOk | plat::kMbIconWarning);
        plat::PostWindowMessage(view, plat::kWmApp + 1, 0, 0);
    });
    std::thread answer([] { contract::AnswerBox("KVN box"); });
    EXPECT_EQ(plat::RunMessageLoop(), 3);
    watchdog.join();
    answer.join();
}

// ---- The pop-up list ----------------------------------------------------------------------------

struct Picker final : plat::DialogClient {
    virtual ~Picker() = default;
    bool OnInitDialog(plat::HDialog dlg) override {
        self = dlg;
        plat::ListResetContent(dlg);
        for (const std::string& line : lines) order.push_back(plat::ListAddString(dlg, line.c_str()));
        EXPECT_EQ(plat::ListSetCurSel(dlg, plat::ListGetCount(dlg)), plat::kLbErr);
        if (!lines.empty()) plat::ListSetCurSel(dlg, 1);  // marked, without counting as the user's choice
        const plat::Rect r = plat::GetDialogRect(dlg);
        size = {r.right - r.left, r.bottom - r.top};
        plat::MoveDialog(dlg, 163, 123, size.x, size.y);
        rect = plat::GetDialogRect(dlg);
        if (onInit) onInit(dlg);
        return true;
    }
    void OnSelChange(plat::HDialog dlg) override {
        std::string text;
        const int length = plat::ListGetText(dlg, plat::ListGetCurSel(dlg), &text);
        EXPECT_EQ(length, int(text.size()));
        EXPECT_EQ(plat::ListGetText(dlg, plat::ListGetCount(dlg), &text), plat::kLbErr);
        chosen.push_back(text);
        plat::EndDialog(dlg, plat::kIdOk);
    }
    std::vector<std::string> lines = {" 2: Second", " 0: Window's MIDI Mapper", "10: Tenth", " 1: First"};
    std::function<void(plat::HDialog)> onInit;
    plat::HDialog self = nullptr;
    std::vector<int> order;
    plat::Point size{};
    plat::Rect rect{};
    std::vector<std::string> chosen;
};

constexpr uint32_t kPale = plat::Rgb(255, 230, 180);

TEST_F(ContractWindows, TheListIsSortedPlacedAndAKeyChoosesALine) {
    plat::ShowWindow(frame, plat::kSwShow);
    Picker p;
    p.onInit = [](plat::HDialog dlg) { contract::PressKeys(dlg, {contract::Key::Down}); };
    EXPECT_EQ(plat::DoModalList(&p, kPale), plat::kIdOk);
    EXPECT_EQ(p.order, (std::vector<int>{0, 0, 2, 1}));             // where each landed when it was added
    EXPECT_EQ(p.chosen, (std::vector<std::string>{" 2: Second"}));  // the line below the marked one
    EXPECT_EQ(p.rect.left * 1000 + p.rect.top, 163123);
    EXPECT_GT(p.size.x, 200);  // 155 × 63 dialog units of a 12-point fixed-pitch font
    EXPECT_GT(p.size.y, 100);
}

TEST_F(ContractWindows, EscapeDismissesTheListAndPostedMessagesAreHandledWhileItIsOpen) {
    plat::ShowWindow(frame, plat::kSwShow);
    Picker escaped, empty, ended;
    escaped.onInit = [](plat::HDialog dlg) { contract::PressKeys(dlg, {contract::Key::Escape}); };
    EXPECT_EQ(plat::DoModalList(&escaped, kPale), plat::kIdCancel);
    EXPECT_TRUE(escaped.chosen.empty());
    empty.lines.clear();
    empty.onInit = [](plat::HDialog dlg) {
        contract::PressKeys(dlg, {contract::Key::Down, contract::Key::Escape});
    };
    EXPECT_EQ(plat::DoModalList(&empty, kPale), plat::kIdCancel);
    EXPECT_TRUE(empty.chosen.empty());

    viewClient.on = [&](uint32_t msg, uintptr_t) {
        if (msg == plat::kWmApp + 1 && ended.self != nullptr) plat::EndDialog(ended.self, 42);
        return intptr_t(0);
    };
    ended.onInit = [&](plat::HDialog) {
        std::thread([this] { plat::PostWindowMessage(view, plat::kWmApp + 1, 0, 0); }).join();
    };
    EXPECT_EQ(plat::DoModalList(&ended, kPale), 42);
}

}  // namespace
