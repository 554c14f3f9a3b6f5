// Device catalogues, start-up fall-backs, the cable rule and the life of both ports, checked
// against what the simulated drivers received and when.
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/engine_fixture.h"
#include "tests/support/output_trace.h"

namespace kvntest {
namespace {


std::vector<sim::InKind> InputKinds() {
    std::vector<sim::InKind> kinds;
    for (const auto& e : sim::InputLog()) kinds.push_back(e.kind);
    return kinds;
}

constexpr const char* kInUse = "The specified MIDI output device is already in use by another application.";
constexpr const char* kOutUnusable = "The specified MIDI output device can not be used";
constexpr const char* kInInUse = "The specified MIDI input device is already in use by another application.";
constexpr const char* kInUnusable = "The specified MIDI input device can not be used";

class PortsTest : public EngineTest {
protected:
    // The start-up step of the ports with the names the settings file held.
    static void StartUp(std::vector<std::string> inputs, std::vector<std::string> outputs,
                        const std::string& storedIn, const std::string& storedOut) {
        sim::SetInputDevices(std::move(inputs));
        sim::SetOutputDevices(std::move(outputs));
        g_MidiInDeviceName = storedIn;
        g_MidiOutDeviceName = storedOut;
        mf_DeviceInitialize();
    }

    // A new world for the next case of a table.
    void Fresh() {
        TearDown();
        SetUp();
    }

    // The device id the current output was opened with (-1 the mapper), from its Open record.
    static int OpenedOutputDevice() {
        int dev = -99;
        for (const auto& e : sim::OutputLog()) {
            if (e.kind == sim::Event::Open) dev = e.device;
        }
        return dev;
    }
};

// ================================ Catalogues =====================================================

TEST_F(PortsTest, TwentyFiveDevicesLeaveTwentyOneRowsOnEachSide) {
    std::vector<std::string> ins, outs;
    for (int i = 0; i < 25; ++i) {
        ins.push_back("In " + std::to_string(i));
        outs.push_back("Out " + std::to_string(i));
    }
    // Devices beyond the catalogue can't be found by name: the fall-backs take over.
    StartUp(ins, outs, "In 22", "Out 20");
    ASSERT_EQ(g_MidiInCount, 21);
    EXPECT_STREQ(g_MidiInCaps[20].szPname, "In 20");
    ASSERT_EQ(g_MidiOutCount, 21);
    EXPECT_STREQ(g_MidiOutCaps[1].szPname, "Out 0");
    EXPECT_STREQ(g_MidiOutCaps[20].szPname, "Out 19");
    EXPECT_EQ(g_MidiInDevice, 0);
    EXPECT_EQ(g_MidiInDeviceName, "In 0");
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    EXPECT_EQ(OpenedOutputDevice(), -1);

    // The last rows themselves are reachable.
    mf_MidiInSwitch(20);
    EXPECT_EQ(sim::OpenInputDevice(), 20);
    EXPECT_EQ(g_MidiInDeviceName, "In 20");
    mf_MidiOutSwitch(20);
    EXPECT_EQ(OpenedOutputDevice(), 19);
    EXPECT_EQ(g_MidiOutDeviceName, "Out 19");
}

TEST_F(PortsTest, NoInputDeviceLeavesTheInputAbsentWithAnEmptyName) {
    StartUp({}, {}, "Keys", "Synth");
    EXPECT_EQ(g_MidiInCount, 0);
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(g_MidiInDevice, -1);
    EXPECT_EQ(g_MidiInDeviceName, "");
    EXPECT_EQ(sim::OpenInputs(), 0);
    // No output device either: the catalogue is the mapper alone, and the mapper is opened.
    EXPECT_EQ(g_MidiOutCount, 1);
    EXPECT_NE(g_MidiOutHandle, nullptr);
    EXPECT_EQ(OpenedOutputDevice(), -1);
    EXPECT_TRUE(sim::Boxes().empty());
    mf_MidiInStart();  // nothing to start
    EXPECT_TRUE(sim::InputLog().empty());
}

TEST_F(PortsTest, RebuildingAfterDevicesChangedKeepsTheOpenPortsAsTheyWere) {
    StartUp({"A", "B"}, {"X", "Y", "Z"}, "B", "Z");
    ASSERT_EQ(g_MidiInDevice, 1);
    ASSERT_EQ(g_MidiOutDevice, 3);
    const auto inHandle = g_MidiInHandle;
    const auto outHandle = g_MidiOutHandle;
    sim::ClearLogs();

    // A new input in front, an output gone.
    sim::SetInputDevices({"New", "A", "B"});
    sim::SetOutputDevices({"Z"});
    mf_MidiInEnumerate();
    mf_MidiOutEnumerate();
    ASSERT_EQ(g_MidiInCount, 3);
    EXPECT_STREQ(g_MidiInCaps[0].szPname, "New");
    EXPECT_STREQ(g_MidiInCaps[2].szPname, "B");
    ASSERT_EQ(g_MidiOutCount, 2);
    EXPECT_STREQ(g_MidiOutCaps[1].szPname, "Z");
    EXPECT_STREQ(g_MidiOutCaps[2].szPname, "");  // rows past the end are cleared
    EXPECT_STREQ(g_MidiOutCaps[3].szPname, "");
    // Rows may now describe other devices; the ports themselves are not touched.
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "B");
    EXPECT_EQ(g_MidiInHandle, inHandle);
    EXPECT_EQ(g_MidiOutDevice, 3);
    EXPECT_EQ(g_MidiOutDeviceName, "Z");
    EXPECT_EQ(g_MidiOutHandle, outHandle);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());

