// CwaDataResult and the channel table: the one place where the channels are written down. A new
// channel is a member and a row here, and its decode: a per-packet reading in
// decode/sample_decode.hpp, a sensor axis in decode/packet_samples.cpp. Every reader, writer and
// builder iterates the table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "errors/messages.hpp"
#include "package/read/column.hpp"
#include "packet/sample_format.hpp"

namespace velmora {

// The flags of the channel arguments; which channels a flag asks for is the table's business.
enum class ChannelFlag : uint8_t { kAlways, kMagnetometer, kTemperature, kLight, kBattery };

struct ChannelSelection {
  bool include_magnetometer = true;
  bool include_temperature = true;
  bool include_light = true;
  bool include_battery = true;

  constexpr bool includes(ChannelFlag flag) const {
    switch (flag) {
      case ChannelFlag::kMagnetometer:
        return include_magnetometer;
      case ChannelFlag::kTemperature:
        return include_temperature;
      case ChannelFlag::kLight:
        return include_light;
      case ChannelFlag::kBattery:
        return include_battery;
      case ChannelFlag::kAlways:
        break;
    }
    return true;
  }
};

// The sensors whose axes a packet may carry.
enum class Sensor : uint8_t { kAccelerometer, kGyroscope, kMagnetometer };

constexpr bool carries(const SampleFormat& format, Sensor sensor) {
  switch (sensor) {
    case Sensor::kGyroscope:
      return format.gyro;
    case Sensor::kMagnetometer:
      return format.mag;
    case Sensor::kAccelerometer:
      break;
  }
  return true;
}

// A sensor's bit in a mask of sensors.
constexpr uint8_t sensor_bit(Sensor sensor) {
  return static_cast<uint8_t>(1u << static_cast<unsigned>(sensor));
}

using OptionalColumn = std::optional<Column<float>>;

// The columns of a read, after the timestamps. A column every packet has and every selection
// includes (the accelerometer's) is always engaged; the others only when they hold values.
struct CwaDataResult {
  CwaDataResult();

