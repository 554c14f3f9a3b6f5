// Random MIDI through the whole input path (driver callback, posted message, handler, output
// driver), compared message by message with the oracle: every rule of the thru path, the RPN
// tracker, the SysEx tables and the tuning runs, under settings drawn from the seed.
#include <cstdint>
#include <random>

#include "tests/oracle/compare.h"
#include "tests/oracle/generator.h"
#include "tests/oracle/model.h"
#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

class OracleStream : public EngineTest, public ::testing::WithParamInterface<uint64_t> {};

TEST_P(OracleStream, EveryMessageComesOutAsTheModelSays) {
    std::mt19937_64 pick(GetParam());
    oracle::Settings settings;
    settings.keyShift = int(pick() % 15) - 7;
    settings.skipClock = pick() % 2 == 0;
    settings.frequency = 4350 + 5 * int(pick() % 22);
    g_KeyShift = settings.keyShift;
    g_SkipF8 = settings.skipClock ? 1 : 0;
    g_Frequency = settings.frequency;
    sim::SetInputDevices({"Keyboard"});
    sim::SetOutputDevices({"Synth"});
    g_MidiOutDeviceName = "Synth";
    mf_DeviceInitialize();
    mf_MidiInStart();
    sim::Pump();
    sim::ClearLogs();

    oracle::Model model(settings);
    oracle::Comparer comparer(model, 0);
    oracle::Generator generator(GetParam(), kSysExBufferSize);
    size_t fed = 0;
    for (uint64_t n = 0; n < 12000 && !comparer.Failed(); ++n) {
        const oracle::Bytes in = generator.Next().bytes;
        comparer.Expect(n, model.Apply(in));
        if (in[0] == 0xF0) {
            ASSERT_TRUE(sim::DeliverSysEx(in))
                << "the input buffer was not handed back before message #" << n;
        } else {
            ASSERT_TRUE(sim::DeliverShort(in[0] | uint32_t(in.size() > 1 ? in[1] : 0) << 8 |
                                          uint32_t(in.size() > 2 ? in[2] : 0) << 16));
        }
        sim::Pump();
        for (; fed < sim::OutputLog().size(); ++fed) {
            const sim::OutEvent& e = sim::OutputLog()[fed];
            comparer.Feed(e.kind == sim::Event::Long ? e.data : oracle::Unpack(e.word));
        }
    }
    comparer.Flush();
    EXPECT_FALSE(comparer.Failed()) << comparer.Report();
    EXPECT_TRUE(comparer.Caught()) << "still waiting for the output of message #" << comparer.WaitingFor();
    EXPECT_GT(comparer.Runs(), 20u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, OracleStream, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u));

}  // namespace
}  // namespace kvntest
