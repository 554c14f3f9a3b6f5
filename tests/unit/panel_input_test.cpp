// The panel's controls as a user works them: moves, presses, releases and double-clicks on the
// areas of the hit map, and what each leaves in the settings, at the output and on the screen.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/bmp.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

intptr_t Pack(plat::Point p) { return (p.x & 0xFFFF) | ((p.y & 0xFFFF) << 16); }

uint8_t Status(uint32_t w) { return uint8_t(w & 0xFF); }
uint8_t Data1(uint32_t w) { return uint8_t((w >> 8) & 0xFF); }
uint8_t Data2(uint32_t w) { return uint8_t((w >> 16) & 0xFF); }

std::vector<uint32_t> Sent() {
    std::vector<uint32_t> words;
    for (const auto& e : sim::ShortMessages()) words.push_back(e.word);
    return words;
}

size_t Count(const std::vector<uint32_t>& words, uint8_t statusHigh, uint8_t controller) {
    return size_t(std::count_if(words.begin(), words.end(), [&](uint32_t w) {
        return (Status(w) & 0xF0) == statusHigh && Data1(w) == controller;
    }));
}

void QuietLamps() {
    for (Atomic32* lamp : {&g_LampFreqDown, &g_LampFreqUp, &g_LampMasterTune, &g_LampIn, &g_LampOut,
                           &g_LampPanic, &g_LampDrop, &g_LampKeyDown, &g_LampKeyUp}) {
        *lamp = kLampIdle;
    }
}

bool AllLampsIdle() {
    for (const Atomic32* lamp :
         {&g_LampFreqDown, &g_LampFreqUp, &g_LampMasterTune, &g_LampPanic, &g_LampKeyDown, &g_LampKeyUp}) {
        if (*lamp != kLampIdle) return false;
    }
    return true;
}

class PanelInputTest : public AppTest {
protected:
    void StartWith(const std::string& initialSettings = "") {
        sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        WriteIni("[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Synth\n" + initialSettings);
        ASSERT_TRUE(Start());
        Settle();
    }
    // Everything handled, the start-up lamp out, the logs empty.
    void Settle() {
        Pump();
        QuietLamps();
        sim::ClearLogs();
        sim::ClearDrawLog();
    }

    // Presses where the mouse is and handles only the press; true when it posted a repaint.
    bool PressPostsPaint() {
        plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(g_MousePos));
        EXPECT_EQ(sim::PumpOne(), 1);
        bool paint = false;
        for (const sim::Posted& p : sim::Queue()) paint |= (p.wnd == sim::View() && p.msg == plat::kWmPaint);
        Pump();
        return paint;
    }

    bool Queued(plat::HWnd wnd, uint32_t msg) {
        for (const sim::Posted& p : sim::Queue()) {
            if (p.wnd == wnd && p.msg == msg) return true;
        }
        return false;
    }

    // A press and a release on `region` that must change nothing at all.
    void ExpectInert(int region, const char* what) {
        SCOPED_TRACE(what);
        const int32_t freq = g_Frequency, shift = g_KeyShift, color = g_PanelColor, tone = g_RefTone,
                      thru = g_ThruConnect;
        const plat::Rect rect = sim::WindowRect(sim::MainFrame());
        const size_t lists = sim::ListsShown().size();
        sim::ClearLogs();
        MoveTo(PointOf(region));
        EXPECT_FALSE(PressPostsPaint());
        EXPECT_EQ(g_DragState, DRAG_IDLE);
        EXPECT_FALSE(sim::Captured());
        EXPECT_EQ(sim::CurrentCursor(), plat::Cursor::Arrow);
        EXPECT_EQ(g_HoverRegion, region);
        Release();
        EXPECT_TRUE(sim::OutputLog().empty());
        EXPECT_TRUE(sim::InputLog().empty());
        EXPECT_EQ(g_Frequency, freq);
        EXPECT_EQ(g_KeyShift, shift);
        EXPECT_EQ(g_PanelColor, color);
        EXPECT_EQ(g_RefTone, tone);
        EXPECT_EQ(g_ThruConnect, thru);
        EXPECT_EQ(g_DragState, DRAG_IDLE);
        EXPECT_FALSE(sim::Captured());
        EXPECT_FALSE(sim::Iconic(sim::MainFrame()));
        EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, rect.left);
        EXPECT_EQ(sim::ListsShown().size(), lists);
        EXPECT_TRUE(AllLampsIdle());
        EXPECT_EQ(sim::OpenOutputs(), 1);
    }
};

