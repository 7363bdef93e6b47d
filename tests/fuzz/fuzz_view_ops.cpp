// A view over arbitrary arrays (indices anywhere, unsorted, repeated; index
// pointer pairs that go down) and every read-only operation on it. The checks
// must agree with the model on any input; the exports and conversions that
// screen their input must refuse what they cannot handle; on a valid matrix
// every result must match the model.
#include <cmath>

#include "fuzz_common.hpp"

namespace {

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        using V = typename A::V;
        using B = fz::Fam<V, !A::csr>;
        fz::LeakGuard guard;
        auto a = fz::make_arrays<A>(in, in.u8() < 96);
        uint64_t rows = a.rows, cols = a.cols;
        uint64_t n = fz::outer_of<A>(rows, cols), inner = fz::inner_of<A>(rows, cols);
        fz::Ref r = fz::model(a, n);
        CompressedMatrix* m = A::view(rows, cols, a.data.get(), a.idx.get(), a.ptr.get());
        FUZZ_CHECK(m && !A::has_cache(m));
        fz::expect_matrix<A>(m, r);

        bool bounds = r.in_bounds(inner), sorted = r.sorted();
        FUZZ_CHECK(A::is_valid(m) && A::in_bounds(m) == bounds && A::is_sorted(m) == sorted);
        FUZZ_CHECK(A::validate(m) == (bounds && sorted));
        FUZZ_CHECK(A::sort_checked(m) == 0 && A::is_sorted(m) == sorted);  // views are never written
        uint64_t nnz = r.nnz(), got[3] = {};
        FUZZ_CHECK(A::nnz(m) == nnz && A::has_cache(m) && A::is_zero(m) == (nnz == 0));
        FUZZ_CHECK(A::metadata(m, got, got + 1, got + 2) == 0 && got[0] == rows && got[1] == cols && got[2] == nnz);
        if (rows && cols) FUZZ_CHECK(std::abs(A::density(m) - double(nnz) / double(rows * cols)) < 1e-12);
        std::vector<const V*> vp(n + 1);
        std::vector<const int64_t*> xp(n + 1);
        std::vector<uint64_t> lp(n + 1, 99);
        FUZZ_CHECK(A::pointers(m, vp.data(), xp.data(), lp.data()) == 0 && lp[n] == 99);
        for (uint64_t i = 0; i < n; ++i) FUZZ_CHECK(lp[i] == r.outer[i].size());

        // Coordinate export: outer order, stored order within; a capacity one
        // short, or a cached count set too low, writes nothing.
        std::vector<int64_t> ro(nnz + 1, -7), co(nnz + 1, -7);
        std::vector<V> vo(nnz + 1, V(-99));
        FUZZ_CHECK(A::to_coo(m, ro.data(), co.data(), vo.data(), nnz) == 0);
        int64_t* outer_out = A::csr ? ro.data() : co.data();
        int64_t* inner_out = A::csr ? co.data() : ro.data();
        for (uint64_t i = 0, k = 0; i < n; ++i)
            for (auto& e : r.outer[i]) {
                FUZZ_CHECK(outer_out[k] == int64_t(i) && inner_out[k] == e.first && double(vo[k]) == e.second);
                ++k;
            }
        FUZZ_CHECK(ro[nnz] == -7 && co[nnz] == -7 && vo[nnz] == V(-99));
        if (nnz) {
            std::vector<int64_t> r2(nnz, -7), c2(nnz, -7);
            std::vector<V> v2(nnz, V(-99));
            FUZZ_CHECK(A::to_coo(m, r2.data(), c2.data(), v2.data(), nnz - 1) == KORVEX_STATUS_CAPACITY);
            A::set_nnz(m, in.below(nnz));
            FUZZ_CHECK(A::to_coo(m, r2.data(), c2.data(), v2.data(), nnz - 1) == KORVEX_STATUS_CAPACITY);
            for (uint64_t k = 0; k < nnz; ++k) FUZZ_CHECK(r2[k] == -7 && c2[k] == -7 && v2[k] == V(-99));
            A::set_nnz(m, nnz);
        }

