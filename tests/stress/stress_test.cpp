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
#include <cstring>
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

uint32_t Pack(uint8_t status, uint8_t d1 = 0, uint8_t d2 = 0) {
    return status | (uint32_t(d1) << 8) | (uint32_t(d2) << 16);
}

// Marks the user-interface thread leaves in the record before what it makes the engine send.
enum MarkCode { kBegin = 1, kEnd, kShortIn, kLongIn, kOutDone, kClick };
enum Click {
    kFreqDown,
    kFreqUp,
    kSendTune,
    kKeyUp,
    kKeyDown,
    kPanic,
    kToneSoft,
    kToneLoud,
    kThru,
    kClockFilter
};
constexpr int kClicks = kClockFilter + 1;

// Odd while a connection-thru switch is under way; each completed switch adds 2. The driver
// thread reads it around every delivery to know whether the link could have changed meanwhile.
std::atomic<uint32_t> g_thruGeneration{0};

// ---- The input: what the driver plays --------------------------------------------------------------
struct Event {
    bool sysex = false;
    uint32_t word = 0;
    std::vector<uint8_t> bytes;
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
        const int r = Below(1000);
        if (r < 16) return SysEx();
        if (r < 380) return Note();
        if (r < 430) {
            RpnRun();
            return Next();
        }
        if (r < 560) return Short(Pack(uint8_t(0xB0 | Channel()), Controller(), Byte7()));
        if (r < 570) return Short(Pack(uint8_t(0xB0 | Channel()), 121, 0));  // then the channel's tuning
        if (r < 700) return Short(0xF8);
        if (r < 760) {
            const uint32_t system[] = {0xFE,
                                       0xFA,
                                       0xFB,
                                       0xFC,
                                       Pack(0xF1, Byte7()),
                                       Pack(0xF2, Byte7(), Byte7()),
                                       Pack(0xF3, Byte7()),
                                       0xF6};
            return Short(system[Below(8)]);
        }
        const uint8_t kinds[] = {0xA0, 0xC0, 0xD0, 0xE0}, kind = kinds[Below(4)];
        if (kind == 0xC0 || kind == 0xD0) return Short(Pack(uint8_t(kind | Channel()), Byte7()));
        return Short(Pack(uint8_t(kind | Channel()), Byte7(), Byte7()));
    }

