#include "transpose/transpose.hpp"

#include <atomic>

#include "span/parallel.hpp"
#include "sparse/rowsort.hpp"

namespace korvex {

template <typename V, Form F>
int32_t transpose(const CompressedMatrix& src, CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(src);
    if (src.rows == 0 || src.cols == 0) {
        *out = make_vacant<V, other(F)>(n, src.cols, src.rows);
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(src.values.len >= n && src.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = src.values.ptr;
    const Span* xs = src.indices.ptr;
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    std::atomic<bool> mismatch{false};
    uint64_t total = par::sum(n, [&](uint64_t i) {
        if (vs[i].len != xs[i].len) mismatch.store(true, std::memory_order_relaxed);
        return lens[i] = xs[i].len;
    });
    if (mismatch.load()) return KORVEX_STATUS_INDEX;
    if (total == 0) {
        *out = make_vacant<V, other(F)>(n, src.cols, src.rows);
        return KORVEX_OK;
    }
    SpanVec v, x;
    auto copy_sorted = [&](uint64_t i, void* vals, int64_t* idx, uint64_t len) {
        V* val = static_cast<V*>(vals);
        copy_elements(val, static_cast<const V*>(vs[i].data), len);
        copy_elements(idx, static_cast<const int64_t*>(xs[i].data), len);
        sort_row(val, idx, len);
    };
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/true, v, x, copy_sorted))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(Family::of<V, other(F)>(), v, x, src.cols, src.rows, true, total);
    return KORVEX_OK;
}

CompressedMatrix* transpose_shared(const CompressedMatrix& src) {
    CompressedMatrix* t = matrix_clone(src);
    t->rows = src.cols;
    t->cols = src.rows;
    t->nnz_tag ^= Family::kCsc;  // the same value type in the other form
    return t;
}

#define KORVEX_INSTANTIATE(V, F) \
    template int32_t transpose<V, F>(const CompressedMatrix&, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
