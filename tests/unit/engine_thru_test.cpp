// Input hand-off from the driver and the short-message thru path: clock filter, key shift, the
// Note Off velocity rule, the RPN tracker that drops foreign fine tuning, and the retune that
// follows a Reset All Controllers.
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

using Words = std::vector<uint32_t>;

// Input lamp, output lamp, repaint request and tuning lamp.
std::tuple<int, int, int, int> Lamps() { return {g_LampIn, g_LampOut, g_Redraw, g_LampMasterTune}; }

class ThruTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    // The one message `word` becomes on the output.
    uint32_t Through(uint32_t word) {
        sim::ClearOutputLog();
        Play(word);
        const auto sent = SentWords();
        EXPECT_EQ(sent.size(), 1u);
        return sent.empty() ? 0 : sent[0];
    }
    void Select(int ch, uint8_t msb, uint8_t lsb) {
        Play(Msg(static_cast<uint8_t>(0xB0 | ch), 101, msb));
        Play(Msg(static_cast<uint8_t>(0xB0 | ch), 100, lsb));
    }
    // True when the control change left the system unchanged.
    bool Passes(int ch, uint8_t controller, uint8_t value = 64) {
        sim::ClearOutputLog();
        const uint32_t w = Msg(static_cast<uint8_t>(0xB0 | ch), controller, value);
        Play(w);
        return SentWords() == Words{w};
    }
};

TEST_F(ThruTest, DriverThreadOnlyPostsShortByValueAndSysExByBufferAddress) {
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100), 1234));
    ASSERT_EQ(sim::Queue().size(), 1u);
    const sim::Posted s = sim::Queue()[0];
    EXPECT_EQ(std::tie(s.wnd, s.msg, s.wParam, s.lParam),
              std::make_tuple(wnd_, 0x8000u, Msg(0x90, 60, 100), 1234));
    EXPECT_TRUE(SentWords().empty());
    EXPECT_EQ(g_LampIn, -1);
    sim::Pump();
    EXPECT_EQ(SentWords(), Words{Msg(0x90, 60, 100)});

    sim::ClearOutputLog();
    g_LampIn = -1;
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    ASSERT_EQ(sim::Queue().size(), 1u);
    const sim::Posted l = sim::Queue()[0];
    EXPECT_EQ(std::tie(l.wnd, l.msg, l.wParam, l.lParam),
              std::make_tuple(wnd_, 0x8001u, reinterpret_cast<uintptr_t>(g_MidiInHandle),
                              reinterpret_cast<intptr_t>(g_MidiInHeader)));
    EXPECT_TRUE(sim::OutputLog().empty());
    g_MidiInHandle = nullptr;  // handled after the input closed: ignored
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampIn, -1);
}

TEST_F(ThruTest, EveryKindOfCallbackRefreshesTheSilenceButOnlyDataIsPosted) {
    for (uint32_t msg : {plat::kMimOpen, plat::kMimClose, plat::kMimError, plat::kMimLongError, 0x3FFu}) {
        g_InputSilence = 3;
        MidiInProc(g_MidiInHandle, msg, 0, 0x90, 0);
        EXPECT_EQ(g_InputSilence, 500) << "message " << msg;
    }
    EXPECT_TRUE(sim::Queue().empty());
    g_ThruConnect = 1;  // with connection thru on, data refreshes it too and is posted to nobody
    g_InputSilence = 3;
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));
    EXPECT_EQ(g_InputSilence, 500);
    EXPECT_TRUE(sim::Queue().empty());
}

TEST_F(ThruTest, MessagesPostedBeforeTheLinkOnlyLightTheLamps) {
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));
    ASSERT_TRUE(sim::DeliverShort(Msg(0xB0, 121, 0)));
    g_ThruConnect = 1;  // the link is made while the messages wait in the queue
    sim::Pump();
    EXPECT_TRUE(SentWords().empty());
    EXPECT_EQ(Lamps(), std::make_tuple(3, 3, 1, -1));
    // While the input lamp counts, the output lamp is left as it is.
    g_LampIn = 2;
    g_LampOut = -1;
    g_Redraw = 0;
    mf_ShortMsgIn(Msg(0x90, 60, 100));
    EXPECT_EQ(Lamps(), std::make_tuple(2, -1, 0, -1));
}

