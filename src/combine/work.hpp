// Machinery shared by the two-operand loops: work-balanced pieces of the
// outer axis, per-thread scratch, and the first failure of a parallel loop.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>

#include "span/base.hpp"
#include "span/parallel.hpp"

namespace korvex::combine {

// The first status a loop's pieces report; later pieces stop early.
struct Failure {
    std::atomic<int32_t> status{0};
    void set(int32_t s) {
        int32_t zero = 0;
        status.compare_exchange_strong(zero, s, std::memory_order_relaxed);
    }
    bool any() const { return status.load(std::memory_order_relaxed) != 0; }
};

// [0, n) cut at bounds[0] = 0 < ... <= bounds[count] = n into pieces of
// near-equal work, from work[i] per outer index (overwritten by its inclusive
// prefix sums). At most `per_thread` pieces per thread, each of at least
// `min_work` (a piece is at least one outer index).
struct Cut {
    Temp<uint64_t> bounds;
    uint64_t count = 0;
    uint64_t begin(uint64_t p) const { return bounds[p]; }
    uint64_t end(uint64_t p) const { return bounds[p + 1]; }
};

inline Cut cut_by_work(uint64_t* work, uint64_t n, uint64_t per_thread, uint64_t min_work) {
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; ++i) {
        uint64_t w = work[i];
        total = __builtin_add_overflow(total, w, &total) ? UINT64_MAX : total;
        work[i] = total;
    }
    uint64_t want = per_thread * static_cast<uint64_t>(par::thread_count());
    uint64_t count = std::max<uint64_t>(1, std::min(want, total / std::max<uint64_t>(1, min_work)));
    count = std::min(count, std::max<uint64_t>(n, 1));
    Cut c{temp_array<uint64_t>(count + 1), count};
    c.bounds[0] = 0;
    for (uint64_t p = 1; p < count; ++p) {
        const uint64_t goal =
            static_cast<uint64_t>(static_cast<unsigned __int128>(total) * p / count);
        // first i whose prefix (through i) exceeds the goal ends before i + 1
        uint64_t at = static_cast<uint64_t>(std::upper_bound(work, work + n, goal) - work);
        c.bounds[p] = std::max(c.bounds[p - 1], std::min(n, at));
    }
    c.bounds[count] = n;
    return c;
}

// A growable bookkeeping array (xmalloc): grow() keeps nothing and throws
// std::bad_alloc when memory runs out. `fill` initialises new elements.
template <typename T>
struct Buffer {
    T* p = nullptr;
    uint64_t cap = 0;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { xfree(p, cap * sizeof(T)); }
    // At least n elements; after a grow all of them hold `fill`.
    T* grow(uint64_t n, T fill) {
        if (n <= cap) return p;
        uint64_t c = std::max(n, cap * 2);
        T* q = xalloc_array<T>(c);
        std::fill(q, q + c, fill);
        xfree(p, cap * sizeof(T));
        p = q;
        cap = c;
        return p;
    }
    T* grow(uint64_t n) { return grow(n, T{}); }
};

// One S per pool slot, value-initialised, destroyed with the array.
template <typename S>
struct PerThread {
    S* p;
    uint64_t n;
    PerThread() : n(par::slot_count()) {
        p = static_cast<S*>(xmalloc(mul_or_throw(n, sizeof(S))));
        for (uint64_t s = 0; s < n; ++s) new (p + s) S();
    }
    PerThread(const PerThread&) = delete;
    PerThread& operator=(const PerThread&) = delete;
    ~PerThread() {
        for (uint64_t s = 0; s < n; ++s) p[s].~S();
        xfree(p, n * sizeof(S));
    }
    S& mine() const {
        const uint64_t s = par::slot();
        KORVEX_INVARIANT(s < n, "pool thread outside its slots");
        return p[s];
    }
};

}  // namespace korvex::combine
