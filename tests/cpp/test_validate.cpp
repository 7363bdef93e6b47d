// Validation checks and in-place index sorting.
#include <algorithm>
#include <random>

#include "test_support.hpp"

using Validate = Leak;
using Sorting = Leak;

TEST_F(Validate, BoundsOrderAndShapeAreSeparateChecks) {
    for (int64_t bad : {int64_t{4}, int64_t{-1}, INT64_MIN}) {
        CompressedMatrix* m = copy_of<CsrF64>(2, 4, {{{0, 1.0}, {bad, 2.0}}, {}});
        EXPECT_TRUE(!csr_f64_indices_in_bounds(m) && !csr_f64_validate(m) && csr_f64_is_valid(m)) << bad;
        csr_f64_free(m);
    }
    CompressedMatrix* c = copy_of<CscF32>(3, 1, {{{2, 1.0}}});  // CSC bounds follow rows
    EXPECT_EQ(csc_f32_validate(c), 1);
    c->rows = 2;
    EXPECT_EQ(csc_f32_indices_in_bounds(c), 0);
    csc_f32_free(c);

    CompressedMatrix* m = copy_of<CsrF64>(3, 4, {{{0, 1.0}}, {{1, 2.0}}, {{2, 3.0}}});
    EXPECT_EQ(csr_f64_validate(m), 1);
    m->values.len -= 1;  // values array one short of the rows
    EXPECT_TRUE(!csr_f64_is_valid(m) && !csr_f64_validate(m));
    m->values.len += 1;
    m->indices.len -= 1;
    EXPECT_EQ(csr_f64_is_valid(m), 0);
    m->indices.len += 1;
    m->values.ptr[1].len = 0;  // row 1: no value, one index
    EXPECT_TRUE(!csr_f64_is_valid(m) && !csr_f64_validate(m));
    m->values.ptr[1].len = 1;
    csr_f64_free(m);
}

TEST_F(Sorting, SmallRowsAndDuplicates) {
    CompressedMatrix* m = copy_of<CsrF64>(2, 4, {{{3, 10.0}, {1, 20.0}, {2, 30.0}}, {}});
    EXPECT_TRUE(!csr_f64_is_sorted(m) && !csr_f64_validate(m));
    EXPECT_EQ(csr_f64_ensure_sorted_checked(m), 1);
    EXPECT_EQ(read<CsrF64>(m), (Outer{{{1, 20.0}, {2, 30.0}, {3, 10.0}}, {}}));
    EXPECT_EQ(csr_f64_ensure_sorted_checked(m), 0);
    EXPECT_TRUE(csr_f64_validate(m) && csr_f64_nnz(m) == 3);
    csr_f64_free(m);

    CompressedMatrix* c = copy_of<CscF32>(3, 3, {{{2, 1.0}}, {}, {{0, 2.0}}});  // 0 or 1 entries
    EXPECT_EQ(csc_f32_ensure_sorted_checked(c), 0);
    csc_f32_free(c);

    CompressedMatrix* d = copy_of<CsrF32>(1, 4, {{{2, 1.0}, {2, 2.0}}});
    EXPECT_TRUE(!csr_f32_is_sorted(d) && !csr_f32_validate(d));
    for (int call = 0; call < 3; ++call) EXPECT_EQ(csr_f32_ensure_sorted_checked(d), 1);
    Row r = read<CsrF32>(d)[0];
    EXPECT_TRUE(r[1].first == 2 && r[0].second + r[1].second == 3.0);
    csr_f32_free(d);
}

// Rows long enough for every path: insertion (<= 20), gather (<= 64), in
// place beyond; descending runs, shuffled rows, duplicates and negatives.
TEST_F(Sorting, LongRowsKeepPairsTogether) {
    std::mt19937_64 rng(7);
    Outer rows;
    for (int n : {20, 21, 64, 65, 300}) {
        Row desc;
        for (int k = n - 1; k >= 0; --k) desc.push_back({k, k * 0.5});
        rows.push_back(desc);
        std::shuffle(desc.begin(), desc.end(), rng);
        rows.push_back(desc);
    }
    Row dups;
    for (int k = 0; k < 200; ++k) {
        int64_t i = static_cast<int64_t>(rng() % 50) - 10;
        dups.push_back({i, i * 0.5});
    }
    rows.push_back(dups);
    CompressedMatrix* m = copy_of<CscF64>(400, rows.size(), rows);
    EXPECT_EQ(csc_f64_ensure_sorted_checked(m), 1);
    Outer got = read<CscF64>(m);
    for (size_t i = 0; i < rows.size(); ++i) {
        std::sort(rows[i].begin(), rows[i].end());
        EXPECT_EQ(got[i], rows[i]) << "column " << i;  // every value is its index / 2
    }
    csc_f64_free(m);
}

