// The panel as the user sees it: skin loading, the composition of every repaint (checked piece by
// piece in the drawing log) and the blinking of the small icon.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "panel/view.h"
#include "platform/bmp.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

using Ops = std::vector<std::string>;

std::string Describe(const sim::DrawOp& op) {
    char buf[256];
    switch (op.kind) {
    case sim::DrawKind::Blt:
        std::snprintf(buf, sizeof buf, "blt %s %d,%d %dx%d -> %s %d,%d", op.src.c_str(), op.sx, op.sy, op.w,
                      op.h, op.dst.c_str(), op.x, op.y);
        break;
    case sim::DrawKind::Text:
        std::snprintf(buf, sizeof buf, "text '%s' -> %s %d,%d rgb(%u,%u,%u) %s", op.text.c_str(),
                      op.dst.c_str(), op.x, op.y, op.color & 0xFF, (op.color >> 8) & 0xFF,
                      (op.color >> 16) & 0xFF, op.font.c_str());
        break;
    case sim::DrawKind::Present:
        std::snprintf(buf, sizeof buf, "present %s %dx%d", op.src.c_str(), op.w, op.h);
        break;
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
const std::string kPresent = "present 99.bmp 740x150";

// The frequency digits, tenths first, then the point and the three whole digits, and the present.
Ops DigitsAndPresent(int f, int k) {
    const int y = 42 * k + 2;
    return {Blt("07.bmp", 21 * (f % 10), y, 21, 38, 568, 94),
            Blt("07.bmp", 210, y, 12, 38, 550, 94),
            Blt("07.bmp", 21 * ((f / 10) % 10), y, 21, 38, 528, 94),
            Blt("07.bmp", 21 * ((f / 100) % 10), y, 21, 38, 504, 94),
            Blt("07.bmp", 21 * ((f / 1000) % 10), y, 21, 38, 480, 94),
            kPresent};
}

Ops Join(Ops a, const Ops& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

long Count(const Ops& ops, const std::string& op) { return std::count(ops.begin(), ops.end(), op); }

bool NoneFrom(const Ops& ops, const char* file) {
    return std::none_of(ops.begin(), ops.end(),
                        [&](const std::string& op) { return op.find(file) != op.npos; });
}

const std::vector<Atomic32*> kLamps = {&g_LampFreqDown, &g_LampFreqUp,  &g_LampMasterTune,
                                       &g_LampIn,       &g_LampOut,     &g_LampPanic,
                                       &g_LampDrop,     &g_LampKeyDown, &g_LampKeyUp};

class PanelDrawTest : public AppTest {
protected:
    // Handles what is pending, then one repaint; returns what it drew.
    Ops Paint() {
        Pump();
        sim::ClearDrawLog();
        plat::SendWindowMessage(sim::View(), plat::kWmPaint, 0, 0);
        Ops ops;
        for (const sim::DrawOp& op : sim::DrawLog()) ops.push_back(Describe(op));
        return ops;
    }
    static void SetLamps(int32_t value) {
        for (Atomic32* lamp : kLamps) *lamp = value;
    }

    // Both ports open, the start-up lamp out, the mouse away.
    void StartWithPorts(const std::string& more = "g_PanelColor=0\n") {
        sim::SetInputDevices({"USB Keyboard"});
        sim::SetOutputDevices({"SC-88 Pro"});
        WriteIni("[InitialSetting]\nMidiInDeviceName=USB Keyboard\nMidiOutDeviceName=SC-88 Pro\n" + more);
        ASSERT_TRUE(Start());
        Pump();
        SetLamps(kLampIdle);
    }

    static kvn::bmp::Image SkinFile(const char* name) {
        kvn::bmp::Image img;
        EXPECT_TRUE(kvn::bmp::Load(std::string(KVN_SOURCE_DIR) + "/resources/Bitmap/" + name, img)) << name;
        return img;
    }
    // True when the screen shows w×h of skin file `name` from sx, sy at x, y (clipped to the screen).
    static bool ScreenShows(const char* name, int sx, int sy, int w, int h, int x, int y) {
        const kvn::bmp::Image img = SkinFile(name);
        const kvn::bmp::Image& screen = sim::Screen();
        for (int row = 0; row < h; ++row) {
            for (int col = 0; col < w && x + col < screen.width && y + row < screen.height; ++col) {
                if (img.pixels[size_t(sy + row) * size_t(img.width) + size_t(sx + col)] !=
                    screen.pixels[size_t(y + row) * size_t(screen.width) + size_t(x + col)])
                    return false;
            }
        }
        return true;
    }
    void ExpectMissingFileBox(const char* name) {
        ASSERT_EQ(sim::Boxes().size(), 1u);
        EXPECT_EQ(sim::Boxes()[0].text,
                  std::string(name) + " file is not found.\nPlease defrost a KVN_xxx.zip file once again.");
        EXPECT_EQ(sim::Boxes()[0].caption, "KVN");
        EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
    }
};

// ---- Composition ---------------------------------------------------------------------------

TEST_F(PanelDrawTest, AtRestOnlyBackgroundUnlitLampsKeyShiftAndDigitsAreDrawn) {
    ASSERT_TRUE(Start());  // no input device: the input is absent
    mf_MidiOutClose();     // and no output either
    SetLamps(kLampIdle);
    g_PanelColor = 0;
    EXPECT_EQ(Paint(), Join({kBackground, Blt("09.bmp", 0, 0, 44, 27, 25, 77),
                             Blt("09.bmp", 0, 27, 44, 27, 25, 103), Text(" 0", 646, 49, 0)},
                            DigitsAndPresent(4400, 0)));

    // What reaches the window: the background wherever no overlay was drawn.
    EXPECT_EQ(sim::Screen().width, 740);
    EXPECT_EQ(sim::Screen().height, 150);
    EXPECT_TRUE(ScreenShows("00.bmp", 300, 10, 210, 40, 300, 10)) << "no family indicator at rest";
    EXPECT_TRUE(ScreenShows("00.bmp", 334, 70, 104, 66, 334, 70)) << "no centre window at rest";
    EXPECT_TRUE(ScreenShows("00.bmp", 590, 10, 150, 130, 590, 10))
        << "no lamp or button look on the right at rest";
    EXPECT_TRUE(ScreenShows("00.bmp", 546, 10, 44, 70, 546, 10)) << "no panic or tone lamp at rest";
}

TEST_F(PanelDrawTest, AtRestWithPortsEverythingButTheBackgroundTakesThePanelColour) {
    StartWithPorts();
    // No family yet: no family indicator. The key shift text has two characters and no plus sign.
    const std::pair<int, const char*> shifts[4] = {{-7, "-7"}, {-1, "-1"}, {0, " 0"}, {7, " 7"}};
    for (int f : {4350, 4400, 4455}) {
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE(std::to_string(f) + " in panel colour " + std::to_string(k));
            g_Frequency = f;
            g_PanelColor = k;
            g_KeyShift = shifts[k].first;
            EXPECT_EQ(Paint(),
                      Join({kBackground, Blt("09.bmp", 0, 54 * k, 44, 27, 25, 77),
                            Blt("09.bmp", 0, 54 * k + 27, 44, 27, 25, 103), Text("USB Keyboard", 70, 76, k),
                            Text("SC-88 Pro", 70, 103, k), Text(shifts[k].second, 646, 49, k)},
                           DigitsAndPresent(f, k)));
        }
    }
    // Digits written out once: 435.0 in colour 0, and 445.5 in colour 3 (bands 42 apart from y = 2).
    g_Frequency = 4350;
    g_PanelColor = 0;
    const Ops ops = Paint();
    EXPECT_EQ(Ops(ops.begin() + 6, ops.begin() + 11),
              (Ops{Blt("07.bmp", 0, 2, 21, 38, 568, 94), Blt("07.bmp", 210, 2, 12, 38, 550, 94),
                   Blt("07.bmp", 105, 2, 21, 38, 528, 94), Blt("07.bmp", 63, 2, 21, 38, 504, 94),
                   Blt("07.bmp", 84, 2, 21, 38, 480, 94)}));
    g_Frequency = 4455;
    g_PanelColor = 3;
    EXPECT_EQ(Paint()[6], Blt("07.bmp", 105, 128, 21, 38, 568, 94));
}

TEST_F(PanelDrawTest, AFailedPortKeepsItsRowSoItsEmptyNameIsWritten) {
    sim::SetInputDevices({"USB Keyboard"});
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    ASSERT_TRUE(Start());
    Pump();
    SetLamps(kLampIdle);
    const Ops ops = Paint();
    // No settings file: panel colour 1.
    EXPECT_EQ(Count(ops, Text("", 70, 76, 1)), 1) << ::testing::PrintToString(ops);
    EXPECT_EQ(Count(ops, Text("Window's MIDI Mapper", 70, 103, 1)), 1);
}

TEST_F(PanelDrawTest, EveryLampLitInEachPanelColourAndEachFamily) {
    StartWithPorts();
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("panel colour " + std::to_string(k));
        g_PanelColor = k;
        g_SysExFamily = (k + 1) % 3;  // each family has its row
        SetLamps(5);
        g_RefTone = 1;
        const int band = k + 1;
        EXPECT_EQ(
            Paint(),
            Join({kBackground, Blt("01.bmp", 210 * k, 40 * ((k + 1) % 3), 210, 40, 300, 10),
                  Blt("09.bmp", 44, 54 * k, 44, 27, 25, 77), Blt("09.bmp", 44, 54 * k + 27, 44, 27, 25, 103),
                  Text("USB Keyboard", 70, 76, k), Text("SC-88 Pro", 70, 103, k), Text(" 0", 646, 49, k),
                  Blt("02.bmp", 0, 330, 104, 66, 334, 70), Blt("10.bmp", 0, 24 * band, 20, 24, 676, 50),
                  Blt("10.bmp", 21, 24 * band, 20, 24, 697, 50), Blt("06.bmp", 0, 40 * band, 34, 40, 593, 92),
                  Blt("06.bmp", 35, 40 * band, 34, 40, 628, 92), Blt("03.bmp", 0, 40 * band, 80, 40, 663, 92),
                  Blt("08.bmp", 0, 21 * band, 60, 21, 550, 10), Blt("11.bmp", 0, 20 * band, 16, 20, 546, 58)},
                 DigitsAndPresent(4400, k)));
        // The loud lamp instead of the soft one.
        g_RefTone = 2;
        const Ops loud = Paint();
        EXPECT_EQ(Count(loud, Blt("11.bmp", 16, 20 * band, 16, 20, 565, 58)), 1);
        EXPECT_EQ(Count(loud, Blt("11.bmp", 0, 20 * band, 16, 20, 546, 58)), 0);
        g_RefTone = 0;
    }
    // What reaches the screen, the master tune lamp clipped at the right edge.
    g_PanelColor = 2;
    g_SysExFamily = 2;
    SetLamps(5);
    Paint();
    EXPECT_TRUE(ScreenShows("03.bmp", 0, 120, 80, 40, 663, 92));
    EXPECT_TRUE(ScreenShows("09.bmp", 44, 108, 44, 27, 25, 77));
    EXPECT_TRUE(ScreenShows("01.bmp", 420, 80, 210, 40, 300, 10));
    EXPECT_TRUE(ScreenShows("02.bmp", 0, 330, 104, 66, 334, 70));
    EXPECT_EQ(sim::Screen().width, 740);
}

TEST_F(PanelDrawTest, ConnectionThruHidesKeyShiftAndFamilyAndShowsItsPictureUnlessADropIsShown) {
    StartWithPorts();
    const std::string drop = Blt("02.bmp", 0, 330, 104, 66, 334, 70);
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE("panel colour " + std::to_string(k));
        g_PanelColor = k;
        g_ThruConnect = 1;
        g_SysExFamily = 1;
        g_KeyShift = 3;
        Ops thru = Join({kBackground, Blt("09.bmp", 0, 54 * k, 44, 27, 25, 77),
                         Blt("09.bmp", 0, 54 * k + 27, 44, 27, 25, 103), Text("USB Keyboard", 70, 76, k),
                         Text("SC-88 Pro", 70, 103, k), Blt("02.bmp", 0, 66 * (k + 1), 104, 66, 334, 70)},
                        DigitsAndPresent(4400, k));
        EXPECT_EQ(Paint(), thru);

        // A dropped message takes the centre window, thru or not.
        g_LampDrop = 4;
        thru[5] = drop;
        EXPECT_EQ(Paint(), thru);
        g_ThruConnect = 0;
        const Ops dropOnly = Paint();
        EXPECT_EQ(Count(dropOnly, drop), 1);
        EXPECT_EQ(Count(dropOnly, Text(" 3", 646, 49, k)), 1);
        g_LampDrop = 0;  // run out: dark again
        EXPECT_TRUE(NoneFrom(Paint(), "02.bmp"));
        g_LampDrop = kLampIdle;
    }
}

