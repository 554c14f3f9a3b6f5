// The soak: random MIDI played through kvn over JACK, every message that comes out compared with
// what the model (tests/oracle) makes of what went in.
//
//   tests/sdl/run_with.sh --wm --jack -- soak --messages=1000000 --seed=1
//
// A synchronous server (--jack) keeps every period's MIDI whole; an asynchronous one on a busy
// machine now and then loses, repeats or garbles a message between clients (bench/RESULTS.md).
//
// Pacing: kvn drops by design what arrives while its one SysEx input buffer is away, and RtMidi's
// JACK output drops what does not fit its 16 KB ring. So at most --per-period events leave the
// player in one period, at most --window expected messages may be on their way, and after each
// SysEx the player waits until everything expected so far has come out (a SysEx that leaves
// nothing behind is followed by active sensing to wait for).
//
// Exit status: 0 when everything matched, 1 on a mismatch or loss, 2 when the set-up failed.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "tests/e2e/e2e_support.h"
#include "tests/oracle/compare.h"
#include "tests/oracle/generator.h"

namespace {

using Clock = std::chrono::steady_clock;
using oracle::Bytes;

struct Options {
    uint64_t messages = 1000000, seed = 1, window = 512;
    oracle::Settings settings{5, true, 4425};
    unsigned perPeriod = 48;
    std::string workdir;
};

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        const std::string name(argv[i], eq ? size_t(eq - argv[i]) : std::strlen(argv[i]));
        const char* v = eq ? eq + 1 : "";
        if (name == "--messages") {
            o.messages = std::strtoull(v, nullptr, 10);
        } else if (name == "--seed") {
            o.seed = std::strtoull(v, nullptr, 10);
        } else if (name == "--key-shift") {
            o.settings.keyShift = std::atoi(v);
        } else if (name == "--skip-clock") {
            o.settings.skipClock = std::atoi(v) != 0;
        } else if (name == "--frequency") {
            o.settings.frequency = std::atoi(v);
        } else if (name == "--per-period") {
            o.perPeriod = unsigned(std::atoi(v));
        } else if (name == "--window") {
            o.window = std::strtoull(v, nullptr, 10);
        } else if (name == "--workdir") {
            o.workdir = v;
        } else {
            std::fprintf(
                stderr,
                "usage: soak [--messages=N] [--seed=S] [--key-shift=-7..7] [--skip-clock=0|1]\n"
                "            [--frequency=4350..4455] [--per-period=N] [--window=N] [--workdir=DIR]\n");
            return false;
        }
    }
    const int f = o.settings.frequency;
    return std::abs(o.settings.keyShift) <= 7 && f >= 4350 && f <= 4455 && f % 5 == 0 && o.perPeriod > 0 &&
           o.window > 0;
}

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

class Soak {
public:
    explicit Soak(const Options& o)
        : o_(o),
          model_(o.settings),
          comparer_(model_, 0),
          player_("kvnplay", o.perPeriod),
          sink_("kvnsink") {}
    int Run();

private:
    bool SetUp();
    bool Play();
    void Pump();
    // Pumps until `done` holds; false on a mismatch, or when nothing came out for 10 s.
    bool PumpUntil(const std::function<bool()>& done, const char* what);
    void Send(const Bytes& m);

    Options o_;
    oracle::Model model_;
    oracle::Comparer comparer_;
    kvntest::JackClient player_, sink_;
    std::unique_ptr<e2e::Kvn> kvn_;
    Bytes partial_;  // a SysEx still coming out in pieces
    std::map<std::string, uint64_t> kinds_;
    std::deque<std::pair<uint64_t, std::string>> played_;  // the last messages played, for a report
    uint64_t source_ = 0;
    std::string failure_;
};

