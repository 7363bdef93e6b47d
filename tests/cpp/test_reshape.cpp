// Reshaping at sizes that take the ranged paths: conversion and coordinate
// import with more than 2^16 targets (ranges of targets, range edges, empty
// ranges, 4- and 8-byte values), inner masks over unsorted and out-of-mask
// indices, and stacking across with disagreeing span lengths.
#include <algorithm>
#include <random>

#include "test_support.hpp"

using Reshape = Leak;

namespace {

// A wide matrix: `outer` rows over `inner` columns, with entries at the
// edges of every range size the bucketing may pick (multiples of 2^8 up to
// 2^16 and their neighbours), a run of columns with none, unsorted rows and
// repeated indices within a row.
Outer wide_rows(uint64_t outer, uint64_t inner, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Outer o(outer);
    for (uint64_t i = 0; i < outer; ++i) {
        uint64_t len = rng() % 12;
        for (uint64_t k = 0; k < len; ++k) {
            int64_t j = static_cast<int64_t>(rng() % inner);
            if (j >= 100000 && j < 140000) j -= 40000;  // columns [100000, 140000) stay empty
            o[i].emplace_back(j, static_cast<double>(rng() % 1000) + 0.5);
        }
        if (i % 5 == 0) std::reverse(o[i].begin(), o[i].end());
    }
    for (uint64_t b = 8; b <= 16; ++b)
        for (int64_t d : {-1, 0, 1}) {
            int64_t j = (int64_t{1} << b) + d;
            o[b % outer].emplace_back(j, 7.0);
            o[(b * 7) % outer].emplace_back(static_cast<int64_t>(inner) - 1, 3.0);
        }
    o[3].emplace_back(42, 1.0);  // a repeated index in one row
    o[3].emplace_back(42, 2.0);
    return o;
}

// The other form of `o`, built the plain way: target by target, in source
// order (which is also inner-index order).
Outer transposed(const Outer& o, uint64_t inner) {
    Outer t(inner);
    for (uint64_t i = 0; i < o.size(); ++i)
        for (auto [j, v] : o[i]) t[static_cast<uint64_t>(j)].emplace_back(static_cast<int64_t>(i), v);
    return t;
}

template <typename From, typename To>
void check_wide_conversion(uint64_t outer, uint64_t inner) {
    Outer o = wide_rows(outer, inner, 5);
    CompressedMatrix* m = copy_of<From>(From::csr ? outer : inner, From::csr ? inner : outer, o);
    CompressedMatrix* c = nullptr;
    ASSERT_EQ(To::convert(m, &c), 0);
    Outer got = read<To>(c);
    Outer want = transposed(o, inner);
    ASSERT_EQ(got.size(), want.size());
    for (uint64_t t = 0; t < inner; ++t) ASSERT_EQ(got[t], want[t]) << "target " << t;
    EXPECT_EQ(To::is_sorted(c), 0);  // the repeated index is not strictly increasing
    To::release(c);
    From::release(m);
}

}  // namespace

TEST_F(Reshape, WideConversionKeepsEveryEntryInOrder) {
    check_wide_conversion<CsrF64, CscF64>(3000, 300000);
    check_wide_conversion<CsrF32, CscF32>(3000, 300000);
    check_wide_conversion<CscF64, CsrF64>(2000, 70001);  // few ranges, a short last one
}

TEST_F(Reshape, WideCoordinateImportSortsEveryRow) {
    const uint64_t rows = 200003, cols = 50;
    std::mt19937_64 rng(9);
    std::vector<int64_t> r, c;
    std::vector<double> d;
    std::vector<float> f;
    for (uint64_t e = 0; e < 900000; ++e) {
        uint64_t i = rng() % rows;
        if (i >= 65536 && i < 65536 * 2) continue;  // a whole range without entries
        r.push_back(static_cast<int64_t>(i));
        c.push_back(static_cast<int64_t>(rng() % cols));
        d.push_back(static_cast<double>(e));
        f.push_back(static_cast<float>(e % 4096));
    }
    r.push_back(rows - 1), c.push_back(0), d.push_back(-1), f.push_back(-1);
    // Reference: entries of each row sorted by (index, value); the order of
    // repeated indices is not specified, so values compare as sorted runs.
    auto expect = [&](auto&& vals) {
        Outer o(rows);
        for (uint64_t e = 0; e < r.size(); ++e) o[r[e]].emplace_back(c[e], static_cast<double>(vals[e]));
        for (Row& row : o) std::sort(row.begin(), row.end());
        return o;
    };
    CompressedMatrix* m = nullptr;
    ASSERT_EQ(csr_f64_from_coo(rows, cols, r.data(), c.data(), d.data(), r.size(), &m), 0);
    Outer got = read<CsrF64>(m);
    for (Row& row : got) {
        ASSERT_TRUE(std::is_sorted(row.begin(), row.end(),
                                   [](auto& a, auto& b) { return a.first < b.first; }));
        std::sort(row.begin(), row.end());
    }
    EXPECT_EQ(got, expect(d));
    EXPECT_EQ(csr_f64_nnz(m), r.size());
    csr_f64_free(m);
    ASSERT_EQ(csc_f32_from_coo(cols, rows, c.data(), r.data(), f.data(), r.size(), &m), 0);
    got = read<CscF32>(m);
    for (Row& row : got) std::sort(row.begin(), row.end());
    EXPECT_EQ(got, expect(f));
    csc_f32_free(m);
    // An outer index past the end in the last block: -8, nothing kept.
    r.back() = static_cast<int64_t>(rows);
    CompressedMatrix* out = kUntouched;
    EXPECT_EQ(csr_f64_from_coo(rows, cols, r.data(), c.data(), d.data(), r.size(), &out), -8);
    EXPECT_TRUE(out == kUntouched && live() == 0);
}

