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

std::vector<uint32_t> Sent() {
    std::vector<uint32_t> words;
    for (const auto& e : sim::ShortMessages()) words.push_back(e.word);
    return words;
}

long Count(const std::vector<uint32_t>& words, uint32_t word) {
    return std::count(words.begin(), words.end(), word);
}

const std::vector<Atomic32*> kLamps = {&g_LampFreqDown, &g_LampFreqUp,  &g_LampMasterTune,
                                       &g_LampIn,       &g_LampOut,     &g_LampPanic,
                                       &g_LampDrop,     &g_LampKeyDown, &g_LampKeyUp};

bool AllLampsIdle() {
    for (const Atomic32* lamp :
         {&g_LampFreqDown, &g_LampFreqUp, &g_LampMasterTune, &g_LampPanic, &g_LampKeyDown, &g_LampKeyUp}) {
        if (*lamp != kLampIdle) return false;
    }
    return true;
}

class PanelInputTest : public AppTest {
protected:
    void StartWith(const std::string& initialSettings = "", bool input = true) {
        NextLife();
        if (input) sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        WriteIni("[InitialSetting]\nMidiInDeviceName=Keyboard\nMidiOutDeviceName=Synth\n" + initialSettings);
        ASSERT_TRUE(Start());
        Settle();
    }
    // Everything handled, the start-up lamp out, the logs empty.
    void Settle() {
        Pump();
        for (Atomic32* lamp : kLamps) *lamp = kLampIdle;
        sim::ClearLogs();
        sim::ClearDrawLog();
    }

    // Presses where the mouse is and handles only the press; true when it posted a repaint.
    bool PressPostsPaint() {
        plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(g_MousePos));
        EXPECT_EQ(sim::PumpOne(), 1);
        const bool paint = Queued(sim::View(), plat::kWmPaint);
        Pump();
        return paint;
    }
    // A click on `region` whose press must ask for a repaint.
    void ClickPainting(int region) {
        MoveTo(PointOf(region));
        EXPECT_TRUE(PressPostsPaint());
        Release();
    }
    bool Queued(plat::HWnd wnd, uint32_t msg) {
        return std::any_of(sim::Queue().begin(), sim::Queue().end(),
                           [&](const sim::Posted& p) { return p.wnd == wnd && p.msg == msg; });
    }

    // What a click could change: values, drag, capture, window, lists, lamps, ports.
    std::vector<long> State() {
        return {g_Frequency,
                g_KeyShift,
                g_PanelColor,
                g_RefTone,
                g_ThruConnect,
                g_DragState,
                sim::Captured(),
                sim::Iconic(sim::MainFrame()),
                sim::WindowRect(sim::MainFrame()).left,
                long(sim::ListsShown().size()),
                AllLampsIdle(),
                sim::OpenOutputs()};
    }
    // A press and a release on `region` that must change nothing at all.
    void ExpectInert(int region) {
        SCOPED_TRACE("inert region " + std::to_string(region));
        const std::vector<long> before = State();
        ASSERT_EQ(before[5], DRAG_IDLE);
        sim::ClearLogs();
        MoveTo(PointOf(region));
        EXPECT_FALSE(PressPostsPaint());
        EXPECT_EQ(State(), before);
        EXPECT_EQ(sim::CurrentCursor(), plat::Cursor::Arrow);
        EXPECT_EQ(g_HoverRegion, region);
        Release();
        EXPECT_EQ(State(), before);
        EXPECT_TRUE(sim::OutputLog().empty());
        EXPECT_TRUE(sim::InputLog().empty());
    }
};

