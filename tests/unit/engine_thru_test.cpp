// Input hand-off from the driver and the short-message thru path: clock filter, key shift, the
// Note Off velocity rule, the RPN tracker that drops foreign fine tuning, and the retune that
// follows a Reset All Controllers.
#include <cstdint>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

int PaintsQueued() {
    int n = 0;
    for (const auto& p : sim::Queue()) n += p.msg == plat::kWmPaint ? 1 : 0;
    return n;
}

// The six fine-tuning messages one channel receives for the current g_Frequency.
std::vector<uint32_t> TuningFor(uint8_t channel, uint8_t msb, uint8_t lsb) {
    const auto s = static_cast<uint8_t>(0xB0 | channel);
    auto m = [](uint8_t st, uint8_t a, uint8_t b) { return st | (uint32_t(a) << 8) | (uint32_t(b) << 16); };
    return {m(s, 101, 0), m(s, 100, 1), m(s, 6, msb), m(s, 38, lsb), m(s, 101, 127), m(s, 100, 127)};
}

// ---- Hand-off on the driver thread ---------------------------------------------------------------

class HandOffTest : public EngineTest {};

TEST_F(HandOffTest, ShortMessageTravelsByValueAndNothingIsSentOnTheDriverThread) {
    OpenPortsDirect();
    g_InputSilence = 7;
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100), 1234));
    EXPECT_EQ(g_InputSilence, 500);
    ASSERT_EQ(sim::Queue().size(), 1u);
    const sim::Posted p = sim::Queue()[0];
    EXPECT_EQ(p.wnd, wnd_);
    EXPECT_EQ(p.msg, 0x8000u);
    EXPECT_EQ(p.wParam, Msg(0x90, 60, 100));
    EXPECT_EQ(p.lParam, 1234);
    EXPECT_TRUE(SentWords().empty());
    EXPECT_EQ(g_LampIn, -1);

    sim::Pump();
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0x90, 60, 100)});
}

TEST_F(HandOffTest, SysExTravelsAsTheBufferAddress) {
    OpenPortsDirect();
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    EXPECT_EQ(g_InputSilence, 500);
    ASSERT_EQ(sim::Queue().size(), 1u);
    const sim::Posted p = sim::Queue()[0];
    EXPECT_EQ(p.wnd, wnd_);
    EXPECT_EQ(p.msg, 0x8001u);
    EXPECT_EQ(p.wParam, reinterpret_cast<uintptr_t>(g_MidiInHandle));
    EXPECT_EQ(p.lParam, reinterpret_cast<intptr_t>(g_MidiInHeader));
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(HandOffTest, EveryKindOfCallbackRefreshesTheSilenceButOnlyDataIsPosted) {
    OpenPortsDirect();
    for (uint32_t msg : {plat::kMimOpen, plat::kMimClose, plat::kMimError, plat::kMimLongError, 0x3FFu}) {
        g_InputSilence = 3;
        MidiInProc(g_MidiInHandle, msg, 0, 0x90, 0);
        EXPECT_EQ(g_InputSilence, 500) << "message " << msg;
    }
    EXPECT_TRUE(sim::Queue().empty());
}

TEST_F(HandOffTest, ConnectionThruPostsNothingYetRefreshesTheSilence) {
    OpenPortsDirect();
    g_ThruConnect = 1;
    g_InputSilence = 3;
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));
    EXPECT_EQ(g_InputSilence, 500);
    g_InputSilence = 3;
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));
    EXPECT_EQ(g_InputSilence, 500);
    EXPECT_TRUE(sim::Queue().empty());
    EXPECT_EQ(g_LampIn, -1);

    g_ThruConnect = 0;
    Play(Msg(0x90, 61, 100));
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0x90, 61, 100)});
}

TEST_F(HandOffTest, MessagesPostedBeforeTheLinkOnlyLightTheLamps) {
    OpenPortsDirect();
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));
    ASSERT_TRUE(sim::DeliverShort(Msg(0xB0, 121, 0)));
    g_ThruConnect = 1;  // the link is made while the messages wait in the queue
    sim::Pump();
    EXPECT_TRUE(SentWords().empty());
    EXPECT_EQ(g_LampIn, 3);
    EXPECT_EQ(g_LampOut, 3);
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_EQ(g_LampMasterTune, -1);

    // While the input lamp counts, the output lamp is left as it is.
    g_LampIn = 2;
    g_LampOut = -1;
    g_Redraw = 0;
    mf_ShortMsgIn(Msg(0x90, 60, 100));
    EXPECT_EQ(g_LampIn, 2);
    EXPECT_EQ(g_LampOut, -1);
    EXPECT_EQ(g_Redraw, 0);
}

