// Shared helpers of the C++ suite: a leak-checking fixture, one traits
// struct per export family, and builders/readers over plain entry lists.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "korvex.h"
#include "span/span.hpp"
#include "sparse/matrix.hpp"

// Every test starts and ends with the same number of live library blocks.
class Leak : public ::testing::Test {
protected:
    std::int64_t base_ = 0;
    void SetUp() override { base_ = korvex::live_allocations(); }
    void TearDown() override { EXPECT_EQ(korvex::live_allocations(), base_) << "library blocks leaked"; }
    std::int64_t live() const { return korvex::live_allocations() - base_; }
};

// The exports of one family under uniform names.
template <typename V, bool Csr>
struct Api;
#define KV_API(P, VT, CSR, X, Y)                                           \
    template <>                                                             \
    struct Api<VT, CSR> {                                                   \
        using V = VT;                                                       \
        static constexpr bool csr = CSR;                                    \
        static constexpr auto release = P##_free;                           \
        static constexpr auto clone = P##_clone;                            \
        static constexpr auto rows = P##_rows;                              \
        static constexpr auto cols = P##_cols;                              \
        static constexpr auto nnz = P##_nnz;                                \
        static constexpr auto vals_vec = P##_values_vec_ptr;                \
        static constexpr auto idx_vec = P##_indices_vec_ptr;                \
        static constexpr auto vec_len = P##_values_vec_len;                 \
        static constexpr auto validate = P##_validate;                      \
        static constexpr auto sort_checked = P##_ensure_sorted_checked;     \
        static constexpr auto view = P##_from_scipy_view;                   \
        static constexpr auto copy = P##_from_scipy_copy;                   \
        static constexpr auto from_coo = P##_from_coo;                      \
        static constexpr auto to_coo = P##_to_coo;                          \
        static constexpr auto to_dense = P##_to_dense;                      \
        static constexpr auto convert = P##_from_##Y;                       \
        static constexpr auto transpose = P##_transpose_from_##Y;           \
        static constexpr auto slice_rows = P##_slice_rows;                  \
        static constexpr auto slice_cols = P##_slice_cols;                  \
        static constexpr auto mask_rows = P##_slice_rows_mask;              \
        static constexpr auto mask_cols = P##_slice_cols_mask;              \
        static constexpr auto hstack = P##_hstack;                          \
        static constexpr auto vstack = P##_vstack;                          \
    };
KV_API(csr_f32, float, true, row, csc)
KV_API(csr_f64, double, true, row, csc)
KV_API(csc_f32, float, false, col, csr)
KV_API(csc_f64, double, false, col, csr)
#undef KV_API

using CsrF32 = Api<float, true>;
using CsrF64 = Api<double, true>;
using CscF32 = Api<float, false>;
using CscF64 = Api<double, false>;

// Entries per outer index, in stored order: (inner index, value).
using Row = std::vector<std::pair<int64_t, double>>;
using Outer = std::vector<Row>;

// The three flat arrays of a compressed matrix, kept alive for views.
template <typename V>
struct Arrays {
    std::vector<V> data;
    std::vector<int64_t> idx;
    std::vector<uint64_t> ptr{0};
    explicit Arrays(const Outer& o) {
        data.reserve(1);  // non-null pointers even without entries
        idx.reserve(1);
        for (const Row& r : o) {
            for (auto [i, v] : r) {
                idx.push_back(i);
                data.push_back(static_cast<V>(v));
            }
            ptr.push_back(idx.size());
        }
    }
};

// Copy import of the given rows (stored order kept, nothing sorted).
template <typename A>
CompressedMatrix* copy_of(uint64_t rows, uint64_t cols, const Outer& o) {
    Arrays<typename A::V> a(o);
    CompressedMatrix* m = nullptr;
    EXPECT_EQ(A::copy(rows, cols, a.data.data(), a.data.size(), a.idx.data(), a.idx.size(),
                      a.ptr.data(), a.ptr.size(), &m),
              0);
    return m;
}

template <typename A>
CompressedMatrix* view_of(uint64_t rows, uint64_t cols, const Arrays<typename A::V>& a) {
    return A::view(rows, cols, a.data.data(), a.idx.data(), a.ptr.data());
}

// Entries of every outer index as stored, read through the raw span arrays.
template <typename A>
Outer read(CompressedMatrix* m) {
    Outer o(A::vec_len(m));
    const Span* vs = A::vals_vec(m);
    const Span* xs = A::idx_vec(m);
    for (uint64_t i = 0; i < o.size(); ++i) {
        EXPECT_EQ(vs[i].len, xs[i].len);
        for (uint64_t k = 0; k < vs[i].len; ++k)
            o[i].emplace_back(static_cast<const int64_t*>(xs[i].data)[k],
                              static_cast<const typename A::V*>(vs[i].data)[k]);
    }
    return o;
}

inline int64_t strong(const Span& s) {
    return static_cast<korvex::SharedBuffer*>(s.owner)->strong.load();
}
inline const void* sentinel() { return korvex::empty_sentinel(); }
inline void* vacant_ptr(uintptr_t width) { return reinterpret_cast<void*>(width); }

// A handle slot holding a recognisable value, to prove failures leave it alone.
inline CompressedMatrix* const kUntouched = reinterpret_cast<CompressedMatrix*>(uintptr_t{0x5a5a});
