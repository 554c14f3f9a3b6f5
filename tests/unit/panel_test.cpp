// The panel as the user works and sees it: what each press, release and double-click leaves in the
// settings, at the output and on the screen; the composition of every repaint (checked piece by
// piece in the drawing log); skin loading; the blinking of the small icon; and the device picker.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "panel/state.h"
#include "picker/picker.h"
#include "platform/bmp.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "tests/oracle/model.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

intptr_t Pack(plat::Point p) { return (p.x & 0xFFFF) | ((p.y & 0xFFFF) << 16); }

std::vector<uint32_t> Sent() {
    std::vector<uint32_t> words;
    for (const auto& e : sim::ShortMessages()) words.push_back(e.word);
    return words;
}

bool AllLampsIdle() {
    return std::all_of(std::begin(kLamps), std::end(kLamps),
                       [](const Atomic32* l) { return *l == kLampIdle; });
}
void SetLamps(int32_t value) {
    for (Atomic32* lamp : kLamps) *lamp = value;
}

using Ops = std::vector<std::string>;

std::string Describe(const sim::DrawOp& op) {
    char buf[256];
    if (op.kind == sim::DrawKind::Blt) {
        std::snprintf(buf, sizeof buf, "blt %s %d,%d %dx%d -> %s %d,%d", op.src.c_str(), op.sx, op.sy, op.w,
                      op.h, op.dst.c_str(), op.x, op.y);
    } else if (op.kind == sim::DrawKind::Text) {
        std::snprintf(buf, sizeof buf, "text '%s' -> %s %d,%d #%06x %s", op.text.c_str(), op.dst.c_str(),
                      op.x, op.y, op.color, op.font.c_str());
    } else {
        std::snprintf(buf, sizeof buf, "present %s %dx%d", op.src.c_str(), op.w, op.h);
    }
    return buf;
}

// The expected log lines, written out from the panel's composition table.
std::string Blt(const char* src, int sx, int sy, int w, int h, int x, int y) {
    return Describe({sim::DrawKind::Blt, "99.bmp", src, x, y, w, h, sx, sy, "", 0, ""});
}
const uint32_t kTextColor[4] = {plat::Rgb(255, 80, 80), plat::Rgb(255, 170, 110), plat::Rgb(0, 255, 128),
                                plat::Rgb(0, 255, 255)};
std::string Text(const std::string& text, int x, int y, int k) {
    return Describe({sim::DrawKind::Text, "99.bmp", "", x, y, 0, 0, 0, 0, text, kTextColor[k], "SimHei"});
}
const std::string kBackground = Blt("00.bmp", 0, 0, 740, 150, 0, 0);

