// The soak: random MIDI played through kvn over JACK, every message that comes out compared with
// what kvn promises to make of what went in (tests/oracle/model.h).
//
//   tests/sdl/run_with.sh --wm --jack -- soak --messages=1000000 --seed=1
//
// A synchronous server (--jack) keeps every period's MIDI whole; an asynchronous one (--jack-async)
// on a busy machine now and then loses, repeats or garbles a message between clients, which this
// exact comparison reports like a fault of kvn's.
//
// Pacing. kvn drops by design what arrives while its one SysEx input buffer is away, and RtMidi's
// JACK output drops what does not fit its 16 KB ring. So:
// - at most --per-period events leave the player in one JACK period (default 48, about 9000 a
//   second at 48 kHz / 256 frames);
// - at most --window expected messages may be on their way (played, not yet seen coming out);
// - after each SysEx the player waits until everything expected so far, the SysEx and its tuning
//   included, has come out; a SysEx that leaves nothing behind (dropped) is followed by an active
//   sensing message to wait for, so that the next SysEx always finds the input buffer back.
//
// Exit status: 0 when everything matched, 1 on a mismatch or loss, 2 when kvn or the servers
// could not be set up.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "bench/soak/soak_jack.h"
#include "tests/e2e/e2e_support.h"
#include "tests/oracle/compare.h"
#include "tests/oracle/generator.h"
#include "tests/oracle/model.h"

namespace {

using Clock = std::chrono::steady_clock;
using oracle::Bytes;

struct Options {
    uint64_t messages = 1000000;
    uint64_t seed = 1;
    oracle::Settings settings{5, true, 4425};
    int landing = 0;
    unsigned perPeriod = 48;
    uint64_t window = 512;
    std::string workdir;
    bool direct = false;  // no kvn: the player joined to the sink, to see what the server alone does
};

bool Flag(const char* arg, const char* name, std::string& value) {
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
    value = arg + n + 1;
    return true;
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string v;
        if (Flag(argv[i], "--messages", v)) {
            o.messages = std::strtoull(v.c_str(), nullptr, 10);
        } else if (Flag(argv[i], "--seed", v)) {
            o.seed = std::strtoull(v.c_str(), nullptr, 10);
        } else if (Flag(argv[i], "--key-shift", v)) {
            o.settings.keyShift = std::atoi(v.c_str());
        } else if (Flag(argv[i], "--skip-clock", v)) {
            o.settings.skipClock = std::atoi(v.c_str()) != 0;
        } else if (Flag(argv[i], "--frequency", v)) {
            o.settings.frequency = std::atoi(v.c_str());
        } else if (Flag(argv[i], "--landing", v)) {
            o.landing = std::atoi(v.c_str());
        } else if (Flag(argv[i], "--per-period", v)) {
            o.perPeriod = static_cast<unsigned>(std::atoi(v.c_str()));
        } else if (Flag(argv[i], "--window", v)) {
            o.window = std::strtoull(v.c_str(), nullptr, 10);
        } else if (Flag(argv[i], "--workdir", v)) {
            o.workdir = v;
        } else if (std::strcmp(argv[i], "--direct") == 0) {
            o.direct = true;
        } else {
            std::fprintf(stderr,
                         "usage: soak [--messages=N] [--seed=S] [--key-shift=-7..7] [--skip-clock=0|1]\n"
                         "            [--frequency=4350..4455] [--landing=N] [--per-period=N] [--window=N]\n"
                         "            [--workdir=DIR] [--direct]\n");
            return false;
        }
    }
    const int f = o.settings.frequency;
    return o.settings.keyShift >= -7 && o.settings.keyShift <= 7 && f >= 4350 && f <= 4455 && f % 5 == 0 &&
           o.landing >= 0 && o.perPeriod > 0 && o.window > 0;
}

struct KindCount {
    uint64_t played = 0, passed = 0, dropped = 0, tuned = 0;
};

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// What kvn sends when it starts: All Notes Off, All Sound Off, Reset All Controllers on every
// channel, then the tuning.
std::vector<Bytes> StartupBurst(double hz) {
    return e2e::Concat(
        {e2e::OnAllChannels(123), e2e::OnAllChannels(120), e2e::OnAllChannels(121), e2e::TuningAll(hz)});
}

