#include "span/span.hpp"

#include <algorithm>
#include <cstring>

#include "span/parallel.hpp"

namespace korvex {

namespace {

alignas(64) const unsigned char sentinel_block[64] = {};

constexpr uint64_t kSegAlign = 32;
constexpr uint64_t kMaxAlloc = (uint64_t{1} << 63) - 32;

void destroy_buffer(SharedBuffer* b) noexcept {
    free_data_block(b->alloc_ptr, b->alloc_size);
    b->alloc_ptr = nullptr;
    if (b->weak.fetch_sub(1) == 1) xfree(b, sizeof(SharedBuffer));
}

// Rounded byte size of a segment of c elements, or nullopt on overflow.
std::optional<uint64_t> segment_bytes(uint64_t c, uint64_t width) {
    uint64_t bytes;
    if (__builtin_mul_overflow(c, width, &bytes)) return std::nullopt;
    if (bytes > UINT64_MAX - (kSegAlign - 1)) return std::nullopt;
    return (bytes + kSegAlign - 1) / kSegAlign * kSegAlign;
}

// One new buffer of `used` bytes with strong count `refs` (>= 1).
std::optional<SpanBatchError> make_buffer(uint64_t used, int64_t refs, SharedBuffer*& out) {
    if (used > kMaxAlloc - 31) return SpanBatchError::SizeOverflow;
    uint64_t alloc_size = used + 31;
    void* block = alloc_data_block(alloc_size);
    if (!block) return SpanBatchError::OutOfMemory;
    auto* b = static_cast<SharedBuffer*>(xmalloc(sizeof(SharedBuffer)));
    new (&b->strong) std::atomic<int64_t>(refs);
    new (&b->weak) std::atomic<int64_t>(1);
    b->alloc_ptr = block;
    b->data = block;
    b->used = used;
    b->alloc_size = alloc_size;
    b->align = kSegAlign;
    out = b;
    return std::nullopt;
}

}  // namespace

const void* empty_sentinel() noexcept { return sentinel_block; }

void add_refs(void* owner, int64_t k) noexcept {
    if (!owner || k == 0) return;
    auto* b = static_cast<SharedBuffer*>(owner);
    int64_t old = b->strong.fetch_add(k);
    if (old < 0 || old > INT64_MAX - k) fatal("reference count overflow");
}

Span span_share(const Span& s) noexcept {
    add_refs(s.owner, 1);
    return s;
}

void share_spans(const Span* src, Span* dst, uint64_t n) noexcept {
    void* owner = nullptr;
    int64_t run = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const Span s = src[i];
        dst[i] = s;
        if (s.owner != owner) {
            add_refs(owner, run);
            owner = s.owner;
            run = 0;
        }
        ++run;
    }
    add_refs(owner, run);
}

void span_release(const Span& s) noexcept {
    if (!s.owner) return;
    auto* b = static_cast<SharedBuffer*>(s.owner);
    if (b->strong.fetch_sub(1) == 1) destroy_buffer(b);
}

Span* span_clone(const Span* s) {
    auto* r = static_cast<Span*>(xmalloc(sizeof(Span)));
    *r = span_share(*s);
    return r;
}

void span_free_record(Span* s) noexcept {
    span_release(*s);
    xfree(s, sizeof(Span));
}

SpanVec spanvec_with_capacity(uint64_t n) {
    SpanVec v;
    v.cap = n;
    v.ptr = xalloc_array<Span>(n);
    v.len = 0;
    return v;
}

void spanvec_release(SpanVec& v) noexcept {
    for (uint64_t i = 0; i < v.len; ++i) span_release(v.ptr[i]);
    spanvec_free_array(v);
}

void spanvec_free_array(SpanVec& v) noexcept {
    xfree(v.ptr, v.cap * sizeof(Span));
    v = SpanVec{};
}

std::optional<SpanBatchError> allocate_span_batch(const uint64_t* counts, uint64_t k,
                                                  uint64_t width, SpanVec& out) {
    if (k == 0) return SpanBatchError::NoSegments;
    Temp<uint64_t> offsets = temp_array<uint64_t>(k);
    for (uint64_t i = 0; i < k; ++i)
        if (!segment_bytes(counts[i], width)) return SpanBatchError::SizeOverflow;
    uint64_t end = 0;
    for (uint64_t i = 0; i < k; ++i) {
        uint64_t seg = *segment_bytes(counts[i], width);
        if (seg == 0) return SpanBatchError::ZeroLengthSegment;
        offsets[i] = end;
        if (__builtin_add_overflow(end, seg, &end)) return SpanBatchError::SizeOverflow;
    }
    SharedBuffer* buf = nullptr;
    if (auto err = make_buffer(end, static_cast<int64_t>(k), buf)) return err;
    SpanVec v = spanvec_with_capacity(k);
    auto* base = static_cast<unsigned char*>(buf->data);
    for (uint64_t i = 0; i < k; ++i) v.ptr[i] = Span{base + offsets[i], buf, counts[i], kFlagsOwned};
    v.len = k;
    out = v;
    return std::nullopt;
}

std::optional<SpanBatchError> place_span_batch(const uint64_t* lens, uint64_t n, uint64_t width,
                                               Span fill, Span* dest) {
    // Two passes over pieces of the lengths: the bytes and segments of each
    // piece, then (after a scan over the pieces) the spans themselves, each
    // piece laying out its segments from its own start. dest is untouched
    // until the buffer exists.
    uint64_t pieces = n < 8192 ? 1 : std::min<uint64_t>(n / 4096, 64 * uint64_t(par::thread_count()));
    struct Piece {
        uint64_t bytes = 0, segments = 0;
        bool overflow = false;
    };
    Temp<Piece> piece = temp_array<Piece>(pieces);
    auto lo = [&](uint64_t p) { return static_cast<uint64_t>(static_cast<unsigned __int128>(n) * p / pieces); };
    par::for_each(pieces, [&](uint64_t p) {
        Piece r;
        for (uint64_t i = lo(p), e = lo(p + 1); i < e; ++i) {
            if (lens[i] == 0) continue;
            auto seg = segment_bytes(lens[i], width);
            if (!seg || __builtin_add_overflow(r.bytes, *seg, &r.bytes)) {
                r.overflow = true;
                break;
            }
            ++r.segments;
        }
        piece[p] = r;
    });
    uint64_t used = 0, k = 0;
    for (uint64_t p = 0; p < pieces; ++p) {
        if (piece[p].overflow) return SpanBatchError::SizeOverflow;
        uint64_t b = piece[p].bytes;
        piece[p].bytes = used;  // becomes the piece's start
        if (__builtin_add_overflow(used, b, &used)) return SpanBatchError::SizeOverflow;
        k += piece[p].segments;
    }
    if (k == 0) return SpanBatchError::NoSegments;
    SharedBuffer* buf = nullptr;
    if (auto err = make_buffer(used, static_cast<int64_t>(k), buf)) return err;
    auto* base = static_cast<unsigned char*>(buf->data);
    par::for_each(pieces, [&](uint64_t p) {
        uint64_t off = piece[p].bytes;
        for (uint64_t i = lo(p), e = lo(p + 1); i < e; ++i) {
            uint64_t c = lens[i];
            if (c == 0) {
                dest[i] = fill;
                continue;
            }
            dest[i] = Span{base + off, buf, c, kFlagsOwned};
            off += *segment_bytes(c, width);
        }
    });
    return std::nullopt;
}

}  // namespace korvex
