/* The public header must compile as plain C99. */
#include "korvex.h"

uint64_t korvex_header_c99_probe(CompressedMatrix *m) {
    Span s = {0, 0, 0, KORVEX_SPAN_FLAG_VIEW};
    Shape sh = csr_f64_shape(m);
    return sh.rows + span_f64_len(&s) + (uint64_t)KORVEX_STATUS_INDEX * 0u;
}
