// Counts every heap allocation of a benchmark program: the global operators new/new[] and
// delete/delete[] (sized and unsized) are replaced by ones that count and use malloc/free.
// Replacement functions cannot be inline, so they are defined here as ordinary functions:
// every benchmark program is built from exactly one .cpp, which includes this header once.
#pragma once

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace AllocationCounter {

// Heap allocations made by the whole process (all threads) since it started.
inline std::atomic<long long> allocations{0};

inline long long Count() { return allocations.load(std::memory_order_relaxed); }

// Allocations since `before` (a Count() taken before the timed loop) per iteration of
// state; 0 when the benchmark ran no iteration.
inline double PerIteration(const benchmark::State& state, long long before) {
    const long long iterations = static_cast<long long>(state.iterations());
    return iterations > 0 ? static_cast<double>(Count() - before) / static_cast<double>(iterations) : 0.0;
}

// Reports PerIteration(state, before) as the benchmark counter `name`.
inline void Report(benchmark::State& state, long long before, const char* name = "allocs_per_call") {
    state.counters[name] = benchmark::Counter(PerIteration(state, before));
}

}  // namespace AllocationCounter

// GCC pairs the malloc/free below, once inlined into callers, with new/delete and warns
// wrongly: both sides of every pair are replaced here together.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
    AllocationCounter::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
