// Seconds on the device clock as the microsecond timestamps that every output carries.
#pragma once

#include <cstdint>

namespace velmora {

// Seconds to microseconds: multiply, truncate toward zero, saturate; NaN gives 0.
int64_t seconds_to_us(double seconds);

}  // namespace velmora
