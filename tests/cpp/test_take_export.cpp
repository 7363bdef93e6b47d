// Takes by position lists, compressed export, copy import from 32-bit
// indices and from unaligned arrays, and the shared transpose.
#include <cstring>

#include "slice/slice.hpp"
#include "test_support.hpp"

namespace {

template <typename A>
class Take : public Leak {};
template <typename A>
using CompressedExport = Take<A>;
using Families = ::testing::Types<CsrF32, CsrF64, CscF32, CscF64>;
TYPED_TEST_SUITE(Take, Families);
TYPED_TEST_SUITE(CompressedExport, Families);
using CopyImport = Leak;
using SharedTranspose = Leak;

// The plain meaning of a take: outer lists picked in order, or each entry
// once per position naming its inner index (positions increasing).
Outer take_model(const Outer& o, bool outer, const std::vector<uint64_t>& pos) {
    Outer t;
    if (outer) {
        for (uint64_t p : pos) t.push_back(o[p]);
        return t;
    }
    t.resize(o.size());
    for (size_t i = 0; i < o.size(); ++i)
        for (auto [j, v] : o[i])
            for (size_t k = 0; k < pos.size(); ++k)
                if (uint64_t(j) == pos[k]) t[i].emplace_back(int64_t(k), v);
    return t;
}

// 4 x 5 in either form (outer lists as given): an unsorted list with a
// duplicate index, an empty one, explicit zeros.
const Outer kSource = {{{3, 1.0}, {0, 2.0}, {3, 0.0}}, {}, {{4, 5.0}, {1, 6.0}}, {{2, 7.0}}};

}  // namespace

TYPED_TEST(Take, BothAxesMatchTheModel) {
    using A = TypeParam;
    const uint64_t rows = A::csr ? 4 : 5, cols = A::csr ? 5 : 4;
    CompressedMatrix* m = copy_of<A>(rows, cols, kSource);
    const std::vector<std::vector<uint64_t>> lists = {{}, {2}, {3, 0, 0, 2}, {1, 1, 1}, {0, 1, 2, 3}};
    for (bool by_rows : {true, false}) {
        bool outer = by_rows == A::csr;
        auto take = by_rows ? A::take_rows : A::take_cols;
        for (auto pos : lists) {
            if (!outer) pos.push_back(4);  // the last inner index, too
            SCOPED_TRACE(testing::Message() << "rows " << by_rows << " n " << pos.size());
            CompressedMatrix* t = kUntouched;
            pos.reserve(1);  // a list, even an empty one, is never null
            ASSERT_EQ(take(m, pos.data(), pos.size(), &t), 0);
            EXPECT_EQ(A::rows(t), by_rows ? pos.size() : rows);
            EXPECT_EQ(A::cols(t), by_rows ? cols : pos.size());
            EXPECT_EQ(read<A>(t), take_model(kSource, outer, pos));
            EXPECT_EQ(A::has_cache(t), !outer || pos.empty());  // counted when copied
            if (outer) {
                for (size_t k = 0; k < pos.size(); ++k)  // the source's own spans
                    EXPECT_EQ(A::vals_vec(t)[k].data, A::vals_vec(m)[pos[k]].data);
            }
            A::release(t);
        }
        // Bad positions and null arguments leave the slot alone and allocate nothing.
        const int64_t before = this->live();
        uint64_t dim = outer ? 4 : 5, bad[] = {0, dim}, huge[] = {UINT64_MAX};
        CompressedMatrix* t = kUntouched;
        EXPECT_EQ(take(m, bad, 2, &t), KORVEX_STATUS_RANGE);
        EXPECT_EQ(take(m, huge, 1, &t), KORVEX_STATUS_RANGE);
        EXPECT_EQ(take(nullptr, bad, 0, &t), KORVEX_STATUS_NULL);
        EXPECT_EQ(take(m, nullptr, 0, &t), KORVEX_STATUS_NULL);
        EXPECT_EQ(take(m, bad, 1, nullptr), KORVEX_STATUS_NULL);
        EXPECT_EQ(t, kUntouched);
        EXPECT_EQ(this->live(), before);
    }
    A::release(m);
}

