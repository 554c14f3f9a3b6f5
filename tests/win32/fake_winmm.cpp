// A stand-in winmm.dll for tests under Wine, which has no MIDI devices here: one input, "E2E
// Keyboard", that plays a note and a GM reset when it is first started, and one output, "E2E
// Synth". It calls back on a thread of its own as a driver does (input, SysEx sent, headers
// returned on reset) and appends what reaches it to "winmm-log.txt" in the working folder, a port
// being "in 0" or "out 0" there. With KVN_STAND_IN_HANGS set, a SysEx send never returns.
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
#include <string>
#include <vector>

namespace {

// Either side's open port; its address is the handle.
struct Port {
    bool input;
    DWORD_PTR callback, instance;
    bool started = false;
    std::deque<MIDIHDR*> queue{};  // input buffers; SysEx sent and not yet done
    Port* link = nullptr;          // the output an input is connected to
};

struct Call {
    Port* port;
    UINT msg;
    DWORD_PTR p1 = 0;
};

struct Timer {
    UINT id, delay;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    HANDLE stop, thread;
};

CRITICAL_SECTION gLock;                                       // recursive: Log takes it too
const char* const kNames[2] = {"E2E Synth", "E2E Keyboard"};  // output, input
const std::vector<BYTE> kPlayed[] = {{0x90, 0x3C, 0x64}, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7}};
bool gStarted = false, gPlayed = false;
std::vector<Port*> gPorts;  // never freed: a stale handle stays harmless
HANDLE gWake = nullptr, gWorker = nullptr;
std::vector<Timer*> gTimers;

