// A stand-in winmm.dll for tests under Wine, which has no MIDI devices here. It offers the devices
// a script names, behaves like a driver (callbacks on its own thread, headers returned on reset,
// "still playing" while a header is queued) and writes everything sent to it into a log.
//
// Both files sit next to the DLL: "winmm-script.txt" (read once) and "winmm-log.txt" (appended).
// Script lines ('#' starts a comment):
//   in NAME                      an input device (ids in order of appearance)
//   out NAME                     an output device
//   out-long ID|mapper MODE      SysEx completion: done (MOM_DONE after 1 ms, the default),
//                                never (only a reset returns the header), block (the send never returns)
//   timecaps MIN MAX             what timeGetDevCaps reports (default 1 1000000)
//   input MS short|sysex HEX...  delivered MS ms after the first midiInStart to the open input
// Log lines: "<ms> <what>", ms since the DLL was loaded; ports are "in N", "out N" or "out mapper".
#define _WINMM_
#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
// clang-format off
#include <windows.h>
#include <mmsystem.h>  // needs windows.h first
// clang-format on

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

enum class LongMode { Done, Never, Block };
constexpr DWORD kNever = 0xFFFFFFFFu;

struct OutDevice {
    std::string name;
    LongMode mode = LongMode::Done;
};

struct InDevice {
    std::string name;
};

struct InputEvent {
    DWORD ms;
    bool sysex;
    std::vector<BYTE> bytes;
};

struct OutPort;

struct InPort {
    int device = 0;
    bool open = false;
    bool started = false;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    DWORD flags = 0;
    DWORD startTick = 0;
    std::deque<MIDIHDR*> queue;
    OutPort* link = nullptr;
};

struct OutPort {
    int device = 0;  // -1: the mapper
    bool open = false;
    DWORD_PTR callback = 0;
    DWORD_PTR instance = 0;
    DWORD flags = 0;
    struct Pending {
        MIDIHDR* hdr;
        DWORD due;  // tick, or kNever
    };
    std::vector<Pending> pending;
};

struct Call {
    bool input;
    void* handle;
    DWORD_PTR callback;
    DWORD flags;
    UINT msg;
    DWORD_PTR instance, p1, p2;
};

struct Timer {
    UINT id;
    UINT delay;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    UINT flags;
    HANDLE stop;
    HANDLE thread;
    DWORD threadId;
};

HMODULE gModule = nullptr;
CRITICAL_SECTION gLock;
CRITICAL_SECTION gLogLock;
DWORD gLoadTick = 0;
bool gLoaded = false;
std::vector<InDevice> gIns;
std::vector<OutDevice> gOuts;
OutDevice gMapper{"Microsoft MIDI Mapper", LongMode::Done};
TIMECAPS gCaps{1, 1000000};
std::vector<InputEvent> gEvents;
bool gEventsScheduled = false;
DWORD gEventsBase = 0;
size_t gNextEvent = 0;
std::vector<InPort*> gInPorts;  // never freed: a stale handle stays recognisable
std::vector<OutPort*> gOutPorts;
HANDLE gWake = nullptr;
HANDLE gWorker = nullptr;
std::vector<Timer*> gTimers;
UINT gNextTimerId = 1;
HANDLE gLog = INVALID_HANDLE_VALUE;

std::string Beside(const char* file) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(gModule, path, MAX_PATH);
    std::string dir(path, n);
    const size_t slash = dir.find_last_of("\\/");
    dir = slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
    return dir + file;
}

