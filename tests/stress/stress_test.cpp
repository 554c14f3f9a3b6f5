// The engine with real threads, under ThreadSanitizer. A driver thread plays random MIDI (notes,
// controllers with RPN 0/1 selections, Reset All Controllers, system messages, SysEx with resets and
// master tunings among them, through one queued header) into MidiInProc; the output completes long
// messages on its own thread; a real 10 ms timer runs TimerProc; this test's thread is the
// user-interface thread, draining the message queue into the engine and clicking the panel.
// Then the record is checked against a model of the engine: every message handed on is handled
// once, in order, and transformed as promised, with the engine's own messages where they belong;
// while the driver joins the ports it forwards instead. No buffer is touched while the other side
// holds it, and ThreadSanitizer must report nothing.
// Options (after GoogleTest's): --seconds=N (default 5, or KVN_STRESS_SECONDS), --seed=N (the
// input played; the threads' interleaving differs from run to run whatever the seed).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "tests/stress/threaded_platform.h"

namespace {

double g_seconds = 5.0;
uint64_t g_seed = 0;

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Outs = std::vector<tp::Record>;

uint32_t Pack(int status, int d1 = 0, int d2 = 0) { return uint32_t(status | (d1 << 8) | (d2 << 16)); }

// Marks the user-interface thread leaves in the record before what it makes the engine send.
enum MarkCode { kBegin = 1, kEnd, kShortIn, kLongIn, kOutDone, kClick };
enum Click { kFreqDn, kFreqUp, kTune, kKeyUp, kKeyDn, kPanic, kTone1, kTone2, kThru, kSkipF8, kClicks };

// Odd while a connection-thru switch is under way; each completed switch adds 2. The driver
// thread reads it around every delivery to know whether the link could have changed meanwhile.
std::atomic<uint32_t> g_thruGeneration{0};

// SysEx of up to 30 bytes the engine acts on (-1: any byte; they match as far as both go): master
// tunings it keeps to itself, and resets it follows with the tuning of every channel.
const std::vector<int> kIgnore[] = {{0xF0, 0x43, -1, -1, 0x30, 0, 0, -1, -1, -1, 0xF7},
                                    {0xF0, 0x43, -1, -1, 0, 0, 0, -1, -1, -1, -1, 0xF7},
                                    {0xF0, 0x41, -1, -1, 0x12, 0x40, 0, 0, -1, -1, -1, -1, -1, 0xF7},
                                    {0xF0, 0x7F, -1, -1, 0x01, -1, -1, 0xF7},
                                    {0xF0, 0x7F, -1, -1, 0x03, -1, -1, 0xF7}};
const std::vector<int> kTrigger[] = {{0xF0, 0x43, -1, -1, 0, 0, 0x7E, 0, 0xF7},
                                     {0xF0, 0x41, -1, -1, 0x12, 0x40, 0, 0x7F, -1, -1, 0xF7},
                                     {0xF0, 0x41, -1, -1, 0x12, 0, 0, 0x7F, -1, -1, 0xF7},
                                     {0xF0, 0x7E, -1, -1, 0x01, 0xF7},
                                     {0xF0, 0x7E, -1, -1, 0x03, 0xF7}};

// ---- The input: what the driver plays --------------------------------------------------------------
struct Event {
    bool sysex = false;
    uint32_t word = 0;
    Bytes bytes;
};

class Generator {
public:
    explicit Generator(uint64_t seed) : rng_(seed) {}