TEST_F(PanelInputTest, EachControlActsOnceWithItsLampItsMessagesAndARepaint) {
    StartWith();
    DoubleClick(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4410);
    const std::vector<uint32_t> tune = Sent();
    ASSERT_EQ(tune.size(), 180u);
    for (uint32_t w : tune) EXPECT_NE(w & 0xFF, 0xB9u) << "never channel 10";
    // The second run carries 441.0 Hz: data entry MSB 0x42, LSB 0x41.
    EXPECT_EQ(tune[92] & 0xFFFF00, (0x42u << 16) | (6u << 8));
    EXPECT_EQ(tune[93] >> 16, 0x41u);
    EXPECT_EQ(g_LampFreqUp, 10);
    EXPECT_EQ(g_LampFreqDown, kLampIdle);

    std::vector<uint32_t> silence;  // all notes off, then all sound off, on every channel
    for (uint32_t cc : {123u, 120u}) {
        for (uint32_t ch = 0; ch < 16; ++ch) silence.push_back(0xB0u + ch + (cc << 8));
    }
    const struct {
        int region;
        bool twice;
        Atomic32* lamp;
        int32_t lit;
        size_t count;                 // messages sent; 0: not counted
        std::vector<uint32_t> words;  // exactly these, unless empty
        uint32_t one;                 // one message among them, unless 0
        std::vector<int32_t> after;   // frequency, key shift, reference tone
    } steps[] = {
        {HIT_FREQ_DOWN, false, &g_LampFreqDown, 10, 90, {}, 0, {4405, 0, 0}},
        {HIT_KEY_UP, false, &g_LampKeyUp, 10, 32, silence, 0, {4405, 1, 0}},
        {HIT_KEY_DOWN, true, &g_LampKeyDown, 10, 64, {}, 0, {4405, -1, 0}},
        {HIT_SEND_TUNE, false, &g_LampMasterTune, 10, 90, {}, 0, {4405, -1, 0}},
        {HIT_PANIC, false, &g_LampPanic, 70, 32, silence, 0, {4405, -1, 0}},
        {HIT_TONE_SOFT, false, &g_LampMasterTune, 10, 0, {}, 0x9F | (69u << 8) | (100u << 16), {4405, -1, 1}},
        {HIT_TONE_LOUD, false, &g_LampMasterTune, 10, 0, {}, 0x9F | (69u << 8) | (127u << 16), {4405, -1, 2}},
        {HIT_TONE_LOUD, false, &g_LampMasterTune, 10, 0, {}, 0xBFu | (7u << 8), {4405, -1, 0}},  // volume 0
    };
    for (const auto& s : steps) {
        SCOPED_TRACE("region " + std::to_string(s.region));
        Settle();
        if (s.twice) {
            DoubleClick(PointOf(s.region));
        } else {
            ClickPainting(s.region);
        }
        const std::vector<uint32_t> words = Sent();
        EXPECT_EQ(*s.lamp, s.lit);
        EXPECT_EQ(s.count == 0 ? s.count : words.size(), s.count);
        EXPECT_EQ(s.words.empty() ? s.words : words, s.words);
        EXPECT_EQ(s.one == 0 ? 1 : Count(words, s.one), 1) << std::hex << s.one;
        EXPECT_EQ((std::vector<int32_t>{g_Frequency, g_KeyShift, g_RefTone}), s.after);
    }
}

