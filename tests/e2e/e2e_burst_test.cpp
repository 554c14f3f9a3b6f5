// kvn under a burst of MIDI faster than its panel takes it, over a synchronous JACK server (a
// late client then delays the period instead of reading a buffer that its player already fills
// again, which an asynchronous server allows).
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using Burst = KvnTest;

// A burst of 100,000 messages as fast as JACK carries them: more than SDL's queue of 65535 events
// holds, and faster than Korvane's output takes them, so the panel falls behind. Every message
// comes out, in order.
TEST_F(Burst, ABurstBeyondThePanelsQueueComesOutWholeAndInOrder) {
    Launch(Settings());
    constexpr int kBurst = 100000;
    // Pitch bends, numbered by their values and channels; Korvane passes them on unchanged.
    const auto message = [](int i) {
        return Bytes{uint8_t(0xE0 | ((i >> 14) & 0x0F)), uint8_t(i & 0x7F), uint8_t((i >> 7) & 0x7F)};
    };
    std::thread feeder([&] {
        for (int i = 0; i < kBurst; ++i) {
            while (player.SendRoom() < 16) std::this_thread::sleep_for(std::chrono::microseconds(200));
            player.Send(message(i));
        }
    });
    const auto t0 = std::chrono::steady_clock::now();
    sink.WaitFor(kBurst, std::chrono::seconds(90));
    feeder.join();
    RecordProperty(
        "burst_ms",
        int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                .count()));
    ASSERT_TRUE(Settle(player, sink));
    const std::vector<Bytes> out = Played(sink);
    EXPECT_EQ(out.size(), size_t(kBurst));
    // Where the order breaks, if it does.
    const auto number = [](const Bytes& b) {
        return b.size() == 3 ? int(((b[0] & 0x0F) << 14) | (b[2] << 7) | b[1]) : -1;
    };
    int breaks = 0;
    for (size_t i = 0; i < out.size() && breaks < 5; ++i) {
        const int expected = i == 0 ? 0 : number(out[i - 1]) + 1;
        if (number(out[i]) == expected) continue;
        ADD_FAILURE() << "message " << i << " is " << Show({out[i]}) << " (" << number(out[i])
                      << "), expected " << expected;
        ++breaks;
    }
    ASSERT_TRUE(kvn->Running()) << kvn->Log();
    Close();
}

}  // namespace
}  // namespace e2e
