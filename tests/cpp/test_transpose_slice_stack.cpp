// Transposition, range and mask slicing, stacking.
#include "test_support.hpp"

using Transpose = Leak;
using Slice = Leak;
using Stack = Leak;

namespace {
bool vacant(const Span* s, uintptr_t width) {
    return s->len == 0 && s->flags == 1 && s->owner == nullptr && s->data == vacant_ptr(width);
}
using Entry = std::pair<int64_t, double>;
}  // namespace

TEST_F(Transpose, SortsCopiesAndLeavesVacantSpans) {
    Arrays<double> arr({{{2, 5.0}, {0, 1.0}}, {}, {{1, 3.0}}});
    CompressedMatrix* a = view_of<CsrF64>(3, 3, arr);
    CompressedMatrix *t = kUntouched, *back = nullptr;
    ASSERT_EQ(csc_f64_transpose_from_csr(a, &t), 0);
    EXPECT_EQ(csr_f64_has_nnz_cache(a), 0);
    EXPECT_TRUE(csc_f64_has_nnz_cache(t) && csc_f64_nnz(t) == 3);
    EXPECT_TRUE(vacant(csc_f64_col_values(t, 1), 8) && vacant(csc_f64_col_indices(t, 1), 8));
    csr_f64_free(a);  // the result owns its data
    EXPECT_EQ(read<CscF64>(t), (Outer{{{0, 1.0}, {2, 5.0}}, {}, {{1, 3.0}}}));
    ASSERT_EQ(csr_f64_transpose_from_csc(t, &back), 0);
    EXPECT_EQ(read<CsrF64>(back), (Outer{{{0, 1.0}, {2, 5.0}}, {}, {{1, 3.0}}}));
    csc_f64_free(t);
    csr_f64_free(back);

    CompressedMatrix* f = copy_of<CscF32>(5, 2, {{}, {{4, 1.0}, {1, 2.0}, {3, 3.0}, {-2, 4.0}, {3, 5.0}}});
    ASSERT_EQ(csr_f32_transpose_from_csc(f, &t), 0);
    EXPECT_TRUE(csr_f32_rows(t) == 2 && csr_f32_cols(t) == 5 && vacant(csr_f32_row_values(t, 0), 4));
    Row r = read<CsrF32>(t)[1];
    EXPECT_TRUE(r[0] == Entry(-2, 4.0) && r[1] == Entry(1, 2.0) && r[4] == Entry(4, 1.0));
    EXPECT_TRUE(r[2].first == 3 && r[3].first == 3 && r[2].second + r[3].second == 8.0);
    csr_f32_free(t);
    t = kUntouched;
    EXPECT_TRUE(csr_f32_transpose_from_csc(nullptr, &t) == -1 && csr_f32_transpose_from_csc(f, nullptr) == -1);
    f->values.ptr[1].len = 0;  // value and index spans disagree
    EXPECT_EQ(csr_f32_transpose_from_csc(f, &t), -8);
    f->values.ptr[1].len = 5;
    EXPECT_EQ(t, kUntouched);
    csc_f32_free(f);

    for (auto [rows, cols] : {std::pair{0, 5}, std::pair{3, 0}, std::pair{3, 4}}) {
        a = copy_of<CsrF32>(rows, cols, Outer(rows));
        const int64_t before = live();
        ASSERT_EQ(csc_f32_transpose_from_csr(a, &t), 0);
        EXPECT_TRUE(csc_f32_rows(t) == uint64_t(cols) && csc_f32_cols(t) == uint64_t(rows));
        EXPECT_TRUE(csc_f32_values_vec_len(t) == uint64_t(rows) && csc_f32_nnz(t) == 0);
        if (rows) EXPECT_TRUE(vacant(csc_f32_col_values(t, 2), 4));
        EXPECT_EQ(live() - before, rows ? 3 : 1);  // no data buffers
        csc_f32_free(t);
        csr_f32_free(a);
    }
}

