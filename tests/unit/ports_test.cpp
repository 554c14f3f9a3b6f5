// Device catalogues, start-up fall-backs, the cable rule and the life of both ports, checked
// against what the simulated drivers received and when.
#include <functional>
#include <string>
#include <tuple>
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

// Both ports as the engine and the drivers see them: input row, the device its driver has open (-1
// none) and name; output row, name, the device of the last output open in the log (-1 the mapper,
// -99 none) and whether the engine holds an output handle.
using Ports = std::tuple<int, int, std::string, int, std::string, int, bool>;
Ports Now() {
    int outDev = -99;
    for (const auto& e : sim::OutputLog()) outDev = e.kind == sim::Event::Open ? e.device : outDev;
    return {
        g_MidiInDevice, sim::OpenInputDevice(),    g_MidiInDeviceName, g_MidiOutDevice, g_MidiOutDeviceName,
        outDev,         g_MidiOutHandle != nullptr};
}

// Every report so far, in order; all of them plain boxes captioned with the program's name.
Names Boxes() {
    Names texts;
    for (const auto& b : sim::Boxes()) {
        EXPECT_EQ(std::tie(b.caption, b.style), std::make_tuple("Korvane", plat::kMbOk)) << b.text;
        texts.push_back(b.text);
    }
    return texts;
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
    void Fresh() { TearDown(), SetUp(); }
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
    Names ins, outs = {kMapper};
    for (int i = 0; i < 25; ++i)
        ins.push_back("In " + std::to_string(i)), outs.push_back("Out " + std::to_string(i));
    // Devices beyond the catalogue can't be found by name: the fall-backs take over.
    StartUp(ins, Names(outs.begin() + 1, outs.end()), "In 22", "Out 20");
    ASSERT_EQ(g_MidiInCount, 21);
    ASSERT_EQ(g_MidiOutCount, 21);
    EXPECT_EQ(Rows(g_MidiInCaps, 21), Names(ins.begin(), ins.begin() + 21));
    EXPECT_EQ(Rows(g_MidiOutCaps, 21), Names(outs.begin(), outs.begin() + 21));
    EXPECT_EQ(Now(), (Ports{0, 0, "In 0", 0, kMapper, -1, true}));
    mf_MidiInSwitch(20);  // the last rows themselves are reachable
    mf_MidiOutSwitch(20);
    EXPECT_EQ(Now(), (Ports{20, 20, "In 20", 20, "Out 19", 19, true}));
}

TEST_F(PortsTest, NoDevicesLeaveTheInputAbsentAndTheMapperOpen) {
    StartUp({}, {}, "Keys", "Synth");
    EXPECT_EQ(std::make_pair(g_MidiInCount, g_MidiOutCount), std::make_pair(0, 1));
    EXPECT_EQ(Now(), (Ports{-1, -1, "", 0, kMapper, -1, true}));
    EXPECT_TRUE(sim::Boxes().empty());
    mf_MidiInStart();  // nothing to start
    EXPECT_TRUE(sim::InputLog().empty());
}

TEST_F(PortsTest, RebuildingAfterDevicesChangedKeepsTheOpenPortsAsTheyWere) {
    StartUp({"A", "B"}, {"X", "Y", "Z"}, "B", "Z");
    ASSERT_EQ(Now(), (Ports{1, 1, "B", 3, "Z", 2, true}));
    const auto handles = std::make_pair(g_MidiInHandle, g_MidiOutHandle);
    sim::ClearLogs();
    sim::SetInputDevices({"New", "A", "B"});  // a new input in front, outputs gone
    sim::SetOutputDevices({"Z"});
    mf_MidiInEnumerate();
    mf_MidiOutEnumerate();
    ASSERT_EQ(std::make_pair(g_MidiInCount, g_MidiOutCount), std::make_pair(3, 2));
    EXPECT_EQ(Rows(g_MidiInCaps, 3), (Names{"New", "A", "B"}));
    EXPECT_EQ(Rows(g_MidiOutCaps, 4), (Names{kMapper, "Z", "", ""}));  // rows past the end are cleared
    // Rows may now describe other devices; the ports themselves are not touched.
    EXPECT_EQ(Now(), (Ports{1, 1, "B", 3, "Z", -99, true}));
    EXPECT_EQ(std::make_pair(g_MidiInHandle, g_MidiOutHandle), handles);
    EXPECT_TRUE(sim::OutputLog().empty() && sim::InputLog().empty());
    mf_MidiInSwitch(0);  // picking from the new catalogue opens what the new rows describe
    mf_MidiOutSwitch(1);
    EXPECT_EQ(Now(), (Ports{0, 0, "New", 1, "Z", 0, true}));
}

