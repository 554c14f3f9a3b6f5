// SysEx beyond what oracle_stream_test compares: timing, lamps and family, user rows and the length
// limit; the wait for the driver's completion, the recoveries from a faulty output, and who holds
// the one input buffer at each moment.
#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/engine_fixture.h"
#include "tests/support/output_trace.h"

namespace kvntest {
namespace {

using Bytes = std::vector<uint8_t>;

// "F0 41 10" -> {0xF0, 0x41, 0x10}
Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

// `head`, then filler bytes, then F7, `total` bytes in all.
Bytes Padded(const std::string& head, size_t total) {
    Bytes out = Hex(head);
    while (out.size() + 1 < total) out.push_back(0x01);
    out.push_back(0xF7);
    return out;
}

std::vector<Bytes> LongsSent() {
    std::vector<Bytes> out;
    for (const auto& e : sim::OutputLog()) {
        if (e.kind == sim::Event::Long) out.push_back(e.data);
    }
    return out;
}

int AddBufferCalls() {
    int n = 0;
    for (const auto& e : sim::InputLog()) n += (e.kind == sim::InKind::AddBuffer && e.result == 0);
    return n;
}

// Lamps in, out, drop and tune, family, paints, repaint request and input buffers queued with the
// driver, as one value.
using State = std::tuple<int, int, int, int, int, int, int, int>;

const Bytes kA = Hex("F0 7D 01 F7"), kB = Hex("F0 7D 02 F7"), kC = Hex("F0 7D 03 F7");
constexpr const char* kGsReset = "F0 41 10 42 12 40 00 7F 00 41 F7";
constexpr const char* kGsTune = "F0 41 10 42 12 40 00 00 00 04 00 00 3C F7";

class SysExTest : public EngineTest {
protected:
    // Start-up as the application does it: input "Keyboard" and output "Synth" (device 0), the
    // input started; then quiet logs and lamps.
    void SetUp() override {
        EngineTest::SetUp();
        sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        g_MidiOutDeviceName = "Synth";
        mf_DeviceInitialize();
        mf_MidiInStart();
        ASSERT_EQ(sim::QueuedInputBuffers(), 1);
        Quiet();
    }
    void Quiet() {
        sim::Pump();
        sim::ClearLogs();
        sim::ClearBoxes();
        for (Atomic32* lamp : {&g_LampIn, &g_LampOut, &g_LampDrop, &g_LampMasterTune}) *lamp = kLampIdle;
        g_Redraw = 0;
        window_.paints = 0;
    }
    void Fresh() { TearDown(), SetUp(); }
    // Through the input driver, then everything it posted is handled.
    static void Receive(const Bytes& bytes) {
        ASSERT_TRUE(sim::DeliverSysEx(bytes)) << "no input buffer was with the driver";
        sim::Pump();
    }
    // Puts a message in the input buffer for the recogniser alone.
    static uint8_t Check(const Bytes& bytes) {
        std::copy(bytes.begin(), bytes.end(), g_MidiInHeader->lpData);
        g_MidiInHeader->dwBytesRecorded = static_cast<uint32_t>(bytes.size());
        return mf_CheckSysEx();
    }
    State Now() const {
        return {g_LampIn,      g_LampOut,      g_LampDrop, g_LampMasterTune,
                g_SysExFamily, window_.paints, g_Redraw,   sim::QueuedInputBuffers()};
    }
    static void ExpectOneBox(const std::string& text) {
        ASSERT_EQ(sim::Boxes().size(), 1u);
        const sim::Box& b = sim::Boxes()[0];
        EXPECT_EQ(std::tie(b.text, b.caption, b.style), std::make_tuple(text, "Korvane", plat::kMbOk));
    }
};

// ================================ Recognition ====================================================

TEST_F(SysExTest, AResetIsSentAtOnceAndTuned16msLaterAMasterTuneDroppedAndShownAtOnce) {
    // Which messages pass, drop and retune is the oracle's (oracle_stream_test); here the timing,
    // the lamps and the family.
    const uint64_t t0 = sim::NowUs();
    Receive(Hex(kGsReset));
    const uint64_t sent = sim::OutputLog().at(0).timeUs;
    EXPECT_LE(sent - t0, 200u);  // the output was idle: no wait
    EXPECT_EQ(Trace(sent), Expect(0).Add("Long 11").At(16000).Tuning().v);
    EXPECT_EQ(Now(), (State{3, 3, -1, 10, 1, 0, 1, 1}));  // repaints are only requested
    Quiet();
    g_SysExFamily = 2;
    Receive(Hex(kGsTune));
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(Now(), (State{-1, -1, 50, -1, 1, 1, 1, 1}));
    sim::Tick(20);  // steady dropping keeps the lamp lit
    Receive(Hex(kGsTune));
    EXPECT_EQ(g_LampDrop, 50);
}

TEST_F(SysExTest, ThirtyBytesAreInspectedThirtyOneAreNot) {
    EXPECT_EQ(Check(Padded(kGsReset, 30)), kFlagRetune);
    EXPECT_EQ(std::strlen(g_SysExText), 89u);
    EXPECT_EQ(Check(Padded(kGsTune, 30)), kFlagDrop);
    g_SysExFamily = 2;
    EXPECT_EQ(Check(Padded(kGsReset, 31)) | Check(Padded(kGsTune, 31)), 0);
    EXPECT_EQ(g_SysExFamily, 2);  // longer messages don't touch the family
}

TEST_F(SysExTest, FamilyFollowsTheMakerAndOnlyAChangeAsksForARepaint) {
    const struct {
        const char* msg;
        int before, after;
    } cases[] = {{"F0 7E 00 F7", -1, 0},  {"F0 7F 00 F7", 2, 0}, {"F0 41 00 F7", 0, 1},
                 {"F0 41 00 F7", 1, 1},   {"F0 43 00 F7", 1, 2}, {"F0 44 00 F7", 1, 1},
                 {"F0 42 00 F7", -1, -1}, {"41 F0 F7", 2, 2}};
    for (const auto& c : cases) {
        g_SysExFamily = c.before;
        g_Redraw = 0;
        Check(Hex(c.msg));
        EXPECT_EQ(g_SysExFamily, c.after) << c.msg;
        EXPECT_EQ(g_Redraw, int(c.before != c.after)) << c.msg;
    }
}

TEST_F(SysExTest, UserRowsMatchCharacterByCharacterAsFarAsTheShorterGoes) {
    const uint8_t kBoth = kFlagRetune | kFlagDrop;
    // User rows: case and spacing count; '*' is any one character, the blank included; an empty
    // row matches nothing and does not end the search.
    const char* kXg = "F0 43 10 4C 08 00 00 00 F7";
    const struct {
        const char *ignore5, *trigger8, *msg;
        uint8_t flags;
    } user[] = {{"F0 43 10 4c 08", "", kXg, 0},
                {"f0 43", "", kXg, 0},
                {"F0  43", "", kXg, 0},
                {"F0 43 10 4C 08", "", kXg, kFlagDrop},
                {"", "F0 7D 01 F7 ab", "F0 7D 01 F7", kFlagRetune},
                {"", "F0*7D", "F0 7D 01 F7", kFlagRetune},
                {"", "", "F0 7D 05 F7", 0},
                {"", "F0 7D 05", "F0 7D 05 F7", kFlagRetune}};
    for (const auto& u : user) {
        g_IgnoreTable[5] = u.ignore5;
        g_TriggerTable[8] = u.trigger8;
        EXPECT_EQ(Check(Hex(u.msg)), u.flags) << u.ignore5 << " / " << u.trigger8;
    }
    g_IgnoreTable[8] = "F0 7D ** F7";  // behind empty rows
    EXPECT_EQ(Check(Hex("F0 7D 05 F7")), kBoth);

    // The user row alone: short messages would otherwise also begin some built-in rows.
    for (auto* t : {g_IgnoreTable, g_TriggerTable}) std::fill(t, t + kTableRows, "");
    g_TriggerTable[6] = "F0 41 1* ** 12";
    for (const char* m : {"F0 41 1F 00 12 7F F7", "F0 41 10"}) EXPECT_EQ(Check(Hex(m)), kFlagRetune) << m;
    for (const char* m : {"F0 41 0F 42 12 01 F7", "F0 41 10 42 11 01 F7"}) EXPECT_EQ(Check(Hex(m)), 0) << m;
}

TEST_F(SysExTest, AMessageInBothTablesIsDroppedAndStillRetunes) {
    g_IgnoreTable[5] = "F0 7E ** ** 01 F7";  // the GM1 reset, also a Trigger row
    const uint64_t t0 = sim::NowUs();
    Receive(Hex("F0 7E 7F 09 01 F7"));
    EXPECT_TRUE(LongsSent().empty());
    EXPECT_EQ(Trace(t0), Expect(0).At(16000).Tuning().v);
    EXPECT_EQ(Now(), (State{-1, 3, 50, 10, 0, 1, 1, 1}));
    ASSERT_EQ(AddBufferCalls(), 1);
    EXPECT_EQ(sim::InputLog().back().timeUs, t0);  // the buffer went back before the pause, not after
}

// ================================ Who holds the input buffer =====================================

TEST_F(SysExTest, WithoutAnOutputSysExIsIgnoredButInputKeepsFlowing) {
    mf_MidiOutClose();
    Quiet();
    g_SysExFamily = -1;
    g_SysExLength = 7;
    for (int i = 0; i < 3; ++i) Receive(Hex(kGsReset));
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(Now(), (State{-1, -1, -1, -1, -1, 0, 0, 1}));  // not even examined
    EXPECT_EQ(g_SysExLength, 7);
}

TEST_F(SysExTest, EmptyOrStaleLongDataIsIgnored) {
    plat::MidiInReset(g_MidiInHandle);  // the driver returns the queued buffer with nothing in it
    sim::ClearInputLog();
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());  // not queued again
    EXPECT_EQ(Now(), (State{-1, -1, -1, -1, -1, 0, 0, 0}));
    EXPECT_EQ(g_LongInPosted, 0);

