// The two-operand exports of the four families (KORVEX_LIST_COMBINE): null
// and family checks, then src/combine through the allocation guard.
#include "combine/combine.hpp"
#include "exports/define.hpp"
#include "exports/guard.hpp"
#include "korvex.h"

namespace korvex {
namespace {

// The library's op codes are the header's (compared as numbers: the two
// enumerations are distinct types).
constexpr bool same_code(uint32_t a, int b) { return a == static_cast<uint32_t>(b); }
static_assert(same_code(combine::kAdd, KORVEX_COMBINE_ADD) && same_code(combine::kSub, KORVEX_COMBINE_SUB) &&
              same_code(combine::kMax, KORVEX_COMBINE_MAX) && same_code(combine::kMin, KORVEX_COMBINE_MIN) &&
              same_code(combine::kMul, KORVEX_COMBINE_MUL));
static_assert(same_code(combine::kNe, KORVEX_CMP_NE) && same_code(combine::kLt, KORVEX_CMP_LT) &&
              same_code(combine::kGt, KORVEX_CMP_GT) && same_code(combine::kLe, KORVEX_CMP_LE) &&
              same_code(combine::kGe, KORVEX_CMP_GE) && same_code(combine::kEq, KORVEX_CMP_EQ));

template <typename V, Form F>
struct CombineApi {
    static int32_t matmul(CompressedMatrix* a, CompressedMatrix* b, CompressedMatrix** out) {
        if (!a || !b || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*a) || !is_family<V, F>(*b)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return combine::matmul<V, F>(*a, *b, out); });
    }
    static int32_t combine(CompressedMatrix* a, CompressedMatrix* b, uint32_t op,
                           CompressedMatrix** out) {
        if (!a || !b || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*a) || !is_family<V, F>(*b)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return combine::combine<V, F>(*a, *b, op, out); });
    }
    static int32_t compare(CompressedMatrix* a, CompressedMatrix* b, uint32_t op,
                           CompressedMatrix** out) {
        if (!a || !b || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*a) || !is_family<V, F>(*b)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return combine::compare<V, F>(*a, *b, op, out); });
    }
    static int32_t compare_scalar(CompressedMatrix* a, double s, uint32_t op, CompressedMatrix** out) {
        if (!a || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*a)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return combine::compare_scalar<V, F>(*a, s, op, out); });
    }
    static int32_t combine_other(CompressedMatrix* a, CompressedMatrix* b, uint32_t op,
                                 CompressedMatrix** out) {
        if (!a || !b || !out) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*a) || !is_family<V, other(F)>(*b)) return KORVEX_STATUS_FAMILY;
        return guard([&] { return combine::combine_other<V, F>(*a, *b, op, out); });
    }
    static int32_t compare_scalar_to_compressed(CompressedMatrix* a, double s, uint32_t op,
                                                void* indptr, void* indices, uint8_t* flags,
                                                uint64_t capacity, uint8_t width) {
        if (!a || !indptr || (indices == nullptr) != (flags == nullptr)) return KORVEX_STATUS_NULL;
        if (!is_family<V, F>(*a)) return KORVEX_STATUS_FAMILY;
        return guard([&] {
            return combine::compare_scalar_to_compressed<V, F>(*a, s, op, indptr, indices, flags,
                                                              capacity, width);
        });
    }
};

}  // namespace
namespace exports {
namespace {
using csr_f32 = CombineApi<float, Form::csr>;
using csr_f64 = CombineApi<double, Form::csr>;
using csc_f32 = CombineApi<float, Form::csc>;
using csc_f64 = CombineApi<double, Form::csc>;
}  // namespace
}  // namespace exports
}  // namespace korvex

extern "C" {
KORVEX_FOR_FAMILIES(KORVEX_LIST_COMBINE, KORVEX_DEFINE)
}
