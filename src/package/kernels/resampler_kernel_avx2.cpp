// The resampler's vector rows and grid times for processors with AVX2 but without AVX-512: four
// rows per instruction, each lane performing the generic row's IEEE operations in the same
// grouping, with no fused multiply-add outside the exact quotients of the grid.
#include <algorithm>
#include <cmath>

#include "package/kernels/resampler_kernel.hpp"
#include "package/kernels/vector_targets.hpp"
#include "packet/time_units.hpp"

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

// Where a quad's rows stand: their slots, their grid times and which of them have entries on
// both sides of their interval.
struct Quad {
  size_t g;            // the first row
  size_t lanes;        // live rows, at most four
  bool full;           // all four lanes live
  unsigned live_bits;  // one bit per live lane
  __m256i live;        // the live lanes as a load or store mask
  int64_t first;       // the slot of the first row
  __m256i index;       // the slots, lanes past the last row repeating the first one
  bool consecutive;    // the live rows' slots follow one another
  __m256d x;           // the grid times
  unsigned support;    // rows with entries on both sides of their interval
};

[[gnu::always_inline]] VELMORA_AVX2_TARGET inline Quad locate_quad(const PendingRows& rows,
                                                                   size_t g, size_t lanes) {
  Quad q;
  q.g = g;
  q.lanes = lanes;
  q.full = lanes == 4;
  q.live_bits = (1u << lanes) - 1u;
  q.live = lane_mask(lanes);
  q.first = rows.slot[g];
  // Lanes past the last row repeat the first one, so every load stays inside the queue.
  const __m256i loaded =
      _mm256_maskload_epi64(reinterpret_cast<const long long*>(&rows.slot[g]), q.live);
  q.index = _mm256_blendv_epi8(_mm256_set1_epi64x(q.first), loaded, q.live);
  const __m256i in_order = _mm256_cmpeq_epi64(
      q.index, _mm256_add_epi64(_mm256_set1_epi64x(q.first), _mm256_setr_epi64x(0, 1, 2, 3)));
  q.consecutive = (bits(_mm256_castsi256_pd(in_order)) & q.live_bits) == q.live_bits;
  q.x = _mm256_blendv_pd(_mm256_set1_pd(rows.x[g]), _mm256_maskload_pd(&rows.x[g], q.live),
                         _mm256_castsi256_pd(q.live));
  q.support = 0;
  for (size_t lane = 0; lane < lanes; ++lane) {
    q.support |= (rows.support[g + lane] != 0 ? 1u : 0u) << lane;
  }
  return q;
}

// The entries at slots index + offset of a quad's rows.
[[gnu::always_inline]] VELMORA_AVX2_TARGET inline __m256d quad_window(const double* values,
                                                                      const Quad& q) {
  return window(values, q.first, q.index, q.live, q.full, q.consecutive);
}

// The Lagrange weights of a quad's rows, and the rows the cubic rule takes as they are.
struct QuadWeights {
  __m256d w_m1, w_0, w_1, w_2;
  unsigned plain;  // rows with support, no degenerate denominator and no gap
};

[[gnu::always_inline]] VELMORA_AVX2_TARGET inline QuadWeights quad_weights(const double* times,
                                                                           const Quad& q) {
  const __m256d t_m1 = quad_window(times - 1, q);
  const __m256d t_0 = quad_window(times, q);
  const __m256d t_1 = quad_window(times + 1, q);
  const __m256d t_2 = quad_window(times + 2, q);
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

  const __m256d a_m1 = _mm256_sub_pd(q.x, t_m1);
  const __m256d a_0 = _mm256_sub_pd(q.x, t_0);
  const __m256d a_1 = _mm256_sub_pd(q.x, t_1);
  const __m256d a_2 = _mm256_sub_pd(q.x, t_2);
  const __m256d am1_a0 = _mm256_mul_pd(a_m1, a_0);
  const __m256d sign = _mm256_set1_pd(-0.0);
  QuadWeights w;
  w.w_m1 = _mm256_div_pd(_mm256_mul_pd(_mm256_mul_pd(a_0, a_1), a_2), den_m1);
  w.w_0 = _mm256_div_pd(_mm256_xor_pd(_mm256_mul_pd(_mm256_mul_pd(a_m1, a_1), a_2), sign), q_0);
  w.w_1 = _mm256_div_pd(_mm256_mul_pd(am1_a0, a_2), den_1);
  w.w_2 = _mm256_div_pd(_mm256_xor_pd(_mm256_mul_pd(am1_a0, a_1), sign), q_2);
  w.plain = q.support & ~degenerate & ~gap & q.live_bits;
  return w;
}