    // Picking from the new catalogue opens what the new rows describe.
    mf_MidiInSwitch(0);
    EXPECT_EQ(sim::OpenInputDevice(), 0);
    EXPECT_EQ(g_MidiInDeviceName, "New");
    mf_MidiOutSwitch(1);
    EXPECT_EQ(OpenedOutputDevice(), 0);
    EXPECT_EQ(g_MidiOutDeviceName, "Z");
    EXPECT_EQ(g_MidiOutDevice, 1);
}

TEST_F(PortsTest, InputVanishingWhileOpenIsClosedProperlyAndEndsConnectionThru) {
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    sim::ClearLogs();

    sim::SetInputDevices({});
    mf_MidiInEnumerate();
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(g_MidiInCount, 0);
    EXPECT_EQ(g_MidiInDevice, -1);
    EXPECT_EQ(g_MidiInDeviceName, "");
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_EQ(sim::OpenInputs(), 0);
    const std::vector<sim::InKind> closing = {sim::InKind::Stop, sim::InKind::Reset, sim::InKind::Unprepare,
                                              sim::InKind::Close};
    EXPECT_EQ(InputKinds(), closing);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);

    // The buffer the reset returned is posted empty and handled without effect.
    sim::ClearLogs();
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
}

// ================================ Start-up fall-backs ============================================

TEST_F(PortsTest, StoredNamesOpenTheirRowsAndTheInputStaysSilent) {
    StartUp({"K1", "K2"}, {"S1", "S2"}, "K2", "S2");
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(sim::OpenInputDevice(), 1);
    EXPECT_EQ(g_MidiInDeviceName, "K2");
    EXPECT_FALSE(sim::InputStarted());
    EXPECT_EQ(sim::QueuedInputBuffers(), 0);
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(OpenedOutputDevice(), 1);
    EXPECT_EQ(g_MidiOutDeviceName, "S2");
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(g_ThruConnect, 0);
    ASSERT_NE(g_MidiInHeader, nullptr);
    EXPECT_EQ(g_MidiInHeader->dwBufferLength, kSysExBufferSize);
    ASSERT_NE(g_MidiOutHeader, nullptr);

    // Starting hands the one buffer to the driver.
    mf_MidiInStart();
    EXPECT_TRUE(sim::InputStarted());
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
}

