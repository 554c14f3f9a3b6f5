// WinMM ports and timer, message boxes and process services, passed straight through to Windows.
#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/device_name.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"

// The engine hands its headers to the driver as they are, so they must be MIDIHDR to the byte.
static_assert(sizeof(plat::MidiHdr) == sizeof(MIDIHDR));
static_assert(offsetof(plat::MidiHdr, lpData) == offsetof(MIDIHDR, lpData));
static_assert(offsetof(plat::MidiHdr, dwBufferLength) == offsetof(MIDIHDR, dwBufferLength));
static_assert(offsetof(plat::MidiHdr, dwBytesRecorded) == offsetof(MIDIHDR, dwBytesRecorded));
static_assert(offsetof(plat::MidiHdr, dwUser) == offsetof(MIDIHDR, dwUser));
static_assert(offsetof(plat::MidiHdr, dwFlags) == offsetof(MIDIHDR, dwFlags));
static_assert(offsetof(plat::MidiHdr, lpNext) == offsetof(MIDIHDR, lpNext));
static_assert(offsetof(plat::MidiHdr, reserved) == offsetof(MIDIHDR, reserved));
static_assert(offsetof(plat::MidiHdr, dwOffset) == offsetof(MIDIHDR, dwOffset));
static_assert(offsetof(plat::MidiHdr, dwReserved) == offsetof(MIDIHDR, dwReserved));
static_assert(sizeof(plat::TimeCaps) == sizeof(TIMECAPS));

static_assert(plat::kMidiMapper == MIDI_MAPPER);
static_assert(plat::kMmAllocated == MMSYSERR_ALLOCATED && plat::kMmBadDeviceId == MMSYSERR_BADDEVICEID);
static_assert(plat::kMidiErrStillPlaying == MIDIERR_STILLPLAYING &&
              plat::kMidiErrUnprepared == MIDIERR_UNPREPARED);
static_assert(plat::kMimData == MIM_DATA && plat::kMimLongData == MIM_LONGDATA && plat::kMomDone == MOM_DONE);
static_assert(plat::kMhdrDone == MHDR_DONE && plat::kMhdrInQueue == MHDR_INQUEUE);
static_assert(plat::kTimePeriodic == TIME_PERIODIC && plat::kTimeOneShot == TIME_ONESHOT);
static_assert(plat::kMbIconWarning == MB_ICONWARNING && plat::kIdOk == IDOK);

// A port is the driver's handle plus the core's callback; its address is the driver's instance
// value, so the trampolines can find the callback on the driver's thread.
struct plat::MidiInPort {
    HMIDIIN handle = nullptr;
    plat::MidiInCallback callback = nullptr;
    uintptr_t instance = 0;
};

struct plat::MidiOutPort {
    HMIDIOUT handle = nullptr;
    plat::MidiOutCallback callback = nullptr;
    uintptr_t instance = 0;
};

namespace {

void CALLBACK InTrampoline(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    auto* port = reinterpret_cast<plat::MidiInPort*>(instance);
    if (port != nullptr && port->callback != nullptr) port->callback(port, msg, port->instance, p1, p2);
}

void CALLBACK OutTrampoline(HMIDIOUT, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2) {
    auto* port = reinterpret_cast<plat::MidiOutPort*>(instance);
    if (port != nullptr && port->callback != nullptr) port->callback(port, msg, port->instance, p1, p2);
}

MIDIHDR* Hdr(plat::MidiHdr* hdr) { return reinterpret_cast<MIDIHDR*>(hdr); }

template <typename Caps>
uint32_t CopyPname(const Caps& caps, char* name, size_t size) {
    return plat::CopyDeviceName(std::string_view(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname)),
                                name, size);
}

// Timer slots: the core's callback and user value travel through WinMM's user value. A killed
// slot is only marked free, so a tick already on its way still finds code to call.
struct TimerSlot {
    std::atomic<plat::TimerCallback> callback{nullptr};
    std::atomic<uintptr_t> user{0};
    std::atomic<uint32_t> id{0};
};
TimerSlot gTimerSlots[16];

void CALLBACK TimerTrampoline(UINT id, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2) {
    auto* slot = reinterpret_cast<TimerSlot*>(user);
    plat::TimerCallback cb = slot->callback.load(std::memory_order_acquire);
    if (cb != nullptr) cb(id, msg, slot->user.load(std::memory_order_relaxed), dw1, dw2);
}

