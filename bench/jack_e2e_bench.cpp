// kvn's latency over JACK, measured from outside, against a direct link. Two paths stream at once,
// from the same frame on the same schedule, each from a player to a sink of its own:
//   kvn     kvnplay:out -> kvn (started here, its settings naming both ports) -> kvnsink:in
//   direct  directplay:out -> directsink:in, a plain connection (delivered in the same period)
// Every message is a numbered note-on, sent from inside the player's process thread at an exact
// frame (tests/sdl/jack_client.h); the sinks stamp each arrival with its frame. With --sysex-ms=M
// both players also send a 64-byte SysEx every M ms, which kvn hands to its panel, so that the
// notes behind it follow it there. Run it under run_with.sh from a folder of its own, for example
//   tests/sdl/run_with.sh --wm --jack -- build/jack_e2e_bench --rates=1000,10000 --seconds=20
// --jack gives a synchronous server, --jack-async JACK's default asynchronous one.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvntest::JackClient;
constexpr int64_t kLost = INT64_MIN;

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// What one path delivered of one stream: per message its latency in frames (kLost when lost).
struct Path {
    std::vector<int64_t> frames;
    size_t reordered = 0, duplicated = 0, early = 0;  // early: stamped before it was played
    size_t Lost() const { return size_t(std::count(frames.begin(), frames.end(), kLost)); }
};

Path Analyze(const JackClient& player, const std::vector<kvntest::Timed>& got, uint32_t count) {
    Path p;
    p.frames.assign(count, kLost);
    int64_t last = -1;
    for (const kvntest::Timed& t : got) {
        if (t.bytes.size() != 3 || (t.bytes[0] & 0xF0) != 0x90) continue;  // kvn's own output, markers
        const uint32_t k = kvntest::NumberOf(t.bytes);
        if (k >= count) continue;
        if (p.frames[k] != kLost) {
            ++p.duplicated;
            continue;
        }
        if (int64_t(k) < last) ++p.reordered;
        last = std::max(last, int64_t(k));
        p.frames[k] = int64_t(int32_t(t.frame - player.StreamFrames()[k]));
        if (p.frames[k] < 0) ++p.early;
    }
    return p;
}

// "median p99 max" of the values that are not kLost.
std::string Stats(std::vector<int64_t> v) {
    v.erase(std::remove(v.begin(), v.end(), kLost), v.end());
    if (v.empty()) return "- | - | -";
    std::sort(v.begin(), v.end());
    const size_t p99 = std::min(v.size() - 1, size_t(0.99 * double(v.size())));
    return std::to_string(v[(v.size() - 1) / 2]) + " | " + std::to_string(v[p99]) + " | " +
           std::to_string(v.back());
}

