// kvn joining a running synchronous graph (run_with.sh --jack): started ten times beside a peer
// that holds the player and the sink as two clients of one process (as a plugin host that runs one
// client per plugin does), and ten times beside a player and a sink in separate processes; kvn
// links itself to both. Every message passes every time, and the server reports no client that
// failed to activate or held up a period.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/sdl/jack_client.h"
#include "tests/sdl/support.h"

namespace e2e {
namespace {

using kvntest::PollUntil;
using Heard = std::function<std::vector<Bytes>()>;  // everything the sink has heard so far

constexpr int kStarts = 10;
constexpr uint8_t kNotes = 100;

const char* const kSettings =
    "[WindowPosition]\nleft=100\ntop=100\n[InitialSetting]\nMidiInDeviceName=kvnplay:out\n"
    "MidiOutDeviceName=kvnsink:in\n";

bool HeardSince(const Heard& heard, size_t from, const Bytes& message) {
    const std::vector<Bytes> all = heard();
    for (size_t i = from; i < all.size(); ++i) {
        if (all[i] == message) return true;
    }
    return false;
}

// One start into a graph that is playing: kvn comes up linked to both peers while the player
// streams into it, a run of notes passes through it whole and in order, and it leaves in order.
void OneStart(int start, kvntest::JackClient& player, const Heard& heard) {
    SCOPED_TRACE("start " + std::to_string(start));
    player.Stream(1000000, 1000, player.Now() + player.Period());
    Kvn kvn("Join" + std::to_string(start), kSettings);
    ASSERT_TRUE(kvn.Start());
    ASSERT_TRUE(kvn.WaitForPanel()) << kvn.Log();
    size_t from = heard().size();
    const Bytes sensing{0xFE};
    const bool live = PollUntil(
        [&] {
            player.Send(sensing);
            return PollUntil([&] { return HeardSince(heard, from, sensing); },
                             std::chrono::milliseconds(200));
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(live) << "nothing passed\n" << kvn.Log();

    from = heard().size();
    std::vector<Bytes> played, notes;
    for (uint8_t v = 1; v <= kNotes; ++v) played.push_back({0x9E, 60, v});  // apart from the stream
    for (const Bytes& note : played) player.Send(note);
    PollUntil(
        [&] {
            const std::vector<Bytes> all = heard();
            notes.clear();
            for (size_t i = from; i < all.size(); ++i) {
                if (all[i].size() == 3 && all[i][0] == 0x9E) notes.push_back(all[i]);
            }
            return notes.size() >= played.size();
        },
        std::chrono::seconds(10));
    EXPECT_EQ(notes, played) << notes.size() << " of " << played.size() << " notes\n" << kvn.Log();
    player.Stream(0, 1000, 0);
    kvn.Signal(SIGINT);
    EXPECT_EQ(kvn.WaitExit(), 0) << kvn.Log();
}

void ExpectCleanServerLog() {
    const char* path = std::getenv("KVN_TEST_JACKD_LOG");
    ASSERT_NE(path, nullptr);
    std::stringstream log;
    log << std::ifstream(path).rdbuf();
    for (const char* error : {"SuspendRefNum", "ProcessWriteSlaves", "ClientActivate"})
        EXPECT_EQ(log.str().find(error), std::string::npos) << error << " in the server's log:\n"
                                                            << log.str();
}

TEST(Join, KvnStartsBesideOneProcessThatHoldsThePlayerAndTheSink) {
    kvntest::JackClient player("kvnplay"), sink("kvnsink");
    ASSERT_TRUE(player.Ok() && sink.Ok()) << "no JACK server";
    for (int start = 0; start < kStarts && !HasFatalFailure(); ++start)
        OneStart(start, player, [&] { return sink.Received(); });
    ExpectCleanServerLog();
}

// The sink in a process of its own, made before this process has any client: it hands what it
// hears over a pipe, and leaves the server in order once the pipe that keeps it is closed.
class SinkProcess {
public:
    SinkProcess() {
        int data[2], keep[2];
        if (pipe(data) != 0 || pipe(keep) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(data[0]);
            close(keep[1]);
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            Serve(data[1], keep[0]);
            _exit(0);
        }
        close(data[1]);
        close(keep[0]);
        keep_ = keep[1];
        reader_ = std::thread([this, fd = data[0]] { Read(fd); });
    }
    ~SinkProcess() {
        if (keep_ >= 0) close(keep_);
        if (reader_.joinable()) reader_.join();
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    SinkProcess(const SinkProcess&) = delete;
    SinkProcess& operator=(const SinkProcess&) = delete;

    std::vector<Bytes> Heard() {
        std::lock_guard lk(mu_);
        return heard_;
    }

private:
    static void Serve(int out, int keep) {
        kvntest::JackClient sink("kvnsink");
        if (!sink.Ok()) return;
        pollfd p{keep, POLLIN, 0};
        while (poll(&p, 1, 1) == 0) {
            for (const kvntest::Timed& t : sink.Take()) {
                const auto n = uint32_t(t.bytes.size());
                if (write(out, &n, sizeof n) != sizeof n || write(out, t.bytes.data(), n) != ssize_t(n))
                    return;
            }
        }
    }
    void Read(int fd) {
        uint32_t n = 0;
        while (read(fd, &n, sizeof n) == sizeof n) {
            Bytes b(n);
            size_t got = 0;
            while (got < n) {
                const ssize_t r = read(fd, b.data() + got, n - got);
                if (r <= 0) break;
                got += size_t(r);
            }
            std::lock_guard lk(mu_);
            heard_.push_back(std::move(b));
        }
        close(fd);
    }
    pid_t pid_ = -1;
    int keep_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::vector<Bytes> heard_;
};

TEST(Join, KvnStartsBesideThePlayerAndTheSinkInProcessesOfTheirOwn) {
    SinkProcess sink;
    kvntest::JackClient player("kvnplay");
    ASSERT_TRUE(player.Ok()) << "no JACK server";
    ASSERT_TRUE(PollUntil([&] { return player.PortExists("kvnsink:in"); })) << "no sink";
    for (int start = 0; start < kStarts && !HasFatalFailure(); ++start)
        OneStart(start, player, [&] { return sink.Heard(); });
    ExpectCleanServerLog();
}

}  // namespace
}  // namespace e2e
