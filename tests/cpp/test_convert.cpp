// Import from compressed arrays and coordinates, export, CSR/CSC conversion.
#include <cstring>
#include <tuple>

#include "test_support.hpp"

using Import = Leak;
using Coo = Leak;
using Export = Leak;
using Conversion = Leak;

TEST_F(Import, ViewSpansPointIntoCallerArrays) {
    float data[] = {1, 2, 3, 4, 5};
    int64_t idx[] = {0, 2, 1, 2, 3};
    uint64_t ptr[] = {0, 2, 2, 5};
    CompressedMatrix* m = csr_f32_from_scipy_view(3, 4, data, idx, ptr);
    EXPECT_EQ(csr_f32_has_nnz_cache(m), 0);
    const Span* v = csr_f32_values_vec_ptr(m);
    const Span* x = csr_f32_indices_vec_ptr(m);
    EXPECT_TRUE(v[0].data == data && x[0].data == idx && v[0].len == 2 && v[0].flags == 1);
    EXPECT_TRUE(v[1].data == sentinel() && x[1].data == sentinel() && v[1].len == 0 && v[1].flags == 5);
    EXPECT_TRUE(v[2].data == data + 2 && x[2].data == idx + 2 && x[2].len == 3 && x[2].owner == nullptr);
    csr_f32_free(m);
    m = csc_f32_from_scipy_view(99, 3, data, idx, ptr);
    EXPECT_TRUE(csc_f32_rows(m) == 99 && csc_f32_col_len(m, 0) == 2 && csc_f32_col_len(m, 2) == 3);
    csc_f32_free(m);
    uint64_t lone = 0;  // no outer index: nothing read beyond indptr[0]
    m = csr_f32_from_scipy_view(0, 4, data, idx, &lone);
    EXPECT_EQ(csr_f32_values_vec_len(m), 0u);
    csr_f32_free(m);
    EXPECT_EQ(csr_f32_from_scipy_view(0, 0, nullptr, idx, ptr), nullptr);
    EXPECT_EQ(csr_f32_from_scipy_view(0, 0, data, nullptr, ptr), nullptr);
    EXPECT_EQ(csr_f32_from_scipy_view(0, 0, data, idx, nullptr), nullptr);
    // A decreasing pair gives an empty span, never one reaching outside.
    uint64_t dec[] = {0, 3, 1, 3};
    m = csr_f32_from_scipy_view(3, 4, data, idx, dec);
    EXPECT_EQ(read<CsrF32>(m), (Outer{{{0, 1.0}, {2, 2.0}, {1, 3.0}}, {}, {{2, 2.0}, {1, 3.0}}}));
    EXPECT_EQ(csr_f32_row_values(m, 1)->data, sentinel());
    csr_f32_free(m);
}

TEST_F(Import, CopyStatusesLeaveSlotAndHeapAlone) {
    double d[] = {1, 2, 3, 4, 5};
    int64_t x[] = {0, 1, 2, 3, 0};
    const struct {
        uint64_t n;
        std::vector<uint64_t> ptr;
        uint64_t dlen, xlen;
        int32_t status;
    } cases[] = {
        {2, {0, 2}, 2, 2, -4},        {2, {0, 2, 5, 5}, 5, 5, -4}, {2, {1, 2, 3}, 2, 2, -4},
        {2, {0, 2, 5}, 5, 4, -3},     {2, {0, 2, 5}, 4, 5, -3},
        {2, {0, 9, 3}, 3, 3, -4},     {3, {0, 4, 9, 3}, 3, 3, -4},  // interior beyond the end
    };
    CompressedMatrix* out = kUntouched;
    for (const auto& c : cases) {
        EXPECT_EQ(csr_f64_from_scipy_copy(c.n, 5, d, c.dlen, x, c.xlen, c.ptr.data(), c.ptr.size(), &out), c.status);
        EXPECT_TRUE(out == kUntouched && live() == 0);
    }
    uint64_t p[] = {0};
    EXPECT_EQ(csc_f64_from_scipy_copy(0, 0, nullptr, 0, x, 0, p, 1, &out), -1);
    EXPECT_EQ(csc_f64_from_scipy_copy(0, 0, d, 0, nullptr, 0, p, 1, &out), -1);
    EXPECT_EQ(csc_f64_from_scipy_copy(0, 0, d, 0, x, 0, nullptr, 1, &out), -1);
    EXPECT_EQ(csc_f64_from_scipy_copy(0, 0, d, 0, x, 0, p, 1, nullptr), -1);
    EXPECT_EQ(out, kUntouched);
}