TEST_F(PanelInputTest, AtTheLimitsNothingHappensAndAnOffGridPitchKeepsItsOffset) {
    StartWith("g_Frequency=4455\ng_KeyShift=7\n");
    ExpectInert(HIT_FREQ_UP);
    ExpectInert(HIT_KEY_UP);
    Click(PointOf(HIT_FREQ_DOWN));  // the other direction still works
    Click(PointOf(HIT_KEY_DOWN));
    EXPECT_EQ(g_Frequency, 4450);
    EXPECT_EQ(g_KeyShift, 6);

    StartWith("g_Frequency=4350\ng_KeyShift=-7\n");
    ExpectInert(HIT_FREQ_DOWN);
    ExpectInert(HIT_KEY_DOWN);
    DoubleClick(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(g_Frequency, 4350);

    // The limit is tested before the step.
    StartWith("g_Frequency=4451\n");
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4456);
    Settle();
    ExpectInert(HIT_FREQ_UP);
    Click(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(g_Frequency, 4451);
}

TEST_F(PanelInputTest, ColourButtonsSwitchTheColourOnlyWhenItDiffers) {
    StartWith("g_PanelColor=0\n");
    ClickPainting(HIT_COLOR_3);
    EXPECT_EQ(g_PanelColor, 3);
    ExpectInert(HIT_COLOR_3);
    for (int region : {HIT_COLOR_0, HIT_COLOR_1, HIT_COLOR_2}) {
        Click(PointOf(region));
        EXPECT_EQ(g_PanelColor, region - HIT_COLOR_0);
    }
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(PanelInputTest, ConnectionThruFlipsAndLocksTheKeyShift) {
    StartWith();
    ClickPainting(HIT_THRU_CONNECT);
    EXPECT_EQ(g_ThruConnect, 1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Connect);
    EXPECT_EQ(Sent().size(), 32u);
    Settle();

    ExpectInert(HIT_KEY_UP);
    ExpectInert(HIT_KEY_DOWN);
    Settle();

    Click(PointOf(HIT_THRU_CONNECT));
    EXPECT_EQ(g_ThruConnect, 0);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Disconnect);
    EXPECT_EQ(Sent().size(), 90u + 32u);
    Click(PointOf(HIT_KEY_UP));
    EXPECT_EQ(g_KeyShift, 1);

    // Without an input it only repaints.
    StartWith("", false);
    ClickPainting(HIT_THRU_CONNECT);
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(PanelInputTest, WhileTheToneSoundsOnlyColourPitchToneAndCloseWork) {
    StartWith("g_PanelColor=0\n");
    Click(PointOf(HIT_TONE_SOFT));
    ASSERT_EQ(g_RefTone, 1);
    Settle();
    for (int region : {HIT_INPUT_PORT, HIT_OUTPUT_PORT, HIT_THRU_CONNECT, HIT_SEND_TUNE, HIT_PANIC,
                       HIT_KEY_UP, HIT_KEY_DOWN, HIT_MOVE, HIT_MINIMIZE}) {
        ExpectInert(region);
    }
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

TEST_F(PanelInputTest, CloseActsOnlyOnAReleaseOverTheButtonAfterAPressOnIt) {
    StartWith();
    // Pressed on close, released elsewhere: nothing, and the release acts on nothing else.
    MoveTo(PointOf(HIT_CLOSE));
    EXPECT_TRUE(PressPostsPaint());
    EXPECT_EQ(g_ClosePressed, 1);
    MoveTo(PointOf(HIT_PANIC));
    Release();
    EXPECT_EQ(g_ClosePressed, 0);
    EXPECT_EQ(g_LampPanic, kLampIdle);
    // Pressed elsewhere, released over close: nothing.
    Press();
    MoveTo(PointOf(HIT_CLOSE));
    Release();
    EXPECT_FALSE(Queued(sim::MainFrame(), plat::kWmClose));
    Pump();
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);
    EXPECT_FALSE(sim::QuitPosted());
    EXPECT_FALSE(sim::Destroyed(sim::MainFrame()));

    // Pressed, off and back on before the release: that closes.
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

TEST_F(PanelInputTest, DraggingTheHandleMovesTheWindowAndTheRememberedPlaceAlsoFromADoubleClick) {
    StartWith();
    const plat::Rect start = sim::WindowRect(sim::MainFrame());
    ASSERT_EQ(start.left, g_WindowPos.x);
    const plat::Point handle = PointOf(HIT_MOVE);
    MoveTo(handle);
    Press();
    EXPECT_EQ(g_DragState, DRAG_DRAGGING);
    EXPECT_TRUE(sim::Captured());
    EXPECT_EQ(sim::CurrentCursor(), plat::Cursor::SizeAll);

    // 30 right and 20 down, then 40 left and 25 down: the window follows, so the next move is
    // measured from the moved window.
    g_Redraw = 0;
    MoveTo({handle.x + 30, handle.y + 20});
    EXPECT_EQ(g_Redraw, 0) << "moves during a drag request no repaint";
    MoveTo({handle.x - 40, handle.y + 25});
    const plat::Rect moved = sim::WindowRect(sim::MainFrame());
    EXPECT_EQ((std::vector<int>{moved.left, moved.top, moved.right - moved.left, moved.bottom - moved.top}),
              (std::vector<int>{start.left - 10, start.top + 45, 740, 150}));
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

    // A double-click's second press keeps its position: a drag from it measures from there.
    const plat::Point at = PointOf(HIT_MOVE);
    MoveTo(at);
    Press();
    Release();
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDblClk, 1, Pack(at));
    Pump();
    ASSERT_EQ(g_DragState, DRAG_DRAGGING);
    MoveTo({at.x + 5, at.y + 3});
    Release();
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).left, start.left - 10 + 5);
    EXPECT_EQ(sim::WindowRect(sim::MainFrame()).top, start.top + 45 + 3);
    EXPECT_EQ(g_DragState, DRAG_IDLE);

    EXPECT_EQ(CloseByPanel(), 0);
    const std::string ini = ReadIni();
    EXPECT_NE(ini.find("left=" + std::to_string(start.left - 5)), std::string::npos) << ini;
    EXPECT_NE(ini.find("top=" + std::to_string(start.top + 48)), std::string::npos) << ini;
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

TEST_F(PanelInputTest, RedValuesOutsideTheCodeTableAreNoControlAndGreenAndBlueAreIgnored) {
    // Areas of the folder's hit map painted in one colour before start-up.
    const std::string path = (folder_ / "Bitmap" / "05.bmp").string();
    kvn::bmp::Image map;
    ASSERT_TRUE(kvn::bmp::Load(path, map));
    const struct {
        int x, y;
        uint32_t rgb;
    } paint[] = {{100, 4, 125u << 16},
                 {120, 4, 255u << 16},
                 {140, 4, 40u << 16},
                 {160, 4, 230u << 16},
                 {100, 138, (180u << 16) | (99u << 8) | 7u}};  // frequency up, tinted
    for (const auto& p : paint) {
        for (int row = p.y; row < p.y + 8; ++row) {
            for (int col = p.x; col < p.x + 10; ++col)
                map.pixels[size_t(row) * size_t(map.width) + size_t(col)] = p.rgb;
        }
    }
    ASSERT_TRUE(kvn::bmp::Save(path, map));
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

TEST_F(PanelInputTest, OnlyTheLeftButtonActsAndOnlyOnTheRegionOfTheLastMove) {
    StartWith();
    // A press before any move does nothing.
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(PointOf(HIT_FREQ_UP)));
    Pump();
    Release();
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_TRUE(sim::OutputLog().empty());

    // Right button and keys change nothing.
    MoveTo(PointOf(HIT_FREQ_UP));
    g_Redraw = 0;
    const intptr_t at = Pack(g_MousePos);
    plat::PostWindowMessage(sim::View(), plat::kWmRButtonDown, 2, at);
    plat::PostWindowMessage(sim::View(), 0x0205, 0, at);                // WM_RBUTTONUP
    plat::PostWindowMessage(sim::View(), 0x0206, 2, at);                // WM_RBUTTONDBLCLK
    for (uintptr_t key : {0x26u, 0x28u, 0x20u, 0x0Du, 0x1Bu, 0x70u}) {  // up, down, space, return, escape, F1
        for (uint32_t msg : {plat::kWmKeyDown, 0x0102u, 0x0101u})
            plat::PostWindowMessage(sim::View(), msg, key, 1);
    }
    Pump();
    EXPECT_TRUE(sim::Queue().empty());
    EXPECT_EQ(g_Redraw, 0);
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(AllLampsIdle());
    EXPECT_EQ(g_HoverRegion, HIT_FREQ_UP);

    // The press acts on the region of the last move, not on where it lands.
    plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(PointOf(HIT_PANIC)));
    Pump();
    Release();
    EXPECT_EQ(g_Frequency, 4405);
    EXPECT_EQ(g_LampPanic, kLampIdle);

    // Hover repaints come from the timer, once per tick: a move posts nothing itself.
    Settle();
    for (int region : {HIT_PANIC, HIT_MOVE, HIT_CLOSE}) MoveTo(PointOf(region));
    EXPECT_TRUE(sim::Queue().empty());
    sim::Tick();
    ASSERT_EQ(sim::Queue().size(), 1u);
    EXPECT_EQ(sim::Queue()[0].msg, plat::kWmPaint);
    EXPECT_EQ(g_HoverRegion, HIT_CLOSE);
}

}  // namespace
}  // namespace kvntest
