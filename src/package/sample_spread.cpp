// Sample time spreading. The portable variant uses GCC vector extensions and divides; the wide
// one, compiled for AVX-512 and chosen at run time, replaces the division by a whole sample
// count with a multiplication and one fused correction step that provably gives the same
// quotient (see exact_quotients below).
#include "package/sample_spread.hpp"

#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora {

namespace {

using F64x2 = double __attribute__((vector_size(16)));
using I64x2 = int64_t __attribute__((vector_size(16)));

inline double sample_us(size_t i, double span, double count, double start) {
  return (static_cast<double>(i) * span / count + start) * 1000000.0;
}

// The index is exact as a double, so each lane computes what the scalar expression computes.
inline void spread_pairs(int64_t* out, size_t n, double span, double count, double start) {
  F64x2 index = {0.0, 1.0};
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const I64x2 us = __builtin_convertvector((index * span / count + start) * 1000000.0, I64x2);
    std::memcpy(out + i, &us, sizeof us);
    index += 2.0;
  }
  for (; i < n; ++i) out[i] = static_cast<int64_t>(sample_us(i, span, count, start));
}

// Counts for which the correction step below is exact: whole numbers of moderate size.
bool is_small_whole_count(double count) {
  return count >= 1.0 && count <= 65536.0 && std::floor(count) == count;
}

// Spans whose products with the sample index keep every quantity of the correction step far
// from the subnormal range (sample times never come near it; this only keeps the proof whole).
bool is_normal_span(double span) { return span == 0.0 || std::fabs(span) >= 0x1p-900; }

#if defined(__x86_64__)
#define VELMORA_WIDE_TARGET __attribute__((target("avx2,fma,avx512f,avx512dq,avx512vl")))

// Quotients t = a / b for a whole b from 1 to 2^16, rounded to nearest, without dividing.
// With y = RN(1/b) and q0 = RN(a * y), q0 lies within 1.5 ulp of t, so r = a - b * q0 is
// exactly representable (a multiple of ulp(t) / 2 below 2^17 of them) and the fused step
// computes it exactly. Then q0 + r * y = t + r * (y - 1/b) misses t by less than 2^-33 ulp(t),
// while t lies at least ulp(t) / 2^18 from every rounding midpoint (a - b * m is a nonzero
// multiple of ulp(t) / 2 for a midpoint m, since a midpoint times a whole b is never a double).
// So the second fused step, one rounding of q0 + r * y, rounds t itself. Only the sign of a
// zero quotient can differ, which the conversion to whole microseconds removes.
VELMORA_WIDE_TARGET inline __m256d exact_quotients(__m256d a, __m256d b, __m256d y) {
  const __m256d q0 = _mm256_mul_pd(a, y);
  const __m256d r = _mm256_fnmadd_pd(q0, b, a);
  return _mm256_fmadd_pd(r, y, q0);
}

VELMORA_WIDE_TARGET void spread_wide(int64_t* out, size_t n, double span, double count,
                                     double start) {
  const __m256d vspan = _mm256_set1_pd(span);
  const __m256d vcount = _mm256_set1_pd(count);
  const __m256d reciprocal = _mm256_set1_pd(1.0 / count);
  const __m256d vstart = _mm256_set1_pd(start);
  const __m256d micro = _mm256_set1_pd(1000000.0);
  __m256d index = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d q = exact_quotients(_mm256_mul_pd(index, vspan), vcount, reciprocal);
    const __m256d us = _mm256_mul_pd(_mm256_add_pd(q, vstart), micro);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_cvttpd_epi64(us));
    index = _mm256_add_pd(index, _mm256_set1_pd(4.0));
  }
  for (; i < n; ++i) out[i] = static_cast<int64_t>(sample_us(i, span, count, start));
}

VELMORA_WIDE_TARGET void divide_wide(const double* a, size_t n, double b, double* out) {
  const __m256d vb = _mm256_set1_pd(b);
  const __m256d reciprocal = _mm256_set1_pd(1.0 / b);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    _mm256_storeu_pd(out + i, exact_quotients(_mm256_loadu_pd(a + i), vb, reciprocal));
  }
  for (; i < n; ++i) out[i] = a[i] / b;
}

bool has_wide_units() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma");
}
#endif

}  // namespace

void spread_sample_us_portable(int64_t* out, size_t n, double span, double count, double start) {
  spread_pairs(out, n, span, count, start);
}

bool spread_sample_us_avx512(int64_t* out, size_t n, double span, double count, double start) {
#if defined(__x86_64__)
  if (!is_small_whole_count(count) || !is_normal_span(span) || !has_wide_units()) return false;
  spread_wide(out, n, span, count, start);
  return true;
#else
  (void)out, (void)n, (void)span, (void)count, (void)start;
  return false;
#endif
}

bool divide_by_count_avx512(const double* a, size_t n, double count, double* out) {
#if defined(__x86_64__)
  if (!is_small_whole_count(count) || !has_wide_units()) return false;
  divide_wide(a, n, count, out);
  return true;
#else
  (void)a, (void)n, (void)count, (void)out;
  return false;
#endif
}

void spread_sample_us(int64_t* out, size_t n, double span, double count, double start) {
  if (!spread_sample_us_avx512(out, n, span, count, start)) {
    spread_sample_us_portable(out, n, span, count, start);
  }
}

}  // namespace velmora