    // Filled by an input closed since, handled after a switch opened another: the buffer is the new port's.
    const Bytes reset = Hex("F0 7E 7F 09 01 F7");
    std::copy(reset.begin(), reset.end(), g_MidiInHeader->lpData);
    g_MidiInHeader->dwBytesRecorded = static_cast<uint32_t>(reset.size());
    int stale = 0;
    plat::PostWindowMessage(wnd_, kMsgLongIn, reinterpret_cast<uintptr_t>(&stale),
                            reinterpret_cast<intptr_t>(g_MidiInHeader));
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());

    mf_MidiInStart();  // starting the input again brings SysEx back
    Receive(kA);
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{kA});
}

TEST_F(SysExTest, ACompletionNeverTakesTheBufferOfASysExThatWaits) {
    // Completion posted ahead of the next SysEx.
    Receive(kA);
    sim::Advance(2000);
    ASSERT_EQ(sim::Queue().size(), 1u);
    ASSERT_TRUE(sim::DeliverSysEx(kB));
    ASSERT_EQ(sim::Queue().size(), 2u);
    ASSERT_EQ(sim::Queue()[0].msg, kMsgOutDone);
    sim::Pump();
    EXPECT_EQ(LongsSent(), (std::vector<Bytes>{kA, kB}));
    EXPECT_EQ(AddBufferCalls(), 2);  // once per send, never while B waited
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    EXPECT_EQ(g_LongInPosted, 0);

    // Completion posted behind the next SysEx.
    Quiet();
    sim::SetOutputLongMode(0, sim::LongMode::Manual);
    Receive(kA);
    ASSERT_EQ(g_OutputDone, 0);
    ASSERT_TRUE(sim::DeliverSysEx(kB));  // the buffer went back before A was sent
    sim::CompleteOutput();
    ASSERT_EQ(g_OutputDone, 1);
    sim::Pump();
    EXPECT_EQ(LongsSent(), (std::vector<Bytes>{kA, kB}));
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    EXPECT_EQ(AddBufferCalls(), 2);
    sim::CompleteOutput();
    sim::Pump();
    Receive(kC);
    EXPECT_EQ(LongsSent().back(), kC);
}

