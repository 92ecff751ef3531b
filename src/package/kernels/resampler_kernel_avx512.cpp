// The resampler's vector rows for processors with AVX-512: eight rows per instruction, each
// lane performing the generic row's IEEE operations in the same grouping, with no fused
// multiply-add, so the rows are bit-identical to it.
#include <algorithm>
#include <array>
#include <cstdint>

#include "package/kernels/resampler_kernel.hpp"
#include "package/kernels/vector_targets.hpp"
#include "packet/time_units.hpp"

namespace velmora {

#if defined(__x86_64__)

namespace {

VELMORA_BEGIN_INTRINSICS

// How a group's rows address their entries: consecutive slots take plain loads; slots spread
// over a few more (at packet joins, where a slot has no row or two) take two loads and a permute
// per window, which costs far less than a gather; rows farther apart are gathered.
enum class Slots { kConsecutive, kNear, kFar };

// A near group may span this many slots, so that every window lies in the 16 entries loaded
// from one before its lowest slot. An interval's start is at least two before the queue's end,
// so those loads reach at most 12 slots past it.
constexpr int64_t kNearSpan = 12;
static_assert(SampleQueue::kSlotsAfter >= 13);

// Where a group's rows find their entries.
struct GroupSlots {
  int64_t first;  // slot of the first row
  int64_t low;    // lowest and highest slot of the live rows
  int64_t high;
  __m512i index;   // slot of each row
  __m512i offset;  // for a near group: index - low + 1, the row's left neighbour in the 16
  __mmask8 live;
};

// The entries at slots index - 1 to index + 2 of the live rows. Lanes past the last row are not
// loaded from memory, except by near groups, whose loads stay inside the queue's readable margin.
struct Windows {
  __m512d m1, at0, at1, at2;
};

template <Slots kSlots>
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __m512d shifted(const double* values,
                                                                    const GroupSlots& at,
                                                                    __m512d low, __m512d high,
                                                                    int64_t shift) {
  if constexpr (kSlots == Slots::kConsecutive) {
    if (at.live == 0xFF) return _mm512_loadu_pd(values + at.first + shift);
    return _mm512_maskz_loadu_pd(at.live, values + at.first + shift);
  } else if constexpr (kSlots == Slots::kNear) {
    return _mm512_permutex2var_pd(low, _mm512_add_epi64(at.offset, _mm512_set1_epi64(shift)), high);
  } else {
    return _mm512_i64gather_pd(at.index, values + shift, 8);
  }
}

template <Slots kSlots>
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline Windows windows(const double* values,
                                                                    const GroupSlots& at) {
  __m512d low = _mm512_setzero_pd();
  __m512d high = _mm512_setzero_pd();
  if constexpr (kSlots == Slots::kNear) {
    low = _mm512_loadu_pd(values + at.low - 1);
    high = _mm512_loadu_pd(values + at.low + 7);
  }
  return {shifted<kSlots>(values, at, low, high, -1), shifted<kSlots>(values, at, low, high, 0),
          shifted<kSlots>(values, at, low, high, 1), shifted<kSlots>(values, at, low, high, 2)};
}

[[gnu::always_inline]] VELMORA_AVX512_TARGET inline void store_floats(float* out, __mmask8 live,
                                                                      __m256 values) {
  if (live == 0xFF) {
    _mm256_storeu_ps(out, values);
  } else {
    _mm256_mask_storeu_ps(out, live, values);
  }
}

// min(|a|, |b|) and max(|a|, |b|), one instruction each.
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __m512d least_magnitude(__m512d a, __m512d b) {
  return _mm512_range_pd(a, b, 0b1010);
}
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __m512d greatest_magnitude(__m512d a,
                                                                               __m512d b) {
  return _mm512_range_pd(a, b, 0b1011);
}

[[gnu::always_inline]] VELMORA_AVX512_TARGET inline __m512d negated(__m512d value) {
  return _mm512_xor_pd(value, _mm512_set1_pd(-0.0));
}

// Whether the cubic sums of the readings of a group's rows are known to round to the readings
// themselves, so that they need not be computed. They are when every row is a plain cubic
// (both neighbours, no degenerate denominator), each weight's magnitude stays below 2^18, so
// that their sum W stays below 2^20, and all the rows' entries lie in one run of equal readings
// (times within 2^60, each reading finite and nonzero, see StreamingResampler::mark_runs).
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
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline bool steady_readings(const RowSources& in,
                                                                         const GroupSlots& at,
                                                                         __mmask8 plain,
                                                                         __m512d w_m1, __m512d w_0,
                                                                         __m512d w_1, __m512d w_2) {
  if ((plain & at.live) != at.live) return false;
  const __m512d largest =
      greatest_magnitude(greatest_magnitude(w_m1, w_0), greatest_magnitude(w_1, w_2));
  const __mmask8 modest = _mm512_cmp_pd_mask(largest, _mm512_set1_pd(0x1p18), _CMP_LT_OQ);
  if ((modest & at.live) != at.live) return false;
  // Run numbers never decrease, so one run holds every entry from the lowest slot's left
  // neighbour to the highest slot's right one when it holds both ends.
  return in.run_ids[at.low - 1] == in.run_ids[at.high + 2];
}

// A group's rows: where their entries are, their cubic weights, and which are plain cubics.
struct GroupPlan {
  __m512d w_m1, w_0, w_1, w_2;
  GroupSlots at;
  __mmask8 plain;  // both neighbours, no degenerate denominator, no gap
  bool steady;     // readings may be stored as they are
};

// The weights and the timestamps of the group of rows starting at row g. `runs_apply` tells
// whether the rows have runs to take readings from and produce some reading.
template <Slots kSlots>
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline void plan_group(const RowSources& in,
                                                                    const PendingRows& rows,
                                                                    const RowTargets& out,
                                                                    bool runs_apply, size_t g,
                                                                    __m512d x, GroupPlan& plan) {
  const GroupSlots& at = plan.at;
  const __mmask8 live = at.live;
  const __m512i support_lanes =
      _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&rows.support[g])));
  const __mmask8 support = _mm512_test_epi64_mask(support_lanes, support_lanes);

  const auto [t_m1, t_0, t_1, t_2] = windows<kSlots>(in.times, at);
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
  const __m512d least = least_magnitude(least_magnitude(den_m1, q_0), least_magnitude(den_1, q_2));
  const __mmask8 degenerate =
      _mm512_cmp_pd_mask(least, _mm512_set1_pd(kDegenerateSpan), _CMP_LT_OQ);
  // The generic row's gap test, (t1 - t0) > 2 (t0 - t-1) and (t1 - t0) > 2 (t2 - t1), on the
  // negated differences: negating and doubling are exact, so d0_1 < 2 dm1_0 and d0_1 < 2 d1_2
  // are the same comparisons, NaN included.
  const __mmask8 gap = _mm512_cmp_pd_mask(d0_1, _mm512_add_pd(dm1_0, dm1_0), _CMP_LT_OQ) &
                       _mm512_cmp_pd_mask(d0_1, _mm512_add_pd(d1_2, d1_2), _CMP_LT_OQ);

  const __m512d a_m1 = _mm512_sub_pd(x, t_m1);
  const __m512d a_0 = _mm512_sub_pd(x, t_0);
  const __m512d a_1 = _mm512_sub_pd(x, t_1);
  const __m512d a_2 = _mm512_sub_pd(x, t_2);
  const __m512d am1_a0 = _mm512_mul_pd(a_m1, a_0);
  plan.w_m1 = _mm512_div_pd(_mm512_mul_pd(_mm512_mul_pd(a_0, a_1), a_2), den_m1);
  plan.w_0 = _mm512_div_pd(negated(_mm512_mul_pd(_mm512_mul_pd(a_m1, a_1), a_2)), q_0);
  plan.w_1 = _mm512_div_pd(_mm512_mul_pd(am1_a0, a_2), den_1);
  plan.w_2 = _mm512_div_pd(negated(_mm512_mul_pd(am1_a0, a_1)), q_2);
  plan.plain = support & ~degenerate & ~gap;
  plan.steady =
      runs_apply && steady_readings(in, at, plan.plain, plan.w_m1, plan.w_0, plan.w_1, plan.w_2);

  // The conversion gives INT64_MIN for NaN and out of range; the scalar one saturates instead.
  const __m512i us = _mm512_cvttpd_epi64(_mm512_mul_pd(x, _mm512_set1_pd(1000000.0)));
  if (live == 0xFF) {
    _mm512_storeu_si512(out.timestamps + g, us);
  } else {
    _mm512_mask_storeu_epi64(out.timestamps + g, live, us);
  }
  const __mmask8 indefinite = _mm512_cmpeq_epi64_mask(us, _mm512_set1_epi64(INT64_MIN));
  if ((indefinite & live) != 0) [[unlikely]] {
    for (size_t lane = 0; lane < 8; ++lane) {
      if ((live >> lane) & 1u) out.timestamps[g + lane] = seconds_to_us(rows.x[g + lane]);
    }
  }
}

