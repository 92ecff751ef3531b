// Counting samples at an accelerometer's range limit, in one pass over the three axes.
#pragma once

#include <cstddef>

namespace velmora {

// Returns how many of the `rows` samples have an axis whose magnitude is at least `limit`
// (NaN never counts).
size_t count_at_limit(const float* x, const float* y, const float* z, size_t rows, float limit);

}  // namespace velmora
