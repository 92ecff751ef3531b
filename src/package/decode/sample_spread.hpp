// Even spreading of a packet's sample times, in microseconds or in seconds: the one per-sample
// division of a read, done with the widest vectors the processor offers. Every variant gives the
// same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Writes out[i] = (int64_t)((i * span / count + start) * 1e6) for i in [0, n). The caller
// guarantees that every product lies within ±2^62, where the conversion cannot overflow.
void spread_sample_us(int64_t* out, size_t n, double span, double count, double start);
// Writes those counts in seconds, each converted to double and divided by 1e6, without
// storing the counts; the same guarantee applies.
void spread_sample_seconds(double* out, size_t n, double span, double count, double start);

// The variants behind these, for tests that compare them. The AVX-512 ones return false,
// writing nothing, on a processor without AVX-512 (F, DQ and VL) and FMA, or when count is not a
// whole number from 1 to 65536, or span is nonzero below 2^-900 in magnitude.
void spread_sample_us_portable(int64_t* out, size_t n, double span, double count, double start);
bool spread_sample_us_avx512(int64_t* out, size_t n, double span, double count, double start);
void spread_sample_seconds_portable(double* out, size_t n, double span, double count, double start);
bool spread_sample_seconds_avx512(double* out, size_t n, double span, double count, double start);
// out[i] = us[i] converted to double and divided by 1e6 the way the seconds variant does it, for
// any 64-bit counts; false, writing nothing, without AVX-512.
bool microseconds_to_seconds_avx512(const int64_t* us, size_t n, double* out);
// The quotients a[i] / count that the wide variants compute without dividing, for a[i] zero or
// at least 2^-900 in magnitude; false as above.
bool divide_by_count_avx512(const double* a, size_t n, double count, double* out);

}  // namespace velmora