LARGE_INTEGER QpcFrequency() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
}

LARGE_INTEGER QpcNow() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

const LARGE_INTEGER gQpcFrequency = QpcFrequency();
const LARGE_INTEGER gQpcStart = QpcNow();

}  // namespace

namespace win32 {

std::wstring Widen(const char* text) {
    if (text == nullptr || *text == '\0') return {};
    UINT cp = CP_UTF8;
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) {
        cp = CP_ACP;
        n = MultiByteToWideChar(cp, 0, text, -1, nullptr, 0);
        if (n <= 0) return {};
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(cp, cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, text, -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

}  // namespace win32

namespace plat {

uint32_t MidiInGetNumDevs() { return midiInGetNumDevs(); }
uint32_t MidiOutGetNumDevs() { return midiOutGetNumDevs(); }

uint32_t MidiInGetDevName(uint32_t id, char* name, size_t size) {
    MIDIINCAPSA caps{};
    const MMRESULT r = midiInGetDevCapsA(id, &caps, sizeof caps);
    return r != MMSYSERR_NOERROR ? r : CopyPname(caps, name, size);
}

uint32_t MidiOutGetDevName(uint32_t id, char* name, size_t size) {
    MIDIOUTCAPSA caps{};
    const MMRESULT r = midiOutGetDevCapsA(id, &caps, sizeof caps);
    return r != MMSYSERR_NOERROR ? r : CopyPname(caps, name, size);
}

uint32_t MidiInOpen(HMidiIn* handle, uint32_t id, MidiInCallback callback, uintptr_t instance) {
    *handle = nullptr;
    auto* port = new MidiInPort{nullptr, callback, instance};
    const MMRESULT r = midiInOpen(&port->handle, id, reinterpret_cast<DWORD_PTR>(&InTrampoline),
                                  reinterpret_cast<DWORD_PTR>(port), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        delete port;
        return r;
    }
    *handle = port;
    return r;
}

uint32_t MidiInPrepareHeader(HMidiIn h, MidiHdr* hdr, uint32_t size) {
    return h ? midiInPrepareHeader(h->handle, Hdr(hdr), size) : kMmInvalHandle;
}
uint32_t MidiInUnprepareHeader(HMidiIn h, MidiHdr* hdr, uint32_t size) {
    return h ? midiInUnprepareHeader(h->handle, Hdr(hdr), size) : kMmInvalHandle;
}
uint32_t MidiInAddBuffer(HMidiIn h, MidiHdr* hdr, uint32_t size) {
    return h ? midiInAddBuffer(h->handle, Hdr(hdr), size) : kMmInvalHandle;
}
uint32_t MidiInStart(HMidiIn h) { return h ? midiInStart(h->handle) : kMmInvalHandle; }
uint32_t MidiInStop(HMidiIn h) { return h ? midiInStop(h->handle) : kMmInvalHandle; }
uint32_t MidiInReset(HMidiIn h) { return h ? midiInReset(h->handle) : kMmInvalHandle; }
// WinMM calls back from its own thread with no cycle to write into: input keeps the hand-off.
bool MidiInFastPathOpen(HMidiIn) { return false; }
// WinMM's product names are the ones stored all along.
void MidiTranslateStoredName(bool, std::string&) {}

uint32_t MidiInClose(HMidiIn h) {
    if (h == nullptr) return kMmInvalHandle;
    const MMRESULT r = midiInClose(h->handle);
    // The port stays valid while the driver may still call back with it.
    if (r == MMSYSERR_NOERROR) delete h;
    return r;
}

uint32_t MidiOutOpen(HMidiOut* handle, uint32_t id, MidiOutCallback callback, uintptr_t instance) {
    *handle = nullptr;
    auto* port = new MidiOutPort{nullptr, callback, instance};
    const UINT device = id == kMidiMapper ? MIDI_MAPPER : id;
    const MMRESULT r = midiOutOpen(&port->handle, device, reinterpret_cast<DWORD_PTR>(&OutTrampoline),
                                   reinterpret_cast<DWORD_PTR>(port), CALLBACK_FUNCTION);
    if (r != MMSYSERR_NOERROR) {
        delete port;
        return r;
    }
    *handle = port;
    return r;
}

uint32_t MidiOutShortMsg(HMidiOut h, uint32_t msg) {
    return h ? midiOutShortMsg(h->handle, msg) : kMmInvalHandle;
}
uint32_t MidiOutPrepareHeader(HMidiOut h, MidiHdr* hdr, uint32_t size) {
    return h ? midiOutPrepareHeader(h->handle, Hdr(hdr), size) : kMmInvalHandle;
}
uint32_t MidiOutUnprepareHeader(HMidiOut h, MidiHdr* hdr, uint32_t size) {
    return h ? midiOutUnprepareHeader(h->handle, Hdr(hdr), size) : kMmInvalHandle;
}
uint32_t MidiOutLongMsg(HMidiOut h, MidiHdr* hdr, uint32_t size) {
    return h ? midiOutLongMsg(h->handle, Hdr(hdr), size) : kMmInvalHandle;
}
uint32_t MidiOutReset(HMidiOut h) { return h ? midiOutReset(h->handle) : kMmInvalHandle; }

uint32_t MidiOutClose(HMidiOut h) {
    if (h == nullptr) return kMmInvalHandle;
    const MMRESULT r = midiOutClose(h->handle);
    if (r == MMSYSERR_NOERROR) delete h;
    return r;
}

uint32_t MidiConnect(HMidiIn in, HMidiOut out) {
    if (in == nullptr || out == nullptr) return kMmInvalHandle;
    return midiConnect(reinterpret_cast<HMIDI>(in->handle), out->handle, nullptr);
}

uint32_t MidiDisconnect(HMidiIn in, HMidiOut out) {
    if (in == nullptr || out == nullptr) return kMmInvalHandle;
    return midiDisconnect(reinterpret_cast<HMIDI>(in->handle), out->handle, nullptr);
}

uint32_t TimeGetDevCaps(TimeCaps* caps, uint32_t size) {
    return timeGetDevCaps(reinterpret_cast<TIMECAPS*>(caps), size);
}
uint32_t TimeBeginPeriod(uint32_t period) { return timeBeginPeriod(period); }
uint32_t TimeEndPeriod(uint32_t period) { return timeEndPeriod(period); }

uint32_t TimeSetEvent(uint32_t delay, uint32_t resolution, TimerCallback callback, uintptr_t user,
                      uint32_t flags) {
    if (callback == nullptr) return 0;
    for (TimerSlot& slot : gTimerSlots) {
        TimerCallback expected = nullptr;
        if (!slot.callback.compare_exchange_strong(expected, callback, std::memory_order_acq_rel)) continue;
        slot.user.store(user, std::memory_order_relaxed);
        slot.id.store(0, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        const UINT id = timeSetEvent(delay, resolution, &TimerTrampoline, reinterpret_cast<DWORD_PTR>(&slot),
                                     flags | TIME_CALLBACK_FUNCTION);
        if (id == 0) {
            slot.callback.store(nullptr, std::memory_order_release);
            return 0;
        }
        slot.id.store(id, std::memory_order_release);
        return id;
    }
    return 0;
}

uint32_t TimeKillEvent(uint32_t id) {
    const MMRESULT r = timeKillEvent(id);
    for (TimerSlot& slot : gTimerSlots) {
        if (id != 0 && slot.id.load(std::memory_order_acquire) == id) {
            slot.id.store(0, std::memory_order_relaxed);
            slot.callback.store(nullptr, std::memory_order_release);
        }
    }
    return r;
}

int ShowMessageBox(const char* text, const char* caption, uint32_t style) {
    // The wide call shows non-ASCII text the same whatever the system's code page is.
    return MessageBoxW(nullptr, win32::Widen(text).c_str(), win32::Widen(caption).c_str(), style);
}

uint64_t ClockMs() {
    const LARGE_INTEGER now = QpcNow();
    return static_cast<uint64_t>((now.QuadPart - gQpcStart.QuadPart) * 1000 / gQpcFrequency.QuadPart);
}

void Sleep(uint32_t ms) { ::Sleep(ms); }

void ExitProcess(int status) { ::ExitProcess(static_cast<UINT>(status)); }

}  // namespace plat
