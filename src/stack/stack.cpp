#include "stack/stack.hpp"

#include <cstring>

#include "span/parallel.hpp"
#include "sparse/stats.hpp"

namespace korvex {

namespace {

constexpr uint64_t kSequentialInputs = 255;

// Every input's count, filling the caches of those without one. Counts of
// many inputs are taken in parallel into a temporary, and caches are written
// afterwards on the calling thread, so a matrix listed twice is never
// written by two tasks at once.
uint64_t sum_counts(CompressedMatrix* const* mats, uint64_t count) {
    if (count <= kSequentialInputs) {
        uint64_t s = 0;
        for (uint64_t j = 0; j < count; ++j) s += obtain_nnz(*mats[j]);
        return s;
    }
    Temp<uint64_t> counts = temp_array<uint64_t>(count);
    par::collect(count, counts.get(), [&](uint64_t j) {
        const CompressedMatrix& m = *mats[j];
        return has_cached_nnz(m) ? m.nnz : count_entries(m);
    });
    uint64_t s = 0;
    for (uint64_t j = 0; j < count; ++j) {
        CompressedMatrix& m = *mats[j];
        if (!has_cached_nnz(m)) cache_nnz(m, counts[j]);
        s += counts[j];
    }
    return s;
}

}  // namespace

template <Form F>
int32_t stack_along(CompressedMatrix* const* mats, uint64_t count, CompressedMatrix** out) {
    if (count == 1) {
        *out = matrix_clone(*mats[0]);
        return KORVEX_OK;
    }
    uint64_t inner = inner_dim<F>(*mats[0]);
    for (uint64_t j = 1; j < count; ++j)
        if (inner_dim<F>(*mats[j]) != inner) return KORVEX_STATUS_SHAPE_MISMATCH;
    uint64_t outer = 0;
    for (uint64_t j = 0; j < count; ++j) {
        uint64_t n = outer_dim<F>(*mats[j]);
        KORVEX_INVARIANT(mats[j]->values.len >= n && mats[j]->indices.len >= n,
                         "span arrays shorter than the shape");
        outer = add_or_throw(outer, n);
    }
    uint64_t nnz = sum_counts(mats, count);
    SpanVecGuard v(outer), x(outer);
    for (uint64_t j = 0; j < count; ++j) {
        const CompressedMatrix& m = *mats[j];
        uint64_t n = outer_dim<F>(m);
        share_spans_parallel(m.values.ptr, v.v.ptr + v.v.len, n);
        v.v.len += n;
        share_spans_parallel(m.indices.ptr, x.v.ptr + x.v.len, n);
        x.v.len += n;
    }
    *out = make_matrix(Family::of(*mats[0]), v.take(), x.take(), rows_of<F>(outer, inner),
                       cols_of<F>(outer, inner), true, nnz);
    return KORVEX_OK;
}

template <typename V, Form F>
int32_t stack_across(CompressedMatrix* const* mats, uint64_t count, CompressedMatrix** out) {
    if (count == 1) {
        *out = matrix_clone(*mats[0]);
        return KORVEX_OK;
    }
    uint64_t n = outer_dim<F>(*mats[0]);
    for (uint64_t j = 1; j < count; ++j)
        if (outer_dim<F>(*mats[j]) != n) return KORVEX_STATUS_SHAPE_MISMATCH;
    Temp<uint64_t> offsets = temp_array<uint64_t>(count);
    uint64_t inner = 0;
    bool any_entries = false;
    for (uint64_t j = 0; j < count; ++j) {
        offsets[j] = inner;
        inner = add_or_throw(inner, inner_dim<F>(*mats[j]));  // no such matrix can be made
        if (!any_entries) any_entries = obtain_nnz(*mats[j]) != 0;  // stop at the first non-zero
    }
    if (!any_entries) {
        *out = make_vacant<V, F>(n, rows_of<F>(n, inner), cols_of<F>(n, inner));
        return KORVEX_OK;
    }
    for (uint64_t j = 0; j < count; ++j)
        KORVEX_INVARIANT(mats[j]->values.len >= n && mats[j]->indices.len >= n,
                         "span arrays shorter than the shape");
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    std::atomic<bool> mismatch{false};
    par::collect(n, lens.get(), [&](uint64_t r) {
        uint64_t s = 0;
        for (uint64_t j = 0; j < count; ++j) {
            const CompressedMatrix& m = *mats[j];
            if (m.values.ptr[r].len != m.indices.ptr[r].len) mismatch.store(true);
            s += m.values.ptr[r].len;
        }
        return s;
    });
    if (mismatch.load()) return KORVEX_STATUS_INDEX;
    uint64_t total = par::sum(n, [&](uint64_t r) { return lens[r]; });
    SpanVec v, x;
    auto fill = [&](uint64_t r, void* vals, int64_t* dx, uint64_t) {
        V* dv = static_cast<V*>(vals);
        uint64_t p = 0;
        for (uint64_t j = 0; j < count; ++j) {
            const Span& sv = mats[j]->values.ptr[r];
            uint64_t c = sv.len;
            if (c == 0) continue;
            copy_elements(dv + p, static_cast<const V*>(sv.data), c);
            const int64_t* sx = static_cast<const int64_t*>(mats[j]->indices.ptr[r].data);
            uint64_t off = offsets[j];  // indices shift with plain wrapping addition
            for (uint64_t q = 0; q < c; ++q)
                dx[p + q] = static_cast<int64_t>(static_cast<uint64_t>(sx[q]) + off);
            p += c;
        }
    };
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/true, v, x, fill))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(Family::of<V, F>(), v, x, rows_of<F>(n, inner), cols_of<F>(n, inner), true, total);
    return KORVEX_OK;
}

template int32_t stack_along<Form::csr>(CompressedMatrix* const*, uint64_t, CompressedMatrix**);
template int32_t stack_along<Form::csc>(CompressedMatrix* const*, uint64_t, CompressedMatrix**);
#define KORVEX_INSTANTIATE(V, F) \
    template int32_t stack_across<V, F>(CompressedMatrix* const*, uint64_t, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