TEST_F(Sorting, SharedRowsAreReorderedForEveryHolder) {
    CompressedMatrix* m = copy_of<CsrF64>(1, 4, {{{3, 1.0}, {0, 2.0}}});
    CompressedMatrix* c = csr_f64_clone(m);
    EXPECT_EQ(csr_f64_ensure_sorted_checked(c), 1);
    EXPECT_EQ(read<CsrF64>(m), (Outer{{{0, 2.0}, {3, 1.0}}}));
    csr_f64_free(m);
    csr_f64_free(c);
}

// A stack that lists the same rows many times sorts each row's storage once:
// two pool threads sorting one row together would lose entries.
TEST_F(Sorting, RowsListedTwiceAreSortedOnce) {
    // [m, m]: the pool's second thread starts on the second copy while the
    // first starts on the first, so without the guard both reach the same
    // rows at the same moment.
    const int64_t n = 4000, len = 320;
    Outer rows(n);
    uint64_t state = 12345;
    for (int64_t r = 0; r < n; ++r) {
        for (int64_t k = 0; k < len; ++k) rows[r].emplace_back(k * 2, double(k));
        for (int64_t k = len - 1; k > 0; --k) {  // shuffled: the long-row sort path
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            std::swap(rows[r][k], rows[r][(state >> 33) % (k + 1)]);
        }
    }
    for (int round = 0; round < 10; ++round) {
        CompressedMatrix* m = copy_of<CsrF64>(n, 2 * len, rows);
        CompressedMatrix* c = csr_f64_clone(m);
        CompressedMatrix* parts[] = {m, c, m};
        CompressedMatrix* s = nullptr;
        ASSERT_EQ(csr_f64_vstack(parts, 3, &s), 0);
        EXPECT_EQ(csr_f64_ensure_sorted_checked(s), 1);
        const Outer got = read<CsrF64>(m);
        for (int64_t r = 0; r < n; ++r)
            for (int64_t k = 0; k < len; ++k)
                ASSERT_EQ(got[r][k], (std::pair<int64_t, double>{k * 2, double(k)})) << "row " << r;
        for (CompressedMatrix* x : {s, c, m}) csr_f64_free(x);
    }
}

// Caller memory is never written: an unsorted view row refuses the whole
// call, owned rows included; sorted view rows do not stand in the way.
TEST_F(Sorting, ViewsAreLeftUntouched) {
    Arrays<double> a({{{2, 1.0}, {0, 2.0}}, {{0, 3.0}, {1, 4.0}}});
    const Arrays<double> before = a;
    CompressedMatrix* v = view_of<CsrF64>(2, 3, a);
    EXPECT_EQ(csr_f64_ensure_sorted_checked(v), 0);
    csr_f64_ensure_sorted(v);
    EXPECT_TRUE(a.data == before.data && a.idx == before.idx && !csr_f64_is_sorted(v));

    CompressedMatrix* own = copy_of<CsrF64>(1, 3, {{{1, 5.0}, {0, 6.0}}});
    CompressedMatrix* s = nullptr;
    CompressedMatrix* mixed[] = {own, v};
    ASSERT_EQ(csr_f64_vstack(mixed, 2, &s), 0);
    EXPECT_EQ(csr_f64_ensure_sorted_checked(s), 0);
    EXPECT_EQ(read<CsrF64>(own)[0], (Row{{1, 5.0}, {0, 6.0}}));
    EXPECT_TRUE(a.data == before.data && a.idx == before.idx);
    csr_f64_free(s);

    Arrays<double> sorted({{{0, 1.0}, {2, 2.0}}});
    CompressedMatrix* sv = view_of<CsrF64>(1, 3, sorted);
    CompressedMatrix* fine[] = {own, sv};
    ASSERT_EQ(csr_f64_vstack(fine, 2, &s), 0);
    EXPECT_EQ(csr_f64_ensure_sorted_checked(s), 1);
    EXPECT_EQ(read<CsrF64>(own)[0], (Row{{0, 6.0}, {1, 5.0}}));
    for (CompressedMatrix* x : {s, sv, own, v}) csr_f64_free(x);
}

