// SysEx recognition over random messages and random user patterns, checked against a plain
// re-statement of the matching rules: the text form is exactly the bytes written out, the family
// follows the first bytes, the message is dropped or forwarded byte for byte as the tables say,
// the tuning follows a trigger, and the input buffer is always back with the driver afterwards.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
    sim::Pump();
    sim::ClearLogs();
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "sysex_fuzz: %s\n", what);
    std::abort();
}

std::string HexText(const std::vector<uint8_t>& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += ' ';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
    }
    return text;
}

// The matching rule as written down: the shorter length is compared, '*' matches any character.
bool RowMatches(const std::string& pattern, const std::string& text) {
    if (pattern.empty()) return false;
    const size_t n = std::min(pattern.size(), text.size());
    for (size_t i = 0; i < n; ++i) {
        if (pattern[i] != '*' && pattern[i] != text[i]) return false;
    }
    return true;
}

bool TableMatches(const std::string (&table)[kTableRows], const std::string& text) {
    for (const std::string& row : table) {
        if (RowMatches(row, text)) return true;
    }
    return false;
}

// The six controller messages of one channel's tuning at 440.0 Hz (the fuzzer never changes it).
void CheckTuning(const std::vector<sim::OutEvent>& log, size_t from) {
    if (log.size() != from + 90) Fail("the tuning after a trigger is not 90 messages");
    size_t i = from;
    for (int ch = 0; ch < 16; ++ch) {
        if (ch == 9) continue;
        const uint32_t status = 0xB0u + uint32_t(ch);
        const uint32_t expected[6][2] = {{101, 0}, {100, 1}, {6, 0x40}, {38, 0x00}, {101, 127}, {100, 127}};
        for (const auto& cc : expected) {
            const sim::OutEvent& e = log[i++];
            if (e.kind != sim::Event::Short || e.word != (status | (cc[0] << 8) | (cc[1] << 16)))
                Fail("wrong tuning message");
        }
    }
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

    const bool inspected = message.size() <= size_t(kSysExInspectLimit);
    const std::string text = inspected ? HexText(message) : std::string();
    const bool drop = inspected && TableMatches(g_IgnoreTable, text);
    const bool retune = inspected && TableMatches(g_TriggerTable, text);
    int32_t family = g_SysExFamily;
    if (inspected && text.size() >= 5) {
        const std::string head = text.substr(0, 5);
        if (head == "F0 7E" || head == "F0 7F") family = 0;
        if (head == "F0 41") family = 1;
        if (head == "F0 43") family = 2;
    }

    if (!sim::DeliverSysEx(message)) Fail("the input buffer was not back with the driver");
    sim::Pump();
    sim::CompleteOutput();
    sim::Pump();

    if (inspected && text != g_SysExText) Fail("the text form is not the bytes written out");
    if (g_SysExFamily != family) Fail("wrong SysEx family");
    const std::vector<sim::OutEvent>& log = sim::OutputLog();
    size_t next = 0;
    if (!drop) {
        if (log.empty() || log[0].kind != sim::Event::Long || log[0].data != message)
            Fail("a message that is not dropped must leave unchanged");
        next = 1;
    }
    if (retune) {
        CheckTuning(log, next);
    } else if (log.size() != next) {
        Fail("something unexpected was sent");
    }
    if (sim::QueuedInputBuffers() != 1) Fail("the input buffer is not queued again");
    sim::ClearLogs();  // the input log too: it would grow with every execution
    return 0;
}