private:
    int Below(int n) { return static_cast<int>(rng_() % uint64_t(n)); }
    uint8_t Byte7() { return static_cast<uint8_t>(Below(128)); }
    uint8_t Channel() { return static_cast<uint8_t>(Below(16)); }
    static Event Short(uint32_t word) { return Event{false, word, {}}; }

    Event Note() {
        const uint8_t status = uint8_t((Below(2) ? 0x90 : 0x80) | Channel());
        // Extreme notes often, so that the key shift's wrap-around is met.
        const int pick = Below(10);
        const uint8_t note = pick == 0 ? uint8_t(Below(8)) : pick == 1 ? uint8_t(120 + Below(8)) : Byte7();
        return Short(Pack(status, note, Below(8) == 0 ? 0 : Byte7()));
    }

    uint8_t Controller() {
        const uint8_t common[] = {1, 6, 7, 10, 11, 38, 64, 100, 101, 120, 123};
        return Below(3) == 0 ? Byte7() : common[Below(sizeof common)];
    }

    // A parameter selection and its data: RPN 0/1 (fine tuning, to be dropped) or another, then
    // sometimes the null selection.
    void RpnRun() {
        const uint8_t st = uint8_t(0xB0 | Channel());
        const bool fineTuning = Below(2) == 0;
        script_.push_back(Short(Pack(st, 101, fineTuning ? 0 : uint8_t(Below(3)))));
        script_.push_back(Short(Pack(st, 100, fineTuning ? 1 : uint8_t(Below(3) == 0 ? 1 : 0))));
        script_.push_back(Short(Pack(st, 6, Byte7())));
        if (Below(2)) script_.push_back(Short(Pack(st, 38, Byte7())));
        if (Below(2)) {
            script_.push_back(Short(Pack(st, 101, 127)));
            script_.push_back(Short(Pack(st, 100, 127)));
        }
    }

    Event SysEx() {
        // Resets and tunings, by weight in a hundred; -1 is any 7-bit byte.
        static const std::pair<int, std::vector<int>> kKnown[] = {
            {12, {0xF0, 0x41, -1, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, -1, 0xF7}},           // GS reset
            {6, {0xF0, 0x43, -1, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}},                      // XG on
            {3, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}},                                      // GM1 on
            {3, {0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7}},                                      // GM2 on
            {3, {0xF0, 0x41, -1, 0x42, 0x12, 0x00, 0x00, 0x7F, 0x00, -1, 0xF7}},            // 88
            {6, {0xF0, 0x41, -1, 0x42, 0x12, 0x40, 0x00, 0x00, -1, -1, -1, -1, -1, 0xF7}},  // GS tune
            {4, {0xF0, 0x43, -1, -1, 0x30, 0x00, 0x00, -1, -1, -1, 0xF7}},                  // XG tune 1
            {4, {0xF0, 0x43, -1, -1, 0x00, 0x00, 0x00, -1, -1, -1, -1, 0xF7}},              // XG tune 2
            {3, {0xF0, 0x7F, 0x7F, 0x04, 0x01, -1, -1, 0xF7}},  // GM1 master-tune row
            {3, {0xF0, 0x7F, 0x7F, 0x04, 0x03, -1, -1, 0xF7}},  // GM2 master-tune row
        };
        Event e{true, 0, {}};
        int r = Below(100);
        for (const auto& [weight, pattern] : kKnown) {
            if ((r -= weight) >= 0) continue;
            for (int b : pattern) e.bytes.push_back(static_cast<uint8_t>(b < 0 ? Byte7() : b));
            return e;
        }
        if (r < 5) {  // anything at all, even without F0
            e.bytes.resize(size_t(1 + Below(40)));
            for (uint8_t& b : e.bytes) b = uint8_t(Below(256));
            return e;
        }
        // A non-commercial message of some length: short ones are inspected, long ones not.
        const int pick = Below(50);
        const size_t n = pick == 0  ? size_t(16384 + Below(4000))
                         : pick < 5 ? size_t(31 + Below(2000))
                                    : size_t(Below(40));
        e.bytes = {0xF0, 0x7D};
        for (size_t i = 0; i < n; ++i) e.bytes.push_back(Byte7());
        e.bytes.push_back(0xF7);
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