TYPED_TEST(Take, OuterTakesShareAndOutliveTheSource) {
    using A = TypeParam;
    CompressedMatrix* m = copy_of<A>(A::csr ? 4 : 5, A::csr ? 5 : 4, kSource);
    auto take = A::csr ? A::take_rows : A::take_cols;
    const uint64_t pos[] = {2, 0, 2};
    CompressedMatrix* t = nullptr;
    ASSERT_EQ(take(m, pos, 3, &t), 0);
    EXPECT_EQ(strong(A::vals_vec(m)[0]), 3 + 3);  // three non-empty sources, three taken
    A::release(m);
    EXPECT_EQ(read<A>(t), take_model(kSource, true, {2, 0, 2}));
    A::release(t);
}

TYPED_TEST(Take, InnerTakesCheckStoredIndicesAndSearchWideAxes) {
    using A = TypeParam;
    // An index outside the inner dimension.
    CompressedMatrix* m = copy_of<A>(3, 3, {{{1, 1.0}}, {{0, 2.0}, {3, 3.0}}, {}});
    auto inner_take = A::csr ? A::take_cols : A::take_rows;
    const uint64_t pos[] = {1, 0};
    CompressedMatrix* t = kUntouched;
    EXPECT_EQ(inner_take(m, pos, 2, &t), KORVEX_STATUS_INDEX);
    EXPECT_EQ(t, kUntouched);
    A::release(m);
    // An inner dimension far beyond the list (searched, not tabled).
    const uint64_t wide = uint64_t{1} << 40;
    const Outer o = {{{int64_t(wide - 1), 1.0}, {7, 2.0}}, {{7, 3.0}}};
    m = copy_of<A>(A::csr ? 2 : wide, A::csr ? wide : 2, o);
    const std::vector<uint64_t> wpos = {7, wide - 1, 7, 0};
    ASSERT_EQ(inner_take(m, wpos.data(), wpos.size(), &t), 0);
    EXPECT_EQ(read<A>(t), take_model(o, false, wpos));
    A::release(t);
    A::release(m);
}

TYPED_TEST(CompressedExport, CompressedArraysInBothWidths) {
    using A = TypeParam;
    using V = typename A::V;
    CompressedMatrix* m = copy_of<A>(A::csr ? 4 : 5, A::csr ? 5 : 4, kSource);
    const uint64_t pos[] = {3, 1, 0, 0, 2};  // shared and repeated spans
    CompressedMatrix* t = nullptr;
    ASSERT_EQ((A::csr ? A::take_rows : A::take_cols)(m, pos, 5, &t), 0);
    Arrays<V> want(take_model(kSource, true, {3, 1, 0, 0, 2}));
    const uint64_t nnz = want.data.size();
    for (uint8_t width : {4, 8}) {
        SCOPED_TRACE(int(width));
        std::vector<V> vals(nnz + 1, V(-9));
        std::vector<int64_t> idx(nnz + 1, -9), ptr(7, -9);  // wide enough for both widths
        ASSERT_EQ(A::to_compressed(t, vals.data(), idx.data(), ptr.data(), nnz, width), 0);
        std::vector<int64_t> gi(nnz), gp(6);
        for (uint64_t k = 0; k < nnz; ++k)
            gi[k] = width == 8 ? idx[k] : reinterpret_cast<const int32_t*>(idx.data())[k];
        for (uint64_t k = 0; k < 6; ++k)
            gp[k] = width == 8 ? ptr[k] : reinterpret_cast<const int32_t*>(ptr.data())[k];
        EXPECT_EQ(std::vector<V>(vals.begin(), vals.begin() + nnz), want.data);
        EXPECT_EQ(gi, want.idx);
        EXPECT_EQ(gp, std::vector<int64_t>(want.ptr.begin(), want.ptr.end()));
        EXPECT_EQ(vals[nnz], V(-9));  // nothing past capacity
    }
    // Refusals write nothing.
    std::vector<V> vals(8, V(-9));
    std::vector<int64_t> idx(8, -9), ptr(8, -9);
    EXPECT_EQ(A::to_compressed(t, vals.data(), idx.data(), ptr.data(), nnz - 1, 8), KORVEX_STATUS_CAPACITY);
    EXPECT_EQ(A::to_compressed(t, vals.data(), idx.data(), ptr.data(), nnz, 2), KORVEX_STATUS_CAPACITY);
    EXPECT_EQ(A::to_compressed(nullptr, vals.data(), idx.data(), ptr.data(), nnz, 8), KORVEX_STATUS_NULL);
    EXPECT_EQ(A::to_compressed(t, vals.data(), nullptr, ptr.data(), nnz, 8), KORVEX_STATUS_NULL);
    EXPECT_TRUE(vals[0] == V(-9) && idx[0] == -9 && ptr[0] == -9);
    A::release(t);
    A::release(m);

    // A 4-byte width must hold every inner index: an inner dimension of
    // 2^31 fits, one more does not.
    for (uint64_t inner : {uint64_t{1} << 31, (uint64_t{1} << 31) + 1}) {
        m = copy_of<A>(A::csr ? 1 : inner, A::csr ? inner : 1, {{{int64_t(inner - 1), 1.0}}});
        int st = A::to_compressed(m, vals.data(), idx.data(), ptr.data(), 8, 4);
        EXPECT_EQ(st, inner == uint64_t{1} << 31 ? 0 : KORVEX_STATUS_CAPACITY);
        A::release(m);
    }
    // A stored index outside the matrix.
    m = copy_of<A>(2, 2, {{{0, 1.0}}, {{2, 2.0}}});
    EXPECT_EQ(A::to_compressed(m, vals.data(), idx.data(), ptr.data(), 8, 8), KORVEX_STATUS_INDEX);
    A::release(m);
}

