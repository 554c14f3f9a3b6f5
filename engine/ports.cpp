// The two device catalogues and the life of the one input and the one output port.
#include <cstring>

#include "engine/engine.h"

namespace {

constexpr uint32_t kHdrSize = sizeof(plat::MidiHdr);

plat::MidiHdr* NewHeader(bool clearData) {
    auto* hdr = new plat::MidiHdr{};
    hdr->lpData = clearData ? new char[kSysExBufferSize]{} : new char[kSysExBufferSize];
    return hdr;
}

void FreeHeader(plat::MidiHdr*& hdr) {
    if (hdr == nullptr) return;
    delete[] hdr->lpData;
    delete hdr;
    hdr = nullptr;
}

// Lowest row whose name equals `name` byte for byte, or -1.
int FindRow(const MidiCaps* caps, int count, const std::string& name) {
    for (int row = 0; row < count; ++row) {
        if (name == caps[row].szPname) return row;
    }
    return -1;
}

// Up to `len` characters of `s` from `pos`; empty when `pos` lies beyond the end.
std::string_view Piece(std::string_view s, size_t pos, size_t len) {
    return pos >= s.size() ? std::string_view{} : s.substr(pos, len);
}

}  // namespace

bool mf_IsCable(const char* in, const char* out, bool fixedIsInput) {
    const std::string_view i(in), o(out);
    const std::string_view fixed = fixedIsInput ? i : o;
    // MIDI Yoke names its ends "…MIDI Yoke:  N" with the number one position further on the
    // input side; loopMIDI gives both ends the same name.
    if (fixed.find("MIDI Yoke:") != std::string_view::npos && Piece(i, 8, 13) == Piece(o, 7, 13)) return true;
    return fixed.find("loopMIDI Port") != std::string_view::npos && i == o;
}

void mf_MidiInEnumerate() {
    std::memset(g_MidiInCaps, 0, sizeof g_MidiInCaps);
    const uint32_t n = plat::MidiInGetNumDevs();
    if (n == 0) {
        // Every input is gone: stop holding a handle to a device that no longer exists, and close
        // it properly so that connection thru ends with it.
        mf_MidiInClose();
        g_MidiInHandle = nullptr;
        g_MidiInCount = 0;
        g_MidiInDevice = -1;
        g_MidiInDeviceName.clear();
        return;
    }
    g_MidiInCount = static_cast<int32_t>(n < kMaxCatalogRows ? n : kMaxCatalogRows);
    for (int k = 0; k < g_MidiInCount; ++k) {
        plat::MidiInGetDevName(static_cast<uint32_t>(k), g_MidiInCaps[k].szPname,
                               sizeof g_MidiInCaps[k].szPname);
    }
}

void mf_MidiOutEnumerate() {
    std::memset(g_MidiOutCaps, 0, sizeof g_MidiOutCaps);
    std::strcpy(g_MidiOutCaps[0].szPname, kMapperName);
    const uint32_t n = plat::MidiOutGetNumDevs();
    g_MidiOutCount = static_cast<int32_t>(n + 1 < kMaxCatalogRows ? n + 1 : kMaxCatalogRows);
    for (int k = 1; k < g_MidiOutCount; ++k) {
        plat::MidiOutGetDevName(static_cast<uint32_t>(k - 1), g_MidiOutCaps[k].szPname,
                                sizeof g_MidiOutCaps[k].szPname);
    }
}

void mf_DeviceInitialize() {
    mf_MidiInEnumerate();
    if (g_MidiInHeader == nullptr) g_MidiInHeader = NewHeader(true);
    g_MidiInHeader->dwBufferLength = kSysExBufferSize;
    if (g_MidiInCount > 0) {
        const int row = FindRow(g_MidiInCaps, g_MidiInCount, g_MidiInDeviceName);
        if (row >= 0) {
            g_MidiInDevice = row;
        } else {
            // A stored name that is missing or empty: the first input takes its place.
            g_MidiInDevice = 0;
            g_MidiInDeviceName = g_MidiInCaps[0].szPname;
        }
        mf_MidiInOpen(g_MidiInDevice);
    } else {
        g_MidiInDeviceName.clear();
    }

    mf_MidiOutEnumerate();
    if (g_MidiOutHeader == nullptr) g_MidiOutHeader = NewHeader(false);
    const int row = FindRow(g_MidiOutCaps, g_MidiOutCount, g_MidiOutDeviceName);
    if (row < 0 || mf_IsCable(g_MidiInDeviceName.c_str(), g_MidiOutCaps[row].szPname, true)) {
        g_MidiOutDevice = 0;
        g_MidiOutDeviceName = kMapperName;
    } else {
        g_MidiOutDevice = row;
    }
    if (mf_MidiOutOpen(g_MidiOutDevice) != plat::kMmNoError) {
        g_MidiOutDevice = 0;
        g_MidiOutDeviceName = kMapperName;
        mf_MidiOutOpen(0);
    }
}

uint32_t mf_MidiInOpen(int32_t row) {
    const uint32_t result = plat::MidiInOpen(&g_MidiInHandle, static_cast<uint32_t>(row), MidiInProc, 0);
    if (result == plat::kMmNoError) return result;
    {
        const CLetGo modal;  // the box's loop dispatches other actions
        plat::ShowMessageBox(result == plat::kMmAllocated
                                 ? "The specified MIDI input device is already in use by another application."
                                 : "The specified MIDI input device can not be used",
                             "Korvane", plat::kMbOk);
    }
    g_MidiInDeviceName.clear();
    g_MidiInHandle = nullptr;
    return result;
}