// ---- Pitch and key shift -------------------------------------------------------------------

TEST_F(PanelInputTest, DoubleClickOnFrequencyUpStepsTwiceAndTunesTwice) {
    StartWith();
    DoubleClick(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4410);
    const auto words = Sent();
    ASSERT_EQ(words.size(), 180u);
    for (uint32_t w : words) EXPECT_NE(Status(w), 0xB9) << "never channel 10";
    // The second run carries 441.0 Hz: data entry MSB 0x42, LSB 0x41.
    EXPECT_EQ(Data1(words[92]), 6);
    EXPECT_EQ(Data2(words[92]), 0x42);
    EXPECT_EQ(Data2(words[93]), 0x41);
    EXPECT_GE(g_LampFreqUp, 1);
    EXPECT_GE(g_LampMasterTune, 1);
    EXPECT_EQ(g_LampFreqDown, kLampIdle);
    // Seen at the next repaint.
    sim::ClearDrawLog();
    plat::SendWindowMessage(sim::View(), plat::kWmPaint, 0, 0);
    bool lampDrawn = false;
    for (const auto& op : sim::DrawLog()) lampDrawn |= (op.src == "06.bmp" && op.x == 628);
    EXPECT_TRUE(lampDrawn);
}

TEST_F(PanelInputTest, EachClickIsOneStepWithItsLampAndARepaint) {
    StartWith();
    MoveTo(PointOf(HIT_FREQ_DOWN));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_Frequency, 4395);
    EXPECT_EQ(g_LampFreqDown, 10);
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(Sent().size(), 90u);
    Settle();

    MoveTo(PointOf(HIT_KEY_UP));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_KeyShift, 1);
    EXPECT_EQ(g_LampKeyUp, 10);
    auto words = Sent();
    ASSERT_EQ(words.size(), 32u);
    for (int ch = 0; ch < 16; ++ch) {
        EXPECT_EQ(words[size_t(ch)], 0xB0u + uint32_t(ch) + (123u << 8)) << ch;
        EXPECT_EQ(words[size_t(16 + ch)], 0xB0u + uint32_t(ch) + (120u << 8)) << ch;
    }
    Settle();

    DoubleClick(PointOf(HIT_KEY_DOWN));
    EXPECT_EQ(g_KeyShift, -1);
    EXPECT_EQ(g_LampKeyDown, 10);
    EXPECT_EQ(Sent().size(), 64u);
}

TEST_F(PanelInputTest, AtTheUpperLimitsNothingHappens) {
    StartWith("g_Frequency=4455\ng_KeyShift=7\n");
    ExpectInert(HIT_FREQ_UP, "445.5 Hz up");
    ExpectInert(HIT_KEY_UP, "key shift 7 up");
    // The other direction still works.
    Click(PointOf(HIT_FREQ_DOWN));
    Click(PointOf(HIT_KEY_DOWN));
    EXPECT_EQ(g_Frequency, 4450);
    EXPECT_EQ(g_KeyShift, 6);
}

