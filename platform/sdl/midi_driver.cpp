// What the MIDI system's thread hands on, and the driver thread that serves links and completes
// long messages (see midi_internal.h).
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/sdl/midi_internal.h"
#include "platform/sdl/sdl_internal.h"

namespace sdlplat::midi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kServerRetry = std::chrono::milliseconds(200);  // a gone server is looked for this often
constexpr auto kUiWakeLatency = std::chrono::milliseconds(1);

void Deliver(plat::MidiInPort& p, const uint8_t* b, size_t n, size_t whole) {
    System& s = S();
    if (b[0] < 0x80) return;  // every event of the MIDI system starts with its status
    if (p.link.load(std::memory_order_acquire) != nullptr && !s.linksServed.load(std::memory_order_relaxed)) {
        if (p.forward.Push(b, static_cast<uint32_t>(n))) {
            sem_post(&s.wake);
        } else {
            s.dropForward.fetch_add(1, std::memory_order_relaxed);
        }
    }
    const int64_t nowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    const auto stamp = static_cast<uint32_t>((nowNs - p.startNs.load(std::memory_order_relaxed)) / 1000000);
    if (b[0] == 0xF0) {
        plat::MidiHdr* hdr = p.headers.Pop();
        if (hdr == nullptr) {
            s.dropNoBuffer.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // A longer SysEx fills the buffer, as a WinMM driver hands on a full buffer; the rest has
        // no buffer to go to and is dropped.
        const auto len = static_cast<uint32_t>(std::min<size_t>(n, hdr->dwBufferLength));
        if (len < std::max(n, whole)) s.cutSysEx.fetch_add(1, std::memory_order_relaxed);
        std::memcpy(hdr->lpData, b, len);
        hdr->dwBytesRecorded = len;
        auto flags = Flags(hdr);
        flags.store((flags.load() & ~plat::kMhdrInQueue) | plat::kMhdrDone, std::memory_order_release);
        if (p.callback)
            p.callback(&p, plat::kMimLongData, p.instance, reinterpret_cast<uintptr_t>(hdr), stamp);
        return;
    }
    uint32_t word = b[0];
    if (n > 1) word |= uint32_t(b[1]) << 8;
    if (n > 2) word |= uint32_t(b[2]) << 16;
    if (p.callback) p.callback(&p, plat::kMimData, p.instance, word, stamp);
}

void ForwardAll(System& s) {
    std::lock_guard lk(s.links);
    for (plat::MidiInPort& in : s.ins) {
        for (;;) {
            const uint32_t n = in.forward.Pop(s.scratch, kForwardBytes);
            if (n == 0) break;
            plat::MidiOutPort* out = in.link.load();
            if (out == nullptr || !out->open.load()) continue;
            std::lock_guard send(out->sendMu);
            s.sys->SendLong(SlotOf(*out), s.scratch, n, out->resetGen.load());
        }
    }
}

void CompleteJobs(System& s, plat::MidiOutPort& out) {
    for (;;) {
        plat::MidiHdr* hdr = nullptr;
        bool sent = false;
        uint32_t gen = 0;
        {
            std::lock_guard lk(out.stateMu);
            if (out.jobCount == 0) return;
            hdr = out.jobs[0].hdr;
            sent = out.jobs[0].sent;
            gen = out.resetGen.load();
        }
        if (!sent) {
            {
                std::lock_guard send(out.sendMu);
                s.sys->SendLong(SlotOf(out), reinterpret_cast<const uint8_t*>(hdr->lpData),
                                hdr->dwBufferLength, gen);
            }
            std::lock_guard lk(out.stateMu);
            if (out.jobCount > 0 && out.jobs[0].hdr == hdr && out.resetGen.load() == gen)
                out.jobs[0].sent = true;
        }
        s.sys->Drain();  // done once it has left
        bool mine = false;
        {
            std::lock_guard lk(out.stateMu);
            if (out.jobCount > 0 && out.jobs[0].hdr == hdr && out.resetGen.load() == gen) {
                std::move(out.jobs + 1, out.jobs + out.jobCount, out.jobs);
                --out.jobCount;
                out.completing.fetch_add(1);
                mine = true;
            }
        }
        if (mine) {
            FinishLong(out, hdr);
            out.longBusy.fetch_sub(1);
            out.completing.fetch_sub(1);
        }
    }
}

}  // namespace

void WakeDriver() { sem_post(&S().wake); }

void NoteServerGone(const char* notice) {
    if (S().serverGone.exchange(true)) return;
    sdlplat::internal::PostNotice(notice);
    WakeDriver();  // the driver thread looks for a new server from now on
}

namespace {
// Whether the device's state changed the way that is told: from there to gone (`tellGone`), or
// from away to back.
template <class Port>
bool Turned(Port& p, bool exists, bool linked, bool tellGone) {
    if (!p.open.load() || p.device.empty()) return false;
    if (p.present && !exists) {
        p.present = false;
        return tellGone;
    }
    if (!p.present && exists && linked) {
        p.present = true;
        return !tellGone;
    }
    return false;
}
}  // namespace

void NoteDevice(plat::MidiInPort& p, bool exists, bool linked) {
    if (Turned(p, exists, linked, true) && p.callback) p.callback(&p, plat::kMimDeviceGone, p.instance, 0, 0);
}

void NoteDevice(plat::MidiOutPort& p, bool exists, bool linked) {
    if (Turned(p, exists, linked, false) && p.callback)
        p.callback(&p, plat::kMomDeviceBack, p.instance, 0, 0);
}

// The MIDI system's thread.
void Receive(plat::MidiInPort& p, const uint8_t* data, size_t n, size_t whole) {
    p.busy.fetch_add(1);
    if (p.started.load() && n > 0) Deliver(p, data, n, whole);
    p.busy.fetch_sub(1);
}

void FinishLong(plat::MidiOutPort& out, plat::MidiHdr* hdr) {
    auto flags = Flags(hdr);
    flags.store((flags.load() & ~plat::kMhdrInQueue) | plat::kMhdrDone);
    if (out.callback) out.callback(&out, plat::kMomDone, out.instance, reinterpret_cast<uintptr_t>(hdr), 0);
}

void DriverLoop() {
    System& s = S();
    auto retry = Clock::now();
    for (;;) {
        // A millisecond at most: the real-time thread leaves waking the user-interface thread to
        // us (sdlplat::internal::WakeUiIfAsked).
        timespec until{};
        clock_gettime(CLOCK_REALTIME, &until);
        const long ns = until.tv_nsec + long(std::chrono::nanoseconds(kUiWakeLatency).count());
        until.tv_sec += ns / 1000000000L;
        until.tv_nsec = ns % 1000000000L;
        int rc = 0;
        while ((rc = sem_timedwait(&s.wake, &until)) != 0 && errno == EINTR) {
        }
        sdlplat::internal::WakeUiIfAsked();
        if (s.stopping.load()) break;
        if (rc != 0 && !(s.serverGone.load() && Clock::now() >= retry)) continue;
        if (s.serverGone.load()) retry = Clock::now() + kServerRetry;
        s.sys->Watch();
        ForwardAll(s);
        for (plat::MidiOutPort& out : s.outs) CompleteJobs(s, out);
    }
    s.driverDone = true;
}

}  // namespace sdlplat::midi
