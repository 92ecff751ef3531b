// The clipping count: branch-free, so the compiler vectorises the pass over the columns.
#include "package/kernels/clip_count.hpp"

#include <cmath>

namespace velmora {

size_t count_at_limit(const float* x, const float* y, const float* z, size_t rows, float limit) {
  size_t count = 0;
  for (size_t i = 0; i < rows; ++i) {
    const bool at_limit =
        std::fabs(x[i]) >= limit || std::fabs(y[i]) >= limit || std::fabs(z[i]) >= limit;
    count += at_limit ? 1 : 0;
  }
  return count;
}

}  // namespace velmora