TEST_F(PortsTest, InputVanishingWhileOpenIsClosedProperlyAndEndsConnectionThru) {
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    ThruOn();
    sim::SetInputDevices({});
    mf_MidiInEnumerate();
    EXPECT_EQ(g_MidiInHandle, nullptr);
    EXPECT_EQ(g_MidiInCount, 0);
    EXPECT_EQ(Now(), (Ports{-1, -1, "", 1, "Synth", -99, true}));
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_EQ(InputKinds(), kInputClosing);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);
    sim::ClearLogs();  // the buffer the reset returned is posted empty and handled without effect
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty() && sim::InputLog().empty());
}

// ================================ Devices that leave and come back ===============================

// The ports stay open while their devices come and go; each step's posted messages are handled,
// then a note is played. An output device that is back hears what an opened output hears, tuned to
// the pitch of the moment; an input device that leaves has its notes silenced, once; nothing else
// is sent, to no other device, and a message about a port switched away from since does nothing.
TEST_F(PortsTest, DevicesThatLeaveAndComeBackSilenceOrGreetOnlyTheirOwnOpenPort) {
    StartUp({"Keys", "Pads"}, {"Synth", "Piano"}, "Keys", "Synth");
    mf_MidiInStart();
    g_Frequency = 4425;
    const auto none = Names{};
    const auto greeting = [](int dev) {
        return Expect(dev).Burst(123).Burst(120).Burst(121).At(16000).Tuning(442.5).v;
    };
    const auto silence = [](int dev) { return Expect(dev).Burst(123).Burst(120).v; };
    const auto leaves = [](bool input) { return [input] { ASSERT_TRUE(sim::DeviceLeaves(input)); }; };
    const auto returns = [](bool input) { return [input] { ASSERT_TRUE(sim::DeviceReturns(input)); }; };
    const auto away = [](bool input) {
        return [input] {
            ASSERT_TRUE(sim::DeviceLeaves(input));
            ASSERT_TRUE(sim::DeviceReturns(input));
        };
    };
    struct Step {
        std::string what;
        std::function<void()> act;
        Names want;
        bool notePlays;  // a note from the input gets through afterwards
    };
    std::vector<Step> steps;
    for (int cycle = 0; cycle < 3; ++cycle) {
        const std::vector<Step> round = {
            {"output leaves", leaves(false), none, true},
            {"output leaves again", leaves(false), none, true},
            {"output returns", returns(false), greeting(0), true},
            {"output returns again", returns(false), none, true},
            {"input leaves", leaves(true), silence(0), false},
            {"input leaves again", leaves(true), none, false},
            {"input returns", returns(true), none, true},
        };
        steps.insert(steps.end(), round.begin(), round.end());
    }
    // The picker switches before the news is handled: it concerns a port that is closed now.
    const auto switched = [](std::function<void()> news, std::function<void()> pick) {
        return [news, pick] {
            news();
            pick();
            sim::ClearLogs();
        };
    };
    steps.push_back(
        {"output back, then a switch", switched(away(false), [] { mf_MidiOutSwitch(2); }), none, true});
    steps.push_back(
        {"input gone, then a switch", switched(leaves(true), [] { mf_MidiInSwitch(1); }), none, true});
    steps.push_back({"the new output's device leaves and comes back", away(false), greeting(1), true});

    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        sim::ClearLogs();
        const uint64_t t = sim::NowUs();
        step.act();
        sim::Pump();
        EXPECT_EQ(Trace(t), step.want);
        sim::ClearLogs();
        const int out = g_MidiOutDevice - 1;
        EXPECT_EQ(sim::DeliverShort(Msg(0x90, 60, 100)), step.notePlays);
        sim::Pump();
        EXPECT_EQ(Trace(sim::NowUs()), step.notePlays ? Expect(out).Add(Text(0x90, 60, 100)).v : none);
    }
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
        {{"K1", "K2"}, {"S1", "S2"}, "K2", "S2", {1, 1, "K2", 2, "S2", 1, true}},
        // Names compare byte for byte; of two equal names the lower row wins.
        {{"Keys", "Dup", "Dup"}, {"Dup", "Other", "Dup"}, "Dup", "Dup", {1, 1, "Dup", 1, "Dup", 0, true}},
        // A missing or empty stored input: row 0 and its name; a missing or empty output: the mapper.
        {{"Keys", "Pads"}, {"Synth"}, "", "Synth", {0, 0, "Keys", 1, "Synth", 0, true}},
        {{"Keys", "Pads"}, {"Synth"}, "Gone", "", {0, 0, "Keys", 0, kMapper, -1, true}},
        {{"Keys", "Pads"}, {"Synth"}, "keys", "Gone", {0, 0, "Keys", 0, kMapper, -1, true}},
        {{"Keys"}, {"Synth"}, "Keys", "Synth ", {0, 0, "Keys", 0, kMapper, -1, true}},
        // The other end of the input's cable is replaced by the mapper.
        {{"Keys", y1}, {"Synth", o1}, y1, o1, {1, 1, y1, 0, kMapper, -1, true}},
        {{"Keys", y1}, {"Synth", o2}, y1, o2, {1, 1, y1, 2, o2, 1, true}},
        {{"Keys", lp}, {"Synth", lp}, lp, lp, {1, 1, lp, 0, kMapper, -1, true}},
        {{"Keys", lp1}, {"Synth", lp2}, lp1, lp2, {1, 1, lp1, 2, lp2, 1, true}},
        {{"Keys", "USB"}, {"Synth", "USB"}, "USB", "USB", {1, 1, "USB", 2, "USB", 1, true}}};
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
    EXPECT_EQ(Now(), (Ports{0, -1, "", 1, lp, 0, true}));
}

