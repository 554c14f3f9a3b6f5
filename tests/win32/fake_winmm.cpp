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

#include <share.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

enum class LongMode { Done, Never, Block };
constexpr DWORD kNever = 0xFFFFFFFFu;

struct OutDevice {
    std::string name;
    LongMode mode = LongMode::Done;
};

struct InputEvent {
    DWORD ms;
    bool sysex;
    std::vector<BYTE> bytes;
};

// Either side's open port; its address is the handle.
struct Port {
    bool input;
    int device;  // -1: the mapper
    DWORD_PTR callback, instance;
    DWORD flags;
    bool open = true, started = false;
    DWORD startTick = 0;
    std::deque<MIDIHDR*> queue{};                       // input buffers
    std::vector<std::pair<MIDIHDR*, DWORD>> pending{};  // SysEx sends and their due tick, or kNever
    Port* link = nullptr;                               // the output an input is connected to
};

struct Call {
    Port* port;
    UINT msg;
    DWORD_PTR p1 = 0, p2 = 0;
};

struct Timer {
    UINT id, delay;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    UINT flags;
    HANDLE stop, thread;
    DWORD threadId;
};

HMODULE gModule = nullptr;
CRITICAL_SECTION gLock;  // recursive: Log takes it too
DWORD gLoadTick = 0, gEventsBase = 0;
bool gLoaded = false, gEventsScheduled = false;
std::vector<std::string> gIns;
std::vector<OutDevice> gOuts;
OutDevice gMapper{"Microsoft MIDI Mapper", LongMode::Done};
TIMECAPS gCaps{1, 1000000};
std::vector<InputEvent> gEvents;
size_t gNextEvent = 0;
std::vector<Port*> gPorts;  // never freed: a stale handle stays recognisable
HANDLE gWake = nullptr, gWorker = nullptr;
std::vector<Timer*> gTimers;
UINT gNextTimerId = 1;

std::string Beside(const char* file) {
    char path[MAX_PATH];
    std::string dir(path, GetModuleFileNameA(gModule, path, MAX_PATH));
    return dir.substr(0, dir.find_last_of("\\/") + 1) + file;
}

