// The engine beyond what oracle_stream_test compares message by message: the hand-off on the
// driver's thread, lamps and repaints, the tuning at every pitch and off the grid, the output-wide
// commands and the timer.
#include <tuple>
#include <vector>

#include "tests/oracle/model.h"
#include "tests/support/engine_fixture.h"

namespace kvntest {
namespace {

using Words = std::vector<uint32_t>;

uint32_t Cc(int status, int controller, int value = 0) {
    return uint32_t(status) | uint32_t(controller) << 8 | uint32_t(value) << 16;
}
Words Join(std::initializer_list<Words> parts) {
    Words out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Words OnAllChannels(int controller) {
    Words out;
    for (int ch = 0; ch < 16; ++ch) out.push_back(Cc(0xB0 | ch, controller));
    return out;
}
Words AsWords(const std::vector<oracle::Bytes>& run) {
    Words out;
    for (const auto& b : run) out.push_back(Cc(b[0], b[1], b[2]));
    return out;
}
// Input lamp, output lamp, repaint request, tuning lamp.
std::tuple<int, int, int, int> Lamps() { return {g_LampIn, g_LampOut, g_Redraw, g_LampMasterTune}; }

class EngineOpen : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        OpenPortsDirect();
    }
    Words Tune(int channel) {
        sim::ClearOutputLog();
        mf_SendMasterTune(channel);
        return SentWords();
    }
};

TEST_F(EngineOpen, DriverThreadOnlyRefreshesTheSilenceAndPostsDataWhileNotLinked) {
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100), 1234));
    ASSERT_EQ(sim::Queue().size(), 1u);
    const sim::Posted s = sim::Queue()[0];
    EXPECT_EQ(std::tie(s.wnd, s.msg, s.wParam, s.lParam),
              std::make_tuple(wnd_, 0x8000u, Msg(0x90, 60, 100), 1234));
    EXPECT_TRUE(SentWords().empty());
    sim::Pump();
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}));
    const sim::Posted l = sim::Queue().at(0);
    EXPECT_EQ(std::tie(l.wnd, l.msg, l.wParam, l.lParam),
              std::make_tuple(wnd_, 0x8001u, reinterpret_cast<uintptr_t>(g_MidiInHandle),
                              reinterpret_cast<intptr_t>(g_MidiInHeader)));
    sim::ClearOutputLog();
    g_MidiInHandle = nullptr;  // handled after the input closed: ignored
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    for (uint32_t msg : {plat::kMimOpen, plat::kMimClose, plat::kMimError, plat::kMimLongError, 0x3FFu}) {
        g_InputSilence = 3;
        MidiInProc(g_MidiInHandle, msg, 0, 0x90, 0);
        EXPECT_EQ(g_InputSilence, 500) << msg;
    }
    EXPECT_TRUE(sim::Queue().empty());
    // Messages posted before the link was made only light the lamps.
    ASSERT_TRUE(sim::DeliverShort(Msg(0xB0, 121, 0)));
    g_ThruConnect = 1;
    for (Atomic32* lamp : kLamps) *lamp = kLampIdle;
    g_Redraw = 0;
    g_InputSilence = 3;
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));  // linked: refreshed and posted to nobody
    EXPECT_EQ(g_InputSilence, 500);
    sim::Pump();
    EXPECT_TRUE(SentWords().empty());
    EXPECT_EQ(Lamps(), std::make_tuple(3, 3, 1, -1));
    g_LampIn = 2;  // while the input lamp counts, the output lamp is left as it is
    g_LampOut = -1;
    g_Redraw = 0;
    mf_ShortMsgIn(Msg(0x90, 60, 100));
    EXPECT_EQ(Lamps(), std::make_tuple(2, -1, 0, -1));
}