class Soak {
public:
    explicit Soak(const Options& o)
        : o_(o),
          model_(o.settings),
          comparer_(model_, o.landing),
          player_("kvnsoakplay", oracle::JackPort::Direction::Play, o.perPeriod),
          sink_("kvnsoaksink", oracle::JackPort::Direction::Record) {}

    int Run();

private:
    bool SetUp();
    bool Startup();
    bool Play();
    void Pump();
    // Pumps until `done` holds; false on a mismatch, or when nothing came out for 10 s.
    template <typename F>
    bool PumpUntil(F done, const char* what);
    void Send(const Bytes& m);
    // What must come out for `m`: kvn's rules, or `m` itself when nothing stands between the ports.
    oracle::Outcome Expected(const Bytes& m) {
        if (!o_.direct) return model_.Apply(m);
        oracle::Outcome o;
        o.passed = true;
        o.out = m;
        return o;
    }
    void Summary(double seconds);

    Options o_;
    oracle::Model model_;
    oracle::Comparer comparer_;
    oracle::JackPort player_, sink_;
    std::unique_ptr<e2e::Kvn> kvn_;
    std::map<std::string, KindCount> kinds_;
    std::deque<std::pair<uint64_t, std::string>> played_;  // the last messages played, for a report
    uint64_t source_ = 0, syncs_ = 0, sysexBytes_ = 0;
    std::string failure_;
    int64_t failedXrunAge_ = -1;
};

void Soak::Pump() {
    Bytes ev;
    while (!comparer_.Failed() && sink_.Next(ev)) comparer_.Feed(ev);
}

template <typename F>
bool Soak::PumpUntil(F done, const char* what) {
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
            if (comparer_.Failed()) return false;
            if (done()) return true;
            failure_ = std::string("nothing more came out for 10 s while ") + what +
                       "; still waiting for message #" + std::to_string(comparer_.WaitingFor()) + " (" +
                       std::to_string(comparer_.ExpectedMessages() - comparer_.MatchedMessages()) +
                       " expected messages missing)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void Soak::Send(const Bytes& m) {
    player_.Send(m);
    played_.emplace_back(source_, oracle::Show(m));
    if (played_.size() > 4096) played_.pop_front();
}

bool Soak::SetUp() {
    if (!player_.Ok() || !sink_.Ok()) {
        failure_ = "no JACK server (run under tests/sdl/run_with.sh --wm --jack)";
        return false;
    }
    if (!kvntest::PollUntil([&] { return player_.MaxEvent() > 0; })) {
        failure_ = "the JACK server runs no periods";
        return false;
    }
    if (o_.direct) {
        if (!player_.Connect(sink_.PortName())) {
            failure_ = "cannot connect the player to the sink";
            return false;
        }
        return true;
    }
    const std::string ini =
        "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\nMidiInDeviceName=" + player_.PortName() +
        "\nMidiOutDeviceName=" + sink_.PortName() + "\ng_KeyShift=" + std::to_string(o_.settings.keyShift) +
        "\ng_SkipF8=" + (o_.settings.skipClock ? "1" : "0") +
        "\ng_Frequency=" + std::to_string(o_.settings.frequency) + "\n";
    kvn_ = std::make_unique<e2e::Kvn>("Soak" + std::to_string(getpid()), ini);
    if (!kvn_->Start() || !kvn_->WaitForPanel()) {
        failure_ = "kvn did not start:\n" + kvn_->Log();
        return false;
    }
    return true;
}

// kvn's own start-up output, then the input proven live; afterwards the sink is empty.
bool Soak::Startup() {
    std::vector<Bytes> heard;
    Bytes ev;
    const std::vector<Bytes> burst = StartupBurst(o_.settings.frequency / 10.0);
    const bool live = kvntest::PollUntil(
        [&] {
            while (sink_.Next(ev)) heard.push_back(ev);
            for (const Bytes& b : heard) {
                if (b == Bytes{0xFE}) return true;
            }
            player_.Send({0xFE});
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return false;
        },
        std::chrono::seconds(30));
    if (!live) {
        failure_ = "nothing played came out of kvn";
        return false;
    }
    const Bytes marker{0xF2, 0x7F, 0x55};
    player_.Send(marker);
    const bool settled = kvntest::PollUntil(
        [&] {
            while (sink_.Next(ev)) heard.push_back(ev);
            return !heard.empty() && heard.back() == marker;
        },
        std::chrono::seconds(10));
    if (!settled) {
        failure_ = "kvn's input did not settle";
        return false;
    }
    std::vector<Bytes> own;
    for (const Bytes& b : heard) {
        if (b != Bytes{0xFE} && b != marker) own.push_back(b);
    }
    if (o_.direct) {
        std::printf("start-up: the player joined to the sink, no kvn between them\n");
        return true;
    }
    if (own != burst) {
        failure_ = "kvn's start-up output is not the reset burst and the tuning: " + e2e::Show(heard);
        return false;
    }
    std::printf("start-up: %zu messages (reset burst, tuning at %.1f Hz) as expected\n", own.size(),
                o_.settings.frequency / 10.0);
    return true;
}

