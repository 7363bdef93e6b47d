#include <gtest/gtest.h>

#include "korvex.h"

TEST(Smoke, CopyImportRoundTrip) {
    double data[] = {1, 2, 3, 4, 5};
    int64_t idx[] = {0, 2, 1, 0, 3};
    uint64_t ptr[] = {0, 2, 2, 5};
    CompressedMatrix* m = nullptr;
    ASSERT_EQ(csr_f64_from_scipy_copy(3, 4, data, 5, idx, 5, ptr, 4, &m), 0);
    EXPECT_EQ(csr_f64_nnz(m), 5u);
    EXPECT_EQ(csr_f64_row_len(m, 2), 3u);
    csr_f64_free(m);
}