// The common channels of the group of rows starting at row g; returns the mask of rows that
// need the generic row.
template <Slots kSlots>
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline unsigned interpolate_group(
    const RowSources& in, const RowTargets& out, size_t g, const GroupPlan& plan) {
  const GroupSlots& at = plan.at;
  // A NaN in any sum makes their total NaN (and so may an overflow, which the generic row then
  // settles correctly). Decoded entries cannot make one: times below 2^44 in magnitude keep each
  // numerator below 2^135 and, over a denominator of at least 1e-12, each weight below 2^175;
  // finite float values (below 2^128) then keep every term and sum below 2^306.
  __m512d total = _mm512_setzero_pd();
  for (size_t channel = 0; channel < kCommonChannels; ++channel) {
    float* target = out.values[channel];
    if (target == nullptr) continue;
    const double* values = in.values[channel];
    if (plan.steady && channel >= kFirstQueueReading) {
      // Every entry of the group holds the same reading.
      store_floats(target + g, at.live, _mm256_set1_ps(static_cast<float>(values[at.low])));
      continue;
    }
    const auto [y_m1, y_0, y_1, y_2] = windows<kSlots>(values, at);
    const __m512d sum = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(plan.w_m1, y_m1), _mm512_mul_pd(plan.w_0, y_0)),
                      _mm512_mul_pd(plan.w_1, y_1)),
        _mm512_mul_pd(plan.w_2, y_2));
    if (!in.decoded) total = _mm512_add_pd(total, sum);
    store_floats(target + g, at.live, _mm512_cvtpd_ps(sum));
  }
  const __mmask8 nan = in.decoded ? __mmask8{0} : _mm512_cmp_pd_mask(total, total, _CMP_UNORD_Q);
  return at.live & ~(plan.plain & ~nan);
}

