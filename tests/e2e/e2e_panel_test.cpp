// kvn's panel, end to end: a click on a control that the skin's hit map places reaches the core,
// the picture on the screen, the port picker and the close button. What each control does is
// checked on the simulated platform (tests/unit/panel_test.cpp).
#include <algorithm>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using Panel = KvnTest;

// Hit-map red values of the controls.
constexpr int kInputName = 220, kFreqUp = 180, kColour0 = 160, kClose = 100;

TEST_F(Panel, PitchUpRetunesEveryChannelButTen) {
    Launch(Settings());
    kvn->Click(ControlAt(kFreqUp));
    const std::vector<Bytes> out = Out(90);
    EXPECT_EQ(out, TuningAll(440.5)) << Show(out);
    Close();
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "g_Frequency"), "4405");
}

// The panel as the core composes it, where no text is drawn: the background, the dark port lamps
// and the pitch's digits in the panel colour's band; the port names and the key shift (text) and
// the master-tune lamp (lit for the first two seconds) are left out.
kvn::bmp::Image Expected(int colour, const char digits[4]) {
    kvn::bmp::Image img = Skin("00.bmp");
    const kvn::bmp::Image lamps = Skin("09.bmp"), band = Skin("07.bmp");
    const auto copy = [&](const kvn::bmp::Image& from, int sx, int sy, int w, int h, int x, int y) {
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w; ++c) {
                img.pixels[size_t(y + r) * 740 + size_t(x + c)] =
                    from.pixels[size_t(sy + r) * size_t(from.width) + size_t(sx + c)];
            }
        }
    };
    copy(lamps, 0, 54 * colour, 44, 27, 25, 77);
    copy(lamps, 0, 54 * colour + 27, 44, 27, 25, 103);
    const int y = 42 * colour + 2;
    const int at[4] = {480, 504, 528, 568};
    for (int i = 0; i < 4; ++i) copy(band, 21 * (digits[i] - '0'), y, 21, 38, at[i], 94);
    copy(band, 210, y, 12, 38, 550, 94);  // the decimal point
    return img;
}

bool Masked(int x, int y) {
    const auto in = [&](int x0, int y0, int x1, int y1) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
    return in(66, 72, 330, 132)       // the port names
           || in(640, 44, 676, 78)    // the key shift
           || in(663, 92, 743, 132);  // the master-tune lamp
}

// Pixels that differ from the expected picture, outside the masked regions (at most 10 listed).
std::string Differences(const kvn::bmp::Image& shot, const kvn::bmp::Image& expected, size_t* count) {
    *count = 0;
    std::string where;
    if (shot.width != 740 || shot.height != 150) {
        *count = 1;
        return std::to_string(shot.width) + "x" + std::to_string(shot.height) + " screenshot";
    }
    for (int y = 0; y < 150; ++y) {
        for (int x = 0; x < 740; ++x) {
            if (Masked(x, y) ||
                shot.pixels[size_t(y) * 740 + size_t(x)] == expected.pixels[size_t(y) * 740 + size_t(x)])
                continue;
            if (++*count <= 10) where += std::to_string(x) + "," + std::to_string(y) + " ";
        }
    }
    return where;
}

// What the screen shows is the panel the core composes, also after a colour button repainted it.
TEST_F(Panel, TheScreenShowsThePanelAsTheSkinComposesItInTheColourChosen) {
    Launch(Settings("g_PanelColor=2\ng_Frequency=4415\n"));
    for (int colour : {2, 3}) {
        if (colour == 3) kvn->Click(ControlAt(kColour0 - 30));
        size_t count = 0;
        std::string where;
        EXPECT_TRUE(kvntest::PollUntil([&] {
            where = Differences(kvn->Shot(), Expected(colour, "4415"), &count);
            return count == 0;
        })) << "colour "
            << colour << ": " << count << " pixels differ: " << where;
    }
    Close();
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "g_PanelColor"), "3");
}

