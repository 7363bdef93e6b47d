#include "convert/convert.hpp"
#include "sparse/counting.hpp"

namespace korvex {

template <typename V, Form F>
int32_t import_coo(uint64_t rows, uint64_t cols, const int64_t* row_idx, const int64_t* col_idx,
                   const V* data, uint64_t nnz, CompressedMatrix** out) {
    const int64_t* outer = F == Form::csr ? row_idx : col_idx;
    const int64_t* inner = F == Form::csr ? col_idx : row_idx;
    uint64_t m = F == Form::csr ? rows : cols;
    const CountingPlan plan = plan_counting(nnz, m);
    const par::Pieces blocks{nnz, plan.blocks};
    auto targets = [&](uint64_t b, auto&& f) {
        for (uint64_t e = blocks.begin(b), end = blocks.end(b); e < end; ++e) {
            auto t = static_cast<uint64_t>(outer[e]);  // negatives wrap high
            if (t >= m) return false;
            f(t);
        }
        return true;
    };
    auto entries = [&](uint64_t b, auto&& f) {
        for (uint64_t e = blocks.begin(b), end = blocks.end(b); e < end; ++e)
            f(static_cast<uint64_t>(outer[e]), inner[e], data[e]);
    };
    return build_bucketed<V>(Family::of<V, F>(), m, plan, targets, entries, RowOrder::sort, rows, cols, out);
}

#define KORVEX_INSTANTIATE(V, F)                                                                \
    template int32_t import_coo<V, F>(uint64_t, uint64_t, const int64_t*, const int64_t*, const V*, \
                                      uint64_t, CompressedMatrix**);
KORVEX_FOR_EACH_FAMILY(KORVEX_INSTANTIATE)
#undef KORVEX_INSTANTIATE

}  // namespace korvex