// Each line is flushed at once: tests read the log while the program runs.
void Log(const char* fmt, ...) {
    EnterCriticalSection(&gLock);
    static FILE* log = _fsopen("winmm-log.txt", "ab", _SH_DENYNO);
    va_list args;
    va_start(args, fmt);
    if (log != nullptr) {
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

const char* Name(const Port* p) { return p->input ? "in 0" : "out 0"; }

struct Locked {
    Locked() { EnterCriticalSection(&gLock); }
    ~Locked() { LeaveCriticalSection(&gLock); }
};

// Calls back outside the lock, as a driver's thread would.
void Run(const std::vector<Call>& calls) {
    for (const Call& c : calls) {
        reinterpret_cast<LPDRVCALLBACK>(c.port->callback)(reinterpret_cast<HDRVR>(c.port), c.msg,
                                                          c.port->instance, c.p1, 0);
    }
}

Port* P(const void* h) { return static_cast<Port*>(const_cast<void*>(h)); }

MMRESULT Prepare(LPMIDIHDR hdr, bool prepare) {
    Locked lock;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = prepare ? hdr->dwFlags | MHDR_PREPARED : hdr->dwFlags & ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

void Done(Port* p, MIDIHDR* hdr, std::vector<Call>& calls) {
    hdr->dwFlags = (hdr->dwFlags & ~MHDR_INQUEUE) | MHDR_DONE;
    calls.push_back({p, p->input ? UINT(MIM_LONGDATA) : UINT(MOM_DONE), reinterpret_cast<DWORD_PTR>(hdr)});
}

// Plays a message into the started input.
void Deliver(const std::vector<BYTE>& bytes, std::vector<Call>& calls) {
    Port* in = nullptr;
    for (Port* p : gPorts) {
        if (p->input && p->started) in = p;
    }
    const bool sysex = bytes[0] == 0xF0;
    if (in == nullptr || (sysex && in->queue.empty())) return Log("input dropped");
    if (in->link != nullptr)
        Log("%s %s (connected)", Name(in->link), Hex(bytes.data(), bytes.size()).c_str());
    if (!sysex) return calls.push_back({in, MIM_DATA, DWORD(bytes[0] | bytes[1] << 8 | bytes[2] << 16)});
    MIDIHDR* hdr = in->queue.front();
    in->queue.pop_front();
    hdr->dwBytesRecorded = static_cast<DWORD>(std::min<size_t>(bytes.size(), hdr->dwBufferLength));
    std::memcpy(hdr->lpData, bytes.data(), hdr->dwBytesRecorded);
    Done(in, hdr, calls);
}

// The driver's own thread: completes SysEx sent and plays the input.
DWORD WINAPI Worker(LPVOID) {
    for (;;) {
        std::vector<Call> calls;
        {
            Locked lock;
            for (Port* p : gPorts) {
                for (; !p->input && !p->queue.empty(); p->queue.pop_front()) Done(p, p->queue.front(), calls);
            }
            if (gStarted && !gPlayed) {
                gPlayed = true;
                for (const auto& bytes : kPlayed) Deliver(bytes, calls);
            }
        }
        Run(calls);
        if (calls.empty()) WaitForSingleObject(gWake, INFINITE);
    }
}

template <typename Handle>
MMRESULT Open(bool input, Handle* handle, UINT id, DWORD_PTR callback, DWORD_PTR instance) {
    Port* p = nullptr;
    {
        Locked lock;
        *handle = nullptr;
        if (id != 0) return MMSYSERR_BADDEVICEID;
        p = new Port{.input = input, .callback = callback, .instance = instance};
        gPorts.push_back(p);
        *handle = reinterpret_cast<Handle>(p);
        if (gWorker == nullptr) gWorker = CreateThread(nullptr, 0, &Worker, nullptr, 0, nullptr);
        Log("%s open \"%s\"", Name(p), kNames[input]);
    }
    Run({{p, input ? UINT(MIM_OPEN) : UINT(MOM_OPEN)}});
    return MMSYSERR_NOERROR;
}

// Returns every queued header, as done (an input buffer empty).
MMRESULT Reset(const void* h) {
    std::vector<Call> calls;
    {
        Locked lock;
        Port* p = P(h);
        p->started = false;
        for (MIDIHDR* hdr : p->queue) {
            if (p->input) hdr->dwBytesRecorded = 0;
            Done(p, hdr, calls);
        }
        p->queue.clear();
    }
    Run(calls);
    return MMSYSERR_NOERROR;
}

MMRESULT Close(const void* h) {
    Port* p = P(h);
    {
        Locked lock;
        if (!p->queue.empty()) return MIDIERR_STILLPLAYING;
        std::erase(gPorts, p);
        for (Port* q : gPorts) {
            if (q->link == p) q->link = nullptr;
        }
        Log("%s close", Name(p));
    }
    Run({{p, p->input ? UINT(MIM_CLOSE) : UINT(MOM_CLOSE)}});
    return MMSYSERR_NOERROR;
}

template <typename Caps>
MMRESULT GetCaps(bool input, UINT_PTR id, Caps* caps, UINT size) {
    Locked lock;
    if (id != 0) return MMSYSERR_BADDEVICEID;
    Caps c{};
    std::strncpy(c.szPname, kNames[input], MAXPNAMELEN - 1);
    std::memcpy(caps, &c, std::min<size_t>(size, sizeof c));
    return MMSYSERR_NOERROR;
}

MMRESULT Link(HMIDI in, HMIDIOUT out, bool connect) {
    Locked lock;
    if (!connect && P(in)->link != P(out)) return MIDIERR_NOTREADY;
    P(in)->link = connect ? P(out) : nullptr;
    return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        InitializeCriticalSection(&gLock);
        gWake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    return TRUE;
}

// ---- Devices ----------------------------------------------------------------------------------
UINT WINAPI midiInGetNumDevs() { return 1; }
UINT WINAPI midiOutGetNumDevs() { return 1; }
MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR id, LPMIDIINCAPSA caps, UINT size) {
    return GetCaps(true, id, caps, size);
}
MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR id, LPMIDIOUTCAPSA caps, UINT size) {
    return GetCaps(false, id, caps, size);
}

// ---- Input ------------------------------------------------------------------------------------
MMRESULT WINAPI midiInOpen(LPHMIDIIN handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD) {
    return Open(true, handle, id, callback, instance);
}
MMRESULT WINAPI midiInPrepareHeader(HMIDIIN, LPMIDIHDR hdr, UINT) { return Prepare(hdr, true); }
MMRESULT WINAPI midiInUnprepareHeader(HMIDIIN, LPMIDIHDR hdr, UINT) { return Prepare(hdr, false); }

MMRESULT WINAPI midiInAddBuffer(HMIDIIN h, LPMIDIHDR hdr, UINT) {
    Locked lock;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    hdr->dwBytesRecorded = 0;
    P(h)->queue.push_back(hdr);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN h) {
    Locked lock;
    P(h)->started = true;
    gStarted = true;
    Log("%s start", Name(P(h)));
    SetEvent(gWake);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN h) {
    Locked lock;
    P(h)->started = false;
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInReset(HMIDIIN h) { return Reset(h); }
MMRESULT WINAPI midiInClose(HMIDIIN h) { return Close(h); }

// ---- Output -----------------------------------------------------------------------------------
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT handle, UINT id, DWORD_PTR callback, DWORD_PTR instance, DWORD) {
    return Open(false, handle, id, callback, instance);
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT h, DWORD msg) {
    Log("%s short %06lX", Name(P(h)), static_cast<unsigned long>(msg));
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutPrepareHeader(HMIDIOUT, LPMIDIHDR hdr, UINT) { return Prepare(hdr, true); }
MMRESULT WINAPI midiOutUnprepareHeader(HMIDIOUT, LPMIDIHDR hdr, UINT) { return Prepare(hdr, false); }

MMRESULT WINAPI midiOutLongMsg(HMIDIOUT h, LPMIDIHDR hdr, UINT) {
    Locked lock;
    if (hdr->dwFlags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    hdr->dwFlags = (hdr->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
    Log("%s long %s", Name(P(h)),
        Hex(reinterpret_cast<const BYTE*>(hdr->lpData), hdr->dwBufferLength).c_str());
    if (std::getenv("KVN_STAND_IN_HANGS") != nullptr) {  // a driver that never returns from the send
        LeaveCriticalSection(&gLock);
        for (;;) Sleep(INFINITE);
    }
    P(h)->queue.push_back(hdr);
    SetEvent(gWake);
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutReset(HMIDIOUT h) { return Reset(h); }
MMRESULT WINAPI midiOutClose(HMIDIOUT h) { return Close(h); }

MMRESULT WINAPI midiConnect(HMIDI in, HMIDIOUT out, LPVOID) { return Link(in, out, true); }
MMRESULT WINAPI midiDisconnect(HMIDI in, HMIDIOUT out, LPVOID) { return Link(in, out, false); }

// ---- Timer: periodic only, as the program asks --------------------------------------------------
MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT) {
    *caps = {1, 1000000};
    return MMSYSERR_NOERROR;
}

MMRESULT WINAPI timeBeginPeriod(UINT) { return TIMERR_NOERROR; }
MMRESULT WINAPI timeEndPeriod(UINT) { return TIMERR_NOERROR; }

// A thread per timer, with absolute deadlines so that late ticks do not add up.
DWORD WINAPI TimerThread(LPVOID arg) {
    auto* t = static_cast<Timer*>(arg);
    for (DWORD n = 1, start = GetTickCount();; ++n) {
        const LONG left = static_cast<LONG>(start + n * t->delay - GetTickCount());
        if (WaitForSingleObject(t->stop, left > 0 ? DWORD(left) : 0) == WAIT_OBJECT_0) return 0;
        t->callback(t->id, 0, t->user, 0, 0);
    }
}

MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user, UINT) {
    Locked lock;
    auto* t = gTimers.emplace_back(new Timer{UINT(gTimers.size() + 1), delay, callback, user,
                                             CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr});
    t->thread = CreateThread(nullptr, 0, &TimerThread, t, 0, nullptr);
    return t->id;
}

// Once this returns the callback is not running any more (the program never kills a timer from
// inside its callback).
MMRESULT WINAPI timeKillEvent(UINT id) {
    Timer* t = nullptr;
    {
        Locked lock;
        if (id == 0 || id > gTimers.size() || gTimers[id - 1] == nullptr) return MMSYSERR_INVALPARAM;
        std::swap(t, gTimers[id - 1]);
    }
    SetEvent(t->stop);
    WaitForSingleObject(t->thread, INFINITE);
    return TIMERR_NOERROR;
}