TEST_F(Panel, TheCloseButtonClosesThePortsAndSavesEveryKey) {
    Launch(Settings("g_Frequency=4380\n"));
    kvn->Click(ControlAt(kClose));
    EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
    // The input's close silences the output; the output is reset and silenced as it closes (the
    // last All Notes Off is the port's own reset).
    const std::vector<Bytes> expected = Concat({OnAllChannels(123), OnAllChannels(120), OnAllChannels(121),
                                                OnAllChannels(123), OnAllChannels(120), OnAllChannels(123)});
    const std::vector<Bytes> out = Out(expected.size());
    EXPECT_EQ(out, expected) << Show(out);
    EXPECT_FALSE(sink.PortExists("KVN:out"));
    EXPECT_FALSE(sink.PortExists("KVN:in"));

    const std::string ini = kvn->Ini();
    const std::vector<std::pair<const char*, const char*>> values = {{"MidiInDeviceName", "kvnplay:out"},
                                                                     {"MidiOutDeviceName", "kvnsink:in"},
                                                                     {"g_PanelColor", "1"},
                                                                     {"g_Frequency", "4380"},
                                                                     {"g_KeyShift", "0"},
                                                                     {"g_SkipF8", "1"},
                                                                     {"g_IconBlink", "1"}};
    for (const auto& [key, value] : values) EXPECT_EQ(IniValue(ini, "InitialSetting", key), value) << key;
    EXPECT_EQ(IniValue(ini, "Window", "Show"), "1");
    EXPECT_EQ(IniValue(ini, "WindowPosition", "left"), "100");
    EXPECT_EQ(IniValue(ini, "WindowPosition", "top"), "100");
    EXPECT_EQ(IniValue(ini, "Ignore these MIDI SysEx messages.", "<GS  Master Tune >"),
              "F0 41 ** ** 12 40 00 00 ** ** ** ** ** F7");
    EXPECT_EQ(IniValue(ini, "Ignore these MIDI SysEx messages.", "<User Define 4   >"), "");
    EXPECT_EQ(
        IniValue(ini, "After receiving these MIDI SysEx messages, Send master tune.", "<GM2 Reset      >"),
        "F0 7E ** ** 03 F7");
    EXPECT_EQ(
        IniValue(ini, "After receiving these MIDI SysEx messages, Send master tune.", "<User Define 4  >"),
        "");
}

TEST_F(Panel, TheInputIsChosenInThePicker) {
    Launch(Settings());
    kvntest::MidiClient other("kvnother");
    ASSERT_TRUE(other.Ok());
    // The input rows are the MIDI system's outputs but Korvane's own, in the system's order.
    const std::vector<std::string> rows = InputRows(sink);
    const auto row = int(std::find(rows.begin(), rows.end(), other.OutPort()) - rows.begin());
    ASSERT_LT(row, int(rows.size()));
    // A slow hand: while the button is held the list stays, so that its window takes the release
    // (gone, SDL would miss the release and drop the next press on the panel).
    ASSERT_TRUE(PressRow(*kvn, ControlAt(kInputName), row)) << "no picker";
    EXPECT_FALSE(
        kvntest::PollUntil([] { return !kvntest::Viewable("KVN list"); }, std::chrono::milliseconds(500)));
    kvntest::Xdotool("mouseup 1");
    EXPECT_TRUE(kvntest::PollUntil([] { return !kvntest::Viewable("KVN list"); }));
    EXPECT_TRUE(kvntest::PollUntil([&] { return other.Connected(other.OutPort(), "KVN:in"); }))
        << "not switched";
    EXPECT_TRUE(kvntest::PollUntil([&] { return !player.Connected(player.OutPort(), "KVN:in"); }))
        << "the old input still linked";

    ASSERT_TRUE(WaitLive(other, sink));
    other.Send({0x95, 50, 60});
    ASSERT_TRUE(Settle(other, sink));
    EXPECT_EQ(Played(sink), (std::vector<Bytes>{{0x95, 50, 60}}));
    // The first click after the picker counts: its release went to the list's window.
    kvn->Click(ControlAt(kClose));
    EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "MidiInDeviceName"), "kvnother:out");
}

}  // namespace
}  // namespace e2e