TEST_F(HandOffTest, EmptyBufferHandedBackOnResetIsIgnoredAndNotQueuedAgain) {
    OpenPortsDirect();
    ASSERT_EQ(sim::QueuedInputBuffers(), 1);
    plat::MidiInReset(g_MidiInHandle);  // the buffer comes back with no data
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(sim::QueuedInputBuffers(), 0);
    EXPECT_EQ(g_LampIn, -1);
}

TEST_F(HandOffTest, SysExWaitingWhenTheInputClosesIsIgnored) {
    OpenPortsDirect();
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    g_MidiInHandle = nullptr;  // closed before the posted buffer is handled
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampIn, -1);
}

TEST_F(HandOffTest, ShortMessagesAreHandledWithoutAnyPortOpen) {
    OnMidiShortMsg(Msg(0x90, 60, 100), 0);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampIn, 3);
    EXPECT_EQ(g_LampOut, 3);  // armed although nothing could leave
    EXPECT_EQ(mf_SendShortMsg(0x90, 60, 100), 0);
}

TEST_F(HandOffTest, MessagesLeaveInArrivalOrder) {
    OpenPortsDirect();
    const std::vector<uint32_t> in{Msg(0x90, 60, 100), Msg(0xFE),          Msg(0xB0, 7, 100),
                                   Msg(0xE0, 0, 64),   Msg(0x80, 60, 127), Msg(0xC3, 5)};
    for (uint32_t w : in) ASSERT_TRUE(sim::DeliverShort(w));
    sim::Pump();
    EXPECT_EQ(SentWords(), in);
}

// ---- Key shift and the Note Off rule ------------------------------------------------------------------

class KeyShiftTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    uint32_t Through(uint32_t word) {
        sim::ClearOutputLog();
        Play(word);
        const auto sent = SentWords();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? 0 : sent[0];
    }
};

TEST_F(KeyShiftTest, UpwardShiftFoldsBackBelowTheTop) {
    g_KeyShift = 5;
    EXPECT_EQ(Through(Msg(0x90, 60, 100)), Msg(0x90, 65, 100));
    EXPECT_EQ(Through(Msg(0x90, 125, 100)), Msg(0x90, 118, 100));
    EXPECT_EQ(Through(Msg(0x90, 122, 100)), Msg(0x90, 127, 100));
    EXPECT_EQ(Through(Msg(0x90, 123, 100)), Msg(0x90, 116, 100));
}

TEST_F(KeyShiftTest, DownwardShiftFoldsBackAboveTheBottom) {
    g_KeyShift = -7;
    EXPECT_EQ(Through(Msg(0x90, 3, 100)), Msg(0x90, 8, 100));
    EXPECT_EQ(Through(Msg(0x90, 0, 100)), Msg(0x90, 5, 100));
    EXPECT_EQ(Through(Msg(0x90, 7, 100)), Msg(0x90, 0, 100));
    EXPECT_EQ(Through(Msg(0x90, 127, 100)), Msg(0x90, 120, 100));
}

TEST_F(KeyShiftTest, EveryShiftKeepsEveryNoteInRangeAndInItsPitchClass) {
    for (int shift = -7; shift <= 7; ++shift) {
        g_KeyShift = shift;
        for (int note = 0; note <= 127; ++note) {
            const uint32_t out = Through(Msg(0x93, static_cast<uint8_t>(note), 90));
            const int got = static_cast<int>((out >> 8) & 0xFF);
            int want = note + shift;
            if (want < 0) want += 12;
            if (want > 127) want -= 12;
            ASSERT_EQ(got, want) << "shift " << shift << " note " << note;
            ASSERT_EQ(out & 0xFF, 0x93u);
            ASSERT_EQ((out >> 16) & 0xFF, 90u);
        }
    }
}