// The frequency digits, tenths first, then the point and the three whole digits, and the present.
Ops DigitsAndPresent(int f, int k) {
    const int y = 42 * k + 2;
    return {Blt("07.bmp", 21 * (f % 10), y, 21, 38, 568, 94),
            Blt("07.bmp", 210, y, 12, 38, 550, 94),
            Blt("07.bmp", 21 * ((f / 10) % 10), y, 21, 38, 528, 94),
            Blt("07.bmp", 21 * ((f / 100) % 10), y, 21, 38, 504, 94),
            Blt("07.bmp", 21 * ((f / 1000) % 10), y, 21, 38, 480, 94),
            "present 99.bmp 740x150"};
}
Ops Join(Ops a, const Ops& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
long Count(const Ops& ops, const std::string& op) { return std::count(ops.begin(), ops.end(), op); }

using Lines = std::vector<std::string>;

// "a|b|c" as {"a", "b", "c"}; "" as no names at all.
Lines Split(const std::string& text) {
    Lines out;
    for (size_t pos = 0; !text.empty() && pos <= text.size();) {
        const size_t bar = std::min(text.find('|', pos), text.size());
        out.push_back(text.substr(pos, bar - pos));
        pos = bar + 1;
    }
    return out;
}

class PanelTest : public AppTest {
protected:
    void Launch(Lines inputs, Lines outputs, const std::string& in, const std::string& out,
                const std::string& more = "") {
        sim::SetInputDevices(std::move(inputs));
        sim::SetOutputDevices(std::move(outputs));
        WriteIni("[InitialSetting]\nMidiInDeviceName=" + in + "\nMidiOutDeviceName=" + out + "\n" + more);
        ASSERT_TRUE(Start());
        Settle();
    }
    // A new life with an input and an output.
    void StartWith(const std::string& more = "", bool input = true) {
        NextLife();
        Launch(input ? Lines{"Keyboard"} : Lines{}, {"Synth"}, "Keyboard", "Synth", more);
    }
    void StartWithPorts(const std::string& more = "g_PanelColor=0\n") {
        Launch({"USB Keyboard"}, {"SC-88 Pro"}, "USB Keyboard", "SC-88 Pro", more);
    }
    // Everything handled, the start-up lamp out, the logs empty.
    void Settle() {
        Pump();
        SetLamps(kLampIdle);
        sim::ClearLogs();
        sim::ClearDrawLog();
        sim::ClearBoxes();
    }
    // Presses where the mouse is and handles only the press; true when it posted a repaint.
    bool PressPostsPaint() {
        plat::PostWindowMessage(sim::View(), plat::kWmLButtonDown, 1, Pack(g_MousePos));
        EXPECT_EQ(sim::PumpOne(), 1);
        const bool paint = Queued(sim::View(), plat::kWmPaint);
        Pump();
        return paint;
    }
    bool Queued(plat::HWnd wnd, uint32_t msg) {
        return std::any_of(sim::Queue().begin(), sim::Queue().end(),
                           [&](const sim::Posted& p) { return p.wnd == wnd && p.msg == msg; });
    }
    // What a click could change: values, drag, capture, window, lists, lamps, ports.
    std::vector<long> State() {
        std::vector<long> s{g_Frequency, g_KeyShift, g_PanelColor, g_RefTone, g_ThruConnect, g_DragState};
        s.insert(s.end(),
                 {sim::Captured(), sim::Iconic(sim::MainFrame()), sim::WindowRect(sim::MainFrame()).left,
                  long(sim::ListsShown().size()), AllLampsIdle(), sim::OpenOutputs()});
        return s;
    }
    // A press and a release on `region` that must change nothing at all.
    void ExpectInert(int region) {
        SCOPED_TRACE("inert region " + std::to_string(region));
        const std::vector<long> before = State();
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
    // Handles what is pending, then one repaint; returns what it drew.
    Ops Paint() {
        Pump();
        sim::ClearDrawLog();
        plat::SendWindowMessage(sim::View(), plat::kWmPaint, 0, 0);
        Ops ops;
        for (const sim::DrawOp& op : sim::DrawLog()) ops.push_back(Describe(op));
        return ops;
    }
    // Start-up refused with the one message naming `name`, and nothing of the view left.
    void ExpectMissing(const char* name) {
        EXPECT_FALSE(Start());
        ASSERT_EQ(sim::Boxes().size(), 1u);
        EXPECT_EQ(sim::Boxes()[0].text,
                  std::string(name) + " file is not found.\nPlease defrost a KVN_xxx.zip file once again.");
        EXPECT_EQ(sim::Boxes()[0].caption, "KVN");
        EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
        EXPECT_EQ(sim::SurfacesAlive(), 0);
        EXPECT_EQ(sim::FontsAlive(), 0);
        EXPECT_TRUE(g_WindowTitle.empty());
    }

    // Clicks a port name with `action` as what the user does in the list; returns the list as shown.
    sim::ListState Pick(int region, std::function<void(plat::HDialog)> action = nullptr) {
        sim::SetListAction(std::move(action));
        const size_t before = sim::ListsShown().size();
        MoveTo(PointOf(region));
        g_Redraw = 0;  // the hover's own request; the picker's comes after it closes
        Press();
        Release();
        EXPECT_EQ(sim::ListsShown().size(), before + 1);
        EXPECT_EQ(sim::ListsOpen(), 0);
        sim::SetListAction(nullptr);
        return sim::ListsShown().empty() ? sim::ListState{} : sim::ListsShown().back();
    }

    // Chooses the line that starts with `prefix`.
    static std::function<void(plat::HDialog)> Choose(const std::string& prefix) {
        return [prefix](plat::HDialog dlg) {
            const sim::ListState list = sim::List(dlg);
            for (size_t i = 0; i < list.lines.size(); ++i) {
                if (list.lines[i].rfind(prefix, 0) == 0) {
                    sim::UserSelect(dlg, int(i));
                    return;
                }
            }
            ADD_FAILURE() << "no line " << prefix;
        };
    }

    static bool Opened(int device) {
        return std::any_of(sim::OutputLog().begin(), sim::OutputLog().end(),
                           [&](const auto& e) { return e.kind == sim::Event::Open && e.device == device; });
    }
    // Ticks `count` times, handling what each tick posted; with `input`, a note arrives every 5th
    // tick. Returns the tick numbers (from `first`) at which the small icon changed.
    std::vector<int> Run(int first, int count, bool input) {
        std::vector<int> changes;
        for (int t = first; t < first + count; ++t) {
            if (input && t % 5 == 0) {
                EXPECT_TRUE(sim::DeliverShort(0x00403C90));
            }
            const size_t before = sim::SmallIconHistory().size();
            sim::Tick();
            Pump();
            if (sim::SmallIconHistory().size() != before) changes.push_back(t);
        }
        return changes;
    }
};
using PanelInputTest = PanelTest;
using PanelDrawTest = PanelTest;
using IconBlinkTest = PanelTest;
using PickerTest = PanelTest;

// ---- Input ----

TEST_F(PanelInputTest, EachControlActsOnceWithItsLampItsMessagesAndARepaint) {
    StartWith();
    DoubleClick(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4410);
    const std::vector<uint32_t> tune = Sent();
    ASSERT_EQ(tune.size(), 180u);
    const auto at441 = oracle::TuningAll(441.0);  // the second run
    for (size_t i = 0; i < at441.size(); ++i)
        EXPECT_EQ(tune[90 + i], at441[i][0] | uint32_t(at441[i][1]) << 8 | uint32_t(at441[i][2]) << 16);
    EXPECT_EQ(g_LampFreqUp, 10);
    EXPECT_EQ(g_LampFreqDown, kLampIdle);

    std::vector<uint32_t> silence;  // all notes off, then all sound off, on every channel
    for (uint32_t cc : {123u, 120u})
        for (uint32_t ch = 0; ch < 16; ++ch) silence.push_back(0xB0u + ch + (cc << 8));
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
            MoveTo(PointOf(s.region));
            EXPECT_TRUE(PressPostsPaint());
            Release();
        }
        const std::vector<uint32_t> words = Sent();
        EXPECT_EQ(*s.lamp, s.lit);
        EXPECT_EQ(s.count == 0 ? s.count : words.size(), s.count);
        EXPECT_EQ(s.words.empty() ? s.words : words, s.words);
        EXPECT_EQ(s.one == 0 ? 1 : std::count(words.begin(), words.end(), s.one), 1) << std::hex << s.one;
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

    // The limit is tested before the step.
    StartWith("g_Frequency=4451\n");
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4456);
    Settle();
    ExpectInert(HIT_FREQ_UP);
}