TEST_F(Slice, OuterRangesShareSpans) {
    CompressedMatrix* m = copy_of<CsrF64>(4, 5, {{{0, 1.0}}, {{1, 2.0}, {3, 3.0}}, {{2, 4.0}}, {}});
    const Span* src = csr_f64_values_vec_ptr(m);
    CompressedMatrix* s = kUntouched;
    ASSERT_EQ(csr_f64_slice_rows(m, 1, 3, &s), 0);
    EXPECT_TRUE(csr_f64_rows(s) == 2 && csr_f64_cols(s) == 5 && !csr_f64_has_nnz_cache(s));
    for (uint64_t i = 0; i < 2; ++i) {
        const Span* v = csr_f64_row_values(s, i);
        EXPECT_TRUE(v->data == src[i + 1].data && v->owner == src[i + 1].owner && v->flags == 6);
        EXPECT_EQ(csr_f64_row_indices(s, i)->data, csr_f64_row_indices(m, i + 1)->data);
    }
    EXPECT_TRUE(strong(src[0]) == 5 && strong(*csr_f64_row_indices(m, 0)) == 5);
    CompressedMatrix* e = nullptr;
    ASSERT_EQ(csr_f64_slice_rows(m, 2, 2, &e), 0);
    EXPECT_TRUE(csr_f64_rows(e) == 0 && csr_f64_cols(e) == 5 && csr_f64_has_nnz_cache(e) && csr_f64_nnz(e) == 0);
    csr_f64_free(e);
    e = kUntouched;
    EXPECT_TRUE(csr_f64_slice_rows(m, 2, 5, &e) == -5 && csr_f64_slice_rows(m, 3, 2, &e) == -5);
    EXPECT_EQ(csr_f64_slice_cols(m, 0, 6, &e), -5);  // the inner range is checked against cols
    EXPECT_TRUE(csr_f64_slice_rows(nullptr, 3, 2, &e) == -1 && csr_f64_slice_rows(m, 0, 1, nullptr) == -1);
    EXPECT_EQ(e, kUntouched);
    csr_f64_free(m);
    EXPECT_EQ(read<CsrF64>(s), (Outer{{{1, 2.0}, {3, 3.0}}, {{2, 4.0}}}));
    csr_f64_free(s);
}

TEST_F(Slice, InnerRangesCopyAndRebase) {
    CompressedMatrix* m =
        copy_of<CsrF64>(3, 10, {{{0, 1.0}, {2, 2.0}, {5, 3.0}, {7, 4.0}}, {{7, 5.0}, {9, 6.0}}, {{3, 7.0}, {3, 8.0}}});
    CompressedMatrix* s = nullptr;
    ASSERT_EQ(csr_f64_slice_cols(m, 2, 6, &s), 0);
    EXPECT_TRUE(csr_f64_rows(s) == 3 && csr_f64_cols(s) == 4 && csr_f64_has_nnz_cache(s) && csr_f64_nnz(s) == 4);
    EXPECT_EQ(read<CsrF64>(s), (Outer{{{0, 2.0}, {3, 3.0}}, {}, {{1, 7.0}, {1, 8.0}}}));
    EXPECT_TRUE(vacant(csr_f64_row_values(s, 1), 8) && csr_f64_row_values(s, 0)->flags == 6);
    csr_f64_free(s);
    ASSERT_EQ(csr_f64_slice_cols(m, 2, 8, &s), 0);  // column end - 1 becomes end - start - 1
    EXPECT_EQ(read<CsrF64>(s)[0].back(), Entry(5, 4.0));
    csr_f64_free(s);
    for (auto [a, b] : {std::pair{4, 4}, std::pair{8, 9}}) {  // empty range; nothing in range
        const int64_t before = live();
        ASSERT_EQ(csr_f64_slice_cols(m, a, b, &s), 0);
        EXPECT_TRUE(csr_f64_cols(s) == uint64_t(b - a) && csr_f64_has_nnz_cache(s) && csr_f64_nnz(s) == 0);
        EXPECT_TRUE(vacant(csr_f64_row_values(s, 0), 8) && vacant(csr_f64_row_indices(s, 2), 8));
        EXPECT_EQ(live() - before, 3);  // no data buffers
        csr_f64_free(s);
    }
    csr_f64_free(m);
    m = copy_of<CsrF64>(0, 10, {});
    ASSERT_EQ(csr_f64_slice_cols(m, 2, 6, &s), 0);
    EXPECT_TRUE(csr_f64_rows(s) == 0 && csr_f64_cols(s) == 4 && csr_f64_nnz(s) == 0);
    csr_f64_free(s);
    csr_f64_free(m);

    // Bounds past 2^63 - 1 still cover every stored (signed) index above start.
    Arrays<double> arr({{{5, 1.0}, {7, 2.0}}});
    m = view_of<CsrF64>(1, UINT64_MAX, arr);
    ASSERT_EQ(csr_f64_slice_cols(m, 6, (uint64_t{1} << 63) + 10, &s), 0);
    EXPECT_EQ(read<CsrF64>(s), (Outer{{{1, 2.0}}}));
    csr_f64_free(s);
    ASSERT_EQ(csr_f64_slice_cols(m, uint64_t{1} << 63, UINT64_MAX, &s), 0);
    EXPECT_EQ(csr_f64_nnz(s), 0u);
    csr_f64_free(s);
    csr_f64_free(m);
}

