// kvn over JACK, measured from outside: latency against reference paths, the highest stream rate
// it passes whole, and its idle CPU. Run it under run_with.sh (servers of its own) from a scratch
// folder, for example
//   cd build-b1/benchrun && ../../tests/sdl/run_with.sh --wm --jack -- ../jack_e2e_bench --mode=latency
// Three paths stream at once, from the same frame on the same schedule, each from a player to a
// sink of its own (all clients of this process):
//   kvn     kvnplay -> kvn (started here, with a settings file naming both ports) -> kvnsink
//   direct  directplay -> directsink, a plain connection (delivered in the same period)
//   relay   relayplay -> jack_relay (a process of its own with kvn's JACK shape) -> relaysink
// Modes:
//   latency  all three paths, for each rate of --rates, --seconds long
//   maxrate  kvn path only (--with-references: all three): --probe-seconds probes, doubling from
//            --start-rate then bisecting, then the best rate confirmed over --confirm-seconds
//            (stepping down by 10 % on a failure)
//   idle     kvn connected and silent: its CPU over --seconds
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/jack/stream_client.h"
#include "tests/e2e/e2e_support.h"

namespace {

using namespace kvnbench;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string mode = "latency";
    std::vector<uint32_t> rates = {1000, 10000};
    double seconds = -1;  // latency: 20 per rate; idle: 60
    double probeSeconds = 5;
    double confirmSeconds = 60;
    uint32_t startRate = 1000;
    uint32_t maxRate = 1000000;
    double keptUpMs = 200;       // a probe whose worst latency is above this did not keep up
    bool refsInMaxRate = false;  // the reference paths stream beside kvn in maxrate mode too
};

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

std::string Now() {
    char buf[32];
    const time_t t = time(nullptr);
    strftime(buf, sizeof buf, "%H:%M:%S", gmtime(&t));
    return buf;
}

// utime + stime of a process or thread, in clock ticks, and its name.
struct CpuTicks {
    uint64_t ticks = 0;
    std::string name;
};
CpuTicks ReadTicks(const std::string& statPath) {
    std::ifstream in(statPath);
    std::string line;
    std::getline(in, line);
    CpuTicks t;
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return t;
    t.name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    t.ticks = utime + stime;
    return t;
}

std::map<int, CpuTicks> ThreadTicks(pid_t pid) {
    std::map<int, CpuTicks> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const int tid = std::atoi(e.path().filename().c_str());
        out[tid] = ReadTicks(e.path().string() + "/stat");
    }
    return out;
}

double TicksToPercent(uint64_t ticks, double seconds) {
    return 100.0 * double(ticks) / double(sysconf(_SC_CLK_TCK)) / seconds;
}

struct Stats {
    size_t n = 0;
    double mean = 0;
    int64_t min = 0, median = 0, p99 = 0, max = 0;
};
Stats Summarize(std::vector<int64_t> v) {
    Stats s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (int64_t x : v) sum += double(x);
    s.mean = sum / double(v.size());
    s.min = v.front();
    s.median = v[(v.size() - 1) / 2];
    s.p99 = v[size_t(std::ceil(0.99 * double(v.size()))) - 1];
    s.max = v.back();
    return s;
}

// What one path delivered of one stream.
constexpr int32_t kLost = INT32_MIN;

struct PathResult {
    uint32_t count = 0;     // messages played
    uint32_t sent = 0;      // of which left the player
    uint32_t deferred = 0;  // found the player's period full and left later
    size_t arrivals = 0;    // note-ons received
    size_t distinct = 0;    // different stream messages among them
    size_t reordered = 0;   // arrived after a later-numbered one
    size_t duplicates = 0;
    size_t foreign = 0;  // note-ons that are no message of this stream (or changed bytes)
    size_t others = 0;   // anything else that arrived (kvn's own output, markers)
    uint32_t sinkOverflow = 0;
    double wallRate = 0;  // messages per second of wall clock, as they left the player
    // Per message: receive frame - send frame, and periods begun in between; kLost when lost.
    // Korvane stamps what it sends at the start of the period it sends in, so a message it handles
    // before its output client has run in the same period arrives stamped before it was played.
    std::vector<int32_t> frames;
    std::vector<int32_t> periods;
    std::vector<std::string> anomalies;  // the first few arrivals out of order, doubled or foreign
    size_t Lost() const { return count - distinct; }
    bool Whole() const { return distinct == count && reordered == 0 && duplicates == 0 && foreign == 0; }
};

