// Column kernels over GCC vector extensions, instantiated for 4 and 16 lanes.
#include "package/kernels/column_kernels.hpp"

#include <bit>
#include <cstring>
#include <type_traits>

#include "package/decode/sample_decode.hpp"
#include "package/kernels/vector_targets.hpp"

namespace velmora {

namespace {

using U32x4 = uint32_t __attribute__((vector_size(16)));
using I32x4 = int32_t __attribute__((vector_size(16)));
using F32x4 = float __attribute__((vector_size(16)));
using U32x16 = uint32_t __attribute__((vector_size(64)));
using I32x16 = int32_t __attribute__((vector_size(64)));
using F32x16 = float __attribute__((vector_size(64)));
using F32x8 = float __attribute__((vector_size(32)));
using F32x2 = float __attribute__((vector_size(8)));
using F64x2 = double __attribute__((vector_size(16)));
using F64x8 = double __attribute__((vector_size(64)));
using I64x2 = int64_t __attribute__((vector_size(16)));
using I64x8 = int64_t __attribute__((vector_size(64)));

// Always inlined: the 16-lane instances exist only inside the AVX-512 functions, so GCC's note
// that 512-bit vectors would change the calling convention never applies (cmake/warnings.cmake).

// Stores float lanes as they are, or widened to double.
template <class F32xN>
[[gnu::always_inline]] inline void store_lanes(float* out, F32xN lanes) {
  std::memcpy(out, &lanes, sizeof lanes);
}

// Half a vector at a time: GCC widens a whole one through the stack.
[[gnu::always_inline]] inline void store_lanes(double* out, F32x4 lanes) {
  const F64x2 low = __builtin_convertvector(F32x2{lanes[0], lanes[1]}, F64x2);
  const F64x2 high = __builtin_convertvector(F32x2{lanes[2], lanes[3]}, F64x2);
  std::memcpy(out, &low, sizeof low);
  std::memcpy(out + 2, &high, sizeof high);
}

// Decodes whole groups of lanes from sample `i` on and returns the first sample left over. The
// factor base * 2^e is built by adding e to the exponent of base, which is exact because base is
// a power of two far from the subnormal range.
template <class U32xN, class I32xN, class F32xN, class T>
[[gnu::always_inline]] inline size_t packed_3axis_lanes(const uint8_t* data, size_t i, size_t n,
                                                        uint32_t base_bits, T* x, T* y, T* z) {
  constexpr size_t kLanes = sizeof(U32xN) / sizeof(uint32_t);
  for (; i + kLanes <= n; i += kLanes) {
    U32xN words;
    std::memcpy(&words, data + 4 * i, sizeof words);
    const F32xN factor = __builtin_bit_cast(F32xN, base_bits + ((words >> 30) << 23));
    const F32xN vx = __builtin_convertvector(__builtin_bit_cast(I32xN, words << 22) >> 22, F32xN);
    const F32xN vy = __builtin_convertvector(__builtin_bit_cast(I32xN, words << 12) >> 22, F32xN);
    const F32xN vz = __builtin_convertvector(__builtin_bit_cast(I32xN, words << 2) >> 22, F32xN);
    const F32xN sx = vx * factor;
    const F32xN sy = vy * factor;
    const F32xN sz = vz * factor;
    store_lanes(x + i, sx);
    store_lanes(y + i, sy);
    store_lanes(z + i, sz);
  }
  return i;
}

template <class T>
inline void packed_3axis_tail(const uint8_t* data, size_t i, size_t n, uint16_t light, T* x, T* y,
                              T* z) {
  decode::packed_3axis(data + 4 * i, n - i, light, [&](size_t j, float vx, float vy, float vz) {
    x[i + j] = static_cast<T>(vx);
    y[i + j] = static_cast<T>(vy);
    z[i + j] = static_cast<T>(vz);
  });
}

template <class F32xN, class T>
[[gnu::always_inline]] inline size_t fill_lanes(T* out, size_t i, size_t n, T value) {
  constexpr size_t kLanes = sizeof(F32xN) / sizeof(T);
  F32xN lanes;
  for (size_t k = 0; k < kLanes; ++k) lanes[k] = value;
  for (; i + kLanes <= n; i += kLanes) std::memcpy(out + i, &lanes, sizeof lanes);
  return i;
}

template <class F32xN, class F64xN>
[[gnu::always_inline]] inline size_t widen_lanes(const float* in, size_t i, size_t n, double* out) {
  constexpr size_t kLanes = sizeof(F32xN) / sizeof(float);
  for (; i + kLanes <= n; i += kLanes) {
    F32xN narrow;
    std::memcpy(&narrow, in + i, sizeof narrow);
    const F64xN wide = __builtin_convertvector(narrow, F64xN);
    std::memcpy(out + i, &wide, sizeof wide);
  }
  return i;
}

#if defined(__x86_64__)
VELMORA_BEGIN_INTRINSICS

// Stores sixteen floats widened to double. GCC splits the widening of eight lanes written with
// vector extensions into four-lane pieces; the instruction takes all eight.
[[gnu::always_inline]] __attribute__((target("avx512f"))) inline void store_widened16(
    double* out, F32x16 lanes) {
  const __m512 floats = __builtin_bit_cast(__m512, lanes);
  const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(floats), 1));
  _mm512_storeu_pd(out, _mm512_cvtps_pd(_mm512_castps512_ps256(floats)));
  _mm512_storeu_pd(out + 8, _mm512_cvtps_pd(high));
}