TEST_F(Import, CopyResults) {
    double d[] = {1, 2, 3, 4, 5};
    int64_t x[] = {4, 1, 2, 3, 0};
    uint64_t three[] = {3};  // no outer index: indptr[0] need only match the lengths
    CompressedMatrix* m = nullptr;
    ASSERT_EQ(csr_f64_from_scipy_copy(0, 5, d, 3, x, 3, three, 1, &m), 0);
    EXPECT_TRUE(csr_f64_nnz(m) == 0 && csr_f64_rows(m) == 0);
    csr_f64_free(m);
    uint64_t zeros[] = {0, 0, 0, 0};  // all rows empty: sentinel spans, no buffers
    ASSERT_EQ(csr_f64_from_scipy_copy(3, 5, d, 0, x, 0, zeros, 4, &m), 0);
    EXPECT_TRUE(live() == 3 && csr_f64_has_nnz_cache(m) && csr_f64_nnz(m) == 0);
    EXPECT_EQ(csr_f64_row_values(m, 2)->flags, 5u);
    csr_f64_free(m);
    uint64_t dec[] = {0, 3, 1, 3};  // a decreasing pair empties that column only
    ASSERT_EQ(csc_f64_from_scipy_copy(5, 3, d, 3, x, 3, dec, 4, &m), 0);
    EXPECT_EQ(csc_f64_nnz(m), 5u);
    EXPECT_EQ(read<CscF64>(m), (Outer{{{4, 1.0}, {1, 2.0}, {2, 3.0}}, {}, {{1, 2.0}, {2, 3.0}}}));
    csc_f64_free(m);
    // Owned copies: aligned, mutable, independent of the caller's arrays.
    uint64_t ptr[] = {0, 1, 1, 5};
    ASSERT_EQ(csr_f64_from_scipy_copy(3, 5, d, 5, x, 5, ptr, 4, &m), 0);
    std::memset(d, 0, sizeof d);
    std::memset(x, 0, sizeof x);
    EXPECT_EQ(read<CsrF64>(m), (Outer{{{4, 1.0}}, {}, {{1, 2.0}, {2, 3.0}, {3, 4.0}, {0, 5.0}}}));
    for (uint64_t i : {0, 2}) {
        const Span *s = csr_f64_row_values(m, i), *t = csr_f64_row_indices(m, i);
        EXPECT_TRUE(s->flags == 6 && t->flags == 6 && strong(*s) == 2 && strong(*t) == 2);
        EXPECT_TRUE(reinterpret_cast<uintptr_t>(s->data) % 32 == 0 && reinterpret_cast<uintptr_t>(t->data) % 32 == 0);
    }
    csr_f64_free(m);
}

TEST_F(Coo, WorkedExamplesInBothForms) {
    int64_t r[] = {2, 0, 2, 0}, c[] = {3, 1, 0, 1};
    double d[] = {1, 2, 3, 4};
    CompressedMatrix* m = nullptr;
    ASSERT_EQ(csr_f64_from_coo(3, 4, r, c, d, 4, &m), 0);
    Outer o = read<CsrF64>(m);
    EXPECT_TRUE(o[0].size() == 2 && o[0][0].first == 1 && o[0][1].first == 1);
    EXPECT_EQ(o[0][0].second + o[0][1].second, 6.0);  // duplicates kept, either order
    EXPECT_TRUE(csr_f64_row_values(m, 1)->flags == 5 && csr_f64_nnz(m) == 4);
    EXPECT_EQ(o[2], (Row{{0, 3.0}, {3, 1.0}}));
    csr_f64_free(m);
    ASSERT_EQ(csc_f64_from_coo(3, 4, r, c, d, 4, &m), 0);
    o = read<CscF64>(m);
    EXPECT_TRUE(o[0] == (Row{{2, 3.0}}) && o[1].size() == 2 && o[2].empty() && o[3] == (Row{{2, 1.0}}));
    csc_f64_free(m);
    // Reverse order, an explicit zero, an inner index past cols (stored as is).
    int64_t rr[] = {1, 1, 1, 1}, cc[] = {9, 5, 2, 0};
    float ff[] = {1, 0, 3, 4};
    ASSERT_EQ(csr_f32_from_coo(2, 6, rr, cc, ff, 4, &m), 0);
    EXPECT_EQ(read<CsrF32>(m)[1], (Row{{0, 4.0}, {2, 3.0}, {5, 0.0}, {9, 1.0}}));
    EXPECT_TRUE(csr_f32_nnz(m) == 4 && !csr_f32_indices_in_bounds(m));
    csr_f32_free(m);
}