TEST_F(ThruTest, EveryShiftKeepsEveryNoteInRangeAndInItsPitchClass) {
    // Read afresh for every message; Note Off is shifted like its Note On and leaves with velocity 127.
    for (int shift = -7; shift <= 7; ++shift) {
        g_KeyShift = shift;
        for (int note = 0; note <= 127; ++note) {
            const int want = note + shift < 0     ? note + shift + 12
                             : note + shift > 127 ? note + shift - 12
                                                  : note + shift;
            const auto n = static_cast<uint8_t>(note), w = static_cast<uint8_t>(want);
            ASSERT_EQ(Through(Msg(0x93, n, 90)), Msg(0x93, w, 90)) << "shift " << shift << " note " << note;
            ASSERT_EQ(Through(Msg(0x8C, n, 5)), Msg(0x8C, w, 127)) << "shift " << shift << " note " << note;
        }
    }
}

TEST_F(ThruTest, ShiftAndVelocityRuleTouchOnlyWhatTheyShould) {
    g_KeyShift = -3;
    EXPECT_EQ(Through(Msg(0x90, 60, 0)), Msg(0x90, 57, 0));  // Note On velocity 0 keeps it
    g_KeyShift = 5;                                          // the percussion channel is never shifted
    for (uint8_t note : {0, 36, 127}) EXPECT_EQ(Through(Msg(0x99, note, 100)), Msg(0x99, note, 100));
    EXPECT_EQ(Through(Msg(0x89, 36, 10)), Msg(0x89, 36, 127));
    for (uint32_t w :
         {Msg(0xA0, 60, 33), Msg(0xC2, 60), Msg(0xD4, 60), Msg(0xEF, 0x7F, 0x40), Msg(0xB1, 7, 100)})
        EXPECT_EQ(Through(w), w) << std::hex << w;
}

TEST_F(ThruTest, ClockFilterAndSystemMessages) {
    ASSERT_EQ(g_SkipF8, 1);
    Play(Msg(0xF8));
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(Lamps(), std::make_tuple(-1, -1, 0, -1));
    EXPECT_EQ(window_.paints, 0);
    EXPECT_EQ(Through(Msg(0xFE)), Msg(0xFE));  // active sensing always leaves
    EXPECT_EQ(Lamps(), std::make_tuple(3, 3, 1, -1));
    g_SkipF8 = 0;
    EXPECT_EQ(Through(Msg(0xF8)), Msg(0xF8));
    // Neither the key shift nor the Note Off rule touches them, whatever their data bytes look like.
    g_KeyShift = 7;
    sim::ClearOutputLog();
    const Words in{Msg(0xF2, 0x10, 0x20), Msg(0xF3, 5), Msg(0xF1, 0x35), Msg(0xFA), Msg(0xFC), Msg(0xFF)};
    for (uint32_t w : in) Play(w);
    EXPECT_EQ(SentWords(), in);
}

TEST_F(ThruTest, FineTuningDataEntryIsDroppedAndShownAtOnceWhileItsSelectionPasses) {
    Select(1, 0, 1);
    EXPECT_EQ(SentWords(), (Words{Msg(0xB1, 101, 0), Msg(0xB1, 100, 1)}));
    EXPECT_EQ(g_LampDrop, -1);
    g_LampIn = -1;
    sim::ClearOutputLog();
    ASSERT_TRUE(sim::DeliverShort(Msg(0xB1, 6, 64)));
    sim::PumpOne();  // only the data entry itself, no timer tick in between
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampDrop, 50);
    EXPECT_EQ(g_LampIn, 3) << "a dropped message is still input";
    sim::Pump();
    EXPECT_GT(window_.paints, 0) << "the drop is shown at once, not at the next tick";
    EXPECT_FALSE(Passes(1, 38, 0));
    EXPECT_FALSE(Passes(1, 6, 0));
}

