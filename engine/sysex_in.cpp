// Recognition of received SysEx against the Ignore and Trigger tables.
#include <cstdio>
#include <cstring>

#include "engine/engine.h"

namespace {

constexpr uint32_t kHdrSize = sizeof(plat::MidiHdr);

// Compares the shorter of the two lengths; '*' in the pattern matches any one character.
bool Matches(const std::string& pattern, const char* text, size_t textLen) {
    if (pattern.empty()) return false;
    const size_t n = pattern.size() < textLen ? pattern.size() : textLen;
    for (size_t i = 0; i < n; ++i) {
        if (pattern[i] != '*' && pattern[i] != text[i]) return false;
    }
    return true;
}

bool AnyRowMatches(const std::string (&table)[kTableRows], const char* text, size_t textLen) {
    for (const std::string& row : table) {
        if (Matches(row, text, textLen)) return true;
    }
    return false;
}

}  // namespace

void mf_SysExToText() {
    static const char kHex[] = "0123456789ABCDEF";
    const auto* data = reinterpret_cast<const uint8_t*>(g_MidiInHeader->lpData);
    int32_t count = g_SysExLength;
    if (count > kSysExInspectLimit) count = kSysExInspectLimit;
    char* out = g_SysExText;
    for (int32_t i = 0; i < count; ++i) {
        *out++ = kHex[data[i] >> 4];
        *out++ = kHex[data[i] & 0x0F];
        if (i + 1 < count) *out++ = ' ';
    }
    *out = '\0';
}

uint8_t mf_CheckSysEx() {
    g_SysExLength = static_cast<int32_t>(g_MidiInHeader->dwBytesRecorded);
    if (g_SysExLength > kSysExInspectLimit) return 0;
    mf_SysExToText();
    const size_t len = std::strlen(g_SysExText);

    int32_t family = -1;
    if (std::strncmp(g_SysExText, "F0 7E", 5) == 0 || std::strncmp(g_SysExText, "F0 7F", 5) == 0) {
        family = 0;
    } else if (std::strncmp(g_SysExText, "F0 41", 5) == 0) {
        family = 1;
    } else if (std::strncmp(g_SysExText, "F0 43", 5) == 0) {
        family = 2;
    }
    if (family >= 0) {
        if (g_SysExFamily != family) mf_RequestRedraw();
        g_SysExFamily = family;
    }

    uint8_t flags = 0;
    if (AnyRowMatches(g_IgnoreTable, g_SysExText, len)) flags |= kFlagDrop;
    if (AnyRowMatches(g_TriggerTable, g_SysExText, len)) flags |= kFlagRetune;
    return flags;
}

void mf_LongMsgIn(plat::HMidiIn handle, plat::MidiHdr* hdr) {
    if (g_MidiOutHandle == nullptr) {
        // Nowhere to send it. The buffer still goes back to the driver: keeping it would silence
        // every later SysEx until the input is restarted, with nothing to tell the user why.
        plat::MidiInPrepareHeader(handle, hdr, kHdrSize);
        plat::MidiInAddBuffer(handle, hdr, kHdrSize);
        return;
    }
    const uint8_t flags = mf_CheckSysEx();
    if (flags & kFlagDrop) {
        plat::MidiInPrepareHeader(handle, hdr, kHdrSize);
        plat::MidiInAddBuffer(handle, hdr, kHdrSize);
        g_LampDrop = 50;
        mf_PostPaint();
    } else {
        mf_SendSysEx(hdr->lpData, static_cast<uint32_t>(g_SysExLength));
    }
    if (flags & kFlagRetune) {
        plat::Sleep(16);
        mf_SendMasterTune(-1);
    }
    if (!(flags & kFlagDrop)) mf_ArmActivity(g_LampIn);
}
