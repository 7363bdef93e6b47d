// Building matrices from host arrays, exporting them, and converting
// between CSR and CSC. Every function returns a KORVEX status and writes
// *out only on success; arguments are already checked for null.
#pragma once

#include <cstdint>

#include "sparse/matrix.hpp"

namespace korvex {

// Zero-copy: view spans into data/indices per indptr pair; an empty or
// decreasing pair gives the empty span. Never fails.
template <typename V, Form F>
CompressedMatrix* import_view(uint64_t rows, uint64_t cols, const V* data, const int64_t* indices,
                              const uint64_t* indptr);

// Copies into two new buffers: data holds V, indices int64_t, indptr
// uint64_t, each read at any address (no alignment assumed). -4, -3, -7 as
// documented in the header.
template <typename V, Form F>
int32_t import_copy(uint64_t rows, uint64_t cols, const void* data, uint64_t data_len,
                    const void* indices, uint64_t indices_len, const void* indptr,
                    uint64_t indptr_len, CompressedMatrix** out);
// The same from int32_t indices and indptr, widened during the copy; a
// negative indptr entry is -4.
template <typename V, Form F>
int32_t import_copy_i32(uint64_t rows, uint64_t cols, const void* data, uint64_t data_len,
                        const void* indices, uint64_t indices_len, const void* indptr,
                        uint64_t indptr_len, CompressedMatrix** out);

// Coordinate triples, bucketed by outer index and sorted. -8, -7.
template <typename V, Form F>
int32_t import_coo(uint64_t rows, uint64_t cols, const int64_t* row_idx, const int64_t* col_idx,
                   const V* data, uint64_t nnz, CompressedMatrix** out);

// Entries in outer order, stored order within. -6.
template <typename V, Form F>
int32_t export_coo(CompressedMatrix& m, int64_t* row_out, int64_t* col_out, V* val_out,
                   uint64_t capacity);

// Dense, row-major when order is 0, else column-major. -6, -8.
template <typename V, Form F>
int32_t export_dense(CompressedMatrix& m, V* out, uint64_t capacity, uint8_t order);

// The compressed arrays of m in caller memory: values and indices hold
// `capacity` elements, indptr outer dim + 1; indices and indptr are int32_t
// (width 4) or int64_t (width 8). -6 (capacity short, bad width, or width 4
// that cannot hold the nnz or an index; nothing written), -8 (a row's spans
// differ in length, or a stored index outside [0, inner dim); found while
// writing, never writing outside the arrays). Reads no cache and fills none.
template <typename V, Form F>
int32_t export_compressed(const CompressedMatrix& m, V* values_out, void* indices_out,
                          void* indptr_out, uint64_t capacity, uint8_t width);

// The same matrix in the other form (F is the source's form). -8, -7.
template <typename V, Form F>
int32_t convert_form(const CompressedMatrix& src, CompressedMatrix** out);

}  // namespace korvex