TEST_F(PanelInputTest, AtTheLowerLimitsNothingHappens) {
    StartWith("g_Frequency=4350\ng_KeyShift=-7\n");
    ExpectInert(HIT_FREQ_DOWN, "435.0 Hz down");
    ExpectInert(HIT_KEY_DOWN, "key shift -7 down");
    DoubleClick(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(g_Frequency, 4350);
}

TEST_F(PanelInputTest, AnOffGridPitchKeepsItsOffsetBecauseTheLimitIsTestedFirst) {
    StartWith("g_Frequency=4451\n");
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4456);
    Settle();
    ExpectInert(HIT_FREQ_UP, "4456 up");
    Click(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(g_Frequency, 4451);
}

TEST_F(PanelInputTest, ThePressActsOnTheRegionOfTheLastMoveNotOnWhereItLands) {
    StartWith();
    MoveTo(PointOf(HIT_FREQ_UP));
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(PointOf(HIT_PANIC)));
    Pump();
    Release();
    EXPECT_EQ(g_Frequency, 4405);
    EXPECT_EQ(g_LampPanic, kLampIdle);
}

TEST_F(PanelInputTest, APressBeforeAnyMoveDoesNothing) {
    StartWith();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(PointOf(HIT_FREQ_UP)));
    Pump();
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_TRUE(sim::OutputLog().empty());
}

// ---- Send, panic, colour, connection thru --------------------------------------------------

TEST_F(PanelInputTest, SendTuneAndPanic) {
    StartWith();
    MoveTo(PointOf(HIT_SEND_TUNE));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(Sent().size(), 90u);
    EXPECT_EQ(g_LampMasterTune, 10);
    Settle();

    MoveTo(PointOf(HIT_PANIC));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    const auto words = Sent();
    ASSERT_EQ(words.size(), 32u);
    EXPECT_EQ(Count(words, 0xB0, 123), 16u);
    EXPECT_EQ(Count(words, 0xB0, 120), 16u);
    EXPECT_EQ(std::count(words.begin(), words.end(), 0xB9u + (123u << 8)), 1) << "channel 10 included";
    EXPECT_EQ(g_LampPanic, 70);
}

TEST_F(PanelInputTest, ColourButtonsSwitchTheColourOnlyWhenItDiffers) {
    StartWith("g_PanelColor=0\n");
    MoveTo(PointOf(HIT_COLOR_3));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_PanelColor, 3);
    ExpectInert(HIT_COLOR_3, "the current colour");
    for (int region : {HIT_COLOR_0, HIT_COLOR_1, HIT_COLOR_2}) {
        Click(PointOf(region));
        EXPECT_EQ(g_PanelColor, region - HIT_COLOR_0);
    }
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(PanelInputTest, ConnectionThruFlipsAndLocksTheKeyShift) {
    StartWith();
    MoveTo(PointOf(HIT_THRU_CONNECT));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_ThruConnect, 1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Connect);
    EXPECT_EQ(Sent().size(), 32u);
    Settle();

    ExpectInert(HIT_KEY_UP, "key up in connection thru");
    ExpectInert(HIT_KEY_DOWN, "key down in connection thru");
    // Notes travel through the platform while the engine steps aside.
    ASSERT_TRUE(sim::DeliverShort(0x00403C90));
    Pump();
    EXPECT_EQ(Sent(), (std::vector<uint32_t>{0x00403C90}));
    Settle();

    Click(PointOf(HIT_THRU_CONNECT));
    EXPECT_EQ(g_ThruConnect, 0);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Disconnect);
    EXPECT_EQ(Sent().size(), 90u + 32u);
    Settle();
    Click(PointOf(HIT_KEY_UP));
    EXPECT_EQ(g_KeyShift, 1);
}

TEST_F(PanelInputTest, ConnectionThruWithoutAnInputOnlyRepaints) {
    sim::SetOutputDevices({"Synth"});
    ASSERT_TRUE(Start());
    Settle();
    MoveTo(PointOf(HIT_THRU_CONNECT));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_TRUE(sim::OutputLog().empty());
}

// ---- Reference tone and what it locks ------------------------------------------------------

