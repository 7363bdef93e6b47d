// Products, sums and value maps of every family against a dense reference
// (duplicates added), over copies, views and stacks whose rows share
// storage; then the statuses and what maps share with their source.
#include <cmath>

#include "test_support.hpp"

namespace {

// rows x cols doubles, row-major.
struct Dense {
    uint64_t rows, cols;
    std::vector<double> a;
    double at(uint64_t i, uint64_t j) const { return a[i * cols + j]; }
};

template <typename A>
Dense dense_of(uint64_t rows, uint64_t cols, const Outer& o) {
    Dense d{rows, cols, std::vector<double>(rows * cols, 0.0)};
    for (uint64_t i = 0; i < o.size(); ++i)
        for (auto [j, v] : o[i]) d.a[A::csr ? i * cols + j : j * cols + i] += double(typename A::V(v));
    return d;
}

void expect_near(const std::vector<double>& got, const std::vector<double>& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t q = 0; q < got.size(); ++q)
        EXPECT_NEAR(got[q], want[q], 1e-4 * (1 + std::fabs(want[q]))) << what << " at " << q;
}

template <typename T>
std::vector<double> widen(const std::vector<T>& v) { return std::vector<double>(v.begin(), v.end()); }

// Every product and sum of m, against d. Operands: small varied values.
template <typename A>
void check_products(CompressedMatrix* m, const Dense& d) {
    using V = typename A::V;
    const uint64_t R = d.rows, C = d.cols;
    auto operand = [](uint64_t n) {
        std::vector<V> x(n + 1);  // never empty
        for (uint64_t q = 0; q < n; ++q) x[q] = V(double(q % 7) * 0.5 - 1.25);
        return x;
    };
    std::vector<V> x = operand(C), z = operand(R), y(R + 1), w(C + 1);
    ASSERT_EQ(A::matvec(m, x.data(), C, y.data(), R), 0);
    ASSERT_EQ(A::rmatvec(m, z.data(), R, w.data(), C), 0);
    std::vector<double> ry(R), rw(C), sr(R), sc(C);
    for (uint64_t i = 0; i < R; ++i)
        for (uint64_t j = 0; j < C; ++j) {
            ry[i] += d.at(i, j) * double(x[j]);
            rw[j] += d.at(i, j) * double(z[i]);
            sr[i] += d.at(i, j);
            sc[j] += d.at(i, j);
        }
    y.resize(R), w.resize(C);
    expect_near(widen(y), ry, "matvec");
    expect_near(widen(w), rw, "rmatvec");
    std::vector<double> s(R + 1), t(C + 1);
    ASSERT_EQ(A::sum_rows(m, s.data(), R), 0);
    ASSERT_EQ(A::sum_cols(m, t.data(), C), 0);
    s.resize(R), t.resize(C);
    expect_near(s, sr, "sum_rows");
    expect_near(t, sc, "sum_cols");
    // Blocks: 3 columns, and 11 (more than one column block), both orders.
    for (uint64_t k : {uint64_t{3}, uint64_t{11}})
        for (uint8_t order : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "k " << k << " order " << int(order));
            auto at = [&](uint64_t n, uint64_t i, uint64_t c) { return order ? c * n + i : i * k + c; };
            std::vector<V> X = operand(C * k), Z = operand(R * k), Y(R * k + 1), W(C * k + 1);
            ASSERT_EQ(A::matmat(m, X.data(), k, order, Y.data()), 0);
            ASSERT_EQ(A::rmatmat(m, Z.data(), k, order, W.data()), 0);
            std::vector<double> rY(R * k), rW(C * k);
            for (uint64_t i = 0; i < R; ++i)
                for (uint64_t j = 0; j < C; ++j)
                    for (uint64_t c = 0; c < k; ++c) {
                        rY[at(R, i, c)] += d.at(i, j) * double(X[at(C, j, c)]);
                        rW[at(C, j, c)] += d.at(i, j) * double(Z[at(R, i, c)]);
                    }
            Y.resize(R * k), W.resize(C * k);
            expect_near(widen(Y), rY, "matmat");
            expect_near(widen(W), rW, "rmatmat");
        }
}

