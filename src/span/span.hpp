// Span descriptors, the reference-counted shared buffer, and batch
// allocation that cuts one buffer into many 32-byte-aligned segments.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "korvex.h"
#include "span/base.hpp"

namespace korvex {

inline constexpr uint64_t kFlagView = KORVEX_SPAN_FLAG_VIEW;
inline constexpr uint64_t kFlagAligned = KORVEX_SPAN_FLAG_ALIGNED;
inline constexpr uint64_t kFlagMutable = KORVEX_SPAN_FLAG_MUTABLE;
inline constexpr uint64_t kFlagsOwned = kFlagAligned | kFlagMutable;  // 6
inline constexpr uint64_t kFlagsEmpty = kFlagView | kFlagMutable;     // 5
inline constexpr uint64_t kFlagsVacant = kFlagView;                   // 1

// Owns the elements of many spans. Strong count first, then weak; the weak
// count is 1 while any strong reference exists.
struct SharedBuffer {
    std::atomic<int64_t> strong;
    std::atomic<int64_t> weak;
    void* alloc_ptr;      // what the allocator returned
    void* data;           // start of segment 0 (== alloc_ptr, 32-byte aligned)
    uint64_t used;        // sum of the rounded segment sizes
    uint64_t alloc_size;  // used + 31
    uint64_t align;       // 32
};
static_assert(sizeof(SharedBuffer) == 56);

// The static, zeroed, 64-byte-aligned block every empty span points at.
const void* empty_sentinel() noexcept;

// {sentinel, null, 0, VIEW|MUTABLE}: empty rows of imports and conversions.
inline Span empty_span() noexcept {
    return Span{const_cast<void*>(empty_sentinel()), nullptr, 0, kFlagsEmpty};
}
// {width as address, null, 0, VIEW}: empty rows of transposition, inner
// slices and stacking across the compressed axis.
inline Span vacant_span(uint64_t width) noexcept {
    return Span{reinterpret_cast<void*>(static_cast<uintptr_t>(width)), nullptr, 0, kFlagsVacant};
}

// Writable data of a MUTABLE span. Asking for it on any other span is a
// broken invariant and ends the process with "Span is not mutable".
template <typename T>
inline T* mutable_data(const Span& s) {
    KORVEX_INVARIANT(s.flags & kFlagMutable, "Span is not mutable");
    return static_cast<T*>(s.data);
}

// A copy of s that holds its own reference on s's buffer (if any). A count
// that would pass 2^63 - 1 ends the process.
Span span_share(const Span& s) noexcept;
// Copies n spans from src to dst, each copy holding its own reference.
// References are added once per run of spans over the same buffer, so the
// counts end up exactly as with one span_share per span but without an
// atomic operation per span.
void share_spans(const Span* src, Span* dst, uint64_t n) noexcept;
// Adds k references to a buffer at once (k >= 0); null owner: nothing.
void add_refs(void* owner, int64_t k) noexcept;
// Drops s's reference; the last strong reference frees the data, then the
// buffer record.
void span_release(const Span& s) noexcept;
// span_share into a new heap record owned by the caller.
Span* span_clone(const Span* s);
// span_release, then frees a record from span_clone.
void span_free_record(Span* s) noexcept;

// Growable array of spans: capacity, pointer, length (24 bytes).
struct SpanVec {
    uint64_t cap = 0;
    Span* ptr = nullptr;
    uint64_t len = 0;
};
static_assert(sizeof(SpanVec) == 24);

// Array with capacity n (uninitialised spans, length 0).
SpanVec spanvec_with_capacity(uint64_t n);
// Releases every span, then frees the array.
void spanvec_release(SpanVec& v) noexcept;
// Frees the array without touching the spans.
void spanvec_free_array(SpanVec& v) noexcept;

enum class SpanBatchError : uint8_t {
    ZeroLengthSegment = 0,
    NoSegments = 1,
    SizeOverflow = 2,
    OutOfMemory = 3,
};

// k spans of counts[0..k) elements of `width` bytes, cut from one new
// zero-filled buffer, each segment starting on a 32-byte boundary. On
// success `out` holds the k spans (flags 6) and the buffer's strong count is
// k; on failure nothing stays allocated and `out` is untouched.
std::optional<SpanBatchError> allocate_span_batch(const uint64_t* counts, uint64_t k,
                                                  uint64_t width, SpanVec& out);

// The same buffer layout, placed straight into an outer span array: for
// every i in [0, n) with lens[i] > 0 dest[i] becomes its segment, every other
// dest[i] becomes `fill`. Equivalent to a batch over the non-zero lengths
// followed by outer assembly, without the intermediate array. Nothing is
// allocated (and dest untouched) on failure; NoSegments when every length is 0.
std::optional<SpanBatchError> place_span_batch(const uint64_t* lens, uint64_t n, uint64_t width,
                                               Span fill, Span* dest);

}  // namespace korvex
