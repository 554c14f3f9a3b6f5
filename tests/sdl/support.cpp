#include "tests/sdl/support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/sdl/jack_client.h"

namespace kvntest {

void Recorder::InProc(plat::HMidiIn, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    reinterpret_cast<Recorder*>(instance)->Add(msg, p1, p2, msg == plat::kMimLongData);
}

void Recorder::OutProc(plat::HMidiOut, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    reinterpret_cast<Recorder*>(instance)->Add(msg, p1, p2, msg == plat::kMomDone);
}

void Recorder::Add(uint32_t msg, uintptr_t p1, uintptr_t p2, bool withHeader) {
    Call c{msg, p1, p2, std::this_thread::get_id(), {}, 0};
    if (withHeader && p1 != 0) {
        const auto* hdr = reinterpret_cast<const plat::MidiHdr*>(p1);
        const auto* bytes = reinterpret_cast<const uint8_t*>(hdr->lpData);
        c.data.assign(bytes, bytes + hdr->dwBytesRecorded);
        c.flags = hdr->dwFlags;
    }
    std::lock_guard lk(mu_);
    calls_.push_back(std::move(c));
}

std::vector<Call> Recorder::Calls() {
    std::lock_guard lk(mu_);
    return calls_;
}

std::vector<Call> Recorder::Calls(uint32_t msg) {
    std::vector<Call> out;
    for (Call& c : Calls()) {
        if (c.msg == msg) out.push_back(std::move(c));
    }
    return out;
}

bool Recorder::WaitFor(uint32_t msg, size_t count, std::chrono::milliseconds timeout) {
    return PollUntil([&] { return Calls(msg).size() >= count; }, timeout);
}

std::vector<std::string> Names(bool input) {
    std::vector<std::string> names;
    const uint32_t n = input ? plat::MidiInGetNumDevs() : plat::MidiOutGetNumDevs();
    for (uint32_t i = 0; i < n; ++i) {
        char name[plat::kMaxPnameLen] = {};
        const uint32_t r = input ? plat::MidiInGetDevName(i, name, sizeof name)
                                 : plat::MidiOutGetDevName(i, name, sizeof name);
        names.emplace_back(r == plat::kMmNoError ? name : "?");
    }
    return names;
}

int Row(bool input, const std::string& name) {
    const std::vector<std::string> names = Names(input);
    const auto at = std::find(names.begin(), names.end(), name);
    return at == names.end() ? -1 : int(at - names.begin());
}

pid_t TestServerPid() {
    const char* value = std::getenv("KVN_TEST_JACKD_PID");
    return value != nullptr ? pid_t(std::atoi(value)) : 0;
}

bool ProcessGone(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    if (!f) return true;
    // "pid (name) S ...": the state follows the last ')'.
    const std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    const char state = close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
    return state == 'Z' || state == 'X';
}

bool JackServer::Start(const std::vector<std::string>& options) {
    if (pid_ > 0) return false;
    // A server of the same name counts as running while the last one's process is still there
    // (even as a zombie), and the new one then gives up at once: it is tried again meanwhile.
    const pid_t old = TestServerPid();
    if (old > 0 && !PollUntil([&] { return ProcessGone(old); }, std::chrono::seconds(10))) return false;
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    // setpriv: the server ends with this process, however it ends.
    std::vector<std::string> args = {"setpriv", "--pdeathsig", "TERM", "jackd"};
    if (name != nullptr) args.insert(args.end(), {"-n", name});
    args.push_back("-r");
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-d", "dummy", "-r", "48000", "-p", "256"});
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string log = ScratchDir() + "/jackd.log";
    return PollUntil(
        [&] {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                             O_WRONLY | O_CREAT | O_APPEND, 0600);
            posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
            const int err = posix_spawnp(&pid_, "setpriv", &actions, nullptr, argv.data(), environ);
            posix_spawn_file_actions_destroy(&actions);
            if (err != 0) {
                pid_ = -1;
                return false;
            }
            // Asked from another process: a client of this one would meet the library's clean-up
            // of the clients the last server left behind.
            bool ended = false;
            const bool up = PollUntil(
                [&] {
                    ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
                    return ended || Run("jack_lsp >/dev/null 2>&1") == 0;
                },
                std::chrono::seconds(20));
            if (ended) {
                pid_ = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return up && !ended;
        },
        std::chrono::seconds(20));
}

void JackServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (!PollUntil([&] { return waitpid(pid_, nullptr, WNOHANG) != 0; }, std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::string ScratchDir() {
    static int counter = 0;
    const std::string dir = std::filesystem::current_path().string() + "/scratch-" +
                            std::to_string(getpid()) + "-" + std::to_string(++counter);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

namespace {

// Runs `command` with /bin/sh, its standard output going to `outPath` (or left alone when empty),
// and waits for the shell itself, at most `limit`; a command still running then is killed.
int Spawn(const std::string& command, const std::string& outPath, std::chrono::seconds limit) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);  // its own group, so all of it can be stopped
    posix_spawnattr_setpgroup(&attr, 0);
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    const int err = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (err != 0) return -1;
    int status = 0;
    const bool ended = PollUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

// Never through popen's pipe: a process that another thread forks meanwhile (SDL shows its message
// box in one) inherits the pipe's writing end and the read would wait for that box to close.
int Run(const std::string& command) { return Spawn(command, "", std::chrono::seconds(20)); }

std::string Output(const std::string& command) {
    std::string name = (std::filesystem::temp_directory_path() / "kvn-test-out.XXXXXX").string();
    char* path = name.data();
    const int fd = mkstemp(path);
    if (fd < 0) return {};
    close(fd);
    Spawn(command, path, std::chrono::seconds(20));
    std::ifstream f(path, std::ios::binary);
    std::string out((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    unlink(path);
    return out;
}

}  // namespace kvntest
