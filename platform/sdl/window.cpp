// Windows, the message loop and posted messages on SDL. The main frame and its view are one
// borderless SDL window seen through two HWnds: the frame gets the close request, the view the
// mouse, the keyboard and everything posted to it. Posted messages travel as SDL user events that
// name the window by a small id, so a message for a window destroyed meanwhile is simply dropped.
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/sdl/icons.h"
#include "platform/sdl/sdl_internal.h"
#include "platform/sdl/sdl_platform.h"

struct plat::Icon {
    SDL_Surface* surface = nullptr;
};


namespace {

// Win32's mouse-key flags of the mouse messages' wParam.
constexpr uintptr_t kMkLButton = 0x1, kMkRButton = 0x2, kMkShift = 0x4, kMkControl = 0x8, kMkMButton = 0x10;

struct Ui {
    bool tried = false;
    bool video = false;
    std::thread::id thread;
    std::atomic<uint32_t> eventType{0};
    std::vector<std::unique_ptr<plat::Window>> windows;  // id = index + 1; kept for the whole run
    std::mutex windowsMu;  // the table grows on the UI thread while other threads post
    std::atomic<bool> quit{false};  // QuitMessageLoop may come from another thread
    std::atomic<int> quitCode{0};
    SDL_Cursor* arrow = nullptr;
    SDL_Cursor* sizeAll = nullptr;
    plat::Icon icons[3];
    bool iconsLoaded = false;
};

Ui& U() {
    static Ui* ui = new Ui;
    return *ui;
}

intptr_t PackPoint(int32_t x, int32_t y) {
    return static_cast<intptr_t>(uint32_t(uint16_t(x)) | (uint32_t(uint16_t(y)) << 16));
}

uintptr_t MouseFlags(uint32_t buttons) {
    uintptr_t f = 0;
    if (buttons & SDL_BUTTON_LMASK) f |= kMkLButton;
    if (buttons & SDL_BUTTON_RMASK) f |= kMkRButton;
    if (buttons & SDL_BUTTON_MMASK) f |= kMkMButton;
    const SDL_Keymod mod = SDL_GetModState();
    if (mod & KMOD_SHIFT) f |= kMkShift;
    if (mod & KMOD_CTRL) f |= kMkControl;
    return f;
}

// Win32 virtual-key codes for the keys that have one in common use.
uintptr_t VirtualKey(SDL_Keycode k) {
    if (k >= SDLK_a && k <= SDLK_z) return uintptr_t('A' + (k - SDLK_a));
    if (k >= SDLK_0 && k <= SDLK_9) return uintptr_t(k);
    if (k >= SDLK_F1 && k <= SDLK_F12) return 0x70 + uintptr_t(k - SDLK_F1);
    switch (k) {
    case SDLK_BACKSPACE: return 0x08;
    case SDLK_TAB: return 0x09;
    case SDLK_RETURN:
    case SDLK_KP_ENTER: return 0x0D;
    case SDLK_ESCAPE: return 0x1B;
    case SDLK_SPACE: return 0x20;
    case SDLK_PAGEUP: return 0x21;
    case SDLK_PAGEDOWN: return 0x22;
    case SDLK_END: return 0x23;
    case SDLK_HOME: return 0x24;
    case SDLK_LEFT: return 0x25;
    case SDLK_UP: return 0x26;
    case SDLK_RIGHT: return 0x27;
    case SDLK_DOWN: return 0x28;
    case SDLK_INSERT: return 0x2D;
    case SDLK_DELETE: return 0x2E;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT: return 0x10;
    case SDLK_LCTRL:
    case SDLK_RCTRL: return 0x11;
    case SDLK_LALT:
    case SDLK_RALT: return 0x12;
    default: return 0;
    }
}

plat::Window* FrameOf(uint32_t sdlWindowId) {
    SDL_Window* sw = SDL_GetWindowFromID(sdlWindowId);
    if (sw == nullptr) return nullptr;
    for (auto& w : U().windows) {
        if (w->isFrame && !w->destroyed && w->sdl == sw) return w.get();
    }
    return nullptr;
}

plat::Window* FirstLiveFrame() {
    for (auto& w : U().windows) {
        if (w->isFrame && !w->destroyed) return w.get();
    }
    return nullptr;
}

void Deliver(plat::Window* w, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (w != nullptr && !w->destroyed && w->client != nullptr) w->client->WindowProc(msg, wParam, lParam);
}

plat::Window* NewWindow() {
    Ui& ui = U();
    std::lock_guard lk(ui.windowsMu);
    ui.windows.push_back(std::make_unique<plat::Window>());
    plat::Window* w = ui.windows.back().get();
    w->id = static_cast<uint32_t>(ui.windows.size());
    return w;
}

void LoadIcons() {
    Ui& ui = U();
    if (ui.iconsLoaded) return;
    ui.iconsLoaded = true;
    const int ids[3] = {plat::kIconApp, plat::kIconNormal, plat::kIconActivity};
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < sdlplat::icons::kIconCount; ++k) {
            const auto& blob = sdlplat::icons::kIcons[k];
            if (blob.id != ids[i] || blob.size == 0) continue;
            SDL_RWops* rw = SDL_RWFromConstMem(blob.data, static_cast<int>(blob.size));
            ui.icons[i].surface = rw ? SDL_LoadBMP_RW(rw, 1) : nullptr;
        }
    }
}

}  // namespace