PathResult Analyze(const Player& player, const Sink& sink, uint32_t count) {
    PathResult r;
    r.count = count;
    r.sent = player.Sent();
    r.deferred = player.Deferred();
    r.sinkOverflow = sink.Overflow();
    if (player.LastUsecs() > player.FirstUsecs() && r.sent > 1) {
        r.wallRate = double(r.sent - 1) * 1e6 / double(player.LastUsecs() - player.FirstUsecs());
    }
    r.frames.assign(count, kLost);
    r.periods.assign(count, kLost);
    const uint32_t period = player.Period();
    const size_t n = sink.Count();
    const std::vector<Arrival>& log = sink.Arrivals();
    int64_t maxSeen = -1;
    for (size_t i = 0; i < n; ++i) {
        const Arrival& a = log[i];
        if (a.size != 3 || (a.bytes[0] & 0xF0) != 0x90) {
            ++r.others;
            continue;
        }
        ++r.arrivals;
        // The full number: the 18 bits, nearest to the one expected next.
        const int64_t expected = maxSeen + 1;
        const uint32_t delta = (DecodeSeq(a.bytes) - uint32_t(expected)) & kSeqMask;
        const int64_t seq =
            delta < (1u << (kSeqBits - 1)) ? expected + delta : expected + delta - (1 << kSeqBits);
        const auto note = [&](const char* what) {
            if (r.anomalies.size() >= 12) return;
            char line[200];
            const bool known = seq >= 0 && seq < int64_t(r.sent);
            std::snprintf(
                line, sizeof line,
                "%s: arrival %zu, message %lld (after %lld), at frame %u (period %u); sent at %u (period %u)",
                what, i, static_cast<long long>(seq), static_cast<long long>(maxSeen), a.frame, a.cycle,
                known ? player.SendFrames()[size_t(seq)] : 0u, known ? player.SendCycles()[size_t(seq)] : 0u);
            r.anomalies.push_back(line);
        };
        if (seq < 0 || seq >= int64_t(r.sent)) {
            note("foreign");
            ++r.foreign;
            continue;
        }
        if (r.frames[size_t(seq)] != kLost) {
            note("duplicate");
            ++r.duplicates;
            continue;
        }
        if (seq < maxSeen) {
            note("reordered");
            ++r.reordered;
        } else if (seq > maxSeen + 1) {
            note("gap before");
        }
        maxSeen = std::max(maxSeen, seq);
        ++r.distinct;
        r.frames[size_t(seq)] = int32_t(a.frame - player.SendFrames()[size_t(seq)]);
        r.periods[size_t(seq)] = int32_t(a.cycle - player.SendCycles()[size_t(seq)]) / int32_t(period);
    }
    return r;
}

std::vector<int64_t> Present(const std::vector<int32_t>& v) {
    std::vector<int64_t> out;
    for (int32_t x : v) {
        if (x != kLost) out.push_back(x);
    }
    return out;
}

class Bench {
public:
    explicit Bench(const Options& o) : opt_(o) {}

