// The one decode of a packet's samples into per-axis arrays, which the column reader, the
// resampled read and the streamed CSV all use, so that they produce the same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "package/read/data_result.hpp"
#include "packet/packet_meta.hpp"
#include "packet/sample_format.hpp"

namespace velmora {

// The format of a packet whose header passed the checks.
inline const SampleFormat& accepted_format(const uint8_t* packet) {
  return *find_sample_format(packet[packet_offset::kSampleFormat]);
}

// One array per sensor axis of a packet, by the axis' slot in the channel table.
using AxisValues = std::array<std::array<float, kMaxSamplesPerPacket>, kSensorAxes>;

// Where the n decoded values of each axis go, by slot. The slots of every sensor the format
// carries must be set, except the magnetometer's, whose values are decoded only when they are.
using SampleSlots = std::array<float*, kSensorAxes>;

// Slots over one array per axis, for the axes of the sensors in the mask `sensors`.
inline SampleSlots slots_over(AxisValues& values, uint8_t sensors) {
  SampleSlots slots{};
  for_each_channel([&](auto c) {
    constexpr ChannelRow row = kChannels[c];
    if constexpr (!row.reading) {
      if ((sensors & sensor_bit(row.sensor)) != 0) slots[c] = values[c].data();
    }
  });
  return slots;
}

// Decodes the n samples of a packet whose header passed the checks.
void decode_packet_samples(const uint8_t* packet, size_t n, const SampleSlots& out);

// For a packet of packed 3-axis samples, decodes its n values of every axis straight to double
// (the same floats, widened) and returns true; returns false, writing nothing, for other formats.
bool decode_packed_samples_wide(const uint8_t* packet, size_t n,
                                const std::array<double*, kSensorAxes>& out);

}  // namespace velmora
