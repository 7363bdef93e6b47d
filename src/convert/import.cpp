#include <atomic>
#include <cstring>

#include "convert/convert.hpp"
#include "span/parallel.hpp"

namespace korvex {

template <typename V, Form F>
CompressedMatrix* import_view(uint64_t rows, uint64_t cols, const V* data, const int64_t* indices,
                              const uint64_t* indptr) {
    uint64_t n = F == Form::csr ? rows : cols;
    SpanVecGuard v(n), x(n);  // views hold no references
    Span* vs = v.v.ptr;
    Span* xs = x.v.ptr;
    par::for_range(n, [&](uint64_t b, uint64_t end) {
        for (uint64_t i = b; i < end; ++i) {
            uint64_t s = indptr[i], e = indptr[i + 1];
            if (e > s) {
                vs[i] = Span{const_cast<V*>(data + s), nullptr, e - s, kFlagView};
                xs[i] = Span{const_cast<int64_t*>(indices + s), nullptr, e - s, kFlagView};
            } else {
                // Empty rows, and decreasing pairs, which must never reach
                // outside the caller's arrays.
                vs[i] = xs[i] = empty_span();
            }
        }
    });
    v.v.len = x.v.len = n;
    return make_matrix(v.take(), x.take(), rows, cols, 0, 0);
}

template <typename V, Form F>
int32_t import_copy(uint64_t rows, uint64_t cols, const V* data, uint64_t data_len,
                    const int64_t* indices, uint64_t indices_len, const uint64_t* indptr,
                    uint64_t indptr_len, CompressedMatrix** out) {
    uint64_t n = F == Form::csr ? rows : cols;
    if (n == UINT64_MAX || indptr_len != n + 1) return KORVEX_STATUS_INDPTR;
    if (n > 0 && indptr[0] != 0) return KORVEX_STATUS_INDPTR;
    uint64_t total = indptr[n];
    if (data_len != total || indices_len != total) return KORVEX_STATUS_LENGTH;
    // One pass gives the lengths (a decreasing pair gives 0) and their sum,
    // and finds any interior offset beyond the last one, which would read
    // past the arrays: such a call is refused before any entry is read.
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    std::atomic<bool> beyond{false};
    uint64_t nnz = par::sum(n, [&](uint64_t i) {
        uint64_t s = indptr[i], e = indptr[i + 1];
        if (s > total) beyond.store(true, std::memory_order_relaxed);
        return lens[i] = e >= s ? e - s : 0;
    });
    if (beyond.load()) return KORVEX_STATUS_INDPTR;
    if (nnz == 0) {
        *out = make_blank(n, empty_span(), empty_span(), rows, cols);
        return KORVEX_OK;
    }
    SpanVec v, x;
    auto copy_row = [&](uint64_t i, void* vals, int64_t* idx, uint64_t len) {
        copy_elements(static_cast<V*>(vals), data + indptr[i], len);
        copy_elements(idx, indices + indptr[i], len);
    };
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/false, v, x, copy_row))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(v, x, rows, cols, 1, nnz);
    return KORVEX_OK;
}

#define KORVEX_INSTANTIATE(V, F)                                                              \
    template CompressedMatrix* import_view<V, F>(uint64_t, uint64_t, const V*, const int64_t*, \
                                                 const uint64_t*);                            \
    template int32_t import_copy<V, F>(uint64_t, uint64_t, const V*, uint64_t, const int64_t*, \
                                       uint64_t, const uint64_t*, uint64_t, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