TEST_F(PanelInputTest, ColourButtonsSwitchTheColourOnlyWhenItDiffers) {
    StartWith("g_PanelColor=0\n");
    for (int region : {HIT_COLOR_3, HIT_COLOR_1, HIT_COLOR_2, HIT_COLOR_0}) {
        MoveTo(PointOf(region));
        EXPECT_TRUE(PressPostsPaint());
        Release();
        EXPECT_EQ(g_PanelColor, region - HIT_COLOR_0);
        ExpectInert(region);
    }
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
    ExpectInert(HIT_KEY_UP);
    ExpectInert(HIT_KEY_DOWN);

    Click(PointOf(HIT_THRU_CONNECT));
    EXPECT_EQ(g_ThruConnect, 0);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Disconnect);
    EXPECT_EQ(Sent().size(), 90u + 32u);
    Click(PointOf(HIT_KEY_UP));
    EXPECT_EQ(g_KeyShift, 1);

    // Without an input it only repaints.
    StartWith("", false);
    MoveTo(PointOf(HIT_THRU_CONNECT));
    EXPECT_TRUE(PressPostsPaint());
    Release();
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(PanelInputTest, WhileTheToneSoundsOnlyColourPitchToneAndCloseWork) {
    StartWith("g_PanelColor=0\n");
    Click(PointOf(HIT_TONE_SOFT));
    ASSERT_EQ(g_RefTone, 1);
    Settle();
    for (int region : {HIT_INPUT_PORT, HIT_OUTPUT_PORT, HIT_THRU_CONNECT, HIT_SEND_TUNE, HIT_PANIC,
                       HIT_KEY_UP, HIT_KEY_DOWN, HIT_MOVE, HIT_MINIMIZE})
        ExpectInert(region);  // ExpectInert also sees that an inert minimise leaves the hover look

    Click(PointOf(HIT_COLOR_2));
    EXPECT_EQ(g_PanelColor, 2);
    Click(PointOf(HIT_FREQ_UP));
    EXPECT_EQ(g_Frequency, 4405);
    Click(PointOf(HIT_FREQ_DOWN));
    EXPECT_EQ(g_Frequency, 4400);
    Click(PointOf(HIT_TONE_LOUD));
    EXPECT_EQ(g_RefTone, 2);
    Click(PointOf(HIT_CLOSE));
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 0);
    EXPECT_TRUE(sim::QuitPosted());
}

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
    Pump();
    EXPECT_EQ(sim::OpenOutputs() + sim::OpenInputs(), 2);
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
    const plat::Point handle = PointOf(HIT_MOVE);
    MoveTo(handle);
    Press();
    EXPECT_EQ(g_DragState, DRAG_DRAGGING);
    EXPECT_TRUE(sim::Captured());
    EXPECT_EQ(sim::CurrentCursor(), plat::Cursor::SizeAll);

    // 30 right and 20 down, then 40 left and 25 down: each move is measured from the moved window.
    g_Redraw = 0;
    MoveTo({handle.x + 30, handle.y + 20});
    EXPECT_EQ(g_Redraw, 0) << "moves during a drag request no repaint";
    MoveTo({handle.x - 40, handle.y + 25});
    const plat::Rect moved = sim::WindowRect(sim::MainFrame());
    EXPECT_EQ((std::vector<int>{moved.left, moved.top, moved.right - moved.left, moved.bottom - moved.top,
                                g_WindowPos.x, g_WindowPos.y}),
              (std::vector<int>{start.left - 10, start.top + 45, 740, 150, moved.left, moved.top}));
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
    ASSERT_TRUE(sim::DeliverShort(0x00403C90));  // minimised, the system keeps working
    Pump();
    EXPECT_EQ(Sent().size(), 1u);
}

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
    for (const auto& p : paint)
        for (int row = p.y; row < p.y + 8; ++row)
            for (int col = p.x; col < p.x + 10; ++col)
                map.pixels[size_t(row) * size_t(map.width) + size_t(col)] = p.rgb;
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

    // Right button and keys change nothing.
    MoveTo(PointOf(HIT_FREQ_UP));
    g_Redraw = 0;
    const intptr_t at = Pack(g_MousePos);
    for (uint32_t msg : {plat::kWmRButtonDown, 0x0205u, 0x0206u})  // right down, up, double-click
        plat::PostWindowMessage(sim::View(), msg, 2, at);
    for (uintptr_t key : {0x26u, 0x28u, 0x20u, 0x0Du, 0x1Bu, 0x70u})  // up, down, space, return, escape, F1
        for (uint32_t msg : {plat::kWmKeyDown, 0x0102u, 0x0101u})
            plat::PostWindowMessage(sim::View(), msg, key, 1);
    Pump();
    EXPECT_TRUE(sim::Queue().empty());
    EXPECT_EQ(g_Redraw, 0);
    EXPECT_EQ(g_Frequency, 4400);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(AllLampsIdle());

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
}