    Event Next() {
        if (!script_.empty()) {
            Event e = script_.front();
            script_.erase(script_.begin());
            return e;
        }
        const int r = Below(1000), ch = Below(16);
        if (r < 16) return SysEx();
        if (r < 380) {  // extreme notes often, so that the key shift's wrap-around is met
            const int pick = Below(10), note = pick == 0 ? Below(8) : pick == 1 ? 120 + Below(8) : Byte7();
            return Short(Pack((Below(2) ? 0x90 : 0x80) | ch, note, Below(8) == 0 ? 0 : Byte7()));
        }
        if (r < 430) {  // RPN 0/1 (fine tuning, its data dropped) or another, then maybe the null RPN
            const bool fine = Below(2) == 0;
            const auto cc = [&](int controller, int value) {
                script_.push_back(Short(Pack(0xB0 | ch, controller, value)));
            };
            cc(101, fine ? 0 : Below(3));
            cc(100, fine || Below(3) == 0 ? 1 : 0);
            cc(6, Byte7());
            if (Below(2)) cc(38, Byte7());
            if (Below(2)) cc(101, 127), cc(100, 127);
            return Next();
        }
        static const int kCommon[] = {1, 6, 7, 10, 11, 38, 64, 100, 101, 120, 123};
        if (r < 560) return Short(Pack(0xB0 | ch, Below(3) == 0 ? Byte7() : kCommon[Below(11)], Byte7()));
        if (r < 570) return Short(Pack(0xB0 | ch, 121, 0));  // then the channel's tuning
        if (r < 700) return Short(0xF8);
        if (r < 760) {
            const int a = Byte7(), b = Byte7();
            const uint32_t system[] = {0xFE, 0xFA,          0xFB,          0xFC,
                                       0xF6, Pack(0xF1, a), Pack(0xF3, a), Pack(0xF2, a, b)};
            return Short(system[Below(8)]);
        }
        const int kind = 0xA0 + 0x10 * Below(4);  // aftertouch, program, pressure, bend
        return Short(Pack(kind | ch, Byte7(), kind == 0xC0 || kind == 0xD0 ? 0 : Byte7()));
    }

private:
    int Below(int n) { return static_cast<int>(rng_() % uint64_t(n)); }
    int Byte7() { return Below(128); }
    static Event Short(uint32_t word) { return Event{false, word, {}}; }

    Event SysEx() {
        Event e{true, 0, {}};
        const int r = Below(100);
        if (r < 50) {  // a reset or a master tuning, any bytes where the engine does not look
            for (int b : (r % 2 ? kIgnore : kTrigger)[Below(5)])
                e.bytes.push_back(uint8_t(b < 0 ? Byte7() : b));
            if (Below(4) == 0) e.bytes.resize(size_t(29 + Below(4)), 0x7F);  // around the inspection limit
        } else if (r < 55) {  // anything at all, even without F0
            for (int n = 1 + Below(40); n > 0; --n) e.bytes.push_back(uint8_t(Below(256)));
        } else {  // a non-commercial message of some length: short ones are inspected, long ones not
            const int pick = Below(50), n = pick == 0  ? 16384 + Below(4000)
                                            : pick < 5 ? 31 + Below(2000)
                                                       : Below(40);
            e.bytes = {0xF0, 0x7D};
            for (int i = 0; i < n; ++i) e.bytes.push_back(uint8_t(Byte7()));
            e.bytes.push_back(0xF7);
        }
        return e;
    }

    std::mt19937_64 rng_;
    std::vector<Event> script_;
};

// One message the driver played, and what became of it.
struct Played {
    uint64_t seq;
    Event event;
    tp::Delivery delivery;
    uint32_t generationBefore, generationAfter;
};

void DriverLoop(uint64_t seed, const std::atomic<bool>& stop, std::vector<Played>& played) {
    Generator gen(seed);
    std::mt19937_64 pace(seed ^ 0x9E3779B97F4A7C15ull);
    uint64_t seq = 1;
    while (!stop) {
        // Input comes in bursts with gaps between them, as from a player.
        for (int i = 1 + int(pace() % 48); i > 0 && !stop; --i) {
            tp::WaitForQueueBelow(512, stop);
            if (stop) break;
            Played p{seq++, gen.Next(), {}, g_thruGeneration.load(), 0};
            p.delivery =
                p.event.sysex ? tp::PlaySysEx(p.event.bytes, p.seq) : tp::PlayShort(p.event.word, p.seq);
            p.generationAfter = g_thruGeneration.load();
            played.push_back(std::move(p));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pace() % 1500));
    }
}