namespace sdlplat::internal {

bool EnsureVideo() {
    Ui& ui = U();
    if (ui.tried) return ui.video;
    ui.tried = true;
    ui.thread = std::this_thread::get_id();
    // The frame's close request is ours to handle; SDL must not turn it into a quit as well.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    // A click on an inactive window acts at once, as on Windows.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    ui.video = SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) == 0;
    if (!ui.video && SDL_Init(SDL_INIT_EVENTS) != 0) return false;
    const Uint32 type = SDL_RegisterEvents(1);
    if (type != Uint32(-1)) ui.eventType = type;
    if (ui.video) {
        ui.arrow = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
        ui.sizeAll = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_SIZEALL);
    }
    return ui.video;
}

bool VideoReady() { return U().video; }

bool OnUiThread() { return U().tried && std::this_thread::get_id() == U().thread; }

uint32_t PostedEventType() { return U().eventType.load(); }

void WakeUi() {
    const uint32_t type = PostedEventType();
    if (type == 0) return;
    SDL_Event e{};
    e.type = type;
    e.user.windowID = 0;  // carries nothing
    SDL_PushEvent(&e);
}

plat::Window* WindowById(uint32_t id) {
    Ui& ui = U();
    std::lock_guard lk(ui.windowsMu);
    return id == 0 || id > ui.windows.size() ? nullptr : ui.windows[id - 1].get();
}

plat::Window* InputTargetFor(uint32_t sdlWindowId) {
    plat::Window* frame = FrameOf(sdlWindowId);
    if (frame == nullptr) return nullptr;
    return frame->view != nullptr && !frame->view->destroyed ? frame->view : frame;
}

bool QuitRequested() { return U().quit; }

SDL_Window* MainSdlWindow() {
    plat::Window* frame = FirstLiveFrame();
    return frame ? frame->sdl : nullptr;
}