// ---- Drawing ----

TEST_F(PanelDrawTest, EachStateDrawsItsPiecesInOrderInEveryPanelColour) {
    StartWithPorts();
    const std::string drop = Blt("02.bmp", 0, 330, 104, 66, 334, 70);
    // Port lamps unlit (or lit) and the two port names.
    const auto ports = [](int k, int lit = 0) {
        return Ops{Blt("09.bmp", lit, 54 * k, 44, 27, 25, 77),
                   Blt("09.bmp", lit, 54 * k + 27, 44, 27, 25, 103), Text("USB Keyboard", 70, 76, k),
                   Text("SC-88 Pro", 70, 103, k)};
    };
    const auto shift = [](int k, const char* text = " 0") { return Ops{Text(text, 646, 49, k)}; };
    // The lamps of the controls, all lit, in the drawing order.
    const auto lamps = [&](int band) {
        return Ops{drop,
                   Blt("10.bmp", 0, 24 * band, 20, 24, 676, 50),
                   Blt("10.bmp", 21, 24 * band, 20, 24, 697, 50),
                   Blt("06.bmp", 0, 40 * band, 34, 40, 593, 92),
                   Blt("06.bmp", 35, 40 * band, 34, 40, 628, 92),
                   Blt("03.bmp", 0, 40 * band, 80, 40, 663, 92),
                   Blt("08.bmp", 0, 21 * band, 60, 21, 550, 10)};
    };
    // Each row: a state, and what the paint draws between the background and the frequency digits.
    // Lamps are lit down to 1 and dark at 0.
    const struct {
        const char* what;
        std::function<void(int k)> set;
        std::function<Ops(int k, int band)> pieces;
    } rows[] = {
        {"at rest, no plus sign", [](int) { g_KeyShift = 7; },
         [&](int k, int) { return Join(ports(k), shift(k, " 7")); }},
        {"key shift below zero", [](int) { g_KeyShift = -7; },
         [&](int k, int) { return Join(ports(k), shift(k, "-7")); }},
        {"no ports: no names, unlit port lamps",
         [](int) { g_MidiInDevice = g_MidiOutDevice = -1, SetLamps(1); },
         [&](int k, int band) {
             return Join(Join({ports(k)[0], ports(k)[1]}, shift(k)), lamps(band));
         }},
        {"every lamp lit, a family, the soft tone",
         [](int k) { SetLamps(1), g_SysExFamily = (k + 1) % 3, g_RefTone = 1; },
         [&](int k, int band) {
             return Join(
                 Join(Join({Blt("01.bmp", 210 * k, 40 * ((k + 1) % 3), 210, 40, 300, 10)}, ports(k, 44)),
                      shift(k)),
                 Join(lamps(band), {Blt("11.bmp", 0, 20 * band, 16, 20, 546, 58)}));
         }},
        {"the loud tone", [](int) { g_RefTone = 2; },
         [&](int k, int band) {
             return Join(Join(ports(k), shift(k)), {Blt("11.bmp", 16, 20 * band, 16, 20, 565, 58)});
         }},
        {"thru hides key shift and family", [](int) { g_ThruConnect = 1, g_SysExFamily = 1, g_KeyShift = 3; },
         [&](int k, int band) { return Join(ports(k), {Blt("02.bmp", 0, 66 * band, 104, 66, 334, 70)}); }},
        {"a drop takes the centre from thru", [](int) { g_ThruConnect = 1, g_LampDrop = 4; },
         [&](int k, int) { return Join(ports(k), {drop}); }},
        {"a drop lamp run out is dark", [](int) { g_LampDrop = 0; },
         [&](int k, int) { return Join(ports(k), shift(k)); }},
        {"move handle hovered", [](int) { g_HoverRegion = HIT_MOVE; },
         [&](int k, int) { return Join({Blt("04.bmp", 0, 20, 30, 20, 628, 10)}, Join(ports(k), shift(k))); }},
        {"move handle dragged", [](int) { g_HoverRegion = HIT_MOVE, g_DragState = DRAG_DRAGGING; },
         [&](int k, int) { return Join({Blt("04.bmp", 0, 40, 30, 20, 628, 10)}, Join(ports(k), shift(k))); }},
        {"minimise hovered", [](int) { g_HoverRegion = HIT_MINIMIZE; },
         [&](int k, int) {
             return Join({Blt("04.bmp", 30, 20, 30, 20, 665, 10)}, Join(ports(k), shift(k)));
         }},
        {"close hovered", [](int) { g_HoverRegion = HIT_CLOSE; },
         [&](int k, int) {
             return Join({Blt("04.bmp", 60, 20, 30, 20, 700, 10)}, Join(ports(k), shift(k)));
         }},
        {"close held", [](int) { g_HoverRegion = HIT_CLOSE, g_ClosePressed = 1; },
         [&](int k, int) {
             return Join({Blt("04.bmp", 60, 40, 30, 20, 700, 10)}, Join(ports(k), shift(k)));
         }},
    };
    const int frequency[4] = {4350, 4455, 4400, 4405};
    for (const auto& row : rows) {
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE(std::string(row.what) + ", panel colour " + std::to_string(k));
            SetLamps(kLampIdle);
            g_RefTone = g_ThruConnect = g_KeyShift = g_ClosePressed = 0;
            g_SysExFamily = g_HoverRegion = -1;
            g_DragState = DRAG_IDLE;
            g_MidiInDevice = 0;
            g_MidiOutDevice = 1;
            g_PanelColor = k;
            g_Frequency = frequency[k];
            row.set(k);
            EXPECT_EQ(Paint(),
                      Join(Join({kBackground}, row.pieces(k, k + 1)), DigitsAndPresent(frequency[k], k)));
        }
    }
}

