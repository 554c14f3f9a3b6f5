// Simulated windows, drawing surfaces and the pop-up list. Drawing really copies pixels (so a
// composed panel can be looked at) and logs every copy and text; text itself is not rasterised.
#include "platform/sim/sim_window.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "platform/file.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_internal.h"

struct plat::Surface {
    std::string name;
    kvn::bmp::Image image;
    plat::HFont font = nullptr;
    uint32_t textColor = 0;
    uint32_t backColor = plat::kClrInvalid;
};

struct plat::Font {
    std::string face;
    int32_t height;
    int32_t width;
};

struct plat::Icon {
    int id;
};

struct plat::Dialog {
    plat::DialogClient* client = nullptr;
    std::vector<std::string> lines;
    int curSel = plat::kLbErr;
    plat::Rect rect{0, 0, 233, 103};  // about 155 × 63 dialog units of a 12-point font
    uint32_t backColor = 0;
    bool ended = false;
    int code = plat::kIdCancel;
};

namespace {

struct WindowWorld {
    std::string cwd;
    bool cwdSet = false;
#ifdef _WIN32
    char sep = '\\';
    std::string eol = "\r\n";
#else
    char sep = '/';
    std::string eol = "\n";
#endif
    std::vector<std::string> otherInstances;
    std::vector<std::string> claimed;
    plat::Rect workArea{0, 0, 1920, 1040};
    std::vector<std::unique_ptr<plat::Window>> windows;
    plat::Window* frame = nullptr;
    plat::Window* view = nullptr;
    std::vector<int> iconHistory;
    bool quit = false;
    int quitCode = 0;
    bool captured = false;
    plat::Cursor cursor = plat::Cursor::Arrow;
    std::vector<sim::DrawOp> drawLog;
    int surfaces = 0;
    int fonts = 0;
    kvn::bmp::Image screen;
    std::function<void(plat::HDialog)> listAction;
    std::vector<sim::ListState> listsShown;
    int listsOpen = 0;
};

WindowWorld& WW() {
    static WindowWorld world;
    return world;
}

plat::Icon gIcons[] = {{plat::kIconApp}, {plat::kIconNormal}, {plat::kIconActivity}};

std::string NameOf(plat::HSurface s) { return s ? s->name : std::string(); }

}  // namespace

namespace sim::internal {
void ResetWindows() { WW() = WindowWorld{}; }
}  // namespace sim::internal