TEST_F(Coo, EmptyNullAndOutOfRangeOuter) {
    int64_t r[] = {0, 1}, c[] = {1, 3}, neg[] = {0, -1};
    float d[] = {1, 2};
    CompressedMatrix* m = nullptr;
    ASSERT_EQ(csc_f32_from_coo(2, 4, r, c, d, 0, &m), 0);
    EXPECT_TRUE(live() == 3 && csc_f32_nnz(m) == 0 && csc_f32_col_values(m, 3)->flags == 5);
    csc_f32_free(m);
    m = kUntouched;
    EXPECT_EQ(csc_f32_from_coo(2, 4, r, c, nullptr, 0, &m), -1);
    EXPECT_EQ(csc_f32_from_coo(2, 4, nullptr, c, d, 2, &m), -1);
    EXPECT_EQ(csc_f32_from_coo(2, 4, r, c, d, 2, nullptr), -1);
    EXPECT_EQ(csr_f32_from_coo(1, 4, r, c, d, 2, &m), -8);  // row 1 of 1
    EXPECT_EQ(csc_f32_from_coo(2, 3, r, c, d, 2, &m), -8);  // column 3 of 3
    EXPECT_EQ(csr_f32_from_coo(2, 4, neg, c, d, 2, &m), -8);
    EXPECT_EQ(csc_f32_from_coo(2, 0, r, c, d, 2, &m), -8);
    EXPECT_TRUE(m == kUntouched && live() == 0);
}

TEST_F(Export, CooOrderCapacityAndCache) {
    Arrays<double> a({{{4, 1.0}, {1, 2.0}}, {}, {{0, 3.0}}});
    CompressedMatrix* m = view_of<CsrF64>(3, 5, a);
    int64_t ro[5], co[5];
    double vo[5];
    std::fill(ro, ro + 5, -7);
    EXPECT_EQ(csr_f64_to_coo(m, ro, co, vo, 2), -6);
    EXPECT_TRUE(ro[0] == -7 && csr_f64_has_nnz_cache(m));  // nothing written, cache filled
    EXPECT_EQ(csr_f64_to_coo(m, ro, co, nullptr, 5), -1);
    ASSERT_EQ(csr_f64_to_coo(m, ro, co, vo, 3), 0);  // outer order, stored order within
    EXPECT_TRUE(ro[0] == 0 && ro[1] == 0 && ro[2] == 2 && ro[3] == -7);
    EXPECT_TRUE(co[0] == 4 && co[1] == 1 && co[2] == 0 && vo[0] == 1 && vo[1] == 2 && vo[2] == 3);
    // A cached count set too low never lets the export run past capacity.
    std::fill(ro, ro + 5, -7);
    csr_f64_set_nnz(m, 1);
    EXPECT_EQ(csr_f64_to_coo(m, ro, co, vo, 2), -6);
    EXPECT_EQ(ro[0], -7);
    ASSERT_EQ(csr_f64_to_coo(m, ro, co, vo, 4), 0);
    EXPECT_TRUE(ro[2] == 2 && ro[3] == -7);
    csr_f64_free(m);

    m = copy_of<CscF64>(3, 5, {{{2, 3.0}}, {{0, 2.0}}, {}, {}, {{0, 1.0}}});
    ASSERT_EQ(csc_f64_to_coo(m, ro, co, vo, 3), 0);
    EXPECT_TRUE(ro[0] == 2 && ro[1] == 0 && ro[2] == 0 && co[0] == 0 && co[1] == 1 && co[2] == 4);
    EXPECT_TRUE(vo[0] == 3 && vo[1] == 2 && vo[2] == 1);
    csc_f64_free(m);
    m = copy_of<CsrF64>(2, 2, {{}, {}});
    EXPECT_EQ(csr_f64_to_coo(m, ro, co, vo, 0), 0);
    EXPECT_EQ(csr_f64_to_coo(m, nullptr, co, vo, 0), -1);
    csr_f64_free(m);
}

