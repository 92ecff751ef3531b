// The resampler's vector rows for processors with AVX-512: eight rows per instruction, each
// lane performing the generic row's IEEE operations in the same grouping, with no fused
// multiply-add, so the rows are bit-identical to it.
#include <algorithm>
#include <cstdint>

#include "package/resampler_kernel.hpp"
#include "package/sample_times.hpp"
#include "package/vector_targets.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora {

#if defined(__x86_64__)

namespace {

// GCC 12's AVX-512 intrinsics start several results from a deliberately undefined vector, which
// its flow analysis then reports as used uninitialized.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

constexpr double kTwoTo63 = 9223372036854775808.0;

// The entries at slots index + offset of the live rows: one load when their slots are
// consecutive, else a gather. Lanes past the last row are not loaded from memory.
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __m512d window(const double* values,
                                                                   int64_t first, __m512i index,
                                                                   __mmask8 live,
                                                                   bool consecutive) {
  if (live == 0xFF && consecutive) return _mm512_loadu_pd(values + first);
  return consecutive ? _mm512_maskz_loadu_pd(live, values + first)
                     : _mm512_i64gather_pd(index, values, 8);
}

[[gnu::always_inline]] VELMORA_AVX512_TARGET inline void store_floats(float* out, __mmask8 live,
                                                                      __m256 values) {
  if (live == 0xFF) {
    _mm256_storeu_ps(out, values);
  } else {
    _mm256_mask_storeu_ps(out, live, values);
  }
}

[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __mmask8 below_span(__m512d magnitude) {
  return _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(kDegenerateSpan), _CMP_LT_OQ);
}

[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __m512d negated(__m512d value) {
  return _mm512_xor_pd(value, _mm512_set1_pd(-0.0));
}

// Whether the cubic sums of the readings of a group's rows are known to round to the readings
// themselves, so that they need not be computed. They are when every row is a plain cubic
// (both neighbours, no degenerate denominator), the sum W of the weights' magnitudes stays
// below 2^20, and all the rows' entries lie in one run of equal readings (times within 2^60,
// each reading finite and nonzero, see StreamingResampler::mark_runs).
//
// Why: with times within 2^60, a denominator of at least 1e-12 has every factor and partial
// product above 2^-162, so each d_j carries at most five relative rounding errors of u = 2^-53;
// at most one offset x - t_m is below 2^-165 (two would put two times within 2^-162), so an
// underflow in a numerator adds at most 2^-972 to a weight. Each weight is then the exact
// Lagrange weight L_j of the given doubles within a factor (1 +- 11.1 u) plus 2^-972, each term
// w_j v adds one rounding, and the three additions at most 3.01 u of the terms' magnitudes.
// The exact weights sum to 1, so the sum S differs from v by less than
// (15.1 u sum|L_j| + 2^-900) |v| < 2^-29 |v|, using sum|L_j| < 2^20.01 from W < 2^20. A nonzero
// float's neighbours lie at least 2^-24 |v| away, so S rounds to v in float.
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline bool steady_readings(
    const RowSources& in, const RowTargets& out, const PendingRows& rows, size_t g, size_t lanes,
    __m512i index, __mmask8 plain, __m512d w_m1, __m512d w_0, __m512d w_1, __m512d w_2,
    bool consecutive) {
  if (in.run_starts == nullptr) return false;
  if (out.values[kChannelTemperature] == nullptr && out.values[kChannelLight] == nullptr &&
      out.values[kChannelBattery] == nullptr) {
    return false;
  }
  const auto live = static_cast<__mmask8>((1u << lanes) - 1u);
  if ((plain & live) != live) return false;
  const __m512d spread = _mm512_add_pd(
      _mm512_add_pd(_mm512_add_pd(_mm512_abs_pd(w_m1), _mm512_abs_pd(w_0)), _mm512_abs_pd(w_1)),
      _mm512_abs_pd(w_2));
  const __mmask8 modest = _mm512_cmp_pd_mask(spread, _mm512_set1_pd(0x1p20), _CMP_LT_OQ);
  if ((modest & live) != live) return false;
  // Run starts never decrease, so one run holds every entry from the lowest slot's left
  // neighbour to the highest slot's right one when it holds both ends.
  int64_t low = rows.slot[g];
  int64_t high = rows.slot[g + lanes - 1];
  if (!consecutive) {
    low = _mm512_mask_reduce_min_epi64(live, index);
    high = _mm512_mask_reduce_max_epi64(live, index);
  }
  return in.run_starts[high + 2] <= low - 1;
}

// One group of up to eight rows starting at row g; returns the mask of rows that need the
// generic row.
template <bool kConsecutive, bool kFull>
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline unsigned cubic_group(const RowSources& in,
                                                                         const PendingRows& rows,
                                                                         const RowTargets& out,
                                                                         size_t g, size_t lanes,
                                                                         __m512i index, __m512d x) {
  const auto live = kFull ? __mmask8{0xFF} : static_cast<__mmask8>((1u << lanes) - 1u);
  const int64_t first = rows.slot[g];
  const double* times = in.times;
  const __m512i support_lanes =
      _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&rows.support[g])));
  const __mmask8 support = _mm512_test_epi64_mask(support_lanes, support_lanes);

  const __m512d t_m1 = window(times - 1, first, index, live, kConsecutive);
  const __m512d t_0 = window(times, first, index, live, kConsecutive);
  const __m512d t_1 = window(times + 1, first, index, live, kConsecutive);
  const __m512d t_2 = window(times + 2, first, index, live, kConsecutive);
  // Each difference once: b - a is exactly -(a - b), and a product or quotient with one
  // negated factor is exactly the negated result, so d_0 = -q_0 and d_2 = -q_2. Equal times
  // would turn +0 into -0, but they make the support degenerate, and such rows go the generic
  // way.
  const __m512d dm1_0 = _mm512_sub_pd(t_m1, t_0);
  const __m512d dm1_1 = _mm512_sub_pd(t_m1, t_1);
  const __m512d dm1_2 = _mm512_sub_pd(t_m1, t_2);
  const __m512d d0_1 = _mm512_sub_pd(t_0, t_1);
  const __m512d d0_2 = _mm512_sub_pd(t_0, t_2);
  const __m512d d1_2 = _mm512_sub_pd(t_1, t_2);
  const __m512d den_m1 = _mm512_mul_pd(dm1_2, _mm512_mul_pd(dm1_1, dm1_0));
  const __m512d q_0 = _mm512_mul_pd(d0_2, _mm512_mul_pd(d0_1, dm1_0));
  const __m512d den_1 = _mm512_mul_pd(d1_2, _mm512_mul_pd(d0_1, dm1_1));
  const __m512d q_2 = _mm512_mul_pd(d1_2, _mm512_mul_pd(d0_2, dm1_2));
  // The smallest magnitude decides. A NaN may hide another lane value from the minimum, but it
  // also makes a weight and every sum NaN, which sends the row the generic way all the same.
  const __mmask8 degenerate =
      below_span(_mm512_min_pd(_mm512_min_pd(_mm512_abs_pd(den_m1), _mm512_abs_pd(q_0)),
                               _mm512_min_pd(_mm512_abs_pd(den_1), _mm512_abs_pd(q_2))));

  const __m512d a_m1 = _mm512_sub_pd(x, t_m1);
  const __m512d a_0 = _mm512_sub_pd(x, t_0);
  const __m512d a_1 = _mm512_sub_pd(x, t_1);
  const __m512d a_2 = _mm512_sub_pd(x, t_2);
  const __m512d am1_a0 = _mm512_mul_pd(a_m1, a_0);
  const __m512d w_m1 = _mm512_div_pd(_mm512_mul_pd(_mm512_mul_pd(a_0, a_1), a_2), den_m1);
  const __m512d w_0 = _mm512_div_pd(negated(_mm512_mul_pd(_mm512_mul_pd(a_m1, a_1), a_2)), q_0);
  const __m512d w_1 = _mm512_div_pd(_mm512_mul_pd(am1_a0, a_2), den_1);
  const __m512d w_2 = _mm512_div_pd(negated(_mm512_mul_pd(am1_a0, a_1)), q_2);

  const bool steady = steady_readings(in, out, rows, g, lanes, index, support & ~degenerate, w_m1,
                                      w_0, w_1, w_2, kConsecutive);

  // A NaN in any sum makes their total NaN (and so may an overflow, which the generic row then
  // settles correctly).
  __m512d total = _mm512_setzero_pd();
  for (size_t channel = 0; channel < kCommonChannels; ++channel) {
    float* target = out.values[channel];
    if (target == nullptr) continue;
    const double* values = in.values[channel];
    if (steady && channel >= kChannelTemperature) {
      const __m512d y_0 = window(values, first, index, live, kConsecutive);
      store_floats(target + g, live, _mm512_cvtpd_ps(y_0));
      continue;
    }
    const __m512d y_m1 = window(values - 1, first, index, live, kConsecutive);
    const __m512d y_0 = window(values, first, index, live, kConsecutive);
    const __m512d y_1 = window(values + 1, first, index, live, kConsecutive);
    const __m512d y_2 = window(values + 2, first, index, live, kConsecutive);
    const __m512d sum = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(w_m1, y_m1), _mm512_mul_pd(w_0, y_0)),
                      _mm512_mul_pd(w_1, y_1)),
        _mm512_mul_pd(w_2, y_2));
    total = _mm512_add_pd(total, sum);
    store_floats(target + g, live, _mm512_cvtpd_ps(sum));
  }

  const __m512d us = _mm512_mul_pd(x, _mm512_set1_pd(1000000.0));
  const __mmask8 in_range = _mm512_cmp_pd_mask(us, _mm512_set1_pd(-kTwoTo63), _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(us, _mm512_set1_pd(kTwoTo63), _CMP_LT_OQ);
  if (live == 0xFF) {
    _mm512_storeu_si512(out.timestamps + g, _mm512_cvttpd_epi64(us));
  } else {
    _mm512_mask_storeu_epi64(out.timestamps + g, live, _mm512_cvttpd_epi64(us));
  }
  if ((in_range & live) != live) [[unlikely]] {
    for (size_t lane = 0; lane < lanes; ++lane) {
      out.timestamps[g + lane] = seconds_to_us(rows.x[g + lane]);
    }
  }

  const __mmask8 nan = _mm512_cmp_pd_mask(total, total, _CMP_UNORD_Q);
  return live & ~(support & ~degenerate & ~nan);
}

