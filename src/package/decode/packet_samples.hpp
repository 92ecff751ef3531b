// Decoding the samples of one accepted data packet into per-channel arrays, shared by the
// column reader and the resampled read so that both produce the same bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora {

// The sensors whose values a sample format carries besides the accelerometer.
struct FormatSensors {
  bool gyro;
  bool mag;
};

inline FormatSensors format_sensors(uint8_t sample_format) {
  return {sample_format == 0x62 || sample_format == 0x92, sample_format == 0x92};
}

// Where the n decoded values of each channel go. The gyroscope slots must be set when the format
// carries a gyroscope; the magnetometer values are decoded only when its slots are set.
struct SampleSlots {
  std::array<float*, 3> acc{};
  std::array<float*, 3> gyro{};
  std::array<float*, 3> mag{};
};

// Decodes the n samples of a packet whose header passed the checks.
void decode_packet_samples(const uint8_t* packet, size_t n, const SampleSlots& out);

// For a packet of packed 3-axis samples, decodes its n accelerometer values straight to double
// (the same floats, widened) and returns true; returns false, writing nothing, for other formats.
bool decode_packed_samples_wide(const uint8_t* packet, size_t n, const std::array<double*, 3>& acc);

}  // namespace velmora
