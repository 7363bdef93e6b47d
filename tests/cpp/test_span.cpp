// Span batches, shared-buffer reference counts, span_<T>_* exports, constants.
#include <atomic>

#include "span/parallel.hpp"
#include "test_support.hpp"

using korvex::allocate_span_batch;
using korvex::SharedBuffer;
using korvex::SpanBatchError;
using korvex::SpanVec;

using SpanBatch = Leak;
using SpanExports = Leak;

TEST_F(SpanBatch, SegmentsStartOn32ByteBoundaries) {
    const uint64_t counts[] = {3, 5, 9};
    SpanVec v;
    ASSERT_FALSE(allocate_span_batch(counts, 3, 4, v));
    auto* buf = static_cast<SharedBuffer*>(v.ptr[0].owner);
    EXPECT_TRUE(buf->used == 128 && buf->alloc_size == 159 && buf->align == 32);
    EXPECT_TRUE(buf->strong.load() == 3 && buf->weak.load() == 1 && buf->alloc_ptr == buf->data);
    for (int i = 0; i < 3; ++i) {
        const Span& s = v.ptr[i];
        EXPECT_TRUE(s.owner == buf && s.len == counts[i] && s.flags == 6);
        EXPECT_EQ(static_cast<char*>(s.data) - static_cast<char*>(buf->data), 32 * i);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s.data) % 32, 0u);
        EXPECT_EQ(static_cast<float*>(s.data)[s.len - 1], 0.0f);  // zero-filled
    }
    korvex::spanvec_release(v);
    const uint64_t one[] = {1};
    ASSERT_FALSE(allocate_span_batch(one, 1, 8, v));
    EXPECT_EQ(static_cast<SharedBuffer*>(v.ptr[0].owner)->used, 32u);
    korvex::spanvec_release(v);
}

TEST_F(SpanBatch, EveryErrorLeavesNothingBehind) {
    const uint64_t q = uint64_t{1} << 60;
    const struct {
        std::vector<uint64_t> counts;
        uint64_t width;
        SpanBatchError err;
    } cases[] = {
        {{}, 8, SpanBatchError::NoSegments},
        {{3, 0, 2}, 8, SpanBatchError::ZeroLengthSegment},
        {{uint64_t{1} << 61}, 8, SpanBatchError::SizeOverflow},
        {{uint64_t{1} << 62}, 4, SpanBatchError::SizeOverflow},
        {{(uint64_t{1} << 61) - 1}, 8, SpanBatchError::SizeOverflow},  // rounding up wraps
        {{q, q, q, q}, 4, SpanBatchError::SizeOverflow},                // offsets wrap
        {{q, q}, 4, SpanBatchError::SizeOverflow},                      // 2^63 + 31 bytes
    };
    for (const auto& c : cases) {
        SpanVec v;
        v.len = 77;
        auto err = allocate_span_batch(c.counts.data(), c.counts.size(), c.width, v);
        ASSERT_TRUE(err.has_value());
        EXPECT_EQ(*err, c.err);
        EXPECT_EQ(v.len, 77u);
        EXPECT_EQ(live(), 0);
    }
    // Only the data block reports running out of memory.
    const uint64_t counts[] = {4, 4};
    SpanVec v;
    korvex::inject_data_block_failure(1);
    auto err = allocate_span_batch(counts, 2, 8, v);
    EXPECT_EQ(korvex::injected_failures_fired(), 1);
    korvex::inject_data_block_failure(0);
    EXPECT_TRUE(err == SpanBatchError::OutOfMemory && v.ptr == nullptr);
}

TEST_F(SpanBatch, BufferLivesUntilLastSpanAndClone) {
    const uint64_t counts[] = {2, 3};
    SpanVec v;
    ASSERT_FALSE(allocate_span_batch(counts, 2, 8, v));
    static_cast<double*>(v.ptr[1].data)[2] = 4.5;
    auto* buf = static_cast<SharedBuffer*>(v.ptr[0].owner);
    Span* c1 = span_f64_clone(&v.ptr[1]);
    Span* c2 = span_i64_clone(c1);
    EXPECT_EQ(buf->strong.load(), 4);
    EXPECT_TRUE(c1->data == v.ptr[1].data && c1->flags == 6);
    korvex::spanvec_release(v);
    EXPECT_EQ(buf->strong.load(), 2);
    EXPECT_EQ(span_f64_data(c2)[2], 4.5);
    span_f64_free(c1);
    EXPECT_GT(live(), 0);
    span_usize_free(c2);  // the export's width does not matter
}