TEST_F(CopyImport, FromInt32ArraysWidensAndChecks) {
    const double data[] = {1, 2, 3, 4};
    const int32_t idx[] = {2, 0, 1, 2};
    struct Case {
        std::vector<int32_t> ptr;
        uint64_t dlen;
        int status;
    } cases[] = {
        {{0, 2, 2, 4}, 4, 0},
        {{0, 3, 1, 4}, 4, 0},   // a pair going down is an empty row
        {{0, 2, 2, 3}, 4, KORVEX_STATUS_LENGTH},
        {{0, 2, 4}, 4, KORVEX_STATUS_INDPTR},
        {{1, 2, 2, 4}, 4, KORVEX_STATUS_INDPTR},
        {{0, -2, 2, 4}, 4, KORVEX_STATUS_INDPTR},
        {{0, 5, 2, 4}, 4, KORVEX_STATUS_INDPTR},
        {{0, 0, 0, -4}, 4, KORVEX_STATUS_INDPTR},
    };
    for (auto& c : cases) {
        CompressedMatrix *m = kUntouched, *w = nullptr;
        int st = csr_f64_from_scipy_copy_i32(3, 3, data, c.dlen, idx, 4, c.ptr.data(), c.ptr.size(), &m);
        EXPECT_EQ(st, c.status);
        if (st != 0) {
            EXPECT_EQ(m, kUntouched);
            continue;
        }
        // The same as the 64-bit import of the widened arrays.
        std::vector<int64_t> wi(idx, idx + 4);
        std::vector<uint64_t> wp(c.ptr.begin(), c.ptr.end());
        ASSERT_EQ(csr_f64_from_scipy_copy(3, 3, data, 4, wi.data(), 4, wp.data(), 4, &w), 0);
        EXPECT_EQ(read<CsrF64>(m), read<CsrF64>(w));
        EXPECT_TRUE(csr_f64_has_nnz_cache(m) && csr_f64_nnz(m) == csr_f64_nnz(w));
        csr_f64_free(m);
        csr_f64_free(w);
    }
    CompressedMatrix* m = kUntouched;
    EXPECT_EQ(csc_f32_from_scipy_copy_i32(1, 1, nullptr, 0, idx, 0, cases[0].ptr.data(), 2, &m), KORVEX_STATUS_NULL);
    EXPECT_EQ(m, kUntouched);
}