TEST_F(PanelDrawTest, HoverLooksFollowTheMouseAndShowTheHeldLooks) {
    StartWithPorts();
    const std::string rest = Blt("09.bmp", 0, 0, 44, 27, 25, 77);
    const std::string minimise = Blt("04.bmp", 30, 20, 30, 20, 665, 10),
                      close = Blt("04.bmp", 60, 20, 30, 20, 700, 10),
                      closeHeld = Blt("04.bmp", 60, 40, 30, 20, 700, 10);
    auto second = [this](int region) {
        MoveTo(PointOf(region));
        return Paint().at(1);
    };
    EXPECT_EQ(second(HIT_MINIMIZE), minimise);
    EXPECT_EQ(second(HIT_CLOSE), close);
    EXPECT_EQ(second(HIT_MOVE), Blt("04.bmp", 0, 20, 30, 20, 628, 10));
    EXPECT_EQ(second(HIT_FREQ_UP), rest) << "no look for other controls";

    // The close button held: held look while over it, none when the mouse leaves, back when it returns.
    MoveTo(PointOf(HIT_CLOSE));
    Press();
    EXPECT_EQ(Paint().at(1), closeHeld);
    EXPECT_EQ(second(HIT_PANIC), rest);
    EXPECT_EQ(second(HIT_MINIMIZE), minimise);
    EXPECT_EQ(second(HIT_CLOSE), closeHeld);
    MoveTo(PointOf(HIT_PANIC));
    Release();  // off the button: no close, and the held look is gone for good
    EXPECT_EQ(second(HIT_CLOSE), close);

    // The move handle shows its held look only while a drag is in progress.
    MoveTo(PointOf(HIT_MOVE));
    Press();
    EXPECT_EQ(Paint().at(1), Blt("04.bmp", 0, 40, 30, 20, 628, 10));
    Release();
    EXPECT_EQ(Paint().at(1), Blt("04.bmp", 0, 20, 30, 20, 628, 10));
}

