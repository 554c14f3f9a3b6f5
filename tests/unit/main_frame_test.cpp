// The main frame: where it places itself, what it gives the window at creation, and what it
// writes when it is destroyed.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "shell/main_frame.h"
#include "tests/support/app_fixture.h"

namespace fs = std::filesystem;

namespace kvntest {
namespace {

#ifdef _WIN32
const std::string kEol = "\r\n";
#else
const std::string kEol = "\n";
#endif

class MainFrameTest : public AppTest {
protected:
    // The frame on its own, as the framework creates it once the settings path is known.
    void UsePath() {
        theApp.m_IniPath = IniPath();
        g_WindowTitle = "KVN - Studio";
    }

    std::string Position(std::optional<int> left, std::optional<int> top) const {
        std::string s = "[WindowPosition]" + kEol;
        if (left) s += "left=" + std::to_string(*left) + kEol;
        if (top) s += "top=" + std::to_string(*top) + kEol;
        return s;
    }
};

// ---------------------------------------------------------------------------------------------
// Placement

struct PlaceCase {
    const char* what;
    plat::Rect work;
    std::optional<int> left, top;
    int x, y;
};

TEST_F(MainFrameTest, PlacesItselfInsideTheWorkArea) {
    const PlaceCase cases[] = {
        {"first run", {0, 0, 1920, 1040}, {}, {}, 590, 445},
        {"odd sizes drop the fraction", {0, 0, 1921, 1041}, {}, {}, 590, 445},
        {"stored place kept", {0, 0, 1920, 1040}, 100, 200, 100, 200},
        {"left of the work area", {0, 0, 1920, 1040}, -500, 200, 0, 200},
        {"right of the work area", {0, 0, 1920, 1040}, 5000, 200, 1180, 200},
        {"exactly at the right edge", {0, 0, 1920, 1040}, 1180, 890, 1180, 890},
        {"one past the edges", {0, 0, 1920, 1040}, 1181, 891, 1180, 890},
        {"above and below", {0, 0, 1920, 1040}, 10, -20, 10, 0},
        {"below", {0, 0, 1920, 1040}, 10, 5000, 10, 890},
        {"only left stored", {0, 0, 1920, 1040}, 33, {}, 33, 445},
        {"only top stored", {0, 0, 1920, 1040}, {}, 44, 590, 44},
        // Defaults centre on (right / 2, bottom / 2), not on the middle of the work area.
        {"work area not at 0,0", {100, 50, 1100, 650}, {}, {}, 180, 250},
        {"pulled to its left and top", {100, 50, 1100, 650}, 0, 0, 100, 50},
        {"pulled to its right and bottom", {100, 50, 1100, 650}, 5000, 5000, 360, 500},
        // A hand-edited or damaged file: the place is still pulled inside.
        {"largest stored place", {0, 0, 1920, 1040}, INT32_MAX, INT32_MAX, 1180, 890},
        {"smallest stored place", {0, 0, 1920, 1040}, INT32_MIN, INT32_MIN, 0, 0},
        {"task bar on the left", {60, 0, 1920, 1080}, -3000, 400, 60, 400},
        // Right and bottom win on a work area smaller than the window.
        {"too small", {0, 0, 600, 100}, {}, {}, -140, -50},
        {"too small, stored inside", {0, 0, 600, 100}, 10, 10, -140, -50},
        {"too small, not at 0,0", {200, 300, 800, 400}, 300, 350, 60, 250},
    };
    for (const PlaceCase& c : cases) {
        SCOPED_TRACE(c.what);
        NextLife();
        UsePath();
        sim::SetWorkArea(c.work);
        if (c.left || c.top) {
            WriteIni(Position(c.left, c.top));
        } else {
            fs::remove(IniPath());
        }
        g_WindowPos = {-12345, -12345};
        CMainFrame frame;
        CreateStruct cs;
        EXPECT_TRUE(frame.PreCreateWindow(cs));
        EXPECT_EQ(cs.x, c.x);
        EXPECT_EQ(cs.y, c.y);
        EXPECT_EQ(cs.cx, 740);
        EXPECT_EQ(cs.cy, 150);
        EXPECT_EQ(cs.title, "KVN - Studio");
        EXPECT_EQ(g_WindowPos.x, c.x);
        EXPECT_EQ(g_WindowPos.y, c.y);
    }
}

TEST_F(MainFrameTest, EmptyStoredPlaceCountsAsMissing) {
    UsePath();
    WriteIni("[WindowPosition]" + kEol + "left=" + kEol + "top=" + kEol);
    CMainFrame frame;
    CreateStruct cs;
    frame.PreCreateWindow(cs);
    EXPECT_EQ(cs.x, 590);
    EXPECT_EQ(cs.y, 445);
}

TEST_F(MainFrameTest, TheRunningWindowStandsWhereItWasPlaced) {
    sim::SetWorkArea({0, 0, 1280, 1024});
    WriteIni(Position(-500, 5000));
    ASSERT_TRUE(Start());
    const plat::Rect r = sim::WindowRect(sim::MainFrame());
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.top, 874);
    EXPECT_EQ(r.right - r.left, 740);
    EXPECT_EQ(r.bottom - r.top, 150);
    EXPECT_EQ(sim::Title(sim::MainFrame()), "KVN - Studio");
    EXPECT_EQ(CloseByPlatform(), 0);
    // The place pulled inside is what is remembered.
    const std::string file = ReadIni();
    EXPECT_NE(file.find("[WindowPosition]" + kEol + "left=0" + kEol + "top=874" + kEol), std::string::npos) << file;
}

// ---------------------------------------------------------------------------------------------
// Creation: icons and the pause

TEST_F(MainFrameTest, CreationSetsTheLitSmallIconAndPausesInSimulatedTime) {
    UsePath();
    CMainFrame frame;
    const uint64_t before = sim::NowUs();
    ASSERT_TRUE(frame.Create());
    const uint64_t took = sim::NowUs() - before;
    EXPECT_GE(took, 1000000u);
    EXPECT_LT(took, 1100000u);
    EXPECT_EQ(sim::SmallIconHistory(), std::vector<int>{plat::kIconActivity});
    ASSERT_NE(g_hIconNormal, nullptr);
    ASSERT_NE(g_hIconActivity, nullptr);
    EXPECT_NE(g_hIconNormal, g_hIconActivity);
    EXPECT_EQ(g_hIconNormal, plat::LoadAppIcon(plat::kIconNormal));
    EXPECT_EQ(g_hIconActivity, plat::LoadAppIcon(plat::kIconActivity));
    // The window exists, hidden, until start-up shows it.
    EXPECT_EQ(sim::MainFrame(), frame.Hwnd());
    EXPECT_FALSE(sim::Shown(frame.Hwnd()));
    EXPECT_NE(frame.View(), nullptr);
    frame.DestroyWindow();
}

TEST_F(MainFrameTest, WithBlinkingOffTheLitIconStaysForTheWholeRun) {
    sim::SetInputDevices({"Keys"});
    sim::SetOutputDevices({"Synth"});
    WriteIni("[InitialSetting]" + kEol + "g_IconBlink=0" + kEol);
    ASSERT_TRUE(Start());
    EXPECT_GE(sim::NowUs(), 1000000u);
    for (int i = 0; i < 20; ++i) {
        sim::DeliverShort(0x7F3C90);
        Pump();
        sim::Tick(10);
        Pump();
    }
    EXPECT_EQ(CloseByPanel(), 0);
    for (int id : sim::SmallIconHistory()) EXPECT_EQ(id, plat::kIconActivity);
    EXPECT_FALSE(sim::SmallIconHistory().empty());
}

TEST_F(MainFrameTest, WithBlinkingOnTheLitIconComesFirst) {
    ASSERT_TRUE(Start());
    ASSERT_FALSE(sim::SmallIconHistory().empty());
    EXPECT_EQ(sim::SmallIconHistory().front(), plat::kIconActivity);
    EXPECT_EQ(CloseByPlatform(), 0);
}

TEST_F(MainFrameTest, ARefusedViewGetsNoIconsNoPauseAndWritesNothingOfTheFrame) {
    RemoveSkinFile("99.bmp");
    EXPECT_FALSE(Start());
    EXPECT_LT(sim::NowUs(), 1000000u);
    EXPECT_TRUE(sim::SmallIconHistory().empty());
    EXPECT_EQ(g_hIconNormal, nullptr);
    EXPECT_EQ(g_hIconActivity, nullptr);
    theApp.ExitInstance(0);
    const std::string file = ReadIni();
    EXPECT_EQ(file.find("[Window"), std::string::npos) << file;
    EXPECT_NE(file.find("[InitialSetting]"), std::string::npos) << file;
}

// ---------------------------------------------------------------------------------------------
// Destruction

TEST_F(MainFrameTest, DestroyingWritesThePlaceThenTheVisibility) {
    UsePath();
    {
        CMainFrame frame;
        ASSERT_TRUE(frame.Create());
        plat::ShowWindow(frame.Hwnd(), plat::kSwShow);
        frame.DestroyWindow();
        EXPECT_TRUE(sim::Destroyed(frame.Hwnd()));
    }
    EXPECT_EQ(ReadIni(), "[WindowPosition]" + kEol + "left=590" + kEol + "top=445" + kEol + "[Window]" + kEol +
                             "Show=1" + kEol);

    // Negative places are written as signed numbers; a minimised frame writes 0.
    NextLife();
    UsePath();
    sim::SetWorkArea({0, 0, 600, 100});
    {
        CMainFrame frame;
        ASSERT_TRUE(frame.Create());
        plat::ShowWindow(frame.Hwnd(), plat::kSwMinimize);
        frame.DestroyWindow();
    }
    EXPECT_EQ(ReadIni(), "[WindowPosition]" + kEol + "left=-140" + kEol + "top=-50" + kEol + "[Window]" + kEol +
                             "Show=0" + kEol);
}

TEST_F(MainFrameTest, EndingMinimisedRemembersThePlaceAndStartsMinimisedThere) {
    sim::SetInputDevices({"Keys"});
    sim::SetOutputDevices({"Synth"});
    WriteIni(Position(100, 200));
    ASSERT_TRUE(Start());
    EXPECT_EQ(g_WindowPos.x, 100);
    EXPECT_EQ(g_WindowPos.y, 200);

    // Drag the panel by (30, 20).
    const plat::Point grip = PointOf(HIT_MOVE);
    MoveTo(grip);
    Press();
    MoveTo({grip.x + 30, grip.y + 20});
    Release();
    EXPECT_EQ(g_WindowPos.x, 130);
    EXPECT_EQ(g_WindowPos.y, 220);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, 130);

