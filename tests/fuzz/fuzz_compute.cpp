// Products, sums, value maps and scaling on a view or copy of arbitrary
// arrays (indices anywhere, unsorted, repeated), sometimes stacked with
// itself along the compressed axis. With every index inside, results must
// equal the model exactly (small integers throughout); with one outside,
// every operation that reads indices must give -8. Outputs are exact-size
// heap blocks, so a write outside them is caught.
#include <cmath>

#include "fuzz_common.hpp"

namespace {

template <typename T>
std::unique_ptr<T[]> block(uint64_t n, T fill) {
    std::unique_ptr<T[]> b(new T[n ? n : 1]);
    for (uint64_t k = 0; k < n; ++k) b[k] = fill;
    return b;
}

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        using V = typename A::V;
        fz::LeakGuard guard;
        auto a = fz::make_arrays<A>(in, in.u8() < 96);
        const uint64_t n0 = fz::outer_of<A>(a.rows, a.cols);
        fz::Ref r = fz::model(a, n0);
        CompressedMatrix* m = fz::build<A>(a, in.u8() & 1);
        if (in.u8() & 1) {  // stacked with itself: rows that share storage
            CompressedMatrix *pair[] = {m, m}, *s = nullptr;
            FUZZ_CHECK((A::csr ? A::vstack : A::hstack)(pair, 2, &s) == 0);
            A::release(m);
            m = s;
            fz::Lists once = r.outer;
            r.outer.insert(r.outer.end(), once.begin(), once.end());
            (A::csr ? r.rows : r.cols) *= 2;
        }
        const uint64_t R = r.rows, C = r.cols, inner = fz::inner_of<A>(R, C);
        const bool ok = r.in_bounds(inner);
        const int want = ok ? 0 : KORVEX_STATUS_INDEX;
        // Dense model, duplicates added (in range only).
        std::vector<double> d(R * C, 0.0);
        if (ok)
            for (size_t i = 0; i < r.outer.size(); ++i)
                for (auto& e : r.outer[i]) d[A::csr ? i * C + e.first : e.first * C + i] += e.second;
        const uint64_t k = 1 + in.below(3);
        const uint8_t order = in.u8() & 1;
        auto X = block<V>(C * k, V(0)), Z = block<V>(R * k, V(0));
        for (uint64_t q = 0; q < C * k; ++q) X[q] = V(int(in.below(5)) - 2);
        for (uint64_t q = 0; q < R * k; ++q) Z[q] = V(int(in.below(5)) - 2);
        auto at = [&](uint64_t rows, uint64_t i, uint64_t c) { return order ? c * rows + i : i * k + c; };
        // Products: y = M x (first column of X), then M X, M^T Z.
        auto y = block<V>(R, V(-99)), w = block<V>(C, V(-99));
        FUZZ_CHECK(A::matvec(m, X.get(), C, y.get(), R) == want);
        FUZZ_CHECK(A::rmatvec(m, Z.get(), R, w.get(), C) == want);
        auto Y = block<V>(R * k, V(-99)), W = block<V>(C * k, V(-99));
        FUZZ_CHECK(A::matmat(m, X.get(), k, order, Y.get()) == want);
        FUZZ_CHECK(A::rmatmat(m, Z.get(), k, order, W.get()) == want);
        auto sr = block<double>(R, -99), sc = block<double>(C, -99);
        FUZZ_CHECK(A::sum_rows(m, sr.get(), R) == (A::csr ? 0 : want));
        FUZZ_CHECK(A::sum_cols(m, sc.get(), C) == (A::csr ? want : 0));
        // Outer sums read no index: right even with indices outside.
        for (uint64_t i = 0; i < r.outer.size(); ++i) {
            double s = 0;
            for (auto& e : r.outer[i]) s += e.second;
            FUZZ_CHECK((A::csr ? sr[i] : sc[i]) == s);
        }
        if (ok) {
            for (uint64_t i = 0; i < R; ++i) {
                double yi = 0, si = 0;
                for (uint64_t j = 0; j < C; ++j) yi += d[i * C + j] * double(X[j]), si += d[i * C + j];
                FUZZ_CHECK(double(y[i]) == yi && sr[i] == si);
                for (uint64_t c = 0; c < k; ++c) {
                    double v = 0;
                    for (uint64_t j = 0; j < C; ++j) v += d[i * C + j] * double(X[at(C, j, c)]);
                    FUZZ_CHECK(double(Y[at(R, i, c)]) == v);
                }
            }
            for (uint64_t j = 0; j < C; ++j) {
                double wj = 0, sj = 0;
                for (uint64_t i = 0; i < R; ++i) wj += d[i * C + j] * double(Z[i]), sj += d[i * C + j];
                FUZZ_CHECK(double(w[j]) == wj && sc[j] == sj);
                for (uint64_t c = 0; c < k; ++c) {
                    double v = 0;
                    for (uint64_t i = 0; i < R; ++i) v += d[i * C + j] * double(Z[at(R, i, c)]);
                    FUZZ_CHECK(double(W[at(C, j, c)]) == v);
                }
            }
        }
        // Maps and scaling: same indices, values mapped entry by entry.
        const uint32_t op = in.u8() % 23;  // 22 is not an operation
        CompressedMatrix* t = fz::untouched();
        int st = A::map(m, op, 2, &t);
        FUZZ_CHECK(st == (op == 22 ? KORVEX_STATUS_LENGTH : 0));
        if (st == 0) {
            fz::Ref got = fz::read<A>(t);
            FUZZ_CHECK(got.outer.size() == r.outer.size());
            for (size_t i = 0; i < r.outer.size(); ++i) {
                FUZZ_CHECK(got.outer[i].size() == r.outer[i].size());
                for (size_t q = 0; q < r.outer[i].size(); ++q) {
                    FUZZ_CHECK(got.outer[i][q].first == r.outer[i][q].first);
                    double v = got.outer[i][q].second, src = r.outer[i][q].second;
                    if (op == KORVEX_MAP_SCALE) FUZZ_CHECK(v == 2 * src);
                    if (op == KORVEX_MAP_ABS) FUZZ_CHECK(v == std::fabs(src));
                    if (src == 0 && op != KORVEX_MAP_POWER) FUZZ_CHECK(v == 0);  // zeros stay zero
                }
            }
            A::release(t);
        }
        const bool by_rows = in.u8() & 1;
        const uint64_t wl = by_rows ? R : C;
        auto f = block<V>(wl, V(0));
        for (uint64_t q = 0; q < wl; ++q) f[q] = V(int(q % 5) - 2);
        t = fz::untouched();
        st = (by_rows ? A::scale_rows : A::scale_cols)(m, f.get(), wl, &t);
        FUZZ_CHECK(st == (by_rows == A::csr ? 0 : want));
        if (st == 0) {
            fz::Ref got = fz::read<A>(t);
            for (size_t i = 0; i < r.outer.size(); ++i)
                for (size_t q = 0; q < r.outer[i].size(); ++q) {
                    uint64_t at_ = by_rows == A::csr ? i : uint64_t(r.outer[i][q].first);
                    FUZZ_CHECK(got.outer[i][q].second == r.outer[i][q].second * double(f[at_]));
                }
            A::release(t);
        } else {
            FUZZ_CHECK(t == fz::untouched());
        }
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
