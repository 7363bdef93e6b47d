// Stacking short lists of small matrices (views and copies, valid or not,
// repeated handles, null handles, dimensions that disagree, nonzero counts
// cleared or set wrongly) both ways, sometimes with a failing data block.
// Statuses, shapes, entries and counts must follow the documented rules,
// and a result that shares the inputs' spans must outlive them.
#include <optional>

#include "fuzz_common.hpp"

namespace {

struct Run {
    fz::Bytes& in;
    template <typename A>
    void operator()() {
        fz::LeakGuard guard;
        bool h = in.u8() & 1, along = h != A::csr;
        uint64_t common = in.below(9), distinct = 1 + in.below(3);
        std::vector<fz::Arrays<typename A::V>> arrays;
        std::vector<CompressedMatrix*> mats;
        std::vector<fz::Ref> refs;
        std::vector<std::optional<uint64_t>> cached;  // what each matrix has cached
        for (uint64_t j = 0; j < distinct; ++j) {
            bool odd = in.u8() < 16;  // ignores the dimension that must agree
            uint64_t keep = odd ? 9 : common;
            arrays.push_back(fz::make_arrays<A>(in, in.u8() < 128, h ? keep : 9, h ? 9 : keep));
            refs.push_back(fz::model(arrays[j], fz::outer_of<A>(arrays[j].rows, arrays[j].cols)));
            bool copy = in.u8() & 1;
            mats.push_back(fz::build<A>(arrays[j], copy));
            cached.push_back(copy ? std::optional<uint64_t>(refs[j].nnz()) : std::nullopt);
            uint8_t c = in.u8();
            if (c < 40) {
                cached[j] = in.below(4);
                A::set_nnz(mats[j], *cached[j]);
            } else if (c < 64) {
                cached[j].reset();
                A::invalidate_nnz(mats[j]);
            }
        }
        uint64_t count = in.below(6);
        std::vector<CompressedMatrix*> list(count + 1);
        std::vector<uint64_t> pick(count);
        bool has_null = false;
        for (uint64_t k = 0; k < count; ++k) {
            uint8_t p = in.u8();
            pick[k] = p % distinct;
            list[k] = p < 8 ? nullptr : mats[pick[k]];
            has_null |= p < 8;
        }
        fz::maybe_fail_blocks(in, 32);
        CompressedMatrix* t = fz::untouched();
        int st = (h ? A::hstack : A::vstack)(list.data(), count, &t);
        bool fired = korvex::injected_failures_fired();
        korvex::inject_data_block_failure(0);

        auto agree = [&](const fz::Ref& r) { return h ? r.rows : r.cols; };
        bool mismatch = false;
        for (uint64_t k = 1; k < count; ++k) mismatch |= agree(refs[pick[k]]) != agree(refs[pick[0]]);
        std::vector<fz::Ref> chosen;
        for (uint64_t k = 0; k < count; ++k) chosen.push_back(refs[pick[k]]);
        int want = 0;
        fz::Ref model;
        std::optional<uint64_t> count_want;
        if (count == 0 || has_null) {
            want = KORVEX_STATUS_NULL;
        } else if (count == 1) {
            model = chosen[0];  // a clone, cache state included
            count_want = cached[pick[0]];
        } else if (mismatch) {
            want = KORVEX_STATUS_SHAPE_MISMATCH;
        } else if (along) {
            // Counts are trusted as cached; missing ones are filled.
            model = fz::stack_model<A>(chosen, true);
            count_want = 0;
            for (uint64_t k = 0; k < count; ++k) {
                uint64_t& c = cached[pick[k]].emplace(cached[pick[k]].value_or(chosen[k].nnz()));
                *count_want += c;
            }
        } else {
            // Counts are consulted in order up to the first non-zero one; if
            // all are zero the result is blank whatever the spans hold.
            bool any = false;
            for (uint64_t k = 0; k < count && !any; ++k)
                any = cached[pick[k]].emplace(cached[pick[k]].value_or(chosen[k].nnz())) != 0;
            model = fz::stack_model<A>(chosen, false);
            if (!any)
                for (auto& l : model.outer) l.clear();
            count_want = model.nnz();
            if (any && model.nnz() == 0) want = KORVEX_STATUS_ALLOC;  // counts say entries, spans hold none
        }
        if (fired) {
            FUZZ_CHECK(want == 0 && st == KORVEX_STATUS_ALLOC && !along && count > 1);
            want = st;
        }
        FUZZ_CHECK(st == want);
        for (uint64_t j = 0; j < distinct; ++j) FUZZ_CHECK(A::has_cache(mats[j]) == cached[j].has_value());
        for (uint64_t j = 0; j < distinct; ++j) A::release(mats[j]);
        if (st != 0) {
            FUZZ_CHECK(t == fz::untouched());
            return;
        }
        fz::expect_matrix<A>(t, model);  // the inputs are gone; shared spans must not be
        FUZZ_CHECK(A::has_cache(t) == count_want.has_value());
        if (count_want) FUZZ_CHECK(A::nnz(t) == *count_want);
        A::release(t);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fz::run_input<Run>(data, size);
}