TEST_F(Slice, OuterMasks) {
    CompressedMatrix* m = copy_of<CsrF32>(4, 5, {{{0, 1.0}}, {{1, 2.0}}, {}, {{3, 4.0}}});
    const uint8_t alt[] = {0, 1, 0, 1}, odd[] = {0, 2, 0, 255}, none[4] = {}, all[] = {1, 1, 1, 1};
    CompressedMatrix* s = kUntouched;
    EXPECT_TRUE(csr_f32_slice_rows_mask(m, alt, 3, &s) == -3 && csr_f32_slice_rows_mask(m, alt, 5, &s) == -3);
    EXPECT_TRUE(csr_f32_slice_rows_mask(m, nullptr, 4, &s) == -1 && s == kUntouched);
    for (const uint8_t* mask : {alt, odd}) {  // any non-zero byte selects
        ASSERT_EQ(csr_f32_slice_rows_mask(m, mask, 4, &s), 0);
        EXPECT_EQ(read<CsrF32>(s), (Outer{{{1, 2.0}}, {{3, 4.0}}}));
        EXPECT_EQ(csr_f32_row_values(s, 0)->data, csr_f32_row_values(m, 1)->data);
        csr_f32_free(s);
    }
    ASSERT_EQ(csr_f32_slice_rows_mask(m, none, 4, &s), 0);
    EXPECT_TRUE(csr_f32_rows(s) == 0 && csr_f32_cols(s) == 5 && csr_f32_has_nnz_cache(s) && csr_f32_nnz(s) == 0);
    csr_f32_free(s);
    ASSERT_EQ(csr_f32_slice_rows_mask(m, all, 4, &s), 0);
    EXPECT_TRUE(!csr_f32_has_nnz_cache(s) && strong(*csr_f32_row_values(m, 0)) == 6);
    csr_f32_free(m);
    EXPECT_EQ(read<CsrF32>(s), (Outer{{{0, 1.0}}, {{1, 2.0}}, {}, {{3, 4.0}}}));
    csr_f32_free(s);
    m = copy_of<CsrF32>(0, 3, {});
    EXPECT_EQ(csr_f32_slice_rows_mask(m, nullptr, 0, &s), -1);
    ASSERT_EQ(csr_f32_slice_rows_mask(m, alt, 0, &s), 0);
    EXPECT_TRUE(csr_f32_rows(s) == 0 && csr_f32_cols(s) == 3 && csr_f32_nnz(s) == 0);
    csr_f32_free(s);
    csr_f32_free(m);

    // A long mask of arbitrary bytes: kept count and selection agree.
    Outer cols(150);
    std::vector<uint8_t> mask(150);
    for (int i = 0; i < 150; ++i) cols[i] = {{0, double(i)}}, mask[i] = i % 3 ? uint8_t(i) : 0;
    CompressedMatrix* c = copy_of<CscF64>(1, 150, cols);
    ASSERT_EQ(csc_f64_slice_cols_mask(c, mask.data(), 150, &s), 0);
    EXPECT_TRUE(csc_f64_cols(s) == 100 && csc_f64_values_vec_len(s) == 100 && read<CscF64>(s)[99][0].second == 149);
    csc_f64_free(s);
    csc_f64_free(c);
}

