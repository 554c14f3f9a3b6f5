// Device catalogues, start-up fall-backs, the cable rule and the life of both ports, checked
// against what the simulated drivers received and when.
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/engine_fixture.h"
#include "tests/support/output_trace.h"

namespace kvntest {
namespace {

using Names = std::vector<std::string>;

constexpr const char* kInUse = "The specified MIDI output device is already in use by another application.";
constexpr const char* kOutUnusable = "The specified MIDI output device can not be used";
constexpr const char* kInInUse = "The specified MIDI input device is already in use by another application.";
constexpr const char* kInUnusable = "The specified MIDI input device can not be used";
constexpr const char* kMapper = "Window's MIDI Mapper";

const std::vector<sim::InKind> kInputClosing = {sim::InKind::Stop, sim::InKind::Reset, sim::InKind::Unprepare,
                                                sim::InKind::Close};

std::vector<sim::InKind> InputKinds() {
    std::vector<sim::InKind> kinds;
    for (const auto& e : sim::InputLog()) kinds.push_back(e.kind);
    return kinds;
}

// The names of the first `n` rows of a catalogue.
Names Rows(const MidiCaps* caps, int n) {
    Names out;
    for (int row = 0; row < n; ++row) out.push_back(caps[row].szPname);
    return out;
}

bool AnyOutput(sim::Event kind) {
    for (const auto& e : sim::OutputLog()) {
        if (e.kind == kind) return true;
    }
    return false;
}

// Both ports as the engine and the drivers see them. `inDev`: the device the input driver has
// open (-1 none); `outDev`: the device of the last output open in the log (-1 the mapper, -99 none).
struct Ports {
    int inRow;
    std::string inName;
    int inDev, outRow;
    std::string outName;
    int outDev;
    bool outOpen;
    bool operator==(const Ports&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Ports& p) {
    return os << "in row " << p.inRow << " '" << p.inName << "' dev " << p.inDev << ", out row " << p.outRow
              << " '" << p.outName << "' dev " << p.outDev << (p.outOpen ? " open" : " closed");
}
Ports Now() {
    int outDev = -99;
    for (const auto& e : sim::OutputLog()) outDev = e.kind == sim::Event::Open ? e.device : outDev;
    return {g_MidiInDevice,
            g_MidiInDeviceName,
            sim::OpenInputDevice(),
            g_MidiOutDevice,
            g_MidiOutDeviceName,
            outDev,
            g_MidiOutHandle != nullptr};
}

// Every report so far, in order; all of them plain boxes captioned with the program's name.
void ExpectBoxes(const Names& texts) {
    ASSERT_EQ(sim::Boxes().size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(sim::Boxes()[i].text, texts[i]);
        EXPECT_EQ(sim::Boxes()[i].caption, "Korvane");
        EXPECT_EQ(sim::Boxes()[i].style, plat::kMbOk);
    }
}

class PortsTest : public EngineTest {
protected:
    // The start-up step of the ports with the names the settings file held.
    static void StartUp(Names inputs, Names outputs, const std::string& storedIn,
                        const std::string& storedOut) {
        sim::SetInputDevices(std::move(inputs));
        sim::SetOutputDevices(std::move(outputs));
        g_MidiInDeviceName = storedIn;
        g_MidiOutDeviceName = storedOut;
        mf_DeviceInitialize();
    }
    void Fresh() {
        TearDown();
        SetUp();
    }
    // Connection thru switched on by the user, the input started.
    static void ThruOn() {
        mf_MidiInStart();
        g_ThruConnect = 1;
        mf_ThruConnect(1);
        sim::ClearLogs();
    }
};

// ================================ Catalogues =====================================================

TEST_F(PortsTest, TwentyFiveDevicesLeaveTwentyOneRowsOnEachSide) {
    Names ins, outs;
    for (int i = 0; i < 25; ++i) {
        ins.push_back("In " + std::to_string(i));
        outs.push_back("Out " + std::to_string(i));
    }
    // Devices beyond the catalogue can't be found by name: the fall-backs take over.
    StartUp(ins, outs, "In 22", "Out 20");
    ASSERT_EQ(g_MidiInCount, 21);
    ASSERT_EQ(g_MidiOutCount, 21);
    EXPECT_EQ(Rows(g_MidiInCaps, 21), Names(ins.begin(), ins.begin() + 21));
    outs.insert(outs.begin(), kMapper);
    EXPECT_EQ(Rows(g_MidiOutCaps, 21), Names(outs.begin(), outs.begin() + 21));
    EXPECT_EQ(Now(), (Ports{0, "In 0", 0, 0, kMapper, -1, true}));
    mf_MidiInSwitch(20);  // the last rows themselves are reachable
    mf_MidiOutSwitch(20);
    EXPECT_EQ(Now(), (Ports{20, "In 20", 20, 20, "Out 19", 19, true}));
}

TEST_F(PortsTest, NoDevicesLeaveTheInputAbsentAndTheMapperOpen) {
    StartUp({}, {}, "Keys", "Synth");
    EXPECT_EQ(g_MidiInCount, 0);
    EXPECT_EQ(g_MidiOutCount, 1);
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(Now(), (Ports{-1, "", -1, 0, kMapper, -1, true}));
    EXPECT_TRUE(sim::Boxes().empty());
    mf_MidiInStart();  // nothing to start
    EXPECT_TRUE(sim::InputLog().empty());
}

TEST_F(PortsTest, RebuildingAfterDevicesChangedKeepsTheOpenPortsAsTheyWere) {
    StartUp({"A", "B"}, {"X", "Y", "Z"}, "B", "Z");
    ASSERT_EQ(Now(), (Ports{1, "B", 1, 3, "Z", 2, true}));
    const auto inHandle = g_MidiInHandle;
    const auto outHandle = g_MidiOutHandle;
    sim::ClearLogs();

    sim::SetInputDevices({"New", "A", "B"});  // a new input in front, outputs gone
    sim::SetOutputDevices({"Z"});
    mf_MidiInEnumerate();
    mf_MidiOutEnumerate();
    ASSERT_EQ(g_MidiInCount, 3);
    ASSERT_EQ(g_MidiOutCount, 2);
    EXPECT_EQ(Rows(g_MidiInCaps, 3), (Names{"New", "A", "B"}));
    EXPECT_EQ(Rows(g_MidiOutCaps, 4), (Names{kMapper, "Z", "", ""}));  // rows past the end are cleared
    // Rows may now describe other devices; the ports themselves are not touched.
    EXPECT_EQ(Now(), (Ports{1, "B", 1, 3, "Z", -99, true}));
    EXPECT_EQ(g_MidiInHandle, inHandle);
    EXPECT_EQ(g_MidiOutHandle, outHandle);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());