// What came out, to the comparer; a SysEx that left kvn in pieces (the pieces after the first
// begin with data bytes) joined again, and one cut into by another message reported as it came.
void Soak::Pump() {
    for (kvntest::Timed& t : sink_.Take()) {
        Bytes& b = t.bytes;
        if (b.empty() || comparer_.Failed()) continue;
        if (!partial_.empty() && (b[0] < 0x80 || b[0] == 0xF7)) {
            partial_.insert(partial_.end(), b.begin(), b.end());
            if (partial_.back() != 0xF7) continue;
            b = std::exchange(partial_, {});
        } else if (!partial_.empty()) {
            comparer_.Feed(std::exchange(partial_, {}));
        }
        if (b[0] == 0xF0 && b.back() != 0xF7) {
            partial_ = std::move(b);
        } else {
            comparer_.Feed(b);
        }
    }
}

bool Soak::PumpUntil(const std::function<bool()>& done, const char* what) {
    uint64_t seen = comparer_.MatchedMessages();
    auto last = Clock::now();
    for (;;) {
        Pump();
        if (comparer_.Failed()) return false;
        if (done()) return true;
        if (comparer_.MatchedMessages() != seen) {
            seen = comparer_.MatchedMessages();
            last = Clock::now();
        } else if (Seconds(last) > 10.0) {
            comparer_.Flush();
            if (comparer_.Failed() || done()) return !comparer_.Failed();
            failure_ = std::string("nothing more came out for 10 s while ") + what + "; " +
                       std::to_string(comparer_.ExpectedMessages() - comparer_.MatchedMessages()) +
                       " expected messages missing, from #" + std::to_string(comparer_.WaitingFor());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void Soak::Send(const Bytes& m) {
    while (player_.SendRoom() < m.size() + 4) std::this_thread::sleep_for(std::chrono::microseconds(500));
    player_.Send(m);
    played_.emplace_back(source_, oracle::Show(m));
    if (played_.size() > 4096) played_.pop_front();
}

// kvn started with the soak's settings; its start-up output (the reset burst and the tuning at the
// settings' pitch) seen, then the input proven live. Afterwards the sink is empty.
bool Soak::SetUp() {
    if (!player_.Ok() || !sink_.Ok() || !kvntest::PollUntil([&] { return player_.MaxEvent() > 0; })) {
        failure_ = "no JACK server running (run under tests/sdl/run_with.sh --wm --jack)";
        return false;
    }
    const oracle::Settings& s = o_.settings;
    kvn_ = std::make_unique<e2e::Kvn>(
        "Soak" + std::to_string(getpid()),
        "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\nMidiInDeviceName=kvnplay:out\n"
        "MidiOutDeviceName=kvnsink:in\ng_KeyShift=" +
            std::to_string(s.keyShift) + "\ng_SkipF8=" + (s.skipClock ? "1" : "0") +
            "\ng_Frequency=" + std::to_string(s.frequency) + "\n");
    if (!kvn_->Start() || !kvn_->WaitForPanel() || !e2e::WaitLive(player_, sink_, false)) {
        failure_ = "kvn did not start, or nothing played came out:\n" + kvn_->Log();
        return false;
    }
    const std::vector<Bytes> own = e2e::Played(sink_),
                             expected =
                                 e2e::Concat({e2e::OnAllChannels(123), e2e::OnAllChannels(120),
                                              e2e::OnAllChannels(121), e2e::TuningAll(s.frequency / 10.0)});
    sink_.Clear();
    if (own != expected) {
        failure_ = "kvn's start-up output is not the reset burst and the tuning: " + e2e::Show(own);
        return false;
    }
    return true;
}

bool Soak::Play() {
    oracle::Generator gen(o_.seed, std::min<size_t>(16384, player_.MaxEvent()));
    const auto start = Clock::now();
    auto lastReport = start;
    for (uint64_t i = 0; i < o_.messages; ++i) {
        const oracle::Generated g = gen.Next();
        const oracle::Outcome outcome = model_.Apply(g.bytes);
        ++kinds_[g.kind];
        if (!PumpUntil(
                [&] { return comparer_.ExpectedMessages() - comparer_.MatchedMessages() <= o_.window; },
                "keeping the window"))
            return false;
        source_ = i;
        Send(g.bytes);
        comparer_.Expect(i, outcome);
        if (g.bytes[0] == 0xF0) {
            if (!outcome.passed && outcome.tuning == oracle::kNoTuning) {
                Send({0xFE});  // nothing of it comes out: this shows when it has been handled
                comparer_.Expect(i, model_.Apply({0xFE}));
            }
            if (!PumpUntil([&] { return comparer_.Caught(); }, "waiting for a SysEx to come out"))
                return false;
        } else {
            Pump();
            if (comparer_.Failed()) return false;
        }
        if (Seconds(lastReport) >= 30.0) {
            lastReport = Clock::now();
            std::fprintf(stderr, "soak: %llu of %llu played, %.0f s\n", (unsigned long long)(i + 1),
                         (unsigned long long)o_.messages, Seconds(start));
        }
    }
    // The end: a last message to wait for, then half a second in which nothing more may come.
    source_ = o_.messages;
    Send({0xF2, 0x00, 0x2A});
    comparer_.Expect(o_.messages, model_.Apply({0xF2, 0x00, 0x2A}));
    if (!PumpUntil([&] { return comparer_.Caught(); }, "waiting for the end")) return false;
    const auto quiet = Clock::now();
    return PumpUntil([&] { return Seconds(quiet) >= 0.5; }, "waiting for nothing more");
}

int Soak::Run() {
    std::printf("soak: %llu messages, seed %llu, key shift %d, clock filter %s, A4 = %.1f Hz\n",
                (unsigned long long)o_.messages, (unsigned long long)o_.seed, o_.settings.keyShift,
                o_.settings.skipClock ? "on" : "off", o_.settings.frequency / 10.0);
    if (!SetUp()) {
        std::printf("SET-UP FAILED: %s\n", failure_.c_str());
        return 2;
    }
    const auto start = Clock::now();
    bool ok = Play();
    const double seconds = Seconds(start);
    for (const auto& [kind, n] : kinds_) std::printf("%-44s %9llu\n", kind.c_str(), (unsigned long long)n);
    std::printf(
        "came out: %llu messages matched of %llu expected, %llu tuning runs; %.1f s, %.0f messages/s\n",
        (unsigned long long)comparer_.MatchedMessages(), (unsigned long long)comparer_.ExpectedMessages(),
        (unsigned long long)comparer_.Runs(), seconds, double(o_.messages) / seconds);
    std::printf("JACK: xruns %llu; lost by the soak's own recorder %llu\n", (unsigned long long)sink_.Xruns(),
                (unsigned long long)sink_.Overflows());
    if (!ok) {
        std::printf("\n%s\n  played around message #%llu:\n",
                    comparer_.Failed() ? comparer_.Report().c_str() : ("FAILED: " + failure_).c_str(),
                    (unsigned long long)comparer_.WaitingFor());
        for (const auto& [index, text] : played_) {
            if (index + 24 >= comparer_.WaitingFor() && index <= comparer_.WaitingFor() + 8)
                std::printf("    #%llu %s\n", (unsigned long long)index, text.c_str());
        }
    }
    ok = ok && sink_.Overflows() == 0;
    kvn_->Signal(SIGTERM);
    const int exitStatus = kvn_->WaitExit();
    if (exitStatus != 0 || !ok)
        std::printf("kvn ended with status %d:\n%s\n", exitStatus, kvn_->Log().c_str());
    ok = ok && exitStatus == 0;
    if (ok) {  // a failing run keeps kvn's folder and log
        const std::filesystem::path folder = std::filesystem::path(kvn_->Dir()).parent_path();
        kvn_.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::printf("\nRESULT: %s (seed %llu, %llu messages)\n", ok ? "PASS, everything matched" : "FAIL",
                (unsigned long long)o_.seed, (unsigned long long)o_.messages);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, o)) return 2;
    // kvn runs in a folder of its own under the working directory, kept out of the source tree.
    namespace fs = std::filesystem;
    const fs::path work =
        o.workdir.empty() ? fs::canonical("/proc/self/exe").parent_path() / "soakrun" : fs::path(o.workdir);
    std::error_code ec;
    fs::create_directories(work, ec);
    fs::current_path(work, ec);
    if (ec) {
        std::fprintf(stderr, "soak: cannot work in %s\n", work.c_str());
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return Soak(o).Run();
}