// A map's result: the source's own index spans, fresh values f(v), empty
// outer indices with the source's span, the source unchanged.
template <typename A, typename Fn>
void check_map(CompressedMatrix* m, CompressedMatrix* r, const Fn& f) {
    using V = typename A::V;
    ASSERT_NE(r, nullptr);
    const uint64_t n = A::vec_len(m);
    ASSERT_EQ(A::vec_len(r), n);
    EXPECT_EQ(A::rows(r), A::rows(m));
    EXPECT_EQ(A::cols(r), A::cols(m));
    EXPECT_TRUE(A::has_cache(r));
    EXPECT_EQ(A::nnz(r), A::nnz(m));
    for (uint64_t i = 0; i < n; ++i) {
        const Span &sv = A::vals_vec(m)[i], &rv = A::vals_vec(r)[i];
        EXPECT_EQ(A::idx_vec(r)[i].data, A::idx_vec(m)[i].data);
        ASSERT_EQ(rv.len, sv.len);
        if (sv.len == 0) {
            EXPECT_EQ(rv.data, sv.data);
            EXPECT_EQ(rv.flags, sv.flags);
            continue;
        }
        EXPECT_NE(rv.data, sv.data);
        EXPECT_EQ(rv.flags, korvex::kFlagsOwned);
        for (uint64_t q = 0; q < sv.len; ++q) {
            V want = f(static_cast<const V*>(sv.data)[q], i, static_cast<const int64_t*>(A::idx_vec(m)[i].data)[q]);
            V got = static_cast<const V*>(rv.data)[q];
            if (!std::isfinite(want))
                EXPECT_TRUE(std::isnan(want) ? std::isnan(got) : got == want);
            else
                EXPECT_NEAR(got, want, 1e-5 * (1 + std::fabs(want)));
        }
    }
}

template <typename A>
class Compute : public Leak {};
using Families = ::testing::Types<CsrF32, CsrF64, CscF32, CscF64>;
TYPED_TEST_SUITE(Compute, Families);

struct Shape2 {
    const char* name;
    uint64_t outer, inner;
    Outer o;
};

std::vector<Shape2> shapes() {
    Row longrow;  // longer than one piece of work: split across threads
    for (int q = 0; q < 40000; ++q) longrow.emplace_back(q % 7, double(q % 5) - 2);
    return {
        // unsorted, a duplicate, an explicit zero, empty outer indices
        {"mixed", 5, 4, {{{3, 1}, {0, 2}, {3, -1}}, {}, {{1, 0}}, {{2, 4}, {0, 5}}, {}}},
        {"long row", 3, 7, {{{6, 1}}, longrow, {{0, 3}}}},
        {"no outer", 0, 3, {}},
        {"no inner", 3, 0, {{}, {}, {}}},
        {"many outer, no inner", 20000, 0, Outer(20000)},  // several pieces, nothing to add into
    };
}

TYPED_TEST(Compute, ProductsAndSumsMatchTheReference) {
    using A = TypeParam;
    for (const Shape2& s : shapes()) {
        SCOPED_TRACE(s.name);
        uint64_t rows = A::csr ? s.outer : s.inner, cols = A::csr ? s.inner : s.outer;
        Arrays<typename A::V> arr(s.o);
        CompressedMatrix* c = copy_of<A>(rows, cols, s.o);
        CompressedMatrix* v = view_of<A>(rows, cols, arr);
        // Along the compressed axis: the copy's rows and the view's, shared.
        CompressedMatrix *pair[] = {c, v}, *st = nullptr;
        ASSERT_EQ((A::csr ? A::vstack : A::hstack)(pair, 2, &st), 0);
        Outer twice = s.o;
        twice.insert(twice.end(), s.o.begin(), s.o.end());
        Dense d = dense_of<A>(rows, cols, s.o);
        check_products<A>(c, d);
        check_products<A>(v, d);
        check_products<A>(st, dense_of<A>(A::rows(st), A::cols(st), twice));
        for (CompressedMatrix* m : {c, v, st}) A::release(m);
    }
}