TEST_F(EngineOpen, LampsOfThePassedTheFilteredAndTheDropped) {
    Play(Msg(0xF8));  // the clock filter arms nothing
    EXPECT_EQ(Lamps(), std::make_tuple(-1, -1, 0, -1));
    EXPECT_EQ(window_.paints, 0);
    Play(Msg(0xFE));
    EXPECT_EQ(Lamps(), std::make_tuple(3, 3, 1, -1));
    Play(Msg(0xB1, 101, 0));
    Play(Msg(0xB1, 100, 1));
    EXPECT_EQ(g_LampDrop, -1);
    g_LampIn = -1;
    ASSERT_TRUE(sim::DeliverShort(Msg(0xB1, 6, 64)));
    sim::PumpOne();
    EXPECT_EQ(g_LampDrop, 50);
    EXPECT_EQ(g_LampIn, 3) << "a dropped message is still input";
    sim::Pump();
    EXPECT_GT(window_.paints, 0) << "the drop is shown at once, not at the next tick";
    g_LampDrop = 30;  // every drop re-arms the lamp, even while it counts
    Play(Msg(0xB1, 38, 0));
    EXPECT_EQ(g_LampDrop, 50);
}

TEST_F(EngineOpen, ResetAllControllersIsTunedAMillisecondLaterExceptOnChannelTen) {
    for (int ch : {4, 9}) {
        sim::ClearOutputLog();
        g_LampMasterTune = -1;
        const uint64_t before = sim::NowUs();
        Play(Msg(uint8_t(0xB0 | ch), 121, 0));
        const auto sent = sim::ShortMessages();
        if (ch == 9) {
            EXPECT_EQ(sent.size(), 1u);
            EXPECT_EQ(sim::NowUs(), before);
            EXPECT_EQ(g_LampMasterTune, -1);
        } else {
            ASSERT_EQ(sent.size(), 7u);
            EXPECT_GE(sent[1].timeUs - sent[0].timeUs, 1000u);
            EXPECT_LT(sent[1].timeUs - sent[0].timeUs, 16000u);
            EXPECT_EQ(g_LampMasterTune, 10);
        }
    }
}

TEST_F(EngineOpen, TuningAtEveryPitchOffTheGridAndPastTheEnds) {
    for (int tenths = 4350; tenths <= 4455; tenths += 5) {
        g_Frequency = tenths;
        EXPECT_EQ(Tune(-1), AsWords(oracle::TuningAll(tenths / 10.0))) << tenths;
        for (const auto& e : sim::ShortMessages()) ASSERT_EQ(e.timeUs, sim::ShortMessages()[0].timeUs);
    }
    // Off the grid: the half hertz of its whole hertz; stepped past either end: clamped.
    const std::pair<int, double> cases[] = {{4351, 435.5}, {4359, 435.5}, {4401, 440.5}, {4454, 445.5},
                                            {4340, 435.0}, {4345, 435.5}, {4349, 435.5}, {4456, 445.5},
                                            {4460, 445.0}, {4461, 445.5}, {4475, 445.5}};
    for (const auto& [tenths, hz] : cases) {
        g_Frequency = tenths;
        EXPECT_EQ(Tune(0), AsWords(oracle::Tuning(0, hz))) << tenths;
    }
    for (int ch : {9, 15}) {
        g_LampMasterTune = 4;
        g_Redraw = 0;
        EXPECT_EQ(Tune(ch).size(), ch == 9 ? 0u : 6u);
        EXPECT_EQ(std::make_pair(int(g_LampMasterTune), int(g_Redraw)), std::make_pair(10, 1));
    }
    EXPECT_EQ(sim::Pump(), 0) << "a request, not an immediate paint";
    g_LampOut = 1;  // the output lamp follows the activity rule
    Tune(-1);
    EXPECT_EQ(g_LampOut, 1);
}

