// Randomized comparison of every operation with a naive reference over
// coordinate triples, for all four families, with sizes on both sides of the
// sequential thresholds (255 outer indices, 2^15 entries for blocked counting,
// 4096 spans of a stacking input, 8192 outer indices for split buffer layout).
#include <algorithm>
#include <random>

#include "test_support.hpp"

namespace {

struct Trip {
    int64_t r, c;
    double v;
    auto operator<=>(const Trip&) const = default;
};
using Trips = std::vector<Trip>;

Trips random_trips(std::mt19937_64& g, int64_t rows, int64_t cols, double p) {
    std::bernoulli_distribution keep(p);
    std::uniform_int_distribution<int> quarters(-8, 8);  // exact in f32, zeros included
    Trips t;
    for (int64_t r = 0; r < rows; ++r)
        for (int64_t c = 0; c < cols; ++c)
            if (keep(g)) t.push_back({r, c, quarters(g) / 4.0});
    return t;
}

// Entries kept by `keep`, which may also move them.
template <typename P>
Trips filter(Trips t, P keep) {
    std::erase_if(t, [&](Trip& e) { return !keep(e); });
    return t;
}

template <typename A>
Outer grouped(uint64_t rows, uint64_t cols, const Trips& t) {
    Outer o(A::csr ? rows : cols);
    for (const Trip& e : t) o[A::csr ? e.r : e.c].push_back({A::csr ? e.c : e.r, e.v});
    for (Row& r : o) std::sort(r.begin(), r.end());
    return o;
}

template <typename A>
void expect_matrix(CompressedMatrix* m, uint64_t rows, uint64_t cols, const Trips& t, const char* what) {
    SCOPED_TRACE(what);
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(A::rows(m) == rows && A::cols(m) == cols);
    EXPECT_EQ(read<A>(m), grouped<A>(rows, cols, t));
    EXPECT_TRUE(A::validate(m) && A::nnz(m) == t.size());
    A::release(m);
}

template <typename A>
CompressedMatrix* from_trips(uint64_t rows, uint64_t cols, Trips t, std::mt19937_64& g) {
    std::shuffle(t.begin(), t.end(), g);
    std::vector<int64_t> r(t.size() + 1), c(t.size() + 1);  // non-null even when empty
    std::vector<typename A::V> v(t.size() + 1);
    for (size_t k = 0; k < t.size(); ++k) r[k] = t[k].r, c[k] = t[k].c, v[k] = typename A::V(t[k].v);
    CompressedMatrix* m = nullptr;
    EXPECT_EQ(A::from_coo(rows, cols, r.data(), c.data(), v.data(), t.size(), &m), 0);
    return m;
}

// rank[i]: new position of i, or -1 where the mask drops it.
std::vector<int64_t> ranks(const std::vector<uint8_t>& mask) {
    std::vector<int64_t> r(mask.size(), -1);
    for (int64_t i = 0, next = 0; i < int64_t(mask.size()); ++i)
        if (mask[i]) r[i] = next++;
    return r;
}

}  // namespace

template <typename A>
class Differential : public Leak {};
using Families = ::testing::Types<CsrF32, CsrF64, CscF32, CscF64>;
TYPED_TEST_SUITE(Differential, Families);

