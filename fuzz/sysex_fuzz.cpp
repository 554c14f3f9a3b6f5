// SysEx recognition over random messages and random user patterns: no crash, no read outside the
// buffer, and a text form that is exactly the bytes written out.
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "platform/sim/sim.h"

namespace {

class NullWindow final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == kMsgLongIn) OnMidiLongMsg(wParam, lParam);
        if (msg == kMsgOutDone) OnMidiOutDone(wParam, lParam);
        return 0;
    }
};

void SetUpOnce() {
    static bool done = false;
    if (done) return;
    done = true;
    sim::Reset();
    mf_ResetEngineState();
    static NullWindow window;
    g_PanelWnd = sim::CreateTestWindow(&window);
    sim::SetInputDevices({"In"});
    sim::SetOutputDevices({"Out"});
    g_MidiInDeviceName = "In";
    g_MidiOutDeviceName = "Out";
    mf_DeviceInitialize();
    mf_MidiInStart();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetUpOnce();
    // The first bytes give the user rows: a length byte then that many pattern characters each.
    size_t pos = 0;
    mf_SetBuiltInRows();
    for (int row = kFixedRows; row < kTableRows; ++row) {
        std::string pattern;
        if (pos < size) {
            size_t len = data[pos++] % 51;
            for (; len > 0 && pos < size; --len) pattern += static_cast<char>(data[pos++]);
        }
        g_IgnoreTable[row] = row % 2 ? pattern : std::string();
        g_TriggerTable[row] = row % 2 ? std::string() : pattern;
    }
    if (pos >= size) return 0;
    std::vector<uint8_t> message(data + pos, data + size);
    if (message.size() > kSysExBufferSize) message.resize(kSysExBufferSize);

    if (!sim::DeliverSysEx(message)) std::abort();  // the buffer must always be back with the driver
    sim::Pump();
    sim::CompleteOutput();
    sim::Pump();
    if (message.size() <= size_t(kSysExInspectLimit)) {
        if (std::strlen(g_SysExText) != message.size() * 3 - 1) std::abort();
    }
    sim::ClearOutputLog();
    return 0;
}