TEST_F(Slice, InnerMasks) {
    CompressedMatrix* m =
        copy_of<CsrF64>(3, 5, {{{0, 1.0}, {1, 2.0}, {3, 3.0}, {4, 4.0}}, {{3, 5.0}, {0, 6.0}}, {{1, 7.0}}});
    const uint8_t mask[] = {1, 0, 1, 1, 0}, odd[] = {7, 0, 128, 1, 0}, none[5] = {}, nothing_stored[] = {0, 0, 1, 0, 0};
    CompressedMatrix* s = kUntouched;
    EXPECT_TRUE(csr_f64_slice_cols_mask(m, mask, 4, &s) == -3 && csr_f64_slice_cols_mask(m, mask, 6, &s) == -3);
    EXPECT_EQ(s, kUntouched);
    for (const uint8_t* k : {mask, odd}) {
        ASSERT_EQ(csr_f64_slice_cols_mask(m, k, 5, &s), 0);
        EXPECT_TRUE(csr_f64_rows(s) == 3 && csr_f64_cols(s) == 3 && csr_f64_has_nnz_cache(s) && csr_f64_nnz(s) == 4);
        // Stored order is kept, the unsorted row's too.
        EXPECT_EQ(read<CsrF64>(s), (Outer{{{0, 1.0}, {2, 3.0}}, {{2, 5.0}, {0, 6.0}}, {}}));
        EXPECT_TRUE(vacant(csr_f64_row_values(s, 2), 8));
        csr_f64_free(s);
    }
    for (const uint8_t* k : {none, nothing_stored}) {
        const int64_t before = live();
        ASSERT_EQ(csr_f64_slice_cols_mask(m, k, 5, &s), 0);
        EXPECT_TRUE(csr_f64_cols(s) == (k == none ? 0u : 1u) && csr_f64_has_nnz_cache(s) && csr_f64_nnz(s) == 0);
        EXPECT_TRUE(vacant(csr_f64_row_values(s, 0), 8) && vacant(csr_f64_row_indices(s, 1), 8));
        EXPECT_EQ(live() - before, 3);  // no data buffers
        csr_f64_free(s);
    }
    csr_f64_free(m);
    m = copy_of<CsrF64>(0, 5, {});
    ASSERT_EQ(csr_f64_slice_cols_mask(m, mask, 5, &s), 0);
    EXPECT_TRUE(csr_f64_rows(s) == 0 && csr_f64_cols(s) == 3);
    csr_f64_free(s);
    csr_f64_free(m);

    // Stored indices outside the mask are dropped, never looked up.
    CompressedMatrix* c = copy_of<CscF32>(3, 1, {{{-1, 1.0}, {1, 2.0}, {3, 3.0}, {INT64_MAX, 4.0}}});
    const uint8_t rows[] = {0, 1, 1};
    ASSERT_EQ(csc_f32_slice_rows_mask(c, rows, 3, &s), 0);
    EXPECT_TRUE(csc_f32_rows(s) == 2 && csc_f32_cols(s) == 1 && read<CscF32>(s) == (Outer{{{0, 2.0}}}));
    csc_f32_free(s);
    csc_f32_free(c);
}

TEST_F(Stack, StatusesAndSingleInputClones) {
    CompressedMatrix* a = copy_of<CsrF64>(2, 4, {{{1, 1.0}}, {}});
    CompressedMatrix* b = copy_of<CsrF64>(2, 3, {{}, {{2, 2.0}}});
    CompressedMatrix *out = kUntouched, *ab[] = {a, b}, *an[] = {a, nullptr};
    const int64_t before = live();
    EXPECT_TRUE(csr_f64_vstack(ab, 2, &out) == -2 && csr_f64_hstack(ab, 0, &out) == -1);
    EXPECT_TRUE(csr_f64_hstack(ab, 2, nullptr) == -1 && csr_f64_hstack(nullptr, 2, &out) == -1);
    EXPECT_TRUE(csr_f64_hstack(an, 2, &out) == -1 && csr_f64_vstack(an, 2, &out) == -1);
    EXPECT_TRUE(out == kUntouched && live() == before);
    Arrays<double> arr({{{0, 1.0}}, {{1, 2.0}}});
    CompressedMatrix* v = view_of<CsrF64>(2, 2, arr);
    CompressedMatrix* vc = view_of<CscF64>(2, 2, arr);
    CompressedMatrix* ac = copy_of<CscF64>(2, 4, {{{1, 1.0}}, {}, {}, {}});
    using Fn = int32_t (*)(CompressedMatrix* const*, uint64_t, CompressedMatrix**);
    struct Case {
        Fn f;
        CompressedMatrix *view, *copy, *other;  // inputs of the family, one of the other form
    };
    for (Case c : {Case{csr_f64_hstack, v, a, vc}, Case{csr_f64_vstack, v, a, vc},
                   Case{csc_f64_hstack, vc, ac, v}, Case{csc_f64_vstack, vc, ac, v}}) {
        ASSERT_EQ(c.f(&c.view, 1, &out), 0);  // one input: a clone, cache state included
        EXPECT_TRUE(!csr_f64_has_nnz_cache(out) && out->values.ptr[1].data == arr.data.data() + 1);
        csr_f64_free(out);
        ASSERT_EQ(c.f(&c.copy, 1, &out), 0);
        EXPECT_TRUE(csr_f64_nnz(out) == 1 && csr_f64_rows(out) == csr_f64_rows(c.copy) &&
                    csr_f64_cols(out) == csr_f64_cols(c.copy));
        csr_f64_free(out);
        out = kUntouched;  // a handle of the other form is refused, even alone
        EXPECT_TRUE(c.f(&c.other, 1, &out) == KORVEX_STATUS_FAMILY && out == kUntouched);
    }
    EXPECT_TRUE(csr_f64_has_nnz_cache(v) == 0 && csr_f64_has_nnz_cache(vc) == 0);
    for (CompressedMatrix* m : {a, b, v, vc, ac}) csr_f64_free(m);
}

