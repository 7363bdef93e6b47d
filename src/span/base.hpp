// Process-ending diagnostics and the library's small-allocation helpers.
//
// Bookkeeping memory (span arrays, temporaries, matrix records) that cannot
// be had, or whose size overflows, throws std::bad_alloc; every export turns
// that into its failure result at the interface (src/exports/guard.hpp), so
// code below the exports must free what it holds on unwind (Temp,
// SpanVecGuard). The data block of a span batch reports its failure as a
// value instead (see span.hpp). Broken invariants end the process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

namespace korvex {

// Writes "korvex: <msg>" to stderr and aborts.
[[noreturn]] void fatal(const char* msg) noexcept;
// Writes "korvex: <msg> (<file>:<line>)" to stderr and aborts.
[[noreturn]] void fatal_at(const char* msg, const char* file, int line) noexcept;

#define KORVEX_INVARIANT(cond, msg)                                    \
    do {                                                               \
        if (__builtin_expect(!(cond), 0)) ::korvex::fatal_at((msg), __FILE__, __LINE__); \
    } while (0)

// a * b for an allocation size; std::bad_array_new_length (a
// std::bad_alloc) when it overflows.
inline uint64_t mul_or_throw(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_mul_overflow(a, b, &r)) throw std::bad_array_new_length();
    return r;
}

// a + b for a size or a dimension; std::bad_array_new_length on overflow.
inline uint64_t add_or_throw(uint64_t a, uint64_t b) {
    uint64_t r;
    if (__builtin_add_overflow(a, b, &r)) throw std::bad_array_new_length();
    return r;
}

// Number of library heap blocks currently alive (records, span arrays,
// shared buffers and their data). Tests compare it with a baseline.
std::int64_t live_allocations() noexcept;

namespace detail {
extern std::atomic<std::int64_t> live_blocks;
}

// Heap blocks that never come back null (std::bad_alloc instead). Blocks of
// 1 MiB or more are mapped 2 MiB-aligned with transparent huge pages advised,
// since first touch of fresh 4 KiB pages is far slower than the copy into
// them. Frees take the size the block was asked for. 0 bytes gives null.
void* xmalloc(std::size_t bytes);
void* xcalloc(std::size_t count, std::size_t size);
void xfree(void* p, std::size_t bytes) noexcept;

// Zero-filled, 32-byte-aligned block; null when memory is exhausted (or a
// test's injected failure fires). Released with free_data_block(p, bytes).
void* alloc_data_block(std::size_t bytes) noexcept;
void free_data_block(void* p, std::size_t bytes) noexcept;

// Test hook: make the nth data-block allocation from now fail (1 = the
// next one); 0 turns injection off. Returns how many injected failures fired.
void inject_data_block_failure(std::int64_t nth) noexcept;
std::int64_t injected_failures_fired() noexcept;
// The same for bookkeeping blocks (xmalloc, xcalloc): the nth one throws.
void inject_bookkeeping_failure(std::int64_t nth) noexcept;
std::int64_t injected_bookkeeping_failures_fired() noexcept;

// Typed helpers over xmalloc.
template <typename T>
T* xalloc_array(uint64_t n) {
    return static_cast<T*>(xmalloc(mul_or_throw(n, sizeof(T))));
}
template <typename T>
T* xalloc_zeroed(uint64_t n) {
    return static_cast<T*>(xcalloc(n, sizeof(T)));
}

// Owning pointer for temporaries made with xmalloc.
template <typename T>
struct Temp {
    T* p = nullptr;
    Temp() = default;
    Temp(T* q, uint64_t n) : p(q), bytes(n * sizeof(T)) {}
    Temp(const Temp&) = delete;
    Temp& operator=(const Temp&) = delete;
    Temp(Temp&& o) noexcept : p(o.p), bytes(o.bytes) { o.p = nullptr; }
    uint64_t bytes = 0;
    ~Temp() { xfree(p, bytes); }
    T& operator[](uint64_t i) const { return p[i]; }
    T* get() const { return p; }
};

template <typename T>
Temp<T> temp_array(uint64_t n) { return Temp<T>(xalloc_array<T>(n), n); }
template <typename T>
Temp<T> temp_zeroed(uint64_t n) { return Temp<T>(xalloc_zeroed<T>(n), n); }

}  // namespace korvex