TEST_F(Reshape, InnerMasksOverUnsortedAndStrayIndices) {
    // Unsorted rows, an index below 0 and one past the mask, a row whose
    // selected entry is its first, one whose is its last, an empty row.
    const Outer o = {{{5, 1}, {0, 2}, {3, 3}, {-1, 4}, {9, 5}},
                     {{2, 6}, {1, 7}},
                     {},
                     {{4, 8}, {0, 9}, {2, 10}},
                     {{7, 11}, {6, 12}, {5, 13}, {4, 14}}};
    CompressedMatrix* m = copy_of<CsrF64>(5, 8, o);
    auto run = [&](std::vector<uint8_t> mask) {
        CompressedMatrix* s = nullptr;
        EXPECT_EQ(csr_f64_slice_cols_mask(m, mask.data(), mask.size(), &s), 0);
        Outer want(o.size());
        std::vector<int64_t> rank(mask.size());
        for (uint64_t j = 0, run = 0; j < mask.size(); ++j) rank[j] = static_cast<int64_t>(mask[j] ? run++ : 0);
        for (uint64_t i = 0; i < o.size(); ++i)
            for (auto [j, v] : o[i])
                if (j >= 0 && j < 8 && mask[static_cast<uint64_t>(j)]) want[i].emplace_back(rank[j], v);
        EXPECT_EQ(read<CsrF64>(s), want);
        uint64_t kept = 0;
        for (const Row& row : want) kept += row.size();
        EXPECT_EQ(csr_f64_nnz(s), kept);
        csr_f64_free(s);
    };
    run({1, 1, 1, 1, 1, 1, 1, 1});  // all
    run({0, 0, 0, 0, 0, 0, 0, 0});  // none
    run({0, 0, 0, 0, 0, 1, 0, 0});  // the first entry of row 0, the last of row 4
    run({1, 0, 0, 0, 0, 0, 0, 0});
    run({0, 9, 0, 200, 1, 0, 1, 1});  // any non-zero byte selects
    csr_f64_free(m);
    // More than 64 columns: ranks carried across words.
    Outer wide(3);
    for (int64_t j = 199; j >= 0; --j) wide[j % 3].emplace_back(j, static_cast<double>(j));
    m = copy_of<CsrF64>(3, 200, wide);
    std::vector<uint8_t> every_third(200);
    for (uint64_t j = 0; j < 200; j += 3) every_third[j] = 1;
    CompressedMatrix* s = nullptr;
    ASSERT_EQ(csr_f64_slice_cols_mask(m, every_third.data(), 200, &s), 0);
    Outer got = read<CsrF64>(s);
    ASSERT_EQ(got[0].size(), 67u);
    EXPECT_TRUE(got[1].empty() && got[2].empty());
    for (uint64_t k = 0; k < 67; ++k) EXPECT_EQ(got[0][k], (std::pair<int64_t, double>(66 - k, 3.0 * (66 - k))));
    csr_f64_free(s);
    csr_f64_free(m);
}

TEST_F(Reshape, StackingAcrossFindsDisagreeingSpansAnywhere) {
    const Outer a = {{{0, 1}}, {}, {{1, 2}}}, b = {{{0, 3}}, {}, {}};
    for (int where = 0; where < 3; ++where) {
        CompressedMatrix* x = copy_of<CsrF64>(3, 2, a);
        CompressedMatrix* y = copy_of<CsrF64>(3, 2, b);
        CompressedMatrix* xy[] = {x, y};
        Span* vs = const_cast<Span*>(CsrF64::vals_vec(y));
        Span* is = const_cast<Span*>(CsrF64::idx_vec(y));
        Span saved_v = vs[where], saved_i = is[where];
        // Row 0: values shorter than indices; row 1: an index span in an
        // otherwise empty row; row 2: an index span where the other input
        // has entries.
        if (where == 0) vs[0].len = 0;
        else is[where] = CsrF64::idx_vec(x)[where == 1 ? 0 : 2];
        CompressedMatrix* out = kUntouched;
        EXPECT_EQ(csr_f64_hstack(xy, 2, &out), -8) << "row " << where;
        EXPECT_EQ(out, kUntouched);
        vs[where] = saved_v;
        is[where] = saved_i;
        ASSERT_EQ(csr_f64_hstack(xy, 2, &out), 0);
        EXPECT_EQ(read<CsrF64>(out), (Outer{{{0, 1}, {2, 3}}, {}, {{1, 2}}}));
        csr_f64_free(out);
        csr_f64_free(y);
        csr_f64_free(x);
    }
}

TEST_F(Reshape, StackingAcrossInputsWhoseCachedCountsOverstate) {
    // Cached counts that claim entries where no value span holds any: no
    // buffer can be made (-7), or -8 when an index span disagrees.
    const Outer empty = {{}, {}};
    CompressedMatrix* x = copy_of<CsrF64>(2, 3, empty);
    CompressedMatrix* y = copy_of<CsrF64>(2, 3, empty);
    csr_f64_set_nnz(x, 5);
    CompressedMatrix* xy[] = {x, y};
    CompressedMatrix* out = kUntouched;
    EXPECT_EQ(csr_f64_hstack(xy, 2, &out), -7);
    EXPECT_EQ(out, kUntouched);
    Span* is = const_cast<Span*>(CsrF64::idx_vec(y));
    Span saved = is[1];
    is[1].len = 1;
    is[1].data = const_cast<void*>(sentinel());
    EXPECT_EQ(csr_f64_hstack(xy, 2, &out), -8);
    EXPECT_EQ(out, kUntouched);
    is[1] = saved;
    csr_f64_free(y);
    csr_f64_free(x);
}