TEST_F(PortsTest, OutputFailuresAtStartUpAreReportedBeforeTheMapperOpens) {
    const struct {
        std::vector<std::pair<int, uint32_t>> results;  // device id, open result
        std::string stored;
        Names boxes;
        bool mapperOpens;
    } cases[] = {{{{1, plat::kMmAllocated}}, "Busy", {kInUse}, true},
                 {{{0, plat::kMmError}}, "Synth", {kOutUnusable}, true},
                 {{{0, plat::kMmBadDeviceId}}, "Synth", {kOutUnusable}, true},
                 {{{0, plat::kMmInvalParam}}, "Synth", {kOutUnusable}, true},
                 {{{0, plat::kMmAllocated}, {-1, plat::kMmError}}, "Synth", {kInUse, kOutUnusable}, false},
                 // The stored mapper is tried once more.
                 {{{-1, plat::kMmAllocated}}, kMapper, {kInUse, kInUse}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored + " " + std::to_string(c.boxes.size()));
        Fresh();
        for (const auto& [id, result] : c.results) sim::SetOutputOpenResult(id, result);
        size_t logAtBox = 99;
        sim::SetBoxHook([&](const sim::Box&) { logAtBox = sim::OutputLog().size(); });
        StartUp({"Keys"}, {"Synth", "Busy"}, "Keys", c.stored);
        EXPECT_EQ(Boxes(), c.boxes);
        EXPECT_EQ(logAtBox, 0u);
        const std::string name = c.mapperOpens ? kMapper : "";
        EXPECT_EQ(Now(), (Ports{0, 0, "Keys", 0, name, c.mapperOpens ? -1 : -99, c.mapperOpens}));
        EXPECT_EQ(Trace(0), c.mapperOpens ? Expect(-1).OpenSequence(0).v : Names{});
    }
}