TEST_F(SysExTest, ABufferTheDriverKeptDuringThruGoesBackOnlyWhenNoMessageWaitsForIt) {
    // A SysEx the driver forwarded by itself hands our buffer back unposted.
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    ASSERT_TRUE(sim::DeliverSysEx(kA));
    ASSERT_EQ(sim::QueuedInputBuffers(), 0);
    ASSERT_TRUE(sim::Queue().empty());
    g_ThruConnect = 0;
    mf_ThruConnect(0);
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    sim::ClearLogs();
    Receive(kB);
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{kB});

    // The completion of our own send gives it back as well.
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    ASSERT_TRUE(sim::DeliverSysEx(kA));
    g_ThruConnect = 0;
    OnMidiOutDone(reinterpret_cast<uintptr_t>(g_MidiOutHeader), 0);
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);

    // A buffer whose message was posted before the link stays until that message is handled.
    const Bytes d = Hex("F0 7D 01 02 03 F7");
    ASSERT_TRUE(sim::DeliverSysEx(d));
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    g_ThruConnect = 0;
    mf_ThruConnect(0);
    EXPECT_EQ(sim::QueuedInputBuffers(), 0);
    sim::ClearLogs();
    sim::Pump();
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{d});
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
}

TEST_F(SysExTest, ASysExLostToAFullQueueLeavesTheInputListeningAgainOnceTheQueueMoves) {
    // The panel's queue is full of short messages when a SysEx arrives: that one is lost, but its
    // buffer must go back to the driver as soon as the queue is being worked off, or every later
    // SysEx would be lost too.
    sim::SetQueueLimit(2);
    ASSERT_TRUE(sim::DeliverShort(0x403C90));
    ASSERT_TRUE(sim::DeliverShort(0x003C80));
    ASSERT_TRUE(sim::DeliverSysEx(kA));
    EXPECT_EQ(sim::QueuedInputBuffers(), 0);
    sim::SetQueueLimit(10000);
    sim::Pump();
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    sim::ClearLogs();
    Receive(kB);
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{kB});
}