// Whether every row of the quad may take its readings as they are: all plain, modest weights,
// and one run of equal readings over every entry the rows read.
[[gnu::always_inline]] VELMORA_AVX2_TARGET inline bool steady_quad(const RowSources& in,
                                                                   const PendingRows& rows,
                                                                   const RowTargets& out,
                                                                   const Quad& q,
                                                                   const QuadWeights& w) {
  if (in.run_ids == nullptr || !any_reading(out) || w.plain != q.live_bits) return false;
  const __m256d spread = _mm256_add_pd(
      _mm256_add_pd(_mm256_add_pd(magnitude(w.w_m1), magnitude(w.w_0)), magnitude(w.w_1)),
      magnitude(w.w_2));
  const unsigned modest = bits(_mm256_cmp_pd(spread, _mm256_set1_pd(0x1p20), _CMP_LT_OQ));
  if ((modest & q.live_bits) != q.live_bits) return false;
  int64_t low = rows.slot[q.g];
  int64_t high = rows.slot[q.g];
  for (size_t lane = 1; lane < q.lanes; ++lane) {
    low = std::min(low, rows.slot[q.g + lane]);
    high = std::max(high, rows.slot[q.g + lane]);
  }
  return in.run_ids[low - 1] == in.run_ids[high + 2];
}

// Writes the common channels of a quad's rows; returns the sum of their cubic sums, NaN when any
// of them is.
[[gnu::always_inline]] VELMORA_AVX2_TARGET inline __m256d interpolate_quad(
    const RowSources& in, const RowTargets& out, const Quad& q, const QuadWeights& w, bool steady) {
  const __m128i live_floats = _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(q.live, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7)));
  __m256d total = _mm256_setzero_pd();
  for (size_t channel = 0; channel < kCommonChannels; ++channel) {
    float* target = out.values[channel];
    if (target == nullptr) continue;
    const double* values = in.values[channel];
    __m128 result;
    if (steady && channel >= kFirstQueueReading) {
      result = _mm256_cvtpd_ps(quad_window(values, q));
    } else {
      const __m256d y_m1 = quad_window(values - 1, q);
      const __m256d y_0 = quad_window(values, q);
      const __m256d y_1 = quad_window(values + 1, q);
      const __m256d y_2 = quad_window(values + 2, q);
      const __m256d sum = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(w.w_m1, y_m1), _mm256_mul_pd(w.w_0, y_0)),
                        _mm256_mul_pd(w.w_1, y_1)),
          _mm256_mul_pd(w.w_2, y_2));
      total = _mm256_add_pd(total, sum);
      result = _mm256_cvtpd_ps(sum);
    }
    if (q.full) {
      _mm_storeu_ps(target + q.g, result);
    } else {
      _mm_maskstore_ps(target + q.g, live_floats, result);
    }
  }
  return total;
}

// The rows g .. g + lanes - 1 (at most four); returns the rows that need the generic row. The
// steps and the argument for steady readings are those of the AVX-512 rows in
// resampler_kernel_avx512.cpp.
VELMORA_AVX2_TARGET unsigned cubic_quad(const RowSources& in, const PendingRows& rows,
                                        const RowTargets& out, size_t g, size_t lanes) {
  const Quad q = locate_quad(rows, g, lanes);
  const QuadWeights w = quad_weights(in.times, q);
  const bool steady = steady_quad(in, rows, out, q, w);
  const __m256d total = interpolate_quad(in, out, q, w, steady);
  // No packed conversion to 64-bit integers before AVX-512.
  for (size_t lane = 0; lane < lanes; ++lane) {
    out.timestamps[g + lane] = seconds_to_us(rows.x[g + lane]);
  }
  const unsigned nan = bits(_mm256_cmp_pd(total, total, _CMP_UNORD_Q));
  return q.live_bits & ~(w.plain & ~nan);
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