TEST_F(EngineOpen, RefTonePressesSoundMuteAndSwitchLevels) {
    auto press = [](int32_t button) {
        sim::ClearOutputLog();
        g_RefTone = mf_NextRefTone(g_RefTone, button);
        mf_RefTone();
        return SentWords();
    };
    auto tone = [](int velocity, double hz = 440.0) {
        const Words head =
            Join({{Cc(0xBF, 123), Cc(0xBF, 120), Cc(0xBF, 121)}, AsWords(oracle::Tuning(15, hz))});
        if (velocity == 0) return Join({head, {Cc(0xBF, 7), Cc(0xBF, 11)}});
        return Join({head, {Cc(0xBF, 7, 127), Cc(0xBF, 11, 127), Cc(0xCF, 74), Cc(0x9F, 69, velocity)}});
    };
    // Soft = 1, loud = 2: each button switches its own level on and off and the other's level over.
    const int steps[][3] = {{1, 1, 100}, {1, 0, 0}, {2, 2, 127}, {1, 1, 100}, {2, 2, 127}, {2, 0, 0}};
    for (const auto& s : steps) {
        EXPECT_EQ(press(s[0]), tone(s[2])) << s[0] << " -> " << s[1];
        EXPECT_EQ(g_RefTone, s[1]);
    }
    // It follows the pitch, ignores the key shift and sounds through connection thru.
    g_Frequency = 4385;
    g_KeyShift = -7;
    g_ThruConnect = 1;
    EXPECT_EQ(press(2), tone(127, 438.5));
    EXPECT_EQ(g_LampMasterTune, 10);
}

TEST_F(EngineOpen, ThruOnJoinsThenSilencesAndOffUnjoinsRetunesThenSilences) {
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Connect);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_LampMasterTune, -1);
    sim::ClearOutputLog();
    g_Frequency = 4450;
    mf_ThruConnect(0);
    g_ThruConnect = 0;
    ASSERT_EQ(sim::OutputLog().size(), 1u + 90 + 32);
    EXPECT_EQ(sim::OutputLog()[0].kind, sim::Event::Disconnect);
    EXPECT_EQ(SentWords(), Join({AsWords(oracle::TuningAll(445.0)), OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(g_LampMasterTune, 10);
}

TEST_F(EngineTest, ThruWithAMissingPort) {
    // No input: the flag is cleared and nothing is joined; the silencing still goes out.
    OpenPortsDirect(0, /*withInput=*/false);
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_EQ(SentWords(), Join({OnAllChannels(123), OnAllChannels(120)}));
    EXPECT_EQ(sim::OutputLog().size(), 32u);
    // Off with no ports at all: nothing is sent, and the tuning lamp still lights.
    plat::MidiOutClose(g_MidiOutHandle);
    g_MidiOutHandle = nullptr;
    sim::ClearOutputLog();
    mf_ThruConnect(0);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampMasterTune, 10);
}

// ---- The timer ----

TEST_F(EngineTest, TimerPeriodAndOneTimerAtMost) {
    // {minimum period, warning boxes, begin/end period calls}
    for (const auto& [min, boxes, calls] : {std::tuple{1u, 0u, 0}, {2u, 1u, 1}, {0u, 0u, 1}}) {
        ResetEverything();
        sim::SetTimeCaps(min, 1000000);
        mf_TimerInitialize();
        EXPECT_EQ(sim::Boxes().size(), boxes) << min;
        EXPECT_EQ(sim::BeginPeriodCalls(), calls) << min;
        mf_TimerEndPeriod();
        EXPECT_EQ(sim::EndPeriodCalls(), calls) << min;
    }
    mf_TimerStart();
    const uint32_t first = g_TimerId;
    mf_TimerStart();
    EXPECT_EQ(g_TimerId, first);
    g_LampPanic = 5;  // two timers would lower it twice per tick
    sim::Tick();
    EXPECT_EQ(g_LampPanic, 4);
    mf_TimerKill();
    EXPECT_EQ(g_TimerId, 0u);
    EXPECT_FALSE(sim::TimerRunning());
    sim::SetTimerFails(true);  // a failed start leaves the id at 0, so a later start is accepted
    mf_TimerStart();
    sim::SetTimerFails(false);
    mf_TimerStart();
    EXPECT_TRUE(sim::TimerRunning());
}

// A countdown of a layer above, handed to the tick as the panel hands it its icon blink.
Atomic32 g_Blink{kLampIdle};

// Records what the panel would find when it draws.
class SnapshotWindow final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t, intptr_t) override {
        if (msg == plat::kWmPaint) seen.push_back({g_LampIn, g_Blink});
        return 0;
    }
    std::vector<std::pair<int32_t, int32_t>> seen;  // input lamp, blink phase
};