// ---- The user-interface thread ---------------------------------------------------------------------
// Stands in for the panel view: routes the engine's messages, leaving a mark before each.
struct Panel final : plat::WindowClient {
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgShortIn) {
            tp::Mark(kShortIn, static_cast<uint64_t>(lParam));
            OnMidiShortMsg(wParam, lParam);
        } else if (msg == kMsgLongIn) {
            // What the buffer holds as its message is taken in: it must be the message posted.
            const auto* hdr = reinterpret_cast<const plat::MidiHdr*>(lParam);
            tp::Mark(kLongIn, 0, hdr ? Bytes(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded) : Bytes{});
            OnMidiLongMsg(wParam, lParam);
        } else if (msg == kMsgOutDone) {
            tp::Mark(kOutDone, 0);
            OnMidiOutDone(wParam, lParam);
        } else if (msg == plat::kWmPaint) {
            ++paints;
        }
        return 0;
    }
    uint64_t paints = 0;
};

// What the panel does for each click, its guards included. The mark says whether the click acted
// and the settings afterwards: {1, frequency (2 bytes), key shift + 7, tone, thru, clock filter}.
void DoClick(Click c, plat::HWnd wnd) {
    const int f = g_Frequency, k = g_KeyShift;
    const bool on = g_RefTone == 0, key = on && g_ThruConnect == 0, in = g_MidiInHandle != nullptr;
    const bool ok[] = {f > 4350, f < 4455, on, key && k < 7, key && k > -7, on, true, true, on && in, true};
    if (!ok[c]) return tp::Mark(kClick, c, {0});
    if (c == kThru) g_thruGeneration.fetch_add(1);  // odd from here until the switch is done
    if (c == kFreqDn || c == kFreqUp) g_Frequency += c == kFreqDn ? -5 : 5;
    if (c == kKeyUp || c == kKeyDn) g_KeyShift += c == kKeyUp ? 1 : -1;
    if (c == kTone1 || c == kTone2) g_RefTone = mf_NextRefTone(g_RefTone, c == kTone1 ? 1 : 2);
    if (c == kThru) g_ThruConnect = 1 - g_ThruConnect;
    if (c == kSkipF8) g_SkipF8 = 1 - g_SkipF8;
    tp::Mark(kClick, c,
             {1, uint8_t(g_Frequency & 0xFF), uint8_t(g_Frequency >> 8), uint8_t(g_KeyShift + 7),
              uint8_t(g_RefTone), uint8_t(g_ThruConnect), uint8_t(g_SkipF8)});
    // What it has the engine do, and the lamps it lights for the timer to put out.
    Atomic32* const lamps[] = {&g_LampFreqDown, &g_LampFreqUp,  &g_LampMasterTune,
                               &g_LampKeyUp,    &g_LampKeyDown, &g_LampPanic};
    if (c <= kTune) mf_SendMasterTune(-1);
    if (c >= kKeyUp && c <= kPanic) mf_AllNotesOff(), mf_AllSoundOff();
    if (c == kTone1 || c == kTone2) mf_RefTone();
    if (c == kThru) mf_ThruConnect(g_ThruConnect), g_thruGeneration.fetch_add(1);
    if (c <= kPanic) *lamps[c] = c == kPanic ? 70 : 10;
    if (c <= kTune) g_LampMasterTune = 10;
    plat::PostWindowMessage(wnd, plat::kWmPaint, 0, 0);
}

Click PickClick(std::mt19937_64& rng) {
    // Weights: the tone buttons come in pairs often enough that the other buttons are not locked.
    const int weights[kClicks] = {6, 6, 4, 8, 8, 3, 4, 3, 6, 3};
    int r = int(rng() % 51), k = 0;
    while ((r -= weights[k]) >= 0) ++k;
    return Click(k);
}

// ---- The model of what must come out ---------------------------------------------------------------
// Channel Fine Tuning for 435.0 .. 445.5 Hz: {MSB, LSB}.
const uint8_t kTuneData[22][2] = {{0x33, 0x2B}, {0x34, 0x4E}, {0x35, 0x70}, {0x37, 0x13}, {0x38, 0x35},
                                  {0x39, 0x57}, {0x3A, 0x79}, {0x3C, 0x1B}, {0x3D, 0x3D}, {0x3E, 0x5E},
                                  {0x40, 0x00}, {0x41, 0x21}, {0x42, 0x41}, {0x43, 0x62}, {0x45, 0x03},
                                  {0x46, 0x23}, {0x47, 0x43}, {0x48, 0x63}, {0x4A, 0x03}, {0x4B, 0x23},
                                  {0x4C, 0x42}, {0x4D, 0x61}};

