// The edit exports of the four families: null checks and forwarding to
// src/edit, each through the allocation guard.
#include "edit/edit.hpp"
#include "exports/define.hpp"
#include "exports/guard.hpp"
#include "korvex.h"
#include "sparse/matrix.hpp"
#include "sparse/validate.hpp"

namespace korvex {
namespace {

template <typename V, Form F>
struct EditApi {
    static int32_t set_entries(CompressedMatrix* m, const int64_t* rows, const int64_t* cols,
                               const V* vals, uint64_t n) {
        if (!m || (n > 0 && (!rows || !cols || !vals))) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return korvex::set_entries<V, F>(*m, rows, cols, vals, n); });
    }
    static int32_t eliminate_zeros(CompressedMatrix* m) {
        if (!m) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return korvex::eliminate_zeros<V, F>(*m); });
    }
    static int32_t sum_duplicates(CompressedMatrix* m) {
        if (!m) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return korvex::sum_duplicates<V, F>(*m); });
    }
    static int32_t sort_indices(CompressedMatrix* m) {
        if (!m) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*m)) return KORVEX_STATUS_FAMILY;
        return guard([&] {
            return sort_rows_of<V, F>(*m, true) == SortOutcome::failed ? int32_t{KORVEX_STATUS_ALLOC}
                                                                        : int32_t{KORVEX_OK};
        });
    }
};

}  // namespace

namespace exports {
namespace {
using csr_f32 = EditApi<float, Form::csr>;
using csr_f64 = EditApi<double, Form::csr>;
using csc_f32 = EditApi<float, Form::csc>;
using csc_f64 = EditApi<double, Form::csc>;
}  // namespace
}  // namespace exports
}  // namespace korvex

extern "C" {
KORVEX_FOR_FAMILIES(KORVEX_LIST_EDIT, KORVEX_DEFINE)
}