bool Soak::Play() {
    const size_t maxSysEx = std::min<size_t>(16384, player_.MaxEvent());
    oracle::Generator gen(o_.seed, maxSysEx);
    const auto start = Clock::now();
    auto lastReport = start;
    for (uint64_t i = 0; i < o_.messages; ++i) {
        const oracle::Generated g = gen.Next();
        const oracle::Outcome outcome = Expected(g.bytes);
        KindCount& k = kinds_[g.kind];
        ++k.played;
        (outcome.passed ? k.passed : k.dropped) += 1;
        if (outcome.tuning != oracle::kNoTuning) ++k.tuned;

        if (!PumpUntil(
                [&] { return comparer_.ExpectedMessages() - comparer_.MatchedMessages() <= o_.window; },
                "keeping the window")) {
            return false;
        }
        source_ = i;
        Send(g.bytes);
        comparer_.Expect(i, outcome);
        if (g.bytes[0] == 0xF0) {
            sysexBytes_ += g.bytes.size();
            if (!outcome.passed && outcome.tuning == oracle::kNoTuning) {
                // Nothing of it comes out: something after it shows when it has been handled.
                const Bytes sync{0xFE};
                Send(sync);
                comparer_.Expect(i, Expected(sync));
                ++syncs_;
            }
            if (!PumpUntil([&] { return comparer_.Caught(); }, "waiting for a SysEx to come out"))
                return false;
        } else {
            Pump();
            if (comparer_.Failed()) return false;
        }
        if (Seconds(lastReport) >= 30.0) {
            lastReport = Clock::now();
            std::fprintf(stderr, "soak: %llu of %llu played, %.0f s\n",
                         static_cast<unsigned long long>(i + 1), static_cast<unsigned long long>(o_.messages),
                         Seconds(start));
        }
    }
    // The end: a last message to wait for, then a moment in which nothing more may come.
    source_ = o_.messages;
    const Bytes last{0xF2, 0x00, 0x2A};
    Send(last);
    comparer_.Expect(o_.messages, Expected(last));
    if (!PumpUntil([&] { return comparer_.Caught(); }, "waiting for the end")) return false;
    const auto quiet = Clock::now();
    while (Seconds(quiet) < 0.5) {
        Pump();
        if (comparer_.Failed()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Soak::Summary(double seconds) {
    std::printf("\n%-44s %9s %9s %9s %9s\n", "played", "count", "passed", "dropped", "tuned");
    uint64_t total = 0;
    for (const auto& [kind, k] : kinds_) {
        std::printf("%-44s %9llu %9llu %9llu %9llu\n", kind.c_str(),
                    static_cast<unsigned long long>(k.played), static_cast<unsigned long long>(k.passed),
                    static_cast<unsigned long long>(k.dropped), static_cast<unsigned long long>(k.tuned));
        total += k.played;
    }
    std::printf("%-44s %9llu\n", "total random messages", static_cast<unsigned long long>(total));
    std::printf("%-44s %9llu\n", "active sensing to wait on after a dropped SysEx",
                static_cast<unsigned long long>(syncs_));
    std::printf("%-44s %9llu\n", "SysEx bytes played", static_cast<unsigned long long>(sysexBytes_));
    std::printf("\ncame out: %llu messages matched of %llu expected; %llu tuning runs (%llu messages)\n",
                static_cast<unsigned long long>(comparer_.MatchedMessages()),
                static_cast<unsigned long long>(comparer_.ExpectedMessages()),
                static_cast<unsigned long long>(comparer_.Runs()),
                static_cast<unsigned long long>(comparer_.RunMessages()));
    std::printf("tuning runs by how many passed-on messages overtook them (allowed: %d):", o_.landing);
    for (const auto& [late, n] : comparer_.Landing())
        std::printf(" %d: %llu", late, static_cast<unsigned long long>(n));
    const oracle::ServerTrouble p = player_.Trouble(), s = sink_.Trouble();
    std::printf(
        "\nJACK: %llu periods; xruns reported %llu; periods missed by player/sink %llu/%llu; sink overflows "
        "%llu\n",
        static_cast<unsigned long long>(sink_.Periods()), static_cast<unsigned long long>(s.xruns),
        static_cast<unsigned long long>(p.lostCycles), static_cast<unsigned long long>(s.lostCycles),
        static_cast<unsigned long long>(sink_.Overflows()));
    std::printf("wall time %.1f s, %.0f messages/s\n", seconds, double(total) / seconds);
}

int Soak::Run() {
    std::printf(
        "soak: %llu messages, seed %llu, key shift %d, clock filter %s, A4 = %.1f Hz, %u events a period, "
        "window %llu, landing %d\n",
        static_cast<unsigned long long>(o_.messages), static_cast<unsigned long long>(o_.seed),
        o_.settings.keyShift, o_.settings.skipClock ? "on" : "off", o_.settings.frequency / 10.0,
        o_.perPeriod, static_cast<unsigned long long>(o_.window), o_.landing);
    if (!SetUp() || !Startup()) {
        std::printf("SET-UP FAILED: %s\n", failure_.c_str());
        return 2;
    }
    std::printf("largest SysEx played: %zu bytes (JACK events up to %zu)\n",
                std::min<size_t>(16384, player_.MaxEvent()), player_.MaxEvent());
    std::fflush(stdout);
    const auto start = Clock::now();
    const bool ok = Play();
    failedXrunAge_ = sink_.SinceXrun();
    const double seconds = Seconds(start);
    Summary(seconds);
    int status = 0;
    if (!ok) {
        status = 1;
        std::printf("\n%s\n",
                    comparer_.Failed() ? comparer_.Report().c_str() : ("FAILED: " + failure_).c_str());
        // Played around the first message not seen (or the last ones, when none is waiting).
        const uint64_t at = comparer_.WaitingFor();
        std::printf("  played around message #%llu:\n", static_cast<unsigned long long>(at));
        for (const auto& [index, text] : played_) {
            if (index + 24 >= at && index <= at + 8)
                std::printf("    #%llu %s\n", static_cast<unsigned long long>(index), text.c_str());
        }
    } else if (sink_.Overflows() != 0) {
        status = 1;
        std::printf("\nFAILED: the soak's own recorder lost %llu messages\n",
                    static_cast<unsigned long long>(sink_.Overflows()));
    }
    if (status != 0) {
        std::printf(
            "the last xrun the JACK server reported came %.1f ms before the failure was seen (-0.0: none). "
            "A client still busy when the next period begins lets an asynchronous server (--jack-async) "
            "hand MIDI buffers to their reader while their writer rewrites them: messages are lost, repeated "
            "or replaced by older ones on the way, with no fault in kvn. A synchronous server (--jack) waits "
            "instead.\n",
            failedXrunAge_ / 1000.0);
    }
    const int exitStatus = kvn_ ? (kvn_->Signal(SIGTERM), kvn_->WaitExit()) : 0;
    if (exitStatus != 0) {
        std::printf("kvn ended with status %d:\n%s\n", exitStatus, kvn_->Log().c_str());
        if (status == 0) status = 1;
    } else if (status != 0 && kvn_) {
        std::printf("kvn's log:\n%s\n", kvn_->Log().c_str());
    }
    if (status == 0 && kvn_) {
        // A passing run leaves nothing behind; a failing one keeps kvn's folder and log.
        const std::filesystem::path folder = std::filesystem::path(kvn_->Dir()).parent_path();
        kvn_.reset();
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::printf("\nRESULT: %s (seed %llu, %llu messages)\n",
                status == 0 ? "PASS, everything matched" : "FAIL", static_cast<unsigned long long>(o_.seed),
                static_cast<unsigned long long>(o_.messages));
    return status;
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
    Soak soak(o);
    return soak.Run();
}