struct Model {
    int keyShift = 0, skipF8 = 1, thru = 0, frequency = 4400, refTone = 0;
    int rpnMsb[16], rpnLsb[16];
    Model() { std::fill_n(rpnMsb, 16, 127), std::fill_n(rpnLsb, 16, 127); }

    static void Send(Outs& out, int status, int d1, int d2) {
        out.push_back({tp::Rec::Short, Pack(status, d1, (status & 0xF0) == 0x80 ? 127 : d2), {}});
    }
    void Tune(Outs& out, int channel) const {  // every channel but 10 (-1), or one
        const uint8_t* v = kTuneData[(frequency - 4350) / 5];
        for (int ch = 0; ch < 16; ++ch)
            if (ch != 9 && (channel < 0 || ch == channel))
                for (auto [cc, value] :
                     {std::pair<int, int>{101, 0}, {100, 1}, {6, v[0]}, {38, v[1]}, {101, 127}, {100, 127}})
                    Send(out, 0xB0 + ch, cc, value);
    }
    static void Silence(Outs& out) {
        for (int cc : {123, 120})
            for (int ch = 0; ch < 16; ++ch) Send(out, 0xB0 + ch, cc, 0);
    }

    Outs ShortIn(uint32_t word) {
        Outs out;
        const int status = word & 0xFF, d1 = (word >> 8) & 0xFF, d2 = word >> 16, kind = status & 0xF0,
                  ch = status & 0x0F;
        if (thru == 1 || (status == 0xF8 && skipF8 == 1)) return out;
        if (status >= 0xF0) return {{tp::Rec::Short, word, {}}};
        int note = d1;
        bool drop = false;
        if ((kind == 0x80 || kind == 0x90) && ch != 9) {
            note += keyShift;
            note += note < 0 ? 12 : note > 127 ? -12 : 0;
        } else if (kind == 0xB0 && ch != 9) {
            if (d1 == 100) rpnLsb[ch] = d2;
            if (d1 == 101) rpnMsb[ch] = d2;
            drop = (d1 == 6 || d1 == 38) && rpnLsb[ch] == 1 && rpnMsb[ch] == 0;
        }
        if (!drop) Send(out, status, note, d2);
        if (kind == 0xB0 && ch != 9 && d1 == 121) Tune(out, ch);
        return out;
    }

    Outs LongIn(const Bytes& bytes) const {
        const auto matches = [&](const std::vector<int>& p) {
            for (size_t i = 0; i < std::min(p.size(), bytes.size()); ++i)
                if (p[i] >= 0 && p[i] != bytes[i]) return false;
            return bytes.size() <= 30;
        };
        Outs out;
        if (std::none_of(std::begin(kIgnore), std::end(kIgnore), matches))
            out.push_back({tp::Rec::Long, 0, bytes});
        if (std::any_of(std::begin(kTrigger), std::end(kTrigger), matches)) Tune(out, -1);
        return out;
    }

    Outs ClickDone(Click c, const Bytes& d) {
        Outs out;
        if (d.size() < 7) return out;  // refused by the panel
        if (c == kFreqDn || c == kFreqUp) frequency = d[1] | (d[2] << 8);
        if (c == kKeyUp || c == kKeyDn) keyShift = d[3] - 7;
        if (c == kThru) thru = d[5], out.push_back({thru ? tp::Rec::Connect : tp::Rec::Disconnect, 0, {}});
        if (c == kSkipF8) skipF8 = d[6];
        if (c <= kTune || (c == kThru && !thru)) Tune(out, -1);
        if ((c >= kKeyUp && c <= kPanic) || c == kThru) Silence(out);
        if (c == kTone1 || c == kTone2) {
            refTone = d[4];
            for (int cc : {123, 120, 121}) Send(out, 0xBF, cc, 0);
            Tune(out, 15);
            for (int cc : {7, 11}) Send(out, 0xBF, cc, refTone ? 127 : 0);
            if (refTone) Send(out, 0xCF, 74, 0), Send(out, 0x9F, 69, refTone == 1 ? 100 : 127);
        }
        return out;
    }
};

