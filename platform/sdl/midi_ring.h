// The lock-free queues between the MIDI system's thread and ours: each has one producer and one
// consumer, and neither side ever waits or allocates.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace sdlplat::midi {

constexpr uint32_t kHeaderQueue = 16;         // input buffers queued at once
constexpr uint32_t kForwardBytes = 1u << 17;  // forwarding ring of one input
constexpr uint32_t kEventBytes = 1u << 16;    // output ring of one port: many periods' worth

// The byte store under both rings: bytes ever written and ever read, and a circular buffer of
// `Size` bytes that a record may wrap around.
template <uint32_t Size>
class RingStore {
public:
    // Only while neither side runs.
    void Clear() { r_.store(w_.load()); }

protected:
    void Copy(uint64_t at, const uint8_t* src, uint32_t n) {
        const uint32_t pos = uint32_t(at % Size);
        const uint32_t first = std::min(n, Size - pos);
        std::memcpy(buf_ + pos, src, first);
        std::memcpy(buf_, src + first, n - first);
    }
    void Fetch(uint64_t at, uint8_t* dst, uint32_t n) const {
        const uint32_t pos = uint32_t(at % Size);
        const uint32_t first = std::min(n, Size - pos);
        std::memcpy(dst, buf_ + pos, first);
        std::memcpy(dst + first, buf_, n - first);
    }
    uint8_t buf_[Size];
    std::atomic<uint64_t> w_{0}, r_{0};
};

// Records of a 32-bit length and the bytes; from the MIDI thread to the driver thread.
class ByteRing : public RingStore<kForwardBytes> {
public:
    bool Push(const uint8_t* data, uint32_t n) {
        const uint64_t w = w_.load(std::memory_order_relaxed);
        const uint64_t r = r_.load(std::memory_order_acquire);
        if (kForwardBytes - (w - r) < n + 4u) return false;
        const uint32_t len = n;
        Copy(w, reinterpret_cast<const uint8_t*>(&len), 4);
        Copy(w + 4, data, n);
        w_.store(w + 4 + n, std::memory_order_release);
        return true;
    }
    // Length of the next record copied into `out`, 0 when empty; a record longer than `cap` is skipped.
    uint32_t Pop(uint8_t* out, uint32_t cap) {
        for (;;) {
            const uint64_t r = r_.load(std::memory_order_relaxed);
            if (w_.load(std::memory_order_acquire) == r) return 0;
            uint32_t len = 0;
            Fetch(r, reinterpret_cast<uint8_t*>(&len), 4);
            if (len <= cap) Fetch(r + 4, out, len);
            r_.store(r + 4 + len, std::memory_order_release);
            if (len <= cap && len > 0) return len;
        }
    }
};

// Events for one output, each with the frame it may leave at: from the thread that sends (one at a
// time, under the port's sendMu) to the MIDI system's thread, which takes them in its cycles.
class EventRing : public RingStore<kEventBytes> {
public:
    struct Head {
        uint32_t due;  // the frame it may leave at, on the MIDI system's clock
        uint32_t size;
    };
    static constexpr uint32_t kMaxEvent = kEventBytes / 2;
    bool Push(uint32_t due, const uint8_t* data, uint32_t n) {
        const uint64_t w = w_.load(std::memory_order_relaxed);
        if (n > kMaxEvent || kEventBytes - (w - r_.load(std::memory_order_acquire)) < n + sizeof(Head))
            return false;
        const Head head{due, n};
        Copy(w, reinterpret_cast<const uint8_t*>(&head), sizeof head);
        Copy(w + sizeof head, data, n);
        w_.store(w + sizeof head + n, std::memory_order_release);
        return true;
    }
    // The consumer's side: the next event's head, then its bytes (which also drops it).
    bool Peek(Head* head) const {
        const uint64_t r = r_.load(std::memory_order_relaxed);
        if (w_.load(std::memory_order_acquire) == r) return false;
        Fetch(r, reinterpret_cast<uint8_t*>(head), sizeof *head);
        return true;
    }
    void Take(uint8_t* out, uint32_t n) {
        const uint64_t r = r_.load(std::memory_order_relaxed);
        if (out != nullptr) Fetch(r + sizeof(Head), out, n);
        r_.store(r + sizeof(Head) + n, std::memory_order_release);
    }
    // Bytes ever pushed and ever taken: an event pushed when Written() was w has left once
    // Taken() >= w.
    uint64_t Written() const { return w_.load(std::memory_order_acquire); }
    uint64_t Taken() const { return r_.load(std::memory_order_acquire); }
    bool Empty() const { return Taken() == Written(); }
};

// Input buffers queued by the caller and taken by the MIDI thread (or by a reset while the MIDI
// thread is kept out).
class HeaderQueue {
public:
    bool Empty() const { return head_.load() == tail_.load(); }
    bool Full() const {
        return tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire) >= kHeaderQueue;
    }
    // Only when not Full().
    void Push(plat::MidiHdr* hdr) {
        const uint32_t t = tail_.load(std::memory_order_relaxed);
        headers_[t % kHeaderQueue] = hdr;
        tail_.store(t + 1, std::memory_order_release);
    }
    plat::MidiHdr* Pop() {
        const uint32_t h = head_.load(std::memory_order_relaxed);
        if (h == tail_.load(std::memory_order_acquire)) return nullptr;
        plat::MidiHdr* hdr = headers_[h % kHeaderQueue];
        head_.store(h + 1, std::memory_order_release);
        return hdr;
    }

private:
    plat::MidiHdr* headers_[kHeaderQueue] = {};
    std::atomic<uint32_t> head_{0}, tail_{0};
};

}  // namespace sdlplat::midi
