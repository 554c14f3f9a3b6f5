// What every end-to-end test starts from: a player and a sink on the MIDI system of the run (the
// JACK server, or the ALSA sequencer), and a settings file that makes kvn take the player as its
// input and the sink as its output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "tests/sdl/midi_client.h"
#include "tests/sdl/support.h"
#include "tests/sdl/window_support.h"

namespace e2e {

class KvnTest : public ::testing::Test {
protected:
    // The settings file: the window at 100, 100 and the two ports, with `initial` added to
    // [InitialSetting].
    static std::string Settings(const std::string& initial = "") {
        return "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\nMidiInDeviceName=kvnplay:out\n"
               "MidiOutDeviceName=kvnsink:in\n" +
               initial;
    }

    // Starts kvn with these settings and waits for its panel and its input.
    void Launch(const std::string& settings) {
        ASSERT_TRUE(player.Ok()) << "no MIDI system";
        ASSERT_TRUE(sink.Ok());
        kvn = std::make_unique<Kvn>("Studio" + std::to_string(getpid()), settings);
        ASSERT_TRUE(kvn->Start());
        ASSERT_TRUE(kvn->WaitForPanel()) << kvn->Log();
        ASSERT_TRUE(WaitLive(player, sink)) << "nothing played came out";
    }

    // Waits until at least `count` messages (markers aside) have come out; returns them all.
    std::vector<Bytes> Out(size_t count) {
        kvntest::PollUntil([&] { return Played(sink).size() >= count; }, std::chrono::seconds(15));
        return Played(sink);
    }

    // A stop signal closes in order: status 0, the settings saved and the ports gone.
    void Close() {
        kvn->Signal(SIGINT);
        EXPECT_EQ(kvn->WaitExit(), 0) << kvn->Log();
        EXPECT_FALSE(sink.PortExists("KVN:out"));
    }

    kvntest::MidiClient player{"kvnplay"};
    kvntest::MidiClient sink{"kvnsink"};
    std::unique_ptr<Kvn> kvn;
};

}  // namespace e2e
