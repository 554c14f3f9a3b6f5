// Windows, drawing surfaces, the modal pop-up list and process services of the user-interface
// thread. Like platform.h, every adapter implements these; the core includes no OS header.
//
// The window model is the Win32 one, reduced to what the program uses: one top-level main frame
// whose whole client area is one child view. Messages reach the frame's or the view's
// WindowClient on the user-interface thread, as WM_* values with Win32's parameters (mouse
// positions packed as x in the low and y in the high 16 bits of lParam, signed).
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace plat {

struct Point {
    int32_t x;
    int32_t y;
};

struct Rect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

// ---- Process and files --------------------------------------------------------------------
// The current directory exactly as the platform reports it (a root keeps its trailing separator).
std::string GetCurrentDir();
char PathSeparator();
// Claims the single-instance key `title` for this process until it ends (a crash releases it).
// False when another running instance holds it.
bool ClaimInstance(const char* title);

// ---- Windows ------------------------------------------------------------------------------
constexpr int kSwShow = 5;
constexpr int kSwMinimize = 6;

// The work area of the primary display: the screen without task bars and panels.
Rect GetWorkArea();

// The main frame: borderless, not resizable, with a system menu, a task-bar entry and the ability
// to be minimised; hidden until ShowWindow. Its close command (window manager, task bar) arrives
// as kWmClose at `client`.
HWnd CreateMainFrame(const char* title, int32_t x, int32_t y, int32_t width, int32_t height,
                     WindowClient* client);
// The view filling the frame's client area; it receives the mouse and everything posted to it.
HWnd CreateView(HWnd frame, WindowClient* client);
void DestroyWindow(HWnd wnd);  // the view goes with its frame
void ShowWindow(HWnd frame, int cmd);
bool IsIconic(HWnd frame);
Rect GetWindowRect(HWnd frame);  // screen coordinates
void MoveWindow(HWnd frame, int32_t x, int32_t y, int32_t width, int32_t height, bool repaint);
Point ClientToScreen(HWnd wnd, Point p);

// Calls the window's client at once, on the calling (user-interface) thread.
intptr_t SendWindowMessage(HWnd wnd, uint32_t msg, uintptr_t wParam, intptr_t lParam);

// Runs the message loop until QuitMessageLoop; returns its code.
int RunMessageLoop();
void QuitMessageLoop(int code);

// ---- Mouse --------------------------------------------------------------------------------
enum class Cursor { Arrow, SizeAll };
void SetCapture(HWnd wnd);
void ReleaseCapture();
void SetCursor(Cursor cursor);

// ---- Icons --------------------------------------------------------------------------------
constexpr int kIconApp = 128;
constexpr int kIconNormal = 132;
constexpr int kIconActivity = 133;
struct Icon;
using HIcon = Icon*;
HIcon LoadAppIcon(int resourceId);
void SetSmallIcon(HWnd frame, HIcon icon);

// ---- Drawing ------------------------------------------------------------------------------
// A bitmap together with the memory surface it is selected into, as the panel keeps them.
struct Surface;
using HSurface = Surface*;
struct Font;
using HFont = Font*;

constexpr uint32_t kClrInvalid = 0xFFFFFFFFu;
constexpr uint32_t Rgb(uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(r) | (uint32_t(g) << 8) | (uint32_t(b) << 16);
}
constexpr uint8_t RedOf(uint32_t colorref) { return uint8_t(colorref & 0xFF); }

// Null when the file is missing or is no bitmap the platform can read.
HSurface LoadBitmapSurface(const std::string& path);
void FreeSurface(HSurface s);
int32_t SurfaceWidth(HSurface s);
int32_t SurfaceHeight(HSurface s);
// Copies a w×h block; clipped to both surfaces, so it never reads or writes outside either.
void BitBlt(HSurface dst, int32_t x, int32_t y, int32_t w, int32_t h, HSurface src, int32_t sx, int32_t sy);
// The pixel's colour as 0x00BBGGRR, or kClrInvalid outside the surface.
uint32_t GetPixel(HSurface s, int32_t x, int32_t y);

HFont CreatePanelFont(const char* face, int32_t height, int32_t width);
void FreeFont(HFont font);
// The text style of a surface, as a device context keeps it: font, colour, and a background
// colour (kClrInvalid: transparent).
void SelectTextStyle(HSurface s, HFont font, uint32_t textColor, uint32_t backColor);
// Writes `text` (UTF-8) with its top-left corner at x, y in the selected style.
void DrawTextAt(HSurface s, int32_t x, int32_t y, const char* text);
// Shows the top-left w×h of `canvas` in the view, at 0, 0.
void Present(HWnd view, HSurface canvas, int32_t w, int32_t h);

// ---- The pop-up list ----------------------------------------------------------------------
// A small modal window holding one sorted list box, for choosing a port.
struct Dialog;
using HDialog = Dialog*;

class DialogClient {
public:
    virtual bool OnInitDialog(HDialog dlg) = 0;  // fill the list, place the dialog
    virtual void OnSelChange(HDialog dlg) = 0;   // the user selected a line (not raised by ListSetCurSel)

protected:
    ~DialogClient() = default;
};

constexpr int kIdCancel = 2;
constexpr int kLbErr = -1;

// Runs the list modally, in a fixed-pitch font on `backColor`; windows of this thread keep
// receiving their posted messages meanwhile. Returns the code given to EndDialog, or kIdCancel
// when the user dismissed it.
int DoModalList(DialogClient* client, uint32_t backColor);
void ListResetContent(HDialog dlg);
int ListAddString(HDialog dlg, const char* text);  // inserted in sorted order; returns its index
int ListGetCount(HDialog dlg);
int ListSetCurSel(HDialog dlg, int index);
int ListGetCurSel(HDialog dlg);                              // kLbErr when none
int ListGetText(HDialog dlg, int index, std::string* text);  // length, or kLbErr
Rect GetDialogRect(HDialog dlg);                             // screen coordinates
void MoveDialog(HDialog dlg, int32_t x, int32_t y, int32_t w, int32_t h);
void EndDialog(HDialog dlg, int code);

}  // namespace plat