TEST_F(SpanExports, FourKinds) {
    Arrays<float> a({{{0, 1.0}, {2, 2.0}, {3, 3.0}}, {}});
    CompressedMatrix* owned = copy_of<CsrF32>(2, 4, {{{0, 1.0}, {2, 2.0}, {3, 3.0}}, {}});
    CompressedMatrix* view = view_of<CsrF32>(2, 4, a);
    CompressedMatrix* t = nullptr;  // transposition leaves vacant spans
    ASSERT_EQ(csc_f32_transpose_from_csr(owned, &t), 0);
    const Span* seg = csr_f32_row_values(owned, 0);
    const Span* empty = csr_f32_row_values(owned, 1);
    const Span* viewed = csr_f32_row_values(view, 0);
    const Span* vacant = csc_f32_col_values(t, 1);

    EXPECT_EQ(span_f32_data_mut(seg), span_f32_data(seg));
    EXPECT_TRUE(!span_f32_is_view(seg) && span_f32_is_aligned(seg) && span_i32_is_mutable(seg));
    EXPECT_EQ(span_f32_flags(empty), 5u);
    EXPECT_TRUE(span_f32_data(empty) == sentinel() && span_f32_data_mut(empty) == sentinel());
    EXPECT_TRUE(span_f32_is_view(empty) && !span_f32_is_aligned(empty));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sentinel()) % 64, 0u);
    EXPECT_TRUE(span_f32_flags(viewed) == 1 && span_f32_data(viewed) == a.data.data());
    EXPECT_EQ(span_f32_data_mut(viewed), nullptr);
    EXPECT_TRUE(span_f32_flags(vacant) == 1 && span_f32_len(vacant) == 0 && !span_f32_is_mutable(vacant));
    EXPECT_EQ(static_cast<const void*>(span_f32_data(vacant)), vacant_ptr(4));
    EXPECT_EQ(static_cast<const void*>(span_i64_data(csc_f32_col_indices(t, 1))), vacant_ptr(8));
    EXPECT_EQ(span_f32_data_mut(vacant), nullptr);

    // Widths follow the export, not the span.
    EXPECT_TRUE(span_f32_byte_size(seg) == 12 && span_i32_byte_size(seg) == 12);
    EXPECT_TRUE(span_f64_byte_size(seg) == 24 && span_usize_byte_size(seg) == 24);
    SpanInfo i = span_f64_info(seg);
    EXPECT_TRUE(i.data == seg->data && i.len == 3 && i.elem_size == 8 && i.flags == 6);
    EXPECT_EQ(span_f32_info(seg).elem_size, 4u);

    Span* c = span_f32_clone(seg);  // outlives the matrix
    csr_f32_free(owned);
    EXPECT_EQ(span_f32_data(c)[2], 3.0f);
    span_f32_free(c);
    csc_f32_free(t);
    csr_f32_free(view);
}

TEST_F(SpanExports, NullSpansAndConstants) {
    EXPECT_TRUE(span_f32_len(nullptr) == 0 && span_f64_byte_size(nullptr) == 0 && span_i32_flags(nullptr) == 0);
    EXPECT_TRUE(span_i64_data(nullptr) == nullptr && span_usize_data_mut(nullptr) == nullptr);
    EXPECT_TRUE(!span_f64_is_view(nullptr) && !span_f64_is_aligned(nullptr) && !span_f64_is_mutable(nullptr));
    SpanInfo z = span_i32_info(nullptr);
    EXPECT_TRUE(z.data == nullptr && z.len == 0 && z.elem_size == 0 && z.flags == 0);
    EXPECT_EQ(span_f64_clone(nullptr), nullptr);
    span_f32_free(nullptr);
    for (uint64_t s : {span_f32_size(), span_f64_size(), span_i32_size(), span_i64_size(), span_usize_size()})
        EXPECT_EQ(s, 32u);
    EXPECT_TRUE(KORVEX_ABI_VERSION == 1 && SPAN_SIZE == 32);
    EXPECT_TRUE(SPAN_FLAG_VIEW == 1 && SPAN_FLAG_ALIGNED == 2 && SPAN_FLAG_MUTABLE == 4);
}

// The thread cap: one thread runs loops on the caller alone; lifting it
// gives the pool back; a cap beyond the pool leaves the pool's size.
TEST(ThreadLimit, CapsAndLifts) {
    namespace par = korvex::par;
    par::set_thread_limit(0);
    const int full = par::thread_count();
    ASSERT_GE(full, 1);
    par::set_thread_limit(1);
    EXPECT_EQ(par::thread_count(), 1);
    std::atomic<uint64_t> seen{0};
    par::for_each(10000, [&](uint64_t) { seen.fetch_add(1, std::memory_order_relaxed); });
    EXPECT_EQ(seen.load(), 10000u);
    par::set_thread_limit(uint64_t{1} << 40);
    EXPECT_EQ(par::thread_count(), full);
    par::set_thread_limit(0);
    EXPECT_EQ(par::thread_count(), full);
}
