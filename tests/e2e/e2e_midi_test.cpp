// kvn as a MIDI thru box, end to end: what it sends when it starts, and what it does to what is
// played into it.
#include "tests/e2e/e2e_fixture.h"

namespace e2e {
namespace {

using MidiThru = KvnTest;

TEST_F(MidiThru, StartingResetsEveryChannelAndThenTunesAllButChannel10) {
    ASSERT_TRUE(player.Ok() && sink.Ok());
    kvn = std::make_unique<Kvn>("Studio" + std::to_string(getpid()), Settings());
    ASSERT_TRUE(kvn->Start());
    const std::vector<Bytes> burst = Concat({OnAllChannels(123), OnAllChannels(120), OnAllChannels(121)});
    const std::vector<Bytes> tuning = TuningAll(440.0);
    const std::vector<Bytes> out = Out(burst.size() + tuning.size());
    EXPECT_EQ(out, Concat({burst, tuning})) << Show(out);

    // In the server's frames: in order, and the tuning a pause after the burst. The pause is 16 ms
    // of Korvane's time; it shows as at least one period whenever the server kept time meanwhile
    // (on a machine too busy for that, both can leave in one period).
    const std::vector<kvntest::Timed> timed = sink.ReceivedTimed();
    ASSERT_GE(timed.size(), burst.size() + tuning.size());
    for (size_t i = 1; i < timed.size(); ++i) EXPECT_GE(timed[i].frame, timed[i - 1].frame) << i;
    const uint32_t burstEnd = timed[burst.size() - 1].frame;
    const uint32_t tuningStart = timed[burst.size()].frame;
    EXPECT_EQ(timed[0].frame / 256, burstEnd / 256) << "the burst leaves at once";
    RecordProperty("pause_frames", int(tuningStart - burstEnd));
    if (sink.KeptTime(burstEnd, tuningStart)) {
        EXPECT_GE(tuningStart - burstEnd, 256u) << "the tuning left with the burst";
    }
    ASSERT_TRUE(kvn->WaitForPanel());
    Close();
}

TEST_F(MidiThru, KeyShiftAndTheClockFilterComeFromTheSettingsFile) {
    Launch(Settings("g_KeyShift=5\ng_SkipF8=0\n"));
    const std::vector<Bytes> played = {{0x90, 60, 100}, {0x99, 36, 100}, {0x80, 60, 64}, {0xF8},
                                       {0xA0, 60, 3},   {0x90, 125, 1},  {0xE0, 0, 64}};
    for (const Bytes& m : played) player.Send(m);
    ASSERT_TRUE(Settle(player, sink));
    // Notes up five semitones, folded back an octave past 127; channel 10, pressure and the
    // pitch wheel as they were; a note-off always with velocity 127; the clock passed on.
    const std::vector<Bytes> expected = {{0x90, 65, 100}, {0x99, 36, 100}, {0x80, 65, 127}, {0xF8},
                                         {0xA0, 60, 3},   {0x90, 118, 1},  {0xE0, 0, 64}};
    EXPECT_EQ(Played(sink), expected) << Show(Played(sink));
    Close();
    EXPECT_EQ(IniValue(kvn->Ini(), "InitialSetting", "g_KeyShift"), "5");
}

TEST_F(MidiThru, TimingClockIsDroppedUnlessTheSettingsSayOtherwise) {
    Launch(Settings());
    for (const Bytes& m : std::vector<Bytes>{{0xF8}, {0xFA}, {0xF8}, {0xFC}, {0xF8}}) player.Send(m);
    ASSERT_TRUE(Settle(player, sink));
    EXPECT_EQ(Played(sink), (std::vector<Bytes>{{0xFA}, {0xFC}})) << Show(Played(sink));
    Close();
}

TEST_F(MidiThru, AGsResetIsPassedOnAndFollowedByTheTuning) {
    Launch(Settings("g_Frequency=4425\n"));
    const Bytes gsReset{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
    player.Send(gsReset);
    const std::vector<Bytes> expected = Concat({{gsReset}, TuningAll(442.5)});
    const std::vector<Bytes> out = Out(expected.size());
    EXPECT_EQ(out, expected) << Show(out);
    Close();
}

TEST_F(MidiThru, MasterTuneFromOtherSoftwareIsDropped) {
    Launch(Settings());
    const std::vector<Bytes> masterTunes = {
        {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x3C, 0xF7},  // GS
        {0xF0, 0x43, 0x10, 0x27, 0x30, 0x00, 0x00, 0x7F, 0x10, 0x00, 0xF7},                    // XG
        {0xF0, 0x7F, 0x7F, 0x04, 0x03, 0x00, 0x41, 0xF7},                                      // GM2
    };
    // One at a time, so that each finds the input's one SysEx buffer free.
    for (const Bytes& m : masterTunes) {
        player.Send(m);
        ASSERT_TRUE(Settle(player, sink));
    }
    const Bytes other{0xF0, 0x7D, 0x01, 0x02, 0xF7};  // any other SysEx passes
    player.Send(other);
    for (const Bytes& m : std::vector<Bytes>{{0xB3, 101, 0}, {0xB3, 100, 1}, {0xB3, 6, 70}, {0xB3, 38, 5}}) {
        player.Send(m);  // Channel Fine Tuning: the RPN selection passes, its data does not
    }
    player.Send({0x93, 64, 90});
    ASSERT_TRUE(Settle(player, sink));
    const std::vector<Bytes> expected = {other, {0xB3, 101, 0}, {0xB3, 100, 1}, {0x93, 64, 90}};
    EXPECT_EQ(Played(sink), expected) << Show(Played(sink));
    Close();
}

TEST_F(MidiThru, ResetAllControllersIsFollowedByThatChannelsTuning) {
    Launch(Settings());
    player.Send({0xB2, 121, 0});
    player.Send({0xB9, 121, 0});  // channel 10: passed on, nothing follows
    ASSERT_TRUE(Settle(player, sink));
    const std::vector<Bytes> expected = Concat({{{0xB2, 121, 0}}, Tuning(2, 440.0), {{0xB9, 121, 0}}});
    EXPECT_EQ(Played(sink), expected) << Show(Played(sink));
    Close();
}

}  // namespace
}  // namespace e2e
