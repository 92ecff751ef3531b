// Splitting a data packet into its fields, decoding its samples and converting its readings.
#include "package/decode/data_block.hpp"

#include <cstring>

#include "errors/messages.hpp"
#include "package/decode/sample_decode.hpp"
#include "packet/byte_order.hpp"

namespace velmora {

namespace {

// Returns whether two bytes form valid UTF-8 on their own.
bool is_utf8_pair(uint8_t first, uint8_t second) {
  if (first < 0x80) return second < 0x80;
  return first >= 0xC2 && first <= 0xDF && second >= 0x80 && second <= 0xBF;
}

ErrorCode insufficient_data_error(uint8_t sample_format) {
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

}  // namespace

Result<CwaDataBlock> CwaDataBlock::from_buffer(PacketBytes packet) {
  const uint8_t* p = packet.data();
  if (!is_utf8_pair(p[0], p[1])) return fail(ErrorCode::kInvalidPacketHeaderFormat);
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

Result<size_t> CwaDataBlock::parse_samples(bool include_magnetometer,
                                           std::span<SampleData, kMaxSamplesPerPacket> out) const {
  SampleLayout fresh;  // holds no format, so every field gets written
  return parse_samples_reusing(include_magnetometer, out, fresh);
}

Result<size_t> CwaDataBlock::parse_samples_reusing(bool include_magnetometer,
                                                   std::span<SampleData, kMaxSamplesPerPacket> out,
                                                   SampleLayout& layout) const {
  const size_t sample_bytes = bytes_per_sample(sample_format);
  if (sample_bytes == 0) return fail(CwaError::unsupported_sample_format(sample_format));
  const size_t n = sample_count;
  if (n * sample_bytes > kSampleDataBytes) return fail(insufficient_data_error(sample_format));
  const bool gyro = sample_format == 0x62 || sample_format == 0x92;
  const bool magnetometer = include_magnetometer && sample_format == 0x92;
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

PacketReadings CwaDataBlock::readings() const {
  return PacketReadings{
      .temperature = decode::temperature_celsius(temperature),
      .light = decode::light_value(light),
      .battery = decode::battery_volts(battery),
  };
}

}  // namespace velmora
