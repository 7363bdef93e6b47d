// The matrix record: lifecycle, accessors, nonzero cache and statistics.
#include "test_support.hpp"

using MatrixRecord = Leak;
using NnzStats = Leak;

TEST_F(MatrixRecord, NullHandlesGiveDocumentedDefaults) {
    EXPECT_TRUE(csr_f32_size() == 80 && csr_f64_size() == 80 && csc_f32_size() == 80 && csc_f64_size() == 80);
    Shape s = csr_f64_shape(nullptr);
    EXPECT_TRUE(s.rows == 0 && s.cols == 0 && csc_f32_cols(nullptr) == 0 && csr_f64_is_empty(nullptr) == 1);
    EXPECT_TRUE(csr_f64_clone(nullptr) == nullptr && csr_f64_row_values(nullptr, 0) == nullptr);
    EXPECT_TRUE(csc_f64_col_indices_ptr(nullptr, 0) == nullptr && csr_f32_row_len(nullptr, 0) == 0);
    RowInfo r = csr_f64_get_row_info(nullptr, 0);
    EXPECT_TRUE(r.values == nullptr && r.indices == nullptr && r.len == 0);
    EXPECT_TRUE(csr_f64_values_vec_ptr(nullptr) == nullptr && csr_f64_values_vec_len(nullptr) == 0);
    EXPECT_TRUE(csr_f64_nnz(nullptr) == 0 && csr_f64_has_nnz_cache(nullptr) == 0 && csr_f64_is_zero(nullptr) == 1);
    EXPECT_TRUE(csr_f64_density(nullptr) == 0.0 && csc_f32_sparsity(nullptr) == 1.0);
    uint64_t a = 9;
    EXPECT_EQ(csr_f64_get_metadata(nullptr, &a, &a, &a), -1);
    EXPECT_TRUE(csr_f64_validate(nullptr) == 0 && csr_f64_is_sorted(nullptr) == 0);
    EXPECT_EQ(csr_f64_ensure_sorted_checked(nullptr), 0);
    csr_f64_free(nullptr);
    csr_f64_set_nnz(nullptr, 3);
    csr_f64_invalidate_nnz(nullptr);
    csr_f64_ensure_sorted(nullptr);
}

TEST_F(MatrixRecord, DegenerateShapes) {
    CompressedMatrix* m = copy_of<CsrF64>(0, 5, {});
    EXPECT_TRUE(csr_f64_rows(m) == 0 && csr_f64_cols(m) == 5 && csr_f64_is_empty(m) && csr_f64_values_vec_len(m) == 0);
    const double* vp[1];
    const int64_t* ip[1];
    uint64_t lens[1] = {7};
    EXPECT_EQ(csr_f64_get_row_pointers(m, vp, ip, lens), 0);
    EXPECT_EQ(lens[0], 7u);  // nothing written
    csr_f64_free(m);
    m = copy_of<CsrF64>(3, 0, {{}, {}, {}});
    EXPECT_TRUE(csr_f64_is_empty(m) && csr_f64_values_vec_len(m) == 3 && csr_f64_row_len(m, 2) == 0);
    csr_f64_free(m);
}

TEST_F(MatrixRecord, AccessorsAgreeWithSpanArrays) {
    CompressedMatrix* m = copy_of<CsrF32>(3, 4, {{{1, 1.0}, {3, 2.0}}, {}, {{0, 3.0}}});
    const Span* vs = csr_f32_values_vec_ptr(m);
    const Span* xs = csr_f32_indices_vec_ptr(m);
    const float* vp[3];
    const int64_t* ip[3];
    uint64_t lens[3];
    EXPECT_EQ(csr_f32_get_row_pointers(m, vp, ip, nullptr), -1);
    ASSERT_EQ(csr_f32_get_row_pointers(m, vp, ip, lens), 0);
    for (uint64_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(csr_f32_row_values(m, i) == vs + i && csr_f32_row_indices(m, i) == xs + i);
        EXPECT_TRUE(csr_f32_row_values_ptr(m, i) == vs[i].data && csr_f32_row_indices_ptr(m, i) == xs[i].data);
        EXPECT_TRUE(csr_f32_row_values_ptr_unchecked(m, i) == vs[i].data &&
                    csr_f32_row_indices_ptr_unchecked(m, i) == xs[i].data);
        EXPECT_TRUE(csr_f32_row_len(m, i) == vs[i].len && csr_f32_row_len_unchecked(m, i) == vs[i].len);
        RowInfo r = csr_f32_get_row_info(m, i), u = csr_f32_get_row_info_unchecked(m, i);
        EXPECT_TRUE(r.values == vs[i].data && r.indices == xs[i].data && r.len == vs[i].len);
        EXPECT_TRUE(u.values == r.values && u.indices == r.indices && u.len == r.len);
        EXPECT_TRUE(vp[i] == vs[i].data && ip[i] == xs[i].data && lens[i] == vs[i].len);
    }
    EXPECT_EQ(csr_f32_row_indices_ptr(m, 0)[1], 3);
    // One past the end: null, 0, all-zero.
    EXPECT_TRUE(csr_f32_row_values(m, 3) == nullptr && csr_f32_row_indices_ptr(m, 3) == nullptr);
    EXPECT_EQ(csr_f32_row_len(m, 3), 0u);
    RowInfo r = csr_f32_get_row_info(m, 3);
    EXPECT_TRUE(r.values == nullptr && r.indices == nullptr && r.len == 0);
    csr_f32_free(m);

    // CSC: the outer index is the column.
    m = copy_of<CscF64>(5, 2, {{{4, 1.0}}, {{0, 2.0}, {1, 3.0}}});
    EXPECT_TRUE(csc_f64_col_len(m, 1) == 2 && csc_f64_get_col_info(m, 1).len == 2);
    EXPECT_TRUE(csc_f64_get_col_info(m, 2).len == 0 && csc_f64_col_values_ptr(m, 0)[0] == 1.0);
    csc_f64_free(m);
}

