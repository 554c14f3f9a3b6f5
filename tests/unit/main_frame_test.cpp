// The main frame: where it places itself, what it gives the window at creation, and what it
// writes when it is destroyed.
#include "shell/main_frame.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace fs = std::filesystem;

namespace kvntest {
namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

// The keys the frame writes, as they stand in the file.
std::string Written(int left, int top, int show) {
    return "[WindowPosition]" + kEol + "left=" + std::to_string(left) + kEol + "top=" + std::to_string(top) +
           kEol + "[Window]" + kEol + "Show=" + std::to_string(show) + kEol;
}

class MainFrameTest : public AppTest {
protected:
    // The frame on its own, as the framework creates it once the settings path is known.
    void UsePath() {
        theApp.m_IniPath = IniPath();
        g_WindowTitle = "KVN - Studio";
    }
    void DragBy(int dx, int dy) {
        const plat::Point grip = PointOf(HIT_MOVE);
        MoveTo(grip);
        Press();
        MoveTo({grip.x + dx, grip.y + dy});
        Release();
    }
};

struct PlaceCase {
    const char* what;
    plat::Rect work;
    const char *left, *top;  // as stored; nullptr: missing
    int x, y;
};

TEST_F(MainFrameTest, PlacesItselfInsideTheWorkArea) {
    const plat::Rect hd = {0, 0, 1920, 1040}, off = {100, 50, 1100, 650};
    const PlaceCase cases[] = {
        {"first run", hd, nullptr, nullptr, 590, 445},
        {"odd sizes drop the fraction", {0, 0, 1921, 1041}, nullptr, nullptr, 590, 445},
        {"empty values count as missing", hd, "", "", 590, 445},
        {"stored place kept", hd, "100", "200", 100, 200},
        {"left of the work area", hd, "-500", "200", 0, 200},
        {"right of the work area", hd, "5000", "200", 1180, 200},
        {"exactly at the right edge", hd, "1180", "890", 1180, 890},
        {"one past the edges", hd, "1181", "891", 1180, 890},
        {"above", hd, "10", "-20", 10, 0},
        {"below", hd, "10", "5000", 10, 890},
        {"only left stored", hd, "33", nullptr, 33, 445},
        {"only top stored", hd, nullptr, "44", 590, 44},
        // Defaults centre on (right / 2, bottom / 2), not on the middle of the work area.
        {"work area not at 0,0", off, nullptr, nullptr, 180, 250},
        {"pulled to its left and top", off, "0", "0", 100, 50},
        {"pulled to its right and bottom", off, "5000", "5000", 360, 500},
        // A hand-edited or damaged file: the place is still pulled inside, without overflow.
        {"largest stored place", hd, "2147483647", "2147483647", 1180, 890},
        {"smallest stored place", hd, "-2147483648", "-2147483648", 0, 0},
        {"task bar on the left", {60, 0, 1920, 1080}, "-3000", "400", 60, 400},
        // Right and bottom win on a work area smaller than the window.
        {"too small", {0, 0, 600, 100}, nullptr, nullptr, -140, -50},
        {"too small, stored inside", {0, 0, 600, 100}, "10", "10", -140, -50},
        {"too small, not at 0,0", {200, 300, 800, 400}, "300", "350", 60, 250}};
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.what);
        NextLife();
        UsePath();
        sim::SetWorkArea(c.work);
        std::string ini = "[WindowPosition]" + kEol;
        if (c.left) ini += std::string("left=") + c.left + kEol;
        if (c.top) ini += std::string("top=") + c.top + kEol;
        if (c.left || c.top) {
            WriteIni(ini);
        } else {
            fs::remove(IniPath());
        }
        g_WindowPos = {-12345, -12345};
        CMainFrame frame;
        CreateStruct cs;
        EXPECT_TRUE(frame.PreCreateWindow(cs));
        EXPECT_EQ((std::vector<int>{cs.x, cs.y, cs.cx, cs.cy, g_WindowPos.x, g_WindowPos.y}),
                  (std::vector<int>{c.x, c.y, 740, 150, c.x, c.y}));
        EXPECT_EQ(cs.title, "KVN - Studio");
    }
}