// ---- Skin loading --------------------------------------------------------------------------

TEST_F(PanelDrawTest, MissingSkinFileIsNamedAloneAfterTheEarlierFilesLoaded) {
    RemoveSkinFile("05.bmp");
    RemoveSkinFile("08.bmp");  // a later one missing too: not named
    int aliveAtBox = -1;
    sim::SetBoxHook([&](const sim::Box&) { aliveAtBox = sim::SurfacesAlive(); });
    EXPECT_FALSE(Start());
    ExpectMissingFileBox("05.bmp");
    EXPECT_EQ(aliveAtBox, 5) << "00.bmp ... 04.bmp loaded, nothing after 05.bmp";
    // Nothing of the refused view stays: no surfaces, no font, no title, no icons, no pause.
    EXPECT_EQ(sim::SurfacesAlive(), 0);
    EXPECT_EQ(sim::FontsAlive(), 0);
    EXPECT_TRUE(g_WindowTitle.empty());
    EXPECT_TRUE(sim::SmallIconHistory().empty());
    EXPECT_EQ(g_hIconNormal, nullptr);
    EXPECT_EQ(g_hIconActivity, nullptr);
    EXPECT_FALSE(sim::Shown(sim::MainFrame()));
    EXPECT_LT(sim::NowUs(), 1000000u);
}

TEST_F(PanelDrawTest, TheCanvasIsTheLastFileLoadedAndAnUnreadableFileCountsAsMissing) {
    RemoveSkinFile("99.bmp");
    EXPECT_FALSE(Start());
    ExpectMissingFileBox("99.bmp");

    NextLife();
    std::filesystem::copy_file(std::filesystem::path(KVN_SOURCE_DIR) / "resources" / "Bitmap" / "99.bmp",
                               folder_ / "Bitmap" / "99.bmp");
    std::ofstream(folder_ / "Bitmap" / "03.bmp", std::ios::binary) << "BM this is no bitmap";
    EXPECT_FALSE(Start());
    ExpectMissingFileBox("03.bmp");
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

// ---- Icon blink ----------------------------------------------------------------------------

class IconBlinkTest : public PanelDrawTest {
protected:
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
    Run(300, 200, false);
    EXPECT_EQ(sim::SmallIconHistory(), (std::vector<int>{133}));
}

}  // namespace
}  // namespace kvntest