// Arrays at odd addresses (packed files, network buffers) are read without
// alignment assumptions; the sanitizer build checks every load.
TEST_F(CopyImport, ArraysAtAnyAddress) {
    const Outer o = {{{1, 1.5}, {0, 2.5}}, {}, {{2, 3.5}, {1, 4.5}, {0, 5.5}, {2, 6.5}, {1, 7.5}, {0, 8.5},
                                                {2, 9.5}, {1, 10.5}, {0, 11.5}}};
    Arrays<double> a(o);
    std::vector<int32_t> idx32(a.idx.begin(), a.idx.end()), ptr32(a.ptr.begin(), a.ptr.end());
    for (size_t shift : {1, 3, 5}) {
        SCOPED_TRACE(shift);
        std::vector<unsigned char> buf(1024);
        auto place = [&](size_t at, const void* src, size_t bytes) {
            std::memcpy(buf.data() + at + shift, src, bytes);
            return buf.data() + at + shift;
        };
        const auto* d = reinterpret_cast<const double*>(place(0, a.data.data(), a.data.size() * 8));
        const auto* x = reinterpret_cast<const int64_t*>(place(200, a.idx.data(), a.idx.size() * 8));
        const auto* p = reinterpret_cast<const uint64_t*>(place(400, a.ptr.data(), a.ptr.size() * 8));
        const auto* x32 = reinterpret_cast<const int32_t*>(place(600, idx32.data(), idx32.size() * 4));
        const auto* p32 = reinterpret_cast<const int32_t*>(place(800, ptr32.data(), ptr32.size() * 4));
        CompressedMatrix *m = nullptr, *m32 = nullptr;
        ASSERT_EQ(csr_f64_from_scipy_copy(3, 3, d, 11, x, 11, p, 4, &m), 0);
        ASSERT_EQ(csr_f64_from_scipy_copy_i32(3, 3, d, 11, x32, 11, p32, 4, &m32), 0);
        EXPECT_EQ(read<CsrF64>(m), o);
        EXPECT_EQ(read<CsrF64>(m32), o);
        csr_f64_free(m);
        csr_f64_free(m32);
    }
}

TEST_F(SharedTranspose, SharesEverySpanWithTheShapeSwapped) {
    CompressedMatrix* a = copy_of<CsrF64>(3, 2, {{{1, 1.0}, {0, 2.0}}, {}, {{1, 3.0}}});
    CompressedMatrix *t = kUntouched, *back = nullptr;
    ASSERT_EQ(csc_f64_transpose_shared_from_csr(a, &t), 0);
    EXPECT_TRUE(csc_f64_rows(t) == 2 && csc_f64_cols(t) == 3);
    EXPECT_TRUE(csc_f64_has_nnz_cache(t) && csc_f64_nnz(t) == 3);
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(csc_f64_col_values(t, i)->data, csr_f64_row_values(a, i)->data);
    csr_f64_free(a);
    EXPECT_EQ(read<CscF64>(t), (Outer{{{1, 1.0}, {0, 2.0}}, {}, {{1, 3.0}}}));
    ASSERT_EQ(csr_f64_transpose_shared_from_csc(t, &back), 0);
    EXPECT_TRUE(csr_f64_rows(back) == 3 && csr_f64_cols(back) == 2);
    csc_f64_free(t);
    EXPECT_EQ(read<CsrF64>(back), (Outer{{{1, 1.0}, {0, 2.0}}, {}, {{1, 3.0}}}));
    csr_f64_free(back);
    t = kUntouched;
    EXPECT_EQ(csr_f32_transpose_shared_from_csc(nullptr, &t), KORVEX_STATUS_NULL);
    EXPECT_EQ(t, kUntouched);
}

