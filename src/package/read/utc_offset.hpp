// Device-clock microseconds moved to UTC by the caller's fixed offset: the one rule that the
// DataFrame's index and the CSV times share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/read/column.hpp"

namespace velmora {

// Subtracts the offset with wrap-around: no decoded time comes near the 64-bit limits, and no
// offset may make the subtraction undefined.
inline int64_t to_utc_us(int64_t device_us, int64_t offset_us) {
  return static_cast<int64_t>(static_cast<uint64_t>(device_us) - static_cast<uint64_t>(offset_us));
}

// Moves a whole timestamp column in one pass.
inline void shift_to_utc(Column<int64_t>& timestamps, int64_t offset_us) {
  int64_t* values = timestamps.data();
  const size_t rows = timestamps.size();
  for (size_t i = 0; i < rows; ++i) values[i] = to_utc_us(values[i], offset_us);
}

}  // namespace velmora