TEST_F(Stack, AlongTheCompressedAxisSharesSpans) {
    CompressedMatrix* z = copy_of<CsrF32>(0, 4, {});
    CompressedMatrix* a = copy_of<CsrF32>(2, 4, {{{0, 1.0}}, {{3, 2.0}}});
    Arrays<float> arr({{{1, 3.0}}, {}, {{2, 4.0}}});
    CompressedMatrix* b = view_of<CsrF32>(3, 4, arr);
    CompressedMatrix *in[] = {z, a, b}, *out = nullptr;
    ASSERT_EQ(csr_f32_vstack(in, 3, &out), 0);
    EXPECT_TRUE(csr_f32_rows(out) == 5 && csr_f32_cols(out) == 4 && csr_f32_has_nnz_cache(out) && csr_f32_nnz(out) == 4);
    EXPECT_TRUE(csr_f32_has_nnz_cache(b) && strong(*csr_f32_row_values(a, 0)) == 4);
    EXPECT_EQ(csr_f32_row_values(out, 2)->data, arr.data.data());
    csr_f32_free(a);
    EXPECT_EQ(read<CsrF32>(out), (Outer{{{0, 1.0}}, {{3, 2.0}}, {{1, 3.0}}, {}, {{2, 4.0}}}));
    csr_f32_free(out);
    csr_f32_set_nnz(b, 10);  // the result's count is the sum of the (trusted) caches
    CompressedMatrix* bb[] = {b, b};
    ASSERT_EQ(csr_f32_vstack(bb, 2, &out), 0);
    EXPECT_EQ(csr_f32_nnz(out), 20u);
    csr_f32_free(out);
    csr_f32_free(b);
    csr_f32_free(z);
}

