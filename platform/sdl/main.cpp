// Entry point of kvn, the Linux (and macOS) build.
#include "engine/engine.h"
#include "platform/sdl/sdl_platform.h"
#include "shell/app.h"
#include "shell/main_frame.h"

namespace {

bool gEnded = false;  // the application has returned: nothing of it is left to save

// The display is gone: the end the window manager's close command makes (the window's place and
// visibility as last seen, then every setting), without a display to close the window on.
void SaveWithoutDisplay() {
    if (gEnded) return;
    gEnded = true;
    const CHold hold;  // the ports' closing sends, whole to the input's fast path
    if (theApp.m_pMainWnd != nullptr) theApp.m_pMainWnd->DestroyWindow();
    theApp.ExitInstance(1);
}

}  // namespace

int main() {
    sdlplat::HandleStopSignals();
    sdlplat::OnDisplayLost(SaveWithoutDisplay);
    const int code = KvnMain();
    gEnded = true;
    sdlplat::Shutdown();
    return code;
}