TEST_F(PortsTest, StoredInputMissingOrEmptyFallsBackToRowZeroAndItsName) {
    for (const char* stored : {"", "Gone", "keys"}) {
        SCOPED_TRACE(stored);
        Fresh();
        StartUp({"Keys", "Pads"}, {"Synth"}, stored, "Synth");
        EXPECT_EQ(g_MidiInDevice, 0);
        EXPECT_EQ(sim::OpenInputDevice(), 0);
        EXPECT_EQ(g_MidiInDeviceName, "Keys");
        EXPECT_NE(g_MidiInHandle, nullptr);
    }
}

TEST_F(PortsTest, StoredOutputMissingOrEmptyOpensTheMapper) {
    for (const char* stored : {"", "Gone", "Synth "}) {
        SCOPED_TRACE(stored);
        Fresh();
        StartUp({"Keys"}, {"Synth"}, "Keys", stored);
        EXPECT_EQ(g_MidiOutDevice, 0);
        EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
        EXPECT_EQ(OpenedOutputDevice(), -1);
        EXPECT_NE(g_MidiOutHandle, nullptr);
        EXPECT_TRUE(sim::Boxes().empty());
    }
}

TEST_F(PortsTest, DuplicateNamesResolveToTheLowestRow) {
    StartUp({"Keys", "Dup", "Dup"}, {"Dup", "Other", "Dup"}, "Dup", "Dup");
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(sim::OpenInputDevice(), 1);
    EXPECT_EQ(g_MidiOutDevice, 1);
    EXPECT_EQ(OpenedOutputDevice(), 0);
}

TEST_F(PortsTest, OutputInUseAtStartUpIsReportedThenTheMapperOpens) {
    sim::SetOutputOpenResult(1, plat::kMmAllocated);
    size_t logAtBox = 99;
    sim::SetBoxHook([&](const sim::Box&) { logAtBox = sim::OutputLog().size(); });
    StartUp({"Keys"}, {"Synth", "Busy"}, "Keys", "Busy");
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, kInUse);
    EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
    EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
    EXPECT_EQ(logAtBox, 0u);  // reported before the mapper is tried
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    EXPECT_NE(g_MidiOutHandle, nullptr);
    EXPECT_EQ(Trace(0), Expect(-1).OpenSequence(0).v);
}

TEST_F(PortsTest, OutputUnusableForAnyOtherReasonHasItsOwnText) {
    for (uint32_t code : {plat::kMmError, plat::kMmBadDeviceId, plat::kMmInvalParam}) {
        SCOPED_TRACE(code);
        Fresh();
        sim::SetOutputOpenResult(0, code);
        StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
        ASSERT_EQ(sim::Boxes().size(), 1u);
        EXPECT_EQ(sim::Boxes()[0].text, kOutUnusable);
        EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
        EXPECT_EQ(OpenedOutputDevice(), -1);
        EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
    }
}

TEST_F(PortsTest, MapperFailingTooLeavesNoOutputAndTwoReports) {
    sim::SetOutputOpenResult(0, plat::kMmAllocated);
    sim::SetOutputOpenResult(-1, plat::kMmError);
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    ASSERT_EQ(sim::Boxes().size(), 2u);
    EXPECT_EQ(sim::Boxes()[0].text, kInUse);
    EXPECT_EQ(sim::Boxes()[1].text, kOutUnusable);
    EXPECT_EQ(g_MidiOutHandle, nullptr);
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_MidiOutDeviceName, "");
    EXPECT_TRUE(sim::OutputLog().empty());
}

TEST_F(PortsTest, StoredMapperFailingIsTriedOnceMore) {
    sim::SetOutputOpenResult(-1, plat::kMmAllocated);
    StartUp({"Keys"}, {"Synth"}, "Keys", "Window's MIDI Mapper");
    ASSERT_EQ(sim::Boxes().size(), 2u);
    EXPECT_EQ(sim::Boxes()[1].text, kInUse);
    EXPECT_EQ(g_MidiOutHandle, nullptr);
    EXPECT_EQ(g_MidiOutDevice, 0);
    EXPECT_EQ(g_MidiOutDeviceName, "");
}