void Dispatch(const SDL_Event& e) {
    Ui& ui = U();
    if (ui.eventType != 0 && e.type == ui.eventType) {
        Deliver(WindowById(e.user.windowID), static_cast<uint32_t>(e.user.code), reinterpret_cast<uintptr_t>(e.user.data1),
                reinterpret_cast<intptr_t>(e.user.data2));
        return;
    }
    if (ModalListHandles(e)) return;
    switch (e.type) {
    case SDL_QUIT:  // SIGINT or SIGTERM: an orderly close, as from the window manager
        if (plat::Window* frame = FirstLiveFrame()) Deliver(frame, plat::kWmClose, 0, 0);
        break;
    case SDL_WINDOWEVENT: {
        plat::Window* frame = FrameOf(e.window.windowID);
        if (frame == nullptr) break;
        if (e.window.event == SDL_WINDOWEVENT_CLOSE) {
            Deliver(frame, plat::kWmClose, 0, 0);
        } else if (e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_RESTORED) {
            plat::PostWindowMessage(frame->view ? frame->view : frame, plat::kWmPaint, 0, 0);
        }
        break;
    }
    case SDL_MOUSEMOTION:
        Deliver(InputTargetFor(e.motion.windowID), plat::kWmMouseMove, MouseFlags(e.motion.state),
                PackPoint(e.motion.x, e.motion.y));
        break;
    case SDL_MOUSEBUTTONDOWN: {
        plat::Window* target = InputTargetFor(e.button.windowID);
        const uintptr_t flags = MouseFlags(SDL_GetMouseState(nullptr, nullptr));
        if (e.button.button == SDL_BUTTON_LEFT) {
            // Windows reports every second click of a run as a double-click.
            const uint32_t msg = e.button.clicks >= 2 && e.button.clicks % 2 == 0 ? plat::kWmLButtonDblClk
                                                                                  : plat::kWmLButtonDown;
            Deliver(target, msg, flags | kMkLButton, PackPoint(e.button.x, e.button.y));
        } else if (e.button.button == SDL_BUTTON_RIGHT) {
            Deliver(target, plat::kWmRButtonDown, flags | kMkRButton, PackPoint(e.button.x, e.button.y));
        }
        break;
    }
    case SDL_MOUSEBUTTONUP:
        if (e.button.button == SDL_BUTTON_LEFT) {
            const uintptr_t flags = MouseFlags(SDL_GetMouseState(nullptr, nullptr)) & ~kMkLButton;
            Deliver(InputTargetFor(e.button.windowID), plat::kWmLButtonUp, flags, PackPoint(e.button.x, e.button.y));
        }
        break;
    case SDL_KEYDOWN: {
        const uintptr_t vk = VirtualKey(e.key.keysym.sym);
        const intptr_t lParam = 1 | (intptr_t(e.key.keysym.scancode & 0xFF) << 16) | (e.key.repeat ? (intptr_t(1) << 30) : 0);
        if (vk != 0) Deliver(InputTargetFor(e.key.windowID), plat::kWmKeyDown, vk, lParam);
        break;
    }
    default:
        break;
    }
}

}  // namespace sdlplat::internal

namespace plat {

bool PostWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    const uint32_t type = sdlplat::internal::PostedEventType();
    if (wnd == nullptr || wnd->destroyed || type == 0) return false;
    SDL_Event e{};
    e.type = type;
    e.user.windowID = wnd->id;
    e.user.code = static_cast<Sint32>(msg);
    e.user.data1 = reinterpret_cast<void*>(wParam);
    e.user.data2 = reinterpret_cast<void*>(lParam);
    return SDL_PushEvent(&e) == 1;  // fails when SDL's queue is full
}

Rect GetWorkArea() {
    sdlplat::internal::EnsureVideo();
    SDL_Rect r{0, 0, 0, 0};
    if (SDL_GetDisplayUsableBounds(0, &r) != 0) return {0, 0, 0, 0};
    return {r.x, r.y, r.x + r.w, r.y + r.h};
}

HWnd CreateMainFrame(const char* title, int32_t x, int32_t y, int32_t width, int32_t height, WindowClient* client) {
    if (!sdlplat::internal::EnsureVideo()) return nullptr;
    SDL_Window* sw = SDL_CreateWindow(title ? title : "", x, y, width, height, SDL_WINDOW_HIDDEN | SDL_WINDOW_BORDERLESS);
    if (sw == nullptr) return nullptr;
    Window* w = NewWindow();
    w->isFrame = true;
    w->client = client;
    w->sdl = sw;
    // The large icon of the window class; the small one follows through SetSmallIcon.
    SetSmallIcon(w, LoadAppIcon(kIconApp));
    return w;
}

HWnd CreateView(HWnd frame, WindowClient* client) {
    if (frame == nullptr || frame->destroyed) return nullptr;
    Window* w = NewWindow();
    w->client = client;
    w->frame = frame;
    w->sdl = frame->sdl;
    frame->view = w;
    return w;
}

void DestroyWindow(HWnd wnd) {
    if (wnd == nullptr || wnd->destroyed) return;
    Window* frame = wnd->isFrame ? wnd : wnd->frame;
    if (!wnd->isFrame) {
        wnd->destroyed = true;  // the SDL window belongs to the frame
        if (frame) frame->view = nullptr;
        return;
    }
    if (frame->view) frame->view->destroyed = true;
    frame->destroyed = true;
    SDL_DestroyWindow(frame->sdl);
    frame->sdl = nullptr;
    if (frame->view) frame->view->sdl = nullptr;
}