TEST_F(PortsTest, CableRuleHitsAndNearMisses) {
    const struct {
        const char *in, *out;
        bool fixedIsInput, cable;
    } cases[] = {
        // Beyond the pairs of the start-up cases. MIDI Yoke: the 13 characters from position 8 of the
        // input against those from 7 of the output; what follows them does not matter, the 13th does; a
        // piece is cut at the end of its string; same position on both sides is not the rule.
        {"In From MIDI Yoke:  1", "Out To MIDI yoke:  1", true, false},
        {"In From MIDI Yoke:  1 left", "Out To MIDI Yoke:  1 right", true, true},
        {"In From MIDI Yoke: 12", "Out To MIDI Yoke: 13", true, false},
        {"In From MIDI Yoke:  1", "In From MIDI Yoke:  1", true, false},
        {"In From MIDI Yoke:", "Out To MIDI Yoke:", true, true},
        {"In From MIDI Yoke:", "Out To MIDI Yoke:  1", true, false},
        {"In From MIDI Yoke:  1", "Out To", true, false},
        {"In", "Out To MIDI Yoke:  1", false, false},
        // Only the fixed side is searched for the driver's name.
        {"AAAAAAAAMIDI Yoke;  1", "BBBBBBBMIDI Yoke;  1 MIDI Yoke:", true, false},
        {"AAAAAAAAMIDI Yoke;  1", "BBBBBBBMIDI Yoke;  1 MIDI Yoke:", false, true},
        // loopMIDI: both ends carry the same name.
        {"loopMIDI Port 3", "loopMIDI Port 3", false, true},
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

// ================================ Closing and switching ==========================================

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
    EXPECT_EQ(Now(), (Ports{0, 0, "Keys", -1, "Synth", 0, false}));  // the name is kept
    sim::ClearLogs();  // the driver's completion of the returned header is handled later without harm
    sim::Pump();
    mf_MidiOutClose();  // again: nothing
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(sim::QueuedInputBuffers(), 1);
}

TEST_F(PortsTest, InputSwitchOpensAndStartsThePickedRowWithoutAFallBack) {
    sim::SetInputOpenResult(2, plat::kMmAllocated);
    sim::SetInputOpenResult(3, plat::kMmError);
    sim::SetInputOpenResult(4, plat::kMmBadDeviceId);
    StartUp({"Keys", "Pads", "Busy", "Broken", "Gone"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    mf_MidiInSwitch(1);
    EXPECT_EQ(Now(), (Ports{1, 1, "Pads", 1, "Synth", 0, true}));
    EXPECT_EQ(sim::OpenInputs(), 1);
    EXPECT_TRUE(sim::InputStarted());
    // The old input's buffer came back empty during the reset; handling that late message must
    // leave the new input's buffer where it is, so SysEx keeps arriving.
    sim::ClearLogs();
    sim::Pump();
    ASSERT_TRUE(sim::DeliverSysEx({0xF0, 0x7D, 0x02, 0xF7}));
    sim::Pump();
    ASSERT_EQ(sim::OutputLog().size(), 1u);
    EXPECT_EQ(sim::OutputLog()[0].data, (std::vector<uint8_t>{0xF0, 0x7D, 0x02, 0xF7}));

    // The failed state: empty name, the row kept, no handle; no other input is tried.
    for (int row : {2, 3, 4}) mf_MidiInSwitch(row);
    EXPECT_EQ(Boxes(), (Names{kInInUse, kInUnusable, kInUnusable}));
    EXPECT_EQ(Now(), (Ports{4, -1, "", 1, "Synth", -99, true}));
    EXPECT_EQ(g_MidiInHandle, nullptr);
}

TEST_F(PortsTest, OutputSwitchClosesTheOldInItsFixedOrderThenOpensThePickedWithoutAFallBack) {
    sim::SetOutputOpenResult(2, plat::kMmError);
    StartUp({}, {"Synth", "Piano", "Broken"}, "", "Synth");
    sim::ClearLogs();
    const uint64_t t = sim::NowUs();
    mf_MidiOutSwitch(2);
    // Silenced, reset and closed with its pauses; opened, silenced and tuned 16 ms later.
    EXPECT_EQ(Trace(t), Expect(0).CloseSequence(0).Dev(1).OpenSequence(64000).v);
    EXPECT_EQ(sim::NowUs() - t, 64000u + 16000u);
    EXPECT_EQ(Now(), (Ports{-1, -1, "", 2, "Piano", 1, true}));
    EXPECT_EQ(sim::OpenOutputs(), 1);
    mf_MidiOutSwitch(0);
    EXPECT_EQ(Now(), (Ports{-1, -1, "", 0, kMapper, -1, true}));
    sim::ClearLogs();
    mf_MidiOutSwitch(3);
    EXPECT_EQ(Boxes(), Names{kOutUnusable});
    EXPECT_EQ(Now(), (Ports{-1, -1, "", 3, "", -99, false}));
    EXPECT_EQ(sim::OpenOutputs(), 0);
}

TEST_F(PortsTest, SwitchingEitherPortEndsConnectionThruFirst) {
    StartUp({"Keys", "Pads"}, {"Synth", "Piano"}, "Keys", "Synth");
    ThruOn();
    mf_MidiInSwitch(1);
    ASSERT_FALSE(sim::OutputLog().empty() || sim::InputLog().empty());
    EXPECT_EQ(sim::OutputLog().front().kind, sim::Event::Disconnect);
    EXPECT_EQ(sim::InputLog().front().kind, sim::InKind::Stop);
    EXPECT_GT(sim::InputLog().front().outIndex, 0u);  // the link was removed before the input stopped
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_FALSE(AnyOutput(sim::Event::Connect));
    ThruOn();
    mf_MidiOutSwitch(2);
    ASSERT_FALSE(sim::OutputLog().empty());
    EXPECT_EQ(std::make_pair(sim::OutputLog().front().kind, sim::OutputLog().front().device),
              std::make_pair(sim::Event::Disconnect, 0));
    EXPECT_EQ(g_ThruConnect, 0);
    EXPECT_FALSE(AnyOutput(sim::Event::Connect));
}

TEST_F(PortsTest, OutputSwitchJoinsAtOnceWhenThruWasOnWithoutAnOutput) {
    sim::SetOutputOpenResult(0, plat::kMmAllocated);
    sim::SetOutputOpenResult(-1, plat::kMmAllocated);
    StartUp({"Keys"}, {"Synth", "Piano"}, "Keys", "Synth");
    ASSERT_EQ(g_MidiOutHandle, nullptr);
    ThruOn();          // with an input but no output: the flag is set, nothing is joined
    g_OutputDone = 0;  // whatever a former output left: an open starts idle
    mf_MidiOutSwitch(2);
    EXPECT_EQ(g_OutputDone, 1);
    EXPECT_EQ(g_ThruConnect, 1);
    const uint64_t t = sim::OutputLog().front().timeUs;
    EXPECT_EQ(Trace(t), Expect(1).OpenSequence(0).At(16000).Add("Connect").Burst(123).Burst(120).v);
}

TEST_F(PortsTest, DeviceCloseClosesWhatIsOpenInputFirstAndFreesOnlyItsBuffers) {
    // Neither port open: nothing happens, nothing is freed.
    sim::SetOutputOpenResult(-1, plat::kMmError);
    StartUp({}, {}, "", "");
    const auto headers = std::make_pair(g_MidiInHeader, g_MidiOutHeader);
    sim::ClearLogs();
    mf_DeviceClose();
    EXPECT_EQ(std::make_pair(g_MidiInHeader, g_MidiOutHeader), headers);
    EXPECT_TRUE(sim::OutputLog().empty() && sim::InputLog().empty());

    Fresh();  // only the input
    sim::SetOutputOpenResult(-1, plat::kMmError);
    sim::SetOutputOpenResult(0, plat::kMmError);
    StartUp({"Keys"}, {"Synth"}, "Keys", "Synth");
    mf_MidiInStart();
    plat::MidiHdr* out = g_MidiOutHeader;
    mf_DeviceClose();
    EXPECT_TRUE(g_MidiInHeader == nullptr && g_MidiOutHeader == out);
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
    ASSERT_EQ(InputKinds(), kInputClosing);
    // The input's All Notes Off and All Sound Off reach the output between its unprepare and close.
    EXPECT_EQ(sim::InputLog()[2].outIndex, 0u);
    EXPECT_EQ(sim::InputLog()[3].outIndex, 32u);
    EXPECT_TRUE(g_MidiInHeader == nullptr && g_MidiOutHeader == nullptr);
    EXPECT_EQ(sim::OpenInputs() + sim::OpenOutputs(), 0);
    sim::ClearLogs();  // messages the closes made the drivers post point at freed buffers
    sim::Pump();
    EXPECT_TRUE(sim::OutputLog().empty() && sim::InputLog().empty());
}

}  // namespace
}  // namespace kvntest