    bool SetUp() {
        kvnPlay_ = std::make_unique<Player>("kvnplay");
        kvnSink_ = std::make_unique<Sink>("kvnsink");
        directPlay_ = std::make_unique<Player>("directplay");
        directSink_ = std::make_unique<Sink>("directsink");
        relayPlay_ = std::make_unique<Player>("relayplay");
        relaySink_ = std::make_unique<Sink>("relaysink");
        for (Client* c : {static_cast<Client*>(kvnPlay_.get()), static_cast<Client*>(kvnSink_.get()),
                          static_cast<Client*>(directPlay_.get()), static_cast<Client*>(directSink_.get()),
                          static_cast<Client*>(relayPlay_.get()), static_cast<Client*>(relaySink_.get())}) {
            if (!c->Ok() || !c->Activate()) {
                std::fprintf(stderr, "no JACK server (run under tests/sdl/run_with.sh --jack)\n");
                return false;
            }
        }
        // Seen (rarely, with other clients coming and going at the same moment): a client that
        // the server never runs although it was activated.
        for (Client* c : {static_cast<Client*>(kvnPlay_.get()), static_cast<Client*>(kvnSink_.get()),
                          static_cast<Client*>(directPlay_.get()), static_cast<Client*>(directSink_.get()),
                          static_cast<Client*>(relayPlay_.get()), static_cast<Client*>(relaySink_.get())}) {
            if (!c->WaitCycles(3)) {
                std::fprintf(stderr, "the JACK server does not run %s\n", c->PortName().c_str());
                return false;
            }
        }
        if (kvnPlay_->PortName() != "kvnplay:out" || kvnSink_->PortName() != "kvnsink:in") {
            std::fprintf(stderr, "client names taken: %s %s\n", kvnPlay_->PortName().c_str(),
                         kvnSink_->PortName().c_str());
            return false;
        }
        if (!Connect(directPlay_->Handle(), directPlay_->PortName(), directSink_->PortName())) {
            std::fprintf(stderr, "cannot connect the direct path\n");
            return false;
        }
        // The reference relay, in a process of its own as kvn is.
        const char* relayArgv[] = {KVN_BENCH_RELAY, nullptr};
        if (posix_spawn(&relayPid_, KVN_BENCH_RELAY, nullptr, nullptr, const_cast<char* const*>(relayArgv),
                        environ) != 0) {
            std::fprintf(stderr, "cannot start %s\n", KVN_BENCH_RELAY);
            return false;
        }
        // Its ports show before its clients are active, and only then take connections.
        const auto relayDeadline = Clock::now() + std::chrono::seconds(10);
        while (!(Connect(relayPlay_->Handle(), relayPlay_->PortName(), "relay-in:in") &&
                 Connect(relayPlay_->Handle(), "relay:out", relaySink_->PortName()))) {
            if (Clock::now() > relayDeadline) {
                std::fprintf(stderr, "the relay did not come up\n");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kvnSink_->Restart(1 << 16);
        directSink_->Restart(1 << 16);
        relaySink_->Restart(1 << 16);
        const std::string ini =
            "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\nMidiInDeviceName=kvnplay:out\n"
            "MidiOutDeviceName=kvnsink:in\n";
        kvn_ = std::make_unique<e2e::Kvn>("Bench" + std::to_string(getpid()), ini);
        if (!kvn_->Start() || !kvn_->WaitForPanel()) {
            std::fprintf(stderr, "kvn did not come up:\n%s\n", kvn_->Log().c_str());
            return false;
        }
        // Active sensing until it comes through: from then on kvn's input is open and connected.
        bool live = false;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!live && Clock::now() < deadline) {
            kvnPlay_->SendControl({0xFE});
            for (int i = 0; i < 50 && !live; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                live = kvnSink_->Seen({0xFE});
            }
        }
        if (!live || !Settle()) {
            std::fprintf(stderr, "nothing played came through kvn\n%s\n", kvn_->Log().c_str());
            for (const char* port : {"kvnplay:out", "kvnsink:in", "KVN-in:in", "KVN:out"}) {
                std::fprintf(stderr, "%s connected to:", port);
                jack_port_t* p = jack_port_by_name(kvnPlay_->Handle(), port);
                const char** to = p ? jack_port_get_all_connections(kvnPlay_->Handle(), p) : nullptr;
                for (const char** t = to; t && *t; ++t) std::fprintf(stderr, " %s", *t);
                std::fprintf(stderr, "%s\n", p ? "" : " (no such port)");
                if (to) jack_free(to);
            }
            // Whether an X event (the pointer moving over the panel) gets things moving again.
            if (std::getenv("KVN_BENCH_POKE") != nullptr) {
                const size_t before = kvnSink_->Count();
                std::system("xdotool mousemove 200 150; sleep 0.3; xdotool mousemove 600 130");
                std::this_thread::sleep_for(std::chrono::seconds(2));
                std::fprintf(
                    stderr, "after moving the pointer over the panel: %zu events arrived (%s)\n",
                    kvnSink_->Count() - before,
                    kvnSink_->Seen({0xFE}, before) ? "active sensing among them" : "no active sensing");
                kvnPlay_->SendControl({0xFE});
                std::this_thread::sleep_for(std::chrono::seconds(1));
                std::fprintf(stderr, "one more active sensing played: %s\n",
                             kvnSink_->Seen({0xFE}, before) ? "came through" : "nothing");
                // Is the player itself heard? Past kvn, straight into the direct path's sink.
                Connect(kvnPlay_->Handle(), "kvnplay:out", "directsink:in");
                directSink_->Restart(1 << 10);
                kvnPlay_->SendControl({0xFE});
                std::this_thread::sleep_for(std::chrono::seconds(1));
                std::fprintf(stderr,
                             "kvnplay:out straight into directsink:in: %s; kvnsink periods %llu, kvnplay "
                             "periods %llu\n",
                             directSink_->Seen({0xFE}) ? "heard" : "not heard",
                             static_cast<unsigned long long>(kvnSink_->Cycles()),
                             static_cast<unsigned long long>(kvnPlay_->Cycles()));
            }
            // Where kvn's threads are, for a look at why (with gdb, when installed).
            if (std::getenv("KVN_BENCH_STACKS") != nullptr) {
                const std::string cmd = "gdb -batch -p " + std::to_string(kvn_->Pid()) +
                                        " -ex 'thread apply all bt 12' 2>&1 | grep -E '^(Thread|#)' >&2";
                if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "(no stacks)\n");
            }
            return false;
        }
        std::printf("kvn pid %d up at %s; period %u frames at %u Hz (%.3f ms); load average %s\n",
                    int(kvn_->Pid()), Now().c_str(), kvnPlay_->Period(), kvnPlay_->Rate(),
                    1000.0 * kvnPlay_->Period() / kvnPlay_->Rate(), LoadAverage().c_str());
        return true;
    }