// Vacant spans (not MUTABLE) at empty rows never stop the sort.
TEST_F(Sorting, VacantSpansAreSkipped) {
    CompressedMatrix* a = copy_of<CsrF32>(3, 2, {{{1, 1.0}, {0, 2.0}}, {}, {}});
    CompressedMatrix* b = copy_of<CsrF32>(3, 2, {{}, {}, {{0, 3.0}}});
    CompressedMatrix* in[] = {a, b};
    CompressedMatrix* h = nullptr;
    ASSERT_EQ(csr_f32_hstack(in, 2, &h), 0);
    EXPECT_EQ(csr_f32_row_values(h, 1)->flags, 1u);
    EXPECT_EQ(csr_f32_ensure_sorted_checked(h), 1);
    EXPECT_EQ(read<CsrF32>(h), (Outer{{{0, 2.0}, {1, 1.0}}, {}, {{2, 3.0}}}));
    EXPECT_EQ(read<CsrF32>(a)[0], (Row{{1, 1.0}, {0, 2.0}}));  // a copy: the input is not touched
    for (CompressedMatrix* x : {h, a, b}) csr_f32_free(x);
}

// Sorting one matrix never changes the entries another reads: a map's result
// shares its source's indices beside values of its own, so its rows (and the
// source's, sorted second) get sorted copies; sharers of whole rows (a
// clone, a take repeating a row) may be reordered where they lie.
TEST_F(Sorting, NoSharerReadsOtherEntries) {
    const Outer rows{{{2, 1.0}, {0, -1.0}}, {{1, 5.0}}, {{3, 2.0}, {1, 3.0}, {2, 4.0}}};
    auto sorted_rows = [](Outer o) {
        for (Row& r : o) std::sort(r.begin(), r.end());
        return o;
    };
    auto negated = [](Outer o) {
        for (Row& r : o)
            for (auto& e : r) e.second = -e.second;
        return o;
    };
    struct Case {
        const char* name;
        int sorted_first;  // 0: the map's result, 1: the source
    };
    for (Case c : {Case{"map result first", 0}, Case{"source first", 1}}) {
        CompressedMatrix* m = copy_of<CsrF64>(3, 4, rows);
        CompressedMatrix* neg = nullptr;
        ASSERT_EQ(csr_f64_map_values(m, KORVEX_MAP_NEGATE, 0.0, &neg), 0);
        uint64_t pos[] = {2, 2, 0};
        CompressedMatrix* take = nullptr;
        ASSERT_EQ(csr_f64_take_rows(neg, pos, 3, &take), 0);
        CompressedMatrix* clone = csr_f64_clone(m);
        CompressedMatrix* first = c.sorted_first == 0 ? neg : m;
        CompressedMatrix* second = c.sorted_first == 0 ? m : neg;
        EXPECT_EQ(csr_f64_ensure_sorted_checked(first), 1) << c.name;
        EXPECT_EQ(read<CsrF64>(first == m ? m : neg),
                  first == m ? sorted_rows(rows) : sorted_rows(negated(rows))) << c.name;
        EXPECT_EQ(read<CsrF64>(second), second == m ? rows : negated(rows)) << c.name;
        EXPECT_EQ(read<CsrF64>(take), (Outer{negated(rows)[2], negated(rows)[2], negated(rows)[0]}))
            << c.name;
        EXPECT_EQ(sorted_rows(read<CsrF64>(clone)), sorted_rows(rows)) << c.name;
        EXPECT_EQ(csr_f64_ensure_sorted_checked(second), 1) << c.name;
        EXPECT_TRUE(csr_f64_validate(m) && csr_f64_validate(neg)) << c.name;
        EXPECT_EQ(read<CsrF64>(m), sorted_rows(rows)) << c.name;
        EXPECT_EQ(read<CsrF64>(neg), sorted_rows(negated(rows))) << c.name;
        EXPECT_EQ(csr_f64_nnz(neg), 6u);
        for (CompressedMatrix* x : {take, clone, neg, m}) csr_f64_free(x);
    }
}

// A stack of a matrix beside its own map's result holds one index buffer
// under two value buffers: it is copied even when it alone holds them.
TEST_F(Sorting, StackOfSourceAndMapIsCopied) {
    CompressedMatrix* m = copy_of<CscF32>(3, 1, {{{2, 1.0}, {0, 2.0}}});
    CompressedMatrix* neg = nullptr;
    ASSERT_EQ(csc_f32_map_values(m, KORVEX_MAP_NEGATE, 0.0, &neg), 0);
    CompressedMatrix* parts[] = {m, neg};
    CompressedMatrix* s = nullptr;
    ASSERT_EQ(csc_f32_hstack(parts, 2, &s), 0);
    csc_f32_free(m);
    csc_f32_free(neg);
    EXPECT_EQ(csc_f32_ensure_sorted_checked(s), 1);
    EXPECT_EQ(read<CscF32>(s), (Outer{{{0, 2.0}, {2, 1.0}}, {{0, -2.0}, {2, -1.0}}}));
    csc_f32_free(s);
}
