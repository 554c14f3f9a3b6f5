// SysEx input: recognition against the Ignore and Trigger tables, forwarding through the one output
// buffer, the wait for the driver's completion, the recoveries from a faulty output, and who holds
// the one input buffer at each moment.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/engine_fixture.h"
#include "tests/support/output_trace.h"

namespace kvntest {
namespace {

using Bytes = std::vector<uint8_t>;

// "F0 41 10" -> {0xF0, 0x41, 0x10}
Bytes Hex(const std::string& text) {
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 3) {
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
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

int AddBufferCalls(uint32_t result) {
    int n = 0;
    for (const auto& e : sim::InputLog()) n += (e.kind == sim::InKind::AddBuffer && e.result == result);
    return n;
}

class SysExTest : public EngineTest {
protected:
    // Start-up as the application does it: input "Keyboard" and output "Synth" (device 0), the
    // input started; then quiet logs and lamps.
    void Boot() {
        sim::SetInputDevices({"Keyboard"});
        sim::SetOutputDevices({"Synth"});
        g_MidiInDeviceName = "Keyboard";
        g_MidiOutDeviceName = "Synth";
        mf_DeviceInitialize();
        mf_MidiInStart();
        ASSERT_NE(g_MidiOutHandle, nullptr);
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
    void Fresh() {
        TearDown();
        SetUp();
    }
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
};

// ================================ Resets and master tunes ========================================

TEST_F(SysExTest, ResetsAreForwardedThenTheTuningFollows16msLater) {
    struct Case {
        const char* name;
        const char* msg;
        int family;
    };
    const Case cases[] = {
        {"GS", "F0 41 10 42 12 40 00 7F 00 41 F7", 1},
        {"88", "F0 41 10 42 12 00 00 7F 00 01 F7", 1},
        {"XG", "F0 43 10 4C 00 00 7E 00 F7", 2},
        {"GM1", "F0 7E 7F 09 01 F7", 0},
        {"GM2", "F0 7E 7F 09 03 F7", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Boot();
        const uint64_t t0 = sim::NowUs();
        Receive(Hex(c.msg));
        ASSERT_FALSE(sim::OutputLog().empty());
        const uint64_t sent = sim::OutputLog()[0].timeUs;
        EXPECT_LE(sent - t0, 200u);  // the output was idle: no wait
        EXPECT_EQ(Trace(sent),
                  Expect(0).Add("Long " + std::to_string(Hex(c.msg).size())).At(16000).Tuning().v);
        EXPECT_EQ(LongsSent()[0], Hex(c.msg));
        EXPECT_EQ(g_SysExFamily, c.family);
        EXPECT_EQ(g_LampIn, 3);
        EXPECT_EQ(g_LampMasterTune, 10);
        EXPECT_EQ(g_LampDrop, kLampIdle);
        EXPECT_EQ(window_.paints, 0);  // repaints are only requested
        EXPECT_EQ(g_Redraw, 1);
        EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    }
}

TEST_F(SysExTest, MasterTunesOfOtherSoftwareAreDropped) {
    struct Case {
        const char* name;
        const char* msg;
        int family;
    };
    const Case cases[] = {
        {"GS", "F0 41 10 42 12 40 00 00 00 04 00 00 3C F7", 1},
        {"XG 1", "F0 43 10 27 30 00 00 01 02 03 F7", 2},
        {"XG 2", "F0 43 10 4C 00 00 00 00 04 00 00 F7", 2},
        {"GM1", "F0 7F 7F 04 01 00 7F F7", 0},
        {"GM2", "F0 7F 7F 04 03 00 40 F7", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        Boot();
        Receive(Hex(c.msg));
        EXPECT_TRUE(sim::OutputLog().empty());  // nothing leaves, no tuning either
        EXPECT_EQ(g_LampDrop, 50);
        EXPECT_EQ(g_LampIn, kLampIdle);
        EXPECT_EQ(g_LampOut, kLampIdle);
        EXPECT_EQ(window_.paints, 1);  // painted at once, no tick needed
        EXPECT_EQ(g_SysExFamily, c.family);
        EXPECT_EQ(sim::QueuedInputBuffers(), 1);
        // Steady dropping keeps the lamp lit.
        sim::Tick(20);
        Receive(Hex(c.msg));
        EXPECT_EQ(g_LampDrop, 50);
    }
}

TEST_F(SysExTest, LongDataOfAnInputClosedSinceIsIgnored) {
    // Filled by the old input, handled after a switch opened another: the buffer is the new port's.
    OpenPortsDirect();
    const std::vector<uint8_t> reset{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
    std::memcpy(g_MidiInHeader->lpData, reset.data(), reset.size());
    g_MidiInHeader->dwBytesRecorded = static_cast<uint32_t>(reset.size());
    int stale = 0;
    plat::PostWindowMessage(wnd_, kMsgLongIn, reinterpret_cast<uintptr_t>(&stale),
                            reinterpret_cast<intptr_t>(g_MidiInHeader));
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(SysExTest, ThirtyBytesAreInspectedThirtyOneAreForwardedUntouched) {
    Boot();
    const Bytes reset30 = Padded("F0 41 10 42 12 40 00 7F 00 41 F7", 30);
    const Bytes reset31 = Padded("F0 41 10 42 12 40 00 7F 00 41 F7", 31);
    const Bytes tune30 = Padded("F0 41 10 42 12 40 00 00 00 04 00 00 3C F7", 30);
    const Bytes tune31 = Padded("F0 41 10 42 12 40 00 00 00 04 00 00 3C F7", 31);

    Receive(reset30);
    EXPECT_EQ(sim::ShortMessages().size(), 90u);
    EXPECT_EQ(std::strlen(g_SysExText), 89u);
    EXPECT_EQ(g_SysExFamily, 1);

    Quiet();
    Receive(tune30);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_LampDrop, 50);

    Quiet();
    g_SysExFamily = 2;
    Receive(reset31);
    sim::Advance(2000);  // let the driver finish it
    Receive(tune31);
    EXPECT_EQ(LongsSent(), (std::vector<Bytes>{reset31, tune31}));
    EXPECT_TRUE(sim::ShortMessages().empty());
    EXPECT_EQ(g_SysExFamily, 2);  // longer messages don't touch the family
    EXPECT_EQ(g_SysExLength, 31);
    EXPECT_EQ(g_LampDrop, kLampIdle);
}

TEST_F(SysExTest, TextFormAndFamily) {
    Boot();
    Check(Hex("F0 7E 7F 09 01 F7"));
    EXPECT_STREQ(g_SysExText, "F0 7E 7F 09 01 F7");
    Check({0xF0, 0xAB, 0xcd, 0x0E, 0x00, 0xF7});
    EXPECT_STREQ(g_SysExText, "F0 AB CD 0E 00 F7");
    EXPECT_EQ(g_SysExLength, 6);

    struct Case {
        const char* msg;
        int before;
        int after;
    };
    const Case cases[] = {
        {"F0 7E 00 F7", -1, 0}, {"F0 7F 00 F7", 2, 0},   {"F0 41 00 F7", 0, 1}, {"F0 43 00 F7", 1, 2},
        {"F0 44 00 F7", 1, 1},  {"F0 42 00 F7", -1, -1}, {"41 F0 F7", 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.msg);
        g_SysExFamily = c.before;
        Check(Hex(c.msg));
        EXPECT_EQ(g_SysExFamily, c.after);
    }
    // A repaint is requested only when the family changes.
    g_SysExFamily = 1;
    g_Redraw = 0;
    Check(Hex("F0 41 00 F7"));
    EXPECT_EQ(g_Redraw, 0);
    Check(Hex("F0 43 00 F7"));
    EXPECT_EQ(g_Redraw, 1);
}

TEST_F(SysExTest, LengthsAreComparedOnlyAsFarAsTheShorterGoes) {
    Boot();
    // Message longer than the pattern: its beginning decides.
    EXPECT_EQ(Check(Hex("F0 7E 7F 09 01 F7 00 00 F7")), kFlagRetune);
    // Pattern longer than the message: the message's text agrees with the pattern's beginning.
    EXPECT_EQ(Check(Hex("F0 7E 7F 09")), kFlagRetune);
    EXPECT_EQ(Check(Hex("F0 41 10 42 12 40 00")), kFlagRetune | kFlagDrop);  // GS reset and GS master tune
    // A lone F0 is the beginning of every built-in row.
    EXPECT_EQ(Check(Hex("F0")), kFlagRetune | kFlagDrop);
    // Near misses of the built-in rows.
    EXPECT_EQ(Check(Hex("F0 41 10 42 12 40 00 7F 00 41 F6")), 0);
    EXPECT_EQ(Check(Hex("F0 43 10 4C 00 00 7E 01 F7")), 0);
    EXPECT_EQ(Check(Hex("F0 7E 7F 09 02 F7")), 0);
    EXPECT_EQ(Check(Hex("F0 7D 7F 09 01 F7")), 0);
}

// ================================ User rows ======================================================

TEST_F(SysExTest, UserPatternsMatchCharacterByCharacterCaseIncluded) {
    Boot();
    const Bytes xg = Hex("F0 43 10 4C 08 00 00 00 F7");
    ASSERT_EQ(Check(xg), 0);

    g_IgnoreTable[5] = "F0 43 10 4c 08";  // lower-case letter where the text has C
    EXPECT_EQ(Check(xg), 0);
    g_IgnoreTable[5] = "f0 43";
    EXPECT_EQ(Check(xg), 0);
    g_IgnoreTable[5] = "F0  43";  // other spacing
    EXPECT_EQ(Check(xg), 0);
    g_IgnoreTable[5] = "F0 43 10 4C 08";
    EXPECT_EQ(Check(xg), kFlagDrop);
    // Lower case beyond the end of a shorter message is never compared.
    g_TriggerTable[8] = "F0 7D 01 F7 ab";
    EXPECT_EQ(Check(Hex("F0 7D 01 F7")), kFlagRetune);
    // A single '*' stands for one character, the blank included.
    g_TriggerTable[8] = "F0*7D";
    EXPECT_EQ(Check(Hex("F0 7D 01 F7")), kFlagRetune);
}

TEST_F(SysExTest, WildcardDigitPattern) {
    Boot();
    // The user row alone: short messages would otherwise also begin some built-in rows.
    for (int row = 0; row < kFixedRows; ++row) g_IgnoreTable[row] = g_TriggerTable[row] = "";
    g_TriggerTable[6] = "F0 41 1* ** 12";
    struct Case {
        const char* msg;
        uint8_t flags;
    };
    const Case cases[] = {
        {"F0 41 10 42 12 01 02 03 F7", kFlagRetune},
        {"F0 41 1F 00 12 7F F7", kFlagRetune},
        {"F0 41 1A FF 12", kFlagRetune},
        {"F0 41 10", kFlagRetune},  // shorter than the pattern
        {"F0 41 20 42 12 01 F7", 0},
        {"F0 41 0F 42 12 01 F7", 0},
        {"F0 41 10 42 11 01 F7", 0},
        {"F0 42 10 42 12 01 F7", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(Check(Hex(c.msg)), c.flags) << c.msg;

    // Through the whole path, built-in rows back: forwarded, then tuned.
    mf_SetBuiltInRows();
    Receive(Hex("F0 41 13 00 12 01 02 03 F7"));
    EXPECT_EQ(LongsSent().size(), 1u);
    EXPECT_EQ(sim::ShortMessages().size(), 90u);
}

TEST_F(SysExTest, EmptyUserRowsMatchNothingAndDoNotEndTheSearch) {
    Boot();
    const Bytes msg = Hex("F0 7D 05 F7");
    EXPECT_EQ(Check(msg), 0);
    g_TriggerTable[7] = "F0 7D ** F7";  // rows 6 and 7 (index 5, 6) stay empty
    g_IgnoreTable[8] = "F0 7D 05";
    EXPECT_EQ(Check(msg), kFlagRetune | kFlagDrop);
}

TEST_F(SysExTest, AMessageInBothTablesIsDroppedAndStillRetunes) {
    Boot();
    g_IgnoreTable[5] = "F0 7E ** ** 01 F7";  // the GM1 reset, also a Trigger row
    const uint64_t t0 = sim::NowUs();
    Receive(Hex("F0 7E 7F 09 01 F7"));
    EXPECT_TRUE(LongsSent().empty());
    EXPECT_EQ(Trace(t0), Expect(0).At(16000).Tuning().v);
    EXPECT_EQ(g_LampDrop, 50);
    EXPECT_EQ(g_LampIn, kLampIdle);
    EXPECT_EQ(g_LampMasterTune, 10);
    EXPECT_EQ(window_.paints, 1);
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    // The buffer went back before the pause, not after.
    ASSERT_EQ(AddBufferCalls(0), 1);
    EXPECT_EQ(sim::InputLog().back().timeUs, t0);
}

// ================================ Who holds the input buffer =====================================

TEST_F(SysExTest, WithoutAnOutputSysExIsIgnoredButInputKeepsFlowing) {
    Boot();
    mf_MidiOutClose();
    Quiet();
    g_SysExFamily = -1;
    g_SysExLength = 7;
    for (int i = 0; i < 3; ++i) {
        Receive(Hex("F0 41 10 42 12 40 00 7F 00 41 F7"));
        EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    }
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_SysExFamily, -1);  // not even examined
    EXPECT_EQ(g_SysExLength, 7);
    EXPECT_EQ(g_LampIn, kLampIdle);
    EXPECT_EQ(g_LampDrop, kLampIdle);
}

TEST_F(SysExTest, ABufferHandedBackEmptyIsIgnored) {
    Boot();
    plat::MidiInReset(g_MidiInHandle);  // the driver returns the queued buffer with nothing in it
    sim::ClearInputLog();
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());  // not queued again
    EXPECT_EQ(sim::QueuedInputBuffers(), 0);
    EXPECT_EQ(g_LampIn, kLampIdle);
    EXPECT_EQ(g_LongInPosted, 0);
    // Starting the input again brings SysEx back.
    mf_MidiInStart();
    Receive(Hex("F0 7D 01 F7"));
    EXPECT_EQ(LongsSent().size(), 1u);
}

TEST_F(SysExTest, CompletionHandledWhileTheNextSysExWaitsDoesNotTakeItsBuffer) {
    Boot();
    const Bytes a = Hex("F0 7D 01 F7"), b = Hex("F0 7D 02 02 F7");
    Receive(a);
    sim::Advance(2000);  // the driver finishes A: its completion is posted
    ASSERT_EQ(sim::Queue().size(), 1u);
    ASSERT_TRUE(sim::DeliverSysEx(b));  // B arrives before A's completion is handled
    ASSERT_EQ(sim::Queue().size(), 2u);
    ASSERT_EQ(sim::Queue()[0].msg, kMsgOutDone);
    sim::Pump();
    EXPECT_EQ(LongsSent(), (std::vector<Bytes>{a, b}));
    EXPECT_EQ(AddBufferCalls(0), 2);  // once per send, never while B waited
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    EXPECT_EQ(g_LongInPosted, 0);
}

TEST_F(SysExTest, SysExArrivingBetweenSendAndCompletion) {
    Boot();
    sim::SetOutputLongMode(0, sim::LongMode::Manual);
    const Bytes a = Hex("F0 7D 01 F7"), b = Hex("F0 7D 02 F7"), c = Hex("F0 7D 03 F7");
    Receive(a);
    ASSERT_EQ(g_OutputDone, 0);
    ASSERT_TRUE(sim::DeliverSysEx(b));  // the buffer went back before A was sent
    sim::CompleteOutput();              // A's completion is posted behind B
    ASSERT_EQ(g_OutputDone, 1);
    sim::Pump();
    EXPECT_EQ(LongsSent(), (std::vector<Bytes>{a, b}));
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    EXPECT_EQ(AddBufferCalls(0), 2);
    sim::CompleteOutput();
    sim::Pump();
    Receive(c);
    EXPECT_EQ(LongsSent().back(), c);
}

TEST_F(SysExTest, CompletionReturnsTheBufferWhenNothingWaitsForIt) {
    Boot();
    // The driver returned the buffer while it forwarded by itself, so nobody was told.
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    ASSERT_TRUE(sim::DeliverSysEx(Hex("F0 7D 01 F7")));
    ASSERT_EQ(sim::QueuedInputBuffers(), 0);
    ASSERT_TRUE(sim::Queue().empty());
    g_ThruConnect = 0;
    OnMidiOutDone(reinterpret_cast<uintptr_t>(g_MidiOutHeader), 0);
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
}

TEST_F(SysExTest, SwitchingThruOffReturnsABufferTheDriverKept) {
    Boot();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    sim::ClearLogs();
    ASSERT_TRUE(sim::DeliverSysEx(Hex("F0 7D 01 F7")));  // forwarded by the driver, not posted
    ASSERT_TRUE(sim::Queue().empty());
    g_ThruConnect = 0;
    mf_ThruConnect(0);
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    sim::ClearLogs();
    Receive(Hex("F0 7D 02 F7"));
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{Hex("F0 7D 02 F7")});
}

TEST_F(SysExTest, SwitchingThruOffLeavesABufferWhoseMessageStillWaits) {
    Boot();
    const Bytes a = Hex("F0 7D 01 02 03 F7");
    ASSERT_TRUE(sim::DeliverSysEx(a));  // posted while thru was off
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    g_ThruConnect = 0;
    mf_ThruConnect(0);
    EXPECT_EQ(sim::QueuedInputBuffers(), 0);
    sim::ClearLogs();
    sim::Pump();
    EXPECT_EQ(LongsSent(), std::vector<Bytes>{a});
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
}

// ================================ Output: waiting and recovering =================================

TEST_F(SysExTest, ASecondSysExWaitsForTheDriverToFinishTheFirst) {
    Boot();
    sim::SetOutputLongDelay(0, 5000);
    const Bytes a = Hex("F0 7D 01 F7"), b = Hex("F0 7D 02 F7");
    Receive(a);
    const uint64_t tA = sim::OutputLog()[0].timeUs;
    EXPECT_EQ(g_OutputDone, 0);
    Receive(b);
    ASSERT_EQ(LongsSent(), (std::vector<Bytes>{a, b}));
    const uint64_t tB = sim::OutputLog()[1].timeUs;
    EXPECT_GE(tB, tA + 5000);
    EXPECT_LE(tB, tA + 5300);
    EXPECT_EQ(g_MidiOutHeader->dwBytesRecorded, b.size());
}

TEST_F(SysExTest, ASecondSysExIsSentWhenTheCompletionComes) {
    Boot();
    sim::SetOutputLongMode(0, sim::LongMode::Manual);
    const Bytes a = Hex("F0 7D 01 F7"), b = Hex("F0 7D 02 F7");
    Receive(a);
    const uint64_t tA = sim::OutputLog()[0].timeUs;
    ASSERT_TRUE(sim::DeliverSysEx(b));
    sim::CompleteOutputAfter(7000);
    sim::Pump();
    ASSERT_EQ(LongsSent(), (std::vector<Bytes>{a, b}));
    EXPECT_GE(sim::OutputLog()[1].timeUs, tA + 7000);
    EXPECT_LE(sim::OutputLog()[1].timeUs, tA + 7300);
    EXPECT_TRUE(sim::Boxes().empty());
}

TEST_F(SysExTest, AnOutputThatNeverFinishesIsReplacedByTheMapperAfter10s) {
    Boot();
    sim::SetOutputLongMode(0, sim::LongMode::Never);
    const Bytes a = Hex("F0 7D 01 F7"), b = Hex("F0 7D 02 F7"), c = Hex("F0 7D 03 F7");
    Receive(a);
    ASSERT_TRUE(sim::DeliverSysEx(b));
    sim::ClearLogs();
    uint64_t boxAt = 0;
    sim::SetBoxHook([&](const sim::Box&) { boxAt = sim::NowUs(); });
    const uint64_t t0 = sim::NowUs();
    sim::PumpOne();

    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "[Synth] got missing,  Change to [Window's MIDI Mapper]");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
    // 10 s on a millisecond clock.
    EXPECT_GE(boxAt - t0, 9999000u);
    EXPECT_LE(boxAt - t0, 10001000u);
    // The old output is closed, the mapper opened and tuned; B itself is lost.
    EXPECT_EQ(Trace(boxAt), Expect(0).CloseSequence(0).Dev(-1).OpenSequence(64000).v);
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    EXPECT_EQ(g_OutputDone, 1);
    EXPECT_EQ(g_Redraw, 1);
    // The input buffer went back to the driver before the old output was closed.
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    ASSERT_EQ(AddBufferCalls(0), 1);
    for (const auto& e : sim::InputLog()) {
        if (e.kind == sim::InKind::AddBuffer) {
            EXPECT_EQ(e.outIndex, 0u);
        }
    }

    // The old output's returned header is reported late; then SysEx go to the mapper at once.
    sim::Pump();
    sim::ClearLogs();
    Receive(c);
    ASSERT_EQ(sim::OutputLog().size(), 1u);
    EXPECT_EQ(sim::OutputLog()[0].device, -1);
    EXPECT_EQ(sim::OutputLog()[0].data, c);
    EXPECT_EQ(sim::Boxes().size(), 1u);
}

TEST_F(SysExTest, AnOutputThatBlocksInTheSendEndsTheProcessAfter1000Ticks) {
    Boot();
    mf_TimerStart();
    sim::SetOutputLongMode(0, sim::LongMode::Block);
    uint64_t boxAt = 0;
    sim::SetBoxHook([&](const sim::Box&) { boxAt = sim::NowUs(); });
    ASSERT_TRUE(sim::DeliverSysEx(Hex("F0 7D 01 F7")));
    int status = -1;
    try {
        sim::Pump();
    } catch (const sim::ProcessExit& e) {
        status = e.status;
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(sim::ExitStatus(), 1);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "[Synth] got missing.  Sorry,  Exit this application.");
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
    ASSERT_EQ(sim::OutputLog().size(), 1u);  // the send, and no shutdown after it
    EXPECT_EQ(boxAt - sim::OutputLog()[0].timeUs, 10000000u);
    EXPECT_EQ(sim::OpenOutputs(), 1);
}

TEST_F(SysExTest, ASendThatReturnsAtTick999IsForgiven) {
    Boot();
    mf_TimerStart();
    sim::SetOutputLongMode(0, sim::LongMode::Block);
    sim::SetOutputBlockTicks(0, 999);
    Receive(Hex("F0 7D 01 F7"));
    EXPECT_EQ(g_HungCount, -1);
    EXPECT_EQ(g_LampOut, 3);
    sim::Tick(2000);
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(sim::ExitStatus(), -1);

    // One tick more inside the send is too many.
    sim::CompleteOutput();
    sim::Pump();
    sim::SetOutputBlockTicks(0, 1000);
    ASSERT_TRUE(sim::DeliverSysEx(Hex("F0 7D 02 F7")));
    EXPECT_THROW(sim::Pump(), sim::ProcessExit);
    EXPECT_EQ(sim::ExitStatus(), 1);
}

TEST_F(SysExTest, AFullInputBufferIsSentWhole) {
    Boot();
    Bytes big(kSysExBufferSize);
    big.front() = 0xF0;
    for (size_t i = 1; i + 1 < big.size(); ++i) big[i] = static_cast<uint8_t>(i & 0x7F);
    big.back() = 0xF7;
    g_SysExFamily = 1;
    Receive(big);
    ASSERT_EQ(LongsSent().size(), 1u);
    EXPECT_EQ(LongsSent()[0], big);
    EXPECT_EQ(g_MidiOutHeader->dwBufferLength, kSysExBufferSize);
    EXPECT_EQ(g_MidiOutHeader->dwBytesRecorded, kSysExBufferSize);
    EXPECT_EQ(g_SysExLength, static_cast<int32_t>(kSysExBufferSize));
    EXPECT_EQ(g_SysExFamily, 1);
    EXPECT_TRUE(sim::ShortMessages().empty());
    EXPECT_EQ(g_LampIn, 3);
    EXPECT_EQ(g_LampOut, 3);
}

}  // namespace
}  // namespace kvntest