namespace plat {

std::string GetCurrentDir() {
    if (!WW().cwdSet) return std::filesystem::current_path().string();
    return WW().cwd;
}

char PathSeparator() { return WW().sep; }

std::string_view NewFileEol() { return WW().eol; }

// The files are real, but no test needs them on the disk itself.
bool SyncFile(std::FILE*) { return true; }

bool ClaimInstance(const char* title) {
    auto& others = WW().otherInstances;
    if (std::find(others.begin(), others.end(), title) != others.end()) return false;
    WW().claimed.emplace_back(title);
    return true;
}

Rect GetWorkArea() { return WW().workArea; }

HWnd CreateMainFrame(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                     WindowClient* client) {
    auto wnd = std::make_unique<Window>();
    wnd->client = client;
    wnd->isFrame = true;
    wnd->title = title;
    wnd->rect = {x, y, x + width, y + height};
    WW().frame = wnd.get();
    WW().windows.push_back(std::move(wnd));
    return WW().frame;
}

HWnd CreateView(HWnd frame, WindowClient* client) {
    auto wnd = std::make_unique<Window>();
    wnd->client = client;
    wnd->frame = frame;
    if (frame) frame->view = wnd.get();
    WW().view = wnd.get();
    WW().windows.push_back(std::move(wnd));
    return WW().view;
}

void DestroyWindow(HWnd wnd) {
    if (wnd == nullptr) return;
    wnd->destroyed = true;
    if (wnd->view) wnd->view->destroyed = true;
}

void ShowWindow(HWnd frame, int cmd) {
    if (frame == nullptr) return;
    frame->shown = true;
    frame->iconic = (cmd == kSwMinimize);
}

bool IsIconic(HWnd frame) { return frame != nullptr && frame->iconic; }

Rect GetWindowRect(HWnd frame) {
    if (frame == nullptr) return {};
    return frame->isFrame || frame->frame == nullptr ? frame->rect : frame->frame->rect;
}

void MoveWindow(HWnd frame, int32_t x, int32_t y, int32_t width, int32_t height, bool) {
    if (frame == nullptr) return;
    frame->rect = {x, y, x + width, y + height};
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
    // Dispatches until the loop is told to quit or nothing is left to do (the test then drives on).
    while (!WW().quit && sim::PumpOne()) {
    }
    return WW().quit ? WW().quitCode : -1;
}

void QuitMessageLoop(int code) {
    WW().quit = true;
    WW().quitCode = code;
}

void SetCapture(HWnd) { WW().captured = true; }
void ReleaseCapture() { WW().captured = false; }
void SetCursor(Cursor cursor) { WW().cursor = cursor; }

HIcon LoadAppIcon(int resourceId) {
    for (Icon& icon : gIcons) {
        if (icon.id == resourceId) return &icon;
    }
    return nullptr;
}

void SetSmallIcon(HWnd frame, HIcon icon) {
    if (frame == nullptr) return;
    frame->smallIcon = icon ? icon->id : 0;
    WW().iconHistory.push_back(frame->smallIcon);
}

HSurface LoadBitmapSurface(const std::string& path) {
    kvn::bmp::Image image;
    if (!kvn::bmp::Load(path, image)) return nullptr;
    auto* s = new Surface;
    s->name = std::filesystem::path(path).filename().string();
    s->image = std::move(image);
    ++WW().surfaces;
    return s;
}

void FreeSurface(HSurface s) {
    if (s == nullptr) return;
    delete s;
    --WW().surfaces;
}

int32_t SurfaceWidth(HSurface s) { return s ? s->image.width : 0; }
int32_t SurfaceHeight(HSurface s) { return s ? s->image.height : 0; }

void BitBlt(HSurface dst, int32_t x, int32_t y, int32_t w, int32_t h, HSurface src, int32_t sx, int32_t sy) {
    WW().drawLog.push_back({sim::DrawKind::Blt, NameOf(dst), NameOf(src), x, y, w, h, sx, sy, "", 0, ""});
    if (dst == nullptr || src == nullptr) return;
    const auto& si = src->image;
    auto& di = dst->image;
    for (int32_t row = 0; row < h; ++row) {
        const int32_t syy = sy + row, dyy = y + row;
        if (syy < 0 || syy >= si.height || dyy < 0 || dyy >= di.height) continue;
        for (int32_t col = 0; col < w; ++col) {
            const int32_t sxx = sx + col, dxx = x + col;
            if (sxx < 0 || sxx >= si.width || dxx < 0 || dxx >= di.width) continue;
            di.pixels[size_t(dyy) * size_t(di.width) + size_t(dxx)] =
                si.pixels[size_t(syy) * size_t(si.width) + size_t(sxx)];
        }
    }
}

uint32_t GetPixel(HSurface s, int32_t x, int32_t y) {
    if (s == nullptr || x < 0 || y < 0 || x >= s->image.width || y >= s->image.height) return kClrInvalid;
    const uint32_t rgb = s->image.pixels[size_t(y) * size_t(s->image.width) + size_t(x)];
    return Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb));
}

HFont CreatePanelFont(const char* face, int32_t height, int32_t width) {
    ++WW().fonts;
    return new Font{face ? face : "", height, width};
}

void FreeFont(HFont font) {
    if (font == nullptr) return;
    delete font;
    --WW().fonts;
}

void SelectTextStyle(HSurface s, HFont font, uint32_t textColor, uint32_t backColor) {
    if (s == nullptr) return;
    s->font = font;
    s->textColor = textColor;
    s->backColor = backColor;
}

void DrawTextAt(HSurface s, int32_t x, int32_t y, const char* text) {
    WW().drawLog.push_back({sim::DrawKind::Text, NameOf(s), "", x, y, 0, 0, 0, 0, text ? text : "",
                            s ? s->textColor : 0, s && s->font ? s->font->face : ""});
}

void Present(HWnd, HSurface canvas, int32_t w, int32_t h) {
    WW().drawLog.push_back({sim::DrawKind::Present, "", NameOf(canvas), 0, 0, w, h, 0, 0, "", 0, ""});
    kvn::bmp::Image& screen = WW().screen;
    screen.width = std::max(w, 0);
    screen.height = std::max(h, 0);
    screen.pixels.assign(size_t(screen.width) * size_t(screen.height), 0);
    if (canvas == nullptr) return;
    for (int32_t row = 0; row < screen.height && row < canvas->image.height; ++row) {
        for (int32_t col = 0; col < screen.width && col < canvas->image.width; ++col) {
            screen.pixels[size_t(row) * size_t(screen.width) + size_t(col)] =
                canvas->image.pixels[size_t(row) * size_t(canvas->image.width) + size_t(col)];
        }
    }
}

