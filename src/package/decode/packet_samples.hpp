// The one decode of a packet's samples into per-axis arrays, which the column reader, the
// resampled read and the streamed CSV all use, so that they produce the same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "packet/packet_meta.hpp"
#include "packet/sample_format.hpp"

namespace velmora {

// The format of a packet whose header passed the checks.
inline const SampleFormat& accepted_format(const uint8_t* packet) {
  return *find_sample_format(packet[packet_offset::kSampleFormat]);
}

// The sensor axes a packet carries, in output column order: accelerometer, gyroscope and
// magnetometer, x, y and z each.
inline constexpr size_t kSensorAxes = 9;
using AxisValues = std::array<std::array<float, kMaxSamplesPerPacket>, kSensorAxes>;

// Where the n decoded values of each channel go. The gyroscope slots must be set when the format
// carries a gyroscope; the magnetometer values are decoded only when its slots are set.
struct SampleSlots {
  std::array<float*, 3> acc{};
  std::array<float*, 3> gyro{};
  std::array<float*, 3> mag{};

  // Slots over one array per axis, the magnetometer's only when `mag`.
  static SampleSlots over(AxisValues& values, bool mag) {
    SampleSlots slots;
    for (size_t axis = 0; axis < 3; ++axis) {
      slots.acc[axis] = values[axis].data();
      slots.gyro[axis] = values[3 + axis].data();
      if (mag) slots.mag[axis] = values[6 + axis].data();
    }
    return slots;
  }
};

// Decodes the n samples of a packet whose header passed the checks.
void decode_packet_samples(const uint8_t* packet, size_t n, const SampleSlots& out);

// For a packet of packed 3-axis samples, decodes its n accelerometer values straight to double
// (the same floats, widened) and returns true; returns false, writing nothing, for other formats.
bool decode_packed_samples_wide(const uint8_t* packet, size_t n, const std::array<double*, 3>& acc);

}  // namespace velmora
