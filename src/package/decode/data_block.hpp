// One parsed data packet, its samples in physical units and its per-packet readings.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "errors/cwa_error.hpp"
#include "package/decode/sample_decode.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

// One decoded sample. The gyroscope values exist together, and so do the magnetometer values.
struct SampleData {
  float acc_x, acc_y, acc_z;  // g
  bool has_gyro;
  float gyro_x, gyro_y, gyro_z;  // degrees per second
  bool has_mag;
  float mag_x, mag_y, mag_z;  // raw / 32768
};

// Which fixed fields a SampleData array holds: those of a sample format, with or without the
// magnetometer. Format 0 means none yet.
struct SampleLayout {
  uint8_t sample_format = 0;
  bool magnetometer = false;
  friend bool operator==(const SampleLayout&, const SampleLayout&) = default;
};

struct CwaDataBlock {
  std::string packet_header;  // always "AX"
  uint16_t packet_length;
  uint16_t device_fractional;
  uint32_t session_id;
  uint32_t sequence_id;
  uint32_t timestamp;  // packed block timestamp
  uint16_t light;      // raw light (bits 0-9) and scale codes (bits 10-15)
  uint16_t temperature;
  uint8_t events;
  uint8_t battery;
  uint8_t sample_rate_code;
  uint8_t sample_format;
  int16_t timestamp_offset;
  uint16_t sample_count;
  std::array<uint8_t, kSampleDataBytes> sample_data;
  uint16_t checksum;

  static Result<CwaDataBlock> from_buffer(PacketBytes packet);

  // Decodes the samples into `out` and returns how many there are (the sample count).
  Result<size_t> parse_samples(bool include_magnetometer,
                               std::span<SampleData, kMaxSamplesPerPacket> out) const;

  // The same for decoding packet after packet into one array: the fields that the sample format
  // fixes for every sample (the presence flags and the NaN of absent sensors) are written, into
  // every slot, only when `layout` says the array holds another format's, and `layout` is then
  // updated. The first n slots end up exactly as parse_samples leaves them.
  Result<size_t> parse_samples_reusing(bool include_magnetometer,
                                       std::span<SampleData, kMaxSamplesPerPacket> out,
                                       SampleLayout& layout) const;

  // Converts the raw temperature, light and battery readings.
  PacketReadings readings() const;
};

}  // namespace velmora