// Sixteen samples at a time straight to double.
[[gnu::always_inline]] __attribute__((target("avx512f"))) inline size_t packed_3axis_lanes_wide(
    const uint8_t* data, size_t i, size_t n, uint32_t base_bits, double* x, double* y, double* z) {
  for (; i + 16 <= n; i += 16) {
    U32x16 words;
    std::memcpy(&words, data + 4 * i, sizeof words);
    const F32x16 factor = __builtin_bit_cast(F32x16, base_bits + ((words >> 30) << 23));
    store_widened16(
        x + i,
        __builtin_convertvector(__builtin_bit_cast(I32x16, words << 22) >> 22, F32x16) * factor);
    store_widened16(
        y + i,
        __builtin_convertvector(__builtin_bit_cast(I32x16, words << 12) >> 22, F32x16) * factor);
    store_widened16(
        z + i,
        __builtin_convertvector(__builtin_bit_cast(I32x16, words << 2) >> 22, F32x16) * factor);
  }
  return i;
}

template <class T>
__attribute__((target("avx512f"))) void decode_packed_3axis_wide(const uint8_t* data, size_t n,
                                                                 uint16_t light, T* x, T* y, T* z) {
  const uint32_t base_bits = std::bit_cast<uint32_t>(decode::accel_factor(light));
  size_t i;
  if constexpr (std::is_same_v<T, double>) {
    i = packed_3axis_lanes_wide(data, 0, n, base_bits, x, y, z);
  } else {
    i = packed_3axis_lanes<U32x16, I32x16, F32x16>(data, 0, n, base_bits, x, y, z);
  }
  i = packed_3axis_lanes<U32x4, I32x4, F32x4>(data, i, n, base_bits, x, y, z);
  packed_3axis_tail(data, i, n, light, x, y, z);
}

VELMORA_END_INTRINSICS

__attribute__((target("avx512f"))) void fill_floats_wide(float* out, size_t n, float value) {
  size_t i = fill_lanes<F32x16>(out, 0, n, value);
  i = fill_lanes<F32x4>(out, i, n, value);
  for (; i < n; ++i) out[i] = value;
}

__attribute__((target("avx512f"))) void fill_doubles_wide(double* out, size_t n, double value) {
  size_t i = fill_lanes<F64x8>(out, 0, n, value);
  for (; i < n; ++i) out[i] = value;
}

__attribute__((target("avx512f"))) void fill_int64s_wide(int64_t* out, size_t n, int64_t value) {
  size_t i = fill_lanes<I64x8>(out, 0, n, value);
  for (; i < n; ++i) out[i] = value;
}

