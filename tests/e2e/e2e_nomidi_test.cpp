// kvn with no MIDI system at all (run_with.sh --no-jack: no ALSA sequencer here, and no JACK
// server answering): it says why, opens its panel without ports, and closes normally.
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/e2e_support.h"
#include "tests/sdl/support.h"
#include "tests/sdl/window_support.h"

namespace e2e {
namespace {

TEST(NoMidi, ThePanelOpensWithoutPortsAfterItsMessagesAndClosesNormally) {
    Kvn kvn("Studio" + std::to_string(getpid()), "[WindowPosition]\nleft=100\ntop=100\n");
    ASSERT_TRUE(kvn.Start());
    // The ports are opened before the window exists, so the messages come first, one after the
    // other: why (no MIDI system), then the output that cannot be used, then its fallback, the
    // mapper, that cannot be used either. (They are not counted: one box may take over the last
    // one's window id the moment it goes.)
    int boxes = 0;
    const bool up = kvntest::PollUntil(
        [&] {
            if (kvntest::Viewable(kvn.Title()) || !kvn.Running()) return true;
            if (BoxShown("Korvane")) {
                ++boxes;
                EXPECT_TRUE(DismissBox("Korvane"));
            }
            return false;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(up);
    EXPECT_GE(boxes, 1);
    ASSERT_TRUE(kvn.WaitForPanel()) << kvn.Log();
    EXPECT_FALSE(BoxShown("Korvane")) << "a message after the start";

    // No port names: the two name fields show the background.
    const kvn::bmp::Image shot = kvn.Shot(), background = Skin("00.bmp");
    ASSERT_EQ(shot.width, 740);
    size_t differ = 0;
    for (int y = 76; y < 130; ++y) {
        for (int x = 70; x < 320; ++x)
            differ +=
                shot.pixels[size_t(y) * 740 + size_t(x)] != background.pixels[size_t(y) * 740 + size_t(x)];
    }
    EXPECT_EQ(differ, 0u);

    kvn.Click(ControlAt(100));  // close
    EXPECT_EQ(kvn.WaitExit(), 0) << kvn.Log();
    const std::string ini = kvn.Ini();
    EXPECT_EQ(IniValue(ini, "InitialSetting", "MidiInDeviceName"), "");
    EXPECT_EQ(IniValue(ini, "InitialSetting", "g_Frequency"), "4400");
}

}  // namespace
}  // namespace e2e