    mf_MidiInSwitch(0);  // picking from the new catalogue opens what the new rows describe
    mf_MidiOutSwitch(1);
    EXPECT_EQ(Now(), (Ports{0, "New", 0, 1, "Z", 0, true}));
}

TEST_F(PortsTest, InputVanishingWhileOpenIsClosedProperlyAndEndsConnectionThru) {
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    ThruOn();
    sim::SetInputDevices({});
    mf_MidiInEnumerate();
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(g_MidiInCount, 0);
    EXPECT_EQ(Now(), (Ports{-1, "", -1, 1, "Synth", -99, true}));
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_EQ(InputKinds(), kInputClosing);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);

    sim::ClearLogs();  // the buffer the reset returned is posted empty and handled without effect
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
}

// ================================ Start-up choices ===============================================

TEST_F(PortsTest, StartUpPicksTheStoredRowsOrFallsBack) {
    const std::string y1 = "In From MIDI Yoke:  1", o1 = "Out To MIDI Yoke:  1", o2 = "Out To MIDI Yoke:  2";
    const std::string lp = "loopMIDI Port", lp1 = "loopMIDI Port 1", lp2 = "loopMIDI Port 2";
    const struct {
        Names ins, outs;
        std::string storedIn, storedOut;
        Ports want;
    } cases[] = {
        {{"K1", "K2"}, {"S1", "S2"}, "K2", "S2", {1, "K2", 1, 2, "S2", 1, true}},
        // Names compare byte for byte; of two equal names the lower row wins.
        {{"Keys", "Dup", "Dup"}, {"Dup", "Other", "Dup"}, "Dup", "Dup", {1, "Dup", 1, 1, "Dup", 0, true}},
        // A missing or empty stored input: row 0 and its name; a missing or empty output: the mapper.
        {{"Keys", "Pads"}, {"Synth"}, "", "Synth", {0, "Keys", 0, 1, "Synth", 0, true}},
        {{"Keys", "Pads"}, {"Synth"}, "Gone", "", {0, "Keys", 0, 0, kMapper, -1, true}},
        {{"Keys", "Pads"}, {"Synth"}, "keys", "Gone", {0, "Keys", 0, 0, kMapper, -1, true}},
        {{"Keys"}, {"Synth"}, "Keys", "Synth ", {0, "Keys", 0, 0, kMapper, -1, true}},
        // The other end of the input's cable is replaced by the mapper.
        {{"Keys", y1}, {"Synth", o1}, y1, o1, {1, y1, 1, 0, kMapper, -1, true}},
        {{"Keys", y1}, {"Synth", o2}, y1, o2, {1, y1, 1, 2, o2, 1, true}},
        {{"Keys", lp}, {"Synth", lp}, lp, lp, {1, lp, 1, 0, kMapper, -1, true}},
        {{"Keys", lp1}, {"Synth", lp2}, lp1, lp2, {1, lp1, 1, 2, lp2, 1, true}},
        {{"Keys", "USB"}, {"Synth", "USB"}, "USB", "USB", {1, "USB", 1, 2, "USB", 1, true}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.storedIn + " / " + c.storedOut);
        Fresh();
        StartUp(c.ins, c.outs, c.storedIn, c.storedOut);
        EXPECT_EQ(Now(), c.want);
        EXPECT_TRUE(sim::Boxes().empty());
        EXPECT_FALSE(sim::InputStarted());  // silent until started, the buffer not yet given
        EXPECT_EQ(sim::QueuedInputBuffers(), 0);
        EXPECT_EQ(g_MidiInHeader->dwBufferLength, kSysExBufferSize);
    }
    // A failed input's name is emptied, so the stored output is no longer its cable's end.
    Fresh();
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    StartUp({lp}, {lp}, lp, lp);
    EXPECT_EQ(Now(), (Ports{0, "", -1, 1, lp, 0, true}));
}

TEST_F(PortsTest, OutputInUseAtStartUpIsReportedBeforeTheMapperOpens) {
    sim::SetOutputOpenResult(1, plat::kMmAllocated);
    size_t logAtBox = 99;
    sim::SetBoxHook([&](const sim::Box&) { logAtBox = sim::OutputLog().size(); });
    StartUp({"Keys"}, {"Synth", "Busy"}, "Keys", "Busy");
    ExpectBoxes({kInUse});
    EXPECT_EQ(logAtBox, 0u);
    EXPECT_EQ(Now(), (Ports{0, "Keys", 0, 0, kMapper, -1, true}));
    EXPECT_EQ(Trace(0), Expect(-1).OpenSequence(0).v);
}

TEST_F(PortsTest, OutputFailuresAtStartUp) {
    const struct {
        std::vector<std::pair<int, uint32_t>> results;  // device id, open result
        std::string stored;
        Names boxes;
        bool mapperOpens;
    } cases[] = {{{{0, plat::kMmError}}, "Synth", {kOutUnusable}, true},
                 {{{0, plat::kMmBadDeviceId}}, "Synth", {kOutUnusable}, true},
                 {{{0, plat::kMmInvalParam}}, "Synth", {kOutUnusable}, true},
                 {{{0, plat::kMmAllocated}, {-1, plat::kMmError}}, "Synth", {kInUse, kOutUnusable}, false},
                 // The stored mapper is tried once more.
                 {{{-1, plat::kMmAllocated}}, kMapper, {kInUse, kInUse}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.boxes.size());
        Fresh();
        for (const auto& [id, result] : c.results) sim::SetOutputOpenResult(id, result);
        StartUp({"Keys"}, {"Synth"}, "Keys", c.stored);
        ExpectBoxes(c.boxes);
        const std::string name = c.mapperOpens ? kMapper : "";
        EXPECT_EQ(Now(), (Ports{0, "Keys", 0, 0, name, c.mapperOpens ? -1 : -99, c.mapperOpens}));
    }
}

TEST_F(PortsTest, InputThatCannotOpenIsReportedAndLeftFailed) {
    const std::pair<uint32_t, const char*> cases[] = {
        {plat::kMmAllocated, kInInUse}, {plat::kMmError, kInUnusable}, {plat::kMmBadDeviceId, kInUnusable}};
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(code);
        Fresh();
        sim::SetInputOpenResult(1, code);
        StartUp({"Keys", "Pads"}, {"Synth"}, "Pads", "Synth");
        ExpectBoxes({text});
        // The failed state: empty name, the row kept, no handle; no other input is tried; the
        // output opens all the same.
        EXPECT_EQ(Now(), (Ports{1, "", -1, 1, "Synth", 0, true}));
        EXPECT_EQ(g_MidiInHandle, nullptr);
        mf_MidiInStart();
        EXPECT_FALSE(sim::InputStarted());
    }
}