void ShowWindow(HWnd frame, int cmd) {
    if (frame == nullptr || frame->destroyed) return;
    SDL_Window* sw = frame->sdl;
    if (cmd == kSwMinimize) {
        SDL_ShowWindow(sw);
        SDL_MinimizeWindow(sw);
    } else {
        SDL_ShowWindow(sw);
        if (SDL_GetWindowFlags(sw) & SDL_WINDOW_MINIMIZED) SDL_RestoreWindow(sw);
    }
}

bool IsIconic(HWnd frame) {
    if (frame == nullptr || frame->destroyed || frame->sdl == nullptr) return false;
    SDL_PumpEvents();  // the window manager's answer arrives as an event; the events stay queued
    return (SDL_GetWindowFlags(frame->sdl) & SDL_WINDOW_MINIMIZED) != 0;
}

Rect GetWindowRect(HWnd frame) {
    if (frame == nullptr || frame->sdl == nullptr) return {};
    int x = 0, y = 0, w = 0, h = 0;
    SDL_GetWindowPosition(frame->sdl, &x, &y);
    SDL_GetWindowSize(frame->sdl, &w, &h);
    return {x, y, x + w, y + h};
}

void MoveWindow(HWnd frame, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint) {
    if (frame == nullptr || frame->sdl == nullptr) return;
    int cx = 0, cy = 0, cw = 0, ch = 0;
    SDL_GetWindowPosition(frame->sdl, &cx, &cy);
    SDL_GetWindowSize(frame->sdl, &cw, &ch);
    // SDL waits up to 100 ms for a move the window manager does not report, so a move to the
    // same place is not asked for at all (a drag asks for many).
    if (cx != x || cy != y) SDL_SetWindowPosition(frame->sdl, x, y);
    if (cw != width || ch != height) SDL_SetWindowSize(frame->sdl, width, height);
    if (repaint) {
        Window* target = frame->isFrame && frame->view ? frame->view : frame;
        PostWindowMessage(target, kWmPaint, 0, 0);
    }
}

Point ClientToScreen(HWnd wnd, Point p) {
    const Rect r = GetWindowRect(wnd);
    return {p.x + r.left, p.y + r.top};
}

intptr_t SendWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    if (wnd == nullptr || wnd->destroyed || wnd->client == nullptr) return 0;
    return wnd->client->WindowProc(msg, wParam, lParam);
}

int RunMessageLoop() {
    Ui& ui = U();
    if (!sdlplat::internal::EnsureVideo() && ui.eventType == 0) return -1;
    SDL_Event e;
    while (!ui.quit) {
        if (SDL_WaitEvent(&e) != 1) break;
        sdlplat::internal::Dispatch(e);
    }
    ui.quit = false;  // the quit is taken by the loop that ends on it
    return ui.quitCode;
}

void QuitMessageLoop(int code) {
    U().quit = true;
    U().quitCode = code;
    sdlplat::internal::WakeUi();
}

void SetCapture(HWnd) { SDL_CaptureMouse(SDL_TRUE); }
void ReleaseCapture() { SDL_CaptureMouse(SDL_FALSE); }

void SetCursor(Cursor cursor) {
    SDL_Cursor* c = cursor == Cursor::SizeAll ? U().sizeAll : U().arrow;
    if (c != nullptr) SDL_SetCursor(c);
}

HIcon LoadAppIcon(int resourceId) {
    LoadIcons();
    const int ids[3] = {kIconApp, kIconNormal, kIconActivity};
    for (int i = 0; i < 3; ++i) {
        if (ids[i] == resourceId && U().icons[i].surface != nullptr) return &U().icons[i];
    }
    return nullptr;
}

void SetSmallIcon(HWnd frame, HIcon icon) {
    if (frame == nullptr || frame->sdl == nullptr || icon == nullptr || icon->surface == nullptr) return;
    SDL_SetWindowIcon(frame->sdl, icon->surface);
}

}  // namespace plat

namespace sdlplat {

void Shutdown() {
    internal::ShutdownMidi();
    internal::ShutdownText();
    Ui& ui = U();
    if (ui.tried) {
        for (auto& w : ui.windows) {
            if (w->isFrame && !w->destroyed) plat::DestroyWindow(w.get());
        }
        ui.eventType = 0;  // nothing can be posted any more
        ui.video = false;
        SDL_Quit();
    }
}

}  // namespace sdlplat