TEST_F(PortsTest, InputThatCannotOpenIsReportedAndLeftFailed) {
    struct Case {
        uint32_t code;
        const char* text;
    };
    for (Case c : {Case{plat::kMmAllocated, kInInUse}, Case{plat::kMmError, kInUnusable},
                   Case{plat::kMmBadDeviceId, kInUnusable}}) {
        SCOPED_TRACE(c.code);
        Fresh();
        sim::SetInputOpenResult(1, c.code);
        StartUp({"Keys", "Pads"}, {"Synth"}, "Pads", "Synth");
        ASSERT_EQ(sim::Boxes().size(), 1u);
        EXPECT_EQ(sim::Boxes()[0].text, c.text);
        EXPECT_EQ(sim::Boxes()[0].caption, "Korvane");
        EXPECT_EQ(sim::Boxes()[0].style, plat::kMbOk);
        // The failed state: empty name, the row kept, no handle; no other input is tried.
        EXPECT_EQ(g_MidiInDeviceName, "");
        EXPECT_EQ(g_MidiInDevice, 1);
        EXPECT_EQ(g_MidiInHandle, nullptr);
        EXPECT_EQ(sim::OpenInputs(), 0);
        // The output opens all the same.
        EXPECT_EQ(g_MidiOutDevice, 1);
        EXPECT_NE(g_MidiOutHandle, nullptr);
        mf_MidiInStart();
        EXPECT_FALSE(sim::InputStarted());
    }
}

// ================================ The cable rule =================================================

TEST_F(PortsTest, CableRuleHitsAndNearMisses) {
    struct Case {
        const char* in;
        const char* out;
        bool fixedIsInput;
        bool cable;
    };
    const Case cases[] = {
        // MIDI Yoke: the 13 characters from position 8 of the input against those from 7 of the output.
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  1", true, true},
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  1", false, true},
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  2", true, false},
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  2", false, false},
        {"In From MIDI Yoke:  1", "Out To MIDI yoke:  1", true, false},
        // Only 13 characters count: what follows them does not matter, the 13th does.
        {"In From MIDI Yoke:  1 left", "Out To MIDI Yoke:  1 right", true, true},
        {"In From MIDI Yoke: 12", "Out To MIDI Yoke: 13", true, false},
        // Same position on both sides is not the rule.
        {"In From MIDI Yoke:  1", "In From MIDI Yoke:  1", true, false},
        // A piece is cut at the end of its string.
        {"In From MIDI Yoke:", "Out To MIDI Yoke:", true, true},
        {"In From MIDI Yoke:", "Out To MIDI Yoke:  1", true, false},
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  ", true, false},
        {"In From MIDI Yoke:  1", "Out To", true, false},
        {"In", "Out To MIDI Yoke:  1", false, false},
        // Only the fixed side is searched for the driver's name.
        {"AAAAAAAAMIDI Yoke;  1", "BBBBBBBMIDI Yoke;  1 MIDI Yoke:", true, false},
        {"AAAAAAAAMIDI Yoke;  1", "BBBBBBBMIDI Yoke;  1 MIDI Yoke:", false, true},
        // loopMIDI: both ends carry the same name.
        {"loopMIDI Port", "loopMIDI Port", true, true},
        {"loopMIDI Port 3", "loopMIDI Port 3", false, true},
        {"loopMIDI Port 1", "loopMIDI Port 2", true, false},
        {"loopMIDI Port", "loopMIDI Port ", true, false},
        {"loopmidi port", "loopmidi port", true, false},
        {"Synth", "Synth", true, false},
        {"", "", true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mf_IsCable(c.in, c.out, c.fixedIsInput), c.cable)
            << "in \"" << c.in << "\" out \"" << c.out << "\" fixed "
            << (c.fixedIsInput ? "input" : "output");
    }
}