// Where the group of rows starting at row g finds its entries.
VELMORA_AVX512_TARGET inline Slots locate_group(const PendingRows& rows, size_t count, size_t g,
                                                GroupSlots& at) {
  const size_t lanes = std::min<size_t>(8, count - g);
  at.live = static_cast<__mmask8>((1u << lanes) - 1u);
  at.first = rows.slot[g];
  // Lanes past the last row repeat the first one, so every load stays inside the queue.
  at.index = _mm512_mask_loadu_epi64(_mm512_set1_epi64(at.first), at.live, &rows.slot[g]);
  const __m512i in_order =
      _mm512_add_epi64(_mm512_set1_epi64(at.first), _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
  if ((_mm512_cmpeq_epi64_mask(at.index, in_order) & at.live) == at.live) {
    at.low = at.first;
    at.high = at.first + static_cast<int64_t>(lanes) - 1;
    return Slots::kConsecutive;
  }
  at.low = _mm512_reduce_min_epi64(at.index);
  at.high = _mm512_reduce_max_epi64(at.index);
  if (at.high - at.low > kNearSpan) return Slots::kFar;
  at.offset = _mm512_sub_epi64(at.index, _mm512_set1_epi64(at.low - 1));
  return Slots::kNear;
}

template <Slots kSlots>
[[gnu::always_inline]] VELMORA_AVX512_TARGET inline unsigned cubic_group(const RowSources& in,
                                                                         const PendingRows& rows,
                                                                         const RowTargets& out,
                                                                         bool runs_apply, size_t g,
                                                                         GroupPlan& plan) {
  const __m512d x = _mm512_mask_loadu_pd(_mm512_set1_pd(rows.x[g]), plan.at.live, &rows.x[g]);
  plan_group<kSlots>(in, rows, out, runs_apply, g, x, plan);
  return interpolate_group<kSlots>(in, out, g, plan);
}

VELMORA_AVX512_TARGET void cubic_rows_avx512_loop(const RowSources& sources,
                                                  const PendingRows& rows,
                                                  const RowTargets& targets,
                                                  uint8_t* generic_groups) {
  // Copies that no store can alias: the byte stores below would otherwise make the compiler
  // reload every pointer for each group.
  const RowSources in = sources;
  const RowTargets out = targets;
  const size_t count = rows.count;
  const bool runs_apply = in.run_ids != nullptr && any_reading(out);
  for (size_t g = 0; g < count; g += 8) {
    GroupPlan plan;
    unsigned generic = 0;
    switch (locate_group(rows, count, g, plan.at)) {
      case Slots::kConsecutive:
        generic = cubic_group<Slots::kConsecutive>(in, rows, out, runs_apply, g, plan);
        break;
      case Slots::kNear:
        generic = cubic_group<Slots::kNear>(in, rows, out, runs_apply, g, plan);
        break;
      case Slots::kFar:
        generic = cubic_group<Slots::kFar>(in, rows, out, runs_apply, g, plan);
        break;
    }
    generic_groups[g / 8] = static_cast<uint8_t>(generic);
  }
}

VELMORA_END_INTRINSICS

}  // namespace

bool cubic_rows_avx512(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                       uint8_t* generic_groups) {
  if (!has_avx512_units()) return false;
  cubic_rows_avx512_loop(in, rows, out, generic_groups);
  return true;
}

#else

bool cubic_rows_avx512(const RowSources&, const PendingRows&, const RowTargets&, uint8_t*) {
  return false;
}

#endif

}  // namespace velmora