TEST_F(KeyShiftTest, NoteOffIsShiftedLikeItsNoteOnAndLeavesWithVelocity127) {
    g_KeyShift = 5;
    EXPECT_EQ(Through(Msg(0x85, 125, 64)), Msg(0x85, 118, 127));
    g_KeyShift = 0;
    for (uint8_t ch = 0; ch < 16; ++ch) {
        const auto status = static_cast<uint8_t>(0x80 | ch);
        EXPECT_EQ(Through(Msg(status, 60, 0)), Msg(status, 60, 127)) << "channel index " << int(ch);
    }
}

TEST_F(KeyShiftTest, NoteOnWithVelocityZeroKeepsIt) {
    g_KeyShift = -3;
    EXPECT_EQ(Through(Msg(0x90, 60, 0)), Msg(0x90, 57, 0));
}

TEST_F(KeyShiftTest, PercussionChannelIsNeverShifted) {
    for (int shift : {-7, -1, 1, 7}) {
        g_KeyShift = shift;
        EXPECT_EQ(Through(Msg(0x99, 36, 100)), Msg(0x99, 36, 100));
        EXPECT_EQ(Through(Msg(0x99, 0, 100)), Msg(0x99, 0, 100));
        EXPECT_EQ(Through(Msg(0x99, 127, 100)), Msg(0x99, 127, 100));
        EXPECT_EQ(Through(Msg(0x89, 36, 10)), Msg(0x89, 36, 127));  // the velocity rule still holds
    }
}

TEST_F(KeyShiftTest, OtherChannelMessagesPassUnchanged) {
    g_KeyShift = 5;
    EXPECT_EQ(Through(Msg(0xA0, 60, 33)), Msg(0xA0, 60, 33));          // poly pressure keeps its note
    EXPECT_EQ(Through(Msg(0xC2, 60)), Msg(0xC2, 60));                  // program change
    EXPECT_EQ(Through(Msg(0xD4, 60)), Msg(0xD4, 60));                  // channel pressure
    EXPECT_EQ(Through(Msg(0xEF, 0x7F, 0x40)), Msg(0xEF, 0x7F, 0x40));  // pitch bend
    EXPECT_EQ(Through(Msg(0xB1, 7, 100)), Msg(0xB1, 7, 100));          // control change
}

TEST_F(KeyShiftTest, ShiftIsReadAfreshForEveryMessage) {
    g_KeyShift = 2;
    EXPECT_EQ(Through(Msg(0x90, 60, 100)), Msg(0x90, 62, 100));
    g_KeyShift = -2;
    EXPECT_EQ(Through(Msg(0x80, 60, 100)), Msg(0x80, 58, 127));
}

// ---- Timing clock filter and system messages -------------------------------------------------------------

class SystemMessageTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
};

TEST_F(SystemMessageTest, FilteredClockLeavesNoTrace) {
    ASSERT_EQ(g_SkipF8, 1);
    Play(Msg(0xF8));
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampIn, -1);
    EXPECT_EQ(g_LampOut, -1);
    EXPECT_EQ(g_Redraw, 0);
    EXPECT_EQ(window_.paints, 0);
    EXPECT_EQ(g_InputSilence, 500);  // the driver callback still counts as input
}

TEST_F(SystemMessageTest, UnfilteredClockLeavesUnchanged) {
    g_SkipF8 = 0;
    Play(Msg(0xF8));
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0xF8)});
    EXPECT_EQ(g_LampIn, 3);
    EXPECT_EQ(g_LampOut, 3);
}

TEST_F(SystemMessageTest, ActiveSensingAlwaysLeaves) {
    for (int skip : {1, 0}) {
        g_SkipF8 = skip;
        sim::ClearOutputLog();
        Play(Msg(0xFE));
        EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0xFE)}) << "skip " << skip;
    }
}

TEST_F(SystemMessageTest, SystemMessagesLeaveAsTheyCame) {
    // Neither the key shift nor the Note Off rule touches them, whatever their data bytes look like.
    g_KeyShift = 7;
    const std::vector<uint32_t> in{
        Msg(0xF2, 0x10, 0x20), Msg(0xF3, 5), Msg(0xF1, 0x35), Msg(0xFA), Msg(0xFC), Msg(0xFF)};
    for (uint32_t w : in) Play(w);
    EXPECT_EQ(SentWords(), in);
}

// ---- RPN tracker: foreign fine tuning is dropped --------------------------------------------------------

class RpnTrackerTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    void Select(uint8_t ch, uint8_t msb, uint8_t lsb) {
        Play(Msg(static_cast<uint8_t>(0xB0 | ch), 101, msb));
        Play(Msg(static_cast<uint8_t>(0xB0 | ch), 100, lsb));
    }
    // True when the data entry left the system.
    bool Passes(uint8_t ch, uint8_t controller, uint8_t value = 64) {
        sim::ClearOutputLog();
        Play(Msg(static_cast<uint8_t>(0xB0 | ch), controller, value));
        return SentWords() == std::vector<uint32_t>{Msg(static_cast<uint8_t>(0xB0 | ch), controller, value)};
    }
};

TEST_F(RpnTrackerTest, FineTuningDataEntryIsDroppedWhileItsSelectionPasses) {
    Select(1, 0, 1);  // channel 2
    EXPECT_EQ(SentWords(), (std::vector<uint32_t>{Msg(0xB1, 101, 0), Msg(0xB1, 100, 1)}));
    EXPECT_EQ(g_LampDrop, -1);

    g_LampIn = -1;
    const int paintsBefore = window_.paints;
    sim::ClearOutputLog();
    ASSERT_TRUE(sim::DeliverShort(Msg(0xB1, 6, 64)));
    sim::PumpOne();  // only the data entry itself, no timer tick in between
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampDrop, 50);
    EXPECT_EQ(g_LampIn, 3) << "a dropped message is still input";
    EXPECT_GE(PaintsQueued(), 1) << "the drop is shown at once, not at the next tick";
    sim::Pump();
    EXPECT_GT(window_.paints, paintsBefore);

    EXPECT_FALSE(Passes(1, 38, 0));
    EXPECT_FALSE(Passes(1, 6, 0));
    EXPECT_EQ(g_LampDrop, 50);
}

TEST_F(RpnTrackerTest, InspectionFlagsAreDropOneAndRetuneTwo) {
    EXPECT_EQ(mf_CheckControlChange(0xB2, 121, 0), 2);
    EXPECT_EQ(mf_CheckControlChange(0xB9, 121, 0), 0);
    EXPECT_EQ(mf_CheckControlChange(0xB2, 101, 0), 0);
    EXPECT_EQ(mf_CheckControlChange(0xB2, 100, 1), 0);
    EXPECT_EQ(mf_CheckControlChange(0xB2, 6, 64), 1);
    EXPECT_EQ(mf_CheckControlChange(0xB2, 38, 0), 1);
    EXPECT_EQ(mf_CheckControlChange(0xB2, 7, 100), 0);
    EXPECT_EQ(mf_CheckControlChange(0xB3, 6, 64), 0);
}

TEST_F(RpnTrackerTest, SelectionOrderDoesNotMatter) {
    Play(Msg(0xB4, 100, 1));
    Play(Msg(0xB4, 101, 0));
    EXPECT_FALSE(Passes(4, 6));
}

TEST_F(RpnTrackerTest, NullSelectionLetsDataEntryThroughAgain) {
    Select(1, 0, 1);
    ASSERT_FALSE(Passes(1, 6));
    Select(1, 127, 127);
    EXPECT_TRUE(Passes(1, 6));
    EXPECT_TRUE(Passes(1, 38));
}

TEST_F(RpnTrackerTest, DataEntryBeforeAnySelectionPasses) {
    for (uint8_t ch = 0; ch < 16; ++ch) {
        EXPECT_TRUE(Passes(ch, 6)) << "channel index " << int(ch);
        EXPECT_TRUE(Passes(ch, 38)) << "channel index " << int(ch);
    }
    EXPECT_EQ(g_LampDrop, -1);
}

TEST_F(RpnTrackerTest, OtherParametersAreNotTouched) {
    Select(0, 0, 0);  // pitch-bend sensitivity
    EXPECT_TRUE(Passes(0, 6, 12));
    Select(0, 1, 0);  // the halves of 0/1 swapped
    EXPECT_TRUE(Passes(0, 6));
    Select(0, 0, 2);  // coarse tuning
    EXPECT_TRUE(Passes(0, 6));
    // NRPN selection does not change the RPN selection either way.
    Select(0, 0, 1);
    Play(Msg(0xB0, 99, 127));
    Play(Msg(0xB0, 98, 127));
    EXPECT_FALSE(Passes(0, 6));
    // Other controllers pass while fine tuning is selected.
    EXPECT_TRUE(Passes(0, 7, 100));
    EXPECT_TRUE(Passes(0, 96, 0));  // data increment is not data entry
}

