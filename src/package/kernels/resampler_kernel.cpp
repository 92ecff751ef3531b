// The resampler's AVX-512 loops besides the rows (the grid and the following rows), and the
// choice among the builds of each. Every lane performs the scalar code's IEEE operations
// in the same order.
#include "package/kernels/resampler_kernel.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "package/kernels/vector_targets.hpp"

namespace velmora {

#if defined(__x86_64__)

namespace {

VELMORA_BEGIN_INTRINSICS

// Eight support flags of 1, one per byte.
constexpr uint64_t kSupportBytes = 0x0101010101010101u;

// Whether the division-free quotient below holds for every time of the block [first, first + n).
// With a positive step the times k * step + origin never decrease with k (each operation rounds
// monotonically), so the times at the block's ends bound all the others.
bool grid_block_divides_exactly(uint64_t first, size_t n, double step_ms, double origin_ms) {
  if (n == 0 || !(step_ms > 0.0)) return false;
  const double low = static_cast<double>(first) * step_ms + origin_ms;
  const double high = static_cast<double>(first + n - 1) * step_ms + origin_ms;
  return (low >= 0x1p-900 && high <= 0x1p1000) || (low >= -0x1p1000 && high <= -0x1p-900);
}

// Divides by 1000 without dividing: with y = RN(1/1000) and q0 = RN(v * y), the fused steps
// r = v - 1000 q0 (exact) and RN(q0 + r y) give the correctly rounded v / 1000 for every v whose
// magnitude lies between 2^-900 and 2^1000 (the argument of exact_quotients in sample_spread.cpp,
// for the whole divisor 1000). Blocks with another v, zeros included, divide.
VELMORA_AVX512_TARGET void grid_times_avx512(uint64_t first, size_t n, double step_ms,
                                             double origin_ms, double* out) {
  const __m512i lane_index = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  const __m512d step = _mm512_set1_pd(step_ms);
  const __m512d origin = _mm512_set1_pd(origin_ms);
  const __m512d thousand = _mm512_set1_pd(1000.0);
  const __m512d reciprocal = _mm512_set1_pd(1.0 / 1000.0);
  const bool all_exact = grid_block_divides_exactly(first, n, step_ms, origin_ms);
  for (size_t j = 0; j < n; j += 8) {
    const size_t lanes = std::min<size_t>(8, n - j);
    const auto live = static_cast<__mmask8>((1u << lanes) - 1u);
    const __m512i k =
        _mm512_add_epi64(_mm512_set1_epi64(static_cast<int64_t>(first + j)), lane_index);
    const __m512d v = _mm512_add_pd(_mm512_mul_pd(_mm512_cvtepu64_pd(k), step), origin);
    const __m512d magnitude = _mm512_abs_pd(v);
    __m512d x;
    if (all_exact ||
        (_mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(0x1p-900), _CMP_GE_OQ) &
         _mm512_cmp_pd_mask(magnitude, _mm512_set1_pd(0x1p1000), _CMP_LE_OQ)) == 0xFF) {
      const __m512d q0 = _mm512_mul_pd(v, reciprocal);
      const __m512d r = _mm512_fnmadd_pd(q0, thousand, v);
      x = _mm512_fmadd_pd(r, reciprocal, q0);
    } else {
      x = _mm512_div_pd(v, thousand);
    }
    if (lanes == 8) {
      _mm512_storeu_pd(out + j, x);
    } else {
      _mm512_mask_storeu_pd(out + j, live, x);
    }
  }
}

VELMORA_AVX512_TARGET size_t follow_samples_avx512(const double* times, size_t start, size_t end,
                                                   const double* x, size_t x_count, double end_time,
                                                   PendingRows& rows) {
  // Row m goes to slot start + 1 + m and needs an entry after its interval: start + m + 3 < end.
  const size_t room = std::min({x_count, PendingRows::kCapacity - rows.count,
                                end > start + 3 ? end - start - 3 : size_t{0}});
  const __m512d limit = _mm512_set1_pd(end_time);
  const double* starts_at = times + start + 1;
  double* x_out = &rows.x[rows.count];
  int64_t* slot_out = &rows.slot[rows.count];
  uint8_t* support_out = &rows.support[rows.count];
  __m512i slots = _mm512_add_epi64(_mm512_set1_epi64(static_cast<int64_t>(start)),
                                   _mm512_setr_epi64(1, 2, 3, 4, 5, 6, 7, 8));
  // The rows m with x[m] in (t[start + 1 + m], t[start + 2 + m]] and before the end, as a mask.
  const auto following = [&](__m512d points, __m512d starts, __m512d ends) VELMORA_AVX512_TARGET {
    return static_cast<unsigned>(_mm512_cmp_pd_mask(starts, points, _CMP_LT_OQ) &
                                 _mm512_cmp_pd_mask(points, ends, _CMP_LE_OQ) &
                                 // True for every point when there is no end (NaN).
                                 _mm512_cmp_pd_mask(points, limit, _CMP_NGE_UQ));
  };
  size_t taken = 0;
  unsigned follow = 0xFF;
  // Whole groups: all eight lanes are stored, and those after the run taken land in the margin
  // or in rows that are written later. A whole run goes on as a predicted branch, so the next
  // addresses need not wait for the comparisons.
  for (; taken + 8 <= room; taken += 8) {
    const __m512d points = _mm512_loadu_pd(x + taken);
    follow = following(points, _mm512_loadu_pd(starts_at + taken),
                       _mm512_loadu_pd(starts_at + taken + 1));
    _mm512_storeu_pd(x_out + taken, points);
    _mm512_storeu_si512(slot_out + taken, slots);
    std::memcpy(support_out + taken, &kSupportBytes, sizeof kSupportBytes);
    if (follow != 0xFF) [[unlikely]]
      break;
    slots = _mm512_add_epi64(slots, _mm512_set1_epi64(8));
  }
  if (follow == 0xFF && taken < room) {
    // Masked loads are slower on some processors; only the short end of a run takes them.
    const auto live = static_cast<__mmask8>((1u << (room - taken)) - 1u);
    const __m512d points = _mm512_maskz_loadu_pd(live, x + taken);
    follow = following(points, _mm512_maskz_loadu_pd(live, starts_at + taken),
                       _mm512_maskz_loadu_pd(live, starts_at + taken + 1)) &
             live;
    _mm512_storeu_pd(x_out + taken, points);
    _mm512_storeu_si512(slot_out + taken, slots);
    std::memcpy(support_out + taken, &kSupportBytes, sizeof kSupportBytes);
  }
  // The leading run of points that follow: the search would stop at the first other one.
  if (follow != 0xFF) taken += static_cast<size_t>(__builtin_ctz(~follow));
  rows.count += taken;
  return taken;
}

VELMORA_AVX512_TARGET bool all_below_avx512(const double* values, size_t n, double limit) {
  const __m512d bound = _mm512_set1_pd(limit);
  __mmask8 below = 0xFF;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    below &= _mm512_cmp_pd_mask(_mm512_abs_pd(_mm512_loadu_pd(values + i)), bound, _CMP_LT_OQ);
  }
  bool all = below == 0xFF;
  for (; i < n; ++i) all &= std::abs(values[i]) < limit;
  return all;
}

