// The few loop shapes the library runs on its work-stealing pool.
//
// An exception thrown in a body (std::bad_alloc from a bookkeeping
// allocation) cancels the loop's other pieces and comes out of the call on
// the calling thread once every running piece has ended; so does one from
// the pool's own task allocation. sum and any, whose bodies only read, then
// run their whole loop again on the calling thread instead.
//
// Every loop splits [0, n) recursively down to single items (grain 1) on the
// process-wide oneTBB arena, which is created lazily on first use and sized
// to the CPUs the process may run on. The calling thread takes part and
// returns when all pieces are done. Building with KORVEX_SEQUENTIAL swaps in
// plain loops on the calling thread (used by the thread-sanitizer build,
// since the distribution's oneTBB is not instrumented).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#ifndef KORVEX_SEQUENTIAL
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/task_arena.h>
#endif

namespace korvex::par {

// Number of threads the pool runs with.
inline int thread_count() {
#ifdef KORVEX_SEQUENTIAL
    return 1;
#else
    // The arena's size, or less when the process capped the pool with a
    // global_control.
    auto arena = static_cast<std::size_t>(oneapi::tbb::this_task_arena::max_concurrency());
    auto cap = oneapi::tbb::global_control::active_value(
        oneapi::tbb::global_control::max_allowed_parallelism);
    return static_cast<int>(arena < cap ? arena : cap);
#endif
}

// Caps every later loop at n threads, the calling thread included, or
// lifts the cap for n == 0. Process-wide; a loop already running keeps the
// threads it has. A cap above the pool's size leaves the pool's size.
// Throws std::bad_alloc when the control record cannot be made (the old
// cap then stays).
void set_thread_limit(uint64_t n);

// Slots for per-thread scratch: slot() is the calling thread's index in
// the pool, in [0, slot_count()); no two threads running loop bodies of
// the same pool hold the same slot at once.
inline uint64_t slot_count() {
#ifdef KORVEX_SEQUENTIAL
    return 1;
#else
    int n = oneapi::tbb::this_task_arena::max_concurrency();
    return n > 0 ? static_cast<uint64_t>(n) : 1;
#endif
}
inline uint64_t slot() {
#ifdef KORVEX_SEQUENTIAL
    return 0;
#else
    int i = oneapi::tbb::this_task_arena::current_thread_index();
    return i > 0 ? static_cast<uint64_t>(i) : 0;
#endif
}

// [0, n) cut into `count` contiguous pieces of near-equal length.
struct Pieces {
    uint64_t n, count;
    uint64_t begin(uint64_t p) const {
        return static_cast<uint64_t>(static_cast<unsigned __int128>(n) * p / count);
    }
    uint64_t end(uint64_t p) const { return begin(p + 1); }
};

// At most `per_thread` pieces per pool thread and one item per piece; at
// least one piece.
inline Pieces pieces_of(uint64_t n, uint64_t per_thread) {
    uint64_t cap = per_thread * static_cast<uint64_t>(thread_count());
    return Pieces{n, n < cap ? (n == 0 ? 1 : n) : cap};
}

// body(begin, end) over pieces of [0, n).
template <typename Body>
void for_range(uint64_t n, const Body& body) {
    if (n == 0) return;
#ifdef KORVEX_SEQUENTIAL
    body(uint64_t{0}, n);
#else
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<uint64_t>(0, n, 1),
                              [&](const oneapi::tbb::blocked_range<uint64_t>& r) {
                                  body(r.begin(), r.end());
                              });
#endif
}

// f(i) for every i in [0, n).
template <typename F>
void for_each(uint64_t n, const F& f) {
    for_range(n, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) f(i);
    });
}

// Sum of f(i) over [0, n), wrapping 64-bit addition.
template <typename F>
uint64_t sum(uint64_t n, const F& f) {
    if (n == 0) return 0;
    auto sequential = [&] {
        uint64_t s = 0;
        for (uint64_t i = 0; i < n; ++i) s += f(i);
        return s;
    };
#ifdef KORVEX_SEQUENTIAL
    return sequential();
#else
    try {
        return oneapi::tbb::parallel_reduce(
            oneapi::tbb::blocked_range<uint64_t>(0, n, 1), uint64_t{0},
            [&](const oneapi::tbb::blocked_range<uint64_t>& r, uint64_t acc) {
                for (uint64_t i = r.begin(); i < r.end(); ++i) acc += f(i);
                return acc;
            },
            [](uint64_t a, uint64_t b) { return a + b; });
    } catch (const std::bad_alloc&) {
        return sequential();
    }
#endif
}

// True if pred(i) holds for some i. Workers share one stop flag and test it
// before each item, so the search ends soon after the first hit.
template <typename Pred>
bool any(uint64_t n, const Pred& pred) {
    std::atomic<bool> found{false};
    try {
        for_range(n, [&](uint64_t b, uint64_t e) {
            for (uint64_t i = b; i < e; ++i) {
                if (found.load(std::memory_order_relaxed)) return;
                if (pred(i)) {
                    found.store(true, std::memory_order_relaxed);
                    return;
                }
            }
        });
    } catch (const std::bad_alloc&) {
        for (uint64_t i = 0; i < n; ++i)
            if (pred(i)) return true;
        return false;
    }
    return found.load();
}

// out[i] = f(i) for every i, in order.
template <typename T, typename F>
void collect(uint64_t n, T* out, const F& f) {
    for_each(n, [&](uint64_t i) { out[i] = f(i); });
}

}  // namespace korvex::par