TEST_F(PanelInputTest, SoftThenLoudThenLoud) {
    StartWith();
    auto notes = [] {
        std::vector<uint32_t> out;
        for (uint32_t w : Sent()) {
            EXPECT_EQ(Status(w) & 0x0F, 0x0F) << "channel 16 only: " << std::hex << w;
            if ((Status(w) & 0xF0) == 0x90) out.push_back(w);
        }
        return out;
    };
    MoveTo(PointOf(HIT_TONE_SOFT));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_RefTone, 1);
    EXPECT_EQ(notes(), (std::vector<uint32_t>{0x9F | (69u << 8) | (100u << 16)}));
    Settle();

    MoveTo(PointOf(HIT_TONE_LOUD));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_RefTone, 2);
    EXPECT_EQ(notes(), (std::vector<uint32_t>{0x9F | (69u << 8) | (127u << 16)}));
    Settle();

    MoveTo(PointOf(HIT_TONE_LOUD));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_RefTone, 0);
    EXPECT_TRUE(notes().empty());
    const auto words = Sent();
    EXPECT_EQ(std::count(words.begin(), words.end(), 0xBFu | (7u << 8)), 1) << "volume 0";
    EXPECT_EQ(std::count(words.begin(), words.end(), 0xBFu | (11u << 8)), 1) << "expression 0";
}

TEST_F(PanelInputTest, WhileTheToneSoundsOnlyColourPitchToneAndCloseWork) {
    StartWith("g_PanelColor=0\n");
    Click(PointOf(HIT_TONE_SOFT));
    ASSERT_EQ(g_RefTone, 1);
    Settle();

    ExpectInert(HIT_INPUT_PORT, "input port");
    ExpectInert(HIT_OUTPUT_PORT, "output port");
    ExpectInert(HIT_THRU_CONNECT, "connection thru");
    ExpectInert(HIT_SEND_TUNE, "send");
    ExpectInert(HIT_PANIC, "panic");
    ExpectInert(HIT_KEY_UP, "key up");
    ExpectInert(HIT_KEY_DOWN, "key down");
    ExpectInert(HIT_MOVE, "move");
    ExpectInert(HIT_MINIMIZE, "minimise");
    EXPECT_EQ(g_HoverRegion, HIT_MINIMIZE) << "an inert minimise leaves the hover look";

    Click(PointOf(HIT_COLOR_2));
    EXPECT_EQ(g_PanelColor, 2);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4405);
    Click(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(g_Frequency, 4400);
    Click(PointOf(HIT_TONE_LOUD));
    EXPECT_EQ(g_RefTone, 2);
    Settle();
    Click(PointOf(HIT_CLOSE));
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_TRUE(sim::QuitPosted());
}

// ---- Window buttons ------------------------------------------------------------------------

TEST_F(PanelInputTest, CloseActsOnlyOnAReleaseOverTheButton) {
    StartWith();
    MoveTo(PointOf(HIT_CLOSE));
    EXPECT_TRUE(PressPostsPaint());
    EXPECT_EQ(g_ClosePressed, 1);
    MoveTo(PointOf(HIT_PANIC));
    Release();
    EXPECT_EQ(g_ClosePressed, 0);
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);
    EXPECT_FALSE(sim::QuitPosted());
    EXPECT_FALSE(sim::Destroyed(sim::MainFrame()));
    EXPECT_EQ(g_LampPanic, kLampIdle) << "the release acts on nothing else";

    // Pressed, off and back on before the release: that closes.
    MoveTo(PointOf(HIT_CLOSE));
    Press();
    MoveTo(PointOf(HIT_PANIC));
    MoveTo(PointOf(HIT_CLOSE));
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonUp, 0, Pack(g_MousePos));
    ASSERT_EQ(sim::PumpOne(), 1);
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_TRUE(Queued(sim::MainFrame(), plat::kWmClose));
    Pump();
    EXPECT_TRUE(sim::Destroyed(sim::MainFrame()));
    EXPECT_EQ(theApp.ExitInstance(0), 0);
}

TEST_F(PanelInputTest, ReleasingOverCloseAfterAPressElsewhereDoesNotClose) {
    StartWith();
    MoveTo(PointOf(HIT_PANIC));
    Press();
    MoveTo(PointOf(HIT_CLOSE));
    Release();
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_FALSE(Queued(sim::MainFrame(), plat::kWmClose));
    Pump();
    EXPECT_FALSE(sim::Destroyed(sim::MainFrame()));
}

