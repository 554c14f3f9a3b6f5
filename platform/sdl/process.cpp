// Process services of the user-interface thread: the current directory, the single-instance
// claim, message boxes and the settings file's line end and flush.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"

namespace {

uint64_t Fnv1a(const char* s) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (; *s; ++s) {
        h ^= static_cast<unsigned char>(*s);
        h *= 0x100000001b3ull;
    }
    return h;
}

int ShowBox(const char* text, const char* caption, uint32_t style) {
    if (sdlplat::internal::Headless()) {
        // One line for the journal, whatever the text's own lines.
        std::string line = text;
        for (char& c : line) c = c == '\n' ? ' ' : c;
        std::fprintf(stderr, "korvane: %s\n", line.c_str());
        std::fflush(stderr);
        return plat::kIdOk;
    }
    const Uint32 flags =
        (style & 0xF0) == plat::kMbIconWarning ? SDL_MESSAGEBOX_WARNING : SDL_MESSAGEBOX_INFORMATION;
    if (SDL_ShowSimpleMessageBox(flags, caption, text, nullptr) != 0) {
        // No display to show it on: the text still reaches the user who started us.
        std::fprintf(stderr, "%s: %s\n", caption, text);
        std::fflush(stderr);
    }
    return plat::kIdOk;
}

void StopSignals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
}

// A child forked by a library (SDL shows its message box in one) must stay stoppable, and must
// not outlive us: a box left on the screen by a program that has ended answers to nobody.
void UnblockStopSignals() {
    sigset_t set;
    StopSignals(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_DFL);  // what a program it runs expects
    prctl(PR_SET_PDEATHSIG, SIGTERM);
}

}  // namespace

namespace sdlplat {

void HandleStopSignals() {
    sigset_t set;
    StopSignals(&set);
    // A write to a connection whose other end has gone (the X server's socket when the display
    // goes away) fails with EPIPE, which the library that wrote it handles, instead of killing us
    // before the settings are saved.
    signal(SIGPIPE, SIG_IGN);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    pthread_atfork(nullptr, nullptr, UnblockStopSignals);
    std::thread([set] {
        int received = 0;
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            // Asked twice: the first request did not get through (a box waiting for its OK, a hung
            // driver); stop now, as the default action of the signal would.
            if (++received > 1) std::_Exit(128 + sig);
            internal::RequestClose();
        }
    }).detach();
}

}  // namespace sdlplat

namespace plat {

std::string GetCurrentDir() {
    std::vector<char> buf(256);
    while (getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE) return std::string();
        buf.resize(buf.size() * 2);
    }
    return std::string(buf.data());
}

char PathSeparator() { return '/'; }

std::string_view NewFileEol() { return "\n"; }

bool SyncFile(std::FILE* file) {
    // Some file systems (FUSE, network mounts) cannot sync a file: that is no failure of the write.
    return ::fsync(::fileno(file)) == 0 || errno == EINVAL || errno == ENOTSUP;
}

bool ClaimInstance(const char* title) {
    // An abstract socket name: the kernel releases it when the process ends, however it ends, so a
    // crash leaves no stale lock behind. Per user, keyed by the title.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell: let this copy run
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    char name[64];
    const int len = std::snprintf(name, sizeof name, "korvane-%u-%016llx", static_cast<unsigned>(getuid()),
                                  static_cast<unsigned long long>(Fnv1a(title ? title : "")));
    std::memcpy(addr.sun_path + 1, name, static_cast<size_t>(len));
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(len));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0) {
        const bool taken = errno == EADDRINUSE;
        close(fd);
        return !taken;
    }
    return true;  // the descriptor stays open for the life of the process
}

int ShowMessageBox(const char* text, const char* caption, uint32_t style) {
    text = text ? text : "";
    caption = caption ? caption : "";
    if (!sdlplat::internal::VideoReady() || !sdlplat::internal::OnUiThread())
        return ShowBox(text, caption, style);
    // On the user-interface thread the box runs on a helper thread while this thread goes on
    // dispatching, as a modal box's own loop does: posted MIDI keeps flowing and the panel repaints.
    std::atomic<bool> done{false};
    std::thread box([&] {
        ShowBox(text, caption, style);
        done = true;
        sdlplat::internal::WakeUi();
    });
    SDL_Event e;
    while (!done.load()) {
        if (sdlplat::internal::WaitEvent(&e, -1)) sdlplat::internal::Dispatch(e);
    }
    box.join();
    return kIdOk;
}

}  // namespace plat
