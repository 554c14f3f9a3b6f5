// The X display, watched. Its connection's descriptor lets the user-interface thread wait for X
// events and for our own posted messages together (the wait of window.cpp), so that no other
// thread ever talks to the X server. When the server goes away, Xlib calls us from inside whatever
// call noticed it, on that thread, and then would exit() with every thread of ours still running;
// we end the program there ourselves instead, after the entry point's orderly save.
#include <unistd.h>

#include <atomic>

#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"

#ifdef KVN_HAVE_X11
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#endif

namespace {

std::atomic<bool> gLost{false};
std::atomic<int> gFd{-1};
void (*gOnLost)() = nullptr;

#ifdef KVN_HAVE_X11
pid_t gPid = 0;
bool gWatching = false;  // user-interface thread only

// Never returns: after it, Xlib would exit(), and SDL's own waits for the server would spin.
[[noreturn]] void EndWithoutDisplay() {
    static const char kText[] = "Korvane: the display has gone away; saving the settings and closing.\n";
    ssize_t ignored = write(STDERR_FILENO, kText, sizeof kText - 1);
    (void)ignored;
    // Only the user-interface thread talks to the display, so this is that thread, between two of
    // its own steps: the settings are as the user left them.
    if (sdlplat::internal::OnUiThread() && gOnLost != nullptr) gOnLost();
    // The MIDI clients leave the server as at any end: a client that just vanishes holds up a
    // JACK server running synchronously until it gives up on it.
    sdlplat::internal::ShutdownMidi();
    _exit(1);
}

int OnIoError(Display*) {
    // A child that a library forked (SDL shows its message box in one) has nothing to save.
    if (getpid() != gPid) _exit(1);
    if (gLost.exchange(true)) _exit(1);  // lost again while saving: the save is as far as it got
    EndWithoutDisplay();
}
#endif

}  // namespace

namespace sdlplat {

void OnDisplayLost(void (*save)()) { gOnLost = save; }

}  // namespace sdlplat

namespace sdlplat::internal {

void WatchDisplay(SDL_Window* window) {
#ifdef KVN_HAVE_X11
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver == nullptr || SDL_strcmp(driver, "x11") != 0) return;
    if (!gWatching) {
        gPid = getpid();
        XSetIOErrorHandler(OnIoError);
        gWatching = true;
    }
    if (gFd >= 0 || window == nullptr) return;
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(window, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11) return;
    gFd = ConnectionNumber(info.info.x11.display);
#else
    (void)window;
#endif
}

int DisplayFd() { return gLost ? -1 : gFd.load(); }

bool DisplayLost() { return gLost; }

}  // namespace sdlplat::internal