TEST_F(MatrixRecord, CloneSharesAndFreesEachBufferOnce) {
    CompressedMatrix* m = copy_of<CsrF64>(4, 3, {{{0, 1.0}}, {{1, 2.0}}, {}, {{2, 3.0}}});
    const Span* vs = csr_f64_values_vec_ptr(m);
    EXPECT_TRUE(strong(vs[0]) == 3 && strong(*csr_f64_row_indices(m, 0)) == 3);
    const int64_t before = live();
    CompressedMatrix* c = csr_f64_clone(m);
    EXPECT_EQ(live() - before, 3);  // record and two span arrays, no data
    EXPECT_EQ(strong(vs[0]), 6);
    EXPECT_TRUE(csr_f64_has_nnz_cache(c) && csr_f64_nnz(c) == 3);
    EXPECT_TRUE(csr_f64_row_values(c, 2)->data == vs[2].data && csr_f64_row_values(c, 2)->flags == 5);
    csr_f64_free(m);
    EXPECT_EQ(strong(*csr_f64_row_values(c, 0)), 3);
    CompressedMatrix* c2 = csr_f64_clone(c);
    csr_f64_free(c);
    EXPECT_EQ(read<CsrF64>(c2), (Outer{{{0, 1.0}}, {{1, 2.0}}, {}, {{2, 3.0}}}));
    csr_f64_free(c2);

    Arrays<double> a({{{0, 1.0}}});  // a missing cache stays missing
    CompressedMatrix* v = view_of<CsrF64>(1, 2, a);
    CompressedMatrix* vc = csr_f64_clone(v);
    EXPECT_EQ(csr_f64_has_nnz_cache(vc), 0);
    csr_f64_free(v);
    csr_f64_free(vc);
}

TEST_F(NnzStats, CacheIsFilledTrustedAndCleared) {
    Arrays<double> a({{{0, 1.0}, {1, 2.0}}, {{2, 3.0}}});
    CompressedMatrix* m = view_of<CsrF64>(2, 3, a);
    EXPECT_EQ(csr_f64_has_nnz_cache(m), 0);
    EXPECT_EQ(csr_f64_nnz(m), 3u);
    EXPECT_EQ(csr_f64_has_nnz_cache(m), 1);
    csr_f64_set_nnz(m, 5);
    EXPECT_TRUE(csr_f64_nnz(m) == 5 && csr_f64_density(m) == 1.0 - (1.0 - 5.0 / 6.0));
    csr_f64_invalidate_nnz(m);
    EXPECT_EQ(csr_f64_has_nnz_cache(m), 0);
    EXPECT_TRUE(csr_f64_nnz(m) == 3 && csr_f64_has_nnz_cache(m) == 1);
    csr_f64_set_nnz(m, 0);
    EXPECT_EQ(csr_f64_is_zero(m), 1);
    csr_f64_invalidate_nnz(m);
    uint64_t r = 9, c = 9, n = 9;
    EXPECT_EQ(csr_f64_get_metadata(m, &r, &c, nullptr), -1);
    EXPECT_TRUE(r == 9 && c == 9 && !csr_f64_has_nnz_cache(m));
    EXPECT_EQ(csr_f64_get_metadata(m, &r, &c, &n), 0);
    EXPECT_TRUE(r == 2 && c == 3 && n == 3 && csr_f64_has_nnz_cache(m));
    csr_f64_free(m);
}

TEST_F(NnzStats, DensityIsTheComplementOfSparsity) {
    CompressedMatrix* m = copy_of<CsrF64>(0, 7, {});
    EXPECT_TRUE(csr_f64_sparsity(m) == 1.0 && csr_f64_density(m) == 0.0 && csr_f64_is_zero(m));
    csr_f64_free(m);
    m = copy_of<CsrF64>(2, 2, {{{1, 1.0}}, {}});
    EXPECT_TRUE(csr_f64_sparsity(m) == 0.75 && csr_f64_density(m) == 0.25);
    csr_f64_free(m);

    Outer tall(10);
    tall[3] = {{0, 1.0}};
    CompressedMatrix* f = copy_of<CsrF32>(10, 1, tall);
    EXPECT_EQ(csr_f32_sparsity(f), 0.9);
    EXPECT_EQ(csr_f32_density(f), 0.09999999999999998);  // 1 - 0.9, not 0.1
    csr_f32_free(f);

    Outer full(4);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) full[r].push_back({c, (r + c) % 3 == 0 ? 0.0 : 1.0});
    m = copy_of<CscF64>(4, 4, full);
    EXPECT_TRUE(!csc_f64_is_zero(m) && csc_f64_density(m) == 1.0 && csc_f64_sparsity(m) == 0.0);
    csc_f64_free(m);

    m = copy_of<CsrF64>(1, uint64_t{1} << 60, {{{12345, 1.0}}});
    EXPECT_TRUE(csr_f64_density(m) == 0.0 && csr_f64_sparsity(m) == 1.0 && !csr_f64_is_zero(m));
    csr_f64_free(m);
}
