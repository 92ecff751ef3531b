// Even spreading of a packet's sample times in microseconds: the one per-sample division of a
// read, done with the widest vectors the processor offers. Every variant gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Writes out[i] = (int64_t)((i * span / count + start) * 1e6) for i in [0, n). The caller
// guarantees that every product lies within ±2^62, where the conversion cannot overflow.
void spread_sample_us(int64_t* out, size_t n, double span, double count, double start);

// The variants behind spread_sample_us, for tests that compare them.
void spread_sample_us_portable(int64_t* out, size_t n, double span, double count, double start);
// Returns false, writing nothing, on a processor without AVX-512 (F, DQ and VL) and FMA, or when
// count is not a whole number from 1 to 65536, or span is nonzero below 2^-900 in magnitude.
bool spread_sample_us_avx512(int64_t* out, size_t n, double span, double count, double start);
// The quotients a[i] / count that the wide variant computes without dividing, for a[i] zero or
// at least 2^-900 in magnitude; false as above.
bool divide_by_count_avx512(const double* a, size_t n, double count, double* out);

}  // namespace velmora
