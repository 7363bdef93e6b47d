// Element functions over whole arrays through the C library's vector math
// (libmvec) when the build found it and the CPU has AVX-512 or AVX2; a
// plain loop otherwise. Results may differ from the scalar functions in
// the last bits.
#pragma once

#include <cstdint>

namespace korvex::compute {

void log1p_array(const double* src, double* dst, uint64_t n);
void log1p_array(const float* src, float* dst, uint64_t n);
void expm1_array(const double* src, double* dst, uint64_t n);
void expm1_array(const float* src, float* dst, uint64_t n);

}  // namespace korvex::compute
