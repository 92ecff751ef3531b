// Test-only: the per-sample reading of a packet that the core once had (CwaDataBlock with
// parse_samples, sample by sample into columns, samples pushed one at a time), kept as the
// independent reference that the tests and fuzzers compare the core's column paths with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "errors/cwa_error.hpp"
#include "errors/internal_fault.hpp"
#include "package/decode/sample_decode.hpp"
#include "package/decode/sample_times.hpp"
#include "package/read/data_result.hpp"
#include "package/resample/resampler.hpp"
#include "packet/byte_order.hpp"
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

namespace reference_detail {

// The packet checks refuse such counts first, so only this reference reading names the format.
inline ErrorCode insufficient_data_error(uint8_t sample_format) {
  switch (sample_format) {
    case 0x30:
      return ErrorCode::kInsufficientPacked3;
    case 0x32:
      return ErrorCode::kInsufficientUnpacked3;
    case 0x62:
      return ErrorCode::kInsufficientUnpacked6;
    default:
      return ErrorCode::kInsufficientUnpacked9;
  }
}

// Returns whether two bytes form valid UTF-8 on their own.
inline bool is_utf8_pair(uint8_t first, uint8_t second) {
  if (first < 0x80) return second < 0x80;
  return first >= 0xC2 && first <= 0xDF && second >= 0x80 && second <= 0xBF;
}

}  // namespace reference_detail

inline Result<CwaDataBlock> CwaDataBlock::from_buffer(PacketBytes packet) {
  const uint8_t* p = packet.data();
  if (!reference_detail::is_utf8_pair(p[0], p[1]))
    return fail(ErrorCode::kInvalidPacketHeaderFormat);
  if (p[0] != 'A' || p[1] != 'X') return fail(ErrorCode::kInvalidDataBlockHeader);
  CwaDataBlock block{
      .packet_header = "AX",
      .packet_length = load_u16(p + packet_offset::kLength),
      .device_fractional = load_u16(p + packet_offset::kDeviceFractional),
      .session_id = load_u32(p + packet_offset::kSessionId),
      .sequence_id = load_u32(p + packet_offset::kSequenceId),
      .timestamp = load_u32(p + packet_offset::kTimestamp),
      .light = load_u16(p + packet_offset::kLight),
      .temperature = load_u16(p + packet_offset::kTemperature),
      .events = p[packet_offset::kEvents],
      .battery = p[packet_offset::kBattery],
      .sample_rate_code = p[packet_offset::kSampleRateCode],
      .sample_format = p[packet_offset::kSampleFormat],
      .timestamp_offset = load_i16(p + packet_offset::kTimestampOffset),
      .sample_count = load_u16(p + packet_offset::kSampleCount),
      .sample_data = {},
      .checksum = load_u16(p + packet_offset::kChecksum),
  };
  std::memcpy(block.sample_data.data(), p + packet_offset::kSampleData, kSampleDataBytes);
  return block;
}

inline Result<size_t> CwaDataBlock::parse_samples(
    bool include_magnetometer, std::span<SampleData, kMaxSamplesPerPacket> out) const {
  SampleLayout fresh;  // holds no format, so every field gets written
  return parse_samples_reusing(include_magnetometer, out, fresh);
}

