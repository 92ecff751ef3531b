// The two loops that write most of a read's output bytes, packed 3-axis decoding and filling a
// run of rows with one value, built twice: with portable 4-lane vectors and, chosen at run time,
// with AVX-512. Lane arithmetic is the scalar arithmetic, so every build gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

// Decodes n packed 3-axis samples into three columns of float, or of double (the floats
// widened); the same bits as decode::packed_3axis.
template <class T>
void decode_packed_3axis(const uint8_t* data, size_t n, uint16_t light, T* x, T* y, T* z);
// Writes `value` to out[0..n).
void fill_floats(float* out, size_t n, float value);
void fill_doubles(double* out, size_t n, double value);
void fill_int64s(int64_t* out, size_t n, int64_t value);
// Writes in[i] widened to double to out[i] for i < n.
void widen_floats(const float* in, size_t n, double* out);

// The builds behind them, for tests that compare them. The AVX-512 ones return false, writing
// nothing, on a processor without AVX-512 F.
template <class T>
void decode_packed_3axis_portable(const uint8_t* data, size_t n, uint16_t light, T* x, T* y, T* z);
template <class T>
bool decode_packed_3axis_avx512(const uint8_t* data, size_t n, uint16_t light, T* x, T* y, T* z);
void fill_floats_portable(float* out, size_t n, float value);
bool fill_floats_avx512(float* out, size_t n, float value);
void widen_floats_portable(const float* in, size_t n, double* out);
bool widen_floats_avx512(const float* in, size_t n, double* out);

}  // namespace velmora
