// Test controls of the simulated windows, drawing surfaces and pop-up list.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "platform/window.h"

namespace sim {

// ---- Process and files ----
void SetCurrentDir(std::string dir);       // default: the real current directory
void SetPathSeparator(char sep);           // default: the host's ('\\' on Windows, '/' elsewhere)
void SetNewFileEol(std::string eol);       // default: the host's ("\r\n" on Windows, "\n" elsewhere)
void SetOtherInstance(std::string title);  // ClaimInstance(title) fails from now on
const std::vector<std::string>& ClaimedInstances();

// ---- Windows ----
void SetWorkArea(plat::Rect area);  // default 0, 0, 1920, 1040
plat::HWnd MainFrame();             // the last frame created, or null
plat::HWnd View();                  // the last view created, or null
const std::string& Title(plat::HWnd wnd);
plat::Rect WindowRect(plat::HWnd wnd);
bool Shown(plat::HWnd wnd);
bool Iconic(plat::HWnd wnd);
bool Destroyed(plat::HWnd wnd);
const std::vector<int>& SmallIconHistory();  // resource ids set as the frame's small icon, in order
bool QuitPosted();
int QuitCode();

// ---- Mouse ----
bool Captured();
plat::Cursor CurrentCursor();

// ---- Drawing ----
enum class DrawKind { Blt, Text, Present };
struct DrawOp {
    DrawKind kind;
    std::string dst;  // file name of the destination surface ("" for the window)
    std::string src;  // file name of the source surface
    int32_t x, y, w, h, sx, sy;
    std::string text;
    uint32_t color;  // text colour (0x00BBGGRR)
    std::string font;
};
const std::vector<DrawOp>& DrawLog();
void ClearDrawLog();
int SurfacesAlive();
int FontsAlive();
const kvn::bmp::Image& Screen();  // what the last Present showed (pixels only; text is logged)
const kvn::bmp::Image& Pixels(plat::HSurface s);

// ---- The pop-up list ----
struct ListState {
    std::vector<std::string> lines;
    int curSel;
    plat::Rect rect;
    uint32_t backColor;
};
// Called after OnInitDialog while the list is "open"; the default does nothing, as if the user
// pressed Escape. The action may call UserSelect, Pump, or end the dialog.
void SetListAction(std::function<void(plat::HDialog)> action);
void UserSelect(plat::HDialog dlg, int index);  // the user clicks line `index`
ListState List(plat::HDialog dlg);
const std::vector<ListState>& ListsShown();  // each list as OnInitDialog left it
int ListsOpen();

}  // namespace sim