TEST_F(PortsTest, StartUpReplacesTheOtherEndOfTheInputsCableByTheMapper) {
    struct Case {
        const char* in;
        const char* out;
        bool mapper;
    };
    const Case cases[] = {
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  1", true},
        {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  2", false},
        {"loopMIDI Port", "loopMIDI Port", true},
        {"loopMIDI Port 1", "loopMIDI Port 2", false},
        {"USB MIDI", "USB MIDI", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.in) + " / " + c.out);
        Fresh();
        StartUp({"Keys", c.in}, {"Synth", c.out}, c.in, c.out);
        EXPECT_EQ(g_MidiInDeviceName, c.in);
        if (c.mapper) {
            EXPECT_EQ(g_MidiOutDevice, 0);
            EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
            EXPECT_EQ(OpenedOutputDevice(), -1);
        } else {
            EXPECT_EQ(g_MidiOutDevice, 2);
            EXPECT_EQ(g_MidiOutDeviceName, c.out);
            EXPECT_EQ(OpenedOutputDevice(), 1);
        }
    }
}

TEST_F(PortsTest, AFailedInputIsNoCableEnd) {
    // The input's name is emptied by its failure, so the stored output is no longer its cable's end.
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    StartUp({"loopMIDI Port"}, {"loopMIDI Port"}, "loopMIDI Port", "loopMIDI Port");
    EXPECT_EQ(g_MidiOutDevice, 1);
    EXPECT_EQ(OpenedOutputDevice(), 0);
}

// ================================ Opening and closing ============================================

TEST_F(PortsTest, OutputOpenSilencesResetsAndTunes16msLater) {
    sim::SetOutputDevices({"Synth"});
    mf_MidiOutEnumerate();
    g_MidiOutHeader = new plat::MidiHdr{};
    g_MidiOutHeader->lpData = new char[kSysExBufferSize];
    g_OutputDone = 0;
    sim::Advance(5000);
    ASSERT_EQ(mf_MidiOutOpen(1), plat::kMmNoError);
    EXPECT_EQ(Trace(5000), Expect(0).OpenSequence(0).v);
    EXPECT_EQ(sim::NowUs(), 21000u);
    EXPECT_EQ(g_OutputDone, 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Synth");
    EXPECT_EQ(g_LampMasterTune, 10);
}

TEST_F(PortsTest, OutputCloseFollowsItsFixedOrderAndPauses) {
    StartUp({}, {"Synth"}, "", "Synth");
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_MidiOutClose();
    EXPECT_EQ(Trace(t), Expect(0).CloseSequence(0).v);
    EXPECT_EQ(sim::NowUs() - t, 64000u);  // a last pause after the close
    EXPECT_EQ(g_MidiOutHandle, nullptr);
    EXPECT_EQ(g_MidiOutDevice, -1);
    EXPECT_EQ(g_MidiOutDeviceName, "Synth");  // kept
    EXPECT_EQ(g_OutputDone, 1);
    EXPECT_EQ(sim::OpenOutputs(), 0);

    // Closing again does nothing.
    sim::ClearLogs();
    mf_MidiOutClose();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(sim::NowUs() - t, 64000u);
}

TEST_F(PortsTest, OutputCloseWithASysExInFlightGetsItBackAndEndsIdle) {
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    sim::SetOutputLongMode(0, sim::LongMode::Manual);
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7D, 0x01, 0xF7}));
    sim::Pump();
    ASSERT_EQ(g_OutputDone, 0);
    mf_MidiOutClose();
    EXPECT_EQ(g_OutputDone, 1);
    EXPECT_EQ(sim::OpenOutputs(), 0);
    // The driver's completion of the returned header is handled later without harm.
    sim::ClearLogs();
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
}

TEST_F(PortsTest, InputCloseStopsResetsSilencesTheOutputThenCloses) {
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_MidiInClose();
    const std::vector<sim::InKind> closing = {sim::InKind::Stop, sim::InKind::Reset, sim::InKind::Unprepare,
                                              sim::InKind::Close};
    ASSERT_EQ(InputKinds(), closing);
    // All Notes Off and All Sound Off reach the output between the unprepare and the close.
    EXPECT_EQ(sim::InputLog()[2].outIndex, 0u);
    EXPECT_EQ(sim::InputLog()[3].outIndex, 32u);
    EXPECT_EQ(Trace(t), Expect(0).Burst(123).Burst(120).v);
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(g_MidiInDevice, -1);
    EXPECT_EQ(g_MidiInDeviceName, "Keys");  // kept
    EXPECT_EQ(sim::OpenInputs(), 0);

    sim::ClearLogs();
    mf_MidiInClose();
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::OutputLog().empty());
}

