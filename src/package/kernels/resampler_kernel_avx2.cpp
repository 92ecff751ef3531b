// The resampler's vector rows and grid times for processors with AVX2 but without AVX-512: four
// rows per instruction, each lane performing the generic row's IEEE operations in the same
// grouping, with no fused multiply-add outside the exact quotients of the grid.
#include <algorithm>
#include <cmath>

#include "package/decode/sample_times.hpp"
#include "package/kernels/resampler_kernel.hpp"
#include "package/kernels/vector_targets.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmora {

#if defined(__x86_64__)

namespace {

// The live lanes of a group as a load or store mask: the top bit of each 64-bit lane.
[[gnu::always_inline]] VELMORA_AVX2_TARGET inline __m256i lane_mask(size_t lanes) {
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<int64_t>(lanes)),
                            _mm256_setr_epi64x(0, 1, 2, 3));
}

// The entries at slots index + offset of the live rows: one load when their slots are
// consecutive, else a gather. Lanes past the last row are not loaded from memory.
[[gnu::always_inline]] VELMORA_AVX2_TARGET inline __m256d window(const double* values,
                                                                 int64_t first, __m256i index,
                                                                 __m256i live, bool full,
                                                                 bool consecutive) {
  if (!consecutive) return _mm256_i64gather_pd(values, index, 8);
  return full ? _mm256_loadu_pd(values + first) : _mm256_maskload_pd(values + first, live);
}

[[gnu::always_inline]] VELMORA_AVX2_TARGET inline __m256d magnitude(__m256d value) {
  return _mm256_andnot_pd(_mm256_set1_pd(-0.0), value);
}

[[gnu::always_inline]] VELMORA_AVX2_TARGET inline unsigned bits(__m256d mask) {
  return static_cast<unsigned>(_mm256_movemask_pd(mask));
}