    // `keep`: leave kvn's folder and log for a look (a failed set-up or measurement).
    void TearDown(bool keep) {
        if (relayPid_ > 0) {
            kill(relayPid_, SIGTERM);
            waitpid(relayPid_, nullptr, 0);
            relayPid_ = -1;
        }
        if (!kvn_) return;
        kvn_->Signal(SIGTERM);
        const int status = kvn_->WaitExit();
        if (status != 0) {
            std::printf("kvn ended with status %d\n%s\n", status, kvn_->Log().c_str());
        } else if (!keep) {
            // Its folder and log are kept only when something went wrong.
            std::error_code ec;
            std::filesystem::remove_all(std::filesystem::path(kvn_->Dir()).parent_path(), ec);
        }
        kvn_.reset();
    }

    // A marker through kvn: everything played before it has been handled.
    bool Settle() {
        static uint8_t n = 0;
        const std::vector<uint8_t> marker{0xF2, uint8_t(++n & 0x7F), 0x55};
        const size_t from = kvnSink_->Count();
        kvnPlay_->SendControl(marker);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            if (kvnSink_->Seen(marker, from)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    struct StreamResult {
        uint32_t rate = 0;
        double seconds = 0;
        PathResult kvn, direct, relay;
        bool withRefs = false;
        double kvnCpu = 0;  // % of one core while the stream ran and drained
        std::string loadBefore, loadAfter, started;
        bool kvnAlive = true;
        uint32_t xruns = 0;  // reported to the kvn path's sink while the stream ran
        uint32_t late = 0;   // periods the kvn path's sink began late (see Client::LatePeriods)
        uint64_t periods = 0;
    };

    StreamResult Stream(uint32_t rate, double seconds, bool withRefs) {
        StreamResult out;
        out.rate = rate;
        out.seconds = seconds;
        out.withRefs = withRefs;
        out.loadBefore = LoadAverage();
        out.started = Now();
        const auto count = uint32_t(std::llround(double(rate) * seconds));
        const size_t capacity = size_t(count) + (1 << 16);
        kvnSink_->Restart(capacity);
        if (withRefs) directSink_->Restart(capacity);
        if (withRefs) relaySink_->Restart(capacity);
        // Both from the same frame, a few periods ahead.
        const uint32_t start = jack_frame_time(kvnPlay_->Handle()) + 4 * kvnPlay_->Period();
        const CpuTicks before = ReadTicks("/proc/" + std::to_string(kvn_->Pid()) + "/stat");
        const uint32_t xruns0 = kvnSink_->Xruns(), late0 = kvnSink_->LatePeriods();
        const uint64_t cycles0 = kvnSink_->Cycles();
        const auto t0 = Clock::now();
        kvnPlay_->StartStream(count, rate, start);
        if (withRefs) directPlay_->StartStream(count, rate, start);
        if (withRefs) relayPlay_->StartStream(count, rate, start);
        const auto sendDeadline = t0 + std::chrono::duration<double>(seconds + 30);
        while (!(kvnPlay_->StreamDone() &&
                 (!withRefs || (directPlay_->StreamDone() && relayPlay_->StreamDone()))) &&
               Clock::now() < sendDeadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        // Until everything came through, or nothing more came for two seconds.
        size_t last = 0;
        auto quietSince = Clock::now();
        for (;;) {
            const size_t got = withRefs
                                   ? std::min({kvnSink_->Notes(), directSink_->Notes(), relaySink_->Notes()})
                                   : kvnSink_->Notes();
            if (got >= count) break;
            if (got != last) {
                last = got;
                quietSince = Clock::now();
            } else if (Clock::now() - quietSince > std::chrono::seconds(2)) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const CpuTicks after = ReadTicks("/proc/" + std::to_string(kvn_->Pid()) + "/stat");
        out.kvnCpu = TicksToPercent(after.ticks - before.ticks, elapsed);
        // Anything still on its way arrives now, to be counted as late rather than lost.
        kvnSink_->WaitCycles(4);
        kvnPlay_->StopStream();
        if (withRefs) directPlay_->StopStream();
        if (withRefs) relayPlay_->StopStream();
        out.kvn = Analyze(*kvnPlay_, *kvnSink_, count);
        if (withRefs) out.direct = Analyze(*directPlay_, *directSink_, count);
        if (withRefs) out.relay = Analyze(*relayPlay_, *relaySink_, count);
        out.loadAfter = LoadAverage();
        out.xruns = kvnSink_->Xruns() - xruns0;
        out.late = kvnSink_->LatePeriods() - late0;
        out.periods = kvnSink_->Cycles() - cycles0;
        out.kvnAlive = kvn_->Running();
        return out;
    }

    bool KvnRunning() { return kvn_ && kvn_->Running(); }
    pid_t KvnPid() const { return kvn_ ? kvn_->Pid() : -1; }
    uint32_t Period() const { return kvnPlay_->Period(); }

private:
    Options opt_;
    std::unique_ptr<Player> kvnPlay_, directPlay_, relayPlay_;
    std::unique_ptr<Sink> kvnSink_, directSink_, relaySink_;
    pid_t relayPid_ = -1;
    std::unique_ptr<e2e::Kvn> kvn_;
};

void PrintCounts(const char* path, const PathResult& r) {
    std::printf("| %s | %u | %u | %zu | %zu | %zu | %zu | %zu | %zu | %u | %s |\n", path, r.count, r.sent,
                r.distinct, r.Lost(), r.reordered, r.duplicates, r.foreign, r.others, r.deferred,
                r.Whole() ? "yes" : "NO");
}

void PrintLatencyRow(const char* what, const Stats& s) {
    std::printf("| %s | %zu | %" PRId64 " | %" PRId64 " | %.1f | %" PRId64 " | %" PRId64 " |\n", what, s.n,
                s.min, s.median, s.mean, s.p99, s.max);
}

void PrintPeriodHistogram(const char* what, const std::vector<int32_t>& periods) {
    std::map<int32_t, size_t> h;
    size_t n = 0;
    for (int32_t p : periods) {
        if (p != kLost) {
            ++h[p];
            ++n;
        }
    }
    std::printf("%s, periods between the send and the arrival:", what);
    for (const auto& [p, c] : h)
        std::printf("  %d: %zu (%.3f %%)", p, c, 100.0 * double(c) / double(n ? n : 1));
    std::printf("\n");
}

int RunLatency(Bench& bench, const Options& opt) {
    int failures = 0;
    for (uint32_t rate : opt.rates) {
        const Bench::StreamResult r = bench.Stream(rate, opt.seconds, true);
        std::printf(
            "\n### %u messages/s, %.0f s, three paths at once (started %s UTC; load average %s before, %s "
            "after)\n\n",
            rate, opt.seconds, r.started.c_str(), r.loadBefore.c_str(), r.loadAfter.c_str());
        std::printf(
            "| Path | Played | Left the player | Arrived | Lost | Reordered | Duplicated | Foreign | Other "
            "messages | Deferred by the player | Whole |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
        PrintCounts("kvn", r.kvn);
        PrintCounts("direct", r.direct);
        PrintCounts("relay", r.relay);
        std::vector<int64_t> diff;
        for (size_t i = 0; i < r.kvn.frames.size(); ++i) {
            if (r.kvn.frames[i] != kLost && r.direct.frames[i] != kLost)
                diff.push_back(r.kvn.frames[i] - r.direct.frames[i]);
        }
        const double period = bench.Period();
        const Stats kf = Summarize(Present(r.kvn.frames)), df = Summarize(Present(r.direct.frames));
        const Stats kp = Summarize(Present(r.kvn.periods)), dp = Summarize(Present(r.direct.periods));
        const Stats dd = Summarize(diff);
        const Stats rf = Summarize(Present(r.relay.frames)), rp = Summarize(Present(r.relay.periods));
        std::printf("\n| Latency | n | min | median | mean | p99 | max |\n|---|---|---|---|---|---|---|\n");
        PrintLatencyRow("kvn, frames", kf);
        PrintLatencyRow("direct, frames", df);
        PrintLatencyRow("relay, frames", rf);
        PrintLatencyRow("kvn - direct, same message, frames", dd);
        PrintLatencyRow("kvn, periods started in between", kp);
        PrintLatencyRow("direct, periods started in between", dp);
        PrintLatencyRow("relay, periods started in between", rp);
        std::printf(
            "\nkvn - direct in periods (frames / %u): median %.3f, p99 %.3f, max %.3f; in ms: median %.3f, "
            "p99 %.3f, max %.3f\n",
            unsigned(period), dd.median / period, dd.p99 / period, dd.max / period, dd.median / 48.0,
            dd.p99 / 48.0, dd.max / 48.0);
        std::printf(
            "the stream left the players at %.0f (kvn path) and %.0f (direct) messages per second of wall "
            "clock\n",
            r.kvn.wallRate, r.direct.wallRate);
        PrintPeriodHistogram("kvn", r.kvn.periods);
        PrintPeriodHistogram("direct", r.direct.periods);
        PrintPeriodHistogram("relay", r.relay.periods);
        std::printf(
            "kvn's CPU while streaming: %.1f %% of one core; server overruns during the stream: %u; periods "
            "begun late: %u of %llu\n",
            r.kvnCpu, r.xruns, r.late, static_cast<unsigned long long>(r.periods));
        for (const std::string& s : r.kvn.anomalies) std::printf("  kvn path %s\n", s.c_str());
        for (const std::string& s : r.direct.anomalies) std::printf("  direct path %s\n", s.c_str());
        for (const std::string& s : r.relay.anomalies) std::printf("  relay path %s\n", s.c_str());
        if (!r.kvn.Whole() || !r.direct.Whole() || !r.relay.Whole()) ++failures;
        if (!r.kvnAlive) {
            std::printf("kvn is gone\n");
            return 1;
        }
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 2;
}

bool Probe(Bench& bench, const Options& opt, uint32_t rate, double seconds) {
    const Bench::StreamResult r = bench.Stream(rate, seconds, opt.refsInMaxRate);
    const Stats f = Summarize(Present(r.kvn.frames));
    const double ms = 1000.0 / 48000.0;
    const bool keptUp = double(f.max) * ms <= opt.keptUpMs;
    const bool pass = r.kvn.Whole() && r.kvnAlive && (keptUp || seconds >= opt.confirmSeconds);
    std::printf(
        "| %s | %u | %.0f | %.0f | %u | %zu | %zu | %zu | %zu | %u | %.2f | %.2f | %.1f | %.1f | %u / %u | "
        "%s | %s |\n",
        r.started.c_str(), rate, r.kvn.wallRate, seconds, r.kvn.count, r.kvn.distinct, r.kvn.Lost(),
        r.kvn.reordered, r.kvn.duplicates + r.kvn.foreign, r.kvn.deferred, double(f.median) * ms,
        double(f.p99) * ms, double(f.max) * ms, r.kvnCpu, r.xruns, r.late, r.loadAfter.c_str(),
        pass ? "pass" : (r.kvn.Whole() ? "slow" : "FAIL"));
    for (const std::string& s : r.kvn.anomalies) std::printf("  %s\n", s.c_str());
    if (opt.refsInMaxRate) {
        std::printf(
            "  beside it: direct path %zu lost, %zu reordered, %zu duplicated; relay path %zu lost, %zu "
            "reordered, %zu duplicated\n",
            r.direct.Lost(), r.direct.reordered, r.direct.duplicates, r.relay.Lost(), r.relay.reordered,
            r.relay.duplicates);
    }
    std::fflush(stdout);
    return pass;
}

int RunMaxRate(Bench& bench, const Options& opt) {
    std::printf(
        "\n| Started (UTC) | Rate /s (frame schedule) | Rate /s (wall clock) | Seconds | Played | Arrived | "
        "Lost | Reordered | Duplicated or changed | Deferred by the player | Median ms | p99 ms | Max ms | "
        "kvn CPU %% | Overruns / late periods | Load after | Result |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    uint32_t good = 0, bad = 0;
    for (uint32_t rate = opt.startRate; rate <= opt.maxRate; rate *= 2) {
        if (!bench.KvnRunning()) break;
        if (!Probe(bench, opt, rate, opt.probeSeconds)) {
            bad = rate;
            break;
        }
        good = rate;
        bench.Settle();
    }
    if (good == 0) {
        std::printf("\nnot even %u messages/s passed\n", opt.startRate);
        return 2;
    }
    if (bad != 0) {
        // Bisect to within 5 % (steps of 100 messages/s).
        while (bench.KvnRunning() && double(bad - good) > std::max(100.0, 0.05 * good)) {
            const uint32_t mid = (good + bad) / 2 / 100 * 100;
            if (mid <= good) break;
            bench.Settle();
            if (Probe(bench, opt, mid, opt.probeSeconds))
                good = mid;
            else
                bad = mid;
        }
    }
    std::printf("\nbest short probe: %u messages/s%s\n", good, bad ? "" : " (the highest tried)");
    // The full run; a failure steps down by 10 % (at most three times).
    for (int attempt = 0; attempt < 4 && bench.KvnRunning(); ++attempt) {
        bench.Settle();
        if (Probe(bench, opt, good, opt.confirmSeconds)) {
            std::printf("\nconfirmed: %u messages/s for %.0f s, whole and in order\n", good,
                        opt.confirmSeconds);
            return 0;
        }
        good = good * 9 / 10 / 100 * 100;
    }
    std::printf("\nno rate confirmed\n");
    return 2;
}

int RunIdle(Bench& bench, const Options& opt) {
    // Let the start-up settle first (the master-tune lamp, the first paints).
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const pid_t pid = bench.KvnPid();
    const std::string load0 = LoadAverage(), start = Now();
    const CpuTicks p0 = ReadTicks("/proc/" + std::to_string(pid) + "/stat");
    const auto threads0 = ThreadTicks(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(opt.seconds));
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const CpuTicks p1 = ReadTicks("/proc/" + std::to_string(pid) + "/stat");
    const auto threads1 = ThreadTicks(pid);
    std::printf(
        "\n### kvn idle, connected, no MIDI: %.1f s from %s UTC (load average %s before, %s after)\n\n",
        elapsed, start.c_str(), load0.c_str(), LoadAverage().c_str());
    std::printf("| What | Ticks (1/%ld s) | %% of one core |\n|---|---|---|\n", sysconf(_SC_CLK_TCK));
    std::printf("| kvn, all threads | %" PRIu64 " | %.3f |\n", p1.ticks - p0.ticks,
                TicksToPercent(p1.ticks - p0.ticks, elapsed));
    for (const auto& [tid, t] : threads1) {
        const auto it = threads0.find(tid);
        const uint64_t was = it == threads0.end() ? 0 : it->second.ticks;
        std::printf("| thread %d%s | %" PRIu64 " | %.3f |\n", tid,
                    tid == pid ? " (main: user interface)" : "", t.ticks - was,
                    TicksToPercent(t.ticks - was, elapsed));
    }
    return bench.KvnRunning() ? 0 : 1;
}

bool Arg(const char* arg, const char* name, std::string& value) {
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=') return false;
    value = arg + n + 1;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string v;
        if (Arg(argv[i], "--mode", v)) {
            opt.mode = v;
        } else if (Arg(argv[i], "--seconds", v)) {
            opt.seconds = std::atof(v.c_str());
        } else if (Arg(argv[i], "--rates", v)) {
            opt.rates.clear();
            std::istringstream in(v);
            for (std::string r; std::getline(in, r, ',');)
                opt.rates.push_back(uint32_t(std::atol(r.c_str())));
        } else if (Arg(argv[i], "--probe-seconds", v)) {
            opt.probeSeconds = std::atof(v.c_str());
        } else if (Arg(argv[i], "--confirm-seconds", v)) {
            opt.confirmSeconds = std::atof(v.c_str());
        } else if (Arg(argv[i], "--start-rate", v)) {
            opt.startRate = uint32_t(std::atol(v.c_str()));
        } else if (Arg(argv[i], "--max-rate", v)) {
            opt.maxRate = uint32_t(std::atol(v.c_str()));
        } else if (std::strcmp(argv[i], "--with-references") == 0) {
            opt.refsInMaxRate = true;
        } else if (Arg(argv[i], "--kept-up-ms", v)) {
            opt.keptUpMs = std::atof(v.c_str());
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--mode=latency|maxrate|idle] [--seconds=S] [--rates=R,R] [--probe-seconds=S] "
                "[--confirm-seconds=S] [--start-rate=R] [--max-rate=R] [--kept-up-ms=MS] "
                "[--with-references]\n",
                argv[0]);
            return 64;
        }
    }
    if (opt.seconds <= 0) opt.seconds = opt.mode == "idle" ? 60 : 20;
    std::printf("jack_e2e_bench --mode=%s, %s UTC, load average %s\n", opt.mode.c_str(), Now().c_str(),
                LoadAverage().c_str());
    Bench bench(opt);
    if (!bench.SetUp()) {
        bench.TearDown(true);
        return 1;
    }
    int code = 64;
    if (opt.mode == "latency")
        code = RunLatency(bench, opt);
    else if (opt.mode == "maxrate")
        code = RunMaxRate(bench, opt);
    else if (opt.mode == "idle")
        code = RunIdle(bench, opt);
    bench.TearDown(code != 0);
    std::printf("\nended %s UTC, load average %s\n", Now().c_str(), LoadAverage().c_str());
    return code;
}