TEST_F(Export, DenseOrdersBoundsAndGuards) {
    using D = std::vector<double>;
    CompressedMatrix* m = copy_of<CsrF64>(2, 3, {{{2, 5.0}}, {}});
    double out[7];
    std::fill(out, out + 7, 9.0);
    ASSERT_EQ(csr_f64_to_dense(m, out, 7, 0), 0);
    EXPECT_EQ(D(out, out + 7), (D{0, 0, 5, 0, 0, 0, 9}));
    ASSERT_EQ(csr_f64_to_dense(m, out, 6, 2), 0);  // any non-zero byte: column-major
    EXPECT_EQ(D(out, out + 6), (D{0, 0, 0, 0, 5, 0}));
    EXPECT_TRUE(csr_f64_to_dense(m, out, 5, 0) == -6 && csr_f64_to_dense(m, nullptr, 6, 0) == -1);
    csr_f64_free(m);
    m = copy_of<CscF64>(2, 3, {{{1, 1.0}}, {}, {{0, 2.0}, {0, 3.0}}});  // the last duplicate wins
    ASSERT_EQ(csc_f64_to_dense(m, out, 6, 0), 0);
    EXPECT_EQ(D(out, out + 6), (D{0, 0, 3, 1, 0, 0}));
    ASSERT_EQ(csc_f64_to_dense(m, out, 6, 1), 0);
    EXPECT_EQ(D(out, out + 6), (D{0, 1, 0, 0, 3, 0}));
    csc_f64_free(m);

    float f[4] = {7, 7, 7, 7};
    m = copy_of<CsrF32>(0, 5, {});
    EXPECT_EQ(csr_f32_to_dense(m, f, 0, 0), 0);
    csr_f32_free(m);
    m = copy_of<CsrF32>(4, uint64_t{1} << 62, {{}, {}, {}, {}});  // rows x cols wraps
    EXPECT_EQ(csr_f32_to_dense(m, f, 4, 0), -6);
    csr_f32_free(m);
    for (int64_t bad : {int64_t{2}, int64_t{-1}}) {  // found before anything is written
        m = copy_of<CsrF32>(2, 2, {{{0, 1.0}}, {{bad, 2.0}}});
        EXPECT_EQ(csr_f32_to_dense(m, f, 4, 0), -8);
        EXPECT_EQ(f[0], 7.0f);
        csr_f32_free(m);
    }
}

TEST_F(Conversion, RoundTripOfWorkedExample) {
    CompressedMatrix* a = copy_of<CsrF32>(2, 3, {{{2, 5.0}, {0, 1.0}}, {{2, 7.0}}});
    csr_f32_invalidate_nnz(a);
    CompressedMatrix *c = nullptr, *b = nullptr;
    ASSERT_EQ(csc_f32_from_csr(a, &c), 0);
    EXPECT_EQ(csr_f32_has_nnz_cache(a), 0);  // the source's cache is not touched
    EXPECT_EQ(read<CscF32>(c), (Outer{{{0, 1.0}}, {}, {{0, 5.0}, {1, 7.0}}}));
    EXPECT_TRUE(csc_f32_col_values(c, 1)->flags == 5 && csc_f32_rows(c) == 2 && csc_f32_cols(c) == 3);
    EXPECT_TRUE(csc_f32_has_nnz_cache(c) && csc_f32_nnz(c) == 3);
    ASSERT_EQ(csr_f32_from_csc(c, &b), 0);
    EXPECT_EQ(read<CsrF32>(b), (Outer{{{0, 1.0}, {2, 5.0}}, {{2, 7.0}}}));
    for (CompressedMatrix* m : {a, c, b}) csr_f32_free(m);
}

TEST_F(Conversion, EmptyShapesViewsDuplicatesAndBadSources) {
    CompressedMatrix *src, *out = nullptr;
    for (auto [r, c, spans] : {std::tuple{0, 4, 4}, std::tuple{3, 0, 0}, std::tuple{2, 2, 2}}) {
        src = copy_of<CsrF64>(r, c, Outer(r));
        const int64_t before = live();
        ASSERT_EQ(csc_f64_from_csr(src, &out), 0);
        EXPECT_TRUE(csc_f64_values_vec_len(out) == uint64_t(spans) && csc_f64_nnz(out) == 0);
        EXPECT_EQ(live() - before, spans ? 3 : 1);  // no data buffers
        csc_f64_free(out);
        csr_f64_free(src);
    }
    auto* a = new Arrays<double>({{{1, 1.0}, {1, 2.0}}, {{0, 3.0}}});  // a view is copied
    src = view_of<CsrF64>(2, 2, *a);
    ASSERT_EQ(csc_f64_from_csr(src, &out), 0);
    csr_f64_free(src);
    delete a;
    Outer o = read<CscF64>(out);
    EXPECT_EQ(o[0], (Row{{1, 3.0}}));
    EXPECT_TRUE(o[1].size() == 2 && o[1][0].first == 0 && o[1][1].first == 0);  // duplicate: two entries
    csc_f64_free(out);
    out = kUntouched;
    for (int64_t bad : {int64_t{2}, int64_t{-1}}) {  // outside the target's outer range
        src = copy_of<CscF64>(2, 2, {{{0, 1.0}}, {{bad, 1.0}}});
        EXPECT_EQ(csr_f64_from_csc(src, &out), -8);
        csc_f64_free(src);
    }
    src = copy_of<CscF64>(2, 2, {{{0, 1.0}, {1, 2.0}}, {}});
    src->values.ptr[0].len = 1;
    EXPECT_EQ(csr_f64_from_csc(src, &out), -8);
    src->values.ptr[0].len = 2;
    EXPECT_TRUE(csr_f64_from_csc(nullptr, &out) == -1 && csr_f64_from_csc(src, nullptr) == -1);
    EXPECT_EQ(out, kUntouched);
    csc_f64_free(src);
}
