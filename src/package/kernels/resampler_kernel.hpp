// Resampler loops that run eight rows, grid points or samples per instruction on processors with
// AVX-512 (rows and grid times four at a time with AVX2), each lane performing the scalar code's
// IEEE operations in the same order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "package/resample/pending_rows.hpp"
#include "package/resample/sample_queue.hpp"

namespace velmora {

// The queue's times, common channels and runs of equal readings (SampleQueue::run_ids), indexed
// by slot. Without runs (null) every reading is interpolated.
struct RowSources {
  const double* times;
  std::array<const double*, kCommonChannels> values;
  const int64_t* run_ids = nullptr;
  // Whether the entries are known to be decoded samples (StagedFacts::decoded): then no cubic
  // sum can be NaN, so none needs checking.
  bool decoded = false;
};

// The first of the pending rows' places in the output; a null channel is not produced.
struct RowTargets {
  int64_t* timestamps;
  std::array<float*, kCommonChannels> values;
};

// Whether the rows produce some reading, which a steady run then gives as it is.
inline bool any_reading(const RowTargets& out) {
  for (size_t channel = kFirstQueueReading; channel < kCommonChannels; ++channel) {
    if (out.values[channel] != nullptr) return true;
  }
  return false;
}

// Whether cubic_rows_wide can run on this processor.
bool wide_rows_supported();

// Writes the timestamps and common channels of every pending row (each grid point inside its
// interval), interpolated by the cubic rule, and sets bit j % 8 of generic_groups[j / 8] for each
// row j that the cubic rule does not cover alone (no entries on both sides, a degenerate support, a
// gap: an interval more than twice as long as both its neighbours, a NaN result). Those rows'
// values are then meaningless and must be written by the generic row.
void cubic_rows_wide(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                     uint8_t* generic_groups);
// The builds behind it, for tests that compare them: eight rows per instruction with AVX-512,
// four with AVX2. Each returns false, writing nothing, on a processor without its instructions.
bool cubic_rows_avx512(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                       uint8_t* generic_groups);
bool cubic_rows_avx2(const RowSources& in, const PendingRows& rows, const RowTargets& out,
                     uint8_t* generic_groups);

// Takes grid points x[0..x_count) for as long as they fall one each into the intervals after
// the one at slot `start`: t[start + 1 + m] < x[m] <= t[start + 2 + m], with an entry after each
// interval (slots below `end`) and every point before `end_time` (NaN for none). The search
// would find exactly these intervals without waiting. Appends the rows to `rows` while it has
// room and returns how many it took.
size_t follow_samples(const double* times, size_t start, size_t end, const double* x,
                      size_t x_count, double end_time, PendingRows& rows);
size_t follow_samples_portable(const double* times, size_t start, size_t end, const double* x,
                               size_t x_count, double end_time, PendingRows& rows);

// out[j] = the time of grid point first + j: ((first + j) * step_ms + origin_ms) / 1000.0.
void grid_times(uint64_t first, size_t n, double step_ms, double origin_ms, double* out);
void grid_times_portable(uint64_t first, size_t n, double step_ms, double origin_ms, double* out);
bool grid_times_avx2(uint64_t first, size_t n, double step_ms, double origin_ms, double* out);

// Whether every |values[i]| for i < n is below `limit` (false for NaN).
bool all_below(const double* values, size_t n, double limit);
bool all_below_portable(const double* values, size_t n, double limit);

}  // namespace velmora