  Column<int64_t> timestamps;  // microseconds on the device clock
  OptionalColumn acc_x;
  OptionalColumn acc_y;
  OptionalColumn acc_z;
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

// One channel: its column, where its values come from, and what asks for it.
struct ChannelRow {
  std::string_view name;
  OptionalColumn CwaDataResult::*member;
  bool reading;       // a per-packet reading, the same for every sample of a packet; else an axis
  Sensor sensor;      // the axis' sensor, whose presence in a packet it follows
  ChannelFlag flag;   // the argument that asks for it
  ErrorCode missing;  // a reading's failure when it is asked for but the result lacks it
};

constexpr ChannelRow axis(std::string_view name, OptionalColumn CwaDataResult::*member,
                          Sensor sensor, ChannelFlag flag = ChannelFlag::kAlways) {
  return {name, member, false, sensor, flag, ErrorCode{}};
}
constexpr ChannelRow reading(std::string_view name, OptionalColumn CwaDataResult::*member,
                             ChannelFlag flag, ErrorCode missing) {
  return {name, member, true, Sensor::kAccelerometer, flag, missing};
}

// The channel table, in output order (the DataFrame's and the CSV's).
inline constexpr std::array kChannels = {
    axis("acc_x", &CwaDataResult::acc_x, Sensor::kAccelerometer),
    axis("acc_y", &CwaDataResult::acc_y, Sensor::kAccelerometer),
    axis("acc_z", &CwaDataResult::acc_z, Sensor::kAccelerometer),
    axis("gyro_x", &CwaDataResult::gyro_x, Sensor::kGyroscope),
    axis("gyro_y", &CwaDataResult::gyro_y, Sensor::kGyroscope),
    axis("gyro_z", &CwaDataResult::gyro_z, Sensor::kGyroscope),
    axis("mag_x", &CwaDataResult::mag_x, Sensor::kMagnetometer, ChannelFlag::kMagnetometer),
    axis("mag_y", &CwaDataResult::mag_y, Sensor::kMagnetometer, ChannelFlag::kMagnetometer),
    axis("mag_z", &CwaDataResult::mag_z, Sensor::kMagnetometer, ChannelFlag::kMagnetometer),
    reading("temperature", &CwaDataResult::temperature, ChannelFlag::kTemperature,
            ErrorCode::kTemperatureUnavailable),
    reading("light", &CwaDataResult::light, ChannelFlag::kLight, ErrorCode::kLightUnavailable),
    reading("battery", &CwaDataResult::battery, ChannelFlag::kBattery,
            ErrorCode::kBatteryUnavailable),
};
inline constexpr size_t kChannelCount = kChannels.size();

// What follows from the table.

// Whether every packet has the channel's values: a reading, or an axis of a sensor that every
// sample format carries. The other channels are the motion channels, present packet by packet.
constexpr bool in_every_packet(const ChannelRow& row) {
  if (row.reading) return true;
  for (const SampleFormat& format : kSampleFormats) {
    if (!carries(format, row.sensor)) return false;
  }
  return true;
}

constexpr size_t count_channels(bool reading) {
  size_t count = 0;
  for (const ChannelRow& row : kChannels) count += row.reading == reading ? 1u : 0u;
  return count;
}
// A packet's sensor axes: the axis rows in table order, by their slot in decoded arrays (the
// axes come first in the table, so an axis' slot is its row).
inline constexpr size_t kSensorAxes = count_channels(false);
// A packet's readings, by their slot in PacketReadings.
inline constexpr size_t kReadingCount = count_channels(true);

// Returns the row named `name`; naming no channel does not compile.
consteval size_t channel_index(std::string_view name) {
  for (size_t c = 0; c < kChannelCount; ++c) {
    if (kChannels[c].name == name) return c;
  }
  throw "no such channel";
}
// Returns a row's slot among the rows of its kind (axes or readings).
constexpr size_t kind_slot(size_t c) {
  size_t slot = 0;
  for (size_t before = 0; before < c; ++before) {
    slot += kChannels[before].reading == kChannels[c].reading ? 1u : 0u;
  }
  return slot;
}
consteval size_t axis_slot(std::string_view name) {
  if (kChannels[channel_index(name)].reading) throw "not a sensor axis";
  return kind_slot(channel_index(name));
}
consteval size_t reading_slot(std::string_view name) {
  if (!kChannels[channel_index(name)].reading) throw "not a reading";
  return kind_slot(channel_index(name));
}

// Calls f(std::integral_constant<size_t, c>{}) for every row c in table order, so that the row's
// properties are constants in f and per-sample code pays for no lookup.
template <class F, size_t... C>
constexpr void for_each_channel(F&& f, std::index_sequence<C...>) {
  (f(std::integral_constant<size_t, C>{}), ...);
}
template <class F>
constexpr void for_each_channel(F&& f) {
  for_each_channel(f, std::make_index_sequence<kChannelCount>{});
}

// The sensors of a format's packet whose axes are read: carried, and their channels asked for.
// Called once per packet, so each row's test folds to a flag or two.
constexpr uint8_t present_sensors(const SampleFormat& format, ChannelSelection channels) {
  uint8_t sensors = 0;
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (!row.reading) {
      if (carries(format, row.sensor) && channels.includes(row.flag)) {
        sensors |= sensor_bit(row.sensor);
      }
    }
  });
  return sensors;
}

// The sensors not in every packet: those of the motion channels.
inline constexpr uint8_t kMotionSensors = [] {
  uint8_t sensors = 0;
  for (const ChannelRow& row : kChannels) {
    if (!in_every_packet(row)) sensors |= sensor_bit(row.sensor);
  }
  return sensors;
}();

// The CSV writes a packet's readings as one text after the sensor values.
constexpr bool readings_last() {
  for (size_t c = kSensorAxes; c < kChannelCount; ++c) {
    if (!kChannels[c].reading) return false;
  }
  return true;
}
static_assert(readings_last(), "readings follow every sensor axis in the table");
// A packet's sensor is read whole or not at all.
constexpr bool one_flag_per_sensor() {
  for (const ChannelRow& a : kChannels) {
    for (const ChannelRow& b : kChannels) {
      if (!a.reading && !b.reading && a.sensor == b.sensor && a.flag != b.flag) return false;
    }
  }
  return true;
}
static_assert(one_flag_per_sensor(), "the axes of a sensor share their flag");
// The decode writes the axes of every sensor a format carries (see SampleSlots).
constexpr bool every_packet_axis_always() {
  for (const ChannelRow& row : kChannels) {
    if (!row.reading && in_every_packet(row) && row.flag != ChannelFlag::kAlways) return false;
  }
  return true;
}
static_assert(every_packet_axis_always(), "an axis every packet has is always asked for");

inline CwaDataResult::CwaDataResult() {
  for (const ChannelRow& row : kChannels) {
    if (in_every_packet(row) && row.flag == ChannelFlag::kAlways) (this->*row.member).emplace();
  }
}

// Bit pattern 0x7FC00000: the quiet NaN that marks a missing value.
inline constexpr float kMissingValue = __builtin_nanf("");

}  // namespace velmora