void DriverLoop(uint64_t seed, const std::atomic<bool>& stop, std::vector<Played>& played,
                std::atomic<bool>& done) {
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
    done = true;
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
            tp::Mark(kLongIn, 0,
                     hdr ? std::vector<uint8_t>(hdr->lpData, hdr->lpData + hdr->dwBytesRecorded)
                         : std::vector<uint8_t>{});
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
// and the settings afterwards.
void DoClick(Click click, plat::HWnd wnd) {
    const bool toneOff = g_RefTone == 0, thruOff = g_ThruConnect == 0;
    const auto mark = [click](std::vector<uint8_t> data) { tp::Mark(kClick, click, std::move(data)); };
    bool acted = true;
    switch (click) {
    case kFreqDown:
    case kFreqUp:
        if ((acted = click == kFreqDown ? g_Frequency > 4350 : g_Frequency < 4455)) {
            g_Frequency += click == kFreqDown ? -5 : 5;
            mark({1, uint8_t(g_Frequency & 0xFF), uint8_t(g_Frequency >> 8)});
            mf_SendMasterTune(-1);
            (click == kFreqDown ? g_LampFreqDown : g_LampFreqUp) = 10;
            g_LampMasterTune = 10;
        }
        break;
    case kSendTune:
        if ((acted = toneOff)) {
            mark({1});
            mf_SendMasterTune(-1);
            g_LampMasterTune = 10;
        }
        break;
    case kKeyUp:
    case kKeyDown:
        if ((acted = thruOff && toneOff && (click == kKeyUp ? g_KeyShift < 7 : g_KeyShift > -7))) {
            g_KeyShift += click == kKeyUp ? 1 : -1;
            mark({1, uint8_t(g_KeyShift + 7)});
            mf_AllNotesOff();
            mf_AllSoundOff();
            (click == kKeyUp ? g_LampKeyUp : g_LampKeyDown) = 10;
        }
        break;
    case kPanic:
        if ((acted = toneOff)) {
            mark({1});
            mf_AllNotesOff();
            mf_AllSoundOff();
            g_LampPanic = 70;
        }
        break;
    case kToneSoft:
    case kToneLoud:
        g_RefTone = mf_NextRefTone(g_RefTone, click == kToneSoft ? 1 : 2);
        mark({1, uint8_t(g_RefTone)});
        mf_RefTone();
        break;
    case kThru:
        if ((acted = toneOff && g_MidiInHandle != nullptr)) {
            g_thruGeneration.fetch_add(1);
            g_ThruConnect = 1 - g_ThruConnect;
            mark({1, uint8_t(g_ThruConnect)});
            mf_ThruConnect(g_ThruConnect);
            g_thruGeneration.fetch_add(1);
        }
        break;
    case kClockFilter:
        g_SkipF8 = 1 - g_SkipF8;
        mark({1, uint8_t(g_SkipF8)});
        break;
    }
    if (acted)
        plat::PostWindowMessage(wnd, plat::kWmPaint, 0, 0);
    else
        mark({0});
}

Click PickClick(std::mt19937_64& rng) {
    // Weights: the tone buttons come in pairs often enough that the other buttons are not locked.
    const int weights[kClicks] = {6, 6, 4, 8, 8, 3, 4, 3, 6, 3};
    int r = int(rng() % 51);
    for (int k = 0; k < kClicks; ++k) {
        if ((r -= weights[k]) < 0) return Click(k);
    }
    return kPanic;
}

// ---- The model of what must come out ---------------------------------------------------------------
// Channel Fine Tuning for 435.0 .. 445.5 Hz: {MSB, LSB}.
const uint8_t kTune[22][2] = {{0x33, 0x2B}, {0x34, 0x4E}, {0x35, 0x70}, {0x37, 0x13}, {0x38, 0x35},
                              {0x39, 0x57}, {0x3A, 0x79}, {0x3C, 0x1B}, {0x3D, 0x3D}, {0x3E, 0x5E},
                              {0x40, 0x00}, {0x41, 0x21}, {0x42, 0x41}, {0x43, 0x62}, {0x45, 0x03},
                              {0x46, 0x23}, {0x47, 0x43}, {0x48, 0x63}, {0x4A, 0x03}, {0x4B, 0x23},
                              {0x4C, 0x42}, {0x4D, 0x61}};

struct Out {
    tp::Rec kind;
    uint32_t word;
    std::vector<uint8_t> data;
};

struct Model {
    int keyShift = 0, skipF8 = 1, thru = 0, frequency = 4400, refTone = 0;
    uint8_t rpnMsb[16], rpnLsb[16];
    Model() {
        std::memset(rpnMsb, 127, sizeof rpnMsb);
        std::memset(rpnLsb, 127, sizeof rpnLsb);
    }

    static void Send(std::vector<Out>& out, uint8_t status, uint8_t d1, uint8_t d2) {
        if ((status & 0xF0) == 0x80) d2 = 127;
        out.push_back({tp::Rec::Short, Pack(status, d1, d2), {}});
    }
    void Tune(std::vector<Out>& out, int channel) const {
        const uint8_t* v = kTune[(frequency - 4350) / 5];
        for (int ch = 0; ch < 16; ++ch) {
            if (ch == 9 || (channel >= 0 && ch != channel)) continue;
            const auto st = uint8_t(0xB0 + ch);
            for (auto [cc, value] : {std::pair<uint8_t, uint8_t>{101, 0},
                                     {100, 1},
                                     {6, v[0]},
                                     {38, v[1]},
                                     {101, 127},
                                     {100, 127}})
                Send(out, st, cc, value);
        }
    }
    static void AllChannels(std::vector<Out>& out, uint8_t controller) {
        for (int ch = 0; ch < 16; ++ch) Send(out, uint8_t(0xB0 + ch), controller, 0);
    }
    static void Silence(std::vector<Out>& out) {
        AllChannels(out, 123);
        AllChannels(out, 120);
    }

    std::vector<Out> ShortIn(uint32_t word) {
        std::vector<Out> out;
        const auto status = uint8_t(word), d1 = uint8_t(word >> 8), d2 = uint8_t(word >> 16);
        if (thru == 1 || (status == 0xF8 && skipF8 == 1)) return out;
        if (status >= 0xF0) return {{tp::Rec::Short, word, {}}};
        const int kind = status & 0xF0, ch = status & 0x0F;
        int note = d1;
        bool drop = false, retune = false;
        if ((kind == 0x80 || kind == 0x90) && ch != 9) {
            note += keyShift;
            if (note < 0) note += 12;
            if (note > 127) note -= 12;
        } else if (kind == 0xB0 && ch != 9) {
            if (d1 == 100) rpnLsb[ch] = d2;
            if (d1 == 101) rpnMsb[ch] = d2;
            drop = (d1 == 6 || d1 == 38) && rpnLsb[ch] == 1 && rpnMsb[ch] == 0;
            retune = d1 == 121;
        }
        if (!drop) Send(out, status, uint8_t(note), d2);
        if (retune) Tune(out, ch);
        return out;
    }

    std::vector<Out> LongIn(const std::vector<uint8_t>& bytes) const {
        // Tunings the engine keeps to itself, and resets it follows with its own; -1 is any byte.
        static const std::vector<int> kIgnore[] = {
            {0xF0, 0x43, -1, -1, 0x30, 0, 0, -1, -1, -1, 0xF7},
            {0xF0, 0x43, -1, -1, 0, 0, 0, -1, -1, -1, -1, 0xF7},
            {0xF0, 0x41, -1, -1, 0x12, 0x40, 0, 0, -1, -1, -1, -1, -1, 0xF7},
            {0xF0, 0x7F, -1, -1, 0x01, -1, -1, 0xF7},
            {0xF0, 0x7F, -1, -1, 0x03, -1, -1, 0xF7}};
        static const std::vector<int> kTrigger[] = {{0xF0, 0x43, -1, -1, 0, 0, 0x7E, 0, 0xF7},
                                                    {0xF0, 0x41, -1, -1, 0x12, 0x40, 0, 0x7F, -1, -1, 0xF7},
                                                    {0xF0, 0x41, -1, -1, 0x12, 0, 0, 0x7F, -1, -1, 0xF7},
                                                    {0xF0, 0x7E, -1, -1, 0x01, 0xF7},
                                                    {0xF0, 0x7E, -1, -1, 0x03, 0xF7}};
        // Only messages of up to 30 bytes are inspected; they match as far as both go.
        const auto matches = [&](const std::vector<int>& p) {
            for (size_t i = 0; i < std::min(p.size(), bytes.size()); ++i)
                if (p[i] >= 0 && p[i] != bytes[i]) return false;
            return bytes.size() <= 30;
        };
        std::vector<Out> out;
        if (std::none_of(std::begin(kIgnore), std::end(kIgnore), matches))
            out.push_back({tp::Rec::Long, 0, bytes});
        if (std::any_of(std::begin(kTrigger), std::end(kTrigger), matches)) Tune(out, -1);
        return out;
    }

    std::vector<Out> ClickDone(Click click, const std::vector<uint8_t>& data) {
        std::vector<Out> out;
        if (data.empty() || data[0] == 0) return out;  // refused by the panel
        switch (click) {
        case kFreqDown:
        case kFreqUp:
            frequency = data[1] | (data[2] << 8);
            Tune(out, -1);
            break;
        case kSendTune:
            Tune(out, -1);
            break;
        case kKeyUp:
        case kKeyDown:
            keyShift = data[1] - 7;
            Silence(out);
            break;
        case kPanic:
            Silence(out);
            break;
        case kToneSoft:
        case kToneLoud:
            refTone = data[1];
            for (uint8_t cc : {123, 120, 121}) Send(out, 0xBF, cc, 0);
            Tune(out, 15);
            Send(out, 0xBF, 7, refTone ? 127 : 0);
            Send(out, 0xBF, 11, refTone ? 127 : 0);
            if (refTone) {
                Send(out, 0xCF, 74, 0);
                Send(out, 0x9F, 69, refTone == 1 ? 100 : 127);
            }
            break;
        case kThru:
            thru = data[1];
            out.push_back({thru ? tp::Rec::Connect : tp::Rec::Disconnect, 0, {}});
            if (!thru) Tune(out, -1);
            Silence(out);
            break;
        case kClockFilter:
            skipF8 = data[1];
            break;
        }
        return out;
    }
};

std::string Describe(tp::Rec kind, uint32_t word, const std::vector<uint8_t>& data) {
    static const char* const kKinds[] = {"short",        "SysEx", "connect", "disconnect",
                                         "output reset", "",      "",        "mark"};
    char buf[80];
    std::snprintf(buf, sizeof buf, "%s %06X (%zu bytes)", kKinds[int(kind)], word, data.size());
    return buf;
}

struct Report {
    int failures = 0;
    void Fail(const std::string& what) {
        if (++failures <= 20) ADD_FAILURE() << what;
    }
};

// Walks the user-interface thread's record from the start mark to the end mark: each mark must be
// followed by exactly what the model expects of it.
void CheckRecord(const std::vector<tp::Record>& ui, const std::vector<Played>& played, Report& report) {
    std::vector<const Played*> shorts, longs;
    for (const Played& p : played) {
        if (p.delivery.posted) (p.event.sysex ? longs : shorts).push_back(&p);
    }
    size_t nextShort = 0, nextLong = 0;
    Model model;
    size_t i = 0;
    while (i < ui.size() && !(ui[i].kind == tp::Rec::Mark && ui[i].mark == kBegin)) ++i;
    if (i++ == ui.size()) return report.Fail("no start mark");
    bool ended = false;
    while (i < ui.size() && !ended) {
        const tp::Record& mark = ui[i++];
        if (mark.kind != tp::Rec::Mark) {
            report.Fail("output outside any handler: " + Describe(mark.kind, mark.word, mark.data));
            continue;
        }
        std::vector<Out> expected;
        static const char* const kMarks[] = {"",      "start",       "end",  "short message",
                                             "SysEx", "output done", "click"};
        const std::string what =
            kMarks[unsigned(mark.mark) < 7 ? mark.mark : 0] + (" " + std::to_string(mark.seq));
        switch (mark.mark) {
        case kEnd:
            ended = true;
            continue;  // what follows is the shutdown, not checked here
        case kShortIn:
            if (nextShort >= shorts.size() || shorts[nextShort]->seq != mark.seq) {
                report.Fail("short message " + std::to_string(mark.seq) + " handled out of turn");
                while (nextShort < shorts.size() && shorts[nextShort]->seq < mark.seq) ++nextShort;  // resync
            }
            if (nextShort < shorts.size() && shorts[nextShort]->seq == mark.seq)
                expected = model.ShortIn(shorts[nextShort++]->event.word);
            break;
        case kLongIn: {
            if (nextLong >= longs.size()) {
                report.Fail("a SysEx handled that the driver never posted");
                break;
            }
            std::vector<uint8_t> sent = longs[nextLong++]->event.bytes;
            if (sent.size() > kSysExBufferSize) sent.resize(kSysExBufferSize);
            if (mark.data != sent) report.Fail(what + ": the buffer no longer held its SysEx when handled");
            expected = model.LongIn(sent);
            break;
        }
        case kOutDone:
            break;
        case kClick:
            expected = model.ClickDone(Click(mark.seq), mark.data);
            break;
        default:
            report.Fail("unknown mark");
        }
        size_t k = 0;
        for (; i < ui.size() && ui[i].kind != tp::Rec::Mark; ++i, ++k) {
            const tp::Record& r = ui[i];
            if (k >= expected.size() || r.kind != expected[k].kind || r.word != expected[k].word ||
                r.data != expected[k].data)
                report.Fail(
                    what + ": message " + std::to_string(k) + " is " + Describe(r.kind, r.word, r.data) +
                    (k < expected.size()
                         ? ", expected " + Describe(expected[k].kind, expected[k].word, expected[k].data)
                         : ", unexpected"));
        }
        if (k < expected.size())
            report.Fail(what + ": " + std::to_string(expected.size() - k) + " messages missing");
    }
    if (!ended) report.Fail("no end mark");
    if (nextShort != shorts.size() || nextLong != longs.size())
        report.Fail(std::to_string(shorts.size() - nextShort) + " short messages and " +
                    std::to_string(longs.size() - nextLong) + " SysEx posted and never handled");
}

// What became of each played message, by whether connection thru was steady around it.
void CheckDeliveries(const std::vector<Played>& played, const std::vector<tp::Record>& links,
                     Report& report) {
    std::vector<const Played*> forwarded;
    for (const Played& p : played) {
        const tp::Delivery& d = p.delivery;
        if (!d.started) {
            report.Fail("message " + std::to_string(p.seq) + " played while the input was not started");
            continue;
        }
        if (d.forwarded) forwarded.push_back(&p);
        const bool steady = p.generationBefore == p.generationAfter && p.generationBefore % 2 == 0;
        if (!steady) continue;  // a switch was under way: lost or doubled at the edge, as promised
        const bool thru = (p.generationBefore / 2) % 2 == 1;
        if (d.posted != (!thru && d.delivered) || d.forwarded != thru)
            report.Fail("message " + std::to_string(p.seq) + (thru ? " during connection thru" : "") +
                        ": posted " + std::to_string(d.posted) + ", forwarded " +
                        std::to_string(d.forwarded));
    }
    if (links.size() != forwarded.size())
        return report.Fail("the link forwarded " + std::to_string(links.size()) + " messages, the driver " +
                           std::to_string(forwarded.size()));
    for (size_t k = 0; k < links.size(); ++k) {
        const Played& p = *forwarded[k];
        const bool same =
            links[k].seq == p.seq &&
            (p.event.sysex ? links[k].kind == tp::Rec::LinkLong && links[k].data == p.event.bytes
                           : links[k].kind == tp::Rec::LinkShort && links[k].word == p.event.word);
        if (!same) report.Fail("forwarded message " + std::to_string(k) + " differs from what was played");
    }
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

    std::atomic<bool> stop{false}, driverDone{false};
    std::vector<Played> played;
    std::thread driver(DriverLoop, seed, std::cref(stop), std::ref(played), std::ref(driverDone));
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
    // Let the driver finish its burst, still handling what it posts, then drain everything.
    stop = true;
    tp::WakeWaiters();
    while (!driverDone) tp::DispatchOne(1000);
    driver.join();
    while (tp::DispatchOne(2000) || !tp::Idle()) {
    }
    tp::Mark(kEnd, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    mf_TimerKill();
    mf_TimerEndPeriod();
    const uint64_t ticks = tp::TimerTicks();
    mf_DeviceClose();
    g_PanelWnd = nullptr;
    const tp::Faults faults = tp::GetFaults();
    const std::vector<tp::Record> ui = tp::TakeUiRecords(), links = tp::TakeLinkRecords();
    tp::Reset();
    mf_ResetEngineState();

    Report report;
    CheckRecord(ui, played, report);
    CheckDeliveries(played, links, report);
    EXPECT_EQ(faults.inputBufferAddedWhileItsMessageWaits, 0)
        << "an input buffer went back while its SysEx waited";
    EXPECT_EQ(faults.outputBufferChangedWhileSending, 0) << "an output buffer changed while it was sent";
    EXPECT_EQ(faults.boxes, std::vector<std::string>{});

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
    EXPECT_GT(ticks, uint64_t(seconds * 50));
    EXPECT_GT(panel.paints, 0u);
    EXPECT_EQ(report.failures, 0) << "(the first 20 mismatches are listed above)";
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