TEST_F(PanelDrawTest, AMissingOrUnreadableSkinFileIsNamedAloneAndNothingOfTheViewStays) {
    RemoveSkinFile("05.bmp");
    RemoveSkinFile("08.bmp");  // a later one missing too: not named
    int aliveAtBox = -1;
    sim::SetBoxHook([&](const sim::Box&) { aliveAtBox = sim::SurfacesAlive(); });
    ExpectMissing("05.bmp");
    EXPECT_EQ(aliveAtBox, 5) << "00.bmp ... 04.bmp loaded, nothing after 05.bmp";
    // No icons, no pause.
    EXPECT_TRUE(sim::SmallIconHistory().empty());
    EXPECT_EQ(g_hIconNormal, nullptr);
    EXPECT_FALSE(sim::Shown(sim::MainFrame()));
    EXPECT_LT(sim::NowUs(), 1000000u);

    // An unreadable file counts as missing.
    NextLife();
    std::ofstream(folder_ / "Bitmap" / "03.bmp", std::ios::binary) << "BM this is no bitmap";
    ExpectMissing("03.bmp");
}

TEST_F(PanelDrawTest, SkinAndFontLiveFromCreationToTheEnd) {
    StartWithPorts();
    EXPECT_EQ(sim::SurfacesAlive(), 13);
    EXPECT_EQ(sim::FontsAlive(), 1);
    EXPECT_EQ(CloseByPanel(), 0);
    EXPECT_EQ(sim::SurfacesAlive(), 0);
    EXPECT_EQ(sim::FontsAlive(), 0);
    EXPECT_TRUE(g_WindowTitle.empty());
}