int DoModalList(DialogClient* client, uint32_t backColor) {
    Dialog dlg;
    dlg.client = client;
    dlg.backColor = backColor;
    ++WW().listsOpen;
    client->OnInitDialog(&dlg);
    WW().listsShown.push_back(sim::List(&dlg));
    if (WW().listAction) WW().listAction(&dlg);
    --WW().listsOpen;
    return dlg.ended ? dlg.code : kIdCancel;
}

void ListResetContent(HDialog dlg) {
    dlg->lines.clear();
    dlg->curSel = kLbErr;
}

int ListAddString(HDialog dlg, const char* text) {
    auto it = std::upper_bound(dlg->lines.begin(), dlg->lines.end(), std::string(text));
    const int index = int(it - dlg->lines.begin());
    dlg->lines.insert(it, text);
    return index;
}

int ListGetCount(HDialog dlg) { return int(dlg->lines.size()); }

int ListSetCurSel(HDialog dlg, int index) {
    if (index < 0 || index >= int(dlg->lines.size())) {
        dlg->curSel = kLbErr;
        return kLbErr;
    }
    dlg->curSel = index;
    return index;
}

int ListGetCurSel(HDialog dlg) { return dlg->curSel; }

int ListGetText(HDialog dlg, int index, std::string* text) {
    if (index < 0 || index >= int(dlg->lines.size())) return kLbErr;
    *text = dlg->lines[size_t(index)];
    return int(text->size());
}

Rect GetDialogRect(HDialog dlg) { return dlg->rect; }

void MoveDialog(HDialog dlg, int32_t x, int32_t y, int32_t w, int32_t h) { dlg->rect = {x, y, x + w, y + h}; }

void EndDialog(HDialog dlg, int code) {
    dlg->ended = true;
    dlg->code = code;
}

}  // namespace plat

namespace sim {

void SetCurrentDir(std::string dir) {
    WW().cwd = std::move(dir);
    WW().cwdSet = true;
}
void SetPathSeparator(char sep) { WW().sep = sep; }
void SetNewFileEol(std::string eol) { WW().eol = std::move(eol); }
void SetOtherInstance(std::string title) { WW().otherInstances.push_back(std::move(title)); }
const std::vector<std::string>& ClaimedInstances() { return WW().claimed; }

void SetWorkArea(plat::Rect area) { WW().workArea = area; }
plat::HWnd MainFrame() { return WW().frame; }
plat::HWnd View() { return WW().view; }
const std::string& Title(plat::HWnd wnd) { return wnd->title; }
plat::Rect WindowRect(plat::HWnd wnd) { return plat::GetWindowRect(wnd); }
bool Shown(plat::HWnd wnd) { return wnd != nullptr && wnd->shown; }
bool Iconic(plat::HWnd wnd) { return wnd != nullptr && wnd->iconic; }
bool Destroyed(plat::HWnd wnd) { return wnd != nullptr && wnd->destroyed; }
const std::vector<int>& SmallIconHistory() { return WW().iconHistory; }
bool QuitPosted() { return WW().quit; }
int QuitCode() { return WW().quitCode; }

bool Captured() { return WW().captured; }
plat::Cursor CurrentCursor() { return WW().cursor; }

const std::vector<DrawOp>& DrawLog() { return WW().drawLog; }
void ClearDrawLog() { WW().drawLog.clear(); }
int SurfacesAlive() { return WW().surfaces; }
int FontsAlive() { return WW().fonts; }
const kvn::bmp::Image& Screen() { return WW().screen; }
const kvn::bmp::Image& Pixels(plat::HSurface s) { return s->image; }

void SetListAction(std::function<void(plat::HDialog)> action) { WW().listAction = std::move(action); }

void UserSelect(plat::HDialog dlg, int index) {
    plat::ListSetCurSel(dlg, index);
    dlg->client->OnSelChange(dlg);
}

ListState List(plat::HDialog dlg) { return {dlg->lines, dlg->curSel, dlg->rect, dlg->backColor}; }
const std::vector<ListState>& ListsShown() { return WW().listsShown; }
int ListsOpen() { return WW().listsOpen; }

}  // namespace sim
