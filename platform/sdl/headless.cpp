// What the panel would show goes to stderr instead, one line each, for the journal: the start,
// the ports, a device lost or back, and every message box's text.
#include "platform/sdl/headless.h"

#include <cstdarg>
#include <cstdio>

#include "engine/engine.h"
#include "platform/sdl/sdl_platform.h"
#include "shell/app.h"
#include "shell/globals.h"
#include "shell/settings.h"

namespace {

void Say(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("korvane: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    va_end(args);
}

// A port as the start-up line names it.
std::string PortLine(bool open, bool absent, const std::string& name) {
    if (!open) return "none";
    return absent ? name + " (not there yet: linked when it appears)" : name;
}

// The panel's view without the panel: the engine's messages, and a stop signal's close request,
// which ends the program as the exit button does.
class HeadlessClient final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        const CHold hold;  // each message one action, whole to the input's fast path
        if (msg == kMsgOutBack && reinterpret_cast<plat::HMidiOut>(wParam) == g_MidiOutHandle)
            Say("device back: %s", g_MidiOutDeviceName.c_str());
        if (msg == kMsgInGone && reinterpret_cast<plat::HMidiIn>(wParam) == g_MidiInHandle)
            Say("device lost: %s", g_MidiInDeviceName.c_str());
        if (msg == plat::kWmClose) {
            mf_DeviceClose();
            plat::QuitMessageLoop(0);
        }
        mf_OnPosted(msg, wParam, lParam);  // repaints are not among them: nothing to paint
        return 0;
    }
};

}  // namespace

int HeadlessMain(const std::string& in, const std::string& out) {
    if (!sdlplat::StartHeadless()) {
        Say("cannot start: SDL's events are not available");
        return 1;
    }
    const std::string folder = plat::GetCurrentDir();
    g_WindowTitle = "KVN - " + FolderNameOf(folder, plat::PathSeparator());
    if (!plat::ClaimInstance(g_WindowTitle.c_str())) {
        Say("another Korvane already runs in a folder of this name (%s)", folder.c_str());
        return 1;
    }
    const std::string ini = kvn::settings::FormPath();
    kvn::settings::Load(ini);
    if (!in.empty()) g_MidiInDeviceName = in;
    if (!out.empty()) g_MidiOutDeviceName = out;

    HeadlessClient client;
    g_PanelWnd = sdlplat::CreateHeadlessWindow(&client);
    mf_DeviceInitialize(true);
    if (g_MidiInHandle == nullptr && g_MidiOutHandle == nullptr) {
        // No MIDI system answers yet (a JACK server that starts later): a service is started again.
        Say("no MIDI port could be opened; ending with status 1");
        return 1;
    }
    Say("started in %s, A4 = %d.%d Hz, transposition %d", folder.c_str(), static_cast<int>(g_Frequency / 10),
        static_cast<int>(g_Frequency % 10), static_cast<int>(g_KeyShift));
    Say("ports opened: in %s, out %s",
        PortLine(g_MidiInHandle != nullptr, g_MidiInDevice == -1, g_MidiInDeviceName).c_str(),
        PortLine(g_MidiOutHandle != nullptr, g_MidiOutDevice == -1, g_MidiOutDeviceName).c_str());
    mf_TimerInitialize();
    mf_TimerStart();
    if (g_MidiInHandle != nullptr) mf_MidiInStart();

    const int code = plat::RunMessageLoop();
    mf_TimerKill();
    mf_TimerEndPeriod();
    kvn::settings::Save(ini);
    g_PanelWnd = nullptr;
    Say("ended: notes off, ports closed, settings saved");
    return code;
}