TEST_F(IconBlinkTest, SteadyInputAlternatesTheIconsAndItSettlesOnTheNormalOneWhenInputStops) {
    StartWithPorts();
    // Creation gives the lit icon; the first repaint, seeing no input, the normal one.
    ASSERT_EQ(sim::SmallIconHistory(), (std::vector<int>{133, 132}));
    const std::vector<int> during = Run(0, 300, true);
    ASSERT_GE(during.size(), 5u);
    for (size_t i = 1; i < during.size(); ++i) EXPECT_EQ(during[i] - during[i - 1], 51) << i;
    const auto& history = sim::SmallIconHistory();
    for (size_t i = 2; i < history.size(); ++i) EXPECT_EQ(history[i], i % 2 == 0 ? 133 : 132) << i;

    const std::vector<int> after = Run(300, 400, false);
    EXPECT_LE(after.size(), 1u);
    if (!after.empty()) {
        EXPECT_LT(after[0], 300 + 2 * 51 + 1);
    }
    EXPECT_EQ(sim::SmallIconHistory().back(), 132);
}

TEST_F(IconBlinkTest, ASingleNoteLightsTheIconOnceAndTheNormalIconReturns) {
    StartWithPorts();
    Run(0, 60, false);  // the phase runs out once with no input: nothing changes
    EXPECT_EQ(sim::SmallIconHistory(), (std::vector<int>{133, 132}));
    ASSERT_TRUE(sim::DeliverShort(0x00403C90));
    Run(60, 300, false);
    EXPECT_EQ(sim::SmallIconHistory(), (std::vector<int>{133, 132, 133, 132}));
}

TEST_F(IconBlinkTest, BlinkingOffKeepsTheLitIconForTheWholeRun) {
    StartWithPorts("g_IconBlink=0\n");
    Run(0, 300, true);
    EXPECT_EQ(sim::SmallIconHistory(), (std::vector<int>{133}));
}

// ---- The device picker ----

