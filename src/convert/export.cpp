#include <atomic>
#include <cstring>

#include "convert/convert.hpp"
#include "span/parallel.hpp"
#include "sparse/stats.hpp"

namespace korvex {

template <typename V, Form F>
int32_t export_coo(CompressedMatrix& m, int64_t* row_out, int64_t* col_out, V* val_out,
                   uint64_t capacity) {
    uint64_t cached = has_cached_nnz(m);
    uint64_t count = obtain_nnz(m);
    if (capacity < count) return KORVEX_STATUS_CAPACITY;
    uint64_t n = outer_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    // A count set too low by the host must never let the export run past
    // the caller's arrays: check the stored entries before writing any.
    if (cached && count_entries(m) > capacity) return KORVEX_STATUS_CAPACITY;

    // Chunks of outer indices written in parallel, each from its own offset:
    // the same arrays a front-to-back pass would write.
    const par::Pieces cut = par::pieces_of(n, 8);
    const uint64_t chunks = cut.count;
    Temp<uint64_t> start = temp_array<uint64_t>(chunks);
    par::collect(chunks, start.get(), [&](uint64_t c) {
        uint64_t s = 0;
        for (uint64_t i = cut.begin(c), e = cut.end(c); i < e; ++i) s += vs[i].len;
        return s;
    });
    uint64_t run = 0;
    for (uint64_t c = 0; c < chunks; ++c) {
        uint64_t k = start[c];
        start[c] = run;
        run += k;
    }
    par::for_each(chunks, [&](uint64_t c) {
        uint64_t pos = start[c];
        for (uint64_t i = cut.begin(c), e = cut.end(c); i < e; ++i) {
            uint64_t len = vs[i].len;
            if (len == 0) continue;
            const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
            int64_t* outer_out = F == Form::csr ? row_out : col_out;
            int64_t* inner_out = F == Form::csr ? col_out : row_out;
            for (uint64_t k = 0; k < len; ++k) outer_out[pos + k] = static_cast<int64_t>(i);
            std::memcpy(inner_out + pos, idx, len * sizeof(int64_t));
            std::memcpy(val_out + pos, vs[i].data, len * sizeof(V));
            pos += len;
        }
    });
    return KORVEX_OK;
}

template <typename V, Form F>
int32_t export_dense(CompressedMatrix& m, V* out, uint64_t capacity, uint8_t order) {
    uint64_t total;
    if (__builtin_mul_overflow(m.rows, m.cols, &total)) return KORVEX_STATUS_CAPACITY;
    if (capacity < total) return KORVEX_STATUS_CAPACITY;
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = m.values.ptr;
    const Span* xs = m.indices.ptr;
    // Every position must lie inside the matrix before anything is written.
    bool bad = par::any(n, [&](uint64_t i) {
        if (vs[i].len != xs[i].len) return true;
        const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
        for (uint64_t k = 0; k < xs[i].len; ++k)
            if (static_cast<uint64_t>(idx[k]) >= inner) return true;
        return false;
    });
    if (bad) return KORVEX_STATUS_INDEX;

    par::for_range(total, [&](uint64_t b, uint64_t e) { std::memset(out + b, 0, (e - b) * sizeof(V)); });
    bool outer_major = (F == Form::csr) == (order == 0);
    // Stride of one outer step and of one inner step in the dense array.
    uint64_t outer_stride = outer_major ? inner : 1;
    uint64_t inner_stride = outer_major ? 1 : n;
    par::for_each(n, [&](uint64_t i) {
        const int64_t* idx = static_cast<const int64_t*>(xs[i].data);
        const V* val = static_cast<const V*>(vs[i].data);
        V* base = out + i * outer_stride;
        for (uint64_t k = 0, len = vs[i].len; k < len; ++k)
            base[static_cast<uint64_t>(idx[k]) * inner_stride] = val[k];
    });
    return KORVEX_OK;
}

namespace {

// Writes outer indices [begin, end) of one piece from place `at` on. Each
// index is checked in the loop that copies it: x and hi - x (hi the largest
// valid index, -1 when there is none) both have the sign bit clear exactly
// when 0 <= x <= hi, and OR-ing them into one word keeps the loop on vector
// instructions. A row whose two spans differ is skipped and reported.
// Returns false on any refusal.
template <typename V, typename I>
bool write_piece(const Span* vs, const Span* xs, uint64_t begin, uint64_t end, uint64_t at,
                 int64_t hi, V* values_out, I* indices_out, I* indptr_out) {
    const auto h = static_cast<uint64_t>(hi);
    uint64_t acc = 0;
    bool mismatch = false;
    // Rows scattered in memory (a take, stacked blocks) each start with a
    // cache miss: their first lines are fetched kRowsAhead rows early.
    constexpr uint64_t kRowsAhead = 8;
    auto fetch_row = [&](uint64_t i) {
        if (vs[i].len == 0) return;
        __builtin_prefetch(vs[i].data);
        __builtin_prefetch(static_cast<const char*>(vs[i].data) + 64);
        __builtin_prefetch(xs[i].data);
        __builtin_prefetch(static_cast<const char*>(xs[i].data) + 64);
    };
    for (uint64_t i = begin; i < end && i < begin + kRowsAhead; ++i) fetch_row(i);
    for (uint64_t i = begin; i < end; ++i) {
        if (i + kRowsAhead < end) fetch_row(i + kRowsAhead);
        uint64_t len = vs[i].len;
        indptr_out[i] = static_cast<I>(at);
        if (len == 0) continue;
        if (xs[i].len != len) {
            mismatch = true;
            at += len;
            continue;
        }
        if (values_out) std::memcpy(values_out + at, vs[i].data, len * sizeof(V));
        const int64_t* src = static_cast<const int64_t*>(xs[i].data);
        I* dst = indices_out + at;
        for (uint64_t k = 0; k < len; ++k) {
            auto x = static_cast<uint64_t>(src[k]);
            acc |= x | (h - x);
            dst[k] = static_cast<I>(src[k]);
        }
        at += len;
    }
    return !mismatch && (acc >> 63) == 0;
}

template <typename V, Form F, typename I>
int32_t write_compressed(const CompressedMatrix& m, const par::Pieces& cut, const uint64_t* start,
                         uint64_t total, V* values_out, I* indices_out, I* indptr_out) {
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    // Valid indices lie in [0, hi]; an inner dim of 0 admits none.
    int64_t hi = inner == 0 ? -1 : inner - 1 > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(inner - 1);
    std::atomic<bool> bad{false};
    par::for_each(cut.count, [&](uint64_t p) {
        if (!write_piece(m.values.ptr, m.indices.ptr, cut.begin(p), cut.end(p), start[p], hi,
                         values_out, indices_out, indptr_out))
            bad.store(true, std::memory_order_relaxed);
    });
    indptr_out[n] = static_cast<I>(total);
    return bad.load() ? KORVEX_STATUS_INDEX : KORVEX_OK;
}

}  // namespace

template <typename V, Form F>
int32_t export_compressed(const CompressedMatrix& m, V* values_out, void* indices_out,
                          void* indptr_out, uint64_t capacity, uint8_t width) {
    if (width != 4 && width != 8) return KORVEX_STATUS_CAPACITY;
    uint64_t n = outer_dim<F>(m), inner = inner_dim<F>(m);
    KORVEX_INVARIANT(m.values.len >= n && m.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = m.values.ptr;
    // One pass over the value descriptors: each piece's entry count, which
    // becomes its first place. The cached count is not used: the stored
    // entries decide the capacity. Rows whose index span differs are found
    // by the writing pass.
    const par::Pieces cut = par::pieces_of(n, 16);
    Temp<uint64_t> start = temp_array<uint64_t>(cut.count);
    par::collect(cut.count, start.get(), [&](uint64_t p) {
        uint64_t s = 0;
        for (uint64_t i = cut.begin(p), e = cut.end(p); i < e; ++i) s += vs[i].len;
        return s;
    });
    uint64_t total = 0;
    for (uint64_t p = 0; p < cut.count; ++p) {
        uint64_t c = start[p];
        start[p] = total;
        total += c;  // cannot wrap: the entries exist in memory
    }
    if (total > capacity) return KORVEX_STATUS_CAPACITY;
    if (width == 4) {
        if (total > uint64_t(INT32_MAX) || inner > uint64_t(INT32_MAX) + 1) return KORVEX_STATUS_CAPACITY;
        return write_compressed<V, F>(m, cut, start.get(), total, values_out,
                                      static_cast<int32_t*>(indices_out), static_cast<int32_t*>(indptr_out));
    }
    return write_compressed<V, F>(m, cut, start.get(), total, values_out,
                                  static_cast<int64_t*>(indices_out), static_cast<int64_t*>(indptr_out));
}

#define KORVEX_INSTANTIATE(V, F)                                                                 \
    template int32_t export_coo<V, F>(CompressedMatrix&, int64_t*, int64_t*, V*, uint64_t);      \
    template int32_t export_dense<V, F>(CompressedMatrix&, V*, uint64_t, uint8_t);                \
    template int32_t export_compressed<V, F>(const CompressedMatrix&, V*, void*, void*, uint64_t, \
                                             uint8_t);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