std::string Describe(const tp::Record& r) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "kind %d, word %06X, mark %d, seq %llu, %zu bytes", int(r.kind), r.word,
                  r.mark, static_cast<unsigned long long>(r.seq), r.data.size());
    return buf;
}

// Rebuilds the user-interface thread's record from its marks, the messages posted and the model,
// and compares: each mark must be followed by exactly what the model expects of it, a message's
// mark must be the next one posted, and a SysEx's buffer must still hold it when it is handled.
void CheckRecord(const std::vector<tp::Record>& ui, const std::vector<Played>& played) {
    std::vector<const Played*> posted[2];  // short messages, SysEx
    for (const Played& p : played)
        if (p.delivery.posted) posted[p.event.sysex].push_back(&p);
    size_t next[2] = {0, 0}, start = 0;
    while (start < ui.size() && !(ui[start].kind == tp::Rec::Mark && ui[start].mark == kBegin)) ++start;
    Model model;
    Outs expected;
    for (size_t i = start; i < ui.size() && (expected.empty() || expected.back().mark != kEnd); ++i) {
        if (ui[i].kind != tp::Rec::Mark) continue;  // outputs: compared below
        tp::Record mark = ui[i];
        Outs out;
        if (mark.mark == kShortIn || mark.mark == kLongIn) {
            const bool sysex = mark.mark == kLongIn;
            ASSERT_LT(next[sysex], posted[sysex].size())
                << "handled a message never posted: " << Describe(mark);
            const Event& e = posted[sysex][next[sysex]]->event;
            if (!sysex) mark.seq = posted[sysex][next[sysex]]->seq;
            mark.data.assign(e.bytes.begin(),
                             e.bytes.begin() + std::min<size_t>(e.bytes.size(), kSysExBufferSize));
            out = sysex ? model.LongIn(mark.data) : model.ShortIn(e.word);
            ++next[sysex];
        }
        if (mark.mark == kClick) out = model.ClickDone(Click(mark.seq), mark.data);
        expected.push_back(mark);
        expected.insert(expected.end(), out.begin(), out.end());
    }
    ASSERT_FALSE(expected.empty()) << "no start mark";
    EXPECT_EQ(expected.back().mark, kEnd) << "no end mark";
    const auto same = [](const tp::Record& a, const tp::Record& b) {
        return a.kind == b.kind && a.word == b.word && a.data == b.data && a.mark == b.mark && a.seq == b.seq;
    };
    const auto [got, want] =
        std::mismatch(ui.begin() + ptrdiff_t(start), ui.end(), expected.begin(), expected.end(), same);
    if (want != expected.end()) {
        auto mark = want;
        while (mark->kind != tp::Rec::Mark) --mark;
        ADD_FAILURE() << "after " << Describe(*mark) << ": " << (got == ui.end() ? "nothing" : Describe(*got))
                      << ", expected " << Describe(*want);
    }
    EXPECT_EQ(next[0], posted[0].size()) << "short messages posted and never handled";
    EXPECT_EQ(next[1], posted[1].size()) << "SysEx posted and never handled";
}

// What became of each played message, by whether connection thru was steady around it.
void CheckDeliveries(const std::vector<Played>& played, const std::vector<tp::Record>& links) {
    size_t k = 0;  // the next message the link forwarded
    for (const Played& p : played) {
        const tp::Delivery& d = p.delivery;
        ASSERT_TRUE(d.started) << "message " << p.seq << " played while the input was not started";
        // While a switch is under way a message may be lost or doubled at the edge, as promised.
        const bool steady = p.generationBefore == p.generationAfter && p.generationBefore % 2 == 0;
        const bool thru = (p.generationBefore / 2) % 2 == 1;
        ASSERT_TRUE(!steady || (d.posted == (!thru && d.delivered) && d.forwarded == thru))
            << "message " << p.seq << (thru ? " during connection thru" : "") << ": posted " << d.posted
            << ", forwarded " << d.forwarded;
        if (!d.forwarded) continue;
        ASSERT_LT(k, links.size()) << "the link forwarded fewer messages than the driver";
        const tp::Record& l = links[k++];
        ASSERT_TRUE(l.seq == p.seq && l.kind == (p.event.sysex ? tp::Rec::LinkLong : tp::Rec::LinkShort) &&
                    l.data == p.event.bytes && l.word == p.event.word)
            << "forwarded message " << k - 1 << " differs from what was played";
    }
    EXPECT_EQ(k, links.size()) << "the link forwarded more messages than the driver";
}