// Each line is flushed at once: tests read the log while the program runs.
void Log(const char* fmt, ...) {
    EnterCriticalSection(&gLock);
    static FILE* log = _fsopen(Beside("winmm-log.txt").c_str(), "ab", _SH_DENYNO);
    va_list args;
    va_start(args, fmt);
    if (log != nullptr) {
        std::fprintf(log, "%lu ", static_cast<unsigned long>(GetTickCount() - gLoadTick));
        std::vfprintf(log, fmt, args);
        std::fputs("\n", log);
        std::fflush(log);
    }
    va_end(args);
    LeaveCriticalSection(&gLock);
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

std::string Name(const Port* p) {
    return p->input        ? "in " + std::to_string(p->device)
           : p->device < 0 ? std::string("out mapper")
                           : "out " + std::to_string(p->device);
}

OutDevice* OutDev(int device) {
    if (device < 0) return &gMapper;
    return static_cast<size_t>(device) < gOuts.size() ? &gOuts[static_cast<size_t>(device)] : nullptr;
}

// The device a WinMM id names, and its name; nullptr: no such device.
int DeviceOf(bool input, UINT_PTR id) {
    return !input && id == MIDI_MAPPER ? -1 : static_cast<int>(std::min<UINT_PTR>(id, 0xFFFF));
}
const std::string* DeviceName(bool input, int device) {
    if (input)
        return device >= 0 && static_cast<size_t>(device) < gIns.size() ? &gIns[size_t(device)] : nullptr;
    const OutDevice* d = OutDev(device);
    return d != nullptr ? &d->name : nullptr;
}

// Reads the script once, under gLock.
void Load() {
    if (gLoaded) return;
    gLoaded = true;
    std::ifstream file(Beside("winmm-script.txt"));
    if (!file) return Log("script missing: no devices");
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream ls(line);
        std::string key, word, rest;
        unsigned a = 0, b = 0;
        if (!(ls >> key) || key[0] == '#') continue;
        if (key == "in" && std::getline(ls >> std::ws, rest)) {
            gIns.push_back(rest);
        } else if (key == "out" && std::getline(ls >> std::ws, rest)) {
            gOuts.push_back({rest});
        } else if (key == "out-long" && ls >> word >> rest) {
            if (OutDevice* d = OutDev(word == "mapper" ? -1 : std::atoi(word.c_str())))
                d->mode = rest == "never"   ? LongMode::Never
                          : rest == "block" ? LongMode::Block
                                            : LongMode::Done;
        } else if (key == "timecaps" && ls >> a >> b) {
            gCaps = {a, b};
        } else if (key == "input" && ls >> a >> word) {
            gEvents.push_back({a, word == "sysex", {}});
            while (ls >> std::hex >> b) gEvents.back().bytes.push_back(static_cast<BYTE>(b));
        } else {
            Log("script line not understood: %s", line.c_str());
        }
    }
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

// Calls back outside the lock, as a driver's thread would.
void Run(const std::vector<Call>& calls) {
    for (const Call& c : calls) {
        const Port* p = c.port;
        if ((p->flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION || p->callback == 0) continue;
        reinterpret_cast<LPDRVCALLBACK>(p->callback)(reinterpret_cast<HDRVR>(c.port), c.msg, p->instance,
                                                     c.p1, c.p2);
    }
}

Port* Valid(bool input, const void* h) {
    for (Port* p : gPorts) {
        if (p == h && p->open && p->input == input) return p;
    }
    return nullptr;
}

// Preparing and unpreparing a header, the same on both sides; not while the driver holds it.
MMRESULT Prepare(bool input, const void* h, LPMIDIHDR hdr, UINT size, bool prepare) {
    Locked lock;
    if (Valid(input, h) == nullptr) return MMSYSERR_INVALHANDLE;
    if (hdr == nullptr || size < sizeof(MIDIHDR) || hdr->lpData == nullptr) return MMSYSERR_INVALPARAM;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = prepare ? hdr->dwFlags | MHDR_PREPARED : hdr->dwFlags & ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

// A header handed to the driver (a buffer added or a SysEx sent) must be prepared and not queued.
MMRESULT Enqueue(LPMIDIHDR hdr, UINT size) {
    if (hdr == nullptr || size < sizeof(MIDIHDR)) return MMSYSERR_INVALPARAM;
    if (!(hdr->dwFlags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    return MMSYSERR_NOERROR;
}

void Done(Port* p, MIDIHDR* hdr, std::vector<Call>& calls) {
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    if (!p->input) Log("%s done", Name(p).c_str());
    calls.push_back({p, p->input ? UINT(MIM_LONGDATA) : UINT(MOM_DONE), reinterpret_cast<DWORD_PTR>(hdr)});
}

void Deliver(const InputEvent& e, std::vector<Call>& calls) {
    Port* in = nullptr;
    for (Port* p : gPorts) {
        if (p->input && p->open && p->started) in = p;
    }
    const std::string hex = Hex(e.bytes.data(), e.bytes.size());
    if (in == nullptr || (e.sysex && in->queue.empty())) {
        Log("input %s dropped: no started input or no buffer", hex.c_str());
        return;
    }
    if (in->link != nullptr)
        Log("%s %s %s (connected)", Name(in->link).c_str(), e.sysex ? "long" : "short", hex.c_str());
    const DWORD stamp = GetTickCount() - in->startTick;
    if (!e.sysex) {
        DWORD word = 0;
        for (size_t i = 0; i < e.bytes.size() && i < 3; ++i) word |= DWORD(e.bytes[i]) << (8 * i);
        calls.push_back({in, MIM_DATA, word, stamp});
        return;
    }
    MIDIHDR* hdr = in->queue.front();
    in->queue.pop_front();
    hdr->dwBytesRecorded = static_cast<DWORD>(std::min<size_t>(e.bytes.size(), hdr->dwBufferLength));
    std::memcpy(hdr->lpData, e.bytes.data(), hdr->dwBytesRecorded);
    Done(in, hdr, calls);
    calls.back().p2 = stamp;
}

// Whether tick `due` has come; if not, shortens the worker's wait to it.
bool Due(DWORD due, DWORD now, DWORD& wait) {
    if (due != kNever && static_cast<LONG>(now - due) >= 0) return true;
    if (due != kNever) wait = std::min<DWORD>(wait, due - now);
    return false;
}

// The driver's own thread: completes SysEx sends and plays the scripted input.
DWORD WINAPI Worker(LPVOID) {
    for (;;) {
        std::vector<Call> calls;
        DWORD wait = INFINITE;
        {
            Locked lock;
            const DWORD now = GetTickCount();
            for (Port* p : gPorts) {
                std::erase_if(p->pending, [&](const auto& e) {
                    if (!Due(e.second, now, wait)) return false;
                    Done(p, e.first, calls);
                    return true;
                });
            }
            while (gEventsScheduled && gNextEvent < gEvents.size() &&
                   Due(gEventsBase + gEvents[gNextEvent].ms, now, wait))
                Deliver(gEvents[gNextEvent++], calls);
        }
        Run(calls);
        if (calls.empty()) WaitForSingleObject(gWake, wait);
    }
}

DWORD WINAPI TimerThread(LPVOID arg) {
    auto* t = static_cast<Timer*>(arg);
    const DWORD start = GetTickCount();
    for (DWORD n = 1;; ++n) {
        // Absolute deadlines, so late ticks do not add up.
        const LONG left = static_cast<LONG>(start + n * t->delay - GetTickCount());
        if (WaitForSingleObject(t->stop, left > 0 ? DWORD(left) : 0) == WAIT_OBJECT_0) return 0;
        t->callback(t->id, 0, t->user, 0, 0);
        if ((t->flags & TIME_PERIODIC) == 0) return 0;
    }
}

template <typename Handle>
MMRESULT Open(bool input, Handle* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    Port* p = nullptr;
    {
        Locked lock;
        *handle = nullptr;
        const int device = DeviceOf(input, id);
        const std::string* name = DeviceName(input, device);
        if (name == nullptr) return MMSYSERR_BADDEVICEID;
        for (Port* q : gPorts) {
            if (q->open && q->input == input && q->device == device) return MMSYSERR_ALLOCATED;
        }
        p = new Port{
            .input = input, .device = device, .callback = callback, .instance = instance, .flags = flags};
        gPorts.push_back(p);
        *handle = reinterpret_cast<Handle>(p);
        if (gWorker == nullptr) gWorker = CreateThread(nullptr, 0, &Worker, nullptr, 0, nullptr);
        Log("%s open \"%s\"", Name(p).c_str(), name->c_str());
    }
    Run({{p, input ? UINT(MIM_OPEN) : UINT(MOM_OPEN)}});
    return MMSYSERR_NOERROR;
}

// Returns every queued header, as done (an input buffer empty).
MMRESULT Reset(bool input, const void* h) {
    std::vector<Call> calls;
    {
        Locked lock;
        Port* p = Valid(input, h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        Log("%s reset", Name(p).c_str());
        p->started = false;
        for (MIDIHDR* hdr : p->queue) {
            hdr->dwBytesRecorded = 0;
            Done(p, hdr, calls);
        }
        for (const auto& e : p->pending) Done(p, e.first, calls);
        p->queue.clear();
        p->pending.clear();
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

MMRESULT Close(bool input, const void* h) {
    Port* p = nullptr;
    {
        Locked lock;
        p = Valid(input, h);
        if (p == nullptr) return MMSYSERR_INVALHANDLE;
        if (!p->queue.empty() || !p->pending.empty()) return MIDIERR_STILLPLAYING;
        p->open = p->started = false;
        p->link = nullptr;
        for (Port* q : gPorts) {
            if (q->link == p) q->link = nullptr;
        }
        Log("%s close", Name(p).c_str());
    }
    Run({{p, input ? UINT(MIM_CLOSE) : UINT(MOM_CLOSE)}});
    return MMSYSERR_NOERROR;
}

UINT NumDevs(bool input) {
    Locked lock;
    return static_cast<UINT>(input ? gIns.size() : gOuts.size());
}

template <typename Caps>
MMRESULT GetCaps(bool input, UINT_PTR id, Caps* caps, UINT size) {
    Locked lock;
    const std::string* name = DeviceName(input, DeviceOf(input, id));
    if (name == nullptr) return MMSYSERR_BADDEVICEID;
    Caps c{};
    std::strncpy(c.szPname, name->c_str(), MAXPNAMELEN - 1);
    std::memcpy(caps, &c, std::min<size_t>(size, sizeof c));
    return MMSYSERR_NOERROR;
}

MMRESULT Link(HMIDI in, HMIDIOUT out, bool connect) {
    Locked lock;
    Port* i = Valid(true, in);
    Port* o = Valid(false, out);
    if (i == nullptr || o == nullptr) return MMSYSERR_INVALHANDLE;
    if (!connect && i->link != o) return MIDIERR_NOTREADY;
    i->link = connect ? o : nullptr;
    Log("%s %s %s", connect ? "connect" : "disconnect", Name(i).c_str(), Name(o).c_str());
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        gModule = module;
        gLoadTick = GetTickCount();
        InitializeCriticalSection(&gLock);
        gWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    return TRUE;
}

// ---- Devices ----------------------------------------------------------------------------------
UINT WINAPI midiInGetNumDevs() { return NumDevs(true); }
UINT WINAPI midiOutGetNumDevs() { return NumDevs(false); }
MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
    return GetCaps(true, id, caps, size);
}
MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    return GetCaps(false, id, caps, size);
}

// ---- Input ------------------------------------------------------------------------------------
MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    return Open(true, handle, id, callback, instance, flags);
}
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN h, LPMIDIHDR hdr, UINT size) {
    return Prepare(true, h, hdr, size, true);
}
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN h, LPMIDIHDR hdr, UINT size) {
    return Prepare(true, h, hdr, size, false);
}

MMRESULT WINAPI midiInAddBuffer(HMIDIIN h, LPMIDIHDR hdr, UINT size) {
    Locked lock;
    Port* p = Valid(true, h);
    const MMRESULT r = p == nullptr ? MMSYSERR_INVALHANDLE : Enqueue(hdr, size);
    if (r != MMSYSERR_NOERROR) return r;
    hdr->dwBytesRecorded = 0;
    p->queue.push_back(hdr);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN h) {
    Locked lock;
    Port* p = Valid(true, h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    p->started = true;
    p->startTick = GetTickCount();
    if (!gEventsScheduled) gEventsBase = p->startTick;
    gEventsScheduled = true;
    Log("%s start", Name(p).c_str());
    SetEvent(gWake);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN h) {
    Locked lock;
    Port* p = Valid(true, h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    p->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN h) { return Reset(true, h); }
MMRESULT WINAPI midiInClose(HMIDIIN h) { return Close(true, h); }

// ---- Output -----------------------------------------------------------------------------------
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
    return Open(false, handle, id, callback, instance, flags);
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT h, DWORD msg) {
    Locked lock;
    const Port* p = Valid(false, h);
    if (p == nullptr) return MMSYSERR_INVALHANDLE;
    Log("%s short %06lX", Name(p).c_str(), static_cast<unsigned long>(msg));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT h, LPMIDIHDR hdr, UINT size) {
    return Prepare(false, h, hdr, size, true);
}
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT h, LPMIDIHDR hdr, UINT size) {
    return Prepare(false, h, hdr, size, false);
}

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT h, LPMIDIHDR hdr, UINT size) {
    {
        Locked lock;
        Port* p = Valid(false, h);
        const MMRESULT r = p == nullptr ? MMSYSERR_INVALHANDLE : Enqueue(hdr, size);
        if (r != MMSYSERR_NOERROR) return r;
        Log("%s long %s", Name(p).c_str(),
            Hex(reinterpret_cast<const BYTE*>(hdr->lpData), hdr->dwBufferLength).c_str());
        const LongMode mode = OutDev(p->device)->mode;
        if (mode != LongMode::Block) {
            p->pending.push_back({hdr, mode == LongMode::Done ? GetTickCount() + 1 : kNever});
            SetEvent(gWake);
            return MMSYSERR_NOERROR;
        }
    }
    for (;;) Sleep(INFINITE);  // a hung driver
}

MMRESULT WINAPI midiOutReset(HMIDIOUT h) { return Reset(false, h); }
MMRESULT WINAPI midiOutClose(HMIDIOUT h) { return Close(false, h); }

MMRESULT WINAPI midiConnect(HMIDI in, HMIDIOUT out, LPVOID) { return Link(in, out, true); }
MMRESULT WINAPI midiDisconnect(HMIDI in, HMIDIOUT out, LPVOID) { return Link(in, out, false); }

// ---- Timer ------------------------------------------------------------------------------------
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size) {
    Locked lock;
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    *caps = gCaps;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
MMRESULT WINAPI timeEndPeriod(UINT) { return TIMERR_NOERROR; }

MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags) {
    if (callback == nullptr || delay == 0 ||
        (flags & (TIME_CALLBACK_EVENT_SET | TIME_CALLBACK_EVENT_PULSE)) != 0)
        return 0;
    Locked lock;
    auto* t =
        new Timer{gNextTimerId++, delay, callback, user, flags, CreateEventA(nullptr, TRUE, FALSE, nullptr),
                  nullptr,        0};
    gTimers.push_back(t);
    t->thread = CreateThread(nullptr, 0, &TimerThread, t, 0, &t->threadId);
    return t->id;
}

MMRESULT WINAPI timeKillEvent(UINT id) {
    Timer* t = nullptr;
    {
        Locked lock;
        const auto it = std::find_if(gTimers.begin(), gTimers.end(), [&](Timer* x) { return x->id == id; });
        if (it == gTimers.end()) return MMSYSERR_INVALPARAM;
        t = *it;
        gTimers.erase(it);
        Log("timer kill id %u", id);
    }
    SetEvent(t->stop);
    // Once this returns the callback is not running any more, unless we are the callback.
    if (GetCurrentThreadId() != t->threadId) WaitForSingleObject(t->thread, INFINITE);
    return TIMERR_NOERROR;
}

DWORD WINAPI timeGetTime() { return GetTickCount(); }
