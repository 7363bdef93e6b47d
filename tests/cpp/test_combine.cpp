// Two-operand operations of every family against a dense reference: the
// product, elementwise combinations and comparisons, over copies, views,
// stacks whose rows share storage, unsorted rows, repeated indices, explicit
// zeros, empty rows and degenerate shapes; then the statuses.
#include <algorithm>
#include <functional>
#include <random>
#include <set>

#include "test_support.hpp"

namespace {


// The exports under test (through the C interface, guard and family check).
template <typename A>
struct Ops {
    static constexpr auto matmul = A::matmul;
    static constexpr auto combine = A::combine;
    static constexpr auto compare = A::compare;
    static constexpr auto compare_scalar = A::compare_scalar;
    static constexpr auto combine_other = A::combine_other;
    static constexpr auto to_compressed = A::compare_scalar_to_compressed;
};

// o's entries regrouped along the other axis (`n` outer indices), each new
// outer index's entries reversed when `unsorted` (repeats stay together).
Outer flip(const Outer& o, uint64_t n, bool unsorted) {
    Outer f(n);
    for (uint64_t i = 0; i < o.size(); ++i)
        for (auto [j, v] : o[i]) f[uint64_t(j)].emplace_back(int64_t(i), v);
    if (unsorted)
        for (Row& r : f) std::reverse(r.begin(), r.end());
    return f;
}

// compare_scalar_to_compressed's two calls (index elements of width w) as
// (indptr, indices), its flags checked to be 1.
template <typename A, typename I>
std::pair<std::vector<I>, std::vector<I>> pattern_of(CompressedMatrix* m, double s, uint32_t op) {
    std::vector<I> ip(A::csr ? A::rows(m) + 1 : A::cols(m) + 1, I(-1));
    EXPECT_EQ(A::compare_scalar_to_compressed(m, s, op, ip.data(), nullptr, nullptr, 0, sizeof(I)), 0);
    std::vector<I> ix(uint64_t(ip.back()));
    std::vector<uint8_t> fl(ix.size(), 0);
    EXPECT_EQ(A::compare_scalar_to_compressed(m, s, op, ip.data(), ix.data(), fl.data(), ix.size(),
                                              sizeof(I)), 0);
    EXPECT_TRUE(std::all_of(fl.begin(), fl.end(), [](uint8_t f) { return f == 1; }));
    return {ip, ix};
}

// A matrix as given to the library (outer rows of entries) and its dense
// form, row-major, repeated indices added.
struct Mat {
    uint64_t rows, cols;
    Outer o;
    std::vector<double> d;
    std::vector<char> stored;  // row-major: some entry at (row, col)
    double at(uint64_t i, uint64_t j) const { return d[i * cols + j]; }
};

template <typename A>
Mat make(uint64_t rows, uint64_t cols, Outer o) {
    Mat m{rows, cols, std::move(o), std::vector<double>(rows * cols, 0.0),
          std::vector<char>(rows * cols, 0)};
    for (uint64_t i = 0; i < m.o.size(); ++i)
        for (auto [j, v] : m.o[i]) {
            uint64_t r = A::csr ? i : uint64_t(j), c = A::csr ? uint64_t(j) : i;
            m.d[r * cols + c] += v;
            m.stored[r * cols + c] = 1;
        }
    return m;
}

// How random operands are drawn: entries per outer index up to `per`,
// small integer values (sums stay exact in f32), some rows empty.
struct Draw {
    uint64_t per;
    bool unsorted, dups, zeros;
};

Outer draw(std::mt19937_64& g, uint64_t outer, uint64_t inner, const Draw& w) {
    Outer o(outer);
    if (inner == 0) return o;
    for (Row& r : o) {
        if (g() % 5 == 0) continue;  // an empty row
        uint64_t n = g() % (w.per + 1);
        std::set<int64_t> seen;
        for (uint64_t q = 0; q < n; ++q) {
            int64_t j = int64_t(g() % inner);
            if (!w.dups && !seen.insert(j).second) continue;
            double v = double(int64_t(g() % 5) - 2);
            if (!w.zeros && v == 0) v = 3;
            r.emplace_back(j, v);
        }
        if (!w.unsorted || g() % 2) std::sort(r.begin(), r.end(), [](auto& a, auto& b) { return a.first < b.first; });
    }
    return o;
}

// The ways an operand reaches the library.
enum class Via { copy, view, stack };

template <typename A>
struct Built {
    std::vector<std::unique_ptr<Arrays<typename A::V>>> keep;
    std::vector<CompressedMatrix*> handles;
    ~Built() {
        for (CompressedMatrix* h : handles) A::release(h);
    }
    // The matrix itself, or for Via::stack the stack of it twice along the
    // outer axis (m then describes that stack).
    CompressedMatrix* get(Mat& m, Via via) {
        if (via == Via::view) {
            keep.push_back(std::make_unique<Arrays<typename A::V>>(m.o));
            handles.push_back(view_of<A>(m.rows, m.cols, *keep.back()));
            return handles.back();
        }
        CompressedMatrix* c = copy_of<A>(m.rows, m.cols, m.o);
        handles.push_back(c);
        if (via == Via::copy) return c;
        CompressedMatrix *pair[] = {c, c}, *st = nullptr;
        EXPECT_EQ((A::csr ? A::vstack : A::hstack)(pair, 2, &st), 0);
        handles.push_back(st);
        Outer twice = m.o;
        twice.insert(twice.end(), m.o.begin(), m.o.end());
        m = make<A>(A::csr ? 2 * m.rows : m.rows, A::csr ? m.cols : 2 * m.cols, twice);
        return st;
    }
};

// r holds exactly the non-zero positions of want (row-major rows x cols),
// each row sorted without repeats, and caches its count.
template <typename A>
void expect_result(CompressedMatrix* r, uint64_t rows, uint64_t cols, const std::vector<double>& want) {
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(A::rows(r), rows);
    ASSERT_EQ(A::cols(r), cols);
    Outer got = read<A>(r);
    ASSERT_EQ(got.size(), A::csr ? rows : cols);
    std::vector<double> d(rows * cols, 0.0);
    uint64_t stored = 0;
    for (uint64_t i = 0; i < got.size(); ++i)
        for (uint64_t q = 0; q < got[i].size(); ++q) {
            auto [j, v] = got[i][q];
            ASSERT_TRUE(j >= 0 && uint64_t(j) < (A::csr ? cols : rows));
            if (q) ASSERT_LT(got[i][q - 1].first, j) << "row " << i << " unsorted or repeated";
            ASSERT_NE(v, 0.0) << "stored zero in row " << i;
            d[A::csr ? i * cols + j : j * cols + i] = v;
            ++stored;
        }
    EXPECT_TRUE(A::has_cache(r));
    EXPECT_EQ(A::nnz(r), stored);
    for (uint64_t q = 0; q < d.size(); ++q) ASSERT_EQ(d[q], want[q]) << "at " << q / cols << "," << q % cols;
}

template <typename A>
class Combine : public Leak {};
using Families = ::testing::Types<CsrF32, CsrF64, CscF32, CscF64>;
TYPED_TEST_SUITE(Combine, Families);

// Shapes of the product a (rows x mid) . b (mid x cols), drawn in each form.
struct ProductCase {
    const char* name;
    uint64_t rows, mid, cols;
    Draw wa, wb;
};

const ProductCase kProducts[] = {
    {"plain", 30, 20, 25, {4, false, false, false}, {4, false, false, false}},
    {"unsorted, repeats, zeros", 40, 15, 30, {6, true, true, true}, {6, true, true, true}},
    {"dense accumulator", 60, 12, 40, {12, true, true, true}, {30, true, true, true}},
    {"hash, wide", 50, 400, 3000, {5, true, true, true}, {6, true, true, true}},
    {"many rows", 3000, 300, 200, {3, true, true, false}, {4, false, true, true}},
    {"0 rows", 0, 5, 4, {3, false, false, false}, {3, false, false, false}},
    {"0 inner", 6, 0, 4, {3, false, false, false}, {3, false, false, false}},
    {"0 cols", 5, 4, 0, {3, false, false, false}, {3, false, false, false}},
    {"1x1", 1, 1, 1, {2, true, true, true}, {2, true, true, true}},
};

TYPED_TEST(Combine, ProductsMatchTheReference) {
    using A = TypeParam;
    std::mt19937_64 g(7);
    for (const ProductCase& c : kProducts)
        for (Via via : {Via::copy, Via::view, Via::stack}) {
            SCOPED_TRACE(testing::Message() << c.name << " via " << int(via));
            auto outer = [](uint64_t r, uint64_t k) { return A::csr ? r : k; };
            auto inner = [](uint64_t r, uint64_t k) { return A::csr ? k : r; };
            Mat a = make<A>(c.rows, c.mid, draw(g, outer(c.rows, c.mid), inner(c.rows, c.mid), c.wa));
            Mat b = make<A>(c.mid, c.cols, draw(g, outer(c.mid, c.cols), inner(c.mid, c.cols), c.wb));
            Built<A> h;
            // A stack doubles the operand that runs along the result's outer axis.
            CompressedMatrix* ha = A::csr ? h.get(a, via) : h.get(a, via == Via::stack ? Via::copy : via);
            CompressedMatrix* hb = A::csr ? h.get(b, via == Via::stack ? Via::copy : via) : h.get(b, via);
            std::vector<double> want(a.rows * b.cols, 0.0);
            for (uint64_t i = 0; i < a.rows; ++i)
                for (uint64_t k = 0; k < a.cols; ++k)
                    if (a.at(i, k) != 0)
                        for (uint64_t j = 0; j < b.cols; ++j) want[i * b.cols + j] += a.at(i, k) * b.at(k, j);
            CompressedMatrix* r = kUntouched;
            ASSERT_EQ(Ops<A>::matmul(ha, hb, &r), 0);
            expect_result<A>(r, a.rows, b.cols, want);
            A::release(r);
        }
}

// Directed products, in outer/inner terms of the result's form (left
// outer x mid, right mid x inner): sums that cancel to exactly zero are not
// stored and an outer index whose sums all cancel is empty; a row whose
// indices bunch at one end of a wide range; a row spread thin.
TYPED_TEST(Combine, DirectedProducts) {
    using A = TypeParam;
    Row bunched, spread;
    for (int64_t j = 40; j >= 0; --j) bunched.emplace_back(j, 1);
    bunched.emplace_back(99999, 1);
    for (int64_t j = 0; j < 99999; j += 997) spread.emplace_back(99998 - j, 2);
    struct Case {
        const char* name;
        uint64_t outer, mid, inner, stored;
        Outer left, right;
    };
    const Case cases[] = {
        {"cancelling", 2, 2, 2, 2, {{{0, 1}, {1, 1}}, {{0, 1}}}, {{{0, 1}, {1, 3}}, {{1, -3}, {0, -1}}}},
        {"bunched", 1, 2, 100000, 42, {{{0, 1}, {1, 1}}}, {bunched, {{99999, 1}, {5, 2}}}},
        {"spread", 2, 2, 100000, 244, {{{1, 1}}, {{0, 1}, {1, -1}}}, {bunched, spread}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t rows = A::csr ? c.outer : c.inner, cols = A::csr ? c.inner : c.outer;
        Mat a = A::csr ? make<A>(rows, c.mid, c.left) : make<A>(c.inner, c.mid, c.right);
        Mat b = A::csr ? make<A>(c.mid, cols, c.right) : make<A>(c.mid, c.outer, c.left);
        Built<A> h;
        CompressedMatrix *r = kUntouched, *ha = h.get(a, Via::copy), *hb = h.get(b, Via::copy);
        ASSERT_EQ(Ops<A>::matmul(ha, hb, &r), 0);
        std::vector<double> want(rows * cols, 0.0);
        for (uint64_t i = 0; i < rows; ++i)
            for (uint64_t k = 0; k < c.mid; ++k)
                if (a.at(i, k) != 0)
                    for (uint64_t j = 0; j < cols; ++j) want[i * cols + j] += a.at(i, k) * b.at(k, j);
        expect_result<A>(r, rows, cols, want);
        EXPECT_EQ(A::nnz(r), c.stored);
        A::release(r);
    }
}

double scipy_max(double x, double y) { return x < y ? y : x; }
double scipy_min(double x, double y) { return y < x ? y : x; }

struct ElementCase {  // in outer/inner terms
    const char* name;
    uint64_t outer, inner;
    Draw w;
};

const ElementCase kElements[] = {
    {"plain", 20, 30, {6, false, false, false}},
    {"unsorted, repeats, zeros", 30, 12, {8, true, true, true}},
    {"long rows", 6, 2000, {900, true, true, true}},
    {"many rows", 5000, 40, {4, false, true, true}},
    {"0 outer", 0, 7, {3, false, false, false}},
    {"0 inner", 7, 0, {3, false, false, false}},
    {"1x1", 1, 1, {2, true, true, true}},
};

TYPED_TEST(Combine, ElementwiseAndComparisonsMatchTheReference) {
    using A = TypeParam;
    const std::function<double(double, double)> combos[] = {
        std::plus<double>(), std::minus<double>(), scipy_max, scipy_min, std::multiplies<double>()};
    const std::function<bool(double, double)> cmps[] = {
        std::not_equal_to<double>(), std::less<double>(), std::greater<double>(),
        std::less_equal<double>(), std::greater_equal<double>(), std::equal_to<double>()};
    std::mt19937_64 g(11);
    for (const ElementCase& c : kElements)
        for (Via via : {Via::copy, Via::view, Via::stack}) {
            SCOPED_TRACE(testing::Message() << c.name << " via " << int(via));
            const uint64_t rows = A::csr ? c.outer : c.inner, cols = A::csr ? c.inner : c.outer;
            Mat a = make<A>(rows, cols, draw(g, c.outer, c.inner, c.w));
            Mat b = make<A>(rows, cols, draw(g, c.outer, c.inner, c.w));
            Built<A> h;
            CompressedMatrix* ha = h.get(a, via);
            CompressedMatrix* hb = h.get(b, via);
            const uint64_t cells = a.rows * a.cols;
            // b in the other form, its outer indices unsorted where drawn so.
            using O = Api<typename A::V, !A::csr>;
            Built<O> ho;
            CompressedMatrix* hbo = ho.handles.emplace_back(
                copy_of<O>(b.rows, b.cols, flip(b.o, A::csr ? b.cols : b.rows, c.w.unsorted)));
            for (uint32_t op = 0; op < 5; ++op) {
                SCOPED_TRACE(testing::Message() << "combine " << op);
                std::vector<double> want(cells), self(cells, 0.0);
                for (uint64_t q = 0; q < cells; ++q) want[q] = combos[op](a.d[q], b.d[q]);
                for (uint64_t q = 0; q < cells; ++q)
                    self[q] = combos[op](a.d[q], a.d[q]);  // a - a: nothing stored
                for (auto [x, y, w] : {std::tuple{ha, hb, &want}, std::tuple{ha, ha, &self}}) {
                    CompressedMatrix* r = kUntouched;
                    ASSERT_EQ(Ops<A>::combine(x, y, op, &r), 0);
                    expect_result<A>(r, a.rows, a.cols, *w);
                    A::release(r);
                }
                CompressedMatrix* r = kUntouched;
                ASSERT_EQ(Ops<A>::combine_other(ha, hbo, op, &r), 0);
                expect_result<A>(r, a.rows, a.cols, want);
                A::release(r);
            }
            for (uint32_t op = 0; op < 6; ++op) {
                SCOPED_TRACE(testing::Message() << "compare " << op);
                std::vector<double> want(cells, 0.0);
                for (uint64_t q = 0; q < cells; ++q)
                    if ((a.stored[q] || b.stored[q]) && cmps[op](a.d[q], b.d[q])) want[q] = 1;
                CompressedMatrix* r = kUntouched;
                ASSERT_EQ(Ops<A>::compare(ha, hb, op, &r), 0);
                expect_result<A>(r, a.rows, a.cols, want);
                A::release(r);
                for (double s : {0.5, -1.0, 0.0}) {
                    std::fill(want.begin(), want.end(), 0.0);
                    for (uint64_t q = 0; q < cells; ++q)
                        if (a.stored[q] && cmps[op](a.d[q], s)) want[q] = 1;
                    r = kUntouched;
                    ASSERT_EQ(Ops<A>::compare_scalar(ha, s, op, &r), 0);
                    expect_result<A>(r, a.rows, a.cols, want);
                    A::release(r);
                    // The same pattern straight into scipy's arrays.
                    auto [ip, ix] = pattern_of<A, int64_t>(ha, s, op);
                    std::vector<double> got(cells, 0.0);
                    for (uint64_t i = 0; i + 1 < ip.size(); ++i)
                        for (int64_t k = ip[i]; k < ip[i + 1]; ++k) {
                            if (k > ip[i]) ASSERT_LT(ix[k - 1], ix[k]);
                            got[A::csr ? i * a.cols + ix[k] : ix[k] * a.cols + i] = 1;
                        }
                    ASSERT_EQ(got, want);
                }
            }
        }
}

TYPED_TEST(Combine, NonFiniteValuesFollowScipy) {
    using A = TypeParam;
    const double inf = INFINITY, nan = NAN;
    // One outer index: stored (0: nan, 1: 1, 2: inf) against (0: 1, 1: nan, 3: nan).
    Outer oa{{{0, nan}, {1, 1}, {2, inf}}}, ob{{{0, 1}, {1, nan}, {3, nan}}};
    uint64_t rows = A::csr ? 1 : 4, cols = A::csr ? 4 : 1;
    CompressedMatrix* a = copy_of<A>(rows, cols, oa);
    CompressedMatrix* b = copy_of<A>(rows, cols, ob);
    struct Case {
        uint32_t op;
        std::vector<double> want;  // per inner index; nan matches nan
    } cases[] = {
        {KORVEX_COMBINE_MAX, {nan, 1, inf, 0}},
        {KORVEX_COMBINE_MIN, {nan, 1, 0, 0}},
        {KORVEX_COMBINE_MUL, {nan, nan, nan, nan}},
        {KORVEX_COMBINE_ADD, {nan, nan, inf, nan}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        CompressedMatrix* r = nullptr;
        ASSERT_EQ(Ops<A>::combine(a, b, c.op, &r), 0);
        Outer got = read<A>(r);
        std::vector<double> d(4, 0.0);
        for (auto [j, v] : got[0]) d[j] = v;
        for (int j = 0; j < 4; ++j)
            EXPECT_TRUE(std::isnan(c.want[j]) ? std::isnan(d[j]) : d[j] == c.want[j]) << j;
        A::release(r);
    }
    // b in the other form gives the same; so does a finite b' (values read
    // through the lookup: nan * 1, 1 * 2, inf * nothing).
    using O = Api<typename A::V, !A::csr>;
    CompressedMatrix* bo = copy_of<O>(rows, cols, flip(ob, 4, true));
    CompressedMatrix* fo = copy_of<O>(rows, cols, flip(Outer{{{0, 1}, {1, 2}}}, 4, false));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.op);
        for (auto [other, want] : {std::pair{bo, c.want}, std::pair{fo, std::vector<double>{nan, 2, nan, 0}}}) {
            if (other == fo && c.op != KORVEX_COMBINE_MUL) continue;
            CompressedMatrix* r = nullptr;
            ASSERT_EQ(Ops<A>::combine_other(a, other, c.op, &r), 0);
            Outer got = read<A>(r);
            std::vector<double> d(4, 0.0);
            for (auto [j, v] : got[0]) d[j] = v;
            for (int j = 0; j < 4; ++j)
                EXPECT_TRUE(std::isnan(want[j]) ? std::isnan(d[j]) : d[j] == want[j]) << j;
            A::release(r);
        }
    }
    CompressedMatrix* r = nullptr;
    ASSERT_EQ(Ops<A>::compare(a, b, KORVEX_CMP_NE, &r), 0);  // nan != anything, inf != 0
    EXPECT_EQ(A::nnz(r), 4u);
    A::release(r);
    for (CompressedMatrix* m : {a, b, bo, fo}) A::release(m);
}

TYPED_TEST(Combine, StatusesLeaveTheSlotAlone) {
    using A = TypeParam;
    const uint64_t n = 3;
    CompressedMatrix* a = copy_of<A>(n, n, Outer{{{0, 1}, {1, 1}}, {{2, 2}}, {}});  // reaches outer 1
    CompressedMatrix* wide = copy_of<A>(n, n + 1, Outer(A::csr ? n : n + 1));  // n x (n + 1)
    // Views are not checked on import: an index at the inner dimension, and
    // one at -1, in a row of its own.
    std::vector<typename A::V> data{1, 1};
    std::vector<int64_t> bad_hi{0, int64_t(n)}, bad_lo{0, -1};
    std::vector<uint64_t> ptr{0, 0, 2, 2};
    CompressedMatrix* hi = A::view(n, n, data.data(), bad_hi.data(), ptr.data());
    CompressedMatrix* lo = A::view(n, n, data.data(), bad_lo.data(), ptr.data());
    CompressedMatrix* r = kUntouched;
    EXPECT_EQ(Ops<A>::matmul(wide, a, &r), KORVEX_STATUS_SHAPE_MISMATCH);
    EXPECT_EQ(Ops<A>::combine(a, wide, KORVEX_COMBINE_ADD, &r), KORVEX_STATUS_SHAPE_MISMATCH);
    EXPECT_EQ(Ops<A>::compare(a, wide, KORVEX_CMP_LT, &r), KORVEX_STATUS_SHAPE_MISMATCH);
    EXPECT_EQ(Ops<A>::combine(a, a, 5, &r), KORVEX_STATUS_LENGTH);
    EXPECT_EQ(Ops<A>::compare(a, a, 6, &r), KORVEX_STATUS_LENGTH);
    EXPECT_EQ(Ops<A>::compare_scalar(a, 1, 6, &r), KORVEX_STATUS_LENGTH);
    for (CompressedMatrix* bad : {hi, lo}) {
        EXPECT_EQ(Ops<A>::matmul(a, bad, &r), KORVEX_STATUS_INDEX);  // right indices
        EXPECT_EQ(Ops<A>::matmul(bad, a, &r), KORVEX_STATUS_INDEX);  // left indices
        EXPECT_EQ(Ops<A>::combine(a, bad, KORVEX_COMBINE_MUL, &r), KORVEX_STATUS_INDEX);
        EXPECT_EQ(Ops<A>::combine(bad, a, KORVEX_COMBINE_SUB, &r), KORVEX_STATUS_INDEX);
        EXPECT_EQ(Ops<A>::compare(bad, a, KORVEX_CMP_EQ, &r), KORVEX_STATUS_INDEX);
        EXPECT_EQ(Ops<A>::compare_scalar(bad, 0.5, KORVEX_CMP_GT, &r), KORVEX_STATUS_INDEX);
    }
    // A handle of another family (the other form) and NULLs.
    using O = Api<typename A::V, !A::csr>;
    CompressedMatrix* other = copy_of<O>(n, n, Outer(n));
    EXPECT_EQ(Ops<A>::matmul(a, other, &r), KORVEX_STATUS_FAMILY);
    EXPECT_EQ(Ops<A>::combine(other, a, KORVEX_COMBINE_ADD, &r), KORVEX_STATUS_FAMILY);
    EXPECT_EQ(Ops<A>::compare(a, other, KORVEX_CMP_NE, &r), KORVEX_STATUS_FAMILY);
    EXPECT_EQ(Ops<A>::compare_scalar(other, 0, KORVEX_CMP_NE, &r), KORVEX_STATUS_FAMILY);
    EXPECT_EQ(Ops<A>::matmul(a, nullptr, &r), KORVEX_STATUS_NULL);
    EXPECT_EQ(Ops<A>::combine(a, a, KORVEX_COMBINE_ADD, nullptr), KORVEX_STATUS_NULL);
    EXPECT_EQ(Ops<A>::compare_scalar(nullptr, 0, KORVEX_CMP_NE, &r), KORVEX_STATUS_NULL);
    EXPECT_EQ(r, kUntouched);
    // An operand of the other form; the pattern straight into scipy's arrays.
    using O = Api<typename A::V, !A::csr>;
    CompressedMatrix* ao = copy_of<O>(n, n, flip(Outer{{{0, 1}, {1, 1}}, {{2, 2}}, {}}, n, false));
    CompressedMatrix* wide_o = copy_of<O>(n, n + 1, Outer(A::csr ? n + 1 : n));
    CompressedMatrix* hi_o = O::view(n, n, data.data(), bad_hi.data(), ptr.data());
    EXPECT_EQ(Ops<A>::combine_other(a, wide_o, KORVEX_COMBINE_ADD, &r), KORVEX_STATUS_SHAPE_MISMATCH);
    EXPECT_EQ(Ops<A>::combine_other(a, ao, 5, &r), KORVEX_STATUS_LENGTH);
    for (uint32_t op : {KORVEX_COMBINE_ADD, KORVEX_COMBINE_MUL}) {
        EXPECT_EQ(Ops<A>::combine_other(a, hi_o, op, &r), KORVEX_STATUS_INDEX);
        EXPECT_EQ(Ops<A>::combine_other(hi, ao, op, &r), KORVEX_STATUS_INDEX);
    }
    EXPECT_EQ(Ops<A>::combine_other(a, a, KORVEX_COMBINE_ADD, &r), KORVEX_STATUS_FAMILY);
    EXPECT_EQ(Ops<A>::combine_other(ao, ao, KORVEX_COMBINE_ADD, &r), KORVEX_STATUS_FAMILY);
    EXPECT_EQ(Ops<A>::combine_other(a, nullptr, KORVEX_COMBINE_ADD, &r), KORVEX_STATUS_NULL);
    int64_t ip8[n + 1], ix8[3];
    uint8_t fl[3];
    struct Call {
        CompressedMatrix* m;
        uint32_t op;
        void *ix;
        uint8_t* fl;
        uint64_t cap;
        uint8_t width;
        int32_t status;
    } calls[] = {
        {a, 6, nullptr, nullptr, 0, 8, KORVEX_STATUS_LENGTH},
        {a, KORVEX_CMP_GT, nullptr, nullptr, 0, 2, KORVEX_STATUS_CAPACITY},
        {a, KORVEX_CMP_GT, ix8, nullptr, 3, 8, KORVEX_STATUS_NULL},
        {ao, KORVEX_CMP_GT, nullptr, nullptr, 0, 8, KORVEX_STATUS_FAMILY},
        {hi, KORVEX_CMP_GT, nullptr, nullptr, 0, 8, KORVEX_STATUS_INDEX},
        {lo, KORVEX_CMP_GT, nullptr, nullptr, 0, 8, KORVEX_STATUS_INDEX},
        {a, KORVEX_CMP_GT, nullptr, nullptr, 0, 8, 0},   // indptr 0 2 3 3
        {a, KORVEX_CMP_GT, ix8, fl, 2, 8, KORVEX_STATUS_CAPACITY},
        {a, KORVEX_CMP_LT, ix8, fl, 3, 8, KORVEX_STATUS_INDEX},  // not the counted pattern
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(testing::Message() << "status " << c.status);
        EXPECT_EQ(Ops<A>::to_compressed(c.m, 0.5, c.op, ip8, c.ix, c.fl, c.cap, c.width), c.status);
    }
    EXPECT_EQ(Ops<A>::to_compressed(nullptr, 0.5, 0, ip8, nullptr, nullptr, 0, 8), KORVEX_STATUS_NULL);
    auto [ip4, ix4] = pattern_of<A, int32_t>(a, 0.5, KORVEX_CMP_GT);
    EXPECT_EQ(ip4, (std::vector<int32_t>{0, 2, 3, 3}));
    EXPECT_EQ(ix4, (std::vector<int32_t>{0, 1, 2}));
    for (CompressedMatrix* m : {ao, wide_o, hi_o}) O::release(m);
    // The pattern of a result without its values.
    ASSERT_EQ(Ops<A>::compare_scalar(a, 0.5, KORVEX_CMP_GT, &r), 0);
    int64_t idx[3] = {-1, -1, -1};
    uint64_t ip[n + 1];
    ASSERT_EQ(A::to_compressed(r, nullptr, idx, ip, 3, 8), 0);
    EXPECT_EQ(std::vector<uint64_t>(ip, ip + n + 1), (std::vector<uint64_t>{0, 2, 3, 3}));
    EXPECT_EQ(std::vector<int64_t>(idx, idx + 3), (std::vector<int64_t>{0, 1, 2}));
    A::release(r);
    for (CompressedMatrix* m : {a, wide, hi, lo, other}) A::release(m);
}

// f32 compares a scalar rounded to f32 (0.1f is not above 0.1), beyond
// f32's range in f64.
TEST_F(Leak, CombineScalarRoundsForF32) {
    CompressedMatrix* a = copy_of<CsrF32>(1, 2, Outer{{{0, 0.1}, {1, 3.4e38}}});
    CompressedMatrix* r = nullptr;
    ASSERT_EQ(Ops<CsrF32>::compare_scalar(a, 0.1, KORVEX_CMP_GT, &r), 0);
    EXPECT_EQ(CsrF32::nnz(r), 1u);  // only 3.4e38
    CsrF32::release(r);
    ASSERT_EQ(Ops<CsrF32>::compare_scalar(a, 3.5e38, KORVEX_CMP_LT, &r), 0);
    EXPECT_EQ(CsrF32::nnz(r), 2u);
    CsrF32::release(r);
    CsrF32::release(a);
}

}  // namespace
