// Chains of up to four range and mask slices along either axis, each applied
// to the previous result (views, copies, shared and vacant spans mixed), with
// arbitrary ranges, mask lengths and mask bytes, sometimes with a failing
// data block. Every result must match the model and leave its source as it
// was; freeing a source must not disturb the slices that share it.
#include "fuzz_common.hpp"

namespace {

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        fz::LeakGuard guard;
        auto a = fz::make_arrays<A>(in, in.u8() < 160);
        fz::Ref r = fz::model(a, fz::outer_of<A>(a.rows, a.cols));
        CompressedMatrix* m = fz::build<A>(a, in.u8() & 1);
        for (int step = 0; step < 4 && in.n; ++step) {
            uint8_t op = in.u8();
            bool by_rows = op & 1, masked = op & 2, sorted = r.sorted();
            uint64_t dim = by_rows ? r.rows : r.cols;
            int want = 0, failed = KORVEX_STATUS_ALLOC, st;
            fz::Ref next;
            fz::maybe_fail_blocks(in, 24);
            CompressedMatrix* t = fz::untouched();
            if (masked) {
                uint64_t len = in.u8() < 224 ? dim : in.below(dim + 3);
                std::unique_ptr<uint8_t[]> mask(new uint8_t[len]);
                for (uint64_t k = 0; k < len; ++k) mask[k] = in.u8() % 3 ? in.u8() : 0;
                st = (by_rows ? A::mask_rows : A::mask_cols)(m, mask.get(), len, &t);
                if (len != dim) want = KORVEX_STATUS_LENGTH;
                else next = fz::mask_model<A>(r, by_rows, mask.get(), len);
            } else {
                uint64_t s0 = in.below(dim + 2), s1 = in.u8() < 248 ? in.below(dim + 2) : in.u64();
                st = (by_rows ? A::slice_rows : A::slice_cols)(m, s0, s1, &t);
                if (s0 > s1 || s1 > dim) want = KORVEX_STATUS_RANGE;
                else next = fz::slice_model<A>(r, by_rows, s0, s1);
            }
            if (fz::check_status(st, want, failed)) FUZZ_CHECK(by_rows != A::csr);  // only inner slices copy
            fz::expect_matrix<A>(m, r);
            if (st != 0) {
                FUZZ_CHECK(t == fz::untouched());
                continue;
            }
            // Inner ranges assume sorted rows: on others only safety counts.
            bool exact = by_rows == A::csr || masked || sorted;
            if (exact) fz::expect_matrix<A>(t, next);
            A::release(m);
            m = t;
            r = exact ? next : fz::read<A>(m);
        }
        A::release(m);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
