// CwaDataResult: the column-wise result of every read, the table of its channels, and the
// channel selection.
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

// Where a channel's values come from: a sensor axis of the samples, or a per-packet reading.
enum class ChannelKind : uint8_t { kAccelerometer, kGyroscope, kMagnetometer, kReading };

struct AccelerometerColumnField {
  std::string_view name;
  Column<float> CwaDataResult::*member;
};

struct OptionalColumnField {
  std::string_view name;
  OptionalColumn CwaDataResult::*member;
  ChannelKind kind;

  bool is_motion() const {
    return kind == ChannelKind::kGyroscope || kind == ChannelKind::kMagnetometer;
  }
};

// The channel table: every column after the timestamps, in output order (the DataFrame's and the
// CSV's). The accelerometer columns are always there; the others only when they hold values.
inline constexpr std::array<AccelerometerColumnField, 3> kAccelerometerColumns = {{
    {"acc_x", &CwaDataResult::acc_x},
    {"acc_y", &CwaDataResult::acc_y},
    {"acc_z", &CwaDataResult::acc_z},
}};
inline constexpr std::array<OptionalColumnField, 9> kOptionalColumns = {{
    {"gyro_x", &CwaDataResult::gyro_x, ChannelKind::kGyroscope},
    {"gyro_y", &CwaDataResult::gyro_y, ChannelKind::kGyroscope},
    {"gyro_z", &CwaDataResult::gyro_z, ChannelKind::kGyroscope},
    {"mag_x", &CwaDataResult::mag_x, ChannelKind::kMagnetometer},
    {"mag_y", &CwaDataResult::mag_y, ChannelKind::kMagnetometer},
    {"mag_z", &CwaDataResult::mag_z, ChannelKind::kMagnetometer},
    {"temperature", &CwaDataResult::temperature, ChannelKind::kReading},
    {"light", &CwaDataResult::light, ChannelKind::kReading},
    {"battery", &CwaDataResult::battery, ChannelKind::kReading},
}};
// Where the readings start in kOptionalColumns.
inline constexpr size_t kFirstReadingColumn = 6;

// Bit pattern 0x7FC00000: the quiet NaN that marks a missing value.
inline constexpr float kMissingValue = __builtin_nanf("");

}  // namespace velmora