TEST_F(PortsTest, CableRuleHitsAndNearMisses) {
    const struct {
        const char *in, *out;
        bool fixedIsInput, cable;
    } cases[] = {// MIDI Yoke: the 13 characters from position 8 of the input against those from 7 of the
                 // output; what follows them does not matter, the 13th does; a piece is cut at the end of its
                 // string; same position on both sides is not the rule.
                 {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  1", true, true},
                 {"In From MIDI Yoke:  1", "Out To MIDI Yoke:  2", true, false},
                 {"In From MIDI Yoke:  1", "Out To MIDI yoke:  1", true, false},
                 {"In From MIDI Yoke:  1 left", "Out To MIDI Yoke:  1 right", true, true},
                 {"In From MIDI Yoke: 12", "Out To MIDI Yoke: 13", true, false},
                 {"In From MIDI Yoke:  1", "In From MIDI Yoke:  1", true, false},
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
                 {"", "", true, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(mf_IsCable(c.in, c.out, c.fixedIsInput), c.cable)
            << "in \"" << c.in << "\" out \"" << c.out << "\" fixed "
            << (c.fixedIsInput ? "input" : "output");
    }
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
}

TEST_F(PortsTest, OutputCloseFollowsItsFixedOrderAndPausesOnce) {
    StartUp({}, {"Synth"}, "", "Synth");
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_MidiOutClose();
    EXPECT_EQ(Trace(t), Expect(0).CloseSequence(0).v);
    EXPECT_EQ(sim::NowUs() - t, 64000u);                             // a last pause after the close
    EXPECT_EQ(Now(), (Ports{-1, "", -1, -1, "Synth", -99, false}));  // the name is kept
    EXPECT_EQ(g_OutputDone, 1);
    EXPECT_EQ(sim::OpenOutputs(), 0);
    sim::ClearLogs();
    mf_MidiOutClose();  // again: nothing
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
    sim::ClearLogs();  // the driver's completion of the returned header is handled later without harm
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
    ASSERT_EQ(InputKinds(), kInputClosing);
    // All Notes Off and All Sound Off reach the output between the unprepare and the close.
    EXPECT_EQ(sim::InputLog()[2].outIndex, 0u);
    EXPECT_EQ(sim::InputLog()[3].outIndex, 32u);
    EXPECT_EQ(Trace(t), Expect(0).Burst(123).Burst(120).v);
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(Now(), (Ports{-1, "Keys", -1, 1, "Synth", -99, true}));  // the name is kept
    sim::ClearLogs();
    mf_MidiInClose();
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::OutputLog().empty());
}

// ================================ Switching ports ================================================

TEST_F(PortsTest, InputSwitchOpensAndStartsThePickedRowWithoutAFallBack) {
    sim::SetInputOpenResult(2, plat::kMmAllocated);
    StartUp({"Keys", "Pads", "Busy"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    mf_MidiInSwitch(1);
    EXPECT_EQ(Now(), (Ports{1, "Pads", 1, 1, "Synth", 0, true}));
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

    mf_MidiInSwitch(2);
    ExpectBoxes({kInInUse});
    EXPECT_EQ(Now(), (Ports{2, "", -1, 1, "Synth", -99, true}));
    EXPECT_EQ(g_MidiInHandle, nullptr);
}

TEST_F(PortsTest, OutputSwitchClosesTheOldThenOpensThePickedWithoutAFallBack) {
    sim::SetOutputOpenResult(2, plat::kMmError);
    StartUp({}, {"Synth", "Piano", "Broken"}, "", "Synth");
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_MidiOutSwitch(2);
    EXPECT_EQ(Trace(t), Expect(0).CloseSequence(0).Dev(1).OpenSequence(64000).v);
    EXPECT_EQ(Now(), (Ports{-1, "", -1, 2, "Piano", 1, true}));
    EXPECT_EQ(sim::OpenOutputs(), 1);
    mf_MidiOutSwitch(0);
    EXPECT_EQ(Now(), (Ports{-1, "", -1, 0, kMapper, -1, true}));

    sim::ClearLogs();
    mf_MidiOutSwitch(3);
    ExpectBoxes({kOutUnusable});
    EXPECT_EQ(Now(), (Ports{-1, "", -1, 3, "", -99, false}));
    EXPECT_EQ(sim::OpenOutputs(), 0);
}

TEST_F(PortsTest, SwitchingEitherPortEndsConnectionThruFirst) {
    StartUp({"Keys", "Pads"}, {"Synth", "Piano"}, "Keys", "Synth");
    ThruOn();
    mf_MidiInSwitch(1);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);
    ASSERT_FALSE(sim::InputLog().empty());
    EXPECT_EQ(sim::InputLog().front().kind, sim::InKind::Stop);
    EXPECT_GT(sim::InputLog().front().outIndex, 0u);  // the link was removed before the input stopped
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_TRUE(sim::InputStarted());
    EXPECT_FALSE(AnyOutput(sim::Event::Connect));
    sim::ClearLogs();  // short messages reach the engine again
    Play(Msg(0x90, 60, 100));
    EXPECT_EQ(SentWords(), std::vector<uint32_t>{Msg(0x90, 60, 100)});

    ThruOn();
    mf_MidiOutSwitch(2);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);
    EXPECT_EQ(sim::OutputLog().front().device, 0);
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_FALSE(AnyOutput(sim::Event::Connect));
}

TEST_F(PortsTest, OutputSwitchJoinsAtOnceWhenThruWasOnWithoutAnOutput) {
    sim::SetOutputOpenResult(0, plat::kMmAllocated);
    sim::SetOutputOpenResult(-1, plat::kMmAllocated);
    StartUp({"Keys"}, {"Synth", "Piano"}, "Keys", "Synth");
    ASSERT_EQ(g_MidiOutHandle, nullptr);
    ThruOn();  // with an input but no output: the flag is set, nothing is joined
    ASSERT_EQ(g_ThruConnect, 1);
    mf_MidiOutSwitch(2);
    EXPECT_EQ(g_ThruConnect, 1);
    const uint64_t t = sim::OutputLog().front().timeUs;
    EXPECT_EQ(Trace(t), Expect(1).OpenSequence(0).At(16000).Add("Connect").Burst(123).Burst(120).v);
    sim::ClearLogs();  // the driver forwards from now on; the engine steps aside
    ASSERT_TRUE(sim::DeliverShort(Msg(0x90, 60, 100)));
    sim::Pump();
    ASSERT_EQ(sim::ShortMessages().size(), 1u);
}

// ================================ Closing at exit ================================================

TEST_F(PortsTest, DeviceCloseClosesWhatIsOpenInputFirstAndFreesOnlyItsBuffers) {
    // Neither port open: nothing happens, nothing is freed.
    sim::SetOutputOpenResult(-1, plat::kMmError);
    StartUp({}, {}, "", "");
    plat::MidiHdr* in = g_MidiInHeader;
    plat::MidiHdr* out = g_MidiOutHeader;
    sim::ClearLogs();
    mf_DeviceClose();
    EXPECT_EQ(g_MidiInHeader, in);
    EXPECT_EQ(g_MidiOutHeader, out);
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());

    Fresh();  // only the input
    sim::SetOutputOpenResult(-1, plat::kMmError);
    sim::SetOutputOpenResult(0, plat::kMmError);
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    out = g_MidiOutHeader;
    mf_DeviceClose();
    EXPECT_EQ(g_MidiInHeader, nullptr);
    EXPECT_EQ(g_MidiOutHeader, out);
    EXPECT_EQ(sim::OpenInputs(), 0);
    sim::Pump();  // the reset's empty buffer must not be touched after it was freed

    Fresh();  // both, with a SysEx in flight at the output when the user leaves
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    sim::SetOutputLongMode(0, sim::LongMode::Never);
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7D, 0x01, 0xF7}));
    sim::Pump();
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_DeviceClose();
    EXPECT_EQ(Trace(t), Expect(0).Burst(123).Burst(120).CloseSequence(0).v);
    EXPECT_EQ(InputKinds(), kInputClosing);
    EXPECT_EQ(g_MidiInHeader, nullptr);
    EXPECT_EQ(g_MidiOutHeader, nullptr);
    EXPECT_EQ(sim::OpenInputs() + sim::OpenOutputs(), 0);
    sim::ClearLogs();  // messages the closes made the drivers post point at freed buffers
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_TRUE(sim::InputLog().empty());
}

}  // namespace
}  // namespace kvntest
