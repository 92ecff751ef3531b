// The sample formats of data packets: the one table of the formats the system decodes and what
// each one fixes. Adding a format is an entry here and its decoding in
// package/decode/packet_samples.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora {

inline constexpr size_t kSampleDataBytes = 480;  // the data area of a packet

struct SampleFormat {
  uint8_t code;          // the sample format byte: axes (high nibble), packing (low nibble)
  uint8_t sample_bytes;  // bytes per sample
  bool gyro;             // carries gyroscope values
  bool mag;              // carries magnetometer values
};

inline constexpr std::array<SampleFormat, 4> kSampleFormats = {{
    // Packed 3-axis: 10-bit x, y, z and a 2-bit exponent that shifts all three.
    {0x30, 4, false, false},
    // Unpacked 3-axis: accelerometer x, y, z as i16.
    {0x32, 6, false, false},
    // 6-axis: gyroscope x, y, z, then accelerometer x, y, z, as i16.
    {0x62, 12, true, false},
    // 9-axis: gyroscope, accelerometer, magnetometer, three i16 each.
    {0x92, 18, true, true},
}};

// Returns the format of a sample format byte, or nullptr for one the system does not decode.
constexpr const SampleFormat* find_sample_format(uint8_t code) {
  for (const SampleFormat& format : kSampleFormats) {
    if (format.code == code) return &format;
  }
  return nullptr;
}

// Returns the bytes per sample of a sample format byte, or 0 for an unsupported format.
constexpr size_t bytes_per_sample(uint8_t code) {
  const SampleFormat* format = find_sample_format(code);
  return format == nullptr ? 0 : format->sample_bytes;
}

consteval size_t max_samples_per_packet() {
  size_t most = 0;
  for (const SampleFormat& format : kSampleFormats) {
    const size_t fit = kSampleDataBytes / format.sample_bytes;
    if (fit > most) most = fit;
  }
  return most;
}

// The most samples a packet of any format holds.
inline constexpr size_t kMaxSamplesPerPacket = max_samples_per_packet();

}  // namespace velmora
