// Counts the program's heap allocations, for the benchmarks' "allocations per message". Included
// by exactly one source file of a benchmark program: it replaces the global operator new/delete.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

namespace kvnbench {
inline uint64_t g_allocations = 0;  // the benchmarks are single-threaded

// Out of line, so that the compiler never pairs a visible free() with an operator new.
[[gnu::noinline]] inline void* Allocate(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    std::abort();  // out of memory in a benchmark: nothing sensible to measure any more
}
[[gnu::noinline]] inline void Release(void* p) noexcept { std::free(p); }
}  // namespace kvnbench

void* operator new(std::size_t size) { return kvnbench::Allocate(size); }
void* operator new[](std::size_t size) { return kvnbench::Allocate(size); }
void operator delete(void* p) noexcept { kvnbench::Release(p); }
void operator delete[](void* p) noexcept { kvnbench::Release(p); }
void operator delete(void* p, std::size_t) noexcept { kvnbench::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { kvnbench::Release(p); }