void Log(const char* fmt, ...) {
    char line[8192];
    int n = std::snprintf(line, sizeof line, "%lu ", static_cast<unsigned long>(GetTickCount() - gLoadTick));
    va_list args;
    va_start(args, fmt);
    const int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, args);
    va_end(args);
    n += m < 0 ? 0 : std::min(m, static_cast<int>(sizeof line) - n - 2);
    line[n++] = '\n';
    EnterCriticalSection(&gLogLock);
    if (gLog == INVALID_HANDLE_VALUE) {
        gLog =
            CreateFileA(Beside("winmm-log.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    DWORD written = 0;
    if (gLog != INVALID_HANDLE_VALUE) WriteFile(gLog, line, static_cast<DWORD>(n), &written, nullptr);
    LeaveCriticalSection(&gLogLock);
}

std::string Hex(const BYTE* data, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

std::string OutName(const OutPort* p) {
    return p->device < 0 ? std::string("out mapper") : "out " + std::to_string(p->device);
}

std::vector<BYTE> ParseHex(const char* s) {
    std::vector<BYTE> bytes;
    unsigned v = 0;
    int consumed = 0;
    while (std::sscanf(s, "%x%n", &v, &consumed) == 1) {
        bytes.push_back(static_cast<BYTE>(v));
        s += consumed;
    }
    return bytes;
}

int DeviceArg(const char* s) { return std::strncmp(s, "mapper", 6) == 0 ? -1 : std::atoi(s); }

OutDevice* OutDev(int device) {
    if (device < 0) return &gMapper;
    return static_cast<size_t>(device) < gOuts.size() ? &gOuts[static_cast<size_t>(device)] : nullptr;
}

// Reads the script once, under gLock.
void Load() {
    if (gLoaded) return;
    gLoaded = true;
    FILE* f = std::fopen(Beside("winmm-script.txt").c_str(), "r");
    if (f == nullptr) {
        Log("script missing: no devices");
        return;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (s.empty() || s[0] == '#') continue;
        const size_t sp = s.find(' ');
        const std::string key = s.substr(0, sp);
        const std::string rest = sp == std::string::npos ? std::string() : s.substr(sp + 1);
        char word[64] = {};
        unsigned a = 0, b = 0;
        if (key == "in") {
            gIns.push_back({rest});
        } else if (key == "out") {
            gOuts.push_back({rest});
        } else if (key == "out-long" && std::sscanf(rest.c_str(), "%63s", word) == 1) {
            const std::string mode = rest.substr(rest.find(' ') + 1);
            if (OutDevice* d = OutDev(DeviceArg(word))) {
                d->mode = mode == "never"   ? LongMode::Never
                          : mode == "block" ? LongMode::Block
                                            : LongMode::Done;
            }
        } else if (key == "timecaps" && std::sscanf(rest.c_str(), "%u %u", &a, &b) == 2) {
            gCaps.wPeriodMin = a;
            gCaps.wPeriodMax = b;
        } else if (key == "input" && std::sscanf(rest.c_str(), "%u %63s", &a, word) == 2) {
            const size_t at = rest.find(word) + std::strlen(word);
            gEvents.push_back({a, std::strcmp(word, "sysex") == 0, ParseHex(rest.c_str() + at)});
        } else {
            Log("script line not understood: %s", s.c_str());
        }
    }
    std::fclose(f);
    Log("script: %u inputs, %u outputs, %u input events", static_cast<unsigned>(gIns.size()),
        static_cast<unsigned>(gOuts.size()), static_cast<unsigned>(gEvents.size()));
}

struct Locked {
    Locked() {
        EnterCriticalSection(&gLock);
        Load();
    }
    ~Locked() { LeaveCriticalSection(&gLock); }
};

void Run(const std::vector<Call>& calls) {
    for (const Call& c : calls) {
        if ((c.flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION || c.callback == 0) continue;
        reinterpret_cast<LPDRVCALLBACK>(c.callback)(static_cast<HDRVR>(c.handle), c.msg, c.instance, c.p1,
                                                    c.p2);
    }
}

Call InCall(InPort* p, UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0) {
    return {true, p, p->callback, p->flags, msg, p->instance, p1, p2};
}
Call OutCall(OutPort* p, UINT msg, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0) {
    return {false, p, p->callback, p->flags, msg, p->instance, p1, p2};
}

InPort* ValidIn(HMIDIIN h) {
    for (InPort* p : gInPorts) {
        if (p == reinterpret_cast<InPort*>(h) && p->open) return p;
    }
    return nullptr;
}

OutPort* ValidOut(HMIDIOUT h) {
    for (OutPort* p : gOutPorts) {
        if (p == reinterpret_cast<OutPort*>(h) && p->open) return p;
    }
    return nullptr;
}

// Preparing and unpreparing a header, the same on both sides; `valid`: the handle is open.
MMRESULT Prepare(bool valid, LPMIDIHDR hdr, UINT size) {
    if (!valid) return MMSYSERR_INVALHANDLE;
    if (hdr == nullptr || size < sizeof(MIDIHDR) || hdr->lpData == nullptr) return MMSYSERR_INVALPARAM;
    hdr->dwFlags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT Unprepare(bool valid, LPMIDIHDR hdr, UINT size) {
    if (!valid) return MMSYSERR_INVALHANDLE;
    if (hdr == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

void Finish(OutPort* p, MIDIHDR* hdr, std::vector<Call>& calls) {
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    Log("%s done", OutName(p).c_str());
    calls.push_back(OutCall(p, MOM_DONE, reinterpret_cast<DWORD_PTR>(hdr)));
}

void Forward(InPort* in, const InputEvent& e) {
    if (in->link == nullptr) return;
    if (e.sysex) {
        Log("%s long %s (connected)", OutName(in->link).c_str(), Hex(e.bytes.data(), e.bytes.size()).c_str());
    } else {
        Log("%s short %s (connected)", OutName(in->link).c_str(),
            Hex(e.bytes.data(), e.bytes.size()).c_str());
    }
}

void Deliver(const InputEvent& e, std::vector<Call>& calls) {
    InPort* in = nullptr;
    for (InPort* p : gInPorts) {
        if (p->open && p->started) in = p;
    }
    if (in == nullptr) {
        Log("input %s dropped: no started input", Hex(e.bytes.data(), e.bytes.size()).c_str());
        return;
    }
    const DWORD stamp = GetTickCount() - in->startTick;
    if (!e.sysex) {
        DWORD word = 0;
        for (size_t i = 0; i < e.bytes.size() && i < 3; ++i) word |= DWORD(e.bytes[i]) << (8 * i);
        Log("in %d data %06lX", in->device, static_cast<unsigned long>(word));
        Forward(in, e);
        calls.push_back(InCall(in, MIM_DATA, word, stamp));
        return;
    }
    if (in->queue.empty()) {
        Log("in %d sysex dropped: no buffer", in->device);
        return;
    }
    MIDIHDR* hdr = in->queue.front();
    in->queue.pop_front();
    const size_t n = std::min<size_t>(e.bytes.size(), hdr->dwBufferLength);
    std::memcpy(hdr->lpData, e.bytes.data(), n);
    hdr->dwBytesRecorded = static_cast<DWORD>(n);
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    Log("in %d sysex %s", in->device, Hex(e.bytes.data(), n).c_str());
    Forward(in, e);
    calls.push_back(InCall(in, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(hdr), stamp));
}

// The driver's own thread: completes SysEx sends and plays the scripted input.
DWORD WINAPI Worker(LPVOID) {
    for (;;) {
        std::vector<Call> calls;
        DWORD wait = INFINITE;
        {
            Locked lock;
            const DWORD now = GetTickCount();
            for (OutPort* p : gOutPorts) {
                for (size_t i = 0; i < p->pending.size();) {
                    const DWORD due = p->pending[i].due;
                    if (due != kNever && static_cast<LONG>(now - due) >= 0) {
                        MIDIHDR* hdr = p->pending[i].hdr;
                        p->pending.erase(p->pending.begin() + static_cast<long>(i));
                        Finish(p, hdr, calls);
                    } else {
                        if (due != kNever) wait = std::min<DWORD>(wait, due - now);
                        ++i;
                    }
                }
            }
            while (gEventsScheduled && gNextEvent < gEvents.size()) {
                const DWORD due = gEventsBase + gEvents[gNextEvent].ms;
                if (static_cast<LONG>(now - due) < 0) {
                    wait = std::min<DWORD>(wait, due - now);
                    break;
                }
                Deliver(gEvents[gNextEvent++], calls);
            }
        }
        Run(calls);
        if (calls.empty()) WaitForSingleObject(gWake, wait);
    }
}

void EnsureWorker() {
    if (gWorker == nullptr) gWorker = CreateThread(nullptr, 0, &Worker, nullptr, 0, nullptr);
}

DWORD WINAPI TimerThread(LPVOID arg) {
    auto* t = static_cast<Timer*>(arg);
    LARGE_INTEGER freq, start, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    for (uint64_t n = 1;; ++n) {
        // Absolute deadlines, so late ticks do not add up.
        QueryPerformanceCounter(&now);
        const int64_t dueMs = static_cast<int64_t>(n) * t->delay;
        const int64_t elapsedMs = (now.QuadPart - start.QuadPart) * 1000 / freq.QuadPart;
        const DWORD wait = dueMs > elapsedMs ? static_cast<DWORD>(dueMs - elapsedMs) : 0;
        if (WaitForSingleObject(t->stop, wait) == WAIT_OBJECT_0) return 0;
        t->callback(t->id, 0, t->user, 0, 0);
        if ((t->flags & TIME_PERIODIC) == 0) return 0;
    }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = module;
        gLoadTick = GetTickCount();
        InitializeCriticalSection(&gLock);
        InitializeCriticalSection(&gLogLock);
        gWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    return TRUE;
}

// ---- Devices ----------------------------------------------------------------------------------
UINT WINAPI midiInGetNumDevs() {
    Locked lock;
    return static_cast<UINT>(gIns.size());
}

UINT WINAPI midiOutGetNumDevs() {
    Locked lock;
    return static_cast<UINT>(gOuts.size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
    Locked lock;
    if (id >= gIns.size()) return MMSYSERR_BADDEVICEID;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    MIDIINCAPSA c{};
    c.wMid = 0xFF;
    c.wPid = static_cast<WORD>(id);
    std::strncpy(c.szPname, gIns[id].name.c_str(), MAXPNAMELEN - 1);
    std::memcpy(caps, &c, std::min<size_t>(size, sizeof c));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    Locked lock;
    const OutDevice* d = id == static_cast<UINT_PTR>(-1) || id == MIDI_MAPPER ? &gMapper
                         : id < gOuts.size()                                  ? &gOuts[id]
                                                                              : nullptr;
    if (d == nullptr) return MMSYSERR_BADDEVICEID;
    if (caps == nullptr) return MMSYSERR_INVALPARAM;
    MIDIOUTCAPSA c{};
    c.wMid = 0xFF;
    c.wTechnology = MOD_MIDIPORT;
    c.wChannelMask = 0xFFFF;
    std::strncpy(c.szPname, d->name.c_str(), MAXPNAMELEN - 1);
    std::memcpy(caps, &c, std::min<size_t>(size, sizeof c));
    return MMSYSERR_NOERROR;
}

// ---- Input ------------------------------------------------------------------------------------
MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    std::vector<Call> calls;
    MMRESULT r = MMSYSERR_NOERROR;
    {
        Locked lock;
        if (handle == nullptr) return MMSYSERR_INVALPARAM;
        *handle = nullptr;
        if (id >= gIns.size()) {
            r = MMSYSERR_BADDEVICEID;
        } else {
            for (InPort* p : gInPorts) {
                if (p->open && p->device == static_cast<int>(id)) r = MMSYSERR_ALLOCATED;
            }
        }
        if (r != MMSYSERR_NOERROR) {
            Log("in %u open failed %u", id, r);
            return r;
        }
        auto* p = new InPort;
        p->device = static_cast<int>(id);
        p->open = true;
        p->callback = callback;
        p->instance = instance;
        p->flags = flags;
        gInPorts.push_back(p);
        *handle = reinterpret_cast<HMIDIIN>(p);
        EnsureWorker();
        Log("in %u open \"%s\"", id, gIns[id].name.c_str());
        calls.push_back(InCall(p, MIM_OPEN));
    }
    Run(calls);
    return r;
}

MMRESULT WINAPI midiInPrepareHeader(HMIDIIN h, LPMIDIHDR hdr, UINT size) {
    Locked lock;
    return Prepare(ValidIn(h) != nullptr, hdr, size);
}

MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN h, LPMIDIHDR hdr, UINT size) {
    Locked lock;
    return Unprepare(ValidIn(h) != nullptr, hdr, size);
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN h, LPMIDIHDR hdr, UINT size) {
    Locked lock;
    InPort* p = ValidIn(h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    if (hdr == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    hdr->dwBytesRecorded = 0;
    p->queue.push_back(hdr);
    Log("in %d buffer %lu", p->device, static_cast<unsigned long>(hdr->dwBufferLength));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN h) {
    Locked lock;
    InPort* p = ValidIn(h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    p->started = true;
    p->startTick = GetTickCount();
    if (!gEventsScheduled) {
        gEventsScheduled = true;
        gEventsBase = p->startTick;
    }
    Log("in %d start", p->device);
    SetEvent(gWake);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN h) {
    Locked lock;
    InPort* p = ValidIn(h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    p->started = false;
    Log("in %d stop", p->device);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN h) {
    std::vector<Call> calls;
    {
        Locked lock;
        InPort* p = ValidIn(h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        p->started = false;
        Log("in %d reset, %u buffers back", p->device, static_cast<unsigned>(p->queue.size()));
        for (MIDIHDR* hdr : p->queue) {
            hdr->dwBytesRecorded = 0;
            hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
            calls.push_back(InCall(p, MIM_LONGDATA, reinterpret_cast<DWORD_PTR>(hdr)));
        }
        p->queue.clear();
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN h) {
    std::vector<Call> calls;
    {
        Locked lock;
        InPort* p = ValidIn(h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        if (!p->queue.empty()) return MIDIERR_STILLPLAYING;
        p->open = false;
        p->started = false;
        p->link = nullptr;
        Log("in %d close", p->device);
        calls.push_back(InCall(p, MIM_CLOSE));
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

// ---- Output -----------------------------------------------------------------------------------
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    std::vector<Call> calls;
    {
        Locked lock;
        if (handle == nullptr) return MMSYSERR_INVALPARAM;
        *handle = nullptr;
        const int device = id == MIDI_MAPPER ? -1 : static_cast<int>(id);
        const OutDevice* d = OutDev(device);
        MMRESULT r = d == nullptr ? MMSYSERR_BADDEVICEID : MMSYSERR_NOERROR;
        for (OutPort* p : gOutPorts) {
            if (r == MMSYSERR_NOERROR && p->open && p->device == device) r = MMSYSERR_ALLOCATED;
        }
        if (r != MMSYSERR_NOERROR) {
            Log("%s open failed %u", device < 0 ? "out mapper" : ("out " + std::to_string(id)).c_str(), r);
            return r;
        }
        auto* p = new OutPort;
        p->device = device;
        p->open = true;
        p->callback = callback;
        p->instance = instance;
        p->flags = flags;
        gOutPorts.push_back(p);
        *handle = reinterpret_cast<HMIDIOUT>(p);
        EnsureWorker();
        Log("%s open \"%s\"", OutName(p).c_str(), d->name.c_str());
        calls.push_back(OutCall(p, MOM_OPEN));
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT h, DWORD msg) {
    Locked lock;
    OutPort* p = ValidOut(h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    Log("%s short %06lX", OutName(p).c_str(), static_cast<unsigned long>(msg));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT h, LPMIDIHDR hdr, UINT size) {
    Locked lock;
    return Prepare(ValidOut(h) != nullptr, hdr, size);
}

MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT h, LPMIDIHDR hdr, UINT size) {
    Locked lock;
    return Unprepare(ValidOut(h) != nullptr, hdr, size);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT h, LPMIDIHDR hdr, UINT size) {
    LongMode mode;
    {
        Locked lock;
        OutPort* p = ValidOut(h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        if (hdr == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
        if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
        if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
        Log("%s long %s", OutName(p).c_str(),
            Hex(reinterpret_cast<const BYTE*>(hdr->lpData), hdr->dwBufferLength).c_str());
        hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
        mode = OutDev(p->device)->mode;
        if (mode != LongMode::Block) {
            p->pending.push_back({hdr, mode == LongMode::Done ? GetTickCount() + 1 : kNever});
            SetEvent(gWake);
        }
    }
    if (mode == LongMode::Block) {
        Log("blocking in the send");
        for (;;) Sleep(INFINITE);  // a hung driver
    }
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutReset(HMIDIOUT h) {
    std::vector<Call> calls;
    {
        Locked lock;
        OutPort* p = ValidOut(h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        Log("%s reset", OutName(p).c_str());
        auto pending = std::move(p->pending);
        p->pending.clear();
        for (auto& e : pending) Finish(p, e.hdr, calls);
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT h) {
    std::vector<Call> calls;
    {
        Locked lock;
        OutPort* p = ValidOut(h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        if (!p->pending.empty()) {
            Log("%s close refused: still playing", OutName(p).c_str());
            return MIDIERR_STILLPLAYING;
        }
        p->open = false;
        for (InPort* in : gInPorts) {
            if (in->link == p) in->link = nullptr;
        }
        Log("%s close", OutName(p).c_str());
        calls.push_back(OutCall(p, MOM_CLOSE));
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiConnect(HMIDI in, HMIDIOUT out, LPVOID) {
    Locked lock;
    InPort* i = ValidIn(reinterpret_cast<HMIDIIN>(in));
    OutPort* o = ValidOut(out);
    if (i == nullptr || o == nullptr) return MMSYSERR_INVALHANDLE;
    i->link = o;
    Log("connect in %d %s", i->device, OutName(o).c_str());
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiDisconnect(HMIDI in, HMIDIOUT out, LPVOID) {
    Locked lock;
    InPort* i = ValidIn(reinterpret_cast<HMIDIIN>(in));
    OutPort* o = ValidOut(out);
    if (i == nullptr || o == nullptr) return MMSYSERR_INVALHANDLE;
    if (i->link != o) return MIDIERR_NOTREADY;
    i->link = nullptr;
    Log("disconnect in %d %s", i->device, OutName(o).c_str());
    return MMSYSERR_NOERROR;
}

// ---- Timer ------------------------------------------------------------------------------------
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size) {
    Locked lock;
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    *caps = gCaps;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT period) {
    Log("timer begin period %u", period);
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeEndPeriod(UINT period) {
    Log("timer end period %u", period);
    return TIMERR_NOERROR;
}

MMRESULT WINAPI timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback, DWORD_PTR user,
                             UINT flags) {
    if (callback == nullptr || delay == 0 ||
        (flags & (TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE)) != 0)
        return 0;
    Locked lock;
    auto* t =
        new Timer{gNextTimerId++, delay, callback, user, flags, CreateEventA(nullptr, TRUE, FALSE, nullptr),
                  nullptr,        0};
    gTimers.push_back(t);
    t->thread = CreateThread(nullptr, 0, &TimerThread, t, 0, &t->threadId);
    Log("timer set %u ms resolution %u %s id %u", delay, resolution,
        (flags & TIME_PERIODIC) ? "periodic" : "one-shot", t->id);
    return t->id;
}

MMRESULT WINAPI timeKillEvent(UINT id) {
    Timer* t = nullptr;
    {
        Locked lock;
        for (size_t i = 0; i < gTimers.size(); ++i) {
            if (gTimers[i]->id == id) {
                t = gTimers[i];
                gTimers.erase(gTimers.begin() + static_cast<long>(i));
                break;
            }
        }
        if (t == nullptr) return MMSYSERR_INVALPARAM;
        Log("timer kill id %u", id);
    }
    SetEvent(t->stop);
    // Once this returns the callback is not running any more, unless we are the callback.
    if (GetCurrentThreadId() != t->threadId) WaitForSingleObject(t->thread, INFINITE);
    return TIMERR_NOERROR;
}

DWORD WINAPI timeGetTime() { return GetTickCount(); }