// ================================ Switching ports ================================================

TEST_F(PortsTest, InputSwitchOpensAndStartsThePickedRow) {
    StartUp({"Keys", "Pads"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    mf_MidiInSwitch(1);
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "Pads");
    EXPECT_EQ(sim::OpenInputDevice(), 1);
    EXPECT_EQ(sim::OpenInputs(), 1);
    EXPECT_TRUE(sim::InputStarted());
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);

    // The old input's buffer came back empty during the reset; handling that late message must
    // leave the new input's buffer where it is, so SysEx keeps arriving.
    sim::ClearLogs();
    sim::Pump();
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7D, 0x02, 0xF7}));
    sim::Pump();
    ASSERT_EQ(sim::OutputLog().size(), 1u);
    EXPECT_EQ(sim::OutputLog()[0].data, (std::vector<uint8_t>{0xF0, 0x7D, 0x02, 0xF7}));
}

TEST_F(PortsTest, InputSwitchThatFailsHasNoFallBack) {
    sim::SetInputOpenResult(1, plat::kMmAllocated);
    StartUp({"Keys", "Pads"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    mf_MidiInSwitch(1);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, kInInUse);
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "");
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(sim::OpenInputs(), 0);
}

TEST_F(PortsTest, OutputSwitchClosesTheOldThenOpensThePicked) {
    StartUp({}, {"Synth", "Piano"}, "", "Synth");
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_MidiOutSwitch(2);
    EXPECT_EQ(Trace(t), Expect(0).CloseSequence(0).Dev(1).OpenSequence(64000).v);
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "Piano");
    EXPECT_EQ(sim::OpenOutputs(), 1);

    // And to the mapper.
    sim::ClearLogs();
    mf_MidiOutSwitch(0);
    EXPECT_EQ(OpenedOutputDevice(), -1);
    EXPECT_EQ(g_MidiOutDeviceName, "Window's MIDI Mapper");
}

TEST_F(PortsTest, OutputSwitchThatFailsStaysClosedWithoutTryingTheMapper) {
    sim::SetOutputOpenResult(1, plat::kMmError);
    StartUp({}, {"Synth", "Broken"}, "", "Synth");
    sim::ClearLogs();
    mf_MidiOutSwitch(2);
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, kOutUnusable);
    EXPECT_EQ(g_MidiOutHandle, nullptr);
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "");
    EXPECT_EQ(sim::OpenOutputs(), 0);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Open);
}

TEST_F(PortsTest, InputSwitchEndsConnectionThruFirst) {
    StartUp({"Keys", "Pads"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    sim::ClearLogs();
    mf_MidiInSwitch(1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);
    ASSERT_FALSE(sim::InputLog().empty());
    EXPECT_EQ(sim::InputLog().front().kind, sim::InKind::Stop);
    EXPECT_GT(sim::InputLog().front().outIndex, 0u);  // the link was removed before the input stopped
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_TRUE(sim::InputStarted());
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Connect);
    // Short messages reach the engine again.
    sim::ClearLogs();
    Play(Msg(0x90, 60, 100));
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0x90, 60, 100)});
}

TEST_F(PortsTest, OutputSwitchEndsConnectionThruWhenAnOutputWasOpen) {
    StartUp({"Keys"}, {"Synth", "Piano"}, "Keys", "Synth");
    mf_MidiInStart();
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    sim::ClearLogs();
    mf_MidiOutSwitch(2);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);
    EXPECT_EQ(sim::OutputLog().front().device, 0);
    EXPECT_EQ(g_ThruConnect, 0);
    for (const auto& e : sim::OutputLog()) EXPECT_NE(e.kind, sim::Event::Connect);
}