VELMORA_END_INTRINSICS

}  // namespace

bool wide_rows_supported() { return has_avx512_units() || has_avx2_units(); }

void cubic_rows_wide(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                     uint8_t* generic_groups) {
  if (cubic_rows_avx512(in, rows, out, generic_groups)) return;
  if (cubic_rows_avx2(in, rows, out, generic_groups)) return;
  for (size_t g = 0; g < rows.count; g += 8) generic_groups[g / 8] = 0xFF;
}

size_t follow_samples(const double* times, size_t start, size_t end, const double* x,
                      size_t x_count, double end_time, PendingRows& rows) {
  return has_avx512_units()
             ? follow_samples_avx512(times, start, end, x, x_count, end_time, rows)
             : follow_samples_portable(times, start, end, x, x_count, end_time, rows);
}

void grid_times(uint64_t first, size_t n, double step_ms, double origin_ms, double* out) {
  if (has_avx512_units()) {
    grid_times_avx512(first, n, step_ms, origin_ms, out);
  } else if (!grid_times_avx2(first, n, step_ms, origin_ms, out)) {
    grid_times_portable(first, n, step_ms, origin_ms, out);
  }
}

bool all_below(const double* values, size_t n, double limit) {
  return has_avx512_units() ? all_below_avx512(values, n, limit)
                            : all_below_portable(values, n, limit);
}

#else

bool wide_rows_supported() { return false; }

void cubic_rows_wide(const RowSources&, const PendingRows& rows, const RowTargets&,
                     uint8_t* generic_groups) {
  for (size_t g = 0; g < rows.count; g += 8) generic_groups[g / 8] = 0xFF;
}

void grid_times(uint64_t first, size_t n, double step_ms, double origin_ms, double* out) {
  grid_times_portable(first, n, step_ms, origin_ms, out);
}

size_t follow_samples(const double* times, size_t start, size_t end, const double* x,
                      size_t x_count, double end_time, PendingRows& rows) {
  return follow_samples_portable(times, start, end, x, x_count, end_time, rows);
}

bool all_below(const double* values, size_t n, double limit) {
  return all_below_portable(values, n, limit);
}

#endif

size_t follow_samples_portable(const double* times, size_t start, size_t end, const double* x,
                               size_t x_count, double end_time, PendingRows& rows) {
  size_t taken = 0;
  while (taken < x_count && rows.count < PendingRows::kCapacity && start + 3 < end) {
    const double point = x[taken];
    if (!(times[start + 1] < point && point <= times[start + 2] && !(point >= end_time))) break;
    rows.x[rows.count] = point;
    rows.slot[rows.count] = static_cast<int64_t>(start + 1);
    rows.support[rows.count] = 1;
    ++rows.count;
    ++taken;
    ++start;
  }
  return taken;
}

void grid_times_portable(uint64_t first, size_t n, double step_ms, double origin_ms, double* out) {
  for (size_t j = 0; j < n; ++j) {
    out[j] = (static_cast<double>(first + j) * step_ms + origin_ms) / 1000.0;
  }
}

bool all_below_portable(const double* values, size_t n, double limit) {
  bool all = true;
  for (size_t i = 0; i < n; ++i) all &= std::abs(values[i]) < limit;
  return all;
}

}  // namespace velmora