TEST_F(PanelInputTest, DraggingTheHandleMovesTheWindowAndTheRememberedPlace) {
    StartWith();
    const plat::Rect start = sim::WindowRect(sim::MainFrame());
    ASSERT_EQ(start.left, g_WindowPos.x);
    const plat::Point handle = PointOf(HIT_MOVE);
    MoveTo(handle);
    Press();
    EXPECT_EQ(g_DragState, DRAG_DRAGGING);
    EXPECT_TRUE(sim::Captured());
    EXPECT_EQ(sim::CurrentCursor(), plat::Cursor::SizeAll);

    // The mouse goes 30 right and 20 down, then 40 left and 25 down; the window follows, so the next move is
    // measured from the moved window.
    g_Redraw = 0;
    MoveTo({handle.x + 30, handle.y + 20});
    EXPECT_EQ(g_Redraw, 0) << "moves during a drag request no repaint";
    MoveTo({handle.x - 40, handle.y + 25});
    const plat::Rect moved = sim::WindowRect(sim::MainFrame());
    EXPECT_EQ(moved.left, start.left - 10);
    EXPECT_EQ(moved.top, start.top + 45);
    EXPECT_EQ(moved.right - moved.left, 740);
    EXPECT_EQ(moved.bottom - moved.top, 150);
    EXPECT_EQ(g_WindowPos.x, moved.left);
    EXPECT_EQ(g_WindowPos.y, moved.top);
    EXPECT_EQ(g_HoverRegion, HIT_NONE) << "the hit test keeps running during the drag";

    // Released away from the handle: the drag still ends.
    Release();
    EXPECT_EQ(g_DragState, DRAG_IDLE);
    EXPECT_FALSE(sim::Captured());
    EXPECT_EQ(sim::CurrentCursor(), plat::Cursor::Arrow);
    MoveTo({handle.x + 100, handle.y + 50});
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, moved.left);

    EXPECT_EQ(CloseByPanel(), 0);
    const std::string ini = ReadIni();
    EXPECT_NE(ini.find("left=" + std::to_string(start.left - 10)), std::string::npos) << ini;
    EXPECT_NE(ini.find("top=" + std::to_string(start.top + 45)), std::string::npos) << ini;
}

TEST_F(PanelInputTest, ADoubleClickOnTheHandleDragsFromWhereTheMouseIs) {
    StartWith();
    const plat::Rect start = sim::WindowRect(sim::MainFrame());
    const plat::Point handle = PointOf(HIT_MOVE);
    MoveTo(handle);
    Press();
    Release();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDblClk, 1, Pack(handle));
    Pump();
    ASSERT_EQ(g_DragState, DRAG_DRAGGING);
    MoveTo({handle.x + 5, handle.y + 3});
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, start.left + 5);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).top, start.top + 3);
    Release();
    EXPECT_EQ(g_DragState, DRAG_IDLE);
}

TEST_F(PanelInputTest, MinimiseClearsTheHoverAndAsksTheFrame) {
    StartWith();
    MoveTo(PointOf(HIT_MINIMIZE));
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(g_MousePos));
    ASSERT_EQ(sim::PumpOne(), 1);
    EXPECT_EQ(g_HoverRegion, HIT_NONE);
    ASSERT_EQ(sim::Queue().size(), 1u) << "no repaint of its own";
    EXPECT_EQ(sim::Queue()[0].wnd, sim::MainFrame());
    EXPECT_EQ(sim::Queue()[0].msg, plat::kWmSysCommand);
    EXPECT_EQ(sim::Queue()[0].wParam, plat::kScMinimize);
    Pump();
    Release();
    EXPECT_TRUE(sim::Iconic(sim::MainFrame()));
    // Minimised, the system keeps working.
    ASSERT_TRUE(sim::DeliverShort(0x00403C90));
    Pump();
    EXPECT_EQ(Sent().size(), 1u);
    EXPECT_EQ(CloseByPlatform(), 0);
    EXPECT_NE(ReadIni().find("Show=0"), std::string::npos);
}

