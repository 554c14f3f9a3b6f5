// Windows, the message loop and posted messages on SDL. The main frame and its view are one
// borderless SDL window seen through two HWnds: the frame gets the close request, the view the
// mouse, the keyboard and everything posted to it. Posted messages travel as SDL user events that
// name the window by a small id, so a message for a window destroyed meanwhile is simply dropped.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
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

// What a posted message carries, in or out of SDL's queue.
struct Posted {
    uint32_t window;  // 0: a notice for the loop itself
    uint32_t msg;
    void* data1;
    void* data2;
};

// Posted messages that did not go into SDL's queue. That queue holds at most 65535 events of all
// kinds, and a post into a full queue fails; the MIDI system's thread posts one message per short
// message it receives, and a burst while the loop is busy would lose some. A post that finds SDL's
// queue full (or holding kSdlShare of ours), and every later post until this has been emptied,
// goes here instead. The loop takes from here only once none of our messages is left in SDL's
// queue, so that nothing overtakes anything posted before it. Bounded, preallocated and lock-free
// (each cell carries its turn): posters include the MIDI system's thread, which must neither wait
// nor allocate. One consumer: the user-interface thread.
class Overflow {
public:
    static constexpr uint64_t kCells = sdlplat::internal::kPostOverflow;

    // On the user-interface thread, before anything can be posted; every page is touched here.
    void Allocate() {
        cells_ = new Cell[kCells];
        for (uint64_t i = 0; i < kCells; ++i) cells_[i].turn.store(i, std::memory_order_relaxed);
    }
    bool Push(const Posted& p) {
        uint64_t pos = tail_.load(std::memory_order_relaxed);
        for (;;) {
            Cell& c = cells_[pos % kCells];
            const uint64_t turn = c.turn.load(std::memory_order_acquire);
            if (turn == pos) {
                if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    c.item = p;
                    c.turn.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (turn < pos) {
                return false;  // full: the cell still holds a message from one lap before
            } else {
                pos = tail_.load(std::memory_order_relaxed);
            }
        }
    }
    // False when empty, or when the oldest message is still being written (its poster wakes the
    // loop once it is there).
    bool Pop(Posted& out) {
        const uint64_t pos = head_.load(std::memory_order_relaxed);
        Cell& c = cells_[pos % kCells];
        if (c.turn.load(std::memory_order_acquire) != pos + 1) return false;
        out = c.item;
        c.turn.store(pos + kCells, std::memory_order_release);
        head_.store(pos + 1, std::memory_order_release);
        return true;
    }
    // Whether anything posted is still here, taken or not; the tail first, so that a poster that
    // sees "empty" knows its own earlier messages have all been taken.
    bool Empty() const {
        const uint64_t tail = tail_.load(std::memory_order_acquire);
        return head_.load(std::memory_order_acquire) == tail;
    }

private:
    struct Cell {
        std::atomic<uint64_t> turn{0};
        Posted item{};
    };
    Cell* cells_ = nullptr;
    alignas(64) std::atomic<uint64_t> tail_{0};
    alignas(64) std::atomic<uint64_t> head_{0};
};

// How many of our messages SDL's queue may hold before later ones go to the overflow: the rest of
// it stays for input and window events.
constexpr int kSdlShare = 32768;

// Win32's mouse-key flags of the mouse messages' wParam.
constexpr uintptr_t kMkLButton = 0x1, kMkRButton = 0x2, kMkShift = 0x4, kMkControl = 0x8, kMkMButton = 0x10;

struct Ui {
    bool tried = false;
    bool video = false;
    bool headless = false;  // started without a display on purpose (StartHeadless)
    std::thread::id thread;
    std::atomic<uint32_t> eventType{0};
    std::atomic<int> inSdlQueue{0};  // our posted messages in SDL's queue, not yet taken out
    // The loop is about to wait, or waits: only then does a post wake it (a system call that the
    // MIDI system's thread would otherwise make for every message of a burst).
    std::atomic<bool> idle{false};
    // A post from the real-time thread found the loop idle: the driver thread wakes it for that
    // thread, which makes no system call (WakeUiIfAsked).
    std::atomic<bool> wakeAsked{false};
    Overflow overflow;
    std::vector<std::unique_ptr<plat::Window>> windows;  // id = index + 1; kept for the whole run
    std::mutex windowsMu;                   // the table grows on the UI thread while other threads post
    std::atomic<bool> quit{false};          // QuitMessageLoop may come from another thread
    std::atomic<bool> closePending{false};  // a stop signal not yet turned into a close request
    void (*onStop)() = nullptr;             // see sdlplat::OnStopSignal
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

thread_local bool t_realtime = false;  // see SetRealtimeThread

// Counts wakes of the user-interface thread's wait; written from any thread.
int WakeFd() {
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void DrainWakes() {
    uint64_t count = 0;
    while (read(WakeFd(), &count, sizeof count) > 0) {
    }
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
    case SDLK_BACKSPACE:
        return 0x08;
    case SDLK_TAB:
        return 0x09;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
        return 0x0D;
    case SDLK_ESCAPE:
        return 0x1B;
    case SDLK_SPACE:
        return 0x20;
    case SDLK_PAGEUP:
        return 0x21;
    case SDLK_PAGEDOWN:
        return 0x22;
    case SDLK_END:
        return 0x23;
    case SDLK_HOME:
        return 0x24;
    case SDLK_LEFT:
        return 0x25;
    case SDLK_UP:
        return 0x26;
    case SDLK_RIGHT:
        return 0x27;
    case SDLK_DOWN:
        return 0x28;
    case SDLK_INSERT:
        return 0x2D;
    case SDLK_DELETE:
        return 0x2E;
    case SDLK_LSHIFT:
    case SDLK_RSHIFT:
        return 0x10;
    case SDLK_LCTRL:
    case SDLK_RCTRL:
        return 0x11;
    case SDLK_LALT:
    case SDLK_RALT:
        return 0x12;
    default:
        return 0;
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

// A stop signal that came before there was a main frame waits for it.
void DeliverPendingClose() {
    plat::Window* frame = FirstLiveFrame();
    if (frame == nullptr || !U().closePending.exchange(false)) return;
    if (U().onStop != nullptr) U().onStop();
    Deliver(frame, plat::kWmClose, 0, 0);
}

SDL_Event ToEvent(const Posted& p) {
    SDL_Event e{};
    e.type = U().eventType.load();
    e.user.windowID = p.window;
    e.user.code = static_cast<Sint32>(p.msg);
    e.user.data1 = p.data1;
    e.user.data2 = p.data2;
    return e;
}

// Any thread. Fails only when SDL's queue and the overflow are both full. Other threads always
// take the overflow: SDL's own post takes a lock and may allocate, which the MIDI system's thread
// must not do.
bool Post(const Posted& p) {
    Ui& ui = U();
    bool done = false;
    if (sdlplat::internal::OnUiThread() && ui.overflow.Empty() && ui.inSdlQueue.load() < kSdlShare) {
        ui.inSdlQueue.fetch_add(1);
        SDL_Event e = ToEvent(p);
        done = SDL_PushEvent(&e) == 1;
        if (!done) ui.inSdlQueue.fetch_sub(1);
    }
    if (!done) done = ui.overflow.Push(p);
    std::atomic_thread_fence(std::memory_order_seq_cst);  // the message is there before idle is read
    if (!done) return false;
    if (t_realtime) {
        if (ui.idle.load()) ui.wakeAsked.store(true);
    } else if (ui.idle.exchange(false)) {
        sdlplat::internal::WakeUi();
    }
    return true;
}

// The next event for the loop: SDL's, or a posted message from the overflow once none of ours is
// left in SDL's queue before it.
bool TakeEvent(SDL_Event* e) {
    Ui& ui = U();
    const auto peek = [&] { return SDL_PeepEvents(e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) == 1; };
    if (ui.inSdlQueue.load() == 0) {
        // With none of ours in SDL's queue, what is there is input and window events, which no
        // posted message has to precede: during a long burst they still get every 64th turn.
        static unsigned turn = 0;
        if (++turn % 64 == 0 && peek()) return true;
        Posted p;
        if (ui.overflow.Pop(p)) {
            *e = ToEvent(p);
            return true;
        }
    }
    if (!peek()) return false;
    if (ui.eventType != 0 && e->type == ui.eventType) ui.inSdlQueue.fetch_sub(1);
    return true;
}

plat::Window* NewWindow() {
    Ui& ui = U();
    std::lock_guard lk(ui.windowsMu);
    ui.windows.push_back(std::make_unique<plat::Window>());
    plat::Window* w = ui.windows.back().get();
    w->id = static_cast<uint32_t>(ui.windows.size());
    return w;
}

// Whether SDL's video driver shows windows to a user: its off-screen and dummy drivers do not,
// unless they were asked for by name.
bool RealDisplay() {
    const char* driver = SDL_GetCurrentVideoDriver();
    if (driver == nullptr) return false;
    const bool invisible = SDL_strcasecmp(driver, "offscreen") == 0 || SDL_strcasecmp(driver, "dummy") == 0;
    const char* asked = SDL_getenv("SDL_VIDEODRIVER");
    return !invisible || (asked != nullptr && SDL_strcasecmp(asked, driver) == 0);
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

// SDL's events, and our posted messages on them; false when they cannot start.
bool StartEvents() {
    Ui& ui = U();
    if (SDL_Init(SDL_INIT_EVENTS) != 0) return false;
    const Uint32 type = SDL_RegisterEvents(1);
    if (type != Uint32(-1)) {
        ui.overflow.Allocate();  // before anything can be posted
        ui.eventType = type;
    }
    return true;
}

// The user-interface thread is the calling one, from now on.
void TakeUiThread() {
    Ui& ui = U();
    ui.tried = true;
    ui.thread = std::this_thread::get_id();
    // Stop signals are ours (HandleStopSignals): SDL's handler would only note them for the next
    // time events are pumped, which an idle panel may never do.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
}

}  // namespace

namespace sdlplat {

bool StartHeadless() {
    TakeUiThread();
    U().headless = true;
    return StartEvents();
}

plat::HWnd CreateHeadlessWindow(plat::WindowClient* client) {
    if (!U().headless) return nullptr;
    plat::Window* w = NewWindow();
    w->isFrame = true;  // it gets the close request of a stop signal
    w->client = client;
    return w;
}

void OnStopSignal(void (*before)()) { U().onStop = before; }

}  // namespace sdlplat

namespace sdlplat::internal {

bool Headless() { return U().headless; }

bool EnsureVideo() {
    Ui& ui = U();
    if (ui.tried) return ui.video;
    TakeUiThread();
    // The frame's close request is ours to handle; SDL must not turn it into a quit as well.
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    // The panel is presented through X's own shared-memory images. Otherwise SDL first opens an
    // OpenGL context just to ask its vendor, which costs a second of start-up and threads of a
    // software renderer, and is one more library talking to the display.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    // A click on an inactive window acts at once, as on Windows.
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    ui.video = SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS) == 0;
    if (ui.video && !RealDisplay()) {
        // SDL falls back to an invisible driver when the display cannot be reached: the program
        // would run unseen and never end. No display is no display.
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        ui.video = false;
    }
    if (ui.video) {
        WatchDisplay(nullptr);
    } else {
        // The program cannot show its window; its start fails, and this says why.
        std::fprintf(
            stderr,
            "Korvane: no display to show the panel on (is DISPLAY set, and does its X server answer?)\n");
    }
    if (!StartEvents()) return false;
    if (ui.video) {
        ui.arrow = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_ARROW);
        ui.sizeAll = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_SIZEALL);
    }
    return ui.video;
}

bool VideoReady() { return U().video; }

bool OnUiThread() { return U().tried && std::this_thread::get_id() == U().thread; }

uint32_t PostedEventType() { return U().eventType.load(); }

void SetRealtimeThread() { t_realtime = true; }

void WakeUiIfAsked() {
    Ui& ui = U();
    if (ui.wakeAsked.load(std::memory_order_relaxed) && ui.wakeAsked.exchange(false) &&
        ui.idle.exchange(false))
        WakeUi();
}

void WakeUi() {
    const uint64_t one = 1;
    ssize_t ignored = write(WakeFd(), &one, sizeof one);
    (void)ignored;
}

// Marks the loop idle, then looks once more: a message posted before the mark is seen here, one
// posted after it wakes the wait.
bool IdleUnlessTaken(SDL_Event* e) {
    Ui& ui = U();
    ui.idle = true;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!TakeEvent(e)) return false;
    ui.idle = false;
    return true;
}

bool WaitEvent(SDL_Event* e, int timeoutMs) {
    const Uint64 start = SDL_GetTicks64();
    for (;;) {
        SDL_PumpEvents();
        if (TakeEvent(e)) return true;
        int remaining = -1;
        if (timeoutMs >= 0) {
            const Uint64 elapsed = SDL_GetTicks64() - start;
            if (elapsed >= Uint64(timeoutMs)) return false;
            remaining = timeoutMs - int(elapsed);
        }
        const int xfd = DisplayFd();
        if (xfd < 0 && U().video) {
            // No X connection of ours to wait on (another video driver, or no window yet): SDL's own
            // wait, in short steps so that a wake is seen.
            const int step = remaining < 0 ? 10 : std::min(remaining, 10);
            if (IdleUnlessTaken(e)) return true;
            const bool got = SDL_WaitEventTimeout(e, step) == 1;
            U().idle = false;
            if (got) {
                if (U().eventType != 0 && e->type == U().eventType) U().inSdlQueue.fetch_sub(1);
                return true;
            }
            uint64_t count = 0;
            if (read(WakeFd(), &count, sizeof count) > 0) return false;
            continue;
        }
        // SDL's own wait would be woken by X events that other threads send through a second
        // connection: a dead display would then end the program on one of those threads. Here only
        // this thread talks to the X server, and other threads wake it through WakeFd.
        // Without a display (headless) every event comes from our own threads, which wake this one.
        pollfd fds[2] = {{WakeFd(), POLLIN, 0}, {xfd, POLLIN, 0}};
        if (IdleUnlessTaken(e)) return true;
        const int polled = poll(fds, xfd < 0 ? 1 : 2, remaining);
        U().idle = false;
        if (polled < 0 && errno != EINTR) return false;
        if (fds[0].revents & POLLIN) {
            DrainWakes();
            SDL_PumpEvents();
            return TakeEvent(e);
        }
    }
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

void RequestClose() {
    U().closePending = true;
    // The event type is set once SDL's events are up, and cleared before they go: read here, it
    // also hands SDL's start to this thread (SDL_WasInit reads SDL's counts without that).
    if (U().eventType.load() != 0) {
        SDL_Event e{};
        e.type = SDL_QUIT;
        SDL_PushEvent(&e);  // ends a modal list on the way
    }
    WakeUi();
}

SDL_Window* MainSdlWindow() {
    plat::Window* frame = FirstLiveFrame();
    return frame ? frame->sdl : nullptr;
}

void PostNotice(const char* text) {
    if (PostedEventType() == 0 || text == nullptr) return;
    Post({0, 0, const_cast<char*>(text), nullptr});  // for no window: the loop itself shows it
}

void Dispatch(const SDL_Event& e) {
    Ui& ui = U();
    if (ui.eventType != 0 && e.type == ui.eventType) {
        if (e.user.windowID == 0) {
            if (e.user.data1 != nullptr) {
                plat::ShowMessageBox(static_cast<const char*>(e.user.data1), "Korvane",
                                     plat::kMbOk | plat::kMbIconWarning);
            }
            return;
        }
        Deliver(WindowById(e.user.windowID), static_cast<uint32_t>(e.user.code),
                reinterpret_cast<uintptr_t>(e.user.data1), reinterpret_cast<intptr_t>(e.user.data2));
        return;
    }
    if (ModalListHandles(e)) return;
    switch (e.type) {
    case SDL_QUIT:  // a stop signal: an orderly close, as from the window manager
        ui.closePending = true;
        DeliverPendingClose();
        break;
    case SDL_WINDOWEVENT: {
        plat::Window* frame = FrameOf(e.window.windowID);
        if (frame == nullptr) break;
        if (e.window.event == SDL_WINDOWEVENT_MINIMIZED) {
            frame->iconic = true;
            frame->iconicSince = SDL_GetTicks64();
        }
        if (e.window.event == SDL_WINDOWEVENT_RESTORED) frame->iconic = false;
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
            Deliver(InputTargetFor(e.button.windowID), plat::kWmLButtonUp, flags,
                    PackPoint(e.button.x, e.button.y));
        }
        break;
    case SDL_KEYDOWN: {
        const uintptr_t vk = VirtualKey(e.key.keysym.sym);
        const intptr_t lParam =
            1 | (intptr_t(e.key.keysym.scancode & 0xFF) << 16) | (e.key.repeat ? (intptr_t(1) << 30) : 0);
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
    return Post({wnd->id, msg, reinterpret_cast<void*>(wParam), reinterpret_cast<void*>(lParam)});
}

Rect GetWorkArea() {
    sdlplat::internal::EnsureVideo();
    SDL_Rect r{0, 0, 0, 0};
    if (SDL_GetDisplayUsableBounds(0, &r) != 0) return {0, 0, 0, 0};
    return {r.x, r.y, r.x + r.w, r.y + r.h};
}

HWnd CreateMainFrame(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                     WindowClient* client) {
    if (!sdlplat::internal::EnsureVideo()) return nullptr;
    SDL_Window* sw =
        SDL_CreateWindow(title ? title : "", x, y, width, height, SDL_WINDOW_HIDDEN | SDL_WINDOW_BORDERLESS);
    if (sw == nullptr) return nullptr;
    sdlplat::internal::WatchDisplay(sw);
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
    // With the display gone (the orderly save before the end) SDL would wait for ever for the
    // server to confirm the unmapping.
    if (!sdlplat::internal::DisplayLost()) SDL_DestroyWindow(frame->sdl);
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
    if (sdlplat::internal::DisplayLost()) {
        // As it was last seen. An X server going down first unmaps the windows of the window
        // manager it drops, which SDL reports as minimising: that last moment does not count.
        return frame->iconic && SDL_GetTicks64() - frame->iconicSince > 500;
    }
    SDL_PumpEvents();  // the window manager's answer arrives as an event; the events stay queued
    const bool iconic = (SDL_GetWindowFlags(frame->sdl) & SDL_WINDOW_MINIMIZED) != 0;
    if (iconic && !frame->iconic) frame->iconicSince = SDL_GetTicks64();
    frame->iconic = iconic;
    return iconic;
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
    for (;;) {
        DeliverPendingClose();
        if (ui.quit) break;
        if (sdlplat::internal::WaitEvent(&e, -1)) sdlplat::internal::Dispatch(e);
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
