// The Windows adapter (KVN.exe) implements the platform interface as follows.
// Provided natively, by the system itself: MIDI ports, headers, callbacks, the MIDI mapper and
// midiConnect (WinMM); the multimedia timer and its period; windows, posted messages, mouse
// capture, cursors, icons, message boxes, the single-instance search by window title and the
// picker's modal list box (dialog template 130) (Win32); bitmaps, memory surfaces, block copies,
// text and pixels (GDI); the work area; the clock, sleep and process exit.
// Emulated: nothing but the document/view framework, which is the core's own small one (shell/).
//
// Shared between the Windows adapter's source files. Only the adapter includes <windows.h>.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// clang-format off
#include <windows.h>
#include <mmsystem.h>  // needs windows.h first
// clang-format on

#include <string>

#include "platform/window.h"

struct plat::Window {
    HWND hwnd = nullptr;
    plat::WindowClient* client = nullptr;
    bool isFrame = false;
    plat::Window* view = nullptr;   // the frame's view
    plat::Window* frame = nullptr;  // the view's frame
};

struct plat::Dialog {
    HWND hwnd = nullptr;
    plat::DialogClient* client = nullptr;
    uint32_t backColor = 0;
    HBRUSH brush = nullptr;
};

namespace win32 {

// Window class names and the dialog resources the adapter relies on.
inline constexpr char kFrameClass[] = "KvnFrame";
inline constexpr char kViewClass[] = "KvnView";
inline constexpr int kListDialogId = 130;
inline constexpr int kListBoxId = 1000;

// Text from the core is UTF-8; device names the core got from the ANSI calls are in the active
// code page. Bytes that are not valid UTF-8 are therefore read in the code page.
std::wstring Widen(const char* text);

HINSTANCE Instance();

}  // namespace win32