// The rows g .. g + lanes - 1 (at most four); returns the rows that need the generic row. The
// steps and the argument for steady readings are those of the AVX-512 rows in
// resampler_kernel_avx512.cpp.
VELMORA_AVX2_TARGET unsigned cubic_quad(const RowSources& in, const PendingRows& rows,
                                        const RowTargets& out, size_t g, size_t lanes) {
  const bool full = lanes == 4;
  const unsigned live_bits = (1u << lanes) - 1u;
  const __m256i live = lane_mask(lanes);
  const int64_t first = rows.slot[g];
  // Lanes past the last row repeat the first one, so every load stays inside the queue.
  const __m256i loaded =
      _mm256_maskload_epi64(reinterpret_cast<const long long*>(&rows.slot[g]), live);
  const __m256i index = _mm256_blendv_epi8(_mm256_set1_epi64x(first), loaded, live);
  const __m256i in_order = _mm256_cmpeq_epi64(
      index, _mm256_add_epi64(_mm256_set1_epi64x(first), _mm256_setr_epi64x(0, 1, 2, 3)));
  const bool consecutive = (bits(_mm256_castsi256_pd(in_order)) & live_bits) == live_bits;
  const __m256d x = _mm256_blendv_pd(
      _mm256_set1_pd(rows.x[g]), _mm256_maskload_pd(&rows.x[g], live), _mm256_castsi256_pd(live));
  unsigned support = 0;
  for (size_t lane = 0; lane < lanes; ++lane) {
    support |= (rows.support[g + lane] != 0 ? 1u : 0u) << lane;
  }

  const double* times = in.times;
  const __m256d t_m1 = window(times - 1, first, index, live, full, consecutive);
  const __m256d t_0 = window(times, first, index, live, full, consecutive);
  const __m256d t_1 = window(times + 1, first, index, live, full, consecutive);
  const __m256d t_2 = window(times + 2, first, index, live, full, consecutive);
  const __m256d dm1_0 = _mm256_sub_pd(t_m1, t_0);
  const __m256d dm1_1 = _mm256_sub_pd(t_m1, t_1);
  const __m256d dm1_2 = _mm256_sub_pd(t_m1, t_2);
  const __m256d d0_1 = _mm256_sub_pd(t_0, t_1);
  const __m256d d0_2 = _mm256_sub_pd(t_0, t_2);
  const __m256d d1_2 = _mm256_sub_pd(t_1, t_2);
  const __m256d den_m1 = _mm256_mul_pd(dm1_2, _mm256_mul_pd(dm1_1, dm1_0));
  const __m256d q_0 = _mm256_mul_pd(d0_2, _mm256_mul_pd(d0_1, dm1_0));
  const __m256d den_1 = _mm256_mul_pd(d1_2, _mm256_mul_pd(d0_1, dm1_1));
  const __m256d q_2 = _mm256_mul_pd(d1_2, _mm256_mul_pd(d0_2, dm1_2));
  const __m256d smallest = _mm256_min_pd(_mm256_min_pd(magnitude(den_m1), magnitude(q_0)),
                                         _mm256_min_pd(magnitude(den_1), magnitude(q_2)));
  const unsigned degenerate =
      bits(_mm256_cmp_pd(smallest, _mm256_set1_pd(kDegenerateSpan), _CMP_LT_OQ));
  // The gap test on the negated differences, as in the AVX-512 rows.
  const unsigned gap = bits(_mm256_cmp_pd(d0_1, _mm256_add_pd(dm1_0, dm1_0), _CMP_LT_OQ)) &
                       bits(_mm256_cmp_pd(d0_1, _mm256_add_pd(d1_2, d1_2), _CMP_LT_OQ));

  const __m256d a_m1 = _mm256_sub_pd(x, t_m1);
  const __m256d a_0 = _mm256_sub_pd(x, t_0);
  const __m256d a_1 = _mm256_sub_pd(x, t_1);
  const __m256d a_2 = _mm256_sub_pd(x, t_2);
  const __m256d am1_a0 = _mm256_mul_pd(a_m1, a_0);
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d w_m1 = _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(a_0, a_1), a_2), den_m1);
  const __m256d w_0 =
      _mm256_div_pd(_mm256_xor_pd(_mm256_mul_pd(_mm256_mul_pd(a_m1, a_1), a_2), sign), q_0);
  const __m256d w_1 = _mm256_div_pd(_mm256_mul_pd(am1_a0, a_2), den_1);
  const __m256d w_2 = _mm256_div_pd(_mm256_xor_pd(_mm256_mul_pd(am1_a0, a_1), sign), q_2);

  bool steady = false;
  const unsigned plain = support & ~degenerate & ~gap & live_bits;
  const bool any_reading = out.values[kChannelTemperature] != nullptr ||
                           out.values[kChannelLight] != nullptr ||
                           out.values[kChannelBattery] != nullptr;
  if (in.run_starts != nullptr && any_reading && plain == live_bits) {
    const __m256d spread =
        _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(magnitude(w_m1), magnitude(w_0)), magnitude(w_1)),
                      magnitude(w_2));
    const unsigned modest = bits(_mm256_cmp_pd(spread, _mm256_set1_pd(0x1p20), _CMP_LT_OQ));
    if ((modest & live_bits) == live_bits) {
      int64_t low = rows.slot[g];
      int64_t high = rows.slot[g];
      for (size_t lane = 1; lane < lanes; ++lane) {
        low = std::min(low, rows.slot[g + lane]);
        high = std::max(high, rows.slot[g + lane]);
      }
      steady = in.run_starts[high + 2] <= low - 1;
    }
  }

  const __m128i live_floats = _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(live, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7)));
  __m256d total = _mm256_setzero_pd();
  for (size_t channel = 0; channel < kCommonChannels; ++channel) {
    float* target = out.values[channel];
    if (target == nullptr) continue;
    const double* values = in.values[channel];
    __m128 result;
    if (steady && channel >= kChannelTemperature) {
      result = _mm256_cvtpd_ps(window(values, first, index, live, full, consecutive));
    } else {
      const __m256d y_m1 = window(values - 1, first, index, live, full, consecutive);
      const __m256d y_0 = window(values, first, index, live, full, consecutive);
      const __m256d y_1 = window(values + 1, first, index, live, full, consecutive);
      const __m256d y_2 = window(values + 2, first, index, live, full, consecutive);
      const __m256d sum = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(w_m1, y_m1), _mm256_mul_pd(w_0, y_0)),
                        _mm256_mul_pd(w_1, y_1)),
          _mm256_mul_pd(w_2, y_2));
      total = _mm256_add_pd(total, sum);
      result = _mm256_cvtpd_ps(sum);
    }
    if (full) {
      _mm_storeu_ps(target + g, result);
    } else {
      _mm_maskstore_ps(target + g, live_floats, result);
    }
  }
  // No packed conversion to 64-bit integers before AVX-512.
  for (size_t lane = 0; lane < lanes; ++lane) {
    out.timestamps[g + lane] = seconds_to_us(rows.x[g + lane]);
  }
  const unsigned nan = bits(_mm256_cmp_pd(total, total, _CMP_UNORD_Q));
  return live_bits & ~(plain & ~nan);
}

