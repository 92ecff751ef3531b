// Cubic rows with AVX2: the four Lagrange weights as one vector, the common channels as a 4-lane
// and a 2-lane group. Each lane performs the generic row's IEEE operations in the same order,
// with no fused multiply-add, so the rows are bit-identical.
#include "package/resampler_rows.hpp"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora {

#if defined(__x86_64__)

bool wide_rows_supported() { return __builtin_cpu_supports("avx2"); }

__attribute__((target("avx2"))) bool cubic_common_row(const QueuedSample* q, double x, float* out) {
  const double tm1 = q[0].time_s;
  const double t0 = q[1].time_s;
  const double t1 = q[2].time_s;
  const double t2 = q[3].time_s;
  // Lane k is the denominator of weight k - 1: (a - b) * ((a - c) * (a - d)).
  const __m256d a = _mm256_setr_pd(tm1, t0, t1, t2);
  const __m256d b = _mm256_setr_pd(t2, t2, t2, t1);
  const __m256d c = _mm256_setr_pd(t1, t1, t0, t0);
  const __m256d d = _mm256_setr_pd(t0, tm1, tm1, tm1);
  const __m256d denominator =
      _mm256_mul_pd(_mm256_sub_pd(a, b), _mm256_mul_pd(_mm256_sub_pd(a, c), _mm256_sub_pd(a, d)));
  // Degenerate when any |d| is below the span; a NaN denominator is not below it.
  const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), denominator);
  const __m256d below = _mm256_cmp_pd(magnitude, _mm256_set1_pd(kDegenerateSpan), _CMP_LT_OQ);
  if (_mm256_movemask_pd(below) != 0) return false;
  // x - t for (t_-1, t_0, t_1, t_2); numerators (a_0 a_1) a_2, (a_-1 a_1) a_2, (a_-1 a_0) a_2,
  // (a_-1 a_0) a_1.
  const __m256d offsets = _mm256_sub_pd(_mm256_set1_pd(x), a);
  const __m256d first = _mm256_permute4x64_pd(offsets, _MM_SHUFFLE(0, 0, 0, 1));
  const __m256d second = _mm256_permute4x64_pd(offsets, _MM_SHUFFLE(1, 1, 2, 2));
  const __m256d third = _mm256_permute4x64_pd(offsets, _MM_SHUFFLE(2, 3, 3, 3));
  const __m256d weights =
      _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(first, second), third), denominator);
  const __m256d w_m1 = _mm256_permute4x64_pd(weights, _MM_SHUFFLE(0, 0, 0, 0));
  const __m256d w_0 = _mm256_permute4x64_pd(weights, _MM_SHUFFLE(1, 1, 1, 1));
  const __m256d w_1 = _mm256_permute4x64_pd(weights, _MM_SHUFFLE(2, 2, 2, 2));
  const __m256d w_2 = _mm256_permute4x64_pd(weights, _MM_SHUFFLE(3, 3, 3, 3));

  // Channels 0 to 3, then 4 and 5: ((w_-1 y_-1 + w_0 y_0) + w_1 y_1) + w_2 y_2. (Written out:
  // a lambda would not inherit this function's target.)
  __m256d wide[4];
  __m128d narrow[4];
  for (size_t entry = 0; entry < 4; ++entry) {
    wide[entry] = _mm256_cvtps_pd(_mm_loadu_ps(&q[entry].value[kChannelAccX]));
    double both;
    std::memcpy(&both, &q[entry].value[kChannelLight], sizeof both);
    narrow[entry] = _mm_cvtps_pd(_mm_castpd_ps(_mm_set_sd(both)));
  }
  const __m256d sum_lo = _mm256_add_pd(
      _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(w_m1, wide[0]), _mm256_mul_pd(w_0, wide[1])),
                    _mm256_mul_pd(w_1, wide[2])),
      _mm256_mul_pd(w_2, wide[3]));
  const __m128d sum_hi =
      _mm_add_pd(_mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm256_castpd256_pd128(w_m1), narrow[0]),
                                       _mm_mul_pd(_mm256_castpd256_pd128(w_0), narrow[1])),
                            _mm_mul_pd(_mm256_castpd256_pd128(w_1), narrow[2])),
                 _mm_mul_pd(_mm256_castpd256_pd128(w_2), narrow[3]));
  const int nan_lo = _mm256_movemask_pd(_mm256_cmp_pd(sum_lo, sum_lo, _CMP_UNORD_Q));
  const int nan_hi = _mm_movemask_pd(_mm_cmpunord_pd(sum_hi, sum_hi));
  if ((nan_lo | nan_hi) != 0) return false;
  _mm_storeu_ps(out, _mm256_cvtpd_ps(sum_lo));
  _mm_storel_pi(reinterpret_cast<__m64*>(out + 4), _mm_cvtpd_ps(sum_hi));
  return true;
}

#else

bool wide_rows_supported() { return false; }
bool cubic_common_row(const QueuedSample*, double, float*) { return false; }

#endif

}  // namespace velmora
