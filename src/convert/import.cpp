#include <atomic>
#include <cstring>
#include <type_traits>

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
    return make_matrix(Family::of<V, F>(), v.take(), x.take(), rows, cols, false, 0);
}

namespace {

// Caller arrays may sit at any address (a packed file, a network buffer):
// every element is read through memcpy, which the compiler turns into plain
// unaligned loads.
template <typename T>
[[gnu::always_inline]] inline T load(const unsigned char* base, uint64_t i) {
    T t;
    std::memcpy(&t, base + i * sizeof(T), sizeof(T));
    return t;
}

// n elements of S at src (any address) into dst as D; a plain copy when
// the types agree, short runs without a call.
template <typename D, typename S>
[[gnu::always_inline]] inline void copy_from(D* dst, const unsigned char* src, uint64_t n) {
    if constexpr (std::is_same_v<D, S>) {
        if (n > 8) {
            std::memcpy(dst, src, n * sizeof(D));
            return;
        }
    }
    for (uint64_t k = 0; k < n; ++k) dst[k] = static_cast<D>(load<S>(src, k));
}

// I: the caller's index type, P: its index pointer type (uint64_t, or
// int32_t where a negative entry is malformed).
template <typename V, Form F, typename I, typename P>
int32_t import_copy_from(uint64_t rows, uint64_t cols, const unsigned char* data, uint64_t data_len,
                         const unsigned char* indices, uint64_t indices_len,
                         const unsigned char* indptr, uint64_t indptr_len, CompressedMatrix** out) {
    uint64_t n = F == Form::csr ? rows : cols;
    if (n == UINT64_MAX || indptr_len != n + 1) return KORVEX_STATUS_INDPTR;
    // Index pointer i as an offset; a negative one flags `neg` and reads 0.
    auto at = [indptr](uint64_t i, bool& neg) -> uint64_t {
        P p = load<P>(indptr, i);
        if constexpr (std::is_signed_v<P>) {
            if (p < 0) {
                neg = true;
                return 0;
            }
        }
        return static_cast<uint64_t>(p);
    };
    bool neg = false;
    if (n > 0 && at(0, neg) != 0) return KORVEX_STATUS_INDPTR;
    uint64_t total = at(n, neg);
    if (neg) return KORVEX_STATUS_INDPTR;
    if (data_len != total || indices_len != total) return KORVEX_STATUS_LENGTH;
    // One pass gives the lengths (a decreasing pair gives 0) and their sum,
    // and finds any interior offset beyond the last one (or negative), which
    // would read outside the arrays: such a call is refused before any entry
    // is read.
    Temp<uint64_t> lens = temp_array<uint64_t>(n);
    std::atomic<bool> beyond{false};
    uint64_t nnz = par::sum(n, [&](uint64_t i) {
        bool bad = false;
        uint64_t s = at(i, bad), e = at(i + 1, bad);
        if (bad || s > total) beyond.store(true, std::memory_order_relaxed);
        return lens[i] = e >= s ? e - s : 0;
    });
    if (beyond.load()) return KORVEX_STATUS_INDPTR;
    if (nnz == 0) {
        *out = make_blank(Family::of<V, F>(), n, empty_span(), empty_span(), rows, cols);
        return KORVEX_OK;
    }
    SpanVec v, x;
    auto copy_row = [&](uint64_t i, void* vals, int64_t* idx, uint64_t len) {
        bool unused = false;
        uint64_t s = at(i, unused);
        copy_from<V, V>(static_cast<V*>(vals), data + s * sizeof(V), len);
        copy_from<int64_t, I>(idx, indices + s * sizeof(I), len);
    };
    if (assemble_outer(lens.get(), n, sizeof(V), /*vacant_fill=*/false, v, x, copy_row))
        return KORVEX_STATUS_ALLOC;
    *out = make_matrix(Family::of<V, F>(), v, x, rows, cols, true, nnz);
    return KORVEX_OK;
}

inline const unsigned char* bytes(const void* p) { return static_cast<const unsigned char*>(p); }

}  // namespace

template <typename V, Form F>
int32_t import_copy(uint64_t rows, uint64_t cols, const void* data, uint64_t data_len,
                    const void* indices, uint64_t indices_len, const void* indptr,
                    uint64_t indptr_len, CompressedMatrix** out) {
    return import_copy_from<V, F, int64_t, uint64_t>(rows, cols, bytes(data), data_len, bytes(indices),
                                                     indices_len, bytes(indptr), indptr_len, out);
}

template <typename V, Form F>
int32_t import_copy_i32(uint64_t rows, uint64_t cols, const void* data, uint64_t data_len,
                        const void* indices, uint64_t indices_len, const void* indptr,
                        uint64_t indptr_len, CompressedMatrix** out) {
    return import_copy_from<V, F, int32_t, int32_t>(rows, cols, bytes(data), data_len, bytes(indices),
                                                    indices_len, bytes(indptr), indptr_len, out);
}

#define KORVEX_INSTANTIATE(V, F)                                                              \
    template CompressedMatrix* import_view<V, F>(uint64_t, uint64_t, const V*, const int64_t*, \
                                                 const uint64_t*);                            \
    template int32_t import_copy<V, F>(uint64_t, uint64_t, const void*, uint64_t, const void*,  \
                                       uint64_t, const void*, uint64_t, CompressedMatrix**);     \
    template int32_t import_copy_i32<V, F>(uint64_t, uint64_t, const void*, uint64_t, const void*, \
                                           uint64_t, const void*, uint64_t, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
