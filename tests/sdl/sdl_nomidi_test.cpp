// Without any MIDI system (no ALSA sequencer here, and a JACK server name nobody answers to;
// run_with.sh --no-jack): no ports, no crash, and the user is told once.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/sdl/sdl_platform.h"
#include "tests/sdl/support.h"

namespace {

TEST(SdlNoMidi, NoPortsAndOpeningFailsWithOneMessage) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(plat::MidiInGetNumDevs(), 0u);
    EXPECT_EQ(plat::MidiOutGetNumDevs(), 0u);
    char name[plat::kMaxPnameLen];
    EXPECT_EQ(plat::MidiInGetDevName(0, name, sizeof name), plat::kMmBadDeviceId);

    // The mapper is opened at start-up and again as the fallback: both fail, one message says why.
    kvntest::Recorder rec;
    plat::HMidiOut out = reinterpret_cast<plat::HMidiOut>(1);
    EXPECT_EQ(plat::MidiOutOpen(&out, plat::kMidiMapper, kvntest::Recorder::OutProc, rec.Instance()),
              plat::kMmError);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(plat::MidiOutOpen(&out, plat::kMidiMapper, kvntest::Recorder::OutProc, rec.Instance()),
              plat::kMmError);
    plat::HMidiIn in = nullptr;
    EXPECT_NE(plat::MidiInOpen(&in, 0, kvntest::Recorder::InProc, rec.Instance()), plat::kMmNoError);
    EXPECT_TRUE(rec.Calls().empty());
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string why = "Korvane: No MIDI system is available";
    EXPECT_TRUE(err.find(why) != std::string::npos && err.find(why) == err.rfind(why)) << err;

    // Calls on handles that never opened are refused, not crashed on.
    EXPECT_EQ(plat::MidiOutShortMsg(nullptr, 0x90), plat::kMmInvalHandle);
    EXPECT_EQ(plat::MidiInStart(nullptr), plat::kMmInvalHandle);
    EXPECT_STREQ(sdlplat::MidiSystemName(), "jack");
    sdlplat::Shutdown();
}

}  // namespace
