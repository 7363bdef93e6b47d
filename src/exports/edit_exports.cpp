// The edit exports of the four families: null checks and forwarding to
// src/edit, each through the allocation guard.
#include "edit/edit.hpp"
#include "exports/guard.hpp"
#include "korvex.h"
#include "sparse/validate.hpp"

using korvex::Form;

#define KORVEX_EDIT_EXPORTS(P, V, F)                                                               \
    KORVEX_API int32_t P##_set_entries(CompressedMatrix* m, const int64_t* rows,                   \
                                       const int64_t* cols, const V* vals, uint64_t n) {           \
        if (!m || (n > 0 && (!rows || !cols || !vals))) return KORVEX_STATUS_NULL;                 \
        return korvex::guard([&] { return korvex::set_entries<V, F>(*m, rows, cols, vals, n); });  \
    }                                                                                              \
    KORVEX_API int32_t P##_eliminate_zeros(CompressedMatrix* m) {                                  \
        if (!m) return KORVEX_STATUS_NULL;                                                         \
        return korvex::guard([&] { return korvex::eliminate_zeros<V, F>(*m); });                   \
    }                                                                                              \
    KORVEX_API int32_t P##_sum_duplicates(CompressedMatrix* m) {                                   \
        if (!m) return KORVEX_STATUS_NULL;                                                         \
        return korvex::guard([&] { return korvex::sum_duplicates<V, F>(*m); });                    \
    }                                                                                              \
    KORVEX_API int32_t P##_sort_indices(CompressedMatrix* m) {                                     \
        if (!m) return KORVEX_STATUS_NULL;                                                         \
        return korvex::guard([&] {                                                                 \
            return korvex::sort_rows_of<V, F>(*m, true) == korvex::SortOutcome::failed             \
                       ? int32_t{KORVEX_STATUS_ALLOC}                                              \
                       : int32_t{KORVEX_OK};                                                       \
        });                                                                                        \
    }

extern "C" {
KORVEX_EDIT_EXPORTS(csr_f32, float, Form::csr)
KORVEX_EDIT_EXPORTS(csr_f64, double, Form::csr)
KORVEX_EDIT_EXPORTS(csc_f32, float, Form::csc)
KORVEX_EDIT_EXPORTS(csc_f64, double, Form::csc)
}