TYPED_TEST(Differential, AgainstNaiveReference) {
    using A = TypeParam;
    using B = Api<typename A::V, !A::csr>;
    using V = typename A::V;
    std::mt19937_64 g(A::csr * 2 + sizeof(V));
    struct Size { int64_t rows, cols; double p; };
    for (Size sz : {Size{7, 9, 0.3}, Size{300, 17, 0.2}, Size{17, 300, 0.2}, Size{260, 260, 0.5}, Size{9000, 3, 0.3},
                    Size{3, 9000, 0.3}}) {
        const int64_t R = sz.rows, C = sz.cols;
        SCOPED_TRACE(testing::Message() << R << "x" << C);
        const Trips t = random_trips(g, R, C, sz.p);
        CompressedMatrix* m = from_trips<A>(R, C, t, g);
        ASSERT_NE(m, nullptr);
        expect_matrix<A>(A::clone(m), R, C, t, "coordinate import");
        Outer shuffled = grouped<A>(R, C, t);  // rows stored out of order, sorted in place
        for (Row& r : shuffled) std::shuffle(r.begin(), r.end(), g);
        CompressedMatrix* s = copy_of<A>(R, C, shuffled);
        A::sort_checked(s);
        expect_matrix<A>(s, R, C, t, "sorted copy import");

        std::vector<V> dense(R * C + 1, V(42));
        for (uint8_t order : {0, 1}) {
            ASSERT_EQ(A::to_dense(m, dense.data(), dense.size(), order), 0);
            std::vector<V> want(R * C + 1, V(0));
            want[R * C] = V(42);
            for (const Trip& e : t) want[order ? e.c * R + e.r : e.r * C + e.c] = V(e.v);
            EXPECT_EQ(dense, want) << "order " << int(order);
        }
        std::vector<int64_t> ro(t.size()), co(t.size());
        std::vector<V> vo(t.size());
        ASSERT_EQ(A::to_coo(m, ro.data(), co.data(), vo.data(), t.size()), 0);
        Trips back;
        for (size_t k = 0; k < t.size(); ++k) {
            back.push_back({ro[k], co[k], double(vo[k])});
            if (k) EXPECT_LE(A::csr ? ro[k - 1] : co[k - 1], A::csr ? ro[k] : co[k]);  // grouped
        }
        std::sort(back.begin(), back.end());
        EXPECT_EQ(back, t);

        CompressedMatrix *other = nullptr, *again = nullptr, *tr = nullptr, *out = nullptr;
        ASSERT_EQ(B::convert(m, &other), 0);
        ASSERT_EQ(A::convert(other, &again), 0);
        expect_matrix<B>(other, R, C, t, "conversion");
        expect_matrix<A>(again, R, C, t, "conversion back");
        ASSERT_EQ(B::transpose(m, &tr), 0);
        expect_matrix<B>(tr, C, R, filter(t, [](Trip& e) { return std::swap(e.r, e.c), true; }), "transpose");

        const int64_t r0 = R / 5, r1 = R - R / 3, c0 = C / 4, c1 = C - C / 5;
        ASSERT_EQ(A::slice_rows(m, r0, r1, &out), 0);
        expect_matrix<A>(out, r1 - r0, C, filter(t, [&](Trip& e) { return e.r >= r0 && e.r < r1 && (e.r -= r0, true); }),
                         "row range");
        ASSERT_EQ(A::slice_cols(m, c0, c1, &out), 0);
        expect_matrix<A>(out, R, c1 - c0, filter(t, [&](Trip& e) { return e.c >= c0 && e.c < c1 && (e.c -= c0, true); }),
                         "column range");
        std::vector<uint8_t> rm(R), cm(C);
        for (auto& b : rm) b = g() % 3 != 0;
        for (auto& b : cm) b = g() % 2;
        const auto rr = ranks(rm), cr = ranks(cm);
        const auto kept = [](const std::vector<uint8_t>& k) { return uint64_t(std::count(k.begin(), k.end(), 1)); };
        ASSERT_EQ(A::mask_rows(m, rm.data(), R, &out), 0);
        expect_matrix<A>(out, kept(rm), C, filter(t, [&](Trip& e) { return rr[e.r] >= 0 && (e.r = rr[e.r], true); }),
                         "row mask");
        ASSERT_EQ(A::mask_cols(m, cm.data(), C, &out), 0);
        expect_matrix<A>(out, R, kept(cm), filter(t, [&](Trip& e) { return cr[e.c] >= 0 && (e.c = cr[e.c], true); }),
                         "column mask");

        const Trips h = random_trips(g, R, 5, 0.4), w = random_trips(g, 4, C, 0.4);
        CompressedMatrix *hm = from_trips<A>(R, 5, h, g), *wm = from_trips<A>(4, C, w, g);
        Trips ht = t, wt = t;
        for (Trip e : h) ht.push_back({e.r, e.c + C, e.v});
        for (Trip e : w) wt.push_back({e.r + R, e.c, e.v});
        CompressedMatrix *mh[] = {m, hm}, *mw[] = {m, wm};
        ASSERT_EQ(A::hstack(mh, 2, &out), 0);
        expect_matrix<A>(out, R, C + 5, ht, "hstack");
        ASSERT_EQ(A::vstack(mw, 2, &out), 0);
        expect_matrix<A>(out, R + 4, C, wt, "vstack");
        for (CompressedMatrix* x : {hm, wm, m}) A::release(x);
    }
}