VELMORA_AVX512_TARGET void cubic_rows_avx512_loop(const RowSources& in, const PendingRows& rows,
                                                  const RowTargets& out, uint8_t* generic_groups) {
  const __m512i lane_index = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  for (size_t g = 0; g < rows.count; g += 8) {
    const size_t lanes = std::min<size_t>(8, rows.count - g);
    const auto live = static_cast<__mmask8>((1u << lanes) - 1u);
    const int64_t first = rows.slot[g];
    // Lanes past the last row repeat the first one, so every load stays inside the queue.
    const __m512i index = _mm512_mask_loadu_epi64(_mm512_set1_epi64(first), live, &rows.slot[g]);
    const __m512d x = _mm512_mask_loadu_pd(_mm512_set1_pd(rows.x[g]), live, &rows.x[g]);
    const __mmask8 in_order =
        _mm512_cmpeq_epi64_mask(index, _mm512_add_epi64(_mm512_set1_epi64(first), lane_index));
    const bool consecutive = (in_order & live) == live;
    // Full groups of consecutive rows, nearly all of them, load and store without masks.
    const unsigned generic =
        consecutive && lanes == 8 ? cubic_group<true, true>(in, rows, out, g, lanes, index, x)
        : consecutive             ? cubic_group<true, false>(in, rows, out, g, lanes, index, x)
                                  : cubic_group<false, false>(in, rows, out, g, lanes, index, x);
    generic_groups[g / 8] = static_cast<uint8_t>(generic);
  }
}

#pragma GCC diagnostic pop

}  // namespace

bool cubic_rows_avx512(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                       uint8_t* generic_groups) {
  static const bool wide = has_avx512_units();
  if (!wide) return false;
  cubic_rows_avx512_loop(in, rows, out, generic_groups);
  return true;
}

#else

bool cubic_rows_avx512(const RowSources&, const PendingRows&, const RowTargets&, uint8_t*) {
  return false;
}

#endif

}  // namespace velmora