void mf_MidiInStart() {
    if (g_MidiInHandle == nullptr) return;
    g_LongInKept = 0;  // the buffer goes to the driver here
    plat::MidiInPrepareHeader(g_MidiInHandle, g_MidiInHeader, kHdrSize);
    plat::MidiInAddBuffer(g_MidiInHandle, g_MidiInHeader, kHdrSize);
    plat::MidiInStart(g_MidiInHandle);
}

void mf_MidiInClose() {
    if (g_MidiInHandle == nullptr) return;
    if (g_ThruConnect != 0) {
        mf_ThruConnect(0);
        g_ThruConnect = 0;
    }
    plat::MidiInStop(g_MidiInHandle);
    plat::MidiInReset(g_MidiInHandle);
    g_LongInKept = 0;  // a kept buffer belongs to this port, which no longer takes it
    plat::MidiInUnprepareHeader(g_MidiInHandle, g_MidiInHeader, kHdrSize);
    mf_AllNotesOff();
    mf_AllSoundOff();
    plat::MidiInClose(g_MidiInHandle);
    g_MidiInHandle = nullptr;
    g_MidiInDevice = -1;
}

void mf_MidiOutGreet() {
    // Bring the instruments to a known state, then tune them.
    mf_AllNotesOff();
    mf_AllSoundOff();
    mf_ResetAllControllers();
    plat::Sleep(16);
    mf_SendMasterTune(-1);
}

// A device that comes back has forgotten its state and its tuning: it is greeted as on opening.
void OnMidiOutBack(uintptr_t wParam, intptr_t) {
    if (reinterpret_cast<plat::HMidiOut>(wParam) != g_MidiOutHandle) return;
    mf_MidiOutGreet();
}

// The notes its device started can no longer end by themselves.
void OnMidiInGone(uintptr_t wParam, intptr_t) {
    if (reinterpret_cast<plat::HMidiIn>(wParam) != g_MidiInHandle) return;
    mf_AllNotesOff();
    mf_AllSoundOff();
}

uint32_t mf_MidiOutOpen(int32_t row) {
    if (g_MidiOutHandle != nullptr) plat::MidiOutUnprepareHeader(g_MidiOutHandle, g_MidiOutHeader, kHdrSize);
    g_OutputDone = 1;
    g_MidiOutDeviceName = (row >= 0 && row < kMaxCatalogRows) ? g_MidiOutCaps[row].szPname : "";
    const uint32_t id = row == 0 ? plat::kMidiMapper : static_cast<uint32_t>(row - 1);
    const uint32_t result = plat::MidiOutOpen(&g_MidiOutHandle, id, MidiOutProc, 0);
    if (result == plat::kMmNoError) {
        mf_MidiOutGreet();
        return result;
    }
    {
        const CLetGo modal;  // the box's loop dispatches other actions
        plat::ShowMessageBox(
            result == plat::kMmAllocated
                ? "The specified MIDI output device is already in use by another application."
                : "The specified MIDI output device can not be used",
            "Korvane", plat::kMbOk);
    }
    g_MidiOutDeviceName.clear();
    g_MidiOutHandle = nullptr;
    return result;
}

void mf_MidiOutClose() {
    if (g_MidiOutHandle == nullptr) return;
    if (g_ThruConnect != 0) {
        mf_ThruConnect(0);
        g_ThruConnect = 0;
    }
    mf_ResetAllControllers();
    plat::Sleep(16);
    mf_AllNotesOff();
    mf_AllSoundOff();
    plat::MidiOutReset(g_MidiOutHandle);
    plat::Sleep(16);
    plat::MidiOutUnprepareHeader(g_MidiOutHandle, g_MidiOutHeader, kHdrSize);
    plat::MidiOutClose(g_MidiOutHandle);
    plat::Sleep(16);
    g_OutputDone = 1;
    g_MidiOutDevice = -1;
    g_MidiOutHandle = nullptr;
    plat::Sleep(16);
}

void mf_MidiInSwitch(int32_t row) {
    mf_MidiInClose();
    g_MidiInDevice = row;
    g_MidiInDeviceName = (row >= 0 && row < kMaxCatalogRows) ? g_MidiInCaps[row].szPname : "";
    mf_MidiInOpen(row);
    mf_MidiInStart();
}

void mf_MidiOutSwitch(int32_t row) {
    mf_MidiOutClose();
    g_MidiOutDevice = row;
    g_MidiOutDeviceName = (row >= 0 && row < kMaxCatalogRows) ? g_MidiOutCaps[row].szPname : "";
    mf_MidiOutOpen(row);
    // Survives only when no output was open before (the close step ends it otherwise).
    if (g_ThruConnect == 1) mf_ThruConnect(1);
}

void mf_DeviceClose() {
    if (g_MidiInHandle != nullptr) {
        mf_MidiInClose();
        FreeHeader(g_MidiInHeader);
    }
    if (g_MidiOutHandle != nullptr) {
        mf_MidiOutClose();
        FreeHeader(g_MidiOutHeader);
    }
}
