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
    plat::Window* frame = nullptr;  // the view's frame
    plat::Window* view = nullptr;   // the frame's view
    SDL_Window* sdl = nullptr;      // shared by a frame and its view
    std::atomic<bool> destroyed{false};  // read by posting threads
};

namespace sdlplat::internal {

// Starts SDL's video and event subsystems on the calling thread, which becomes the
// user-interface thread. False when there is no display.
bool EnsureVideo();
bool VideoReady();
bool OnUiThread();
// The event type that carries posted window messages (0 before start-up).
uint32_t PostedEventType();
// Wakes the user-interface thread's wait without carrying a message.
void WakeUi();

plat::Window* WindowById(uint32_t id);
// The window whose SDL window has this SDL id: the view when there is one, else the frame.
plat::Window* InputTargetFor(uint32_t sdlWindowId);

// The SDL window of the live main frame, or null.
SDL_Window* MainSdlWindow();

// What one dispatched event turned into, for the modal loops.
void Dispatch(const SDL_Event& e);
bool QuitRequested();

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
