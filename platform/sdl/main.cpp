// Entry point of kvn, the Linux (and macOS) build: the command line, then the windowed program or
// the headless one.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "engine/engine.h"
#include "picker/picker.h"
#include "platform/sdl/headless.h"
#include "platform/sdl/sdl_platform.h"
#include "shell/app.h"
#include "shell/command_line.h"
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

// A stop signal closes the window as the window manager does, but no note may hang after it.
void SilenceOutput() {
    const CHold hold;
    mf_AllNotesOff();
    mf_AllSoundOff();
}

// The two catalogues, numbered as the port picker shows them.
int ListPorts() {
    mf_MidiInEnumerate();
    mf_MidiOutEnumerate();
    std::printf("Inputs:\n");
    for (int row = 0; row < g_MidiInCount; ++row)
        std::printf("%s\n", PickerLine(row, g_MidiInCaps[row].szPname).c_str());
    std::printf("Outputs:\n");
    for (int row = 0; row < g_MidiOutCount; ++row)
        std::printf("%s\n", PickerLine(row, g_MidiOutCaps[row].szPname).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const CommandLine line = ParseCommandLine(argc, argv);
    switch (line.action) {
    case CommandLine::Action::Refuse:
        std::fprintf(stderr, "korvane: %s\nTry 'korvane --help' for more information.\n", line.error.c_str());
        return 2;
    case CommandLine::Action::Help:
        std::fputs(kUsage, stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("korvane %s\n", KVN_VERSION);
        return 0;
    default:
        break;
    }
    if (!line.folder.empty() && chdir(line.folder.c_str()) != 0) {
        std::fprintf(stderr, "korvane: cannot use the folder %s: %s\n", line.folder.c_str(),
                     std::strerror(errno));
        return 2;
    }
    if (line.action == CommandLine::Action::List) {
        const int code = ListPorts();
        sdlplat::Shutdown();
        return code;
    }
    sdlplat::HandleStopSignals();
    int code = 0;
    if (line.headless) {
        code = HeadlessMain(line.in, line.out);
    } else {
        sdlplat::OnDisplayLost(SaveWithoutDisplay);
        sdlplat::OnStopSignal(SilenceOutput);
        theApp.m_InGiven = line.in;
        theApp.m_OutGiven = line.out;
        code = KvnMain();
        gEnded = true;
    }
    sdlplat::Shutdown();
    return code;
}