__attribute__((target("avx512f"))) void widen_floats_wide(const float* in, size_t n, double* out) {
  size_t i = widen_lanes<F32x8, F64x8>(in, 0, n, out);
  for (; i < n; ++i) out[i] = static_cast<double>(in[i]);
}
#endif

}  // namespace

template <class T>
void decode_packed_3axis_portable(const uint8_t* data, size_t n, uint16_t light, T* x, T* y, T* z) {
  const uint32_t base_bits = std::bit_cast<uint32_t>(decode::accel_factor(light));
  const size_t i = packed_3axis_lanes<U32x4, I32x4, F32x4>(data, 0, n, base_bits, x, y, z);
  packed_3axis_tail(data, i, n, light, x, y, z);
}
template void decode_packed_3axis_portable(const uint8_t*, size_t, uint16_t, float*, float*,
                                           float*);
template void decode_packed_3axis_portable(const uint8_t*, size_t, uint16_t, double*, double*,
                                           double*);

void fill_floats_portable(float* out, size_t n, float value) {
  size_t i = fill_lanes<F32x4>(out, 0, n, value);
  for (; i < n; ++i) out[i] = value;
}

void widen_floats_portable(const float* in, size_t n, double* out) {
  size_t i = widen_lanes<F32x2, F64x2>(in, 0, n, out);
  for (; i < n; ++i) out[i] = static_cast<double>(in[i]);
}

bool widen_floats_avx512(const float* in, size_t n, double* out) {
#if defined(__x86_64__)
  if (!has_avx512_units()) return false;
  widen_floats_wide(in, n, out);
  return true;
#else
  (void)in, (void)n, (void)out;
  return false;
#endif
}

template <class T>
bool decode_packed_3axis_avx512(const uint8_t* data, size_t n, uint16_t light, T* x, T* y, T* z) {
#if defined(__x86_64__)
  if (!has_avx512_units()) return false;
  decode_packed_3axis_wide(data, n, light, x, y, z);
  return true;
#else
  (void)data, (void)n, (void)light, (void)x, (void)y, (void)z;
  return false;
#endif
}

bool fill_floats_avx512(float* out, size_t n, float value) {
#if defined(__x86_64__)
  if (!has_avx512_units()) return false;
  fill_floats_wide(out, n, value);
  return true;
#else
  (void)out, (void)n, (void)value;
  return false;
#endif
}

template bool decode_packed_3axis_avx512(const uint8_t*, size_t, uint16_t, float*, float*, float*);
template bool decode_packed_3axis_avx512(const uint8_t*, size_t, uint16_t, double*, double*,
                                         double*);

template <class T>
void decode_packed_3axis(const uint8_t* data, size_t n, uint16_t light, T* x, T* y, T* z) {
  if (!decode_packed_3axis_avx512(data, n, light, x, y, z)) {
    decode_packed_3axis_portable(data, n, light, x, y, z);
  }
}
template void decode_packed_3axis(const uint8_t*, size_t, uint16_t, float*, float*, float*);
template void decode_packed_3axis(const uint8_t*, size_t, uint16_t, double*, double*, double*);

void fill_floats(float* out, size_t n, float value) {
  if (!fill_floats_avx512(out, n, value)) fill_floats_portable(out, n, value);
}

namespace {

// Eight-byte values two lanes at a time, for processors without AVX-512.
template <class Narrow, class T>
void fill_narrow(T* out, size_t n, T value) {
  size_t i = fill_lanes<Narrow>(out, 0, n, value);
  for (; i < n; ++i) out[i] = value;
}

}  // namespace

void fill_doubles(double* out, size_t n, double value) {
#if defined(__x86_64__)
  if (has_avx512_units()) return fill_doubles_wide(out, n, value);
#endif
  fill_narrow<F64x2>(out, n, value);
}

void fill_int64s(int64_t* out, size_t n, int64_t value) {
#if defined(__x86_64__)
  if (has_avx512_units()) return fill_int64s_wide(out, n, value);
#endif
  fill_narrow<I64x2>(out, n, value);
}

void widen_floats(const float* in, size_t n, double* out) {
  if (!widen_floats_avx512(in, n, out)) widen_floats_portable(in, n, out);
}

}  // namespace velmora