        // Dense export in both orders; an index outside the matrix is refused
        // before anything is written.
        uint64_t cells = rows * cols;
        std::vector<double> want = bounds ? fz::dense<A>(r) : std::vector<double>();
        for (uint8_t order = 0; order < 2; ++order) {
            std::vector<V> d(cells + 1, V(-99));
            int st = A::to_dense(m, d.data(), cells, order);
            FUZZ_CHECK(st == (bounds ? 0 : KORVEX_STATUS_INDEX) && d[cells] == V(-99));
            for (uint64_t i = 0; i < rows; ++i)
                for (uint64_t j = 0; j < cols; ++j)
                    FUZZ_CHECK(double(d[order ? j * rows + i : i * cols + j]) == (bounds ? want[i * cols + j] : -99));
            if (cells) FUZZ_CHECK(A::to_dense(m, d.data(), cells - 1, order) == KORVEX_STATUS_CAPACITY);
        }

        // Conversion refuses indices outside the target's range;
        // transposition copies them as they are, each outer index sorted.
        CompressedMatrix* t = fz::untouched();
        int st = B::from_other(m, &t);
        FUZZ_CHECK(st == (bounds ? 0 : KORVEX_STATUS_INDEX));
        if (st == 0) {
            fz::expect_matrix<B>(t, fz::flip(r, inner), true);
            FUZZ_CHECK(B::nnz(t) == nnz);
            B::release(t);
        } else {
            FUZZ_CHECK(t == fz::untouched());
        }
        FUZZ_CHECK(B::transpose_from(m, &t) == 0);
        fz::Ref tr{cols, rows, rows && cols ? r.outer : fz::Lists(n)};  // no entries fit a 0-wide shape
        fz::expect_matrix<B>(t, tr, true);
        FUZZ_CHECK(B::is_sorted(t) || !sorted);
        B::release(t);

        // One range and one mask on each axis; inner ranges assume sorted rows.
        for (bool by_rows : {true, false}) {
            uint64_t dim = by_rows ? rows : cols;
            uint64_t s0 = in.below(dim + 2), s1 = in.below(dim + 2);
            t = fz::untouched();
            st = (by_rows ? A::slice_rows : A::slice_cols)(m, s0, s1, &t);
            if (s0 > s1 || s1 > dim) {
                FUZZ_CHECK(st == KORVEX_STATUS_RANGE && t == fz::untouched());
            } else {
                FUZZ_CHECK(st == 0);
                if (by_rows == A::csr || sorted) fz::expect_matrix<A>(t, fz::slice_model<A>(r, by_rows, s0, s1));
                A::release(t);
            }
            std::vector<uint8_t> mask(dim + 1);
            for (auto& b : mask) b = in.u8() % 3 ? in.u8() : 0;
            FUZZ_CHECK((by_rows ? A::mask_rows : A::mask_cols)(m, mask.data(), dim + 1, &t) == KORVEX_STATUS_LENGTH);
            t = fz::untouched();
            st = (by_rows ? A::mask_rows : A::mask_cols)(m, mask.data(), dim, &t);
            FUZZ_CHECK(st == 0);
            fz::expect_matrix<A>(t, fz::mask_model<A>(r, by_rows, mask.data(), dim));
            A::release(t);
        }

        // The matrix stacked with itself both ways.
        CompressedMatrix* pair[2] = {m, m};
        for (bool h : {true, false}) {
            t = fz::untouched();
            FUZZ_CHECK((h ? A::hstack : A::vstack)(pair, 2, &t) == 0);
            bool along = h != A::csr;
            fz::expect_matrix<A>(t, fz::stack_model<A>({r, r}, along));
            FUZZ_CHECK(A::nnz(t) == 2 * nnz);
            A::release(t);
        }
        fz::expect_matrix<A>(m, r);  // nothing above changed the source
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
