// Sample time spreading, in microseconds and in seconds. The portable variants use GCC vector
// extensions and divide; the wide ones, compiled for AVX-512 and chosen at run time, replace the
// divisions by a whole sample count and by 10^6 with a multiplication and fused correction steps
// that provably give the same quotients (see exact_quotients and seconds_of below).
#include "package/decode/sample_spread.hpp"

#include <cmath>
#include <cstring>

#include "package/kernels/vector_targets.hpp"

namespace velmora {

namespace {

using F64x2 = double __attribute__((vector_size(16)));
using I64x2 = int64_t __attribute__((vector_size(16)));

inline int64_t sample_us(size_t i, double span, double count, double start) {
  return static_cast<int64_t>((static_cast<double>(i) * span / count + start) * 1000000.0);
}

// Hands the counts of samples [0, n) to `put`, two at a time and then the odd one. The index is
// exact as a double, so each lane computes what the scalar expression computes.
template <class PutPair, class PutOne>
inline void spread_pairs(size_t n, double span, double count, double start, PutPair put_pair,
                         PutOne put_one) {
  F64x2 index = {0.0, 1.0};
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    put_pair(i, __builtin_convertvector((index * span / count + start) * 1000000.0, I64x2));
    index += 2.0;
  }
  for (; i < n; ++i) put_one(i, sample_us(i, span, count, start));
}

#if defined(__x86_64__)
// Counts for which the correction step below is exact: whole numbers of moderate size.
bool is_small_whole_count(double count) {
  return count >= 1.0 && count <= 65536.0 && std::floor(count) == count;
}

// Spans whose products with the sample index keep every quantity of the correction step far
// from the subnormal range (sample times never come near it; this only keeps the proof whole).
bool is_normal_span(double span) { return span == 0.0 || std::fabs(span) >= 0x1p-900; }
#endif

bool can_spread_wide(double span, double count) {
#if defined(__x86_64__)
  return is_small_whole_count(count) && is_normal_span(span) && has_avx512_units();
#else
  (void)span, (void)count;
  return false;
#endif
}

#if defined(__x86_64__)
VELMORA_BEGIN_INTRINSICS

// Quotients t = a / b for a whole b from 1 to 2^16, rounded to nearest, without dividing.
// With y = RN(1/b) and q0 = RN(a * y), q0 lies within 1.5 ulp of t, so r = a - b * q0 is
// exactly representable (a multiple of ulp(t) / 2 below 2^17 of them) and the fused step
// computes it exactly. Then q0 + r * y = t + r * (y - 1/b) misses t by less than 2^-33 ulp(t),
// while t lies at least ulp(t) / 2^18 from every rounding midpoint (a - b * m is a nonzero
// multiple of ulp(t) / 2 for a midpoint m, since a midpoint times a whole b is never a double).
// So the second fused step, one rounding of q0 + r * y, rounds t itself. Only the sign of a
// zero quotient can differ, which the conversion to whole microseconds removes.
VELMORA_AVX512_TARGET inline __m512d exact_quotients(__m512d a, __m512d b, __m512d y) {
  const __m512d q0 = _mm512_mul_pd(a, y);
  const __m512d r = _mm512_fnmadd_pd(q0, b, a);
  return _mm512_fmadd_pd(r, y, q0);
}

// Divides by 10^6 without dividing, for every 64-bit count v: with y = RN(10^-6) and
// q0 = RN(v y), q0 lies within 1.5 ulp of t = v / 10^6, so r = v - 10^6 q0, a multiple of
// ulp(t) / 2 below 2^22 of them, is exact in the fused step. Then q0 + r y = t + r (y - 10^-6)
// misses t by less than 2^-51 ulp(t), while t lies at least ulp(t) / 2^21 from every rounding
// midpoint m: v - 10^6 m is a nonzero multiple of ulp(t) / 2, since 10^6 m has an odd part
// above 2^53 and is no double. So the second fused step rounds t itself; zero gives +0 as the
// division does, and the counts are whole, so no quantity comes near the subnormal range.
VELMORA_AVX512_TARGET inline __m512d seconds_of(__m512i counts) {
  const __m512d v = _mm512_cvtepi64_pd(counts);
  const __m512d reciprocal = _mm512_set1_pd(1.0 / 1000000.0);
  const __m512d q0 = _mm512_mul_pd(v, reciprocal);
  return _mm512_fmadd_pd(_mm512_fnmadd_pd(q0, _mm512_set1_pd(1000000.0), v), reciprocal, q0);
}

// Hands the counts of samples [0, n) to `put`, eight at a time with the mask of live lanes.
template <class Put>
VELMORA_AVX512_TARGET inline void spread_wide(size_t n, double span, double count, double start,
                                              Put put) {
  const __m512d vspan = _mm512_set1_pd(span);
  const __m512d vcount = _mm512_set1_pd(count);
  const __m512d reciprocal = _mm512_set1_pd(1.0 / count);
  const __m512d vstart = _mm512_set1_pd(start);
  const __m512d micro = _mm512_set1_pd(1000000.0);
  const auto counts_at = [&](__m512d index) VELMORA_AVX512_TARGET {
    const __m512d q = exact_quotients(_mm512_mul_pd(index, vspan), vcount, reciprocal);
    return _mm512_cvttpd_epi64(_mm512_mul_pd(_mm512_add_pd(q, vstart), micro));
  };
  __m512d index = _mm512_setr_pd(0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    put(i, __mmask8{0xFF}, counts_at(index));
    index = _mm512_add_pd(index, _mm512_set1_pd(8.0));
  }
  if (i < n) put(i, static_cast<__mmask8>((1u << (n - i)) - 1u), counts_at(index));
}

VELMORA_AVX512_TARGET void spread_us_wide(int64_t* out, size_t n, double span, double count,
                                          double start) {
  spread_wide(n, span, count, start,
              [out](size_t i, __mmask8 live, __m512i us)
                  VELMORA_AVX512_TARGET { _mm512_mask_storeu_epi64(out + i, live, us); });
}

VELMORA_AVX512_TARGET void spread_seconds_wide(double* out, size_t n, double span, double count,
                                               double start) {
  spread_wide(n, span, count, start,
              [out](size_t i, __mmask8 live, __m512i us)
                  VELMORA_AVX512_TARGET { _mm512_mask_storeu_pd(out + i, live, seconds_of(us)); });
}

VELMORA_AVX512_TARGET void seconds_wide(const int64_t* us, size_t n, double* out) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm512_storeu_pd(out + i, seconds_of(_mm512_loadu_si512(us + i)));
  if (i < n) {
    const auto live = static_cast<__mmask8>((1u << (n - i)) - 1u);
    _mm512_mask_storeu_pd(out + i, live, seconds_of(_mm512_maskz_loadu_epi64(live, us + i)));
  }
}

