// The modal pop-up list: a small borderless window holding one sorted list in a fixed-pitch font,
// run in a loop of its own that keeps dispatching posted messages (so MIDI keeps flowing) while
// the main window takes no input.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/sdl/sdl_internal.h"

struct plat::Dialog {
    plat::DialogClient* client = nullptr;
    std::vector<std::string> lines;
    int curSel = plat::kLbErr;
    int top = 0;  // first line shown
    plat::Rect rect{};
    uint32_t backColor = 0;
    bool ended = false;
    int code = plat::kIdCancel;
    SDL_Window* window = nullptr;
    bool hadFocus = false;
    bool sawPress = false;  // a left press reached the list
    TTF_Font* font = nullptr;
    int lineHeight = 18;
};

namespace {

constexpr int kCellHeight = 18;   // "Courier New" 12 points at 96 dots per inch
constexpr int kScrollWidth = 17;  // the width of Windows' vertical scroll bar
constexpr int kTextLeft = 2;
constexpr Uint32 kHighlight = 0x0078D7;  // Windows' selection colour
constexpr Uint32 kBorder = 0x646464;
constexpr const char* kTitle = "KVN list";  // seen only by window managers and tools

plat::Dialog* gModal = nullptr;

Uint32 ToPixel(SDL_Surface* s, uint32_t colorref) {
    return SDL_MapRGB(s->format, uint8_t(colorref), uint8_t(colorref >> 8), uint8_t(colorref >> 16));
}

Uint32 Rgb(SDL_Surface* s, Uint32 rgb) {
    return SDL_MapRGB(s->format, uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
}

int VisibleLines(const plat::Dialog& d) {
    return std::max(1, (d.rect.bottom - d.rect.top - 2) / std::max(1, d.lineHeight));
}

bool Scrolls(const plat::Dialog& d) { return int(d.lines.size()) > VisibleLines(d); }

void ClampTop(plat::Dialog& d) {
    d.top = std::clamp(d.top, 0, std::max(0, int(d.lines.size()) - VisibleLines(d)));
}

void ShowSelection(plat::Dialog& d) {
    if (d.curSel < 0) return;
    if (d.curSel < d.top) d.top = d.curSel;
    if (d.curSel >= d.top + VisibleLines(d)) d.top = d.curSel - VisibleLines(d) + 1;
    ClampTop(d);
}

void DrawText(SDL_Surface* screen, TTF_Font* font, const std::string& text, int x, int y, SDL_Color color) {
    if (font == nullptr || text.empty()) return;
    SDL_Surface* t = TTF_RenderUTF8_Blended(font, text.c_str(), color);
    if (t == nullptr) return;
    SDL_Rect at{x, y, t->w, t->h};
    SDL_BlitSurface(t, nullptr, screen, &at);
    SDL_FreeSurface(t);
}

void Paint(plat::Dialog& d) {
    if (d.window == nullptr) return;
    SDL_Surface* screen = SDL_GetWindowSurface(d.window);
    if (screen == nullptr) return;
    const int w = screen->w, h = screen->h;
    SDL_FillRect(screen, nullptr, ToPixel(screen, d.backColor));
    const int textRight = Scrolls(d) ? w - 1 - kScrollWidth : w - 1;
    const int visible = VisibleLines(d);
    for (int i = 0; i < visible && d.top + i < int(d.lines.size()); ++i) {
        const int line = d.top + i;
        const int y = 1 + i * d.lineHeight;
        const bool selected = line == d.curSel;
        if (selected) {
            SDL_Rect band{1, y, textRight - 1, d.lineHeight};
            SDL_FillRect(screen, &band, Rgb(screen, kHighlight));
        }
        SDL_Rect clip{1, y, textRight - 1, d.lineHeight};
        SDL_SetClipRect(screen, &clip);
        DrawText(screen, d.font, d.lines[size_t(line)], 1 + kTextLeft, y,
                 selected ? SDL_Color{255, 255, 255, 255} : SDL_Color{0, 0, 0, 255});
        SDL_SetClipRect(screen, nullptr);
    }
    if (Scrolls(d)) {
        SDL_Rect track{w - 1 - kScrollWidth, 1, kScrollWidth, h - 2};
        SDL_FillRect(screen, &track, Rgb(screen, 0xF0F0F0));
        const int count = int(d.lines.size());
        const int thumbH = std::max(8, track.h * visible / count);
        const int thumbY = track.y + (track.h - thumbH) * d.top / std::max(1, count - visible);
        SDL_Rect thumb{track.x + 2, thumbY, kScrollWidth - 4, thumbH};
        SDL_FillRect(screen, &thumb, Rgb(screen, 0xC0C0C0));
    }
    // A thin frame, as the dialog's modal frame gives it on Windows.
    const SDL_Rect edges[4] = {{0, 0, w, 1}, {0, h - 1, w, 1}, {0, 0, 1, h}, {w - 1, 0, 1, h}};
    SDL_FillRects(screen, edges, 4, Rgb(screen, kBorder));
    SDL_UpdateWindowSurface(d.window);
}

// The user chose line `index` (a click, or a key): like LBN_SELCHANGE, raised on every click,
// also on the line already selected.
void UserSelect(plat::Dialog& d, int index, bool always) {
    if (index < 0 || index >= int(d.lines.size())) return;
    const bool changed = index != d.curSel;
    d.curSel = index;
    ShowSelection(d);
    Paint(d);
    if (changed || always) d.client->OnSelChange(&d);
}

void End(plat::Dialog& d, int code) {
    d.ended = true;
    d.code = code;
}

void OnKey(plat::Dialog& d, SDL_Keycode key) {
    const int count = int(d.lines.size());
    const int page = std::max(1, VisibleLines(d) - 1);
    const int sel = d.curSel;
    switch (key) {
    case SDLK_ESCAPE:
        End(d, plat::kIdCancel);
        return;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
        End(d, plat::kIdOk);
        return;
    case SDLK_UP:
        UserSelect(d, sel < 0 ? 0 : std::max(0, sel - 1), false);
        return;
    case SDLK_DOWN:
        UserSelect(d, sel < 0 ? 0 : std::min(count - 1, sel + 1), false);
        return;
    case SDLK_HOME:
        UserSelect(d, 0, false);
        return;
    case SDLK_END:
        UserSelect(d, count - 1, false);
        return;
    case SDLK_PAGEUP:
        UserSelect(d, std::max(0, (sel < 0 ? 0 : sel) - page), false);
        return;
    case SDLK_PAGEDOWN:
        UserSelect(d, std::min(count - 1, (sel < 0 ? 0 : sel) + page), false);
        return;
    default:
        return;
    }
}

void OnPress(plat::Dialog& d, int x, int y) {
    int w = 0, h = 0;
    SDL_GetWindowSize(d.window, &w, &h);
    if (Scrolls(d) && x >= w - 1 - kScrollWidth) {
        // The scroll bar pages towards the press.
        const int visible = VisibleLines(d);
        const int count = int(d.lines.size());
        const int thumbY =
            1 + (h - 2 - std::max(8, (h - 2) * visible / count)) * d.top / std::max(1, count - visible);
        d.top += y < thumbY ? -visible : visible;
        ClampTop(d);
        Paint(d);
        return;
    }
    if (y < 1) return;
    UserSelect(d, d.top + (y - 1) / d.lineHeight, true);
}

void ApplyRect(plat::Dialog& d) {
    if (d.window == nullptr) return;
    SDL_SetWindowPosition(d.window, d.rect.left, d.rect.top);
    SDL_SetWindowSize(d.window, std::max(1, d.rect.right - d.rect.left),
                      std::max(1, d.rect.bottom - d.rect.top));
}

}  // namespace

namespace sdlplat::internal {

bool ModalListOpen() { return gModal != nullptr; }

bool ModalListHandles(const SDL_Event& e) {
    plat::Dialog* d = gModal;
    if (d == nullptr || d->ended) return false;
    const Uint32 listId = SDL_GetWindowID(d->window);
    switch (e.type) {
    case SDL_QUIT: {
        // Ends the list; the outer loop then closes the program.
        End(*d, plat::kIdCancel);
        SDL_Event again = e;
        SDL_PushEvent(&again);
        return true;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
        if (e.button.button != SDL_BUTTON_LEFT) return true;
        const bool press = e.type == SDL_MOUSEBUTTONDOWN;
        // SDL drops a press while it believes the button is still down, which it does when the
        // release that followed the last press went to a window destroyed meanwhile (an earlier
        // list that closed on that press). Its release then stands for the press.
        if (!press && (d->sawPress || e.button.windowID != listId)) return true;
        d->sawPress = true;
        if (e.button.windowID == listId) {
            OnPress(*d, e.button.x, e.button.y);
            return true;
        }
        // SDL names no window when it has not yet seen the pointer enter one; the pointer itself tells.
        if (e.button.windowID == 0) {
            int gx = 0, gy = 0, wx = 0, wy = 0, ww = 0, wh = 0;
            SDL_GetGlobalMouseState(&gx, &gy);
            SDL_GetWindowPosition(d->window, &wx, &wy);
            SDL_GetWindowSize(d->window, &ww, &wh);
            if (gx >= wx && gy >= wy && gx < wx + ww && gy < wy + wh) OnPress(*d, gx - wx, gy - wy);
        }
        return true;
    }
    case SDL_MOUSEWHEEL:
        if (e.wheel.windowID == listId) {
            d->top -= e.wheel.y * 3;
            ClampTop(*d);
            Paint(*d);
        }
        return true;
    case SDL_MOUSEMOTION:
    case SDL_KEYUP:
    case SDL_TEXTINPUT:
    case SDL_TEXTEDITING:
        return true;
    case SDL_KEYDOWN:
        OnKey(*d, e.key.keysym.sym);  // the list takes the keyboard, whichever window has the focus
        return true;
    case SDL_WINDOWEVENT:
        if (e.window.windowID == listId) {
            if (e.window.event == SDL_WINDOWEVENT_FOCUS_GAINED) d->hadFocus = true;
            if (e.window.event == SDL_WINDOWEVENT_FOCUS_LOST && d->hadFocus) End(*d, plat::kIdCancel);
            if (e.window.event == SDL_WINDOWEVENT_EXPOSED) {
                // Under a window manager the window is only really on the screen now, and asking
                // for the focus before that is turned down.
                if (!d->hadFocus) SDL_SetWindowInputFocus(d->window);
                Paint(*d);
            }
            return true;
        }
        return e.window.event == SDL_WINDOWEVENT_CLOSE;  // the main window cannot close meanwhile
    default:
        return false;
    }
}

}  // namespace sdlplat::internal

namespace plat {

int DoModalList(DialogClient* client, uint32_t backColor) {
    if (client == nullptr || gModal != nullptr || !sdlplat::internal::EnsureVideo()) return kIdCancel;
    Dialog d;
    d.client = client;
    d.backColor = backColor;
    d.font = sdlplat::internal::OpenCellFont(sdlplat::internal::FindFace("Courier New"), kCellHeight);
    d.lineHeight = d.font ? std::max(1, TTF_FontLineSkip(d.font)) : kCellHeight;
    // 155 × 63 dialog units of the list's font: a unit is a quarter of the average letter width
    // across and an eighth of the cell height down.
    int letter = 9;
    if (d.font != nullptr) TTF_SizeUTF8(d.font, "x", &letter, nullptr);
    const int width = 155 * letter / 4, height = 63 * (d.font ? TTF_FontHeight(d.font) : kCellHeight) / 8;
    const Rect work = GetWorkArea();
    const int x = (work.left + work.right - width) / 2, y = (work.top + work.bottom - height) / 2;
    d.rect = {x, y, x + width, y + height};
    d.window = SDL_CreateWindow(
        kTitle, x, y, width, height,
        SDL_WINDOW_HIDDEN | SDL_WINDOW_BORDERLESS | SDL_WINDOW_SKIP_TASKBAR | SDL_WINDOW_ALWAYS_ON_TOP);
    if (d.window == nullptr) {
        if (d.font) TTF_CloseFont(d.font);
        return kIdCancel;
    }
    sdlplat::internal::WatchDisplay(d.window);
    gModal = &d;
    client->OnInitDialog(&d);
    if (!d.ended) {
        ApplyRect(d);
        ShowSelection(d);
        // A window manager gives the focus to a dialog of the active window, not to a stranger.
        if (SDL_Window* owner = sdlplat::internal::MainSdlWindow()) SDL_SetWindowModalFor(d.window, owner);
        SDL_ShowWindow(d.window);
        SDL_RaiseWindow(d.window);
        SDL_SetWindowInputFocus(d.window);
        Paint(d);
        SDL_Event e;
        while (!d.ended && !sdlplat::internal::QuitRequested()) {
            if (sdlplat::internal::WaitEvent(&e, -1)) sdlplat::internal::Dispatch(e);
        }
    }
    // A press that chose a line may still be held. X sends its release to the list's window; with
    // that window gone, SDL would go on believing the button is down and drop the user's next
    // press, so that the next click on the panel did nothing. The list goes once the button is up
    // (the server's answer comes after the release, which the last pump then takes in).
    SDL_Event e;
    for (int i = 0; i < 1000 && (SDL_GetGlobalMouseState(nullptr, nullptr) & SDL_BUTTON_LMASK) != 0; ++i) {
        if (sdlplat::internal::WaitEvent(&e, 10)) sdlplat::internal::Dispatch(e);
    }
    SDL_PumpEvents();
    gModal = nullptr;
    SDL_DestroyWindow(d.window);
    if (d.font) TTF_CloseFont(d.font);
    return d.ended ? d.code : kIdCancel;
}

void ListResetContent(HDialog dlg) {
    if (dlg == nullptr) return;
    dlg->lines.clear();
    dlg->curSel = kLbErr;
    dlg->top = 0;
    Paint(*dlg);
}

int ListAddString(HDialog dlg, const char* text) {
    if (dlg == nullptr || text == nullptr) return kLbErr;
    auto it = std::upper_bound(dlg->lines.begin(), dlg->lines.end(), std::string(text));
    const int index = int(it - dlg->lines.begin());
    dlg->lines.insert(it, text);
    if (dlg->curSel >= index) ++dlg->curSel;  // the selection stays on its line
    return index;
}

int ListGetCount(HDialog dlg) { return dlg ? int(dlg->lines.size()) : kLbErr; }

int ListSetCurSel(HDialog dlg, int index) {
    if (dlg == nullptr) return kLbErr;
    if (index < 0 || index >= int(dlg->lines.size())) {
        dlg->curSel = kLbErr;
        Paint(*dlg);
        return kLbErr;
    }
    dlg->curSel = index;
    ShowSelection(*dlg);
    Paint(*dlg);
    return index;
}

int ListGetCurSel(HDialog dlg) { return dlg ? dlg->curSel : kLbErr; }

int ListGetText(HDialog dlg, int index, std::string* text) {
    if (dlg == nullptr || text == nullptr || index < 0 || index >= int(dlg->lines.size())) return kLbErr;
    *text = dlg->lines[size_t(index)];
    return int(text->size());
}

Rect GetDialogRect(HDialog dlg) { return dlg ? dlg->rect : Rect{}; }

void MoveDialog(HDialog dlg, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (dlg == nullptr) return;
    dlg->rect = {x, y, x + w, y + h};
    ApplyRect(*dlg);
    ClampTop(*dlg);
}

void EndDialog(HDialog dlg, int code) {
    if (dlg != nullptr) End(*dlg, code);
}

}  // namespace plat
