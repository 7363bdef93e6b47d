// The span_<T>_* exports and the exported constants.
#include "exports/guard.hpp"
#include "korvex.h"
#include "span/span.hpp"

extern "C" {

KORVEX_API extern const uint64_t KORVEX_ABI_VERSION = 1;
KORVEX_API extern const uint64_t SPAN_FLAG_VIEW = KORVEX_SPAN_FLAG_VIEW;
KORVEX_API extern const uint64_t SPAN_FLAG_ALIGNED = KORVEX_SPAN_FLAG_ALIGNED;
KORVEX_API extern const uint64_t SPAN_FLAG_MUTABLE = KORVEX_SPAN_FLAG_MUTABLE;
KORVEX_API extern const uint64_t SPAN_SIZE = sizeof(Span);

// Forms the twelve names for one element type and forwards; T only sets
// the element width.
#define KORVEX_SPAN_EXPORTS(T, CT)                                                              \
    KORVEX_API uint64_t span_##T##_len(const Span* s) { return s ? s->len : 0; }                \
    KORVEX_API uint64_t span_##T##_byte_size(const Span* s) { return s ? s->len * sizeof(CT) : 0; } \
    KORVEX_API const CT* span_##T##_data(const Span* s) {                                      \
        return s ? static_cast<const CT*>(s->data) : nullptr;                                   \
    }                                                                                           \
    KORVEX_API CT* span_##T##_data_mut(const Span* s) {                                        \
        return s && (s->flags & KORVEX_SPAN_FLAG_MUTABLE) ? static_cast<CT*>(s->data) : nullptr; \
    }                                                                                           \
    KORVEX_API uint64_t span_##T##_flags(const Span* s) { return s ? s->flags : 0; }            \
    KORVEX_API uint8_t span_##T##_is_view(const Span* s) { return s ? (s->flags >> 0) & 1 : 0; } \
    KORVEX_API uint8_t span_##T##_is_aligned(const Span* s) { return s ? (s->flags >> 1) & 1 : 0; } \
    KORVEX_API uint8_t span_##T##_is_mutable(const Span* s) { return s ? (s->flags >> 2) & 1 : 0; } \
    KORVEX_API SpanInfo span_##T##_info(const Span* s) {                                       \
        if (!s) return SpanInfo{nullptr, 0, 0, 0};                                              \
        return SpanInfo{s->data, s->len, sizeof(CT), s->flags};                                 \
    }                                                                                           \
    KORVEX_API uint64_t span_##T##_size(void) { return sizeof(Span); }                          \
    KORVEX_API Span* span_##T##_clone(const Span* s) {                                         \
        return s ? korvex::guard_or<Span*>(nullptr, [&] { return korvex::span_clone(s); }) : nullptr; \
    }                                                                                           \
    KORVEX_API void span_##T##_free(Span* s) {                                                  \
        if (s) korvex::span_free_record(s);                                                     \
    }

KORVEX_SPAN_EXPORTS(f32, float)
KORVEX_SPAN_EXPORTS(f64, double)
KORVEX_SPAN_EXPORTS(i32, int32_t)
KORVEX_SPAN_EXPORTS(i64, int64_t)
KORVEX_SPAN_EXPORTS(usize, uint64_t)

}  // extern "C"
