// kvn under a burst of MIDI faster than its panel takes it, and under input it cannot take whole,
// over a synchronous JACK server (a late client then delays the period instead of losing it, or
// reading a buffer that its player already fills again, which an asynchronous server allows), or
// over the ALSA sequencer (whose player waits for room in kvn's queue: one that overflows is lost).
#include <thread>

#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using Burst = KvnTest;

// A burst of 100,000 messages as fast as the MIDI system carries them: more than SDL's queue of
// 65535 events holds, and faster than Korvane's output takes them, so the panel falls behind.
// Every message comes out, in order. Over ALSA the player keeps at most kLead messages ahead of
// the sink: the sequencer empties the whole queue of a receiver that falls 2000 events behind (as
// a sink starved of the CPU on a busy machine does), so there the stream checks the wiring, and
// the panel's overflow queue, the same code for both, is left to the JACK run.
TEST_F(Burst, ABurstBeyondThePanelsQueueComesOutWholeAndInOrder) {
    Launch(Settings());
    constexpr int kBurst = 100000;
    constexpr size_t kLead = 1500;
    const bool alsa = kvntest::MidiClient::Alsa();
    // Pitch bends, numbered by their values and channels; Korvane passes them on unchanged.
    const auto message = [](int i) {
        return Bytes{uint8_t(0xE0 | ((i >> 14) & 0x0F)), uint8_t(i & 0x7F), uint8_t((i >> 7) & 0x7F)};
    };
    std::thread feeder([&] {
        for (int i = 0; i < kBurst; ++i) {
            while (player.SendRoom() < 16 || (alsa && size_t(i) >= sink.Count() + kLead))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
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
    EXPECT_EQ(out.size(), size_t(kBurst)) << "overflows of the sink's own queue: " << sink.Overflows();
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

// A SysEx longer than Korvane's 16384-byte input buffer, whole in one event or in pieces: the
// buffer's worth goes on, closed with F7 (a receiver drops it as incomplete instead of reading
// what follows into it), and everything after it passes as usual.
TEST_F(Burst, ASysExLongerThanTheInputBufferGoesOnCutAndClosed) {
    Launch(Settings());
    for (size_t size : {size_t(20000), size_t(100000)}) {
        SCOPED_TRACE(size);
        sink.Clear();
        const Bytes big = SysEx(size);
        if (size <= 30000) {
            player.Send(big);
        } else {
            ASSERT_TRUE(player.SendInPieces(big, 8192));
        }
        player.Send({0x90, 60, 100});
        ASSERT_TRUE(Settle(player, sink));
        std::vector<Bytes> out = Played(sink);
        ASSERT_GE(out.size(), 2u) << Show(out);
        EXPECT_EQ(out.back(), (Bytes{0x90, 60, 100}));
        out.pop_back();
        // In pieces, or joined by the MIDI system.
        Bytes joined, cut(big.begin(), big.begin() + 16384);
        for (const Bytes& e : out) joined.insert(joined.end(), e.begin(), e.end());
        cut.push_back(0xF7);
        EXPECT_TRUE(joined == cut) << joined.size();
    }
    const Bytes gsReset{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    sink.Clear();
    player.Send(gsReset);
    const std::vector<Bytes> expected = Concat({{gsReset}, TuningAll(440.0)});
    EXPECT_EQ(Out(expected.size()), expected) << Show(Played(sink));
    ASSERT_TRUE(kvn->Running()) << kvn->Log();
    Close();
}

}  // namespace
}  // namespace e2e
