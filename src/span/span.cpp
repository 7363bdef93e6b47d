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

}  // namespace

namespace detail {

std::optional<SpanBatchError> make_buffer(uint64_t used, int64_t refs, SharedBuffer*& out) {
    if (used > kMaxAlloc - 31) return SpanBatchError::SizeOverflow;
    uint64_t alloc_size = used + 31;
    void* block = alloc_data_block(alloc_size);
    if (!block) return SpanBatchError::OutOfMemory;
    SharedBuffer* b;
    try {
        b = static_cast<SharedBuffer*>(xmalloc(sizeof(SharedBuffer)));
    } catch (...) {
        free_data_block(block, alloc_size);
        throw;
    }
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

void discard_buffer(SharedBuffer* b) noexcept { destroy_buffer(b); }

}  // namespace detail

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

void drop_refs(void* owner, int64_t k) noexcept {
    if (!owner || k == 0) return;
    auto* b = static_cast<SharedBuffer*>(owner);
    if (b->strong.fetch_sub(k) == k) destroy_buffer(b);
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
    if (auto err = detail::make_buffer(end, static_cast<int64_t>(k), buf)) return err;
    SpanVec v;
    try {
        v = spanvec_with_capacity(k);
    } catch (...) {
        detail::discard_buffer(buf);
        throw;
    }
    auto* base = static_cast<unsigned char*>(buf->data);
    for (uint64_t i = 0; i < k; ++i) v.ptr[i] = Span{base + offsets[i], buf, counts[i], kFlagsOwned};
    v.len = k;
    out = v;
    return std::nullopt;
}

}  // namespace korvex