TEST_F(ThruTest, TrackerFollowsEachChannelsRpnSelection) {
    for (int ch = 0; ch < 16; ++ch)
        EXPECT_TRUE(Passes(ch, 6) && Passes(ch, 38)) << "no selection yet, " << ch;
    Play(Msg(0xB4, 100, 1));  // either order selects
    Play(Msg(0xB4, 101, 0));
    EXPECT_FALSE(Passes(4, 6));
    EXPECT_TRUE(Passes(3, 6));  // each channel keeps its own
    EXPECT_TRUE(Passes(5, 38));
    Select(4, 127, 127);  // the null selection lets it through again
    EXPECT_TRUE(Passes(4, 6) && Passes(4, 38));
    for (const auto& [msb, lsb] : {std::pair<uint8_t, uint8_t>{0, 0}, {1, 0}, {0, 2}, {1, 1}}) {
        Select(0, msb, lsb);  // other parameters
        EXPECT_TRUE(Passes(0, 6, 12)) << int(msb) << "/" << int(lsb);
    }
    Select(0, 0, 1);
    Play(Msg(0xB0, 99, 127));  // NRPN selection leaves the RPN selection alone
    Play(Msg(0xB0, 98, 127));
    EXPECT_FALSE(Passes(0, 6));
    EXPECT_TRUE(Passes(0, 7, 100));
    EXPECT_TRUE(Passes(0, 96, 0));  // data increment is not data entry
    Select(9, 0, 1);                // the percussion channel is exempt
    EXPECT_TRUE(Passes(9, 6) && Passes(9, 38));
    g_LampDrop = 30;  // every drop re-arms the lamp, even while it counts
    EXPECT_FALSE(Passes(0, 38));
    EXPECT_EQ(g_LampDrop, 50);
}

TEST_F(ThruTest, TrackerIsMovedOnlyByTheInput) {
    // Our tuning ends every channel on 127/127; the input's selection must survive it.
    Select(0, 0, 1);
    mf_SendMasterTune(-1);
    EXPECT_FALSE(Passes(0, 6));
    // And the 0/1 our tuning selects on the way must not start dropping the input's data entry.
    Select(2, 127, 127);
    mf_SendMasterTune(2);
    EXPECT_TRUE(Passes(2, 6));
    g_RefTone = 1;  // nor the reference tone's burst on channel 16
    mf_RefTone();
    EXPECT_TRUE(Passes(15, 6));
    Select(3, 0, 1);  // the selection survives an output switch
    plat::MidiOutClose(g_MidiOutHandle);
    ASSERT_EQ(plat::MidiOutOpen(&g_MidiOutHandle, 0, MidiOutProc, 0), 0u);
    EXPECT_FALSE(Passes(3, 6));
}

TEST_F(ThruTest, ResetIsForwardedThenItsChannelTunedAMillisecondLater) {
    g_Frequency = 4420;  // 442.0 Hz: MSB 0x45, LSB 0x03
    Select(4, 0, 1);     // forwarded even while fine tuning is selected
    for (int ch = 0; ch < 16; ++ch) {
        const auto s = static_cast<uint8_t>(0xB0 | ch);
        sim::ClearOutputLog();
        g_LampMasterTune = -1;
        const uint64_t before = sim::NowUs();
        Play(Msg(s, 121, 0));
        Words want{Msg(s, 121, 0)};
        if (ch != 9) {
            want.insert(want.end(), {Msg(s, 101, 0), Msg(s, 100, 1), Msg(s, 6, 0x45), Msg(s, 38, 0x03),
                                     Msg(s, 101, 127), Msg(s, 100, 127)});
        }
        EXPECT_EQ(SentWords(), want) << "channel index " << ch;
        EXPECT_EQ(g_LampMasterTune, ch == 9 ? -1 : 10);
        // On the percussion channel it is only forwarded, without a wait.
        const auto events = sim::ShortMessages();
        const uint64_t pause = ch == 9 ? sim::NowUs() - before : events.at(1).timeUs - events[0].timeUs;
        EXPECT_TRUE(ch == 9 ? pause == 0 : pause >= 1000 && pause < 16000) << pause;
    }
}

}  // namespace
}  // namespace kvntest
