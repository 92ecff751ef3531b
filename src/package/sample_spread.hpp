// Even spreading of a packet's sample times in microseconds: the one per-sample division of a
// read, done with the widest vectors the processor offers. Every variant gives the same bits,
// since each lane runs the scalar arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Writes out[i] = (int64_t)((i * span / count + start) * 1e6) for i in [0, n). The caller
// guarantees that every product lies within ±2^62, where the conversion cannot overflow.
void spread_sample_us(int64_t* out, size_t n, double span, double count, double start);

// The variants behind spread_sample_us, for tests that compare them.
void spread_sample_us_portable(int64_t* out, size_t n, double span, double count, double start);
// Returns false, writing nothing, on a processor without AVX-512 (F, DQ and VL).
bool spread_sample_us_avx512(int64_t* out, size_t n, double span, double count, double start);

}  // namespace velmora