TEST_F(RpnTrackerTest, EachChannelKeepsItsOwnSelection) {
    Select(1, 0, 1);
    EXPECT_TRUE(Passes(2, 6));
    EXPECT_TRUE(Passes(0, 38));
    EXPECT_FALSE(Passes(1, 6));
}

TEST_F(RpnTrackerTest, PercussionChannelIsExempt) {
    Select(9, 0, 1);
    EXPECT_EQ(SentWords(), (std::vector<uint32_t>{Msg(0xB9, 101, 0), Msg(0xB9, 100, 1)}));
    EXPECT_TRUE(Passes(9, 6));
    EXPECT_TRUE(Passes(9, 38));
    EXPECT_EQ(g_LampDrop, -1);
}

TEST_F(RpnTrackerTest, OurOwnTuningDoesNotMoveTheTracker) {
    // Our tuning ends every channel on 127/127; the input's selection must survive it.
    Select(0, 0, 1);
    mf_SendMasterTune(-1);
    EXPECT_FALSE(Passes(0, 6));
    // And the 0/1 our tuning selects on the way must not start dropping the input's data entry.
    Select(2, 127, 127);
    mf_SendMasterTune(2);
    EXPECT_TRUE(Passes(2, 6));
    // Nor the reference tone's burst on channel 16.
    g_RefTone = 1;
    mf_RefTone();
    EXPECT_TRUE(Passes(15, 6));
}

TEST_F(RpnTrackerTest, SelectionSurvivesAnOutputSwitch) {
    Select(3, 0, 1);
    plat::MidiOutClose(g_MidiOutHandle);
    ASSERT_EQ(plat::MidiOutOpen(&g_MidiOutHandle, 0, MidiOutProc, 0), 0u);
    EXPECT_FALSE(Passes(3, 6));
}

// ---- Reset All Controllers is followed by that channel's tuning
// -----------------------------------------------

class ResetRetuneTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
};

TEST_F(ResetRetuneTest, ResetOnChannelThreeIsForwardedThenTunedAMillisecondLater) {
    g_Frequency = 4420;  // 442.0 Hz: MSB 0x45, LSB 0x03
    Play(Msg(0xB2, 121, 0));
    const auto events = sim::ShortMessages();
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].word, Msg(0xB2, 121, 0));
    std::vector<uint32_t> rest;
    for (size_t i = 1; i < events.size(); ++i) rest.push_back(events[i].word);
    EXPECT_EQ(rest, TuningFor(2, 0x45, 0x03));
    EXPECT_GE(events[1].timeUs - events[0].timeUs, 1000u);
    EXPECT_LT(events[1].timeUs - events[0].timeUs, 16000u);
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(g_LampIn, 3);
}

TEST_F(ResetRetuneTest, EveryTunedChannelIsRetunedAlone) {
    for (uint8_t ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        sim::ClearOutputLog();
        Play(Msg(static_cast<uint8_t>(0xB0 | ch), 121, 0));
        const auto sent = SentWords();
        ASSERT_EQ(sent.size(), 7u) << "channel index " << int(ch);
        for (uint32_t w : sent) EXPECT_EQ(w & 0xFF, 0xB0u | ch);
    }
}

TEST_F(ResetRetuneTest, ResetOnThePercussionChannelIsOnlyForwarded) {
    const uint64_t before = sim::NowUs();
    Play(Msg(0xB9, 121, 0));
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0xB9, 121, 0)});
    EXPECT_EQ(g_LampMasterTune, -1);
    EXPECT_EQ(sim::NowUs(), before) << "no wait either";
}

TEST_F(ResetRetuneTest, ResetIsForwardedEvenWhileFineTuningIsSelected) {
    Play(Msg(0xB4, 101, 0));
    Play(Msg(0xB4, 100, 1));
    sim::ClearOutputLog();
    Play(Msg(0xB4, 121, 0));
    const auto sent = SentWords();
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0], Msg(0xB4, 121, 0));
}

}  // namespace
}  // namespace kvntest