inline Result<size_t> CwaDataBlock::parse_samples_reusing(
    bool include_magnetometer, std::span<SampleData, kMaxSamplesPerPacket> out,
    SampleLayout& layout) const {
  const SampleFormat* format = find_sample_format(sample_format);
  if (format == nullptr) return fail(CwaError::unsupported_sample_format(sample_format));
  const size_t n = sample_count;
  if (n * format->sample_bytes > kSampleDataBytes) {
    return fail(reference_detail::insufficient_data_error(sample_format));
  }
  const bool gyro = format->gyro;
  const bool magnetometer = include_magnetometer && format->mag;
  const SampleLayout wanted{sample_format, magnetometer};
  if (layout != wanted) {
    constexpr float kAbsent = __builtin_nanf("");
    const SampleData fixed{kAbsent, kAbsent,      kAbsent, gyro,    kAbsent, kAbsent,
                           kAbsent, magnetometer, kAbsent, kAbsent, kAbsent};
    for (SampleData& slot : out) slot = fixed;
    layout = wanted;
  }
  const uint8_t* data = sample_data.data();
  auto put_acc = [&](size_t i, float x, float y, float z) {
    out[i].acc_x = x;
    out[i].acc_y = y;
    out[i].acc_z = z;
  };
  auto put_gyro = [&](size_t i, float x, float y, float z) {
    out[i].gyro_x = x;
    out[i].gyro_y = y;
    out[i].gyro_z = z;
  };
  switch (sample_format) {
    case 0x30:
      decode::packed_3axis(data, n, light, put_acc);
      break;
    case 0x32:
      decode::unpacked_3axis(data, n, light, put_acc);
      break;
    case 0x62:
      decode::unpacked_6axis(
          data, n, light,
          [&](size_t i, float ax, float ay, float az, float gx, float gy, float gz) {
            put_acc(i, ax, ay, az);
            put_gyro(i, gx, gy, gz);
          });
      break;
    default:
      decode::unpacked_9axis(data, n, light,
                             [&](size_t i, float ax, float ay, float az, float gx, float gy,
                                 float gz, const uint8_t* mag) {
                               put_acc(i, ax, ay, az);
                               put_gyro(i, gx, gy, gz);
                               if (magnetometer) {
                                 out[i].mag_x = decode::mag_of(mag, 0);
                                 out[i].mag_y = decode::mag_of(mag, 1);
                                 out[i].mag_z = decode::mag_of(mag, 2);
                               }
                             });
      break;
  }
  return n;
}

inline PacketReadings CwaDataBlock::readings() const {
  PacketReadings readings{};
  readings[reading_slot("temperature")] = decode::temperature_celsius(temperature);
  readings[reading_slot("light")] = decode::light_value(light);
  readings[reading_slot("battery")] = decode::battery_volts(battery);
  return readings;
}

inline Result<double> packet_sample_timestamps(const PacketMeta& meta,
                                               std::optional<double> prev_end, int64_t* out) {
  if (meta.sample_count == 0) return prev_end.value_or(0.0);
  const std::optional<NaiveDateTime> block_time = cwa_timestamp(meta.timestamp);
  if (!block_time) return fail(ErrorCode::kInvalidBlockTimestamp);
  return write_packet_timestamps(meta, block_time->unix_seconds(), prev_end, out);
}

inline Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, size_t n,
                                                                std::optional<double> prev_end,
                                                                std::span<int64_t> out) {
  VELMORA_EXPECT(out.size() >= n, "timestamp buffer holds the samples");
  const PacketMeta meta{
      .sample_count = n,
      .timestamp = block.timestamp,
      .timestamp_offset = block.timestamp_offset,
      .sample_rate_code = block.sample_rate_code,
  };
  return packet_sample_timestamps(meta, prev_end, out.data());
}

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

// One input sample with the readings of the packet that holds it.
struct TimedSample {
  double time_s;  // microsecond timestamp / 1000000.0
  SampleData sample;
  float temperature;
  float light;
  float battery;
};

// Queues one sample (setting the grid origin with the first one) and emits what is ready, as
// the resampler's first interface did; must not be called once finished().
inline void push_sample(StreamingResampler& resampler, const TimedSample& sample) {
  const StagedEntries entry = resampler.stage(1);
  const SampleData& s = sample.sample;
  entry.time[0] = sample.time_s;
  // In output order; the queue keeps its own.
  const float values[kChannelCount] = {
      s.acc_x,
      s.acc_y,
      s.acc_z,
      s.has_gyro ? s.gyro_x : kMissingValue,
      s.has_gyro ? s.gyro_y : kMissingValue,
      s.has_gyro ? s.gyro_z : kMissingValue,
      s.has_mag ? s.mag_x : kMissingValue,
      s.has_mag ? s.mag_y : kMissingValue,
      s.has_mag ? s.mag_z : kMissingValue,
      sample.temperature,
      sample.light,
      sample.battery,
  };
  for (size_t c = 0; c < kChannelCount; ++c) {
    entry.value[kQueueChannelOf[c]][0] = static_cast<double>(values[c]);
  }
  entry.motion[0] = static_cast<uint8_t>((s.has_gyro ? sensor_bit(Sensor::kGyroscope) : 0) |
                                         (s.has_mag ? sensor_bit(Sensor::kMagnetometer) : 0));
  resampler.push_staged(1, StagedFacts{.readings_shared = true});
}

}  // namespace velmora
