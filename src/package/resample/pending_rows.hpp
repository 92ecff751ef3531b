// The rows that the resampler's search has found and its row kernels interpolate: the one record
// the two share, so that the kernels need nothing else of the resampler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora {

// Interpolation falls back to linear when a cubic denominator, or the interval, is shorter.
inline constexpr double kDegenerateSpan = 1e-12;

// Grid rows found by the search and not yet interpolated: the grid time and the queue slot of
// the interval start, and whether entries exist on both sides of the interval for a cubic.
struct PendingRows {
  static constexpr size_t kCapacity = 256;
  // Aligned so that each group of eight rows is one cache line, with a margin for writes of
  // eight rows at once.
  alignas(64) std::array<double, kCapacity + 8> x;
  alignas(64) std::array<int64_t, kCapacity + 8> slot;
  alignas(64) std::array<uint8_t, kCapacity + 8> support;
  size_t count = 0;
};

}  // namespace velmora
