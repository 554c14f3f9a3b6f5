// The MIDI side of the SDL adapter against a real JACK server (run_with.sh --jack): a player
// client plays into the adapter's input and a sink client records what the adapter sends.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/sdl/sdl_platform.h"
#include "tests/sdl/jack_client.h"
#include "tests/sdl/support.h"

using kvntest::Bytes;
using kvntest::Call;
using kvntest::Header;
using kvntest::JackClient;
using kvntest::PollUntil;
using kvntest::Recorder;

namespace {

constexpr uint32_t kHdr = sizeof(plat::MidiHdr);

class Environment : public ::testing::Environment {
public:
    void TearDown() override { sdlplat::Shutdown(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Environment);

uint32_t Word(const Bytes& b) {
    uint32_t w = 0;
    for (size_t i = 0; i < b.size() && i < 3; ++i) w |= uint32_t(b[i]) << (8 * i);
    return w;
}

Bytes SysEx(size_t size, uint8_t fill = 0x11) {
    Bytes b(size, fill);
    for (size_t i = 1; i + 1 < size; ++i) b[i] = uint8_t((i * 7) & 0x7F);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

const Bytes kGsReset{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7};
const Bytes kGmOn{0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};

uintptr_t Addr(const Header& h) { return reinterpret_cast<uintptr_t>(&h.hdr); }

// The message goes into the header's buffer, which the header then covers exactly.
void Fill(Header& h, const Bytes& message) {
    std::copy(message.begin(), message.end(), h.buffer.begin());
    h.hdr.dwBufferLength = uint32_t(message.size());
}

class SdlMidi : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(player.Ok()) << "no JACK server";
        ASSERT_TRUE(sink.Ok());
        // The player hears itself, so that a marker it sees back has passed every reader of its port.
        ASSERT_TRUE(player.Connect(player.OutPort(), player.InPort()));
        ASSERT_TRUE(PollUntil([&] { return player.Connected(player.OutPort(), player.InPort()); }));
    }

    // Returns once everything the player sent before has been through a complete period. The
    // player hears its marker in the very period it sent it, possibly before the adapter's client
    // has had its turn in that period: the period is over once the player has begun two more.
    void Barrier() {
        const Bytes marker{0xBF, 0x77, uint8_t(++markers_ & 0x7F)};
        player.Send(marker);
        ASSERT_TRUE(PollUntil([&] {
            const auto got = player.Received();
            return std::find(got.begin(), got.end(), marker) != got.end();
        }));
        ASSERT_TRUE(player.WaitCycles(2));
    }
    static bool IsMarker(uint32_t word) { return (word & 0xFFFF) == 0x77BF; }

    std::vector<uint32_t> DataWords(Recorder& rec) {
        std::vector<uint32_t> words;
        for (const Call& c : rec.Calls(plat::kMimData)) {
            if (!IsMarker(uint32_t(c.p1))) words.push_back(uint32_t(c.p1));
        }
        return words;
    }

    plat::HMidiIn OpenInput(Recorder& rec) {
        const int row = kvntest::Row(true, player.OutPort());
        EXPECT_GE(row, 0);
        plat::HMidiIn in = nullptr;
        EXPECT_EQ(plat::MidiInOpen(&in, uint32_t(row), Recorder::InProc, rec.Instance()), plat::kMmNoError);
        EXPECT_TRUE(player.Connected(player.OutPort(), "KVN:in"));
        return in;
    }

    plat::HMidiOut OpenOutput(Recorder& rec) {
        const int row = kvntest::Row(false, sink.InPort());
        EXPECT_GE(row, 0);
        plat::HMidiOut out = nullptr;
        EXPECT_EQ(plat::MidiOutOpen(&out, uint32_t(row), Recorder::OutProc, rec.Instance()),
                  plat::kMmNoError);
        // Connected by the time the open returns, so that nothing sent at once is lost.
        EXPECT_TRUE(sink.Connected(sdlplat::kOutClient + std::string(":out"), sink.InPort()));
        return out;
    }

    JackClient player{"kvnplay"};
    JackClient sink{"kvnsink"};
    int markers_ = 0;
};

TEST_F(SdlMidi, CataloguesUseFullJackNamesAndLeaveOutTheProgramsOwnPorts) {
    Recorder inRec, outRec;
    plat::HMidiIn in = OpenInput(inRec);
    plat::HMidiOut mapper = nullptr;
    ASSERT_EQ(plat::MidiOutOpen(&mapper, plat::kMidiMapper, Recorder::OutProc, outRec.Instance()),
              plat::kMmNoError);
    // The server lists our ports, the catalogues do not: choosing them would feed us back to ourselves.
    EXPECT_TRUE(sink.PortExists("KVN:in"));
    for (bool input : {true, false}) {
        const auto names = kvntest::Names(input);
        EXPECT_NE(std::find(names.begin(), names.end(), input ? "kvnplay:out" : "kvnsink:in"), names.end());
        for (const auto& name : names) EXPECT_NE(name.rfind("KVN", 0), 0u) << name;
    }
    char name[plat::kMaxPnameLen];
    EXPECT_EQ(plat::MidiInGetDevName(plat::MidiInGetNumDevs(), name, sizeof name), plat::kMmBadDeviceId);
    plat::HMidiIn none = nullptr;
    EXPECT_EQ(plat::MidiInOpen(&none, plat::MidiInGetNumDevs(), Recorder::InProc, 0), plat::kMmBadDeviceId);
    plat::HMidiOut noneOut = nullptr;
    EXPECT_EQ(plat::MidiOutOpen(&noneOut, plat::MidiOutGetNumDevs(), Recorder::OutProc, 0),
              plat::kMmBadDeviceId);

    // The mapper is the program's own port "KVN:out", connected to a synth by the user, not by us.
    ASSERT_TRUE(sink.PortExists("KVN:out"));
    EXPECT_FALSE(sink.Connected("KVN:out", sink.InPort()));
    ASSERT_TRUE(sink.Connect("KVN:out", sink.InPort()));
    ASSERT_TRUE(PollUntil([&] { return sink.Connected("KVN:out", sink.InPort()); }));
    ASSERT_EQ(plat::MidiOutShortMsg(mapper, 0x7F45C9), plat::kMmNoError);
    EXPECT_EQ(sink.WaitFor(1), (std::vector<Bytes>{{0xC9, 0x45}}));

    // A close removes the links the program made and leaves those someone else made: the ports
    // stay, so that the user's links hold over a switch.
    ASSERT_TRUE(sink.Connect(sink.OutPort(), "KVN:in"));
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(mapper), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmInvalHandle);
    EXPECT_FALSE(player.Connected(player.OutPort(), "KVN:in"));
    EXPECT_TRUE(sink.Connected(sink.OutPort(), "KVN:in"));
    EXPECT_TRUE(sink.Connected("KVN:out", sink.InPort()));
    ASSERT_EQ(plat::MidiOutOpen(&mapper, plat::kMidiMapper, Recorder::OutProc, outRec.Instance()),
              plat::kMmNoError);
    ASSERT_EQ(plat::MidiOutShortMsg(mapper, 0x7F46C9), plat::kMmNoError);
    EXPECT_EQ(sink.WaitFor(2), (std::vector<Bytes>{{0xC9, 0x45}, {0xC9, 0x46}}));
    EXPECT_EQ(plat::MidiOutClose(mapper), plat::kMmNoError);
}

TEST_F(SdlMidi, TheCatalogueShowsAPortsOwnNameOpensItByItsFullNameAndTakesUpAnEarlierStoredName) {
    // A device whose port repeats its client's name, as a USB interface's ports do.
    jack_client_t* device = jack_client_open("kvndev", JackNoStartServer, nullptr);
    ASSERT_NE(device, nullptr);
    ASSERT_NE(jack_port_register(device, "kvndev MIDI 1", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0),
              nullptr);
    ASSERT_EQ(jack_activate(device), 0);
    const int row = kvntest::Row(true, "kvndev MIDI 1");
    ASSERT_GE(row, 0);
    std::string stored = "kvndev:kvndev MIDI 1";  // as the earlier version wrote it to the settings
    plat::MidiTranslateStoredName(true, stored);
    EXPECT_EQ(stored, "kvndev MIDI 1");
    Recorder rec;
    plat::HMidiIn in = nullptr;
    ASSERT_EQ(plat::MidiInOpen(&in, uint32_t(row), Recorder::InProc, rec.Instance()), plat::kMmNoError);
    EXPECT_TRUE(PollUntil([&] { return player.Connected("kvndev:kvndev MIDI 1", "KVN:in"); }));
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    jack_client_close(device);
}

TEST_F(SdlMidi, ShortMessagesComeInAsPackedWordsAndLeaveWithTheirTrueLength) {
    const std::vector<Bytes> messages = {
        {0x90, 60, 100}, {0xC3, 5}, {0xD2, 7}, {0xE1, 0, 64}, {0xA0, 60, 3}, {0xB4, 7, 99}, {0xF1, 0x35},
        {0xF2, 1, 2},    {0xF3, 4}, {0xF6},    {0xF8},        {0xFA},        {0xFE},        {0xFF}};
    Recorder inRec, outRec;
    plat::HMidiIn in = OpenInput(inRec);
    plat::HMidiOut out = OpenOutput(outRec);
    ASSERT_EQ(inRec.Calls().front().msg, plat::kMimOpen);
    ASSERT_EQ(outRec.Calls().front().msg, plat::kMomOpen);

    // Nothing flows before the input is started.
    player.Send({0x90, 1, 1});
    Barrier();
    ASSERT_EQ(plat::MidiInStart(in), plat::kMmNoError);
    for (const Bytes& m : messages) player.Send(m);
    ASSERT_TRUE(PollUntil([&] { return DataWords(inRec).size() >= messages.size(); }));
    std::vector<uint32_t> expected;
    for (const Bytes& m : messages) expected.push_back(Word(m));
    EXPECT_EQ(DataWords(inRec), expected);
    uint32_t lastStamp = 0;
    for (const Call& c : inRec.Calls(plat::kMimData)) {
        EXPECT_NE(c.thread, std::this_thread::get_id());  // the MIDI system's thread
        EXPECT_GE(c.p2, lastStamp);
        lastStamp = uint32_t(c.p2);
    }

    for (const Bytes& m : messages) EXPECT_EQ(plat::MidiOutShortMsg(out, Word(m)), plat::kMmNoError);
    // Running status: a word of data bytes only takes the last channel status.
    EXPECT_EQ(plat::MidiOutShortMsg(out, 0x90 | (61u << 8) | (90u << 16)), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutShortMsg(out, 62u | (91u << 8)), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutShortMsg(out, 0xF0), plat::kMmInvalParam);  // SysEx is no short message
    auto expectedOut = messages;
    expectedOut.push_back({0x90, 61, 90});
    expectedOut.push_back({0x90, 62, 91});
    EXPECT_EQ(sink.WaitFor(expectedOut.size()), expectedOut);

    EXPECT_EQ(plat::MidiInStop(in), plat::kMmNoError);
    const size_t before = DataWords(inRec).size();
    player.Send({0x90, 2, 2});
    Barrier();
    EXPECT_EQ(DataWords(inRec).size(), before);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
    EXPECT_EQ(inRec.Calls().back().msg, plat::kMimClose);
    EXPECT_EQ(outRec.Calls().back().msg, plat::kMomClose);
}

// Each SysEx fills the buffer queued for it, in its place among the short messages; without a
// buffer it is lost. One longer than its buffer fills it, as a WinMM driver hands on a full buffer:
// nothing is written past it, the cut is counted, and what comes next still arrives.
TEST_F(SdlMidi, SysExFillsTheQueuedBufferAndAResetHandsItBackEmpty) {
    Recorder rec;
    plat::HMidiIn in = OpenInput(rec);
    constexpr size_t kBuffer = 16384;
    Header h(kBuffer + 256);  // the header tells the driver 16384; the rest must stay untouched
    h.hdr.dwBufferLength = kBuffer;
    std::fill(h.buffer.begin(), h.buffer.end(), char(0x5A));
    EXPECT_EQ(plat::MidiInAddBuffer(in, &h.hdr, kHdr), plat::kMidiErrUnprepared);
    EXPECT_EQ(plat::MidiInPrepareHeader(in, &h.hdr, kHdr), plat::kMmNoError);
    ASSERT_EQ(plat::MidiInStart(in), plat::kMmNoError);
    const sdlplat::MidiDrops drops = sdlplat::MidiDropCounts();
    player.Send(SysEx(20));
    player.Send({0x90, 64, 1});
    ASSERT_TRUE(PollUntil([&] { return DataWords(rec).size() == 1; }));
    EXPECT_TRUE(rec.Calls(plat::kMimLongData).empty());
    EXPECT_EQ(sdlplat::MidiDropCounts().sysexNoBuffer, drops.sysexNoBuffer + 1);

    EXPECT_EQ(plat::MidiInAddBuffer(in, &h.hdr, kHdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInAddBuffer(in, &h.hdr, kHdr), plat::kMidiErrStillPlaying);
    EXPECT_EQ(plat::MidiInUnprepareHeader(in, &h.hdr, kHdr), plat::kMidiErrStillPlaying);
    // One JACK event (up to 32 KB), then one sent in pieces, as a longer SysEx travels.
    const Bytes whole = SysEx(20000), pieces = SysEx(100000, 0x22);
    for (const Bytes* sysex : {&kGsReset, &whole, &pieces}) {
        const auto n = uint8_t(rec.Calls(plat::kMimLongData).size());
        player.Send({0x92, n, 1});
        if (sysex == &pieces) {
            ASSERT_TRUE(player.SendInPieces(*sysex, 8192));
        } else {
            player.Send(*sysex);
        }
        player.Send({0x93, n, 2});
        ASSERT_TRUE(rec.WaitFor(plat::kMimLongData, n + 1u));
        ASSERT_TRUE(PollUntil([&] { return DataWords(rec).size() == 3u + 2 * n; }));
        const Call c = rec.Calls(plat::kMimLongData)[n];
        EXPECT_EQ(c.p1, Addr(h));
        EXPECT_TRUE(c.data == Bytes(sysex->begin(), sysex->begin() + long(std::min(kBuffer, sysex->size()))));
        EXPECT_TRUE(c.flags & plat::kMhdrDone);
        EXPECT_FALSE(c.flags & plat::kMhdrInQueue);
        EXPECT_TRUE(std::all_of(h.buffer.begin() + long(kBuffer), h.buffer.end(),
                                [](char b) { return b == char(0x5A); }));
        ASSERT_EQ(plat::MidiInAddBuffer(in, &h.hdr, kHdr), plat::kMmNoError);
    }
    EXPECT_EQ(sdlplat::MidiDropCounts().sysexCut, drops.sysexCut + 2);
    std::vector<uint32_t> order;
    for (const Call& c : rec.Calls()) {
        if (c.msg == plat::kMimData && !IsMarker(uint32_t(c.p1))) order.push_back(uint32_t(c.p1));
        if (c.msg == plat::kMimLongData) order.push_back(0xF0);
    }
    EXPECT_EQ(order, (std::vector<uint32_t>{0x014090, 0x010092, 0xF0, 0x020093, 0x010192, 0xF0, 0x020193,
                                            0x010292, 0xF0, 0x020293}));

    // A reset hands the queued buffer back empty, on this thread before it returns, and stops the input.
    EXPECT_EQ(plat::MidiInClose(in), plat::kMidiErrStillPlaying);  // a buffer is still queued
    const size_t handedBack = rec.Calls(plat::kMimLongData).size();
    ASSERT_EQ(plat::MidiInReset(in), plat::kMmNoError);
    const auto back = rec.Calls(plat::kMimLongData);
    ASSERT_EQ(back.size(), handedBack + 1);
    EXPECT_EQ(back.back().thread, std::this_thread::get_id());
    EXPECT_EQ(back.back().p1, Addr(h));
    EXPECT_EQ(h.hdr.dwBytesRecorded, 0u);
    EXPECT_TRUE(h.hdr.dwFlags & plat::kMhdrDone);
    EXPECT_FALSE(h.hdr.dwFlags & plat::kMhdrInQueue);
    const size_t words = DataWords(rec).size();
    player.Send({0x90, 60, 1});
    Barrier();
    EXPECT_EQ(DataWords(rec).size(), words);
    EXPECT_EQ(plat::MidiInUnprepareHeader(in, &h.hdr, kHdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    EXPECT_EQ(rec.Calls().back().msg, plat::kMimClose);
}

TEST_F(SdlMidi, ConnectForwardsEverythingInsideTheDriverWhileTheCallbackStillRuns) {
    Recorder inRec, outRec;
    plat::HMidiIn in = OpenInput(inRec);
    plat::HMidiOut out = OpenOutput(outRec);
    Header h(256);
    plat::MidiInPrepareHeader(in, &h.hdr, kHdr);
    plat::MidiInAddBuffer(in, &h.hdr, kHdr);
    ASSERT_EQ(plat::MidiInStart(in), plat::kMmNoError);
    ASSERT_EQ(plat::MidiConnect(in, out), plat::kMmNoError);

    const std::vector<Bytes> played = {{0x90, 60, 100}, {0xC0, 74}, SysEx(40), {0xF8}, {0x80, 60, 0}};
    for (const Bytes& m : played) player.Send(m);
    EXPECT_EQ(sink.WaitFor(played.size()), played);  // unchanged: no key shift, no filter
    ASSERT_TRUE(inRec.WaitFor(plat::kMimLongData, 1));
    EXPECT_EQ(DataWords(inRec), (std::vector<uint32_t>{0x643C90, 0x4AC0, 0xF8, 0x3C80}));

    ASSERT_EQ(plat::MidiDisconnect(in, out), plat::kMmNoError);
    EXPECT_EQ(plat::MidiDisconnect(in, out), plat::kMmError);
    sink.Clear();
    player.Send({0x90, 61, 100});
    ASSERT_TRUE(PollUntil([&] { return DataWords(inRec).size() == 5; }));
    ASSERT_EQ(plat::MidiOutShortMsg(out, 0xFE), plat::kMmNoError);
    EXPECT_EQ(sink.WaitFor(1), (std::vector<Bytes>{{0xFE}}));
    // Closed while the recorders live: the devices' clients leave after the test.
    plat::MidiInReset(in);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
}

// MOM_DONE comes from the driver's thread once the bytes have left; a reset silences every channel
// and hands back the message in flight, done exactly once.
TEST_F(SdlMidi, LongMessagesAreReportedDoneAndAResetReturnsOneInFlight) {
    Recorder rec;
    plat::HMidiOut out = OpenOutput(rec);
    Header h(40000);
    Fill(h, kGmOn);
    EXPECT_EQ(plat::MidiOutLongMsg(out, &h.hdr, kHdr), plat::kMidiErrUnprepared);
    ASSERT_EQ(plat::MidiOutPrepareHeader(out, &h.hdr, kHdr), plat::kMmNoError);
    ASSERT_EQ(plat::MidiOutLongMsg(out, &h.hdr, kHdr), plat::kMmNoError);
    ASSERT_TRUE(rec.WaitFor(plat::kMomDone, 1));
    const Call done = rec.Calls(plat::kMomDone).front();
    EXPECT_NE(done.thread, std::this_thread::get_id());
    EXPECT_EQ(done.p1, Addr(h));
    EXPECT_TRUE(h.hdr.dwFlags & plat::kMhdrDone);
    EXPECT_FALSE(h.hdr.dwFlags & plat::kMhdrInQueue);
    EXPECT_EQ(sink.WaitFor(1), (std::vector<Bytes>{kGmOn}));

    sink.Clear();
    Fill(h, SysEx(40000));  // leaves in pieces over several periods
    ASSERT_EQ(plat::MidiOutLongMsg(out, &h.hdr, kHdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMidiErrStillPlaying);
    ASSERT_EQ(plat::MidiOutReset(out), plat::kMmNoError);
    // Done, and no longer queued, once the reset has returned.
    EXPECT_EQ(rec.Calls(plat::kMomDone).size(), 2u);
    EXPECT_FALSE(h.hdr.dwFlags & plat::kMhdrInQueue);
    EXPECT_TRUE(h.hdr.dwFlags & plat::kMhdrDone);
    std::vector<Bytes> allNotesOff, got;
    for (uint8_t ch = 0; ch < 16; ++ch) allNotesOff.push_back({uint8_t(0xB0 | ch), 123, 0});
    ASSERT_TRUE(PollUntil([&] {
        got.clear();
        for (const Bytes& e : sink.Received()) {
            if (e.size() == 3 && e[1] == 123) got.push_back(e);
        }
        return got.size() == 16;
    }));
    EXPECT_EQ(got, allNotesOff);
    // A SysEx cut off by the reset is closed, so that the receiver does not take what follows as its data.
    const auto events = sink.Received();
    const auto firstOff = std::find(events.begin(), events.end(), allNotesOff.front());
    EXPECT_TRUE(firstOff == events.begin() || std::prev(firstOff)->back() == 0xF7);

    EXPECT_EQ(plat::MidiOutUnprepareHeader(out, &h.hdr, kHdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
    EXPECT_EQ(rec.Calls(plat::kMomDone).size(), 2u);
    EXPECT_EQ(rec.Calls().back().msg, plat::kMomClose);
}

}  // namespace
