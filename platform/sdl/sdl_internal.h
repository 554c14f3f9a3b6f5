// Shared between the SDL adapter's source files: SDL start-up, the user-interface thread, the
// window table and the event dispatcher that the message loop and the modal loops share.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/window.h"

struct plat::Window {
    uint32_t id = 0;  // travels in posted events instead of the pointer
    plat::WindowClient* client = nullptr;
    bool isFrame = false;
    plat::Window* frame = nullptr;       // the view's frame
    plat::Window* view = nullptr;        // the frame's view
    SDL_Window* sdl = nullptr;           // shared by a frame and its view
    std::atomic<bool> destroyed{false};  // read by posting threads
    bool iconic = false;                 // the frame's last known state, kept for when the display is gone
    uint64_t iconicSince = 0;            // SDL ticks when it was last seen minimised
};

namespace sdlplat::internal {

// Starts SDL's video and event subsystems on the calling thread, which becomes the
// user-interface thread. False when there is no display.
bool EnsureVideo();
bool VideoReady();
// Started by sdlplat::StartHeadless: no display is ever tried.
bool Headless();
bool OnUiThread();
// The event type that carries posted window messages (0 before start-up).
uint32_t PostedEventType();
// Posted messages kept, in order, beyond what SDL's own queue holds of ours (32768): a post fails
// only when both are full.
inline constexpr uint64_t kPostOverflow = uint64_t(1) << 17;
// Wakes the user-interface thread's wait without carrying a message; from any thread, and safe
// inside a signal or Xlib error handler.
void WakeUi();
// The MIDI system's real-time thread says so once per cycle: a message it posts then never wakes
// the user-interface thread itself (a system call). The driver thread, which looks at least
// once a millisecond, calls WakeUiIfAsked and wakes it for that thread.
void SetRealtimeThread();
void WakeUiIfAsked();
// The user-interface thread's wait: true with the next event; false on a timeout (-1: none) or
// on a wake without an event. Callers look at their own state again.
bool WaitEvent(SDL_Event* e, int timeoutMs);

// The X display (display.cpp): watched from start-up (null window) and, from the first window on,
// waited on; its connection's descriptor
// (-1 when SDL does not use X, before the first window, or once the display is lost); whether
// the X server has gone away (the program is then ending).
void WatchDisplay(SDL_Window* window);
int DisplayFd();
bool DisplayLost();

plat::Window* WindowById(uint32_t id);
// The window whose SDL window has this SDL id: the view when there is one, else the frame.
plat::Window* InputTargetFor(uint32_t sdlWindowId);

// The SDL window of the live main frame, or null.
SDL_Window* MainSdlWindow();

// What one dispatched event turned into, for the modal loops.
void Dispatch(const SDL_Event& e);
bool QuitRequested();
// A stop signal arrived: the main frame gets a close request as soon as it exists. Any thread.
void RequestClose();
// Something the user must know that no call of the core is waiting for (the MIDI server gone):
// shown in a message box by the user-interface thread's loop. Any thread; `text` lives for ever.
void PostNotice(const char* text);

// The modal pop-up list, when one is open: it takes all keyboard and mouse input, and the
// main window ignores input meanwhile. Returns true when it consumed the event.
bool ModalListHandles(const SDL_Event& e);
bool ModalListOpen();

// Text rendering shared by the panel font and the pop-up list.
struct FontFace {
    std::string path;
    int index = 0;
};
// A face standing in for a Windows face name; empty path when nothing usable is installed.
FontFace FindFace(const char* windowsFace);
bool EnsureTtf();
// The largest size of `face` whose cell (ascent plus descent) fits `cellHeight` pixels, as GDI
// reads a positive font height; null when the face cannot be opened.
TTF_Font* OpenCellFont(const FontFace& face, int32_t cellHeight);

// The parts of sdlplat::Shutdown that live in other files.
void ShutdownMidi();
void ShutdownText();

}  // namespace sdlplat::internal
