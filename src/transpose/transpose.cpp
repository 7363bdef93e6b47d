#include "transpose/transpose.hpp"

#include <cstring>

#include "span/parallel.hpp"
#include "sparse/rowsort.hpp"

namespace korvex {

template <typename V, Form F>
int32_t transpose(const CompressedMatrix& src, CompressedMatrix** out) {
    uint64_t n = outer_dim<F>(src);
    if (src.rows == 0 || src.cols == 0) {
        *out = make_blank(n, vacant_span(sizeof(V)), vacant_span(8), src.cols, src.rows);
        return KORVEX_OK;
    }
    KORVEX_INVARIANT(src.values.len >= n && src.indices.len >= n, "span arrays shorter than the shape");
    const Span* vs = src.values.ptr;
    const Span* xs = src.indices.ptr;
    if (par::any(n, [&](uint64_t i) { return vs[i].len != xs[i].len; })) return KORVEX_STATUS_INDEX;
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    par::collect(n, lens.get(), [&](uint64_t i) { return xs[i].len; });
    uint64_t total = par::sum(n, [&](uint64_t i) { return lens[i]; });
    if (total == 0) {
        *out = make_blank(n, vacant_span(sizeof(V)), vacant_span(8), src.cols, src.rows);
        return KORVEX_OK;
    }
    SpanVec v, x;
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/true, v, x))
        return KORVEX_STATUS_ALLOC;
    par::for_each(n, [&](uint64_t i) {
        uint64_t len = lens[i];
        if (len == 0) return;
        V* val = static_cast<V*>(v.ptr[i].data);
        int64_t* idx = static_cast<int64_t*>(x.ptr[i].data);
        std::memcpy(val, vs[i].data, len * sizeof(V));
        std::memcpy(idx, xs[i].data, len * sizeof(int64_t));
        sort_row(val, idx, len);
    });
    *out = make_matrix(v, x, src.cols, src.rows, 1, total);
    return KORVEX_OK;
}

#define KORVEX_INSTANTIATE(V, F) \
    template int32_t transpose<V, F>(const CompressedMatrix&, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