TYPED_TEST(Compute, MapsShareIndicesAndWriteFreshValues) {
    using A = TypeParam;
    using V = typename A::V;
    for (const Shape2& s : shapes()) {
        SCOPED_TRACE(s.name);
        uint64_t rows = A::csr ? s.outer : s.inner, cols = A::csr ? s.inner : s.outer;
        Arrays<V> arr(s.o);
        CompressedMatrix* c = copy_of<A>(rows, cols, s.o);
        CompressedMatrix* v = view_of<A>(rows, cols, arr);
        std::vector<V> wr(rows + 1), wc(cols + 1);
        for (uint64_t q = 0; q < wr.size(); ++q) wr[q] = V(q) - V(1.5);
        for (uint64_t q = 0; q < wc.size(); ++q) wc[q] = V(2) - V(q);
        for (CompressedMatrix* m : {c, v}) {
            struct Case {
                uint32_t op;
                double arg;
                V (*f)(V, double);
            } cases[] = {
                {KORVEX_MAP_SCALE, 2.5, [](V x, double a) { return V(x * V(a)); }},
                {KORVEX_MAP_LOG1P, 0, [](V x, double) { return V(std::log1p(x)); }},
                {KORVEX_MAP_POWER, 2, [](V x, double) { return V(x * x); }},
                {KORVEX_MAP_SIGN, 0, [](V x, double) { return V(x > 0 ? 1 : x < 0 ? -1 : 0); }},
                {KORVEX_MAP_ROUND, -1, [](V x, double) { return V(std::nearbyint(x / 10) * 10); }},
            };
            for (const Case& k : cases) {
                SCOPED_TRACE(k.op);
                CompressedMatrix* r = kUntouched;
                ASSERT_EQ(A::map(m, k.op, k.arg, &r), 0);
                check_map<A>(m, r, [&](V x, uint64_t, int64_t) { return k.f(x, k.arg); });
                A::release(r);
            }
            CompressedMatrix *r = nullptr, *q = nullptr;
            ASSERT_EQ(A::scale_rows(m, wr.data(), rows, &r), 0);
            ASSERT_EQ(A::scale_cols(m, wc.data(), cols, &q), 0);
            auto row_of = [](uint64_t i, int64_t j) { return A::csr ? i : uint64_t(j); };
            auto col_of = [](uint64_t i, int64_t j) { return A::csr ? uint64_t(j) : i; };
            check_map<A>(m, r, [&](V x, uint64_t i, int64_t j) { return V(x * wr[row_of(i, j)]); });
            check_map<A>(m, q, [&](V x, uint64_t i, int64_t j) { return V(x * wc[col_of(i, j)]); });
            A::release(r);
            A::release(q);
        }
        // The source is untouched and outlives nothing it does not own.
        EXPECT_EQ(read<A>(c), s.o);
        A::release(c);
        A::release(v);
    }
}

