// The one seconds-to-microseconds conversion: saturating, so no time a file holds is UB.
#include "packet/time_units.hpp"

#include <cmath>

namespace velmora {

namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;

}  // namespace

int64_t seconds_to_us(double seconds) {
  const double us = seconds * 1000000.0;
  if (std::isnan(us)) return 0;
  if (us >= kTwoTo63) return INT64_MAX;
  if (us < -kTwoTo63) return INT64_MIN;
  return static_cast<int64_t>(us);
}

}  // namespace velmora