TEST_F(PickerTest, LinesAreNumberedRowsWithTheCurrentPortSelectedAndDismissingChangesNothing) {
    const struct {
        const char *what, *inputs, *outputs, *in, *out;
        int region;
        const char* lines;
        int curSel;
    } cases[] = {
        {"outputs", "Keyboard", "Synth A|Synth B", "Keyboard", "Synth B", HIT_OUTPUT_PORT,
         " 0: Window's MIDI Mapper| 1: Synth A| 2: Synth B", 2},
        {"inputs from zero", "Keyboard|Pad|Guitar", "", "Pad", "", HIT_INPUT_PORT,
         " 0: Keyboard| 1: Pad| 2: Guitar", 1},
        {"a row without a name ends the list", "", "Synth||Other", "", "Synth", HIT_OUTPUT_PORT,
         " 0: Window's MIDI Mapper| 1: Synth", 1},
        {"no input device", "", "Synth", "", "Synth", HIT_INPUT_PORT, "", plat::kLbErr},
        // The other end of a cable is left out without renumbering...
        {"loopMIDI", "loopMIDI Port|Keyboard|Pad", "loopMIDI Port|Synth", "Keyboard", "loopMIDI Port",
         HIT_INPUT_PORT, " 1: Keyboard| 2: Pad", 0},
        // ...judged from the input in use, which is no cable end here: every row is offered.
        {"loopMIDI outputs", "loopMIDI Port|Keyboard|Pad", "loopMIDI Port|Synth", "Keyboard", "loopMIDI Port",
         HIT_OUTPUT_PORT, " 0: Window's MIDI Mapper| 1: loopMIDI Port| 2: Synth", 1},
        {"MIDI Yoke", "In From MIDI Yoke:  1", "Out To MIDI Yoke:  1|Out To MIDI Yoke:  2|Synth",
         "In From MIDI Yoke:  1", "Synth", HIT_OUTPUT_PORT,
         " 0: Window's MIDI Mapper| 2: Out To MIDI Yoke:  2| 3: Synth", 2},
        {"two-digit rows", "", "A|B|C|D|E|F|G|H|I|J|K|L", "", "L", HIT_OUTPUT_PORT,
         " 0: Window's MIDI Mapper| 1: A| 2: B| 3: C| 4: D| 5: E| 6: F| 7: G| 8: H| 9: I|10: J|11: K|12: L",
         12}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NextLife();
        Launch(Split(c.inputs), Split(c.outputs), c.in, c.out);
        const int inDevice = g_MidiInDevice, outDevice = g_MidiOutDevice;
        const std::string inName = g_MidiInDeviceName, outName = g_MidiOutDeviceName;
        const sim::ListState list = Pick(c.region);
        EXPECT_EQ(list.lines, Split(c.lines));
        EXPECT_EQ(list.curSel, c.curSel);
        EXPECT_EQ(list.backColor, plat::Rgb(255, 230, 180));
        EXPECT_TRUE(sim::OutputLog().empty());
        EXPECT_TRUE(sim::InputLog().empty());
        EXPECT_TRUE(sim::Boxes().empty());
        EXPECT_EQ((std::vector<int>{g_MidiInDevice, g_MidiOutDevice}),
                  (std::vector<int>{inDevice, outDevice}));
        EXPECT_EQ(g_MidiInDeviceName + "|" + g_MidiOutDeviceName, inName + "|" + outName);
        EXPECT_EQ(g_Redraw, 1) << "repaints after it closed, switch or not";
    }
}

TEST_F(PickerTest, DuplicateNamesResolveToTheFirstRow) {
    Launch({}, {"A", "B", "Dup", "C", "Dup"}, "", "A");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT, Choose(" 5:"));
    EXPECT_EQ(list.lines,
              (Lines{" 0: Window's MIDI Mapper", " 1: A", " 2: B", " 3: Dup", " 4: C", " 5: Dup"}));
    EXPECT_EQ(g_MidiOutPicked, 3);
    EXPECT_EQ(g_MidiOutDevice, 3);
    EXPECT_EQ(g_MidiOutDeviceName, "Dup");
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_TRUE(Opened(2));
    // With that port in use, the first of the two lines is the marked one.
    EXPECT_EQ(Pick(HIT_OUTPUT_PORT).curSel, 3);
}