TYPED_TEST(Compute, StatusesForNullsLengthsAndIndicesOutside) {
    using A = TypeParam;
    using V = typename A::V;
    // Outer index 1 holds the inner index 3 == the inner dimension.
    Outer o{{{0, 1}}, {{2, 1}, {3, 1}}, {}};
    uint64_t rows = A::csr ? 3 : 3, cols = 3;
    Arrays<V> arr(o);
    CompressedMatrix* m = view_of<A>(rows, cols, arr);
    std::vector<V> x(64, V(1)), y(64);
    std::vector<double> s(64);
    CompressedMatrix* r = kUntouched;
    const int32_t bad = KORVEX_STATUS_INDEX, len = KORVEX_STATUS_SHAPE_MISMATCH, nul = KORVEX_STATUS_NULL;
    struct Case {
        const char* name;
        int32_t got, want;
    } cases[] = {
        {"matvec", A::matvec(m, x.data(), 3, y.data(), 3), bad},
        {"rmatvec", A::rmatvec(m, x.data(), 3, y.data(), 3), bad},
        {"matmat", A::matmat(m, x.data(), 2, 0, y.data()), bad},
        {"rmatmat", A::rmatmat(m, x.data(), 2, 1, y.data()), bad},
        {"inner sum", (A::csr ? A::sum_cols : A::sum_rows)(m, s.data(), 3), bad},
        {"outer sum reads no index", (A::csr ? A::sum_rows : A::sum_cols)(m, s.data(), 3), 0},
        {"inner scale", (A::csr ? A::scale_cols : A::scale_rows)(m, x.data(), 3, &r), bad},
        {"matvec x_len", A::matvec(m, x.data(), 2, y.data(), 3), len},
        {"matvec y_len", A::matvec(m, x.data(), 3, y.data(), 4), len},
        {"rmatvec z_len", A::rmatvec(m, x.data(), 4, y.data(), 3), len},
        {"matmat k overflow", A::matmat(m, x.data(), uint64_t{1} << 63, 0, y.data()), len},
        {"sum_rows len", A::sum_rows(m, s.data(), 2), len},
        {"sum_cols len", A::sum_cols(m, s.data(), 4), len},
        {"scale_rows len", A::scale_rows(m, x.data(), 4, &r), len},
        {"scale_cols len", A::scale_cols(m, x.data(), 2, &r), len},
        {"unknown op", A::map(m, 22, 0, &r), KORVEX_STATUS_LENGTH},
        {"null matrix", A::matvec(nullptr, x.data(), 3, y.data(), 3), nul},
        {"null operand", A::rmatmat(m, nullptr, 1, 0, y.data()), nul},
        {"null result", A::sum_rows(m, nullptr, 3), nul},
        {"null slot", A::map(m, KORVEX_MAP_ABS, 0, nullptr), nul},
        {"null weights", A::scale_rows(m, nullptr, 3, &r), nul},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.name;
    EXPECT_EQ(r, kUntouched);
    // A map that reads no index works on it.
    ASSERT_EQ(A::map(m, KORVEX_MAP_NEGATE, 0, &r), 0);
    A::release(r);
    A::release(m);
}

// The f32 families' double-operand products compute and store in double.
TEST(ComputeF64Operands, F32MatricesWithDoubleVectors) {
    const float data[] = {1, 2, 3};
    const int64_t idx[] = {0, 1, 1};
    const uint64_t ptr[] = {0, 2, 3};
    CompressedMatrix* r = csr_f32_from_scipy_view(2, 2, data, idx, ptr);
    CompressedMatrix* c = csc_f32_from_scipy_view(2, 2, data, idx, ptr);
    const double x[] = {1e-9, 1};  // lost if rounded to f32 on the way
    double y[2], z[4];
    ASSERT_EQ(csr_f32_matvec_f64(r, x, 2, y, 2), 0);
    EXPECT_EQ(y[0], 1e-9 + 2);
    EXPECT_EQ(y[1], 3);
    ASSERT_EQ(csc_f32_rmatvec_f64(c, x, 2, y, 2), 0);  // columns' sums with x
    EXPECT_EQ(y[0], 1e-9 + 2);
    ASSERT_EQ(csr_f32_matmat_f64(r, x, 1, 0, z), 0);
    EXPECT_EQ(z[0], 1e-9 + 2);
    ASSERT_EQ(csc_f32_rmatmat_f64(c, x, 1, 1, z), 0);
    EXPECT_EQ(z[1], 3);
    csr_f32_free(r);
    csc_f32_free(c);
}

// A float32 matrix mapped into float64 keeps its index spans: the result is
// an f64 handle over the same index buffers, values taken to double first;
// sorting either leaves the other reading its entries.
TEST(ComputeF64Operands, WidenedMapsShareIndexSpans) {
    const Outer rows{{{2, 0.1}, {0, 3.0}}, {}, {{1, 2.5}}};
    CompressedMatrix* m = copy_of<CsrF32>(3, 3, rows);
    CompressedMatrix *w = kUntouched, *l = kUntouched;
    ASSERT_EQ(csr_f32_map_values_f64(m, KORVEX_MAP_SCALE, 1.0 / 3, &w), 0);
    ASSERT_EQ(csr_f32_map_values_f64(m, KORVEX_MAP_LOG1P, 0, &l), 0);
    EXPECT_TRUE(csr_f64_is_valid(w) && !csr_f32_is_valid(w) && csr_f64_nnz(w) == 3);
    EXPECT_EQ(csr_f32_map_values_f64(w, KORVEX_MAP_SCALE, 1, &l), KORVEX_STATUS_FAMILY);
    for (uint64_t i = 0; i < 3; ++i) EXPECT_EQ(CsrF64::idx_vec(w)[i].data, CsrF32::idx_vec(m)[i].data);
    const Outer before = read<CsrF32>(m);
    Outer want = before, want_log = before;
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t k = 0; k < rows[i].size(); ++k) {
            want[i][k].second = double(float(rows[i][k].second)) * (1.0 / 3);
            want_log[i][k].second = std::log1p(double(float(rows[i][k].second)));
        }
    EXPECT_EQ(read<CsrF64>(w), want);
    const Outer logs = read<CsrF64>(l);
    for (size_t k = 0; k < 2; ++k) EXPECT_NEAR(logs[0][k].second, want_log[0][k].second, 1e-15);
    csr_f64_sort_indices(w);
    EXPECT_EQ(read<CsrF32>(m), before);
    EXPECT_EQ(read<CsrF64>(w)[0], (Row{{0, double(3.0f) / 3}, {2, double(0.1f) / 3}}));
    csr_f32_sort_indices(m);
    EXPECT_EQ(read<CsrF64>(l), logs);
    for (CompressedMatrix* x : {m, w, l}) csr_f64_free(x);
}

}  // namespace
