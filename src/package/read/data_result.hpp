// CwaDataResult: the column-wise result of every read, and the channel selection.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "package/read/column.hpp"

namespace velmora {

struct ChannelSelection {
  bool include_magnetometer = true;
  bool include_temperature = true;
  bool include_light = true;
  bool include_battery = true;
};

using OptionalColumn = std::optional<Column<float>>;

struct CwaDataResult {
  Column<int64_t> timestamps;  // microseconds on the device clock
  Column<float> acc_x;
  Column<float> acc_y;
  Column<float> acc_z;
  OptionalColumn gyro_x;
  OptionalColumn gyro_y;
  OptionalColumn gyro_z;
  OptionalColumn mag_x;
  OptionalColumn mag_y;
  OptionalColumn mag_z;
  OptionalColumn temperature;
  OptionalColumn light;
  OptionalColumn battery;

  size_t rows() const { return timestamps.size(); }
};

struct OptionalColumnField {
  std::string_view name;
  OptionalColumn CwaDataResult::*member;
};

// The optional columns in output order.
inline constexpr std::array<OptionalColumnField, 9> kOptionalColumns = {{
    {"gyro_x", &CwaDataResult::gyro_x},
    {"gyro_y", &CwaDataResult::gyro_y},
    {"gyro_z", &CwaDataResult::gyro_z},
    {"mag_x", &CwaDataResult::mag_x},
    {"mag_y", &CwaDataResult::mag_y},
    {"mag_z", &CwaDataResult::mag_z},
    {"temperature", &CwaDataResult::temperature},
    {"light", &CwaDataResult::light},
    {"battery", &CwaDataResult::battery},
}};

// Bit pattern 0x7FC00000: the quiet NaN that marks a missing value.
inline constexpr float kMissingValue = __builtin_nanf("");

// Appends one optional per-sample value to the row `row_index` (= rows - 1). A column comes
// into being at its first present value, with NaN in every earlier row.
inline void append_sensor_value(OptionalColumn& column, bool present, size_t row_index,
                                float value) {
  if (!column) {
    if (!present) return;
    column.emplace();
    column->append_fill(kMissingValue, row_index);
    column->push_back(value);
    return;
  }
  column->push_back(present ? value : kMissingValue);
}

}  // namespace velmora