TEST_F(MainFrameTest, TheRunningWindowStandsWhereItWasPlacedAndThatPlaceIsRemembered) {
    sim::SetWorkArea({0, 0, 1280, 1024});
    WriteIni("[WindowPosition]" + kEol + "left=-500" + kEol + "top=5000" + kEol);
    ASSERT_TRUE(Start());
    const plat::Rect r = sim::WindowRect(sim::MainFrame());
    EXPECT_EQ((std::vector<int>{r.left, r.top, r.right - r.left, r.bottom - r.top}),
              (std::vector<int>{0, 874, 740, 150}));
    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - Studio");
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_NE(ReadIni().find(Written(0, 874, 1)), std::string::npos) << ReadIni();
}

TEST_F(MainFrameTest, CreationSetsTheLitSmallIconAndPausesInSimulatedTime) {
    UsePath();
    CMainFrame frame;
    const uint64_t before = sim::NowUs();
    ASSERT_TRUE(frame.Create());
    const uint64_t took = sim::NowUs() - before;
    EXPECT_GE(took, 1000000u);
    EXPECT_LT(took, 1100000u);
    EXPECT_EQ(sim::SmallIconHistory(), std::vector<int>{plat::kIconActivity});
    EXPECT_NE(g_hIconNormal, g_hIconActivity);
    EXPECT_EQ(g_hIconNormal, plat::LoadAppIcon(plat::kIconNormal));
    EXPECT_EQ(g_hIconActivity, plat::LoadAppIcon(plat::kIconActivity));
    // The window exists, hidden, until start-up shows it.
    EXPECT_EQ(sim::MainFrame(), frame.Hwnd());
    EXPECT_FALSE(sim::Shown(frame.Hwnd()));
    EXPECT_NE(frame.View(), nullptr);
    frame.DestroyWindow();
}

TEST_F(MainFrameTest, DestroyingWritesThePlaceThenTheVisibility) {
    // Negative places are written as signed numbers; a minimised frame writes 0.
    const struct {
        plat::Rect work;
        int show, left, top, shown;
    } cases[] = {{{0, 0, 1920, 1040}, plat::kSwShow, 590, 445, 1},
                 {{0, 0, 600, 100}, plat::kSwMinimize, -140, -50, 0}};
    for (const auto& c : cases) {
        NextLife();
        UsePath();
        sim::SetWorkArea(c.work);
        CMainFrame frame;
        ASSERT_TRUE(frame.Create());
        plat::ShowWindow(frame.Hwnd(), c.show);
        frame.DestroyWindow();
        EXPECT_TRUE(sim::Destroyed(frame.Hwnd()));
        EXPECT_EQ(ReadIni(), Written(c.left, c.top, c.shown));
    }
}

TEST_F(MainFrameTest, EndingMinimisedRemembersThePlaceAndStartsMinimisedThere) {
    WriteIni("[WindowPosition]" + kEol + "left=100" + kEol + "top=200" + kEol);
    ASSERT_TRUE(Start());
    DragBy(30, 20);
    EXPECT_EQ(g_WindowPos.x, 130);
    EXPECT_EQ(g_WindowPos.y, 220);
    Click(PointOf(HIT_MINIMIZE));
    ASSERT_TRUE(sim::Iconic(sim::MainFrame()));
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_NE(ReadIni().find(Written(130, 220, 0)), std::string::npos) << ReadIni();

    NextLife();
    ASSERT_TRUE(Start());
    EXPECT_TRUE(sim::Iconic(sim::MainFrame()));
    plat::ShowWindow(sim::MainFrame(), plat::kSwShow);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, 130);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).top, 220);
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_NE(ReadIni().find(Written(130, 220, 1)), std::string::npos) << ReadIni();
}

TEST_F(MainFrameTest, OnlyCreationAndThePanelDragMoveTheRememberedPlace) {
    ASSERT_TRUE(Start());
    // The platform's own move command (the system menu, a window manager) moves the window only.
    plat::MoveWindow(sim::MainFrame(), 10, 20, 740, 150, true);
    Pump();
    sim::Tick(3);
    Pump();
    // Hovering and clicking elsewhere on the panel does not either.
    MoveTo(PointOf(HIT_MOVE));
    Click(PointOf(HIT_COLOR_2));
    EXPECT_EQ(g_WindowPos.x, 590);
    EXPECT_EQ(g_WindowPos.y, 445);
    // A drag step takes the window from wherever it stands.
    DragBy(5, -7);
    EXPECT_EQ(g_WindowPos.x, 15);
    EXPECT_EQ(g_WindowPos.y, 13);
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_NE(ReadIni().find(Written(15, 13, 1)), std::string::npos) << ReadIni();
}

}  // namespace
}  // namespace kvntest