TEST_F(PickerTest, AFailedPortIsNotMarkedAndChoosingItTriesItAgain) {
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    Launch({"Keyboard", "Pad"}, {"Synth"}, "Keyboard", "Synth");
    ASSERT_EQ(g_MidiInDevice, 0);
    ASSERT_EQ(g_MidiInDeviceName, "");

    // Dismissed: no new attempt, no message.
    const sim::ListState list = Pick(HIT_INPUT_PORT);
    EXPECT_EQ(list.lines, (Lines{" 0: Keyboard", " 1: Pad"}));
    EXPECT_EQ(list.curSel, plat::kLbErr);
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::Boxes().empty());

    // Chosen while the device is still busy: one more attempt and its message.
    Pick(HIT_INPUT_PORT, Choose(" 0:"));
    EXPECT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(g_MidiInDeviceName, "");
    Settle();

    // Chosen once the device is free: opened and started.
    sim::SetInputOpenResult(0, plat::kMmNoError);
    Pick(HIT_INPUT_PORT, Choose(" 0:"));
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(g_MidiInDeviceName, "Keyboard");
    EXPECT_EQ(g_MidiInDevice, 0);
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, AnOutputChosenThatFailsStaysClosedAndCanBeChosenAgain) {
    Launch({"Keyboard"}, {"Synth", "Busy"}, "Keyboard", "Synth");
    sim::SetOutputOpenResult(1, 7);
    Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "The specified MIDI output device can not be used");
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "");
    EXPECT_EQ(sim::OpenOutputs(), 0) << "no mapper attempt";
    Settle();
    EXPECT_EQ(Count(Paint(), Text("", 70, 103, 1)), 1) << "the panel shows the empty name of the failed row";

    sim::SetOutputOpenResult(1, plat::kMmNoError);
    EXPECT_EQ(Pick(HIT_OUTPUT_PORT, Choose(" 2:")).curSel, plat::kLbErr);
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Busy");
}

TEST_F(PickerTest, InputWithNoRowYetSelectsNothingAndAChoiceOpensIt) {
    Launch({}, {"Synth"}, "", "Synth");
    ASSERT_EQ(g_MidiInDevice, -1);
    sim::SetInputDevices({"Keyboard"});  // plugged in while running
    const sim::ListState list = Pick(HIT_INPUT_PORT, Choose(" 0:"));
    EXPECT_EQ(list.lines, (Lines{" 0: Keyboard"}));
    EXPECT_EQ(list.curSel, plat::kLbErr);
    EXPECT_EQ(g_MidiInDevice, 0);
    EXPECT_EQ(g_MidiInDeviceName, "Keyboard");
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, ChoosingThePortInUseOrDismissingLeavesItOpenAndUntouched) {
    Launch({"Keyboard", "Pad"}, {"Synth", "Other"}, "Pad", "Synth");
    Pick(HIT_INPUT_PORT, Choose(" 1:"));
    Pick(HIT_OUTPUT_PORT, Choose(" 1:"));
    Pick(HIT_INPUT_PORT);
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "Pad");
    EXPECT_EQ(g_MidiOutDevice, 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Synth");
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, ChoosingAnotherPortSwitchesAndThePanelShowsItsName) {
    Launch({"Keyboard", "Pad"}, {"Synth", "Other"}, "Keyboard", "Synth");
    Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "Other");
    EXPECT_TRUE(Opened(1));
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_EQ(Count(Paint(), Text("Other", 70, 103, 1)), 1);

    // The user may still choose after a selection that names no line.
    Pick(HIT_INPUT_PORT, [](plat::HDialog dlg) {
        sim::UserSelect(dlg, 7);
        EXPECT_EQ(g_MidiInPicked, 0);
        sim::UserSelect(dlg, 1);
    });
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "Pad");
}

TEST_F(PickerTest, ThePickerStandsBesideTheWindowWhereverItWasDragged) {
    Launch({"Keyboard"}, {"Synth"}, "Keyboard", "Synth");
    const plat::Point handle = PointOf(HIT_MOVE);
    MoveTo(handle);
    Press();
    MoveTo({handle.x - 100, handle.y + 40});
    Release();
    const sim::ListState list = Pick(HIT_OUTPUT_PORT);
    // 63 right of and 3 below the moved window (590, 445 at first); its size is its own.
    EXPECT_EQ((std::vector<int>{list.rect.left, list.rect.top, list.rect.right - list.rect.left,
                                list.rect.bottom - list.rect.top}),
              (std::vector<int>{490 + 63, 485 + 3, 233, 103}));
}

}  // namespace
}  // namespace kvntest