TEST_F(Stack, AcrossTheCompressedAxisCopies) {
    CompressedMatrix* a = copy_of<CsrF64>(2, 2, {{{1, 1.0}}, {}});
    CompressedMatrix* b = copy_of<CsrF64>(2, 3, {{{0, 2.0}}, {{2, 3.0}}});
    CompressedMatrix *ab[] = {a, b}, *out = nullptr;
    ASSERT_EQ(csr_f64_hstack(ab, 2, &out), 0);
    EXPECT_TRUE(csr_f64_rows(out) == 2 && csr_f64_cols(out) == 5 && csr_f64_nnz(out) == 3);
    EXPECT_EQ(read<CsrF64>(out), (Outer{{{1, 1.0}, {2, 2.0}}, {{4, 3.0}}}));
    EXPECT_EQ(strong(*csr_f64_row_values(out, 0)), 2);
    csr_f64_free(out);
    // Nothing is sorted; [A, A] repeats each row shifted.
    CompressedMatrix* u = copy_of<CsrF64>(1, 3, {{{1, 1.0}, {0, 2.0}}});
    CompressedMatrix* uu[] = {u, u};
    ASSERT_EQ(csr_f64_hstack(uu, 2, &out), 0);
    EXPECT_TRUE(csr_f64_cols(out) == 6 && read<CsrF64>(out) == (Outer{{{1, 1.0}, {0, 2.0}, {4, 1.0}, {3, 2.0}}}));
    csr_f64_free(out);
    // Counts are consulted only up to the first input with entries.
    Arrays<double> e({{}, {}}), f({{{0, 9.0}}, {}});
    CompressedMatrix *ve = view_of<CsrF64>(2, 1, e), *vf = view_of<CsrF64>(2, 1, f), *vf2 = view_of<CsrF64>(2, 1, f);
    CompressedMatrix* three[] = {ve, vf, vf2};
    ASSERT_EQ(csr_f64_hstack(three, 3, &out), 0);
    EXPECT_TRUE(read<CsrF64>(out) == (Outer{{{1, 9.0}, {2, 9.0}}, {}}) && vacant(csr_f64_row_values(out, 1), 8));
    EXPECT_TRUE(csr_f64_has_nnz_cache(ve) && csr_f64_has_nnz_cache(vf) && !csr_f64_has_nnz_cache(vf2));
    csr_f64_free(out);
    CompressedMatrix* ee[] = {ve, ve, ve};  // no entries anywhere
    const int64_t before = live();
    ASSERT_EQ(csr_f64_hstack(ee, 3, &out), 0);
    EXPECT_TRUE(csr_f64_rows(out) == 2 && csr_f64_cols(out) == 3 && csr_f64_nnz(out) == 0);
    EXPECT_TRUE(vacant(csr_f64_row_values(out, 0), 8) && live() - before == 3);
    csr_f64_free(out);
    b->values.ptr[1].len = 0;  // value and index spans disagree
    out = kUntouched;
    EXPECT_TRUE(csr_f64_hstack(ab, 2, &out) == -8 && out == kUntouched);
    b->values.ptr[1].len = 1;
    for (CompressedMatrix* m : {a, b, u, ve, vf, vf2}) csr_f64_free(m);
}

// 256+ inputs (counts gathered in parallel, duplicates among them) and
// inputs of 4096+ spans.
TEST_F(Stack, ManyInputsAndLongInputs) {
    Arrays<double> x({{{0, 1.0}}, {}}), y({{{1, 2.0}, {2, 3.0}}, {{0, 4.0}}});
    CompressedMatrix *vx = view_of<CsrF64>(2, 3, x), *vy = view_of<CsrF64>(2, 3, y), *out = nullptr;
    std::vector<CompressedMatrix*> in;
    for (int j = 0; j < 300; ++j) in.push_back(j % 3 == 0 ? vx : vy);
    ASSERT_EQ(csr_f64_vstack(in.data(), in.size(), &out), 0);
    EXPECT_TRUE(csr_f64_rows(out) == 600 && csr_f64_nnz(out) == 100 * 1 + 200 * 3);
    EXPECT_TRUE(csr_f64_has_nnz_cache(vx) && csr_f64_nnz(vx) == 1 && csr_f64_nnz(vy) == 3);
    EXPECT_EQ(read<CsrF64>(out)[599], (Row{{0, 4.0}}));
    csr_f64_free(out);
    in.resize(260);
    ASSERT_EQ(csr_f64_hstack(in.data(), in.size(), &out), 0);
    Outer o = read<CsrF64>(out);
    EXPECT_TRUE(csr_f64_cols(out) == 780 && o[0].size() == 87 + 173 * 2);
    EXPECT_TRUE(o[0][0] == Entry(0, 1.0) && o[0][1] == Entry(4, 2.0) && o[1].back() == Entry(777, 4.0));
    for (CompressedMatrix* m : {out, vx, vy}) csr_f64_free(m);

    Outer tall(5000);
    for (int i = 0; i < 5000; i += 7) tall[i] = {{i % 3, double(i)}};
    CompressedMatrix* t = copy_of<CsrF32>(5000, 3, tall);
    CompressedMatrix* tt[] = {t, t};
    ASSERT_EQ(csr_f32_vstack(tt, 2, &out), 0);
    EXPECT_EQ(strong(*csr_f32_row_values(t, 0)), 3 * 715);
    Outer got = read<CsrF32>(out);
    EXPECT_TRUE(got.size() == 10000 && got[5000 + 4998] == (Row{{0, 4998.0}}) && csr_f32_nnz(out) == 2 * 715);
    csr_f32_free(out);
    csr_f32_free(t);
}