// A take written straight into compressed arrays reads what the take then
// the export would, in both index widths; the edges refuse before writing.
TYPED_TEST(Take, OuterTakeIntoCompressedArrays) {
    using A = TypeParam;
    using V = typename A::V;
    constexpr auto F = A::csr ? korvex::Form::csr : korvex::Form::csc;
    const uint64_t rows = A::csr ? 4 : 5, cols = A::csr ? 5 : 4;
    CompressedMatrix* m = copy_of<A>(rows, cols, kSource);
    const std::vector<std::vector<uint64_t>> lists = {{}, {1}, {3, 0, 0, 2}, {2, 2, 1, 0, 3}};
    for (const auto& pos : lists) {
        for (uint8_t width : {4, 8}) {
            SCOPED_TRACE(testing::Message() << "n " << pos.size() << " width " << int(width));
            std::vector<int64_t> ptr(pos.size() + 1, -1), idx(16, -1);
            std::vector<V> val(16, V(-1));
            // Counting first: indptr only.
            ASSERT_EQ((korvex::take_outer_compressed<V, F>(*m, pos.data(), pos.size(), ptr.data(),
                                                           nullptr, nullptr, 0, width)), 0);
            auto at = [&](size_t t) {
                return width == 8 ? ptr[t] : int64_t(reinterpret_cast<int32_t*>(ptr.data())[t]);
            };
            const Outer want = take_model(kSource, true, pos);
            uint64_t total = 0;
            for (size_t t = 0; t < want.size(); ++t) {
                EXPECT_EQ(at(t), int64_t(total));
                total += want[t].size();
            }
            EXPECT_EQ(at(pos.size()), int64_t(total));
            if (total)  // too small: -6, indptr still written
                EXPECT_EQ((korvex::take_outer_compressed<V, F>(*m, pos.data(), pos.size(), ptr.data(),
                                                               val.data(), idx.data(), total - 1, width)),
                          KORVEX_STATUS_CAPACITY);
            ASSERT_EQ((korvex::take_outer_compressed<V, F>(*m, pos.data(), pos.size(), ptr.data(),
                                                           val.data(), idx.data(), 16, width)), 0);
            for (size_t t = 0; t < want.size(); ++t)
                for (size_t q = 0; q < want[t].size(); ++q) {
                    uint64_t e = uint64_t(at(t)) + q;
                    int64_t j = width == 8 ? idx[e] : reinterpret_cast<int32_t*>(idx.data())[e];
                    EXPECT_EQ(j, want[t][q].first);
                    EXPECT_EQ(double(val[e]), want[t][q].second);
                }
            EXPECT_EQ(val[total], V(-1));  // nothing past the entries
        }
    }
    std::vector<int64_t> ptr(3, -7);
    std::vector<V> val(8);
    std::vector<int64_t> idx(8);
    const uint64_t beyond[] = {0, A::csr ? 4 : 4};
    EXPECT_EQ((korvex::take_outer_compressed<V, F>(*m, beyond, 2, ptr.data(), val.data(), idx.data(), 8, 8)),
              KORVEX_STATUS_RANGE);
    EXPECT_EQ(ptr[0], -7);  // nothing written
    const uint64_t ok[] = {0, 2};
    EXPECT_EQ((korvex::take_outer_compressed<V, F>(*m, ok, 2, ptr.data(), val.data(), idx.data(), 8, 3)),
              KORVEX_STATUS_CAPACITY);
    EXPECT_EQ((korvex::take_outer_compressed<V, F>(*m, ok, 2, ptr.data(), val.data(), nullptr, 8, 8)),
              KORVEX_STATUS_NULL);
    A::release(m);
}

// An index outside the inner dimension (a view of bad host arrays) is
// reported, and large takes run on the pool with the same result.
TYPED_TEST(Take, OuterTakeIntoCompressedArraysChecksIndicesAndRunsParallel) {
    using A = TypeParam;
    using V = typename A::V;
    constexpr auto F = A::csr ? korvex::Form::csr : korvex::Form::csc;
    Outer bad = {{{1, 1.0}, {9, 2.0}}, {{0, 3.0}}};
    CompressedMatrix* m = copy_of<A>(A::csr ? 2 : 3, A::csr ? 3 : 2, bad);
    const uint64_t both[] = {1, 0}, good[] = {1};
    std::vector<int64_t> ptr(3), idx(4);
    std::vector<V> val(4);
    EXPECT_EQ((korvex::take_outer_compressed<V, F>(*m, both, 2, ptr.data(), val.data(), idx.data(), 4, 8)),
              KORVEX_STATUS_INDEX);
    EXPECT_EQ((korvex::take_outer_compressed<V, F>(*m, good, 1, ptr.data(), val.data(), idx.data(), 4, 8)), 0);
    A::release(m);

    Outer big(300);
    for (size_t i = 0; i < big.size(); ++i)
        for (int64_t j = 0; j < 400; ++j) big[i].emplace_back((j * 7 + int64_t(i)) % 400, double(i + j));
    m = copy_of<A>(A::csr ? 300 : 400, A::csr ? 400 : 300, big);
    std::vector<uint64_t> pos(600);
    for (size_t t = 0; t < pos.size(); ++t) pos[t] = (t * 37) % 300;
    std::vector<int32_t> p32(601), i32(600 * 400);
    std::vector<V> v(600 * 400);
    ASSERT_EQ((korvex::take_outer_compressed<V, F>(*m, pos.data(), pos.size(), p32.data(), v.data(),
                                                   i32.data(), v.size(), 4)), 0);
    const Outer want = take_model(big, true, pos);
    for (size_t t = 0; t < pos.size(); t += 53)
        for (size_t q = 0; q < 400; q += 11) {
            EXPECT_EQ(i32[size_t(p32[t]) + q], want[t][q].first);
            EXPECT_EQ(double(v[size_t(p32[t]) + q]), want[t][q].second);
        }
    A::release(m);
}