// ================================ Output: waiting and recovering =================================

TEST_F(SysExTest, ASecondSysExWaitsForTheDriverToFinishTheFirst) {
    sim::SetOutputLongDelay(0, 5000);
    Receive(kA);
    const uint64_t tA = sim::OutputLog()[0].timeUs;
    EXPECT_EQ(g_OutputDone, 0);
    Receive(kB);
    ASSERT_EQ(LongsSent(), (std::vector<Bytes>{kA, kB}));
    EXPECT_GE(sim::OutputLog()[1].timeUs, tA + 5000);
    EXPECT_LE(sim::OutputLog()[1].timeUs, tA + 5300);
    EXPECT_EQ(g_MidiOutHeader->dwBytesRecorded, kB.size());
}

TEST_F(SysExTest, AnOutputThatNeverFinishesIsReplacedByTheMapperAfter10s) {
    sim::SetOutputLongMode(0, sim::LongMode::Never);
    Receive(kA);
    ASSERT_TRUE(sim::DeliverSysEx(kB));
    sim::ClearLogs();
    uint64_t boxAt = 0;
    sim::SetBoxHook([&](const sim::Box&) { boxAt = sim::NowUs(); });
    const uint64_t t0 = sim::NowUs();
    sim::PumpOne();

    ExpectOneBox("[Synth] got missing,  Change to [Window's MIDI Mapper]");
    EXPECT_GE(boxAt - t0, 9999000u);  // 10 s on a millisecond clock
    EXPECT_LE(boxAt - t0, 10001000u);
    // The old output is closed, the mapper opened and tuned; B itself is lost.
    EXPECT_EQ(Trace(boxAt), Expect(0).CloseSequence(0).Dev(-1).OpenSequence(64000).v);
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_Redraw, 1);
    // The input buffer went back to the driver before the old output was closed.
    ASSERT_EQ(AddBufferCalls(), 1);
    for (const auto& e : sim::InputLog()) EXPECT_TRUE(e.kind != sim::InKind::AddBuffer || e.outIndex == 0);
    // The old output's returned header is reported late; then SysEx go to the mapper at once.
    sim::Pump();
    sim::ClearLogs();
    Receive(kC);
    ASSERT_EQ(sim::OutputLog().size(), 1u);
    EXPECT_EQ(sim::OutputLog()[0].device, -1);
    EXPECT_EQ(sim::Boxes().size(), 1u);
}

TEST_F(SysExTest, ASendBlockedFor1000TicksEndsTheProcessAndOneTickLessIsForgiven) {
    mf_TimerStart();
    sim::SetOutputLongMode(0, sim::LongMode::Block);
    sim::SetOutputBlockTicks(0, 999);
    Receive(kA);
    EXPECT_EQ(g_HungCount, -1);
    sim::Tick(2000);  // the watchdog is off again once the send returned
    EXPECT_TRUE(sim::Boxes().empty());
    sim::CompleteOutput();
    sim::Pump();
    sim::ClearLogs();
    sim::SetOutputBlockTicks(0, 1000);
    ASSERT_TRUE(sim::DeliverSysEx(kB));
    EXPECT_THROW(sim::Pump(), sim::ProcessExit);
    ExpectOneBox("[Synth] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::OutputLog().size(), 1u);  // the send, and no shutdown after it
}

TEST_F(SysExTest, AFullInputBufferIsSentWhole) {
    const Bytes big = Padded("F0 7D 7F 7E", kSysExBufferSize);
    g_SysExFamily = 1;
    Receive(big);
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{big});
    EXPECT_EQ(g_MidiOutHeader->dwBytesRecorded, kSysExBufferSize);
    EXPECT_EQ(Now(), (State{3, 3, -1, -1, 1, 0, 1, 1}));
}

}  // namespace
}  // namespace kvntest