VELMORA_AVX512_TARGET void divide_wide(const double* a, size_t n, double b, double* out) {
  const __m512d vb = _mm512_set1_pd(b);
  const __m512d reciprocal = _mm512_set1_pd(1.0 / b);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    _mm512_storeu_pd(out + i, exact_quotients(_mm512_loadu_pd(a + i), vb, reciprocal));
  }
  for (; i < n; ++i) out[i] = a[i] / b;
}

VELMORA_END_INTRINSICS
#endif

}  // namespace

void spread_sample_us_portable(int64_t* out, size_t n, double span, double count, double start) {
  spread_pairs(
      n, span, count, start, [out](size_t i, I64x2 us) { std::memcpy(out + i, &us, sizeof us); },
      [out](size_t i, int64_t us) { out[i] = us; });
}

bool spread_sample_us_avx512(int64_t* out, size_t n, double span, double count, double start) {
  if (!can_spread_wide(span, count)) return false;
#if defined(__x86_64__)
  spread_us_wide(out, n, span, count, start);
#else
  static_cast<void>(out), static_cast<void>(n), static_cast<void>(start);
#endif
  return true;
}

void spread_sample_us(int64_t* out, size_t n, double span, double count, double start) {
  if (!spread_sample_us_avx512(out, n, span, count, start)) {
    spread_sample_us_portable(out, n, span, count, start);
  }
}

void spread_sample_seconds_portable(double* out, size_t n, double span, double count,
                                    double start) {
  spread_pairs(
      n, span, count, start,
      [out](size_t i, I64x2 us) {
        const F64x2 seconds = __builtin_convertvector(us, F64x2) / 1000000.0;
        std::memcpy(out + i, &seconds, sizeof seconds);
      },
      [out](size_t i, int64_t us) { out[i] = static_cast<double>(us) / 1000000.0; });
}

bool spread_sample_seconds_avx512(double* out, size_t n, double span, double count, double start) {
  if (!can_spread_wide(span, count)) return false;
#if defined(__x86_64__)
  spread_seconds_wide(out, n, span, count, start);
#else
  static_cast<void>(out), static_cast<void>(n), static_cast<void>(start);
#endif
  return true;
}

void spread_sample_seconds(double* out, size_t n, double span, double count, double start) {
  if (!spread_sample_seconds_avx512(out, n, span, count, start)) {
    spread_sample_seconds_portable(out, n, span, count, start);
  }
}

bool microseconds_to_seconds_avx512(const int64_t* us, size_t n, double* out) {
#if defined(__x86_64__)
  if (!has_avx512_units()) return false;
  seconds_wide(us, n, out);
  return true;
#else
  (void)us, (void)n, (void)out;
  return false;
#endif
}

bool divide_by_count_avx512(const double* a, size_t n, double count, double* out) {
#if defined(__x86_64__)
  if (!is_small_whole_count(count) || !has_avx512_units()) return false;
  divide_wide(a, n, count, out);
  return true;
#else
  (void)a, (void)n, (void)count, (void)out;
  return false;
#endif
}

}  // namespace velmora