TEST(ThreadedEngine, EveryMessageArrivesOnceInOrderAndTransformedWhileAllThreadsRun) {
    const uint64_t seed = g_seed != 0 ? g_seed : uint64_t(Clock::now().time_since_epoch().count());
    std::printf("stress: seed %llu, %.1f s\n", (unsigned long long)seed, g_seconds);
    tp::Reset();
    mf_ResetEngineState();
    tp::SetDevices({"Keyboard"}, {"Synth"});
    Panel panel;
    const plat::HWnd wnd = g_PanelWnd = tp::CreateTestWindow(&panel);
    mf_SetBuiltInRows();
    g_MidiInDeviceName = "Keyboard";
    g_MidiOutDeviceName = "Synth";
    mf_DeviceInitialize();
    ASSERT_NE(g_MidiInHandle, nullptr);
    ASSERT_NE(g_MidiOutHandle, nullptr);
    mf_TimerInitialize();
    mf_TimerStart();
    g_LampMasterTune = 200;
    mf_MidiInStart();
    tp::Mark(kBegin, 0);

    std::atomic<bool> stop{false};
    std::vector<Played> played;
    std::thread driver(DriverLoop, seed, std::cref(stop), std::ref(played));
    std::mt19937_64 rng(seed * 31 + 7);
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(g_seconds));
    for (auto nextClick = start; Clock::now() < deadline;) {
        tp::DispatchOne(500);
        if (Clock::now() >= nextClick) {
            DoClick(PickClick(rng), wnd);
            nextClick = Clock::now() + std::chrono::microseconds(rng() % 8000);
        }
    }
    // Let the driver finish its burst (posting never blocks it), then drain everything.
    stop = true;
    tp::WakeWaiters();
    driver.join();
    while (tp::DispatchOne(2000) || !tp::Idle()) {
    }
    tp::Mark(kEnd, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    mf_TimerKill();
    mf_TimerEndPeriod();
    mf_DeviceClose();
    g_PanelWnd = nullptr;
    const tp::Outcome outcome = tp::TakeOutcome();
    tp::Reset();
    mf_ResetEngineState();

    CheckRecord(outcome.ui, played);
    CheckDeliveries(played, outcome.links);
    EXPECT_EQ(outcome.inputBufferAddedWhileItsMessageWaits, 0)
        << "an input buffer went back while its SysEx waited";
    EXPECT_EQ(outcome.outputBufferChangedWhileSending, 0) << "an output buffer changed while it was sent";
    EXPECT_EQ(outcome.boxes, std::vector<std::string>{});

    uint64_t shorts = 0, sysexPosted = 0, forwarded = 0;
    for (const Played& p : played) {
        shorts += !p.event.sysex;
        sysexPosted += p.event.sysex && p.delivery.posted;
        forwarded += p.delivery.forwarded;
    }
    // The run must have met what it is for.
    EXPECT_GT(shorts, 1000u);
    EXPECT_GT(sysexPosted, 10u);
    EXPECT_GT(forwarded, 0u);
    EXPECT_GE(g_thruGeneration.load() / 2, 2u);  // connection thru switched
    EXPECT_GT(outcome.timerTicks, uint64_t(seconds * 50));
    EXPECT_GT(panel.paints, 0u);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (const char* env = std::getenv("KVN_STRESS_SECONDS")) g_seconds = std::atof(env);
    for (int i = 1; i < argc; ++i) {
        if (std::sscanf(argv[i], "--seconds=%lf", &g_seconds) != 1 &&
            std::sscanf(argv[i], "--seed=%" SCNu64, &g_seed) != 1) {
            std::fprintf(stderr, "unknown option %s (--seconds=N, --seed=N)\n", argv[i]);
            return 2;
        }
    }
    if (g_seconds <= 0) g_seconds = 5;
    return RUN_ALL_TESTS();
}
