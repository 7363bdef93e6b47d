// Shared helpers of the C++ suite: a leak-checking fixture, one traits
// struct per export family, and builders/readers over plain entry lists.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "korvex.h"
#include "../fuzz/families.hpp"
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

// The exports of one family under uniform names (the fuzz targets' table,
// with the names these tests use for a few of them).
template <typename V, bool Csr>
struct Api : fz::Fam<V, Csr> {
    using F = fz::Fam<V, Csr>;
    static constexpr auto vals_vec = F::values_vec;
    static constexpr auto idx_vec = F::indices_vec;
    static constexpr auto vec_len = F::values_vec_len;
    static constexpr auto from_coo = F::coo;
    static constexpr auto convert = F::from_other;
    static constexpr auto transpose = F::transpose_from;
};

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
