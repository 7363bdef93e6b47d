// The product, elementwise operations and comparisons of a view or copy of
// arbitrary arrays (indices anywhere, unsorted, repeated) with itself,
// sometimes stacked along the compressed axis, sometimes with a data block
// failing. With every index inside, results must equal the dense model
// exactly (small integers throughout) with sorted rows and no stored zero;
// with one outside, every elementwise call gives -8 and the product 0 or -8.
#include "fuzz_common.hpp"

namespace {

struct Run {
    fz::Bytes& in;

    // r's entries as a dense row-major R x C array; sorted rows, no zero.
    template <typename A>
    static std::vector<double> dense_of(CompressedMatrix* t, uint64_t R, uint64_t C) {
        fz::Ref got = fz::read<A>(t);
        std::vector<double> d(R * C, 0.0);
        for (size_t i = 0; i < got.outer.size(); ++i)
            for (size_t q = 0; q < got.outer[i].size(); ++q) {
                auto [j, v] = got.outer[i][q];
                if (q) FUZZ_CHECK(got.outer[i][q - 1].first < j);
                FUZZ_CHECK(v != 0);
                d[A::csr ? i * C + j : j * C + i] = v;
            }
        return d;
    }

    template <typename A>
    void operator()() {
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
        std::vector<double> d(R * C, 0.0), stored(R * C, 0.0);
        if (ok)
            for (size_t i = 0; i < r.outer.size(); ++i)
                for (auto& e : r.outer[i]) {
                    uint64_t q = A::csr ? i * C + e.first : e.first * C + i;
                    d[q] += e.second;
                    stored[q] = 1;
                }
        // Elementwise with itself.
        const uint32_t op = in.u8() % 6;  // 5 is not an operation
        fz::maybe_fail_blocks(in, 64);
        CompressedMatrix* t = fz::untouched();
        int st = A::combine(m, m, op, &t);
        if (op == 5) {
            korvex::inject_data_block_failure(0);
            FUZZ_CHECK(st == KORVEX_STATUS_LENGTH && t == fz::untouched());
        } else if (!fz::check_status(st, ok ? 0 : KORVEX_STATUS_INDEX, KORVEX_STATUS_ALLOC) && st == 0) {
            std::vector<double> got = dense_of<A>(t, R, C);
            for (uint64_t q = 0; q < R * C; ++q) {
                double x = d[q], want = op == 0 ? x + x : op == 1 ? 0 : op == 4 ? x * x : x;
                FUZZ_CHECK(got[q] == want);
            }
        }
        if (st == 0) A::release(t);
        // The same op with its own transpose in the other form (square only),
        // read over the same storage.
        if (R == C) {
            using O = fz::Fam<typename A::V, !A::csr>;
            CompressedMatrix* mt = nullptr;
            FUZZ_CHECK(O::transpose_shared(m, &mt) == 0);
            t = fz::untouched();
            st = A::combine_other(m, mt, op, &t);
            if (op == 5) {
                FUZZ_CHECK(st == KORVEX_STATUS_LENGTH && t == fz::untouched());
            } else if (!fz::check_status(st, ok ? 0 : KORVEX_STATUS_INDEX, KORVEX_STATUS_ALLOC) && st == 0) {
                std::vector<double> got = dense_of<A>(t, R, C);
                for (uint64_t i = 0; i < R; ++i)
                    for (uint64_t j = 0; j < C; ++j) {
                        const double x = d[i * C + j], y = d[j * C + i];
                        const double want = op == 0 ? x + y : op == 1 ? x - y : op == 2 ? (x < y ? y : x)
                                          : op == 3 ? (y < x ? y : x) : x * y;
                        FUZZ_CHECK(got[i * C + j] == want);
                    }
            }
            if (st == 0) A::release(t);
            O::release(mt);
        }
        // A comparison with a scalar in [-2, 2].
        const uint32_t cop = in.u8() % 6;
        const double s = double(int(in.below(5)) - 2);
        t = fz::untouched();
        st = A::compare_scalar(m, s, cop, &t);
        FUZZ_CHECK(st == (ok ? 0 : KORVEX_STATUS_INDEX));
        if (st == 0) {
            std::vector<double> got = dense_of<A>(t, R, C);
            for (uint64_t q = 0; q < R * C; ++q) {
                const double x = d[q];
                const bool holds = cop == 0 ? x != s : cop == 1 ? x < s : cop == 2 ? x > s
                                 : cop == 3 ? x <= s : cop == 4 ? x >= s : x == s;
                FUZZ_CHECK(got[q] == (stored[q] && holds ? 1 : 0));
            }
            A::release(t);
        }
        // The same pattern straight into scipy's arrays.
        {
            std::vector<int64_t> ip(fz::outer_of<A>(R, C) + 1);
            st = A::compare_scalar_to_compressed(m, s, cop, ip.data(), nullptr, nullptr, 0, 8);
            FUZZ_CHECK(st == (ok ? 0 : KORVEX_STATUS_INDEX));
            if (st == 0) {
                std::vector<int64_t> ix(uint64_t(ip.back()));
                std::vector<uint8_t> fl(ix.size());
                FUZZ_CHECK(A::compare_scalar_to_compressed(m, s, cop, ip.data(), ix.data(), fl.data(),
                                                           ix.size(), 8) == 0);
                CompressedMatrix* again = fz::untouched();
                FUZZ_CHECK(A::compare_scalar(m, s, cop, &again) == 0);
                std::vector<int64_t> ip2(ip.size()), ix2(ix.size() + 1);
                FUZZ_CHECK(A::to_compressed(again, nullptr, ix2.data(), ip2.data(), ix2.size(), 8) == 0);
                ix2.pop_back();
                FUZZ_CHECK(ip == ip2 && ix == ix2);
                A::release(again);
            }
        }
        // The product with itself: square only.
        fz::maybe_fail_blocks(in, 64);
        t = fz::untouched();
        st = A::matmul(m, m, &t);
        if (R != C) {
            korvex::inject_data_block_failure(0);
            FUZZ_CHECK(st == KORVEX_STATUS_SHAPE_MISMATCH && t == fz::untouched());
        } else if (!ok) {
            korvex::inject_data_block_failure(0);
            FUZZ_CHECK(st == 0 || st == KORVEX_STATUS_INDEX || st == KORVEX_STATUS_ALLOC);
        } else if (!fz::check_status(st, 0, KORVEX_STATUS_ALLOC)) {
            std::vector<double> got = dense_of<A>(t, R, C);
            for (uint64_t i = 0; i < R; ++i)
                for (uint64_t j = 0; j < C; ++j) {
                    double v = 0;
                    for (uint64_t k = 0; k < C; ++k) v += d[i * C + k] * d[k * C + j];
                    FUZZ_CHECK(got[i * C + j] == v);
                }
        }
        if (st == 0) A::release(t);
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
