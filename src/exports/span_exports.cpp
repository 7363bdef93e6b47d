// The span_<T>_* exports (KORVEX_LIST_SPAN) and the exported constants.
#include "exports/define.hpp"
#include "exports/guard.hpp"
#include "korvex.h"
#include "span/span.hpp"

namespace korvex {
namespace {

// T only sets the element width.
template <typename CT>
struct SpanApi {
    static uint64_t len(const Span* s) { return s ? s->len : 0; }
    static uint64_t byte_size(const Span* s) { return s ? s->len * sizeof(CT) : 0; }
    static const CT* data(const Span* s) { return s ? static_cast<const CT*>(s->data) : nullptr; }
    static CT* data_mut(const Span* s) {
        return s && (s->flags & KORVEX_SPAN_FLAG_MUTABLE) ? static_cast<CT*>(s->data) : nullptr;
    }
    static uint64_t flags(const Span* s) { return s ? s->flags : 0; }
    static uint8_t is_view(const Span* s) { return s ? (s->flags >> 0) & 1 : 0; }
    static uint8_t is_aligned(const Span* s) { return s ? (s->flags >> 1) & 1 : 0; }
    static uint8_t is_mutable(const Span* s) { return s ? (s->flags >> 2) & 1 : 0; }
    static SpanInfo info(const Span* s) {
        if (!s) return SpanInfo{nullptr, 0, 0, 0};
        return SpanInfo{s->data, s->len, sizeof(CT), s->flags};
    }
    static uint64_t size() { return sizeof(Span); }
    static Span* clone(const Span* s) {
        return s ? guard_or<Span*>(nullptr, [&] { return span_clone(s); }) : nullptr;
    }
    static void free(Span* s) {
        if (s) span_free_record(s);
    }
};

}  // namespace

namespace exports {
namespace {
using span_f32 = SpanApi<float>;
using span_f64 = SpanApi<double>;
using span_i32 = SpanApi<int32_t>;
using span_i64 = SpanApi<int64_t>;
using span_usize = SpanApi<uint64_t>;
}  // namespace
}  // namespace exports
}  // namespace korvex

#define KORVEX_DEFINE_CONSTANT(NAME, VALUE) KORVEX_API extern const uint64_t NAME = VALUE;

extern "C" {
KORVEX_LIST_CONSTANTS(KORVEX_DEFINE_CONSTANT)
KORVEX_FOR_SPAN_TYPES(KORVEX_LIST_SPAN, KORVEX_DEFINE)
}