void Row(const char* name, uint32_t count, const Path& p) {
    std::printf("| %s | %u | %zu | %zu | %zu | %zu | %s |\n", name, count, p.Lost(), p.reordered,
                p.duplicated, p.early, Stats(p.frames).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint32_t> rates = {1000, 10000};
    double seconds = 20;
    int sysexMs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--rates=", 8) == 0) {
            rates.clear();
            std::istringstream in(argv[i] + 8);
            for (std::string r; std::getline(in, r, ',');) rates.push_back(uint32_t(std::atol(r.c_str())));
        } else if (std::strncmp(argv[i], "--seconds=", 10) == 0) {
            seconds = std::atof(argv[i] + 10);
        } else if (std::strncmp(argv[i], "--sysex-ms=", 11) == 0) {
            sysexMs = std::atoi(argv[i] + 11);
        } else {
            std::fprintf(stderr, "usage: %s [--rates=R,R...] [--seconds=S] [--sysex-ms=M]\n", argv[0]);
            return 64;
        }
    }
    JackClient kvnPlay("kvnplay"), kvnSink("kvnsink"), directPlay("directplay"), directSink("directsink");
    if (!kvnPlay.Ok() || !kvnSink.Ok() || !directPlay.Ok() || !directSink.Ok() ||
        kvnPlay.Name() != "kvnplay" || kvnSink.Name() != "kvnsink" ||
        !directPlay.Connect(directPlay.OutPort(), directSink.InPort())) {
        std::fprintf(stderr, "no JACK server, or its names taken (run under tests/sdl/run_with.sh --jack)\n");
        return 1;
    }
    e2e::Kvn kvn("Bench" + std::to_string(getpid()),
                 "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\nMidiInDeviceName=kvnplay:out\n"
                 "MidiOutDeviceName=kvnsink:in\n");
    if (!kvn.Start() || !kvn.WaitForPanel() || !e2e::WaitLive(kvnPlay, kvnSink)) {
        std::fprintf(stderr, "kvn did not come up, or nothing played came through:\n%s\n", kvn.Log().c_str());
        return 1;
    }
    const uint32_t period = kvnPlay.Period();
    std::printf("period %u frames; load average %s\n", period, LoadAverage().c_str());
    int status = 0;
    for (uint32_t rate : rates) {
        const auto count = std::min(uint32_t(double(rate) * seconds), (1u << 18) - 1);  // 18-bit numbers
        kvnSink.Clear();
        directSink.Clear();
        const uint64_t xruns = kvnSink.Xruns();
        const uint32_t start = kvnPlay.Now() + 16 * period;  // both armed before it comes
        kvnPlay.Stream(count, rate, start);
        directPlay.Stream(count, rate, start);
        // Until everything came through, or nothing more came for two seconds.
        std::vector<kvntest::Timed> viaKvn, direct;
        // A SysEx that is neither a reset nor a master tune: kvn passes it on as it is.
        kvntest::Bytes sysex(64, 0x11);
        sysex.front() = 0xF0;
        sysex[1] = 0x7D;  // non-commercial
        sysex.back() = 0xF7;
        size_t sysexSent = 0, notesKvn = 0, notesDirect = 0;  // the stream's own notes that came
        const auto notes = [](const std::vector<kvntest::Timed>& got) {
            return size_t(std::count_if(got.begin(), got.end(), [](const kvntest::Timed& t) {
                return t.bytes.size() == 3 && (t.bytes[0] & 0xF0) == 0x90;
            }));
        };
        auto quiet = Clock::now(), nextSysex = Clock::now();
        while (Clock::now() - quiet < std::chrono::seconds(2) &&
               !(kvnPlay.Streamed() == count && directPlay.Streamed() == count && notesKvn >= count &&
                 notesDirect >= count)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(sysexMs > 0 ? 1 : 10));
            if (sysexMs > 0 && kvnPlay.Streamed() < count && Clock::now() >= nextSysex) {
                kvnPlay.Send(sysex);
                directPlay.Send(sysex);
                ++sysexSent;
                nextSysex += std::chrono::milliseconds(sysexMs);
            }
            const std::vector<kvntest::Timed> a = kvnSink.Take(), b = directSink.Take();
            if (!a.empty() || !b.empty() || kvnPlay.Streamed() < count) quiet = Clock::now();
            notesKvn += notes(a);
            notesDirect += notes(b);
            viaKvn.insert(viaKvn.end(), a.begin(), a.end());
            direct.insert(direct.end(), b.begin(), b.end());
        }
        const Path k = Analyze(kvnPlay, viaKvn, count), d = Analyze(directPlay, direct, count);
        std::vector<int64_t> added;
        for (uint32_t i = 0; i < count; ++i) {
            if (k.frames[i] != kLost && d.frames[i] != kLost) added.push_back(k.frames[i] - d.frames[i]);
        }
        std::printf("\n### %u messages/s, %.0f s, %zu SysEx mixed in (load average %s after)\n\n", rate,
                    seconds, sysexSent, LoadAverage().c_str());
        std::printf(
            "| Path | Played | Lost | Reordered | Duplicated | Early | Median frames | p99 | Max |\n");
        std::printf("|---|---|---|---|---|---|---|---|---|\n");
        Row("kvn", count, k);
        Row("direct", count, d);
        std::printf("| kvn - direct, added | %zu | | | | | %s |\n", added.size(), Stats(added).c_str());
        std::printf("server overruns meanwhile: %llu\n", (unsigned long long)(kvnSink.Xruns() - xruns));
        if (k.Lost() || k.reordered || k.duplicated || d.Lost() || d.reordered || d.duplicated) status = 2;
        if (!kvn.Running()) return 1;
    }
    kvn.Signal(SIGTERM);
    if (kvn.WaitExit() == 0 && status == 0) {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(kvn.Dir()).parent_path(), ec);
    }
    return status;
}