class LampTest : public EngineOpen {
protected:
    void SetUp() override {
        EngineOpen::SetUp();
        g_Blink = kLampIdle;
        mf_TimerAlsoLowers(g_Blink);
        mf_TimerStart();
    }
    std::vector<Atomic32*> countdowns_ = [] {
        std::vector<Atomic32*> all(std::begin(kLamps), std::end(kLamps));
        all.push_back(&g_Blink);
        return all;
    }();
};

TEST_F(LampTest, ActivityLampCountsDownAndOnlyTrafficAtRestReArmsIt) {
    // {ticks, then a note or not, the lamps after}
    const std::tuple<int, bool, std::tuple<int, int, int>> steps[] = {
        {0, true, {3, 3, 1}}, {1, true, {2, 2, 0}},    {1, false, {1, 1, 0}},
        {1, true, {0, 0, 0}}, {2, false, {-1, -1, 0}}, {0, true, {3, 3, 1}}};
    for (const auto& [ticks, note, lamps] : steps) {
        sim::Tick(ticks);
        sim::Pump();
        if (note) Play(Msg(0x90, 60, 100));
        EXPECT_EQ(std::make_tuple(int(g_LampIn), int(g_LampOut), int(g_Redraw)), lamps) << ticks << note;
    }
}

TEST_F(LampTest, EveryCountdownFallsByOnePerTickAndManyRequestsMakeOnePaint) {
    for (Atomic32* c : countdowns_) *c = 5;
    sim::Tick();
    for (const Atomic32* c : countdowns_) EXPECT_EQ(*c, 4);
    sim::Tick(20);
    for (const Atomic32* c : countdowns_) EXPECT_EQ(*c, -1);
    sim::Pump();
    sim::Tick(50);
    EXPECT_EQ(sim::Pump(), 0) << "idle ticks post nothing";

    window_.paints = 0;
    for (int i = 0; i < 20; ++i) Play(Msg(0x90, 60, 100));
    mf_SendMasterTune(-1);
    EXPECT_EQ(window_.paints, 0) << "requests wait for the tick";
    sim::Tick();
    ASSERT_EQ(sim::Queue().size(), 1u);
    EXPECT_EQ(std::tie(sim::Queue()[0].wnd, sim::Queue()[0].msg), std::make_tuple(wnd_, plat::kWmPaint));
    sim::Pump();
    sim::Tick();  // the lamps are still counting: no new request, no new paint
    sim::Pump();
    EXPECT_EQ(window_.paints, 1);
}

TEST_F(LampTest, ARunOutCostsExactlyOnePaintWhichFindsTheCountdownAlreadyIdle) {
    SnapshotWindow panel;
    g_PanelWnd = sim::CreateTestWindow(&panel);
    g_LampPanic = 70;
    for (int tick = 1; tick <= 75; ++tick) {
        sim::Tick();
        sim::Pump();
        EXPECT_EQ(panel.seen.size(), tick >= 71 ? 1u : 0u) << "tick " << tick;
    }
    // A blink phase asks for no repaint of its own; the icon blink relies on the run-out paint
    // finding it at -1.
    panel.seen.clear();
    g_Blink = 2;
    sim::Tick(2);
    sim::Pump();
    EXPECT_TRUE(panel.seen.empty()) << "no paint while the phase counts 2, 1, 0";
    sim::Tick();
    sim::Pump();
    g_LampIn = 1;
    sim::Tick(2);
    sim::Pump();
    EXPECT_EQ(panel.seen, (std::vector<std::pair<int32_t, int32_t>>{{-1, -1}, {-1, -1}}));
}

TEST_F(LampTest, FamilyClearsOnTheTickAfterFiveSecondsWithoutAnyInputCallback) {
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7}));
    sim::Pump();
    ASSERT_EQ(g_SysExFamily, 1);
    sim::Tick(400);
    MidiInProc(g_MidiInHandle, plat::kMimError, 0, 0, 0);  // an error report counts as input too
    sim::Tick(500);
    sim::Pump();
    EXPECT_EQ(g_SysExFamily, 1) << "500 ticks of silence have only just passed";
    const int paints = window_.paints;
    sim::Tick();
    EXPECT_EQ(g_SysExFamily, -1);
    sim::Pump();
    EXPECT_EQ(window_.paints, paints + 1);
}

}  // namespace
}  // namespace kvntest