    // Minimise with the panel's button, then end from the task bar.
    Click(PointOf(HIT_MINIMIZE));
    ASSERT_TRUE(sim::Iconic(sim::MainFrame()));
    EXPECT_EQ(CloseByPlatform(), 0);
    const std::string file = ReadIni();
    EXPECT_NE(file.find("[WindowPosition]" + kEol + "left=130" + kEol + "top=220" + kEol + "[Window]" + kEol +
                        "Show=0" + kEol),
              std::string::npos)
        << file;

    NextLife();
    sim::SetInputDevices({"Keys"});
    sim::SetOutputDevices({"Synth"});
    ASSERT_TRUE(Start());
    EXPECT_TRUE(sim::Iconic(sim::MainFrame()));
    // Minimised, the run is fully up all the same.
    EXPECT_TRUE(sim::TimerRunning());
    EXPECT_TRUE(sim::InputStarted());
    EXPECT_EQ(g_LampMasterTune, 200);
    plat::ShowWindow(sim::MainFrame(), plat::kSwShow);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, 130);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).top, 220);
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_NE(ReadIni().find("left=130" + kEol + "top=220" + kEol + "[Window]" + kEol + "Show=1" + kEol),
              std::string::npos);
}

TEST_F(MainFrameTest, OnlyCreationAndThePanelDragMoveTheRememberedPlace) {
    ASSERT_TRUE(Start());
    // The platform's own move command (the system menu, a window manager) moves the window only.
    plat::MoveWindow(sim::MainFrame(), 10, 20, 740, 150, true);
    Pump();
    sim::Tick(3);
    Pump();
    EXPECT_EQ(g_WindowPos.x, 590);
    EXPECT_EQ(g_WindowPos.y, 445);
    // Hovering and clicking elsewhere on the panel does not either.
    MoveTo(PointOf(HIT_MOVE));
    Click(PointOf(HIT_COLOR_2));
    EXPECT_EQ(g_WindowPos.x, 590);
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_NE(ReadIni().find("left=590" + kEol + "top=445" + kEol), std::string::npos) << ReadIni();

    // A drag step takes the window from wherever it stands.
    NextLife();
    ASSERT_TRUE(Start());
    plat::MoveWindow(sim::MainFrame(), 10, 20, 740, 150, true);
    const plat::Point grip = PointOf(HIT_MOVE);
    MoveTo(grip);
    Press();
    MoveTo({grip.x + 5, grip.y - 7});
    Release();
    EXPECT_EQ(g_WindowPos.x, 15);
    EXPECT_EQ(g_WindowPos.y, 13);
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_NE(ReadIni().find("left=15" + kEol + "top=13" + kEol), std::string::npos) << ReadIni();
}

TEST_F(MainFrameTest, AFrameThatCannotWriteStillCloses) {
    fs::create_directory(IniPath());
    ASSERT_TRUE(Start());
    const plat::HWnd frame = sim::MainFrame();
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_TRUE(sim::Destroyed(frame));
    EXPECT_TRUE(fs::is_directory(IniPath()));
}

}  // namespace
}  // namespace kvntest