VELMORA_AVX2_TARGET void cubic_rows_avx2_loop(const RowSources& in, const PendingRows& rows,
                                              const RowTargets& out, uint8_t* generic_groups) {
  for (size_t g = 0; g < rows.count; g += 8) {
    unsigned generic = cubic_quad(in, rows, out, g, std::min<size_t>(4, rows.count - g));
    if (g + 4 < rows.count) {
      generic |= cubic_quad(in, rows, out, g + 4, std::min<size_t>(4, rows.count - g - 4)) << 4;
    }
    generic_groups[g / 8] = static_cast<uint8_t>(generic);
  }
}

// The quotients by 1000 without dividing, as in grid_times_avx512.
VELMORA_AVX2_TARGET void grid_times_avx2_loop(uint64_t first, size_t n, double step_ms,
                                              double origin_ms, double* out) {
  const __m256d step = _mm256_set1_pd(step_ms);
  const __m256d origin = _mm256_set1_pd(origin_ms);
  const __m256d thousand = _mm256_set1_pd(1000.0);
  const __m256d reciprocal = _mm256_set1_pd(1.0 / 1000.0);
  size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const __m256d k =
        _mm256_setr_pd(static_cast<double>(first + j), static_cast<double>(first + j + 1),
                       static_cast<double>(first + j + 2), static_cast<double>(first + j + 3));
    const __m256d v = _mm256_add_pd(_mm256_mul_pd(k, step), origin);
    const __m256d size = magnitude(v);
    const unsigned exact = bits(_mm256_cmp_pd(size, _mm256_set1_pd(0x1p-900), _CMP_GE_OQ)) &
                           bits(_mm256_cmp_pd(size, _mm256_set1_pd(0x1p1000), _CMP_LE_OQ));
    __m256d x;
    if (exact == 0xF) [[likely]] {
      const __m256d q0 = _mm256_mul_pd(v, reciprocal);
      const __m256d r = _mm256_fnmadd_pd(q0, thousand, v);
      x = _mm256_fmadd_pd(r, reciprocal, q0);
    } else {
      x = _mm256_div_pd(v, thousand);
    }
    _mm256_storeu_pd(out + j, x);
  }
  for (; j < n; ++j) out[j] = (static_cast<double>(first + j) * step_ms + origin_ms) / 1000.0;
}

}  // namespace

bool cubic_rows_avx2(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                     uint8_t* generic_groups) {
  if (!has_avx2_units()) return false;
  cubic_rows_avx2_loop(in, rows, out, generic_groups);
  return true;
}

bool grid_times_avx2(uint64_t first, size_t n, double step_ms, double origin_ms, double* out) {
  if (!has_avx2_units()) return false;
  grid_times_avx2_loop(first, n, step_ms, origin_ms, out);
  return true;
}

#else

bool cubic_rows_avx2(const RowSources&, const PendingRows&, const RowTargets&, uint8_t*) {
  return false;
}

bool grid_times_avx2(uint64_t, size_t, double, double, double*) { return false; }

#endif

}  // namespace velmora