// ---- What is no control --------------------------------------------------------------------

class HitMapTest : public PanelInputTest {
protected:
    // Paints w×h at x, y of the folder's hit map in one colour before start-up.
    void PaintHitMap(int x, int y, int w, int h, uint32_t rgb) {
        const std::string path = (folder_ / "Bitmap" / "05.bmp").string();
        kvn::bmp::Image map;
        ASSERT_TRUE(kvn::bmp::Load(path, map));
        for (int row = y; row < y + h; ++row) {
            for (int col = x; col < x + w; ++col)
                map.pixels[size_t(row) * size_t(map.width) + size_t(col)] = rgb;
        }
        ASSERT_TRUE(kvn::bmp::Save(path, map));
    }
};

TEST_F(HitMapTest, RedValuesOutsideTheCodeTableAreNoControlAndGreenAndBlueAreIgnored) {
    PaintHitMap(100, 4, 10, 8, 125u << 16);
    PaintHitMap(120, 4, 10, 8, 255u << 16);
    PaintHitMap(140, 4, 10, 8, 40u << 16);
    PaintHitMap(160, 4, 10, 8, 230u << 16);
    PaintHitMap(100, 138, 10, 8, (180u << 16) | (99u << 8) | 7u);  // frequency up, tinted
    StartWith();
    for (const plat::Point p :
         {plat::Point{105, 8}, plat::Point{125, 8}, plat::Point{145, 8}, plat::Point{165, 8},
          plat::Point{-3, 8}, plat::Point{745, 8}, plat::Point{5, 2}}) {
        SCOPED_TRACE(std::to_string(p.x) + "," + std::to_string(p.y));
        MoveTo(p);
        EXPECT_EQ(g_HoverRegion, HIT_NONE);
        EXPECT_FALSE(PressPostsPaint());
        Release();
        EXPECT_TRUE(sim::OutputLog().empty());
        EXPECT_TRUE(AllLampsIdle());
    }
    Click({105, 142});
    EXPECT_EQ(g_Frequency, 4405);
}

TEST_F(PanelInputTest, RightButtonAndKeysChangeNothing) {
    StartWith();
    MoveTo(PointOf(HIT_FREQ_UP));
    g_Redraw = 0;
    const plat::Point p = g_MousePos;
    plat::PostWindowMessage(sim::View(), plat::kWmRButtonDown, 2, Pack(p));
    plat::PostWindowMessage(sim::View(), 0x0205, 0, Pack(p));           // WM_RBUTTONUP
    plat::PostWindowMessage(sim::View(), 0x0206, 2, Pack(p));           // WM_RBUTTONDBLCLK
    for (uintptr_t key : {0x26u, 0x28u, 0x20u, 0x0Du, 0x1Bu, 0x70u}) {  // up, down, space, return, escape, F1
        plat::PostWindowMessage(sim::View(), plat::kWmKeyDown, key, 1);
        plat::PostWindowMessage(sim::View(), 0x0102, key, 1);  // WM_CHAR
        plat::PostWindowMessage(sim::View(), 0x0101, key, 1);  // WM_KEYUP
    }
    Pump();
    EXPECT_TRUE(sim::Queue().empty());
    EXPECT_EQ(g_Redraw, 0);
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(AllLampsIdle());
    EXPECT_EQ(g_HoverRegion, HIT_FREQ_UP);
}

TEST_F(PanelInputTest, HoverRepaintsComeFromTheTimerOncePerTick) {
    StartWith();
    MoveTo(PointOf(HIT_PANIC));
    MoveTo(PointOf(HIT_MOVE));
    MoveTo(PointOf(HIT_CLOSE));
    EXPECT_TRUE(sim::Queue().empty()) << "a move posts nothing itself";
    sim::Tick();
    ASSERT_EQ(sim::Queue().size(), 1u);
    EXPECT_EQ(sim::Queue()[0].msg, plat::kWmPaint);
    EXPECT_EQ(g_HoverRegion, HIT_CLOSE);
}

}  // namespace
}  // namespace kvntest
