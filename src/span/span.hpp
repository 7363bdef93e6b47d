// Span descriptors, the reference-counted shared buffer, and batch
// allocation that cuts one buffer into many 32-byte-aligned segments.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>

#include "korvex.h"
#include "span/base.hpp"
#include "span/parallel.hpp"

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
// Drops k references to a buffer at once (k >= 0; null owner: nothing), as
// k span_release calls on spans over it would.
void drop_refs(void* owner, int64_t k) noexcept;
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

// Owns a span array while it is being built: on unwind its first len spans
// are released and the array freed. take() hands the array on.
struct SpanVecGuard {
    SpanVec v;
    SpanVecGuard() = default;
    explicit SpanVecGuard(uint64_t capacity) : v(spanvec_with_capacity(capacity)) {}
    explicit SpanVecGuard(SpanVec adopt) noexcept : v(adopt) {}
    SpanVecGuard(const SpanVecGuard&) = delete;
    SpanVecGuard& operator=(const SpanVecGuard&) = delete;
    ~SpanVecGuard() { spanvec_release(v); }
    SpanVec take() noexcept {
        SpanVec r = v;
        v = SpanVec{};
        return r;
    }
};

// body(p) for every piece p in [0, pieces) on the pool, for loops whose
// pieces take references or allocate: if the loop throws, undo(p) runs for
// every piece whose body had finished, then the exception goes on. A body
// that throws must leave nothing of its own piece behind.
template <typename Body, typename Undo>
void for_each_piece_undoable(uint64_t pieces, const Body& body, const Undo& undo) {
    Temp<uint8_t> done = temp_zeroed<uint8_t>(pieces);
    try {
        par::for_each(pieces, [&](uint64_t p) {
            body(p);
            done[p] = 1;
        });
    } catch (...) {
        for (uint64_t p = 0; p < pieces; ++p)
            if (done[p]) undo(p);
        throw;
    }
}

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

// Rounded (32-byte) size of a segment of c elements of a span batch;
// nullopt on overflow. Inline: batch layout calls it for every outer index.
inline std::optional<uint64_t> segment_bytes(uint64_t c, uint64_t width) noexcept {
    uint64_t bytes;
    if (__builtin_mul_overflow(c, width, &bytes)) return std::nullopt;
    if (bytes > UINT64_MAX - 31) return std::nullopt;
    return (bytes + 31) / 32 * 32;
}

namespace detail {
// A new zero-filled buffer of `used` bytes whose strong count is `refs`.
std::optional<SpanBatchError> make_buffer(uint64_t used, int64_t refs, SharedBuffer*& out);
// Frees a buffer that no span refers to yet.
void discard_buffer(SharedBuffer* b) noexcept;
}  // namespace detail

// One new zero-filled data block laid out like a span batch, for callers
// that cut its segments themselves (offsets from segment_bytes): `bytes`
// long, with the `refs` references that the spans placed in it will hold.
// Until placed() the block belongs to this record and goes whole with it.
class BatchBuffer {
public:
    BatchBuffer() = default;
    BatchBuffer(const BatchBuffer&) = delete;
    BatchBuffer& operator=(const BatchBuffer&) = delete;
    ~BatchBuffer() {
        if (buf_ && !placed_) detail::discard_buffer(buf_);
    }
    // Makes the block (at most once); SizeOverflow/OutOfMemory as a value.
    std::optional<SpanBatchError> make(uint64_t bytes, uint64_t refs) {
        return detail::make_buffer(bytes, static_cast<int64_t>(refs), buf_);
    }
    SharedBuffer* owner() const noexcept { return buf_; }
    unsigned char* data() const noexcept {
        return buf_ ? static_cast<unsigned char*>(buf_->data) : nullptr;
    }
    // Every reference now lives in a span placed in the block.
    void placed() noexcept { placed_ = true; }

private:
    SharedBuffer* buf_ = nullptr;
    bool placed_ = false;
};