TEST_F(PortsTest, OutputSwitchJoinsAtOnceWhenThruWasOnWithoutAnOutput) {
    sim::SetOutputOpenResult(0, plat::kMmAllocated);
    sim::SetOutputOpenResult(-1, plat::kMmAllocated);
    StartUp({"Keys"}, {"Synth", "Piano"}, "Keys", "Synth");
    ASSERT_EQ(g_MidiOutHandle, nullptr);
    mf_MidiInStart();
    // The connection button with an input but no output: the flag is set, nothing is joined.
    g_ThruConnect = 1;
    mf_ThruConnect(1);
    ASSERT_EQ(g_ThruConnect, 1);
    sim::ClearLogs();

    mf_MidiOutSwitch(2);
    EXPECT_EQ(g_ThruConnect, 1);
    const uint64_t t = sim::OutputLog().front().timeUs;
    auto expected = Expect(1).OpenSequence(0).At(16000).Add("Connect").Burst(123).Burst(120).v;
    EXPECT_EQ(Trace(t), expected);
    // The driver forwards from now on; the engine steps aside.
    sim::ClearLogs();
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));
    sim::Pump();
    ASSERT_EQ(sim::ShortMessages().size(), 1u);
}

// ================================ Closing at exit ================================================

TEST_F(PortsTest, DeviceCloseWithNeitherPortOpenDoesNothing) {
    sim::SetOutputOpenResult(-1, plat::kMmError);
    StartUp({}, {}, "", "");
    plat::MidiHdr* in = g_MidiInHeader;
    plat::MidiHdr* out = g_MidiOutHeader;
    sim::ClearLogs();
    mf_DeviceClose();
    EXPECT_EQ(g_MidiInHeader, in);  // nothing freed
    EXPECT_EQ(g_MidiOutHeader, out);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
}

TEST_F(PortsTest, DeviceCloseWithOnlyTheOutputOpen) {
    StartUp({}, {"Synth"}, "", "Synth");
    plat::MidiHdr* in = g_MidiInHeader;
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_DeviceClose();
    EXPECT_EQ(Trace(t), Expect(0).CloseSequence(0).v);
    EXPECT_EQ(g_MidiInHeader, in);
    EXPECT_EQ(g_MidiOutHeader, nullptr);
}

TEST_F(PortsTest, DeviceCloseWithOnlyTheInputOpen) {
    sim::SetOutputOpenResult(-1, plat::kMmError);
    sim::SetOutputOpenResult(0, plat::kMmError);
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    plat::MidiHdr* out = g_MidiOutHeader;
    mf_DeviceClose();
    EXPECT_EQ(g_MidiInHeader, nullptr);
    EXPECT_EQ(g_MidiOutHeader, out);
    EXPECT_EQ(sim::OpenInputs(), 0);
    sim::Pump();  // the reset's empty buffer must not be touched after it was freed
}

TEST_F(PortsTest, DeviceCloseWithBothPortsClosesInputThenOutputAndFreesBoth) {
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    // A SysEx in flight at the output when the user leaves.
    sim::SetOutputLongMode(0, sim::LongMode::Never);
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7D, 0x01, 0xF7}));
    sim::Pump();
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_DeviceClose();
    EXPECT_EQ(Trace(t), Expect(0).Burst(123).Burst(120).CloseSequence(0).v);
    const std::vector<sim::InKind> closing = {sim::InKind::Stop, sim::InKind::Reset, sim::InKind::Unprepare,
                                              sim::InKind::Close};
    EXPECT_EQ(InputKinds(), closing);
    EXPECT_EQ(g_MidiInHeader, nullptr);
    EXPECT_EQ(g_MidiOutHeader, nullptr);
    EXPECT_EQ(sim::OpenInputs(), 0);
    EXPECT_EQ(sim::OpenOutputs(), 0);
    // Messages the closes made the drivers post point at freed buffers; they must be ignored.
    sim::ClearLogs();
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
}

}  // namespace
}  // namespace kvntest