// Two buffers laid out like a value batch and an index batch over the
// non-zero lengths, placed straight into two outer span arrays: for every
// i in [0, n) with lens[i] > 0, vdest[i] and idest[i] become its segments
// (values of vwidth bytes, indices of 8) and fill(i, values, indices, len)
// runs in the same parallel pass to write their elements; every other i
// gets vfill and ifill. Equivalent to the two batches followed by outer
// assembly, without the intermediate arrays or a second pass. On failure
// (a returned error, or an exception from an allocation or from fill)
// nothing stays allocated and no span written to the arrays holds a
// reference; NoSegments when every length is 0.
template <typename Fill>
std::optional<SpanBatchError> place_span_pair(const uint64_t* lens, uint64_t n, uint64_t vwidth,
                                              Span vfill, Span ifill, Span* vdest, Span* idest,
                                              const Fill& fill) {
    struct Piece {
        uint64_t vbytes = 0, ibytes = 0, segments = 0;
        bool overflow = false;
    };
    // Up to 64 pieces per thread, so that a few long rows still spread.
    const par::Pieces cut = par::pieces_of(n, 64);
    const uint64_t pieces = cut.count;
    Temp<Piece> piece = temp_array<Piece>(pieces);
    par::for_each(pieces, [&](uint64_t p) {
        Piece r;
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e && !r.overflow; ++i) {
            if (lens[i] == 0) continue;
            auto vb = segment_bytes(lens[i], vwidth), ib = segment_bytes(lens[i], 8);
            r.overflow = !vb || !ib || __builtin_add_overflow(r.vbytes, *vb, &r.vbytes) ||
                         __builtin_add_overflow(r.ibytes, *ib, &r.ibytes);
            ++r.segments;
        }
        piece[p] = r;
    });
    uint64_t vused = 0, iused = 0, k = 0;
    for (uint64_t p = 0; p < pieces; ++p) {  // each piece's bytes become its start
        if (piece[p].overflow) return SpanBatchError::SizeOverflow;
        uint64_t vb = piece[p].vbytes, ib = piece[p].ibytes;
        piece[p].vbytes = vused;
        piece[p].ibytes = iused;
        if (__builtin_add_overflow(vused, vb, &vused) || __builtin_add_overflow(iused, ib, &iused))
            return SpanBatchError::SizeOverflow;
        k += piece[p].segments;
    }
    if (k == 0) return SpanBatchError::NoSegments;
    SharedBuffer *vbuf = nullptr, *ibuf = nullptr;
    if (auto err = detail::make_buffer(vused, static_cast<int64_t>(k), vbuf)) return err;
    std::optional<SpanBatchError> ierr;
    try {
        ierr = detail::make_buffer(iused, static_cast<int64_t>(k), ibuf);
    } catch (...) {
        detail::discard_buffer(vbuf);
        throw;
    }
    if (ierr) {
        detail::discard_buffer(vbuf);
        return ierr;
    }
    auto* vbase = static_cast<unsigned char*>(vbuf->data);
    auto* ibase = static_cast<unsigned char*>(ibuf->data);
    // Should the pass throw, no span placed so far is reachable (the caller
    // frees its arrays without releasing them): both buffers go whole.
    try {
        par::for_each(pieces, [&](uint64_t p) {
            uint64_t voff = piece[p].vbytes, ioff = piece[p].ibytes;
            for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i) {
                uint64_t c = lens[i];
                if (c == 0) {
                    vdest[i] = vfill;
                    idest[i] = ifill;
                    continue;
                }
                vdest[i] = Span{vbase + voff, vbuf, c, kFlagsOwned};
                idest[i] = Span{ibase + ioff, ibuf, c, kFlagsOwned};
                fill(i, static_cast<void*>(vbase + voff), reinterpret_cast<int64_t*>(ibase + ioff), c);
                voff += (c * vwidth + 31) / 32 * 32;
                ioff += (c * 8 + 31) / 32 * 32;
            }
        });
    } catch (...) {
        detail::discard_buffer(vbuf);
        detail::discard_buffer(ibuf);
        throw;
    }
    return std::nullopt;
}

}  // namespace korvex
