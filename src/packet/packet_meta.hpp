// Data packet layout, the header checks every reader runs first, and packet timing.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "errors/cwa_error.hpp"
#include "packet/byte_order.hpp"
#include "packet/packed_timestamp.hpp"

namespace velmora {

inline constexpr size_t kMetadataBytes = 1024;  // metadata block at the start of every file
inline constexpr size_t kPacketBytes = 512;     // every data block after it
inline constexpr size_t kSampleDataBytes = 480;

using PacketBytes = std::span<const uint8_t, kPacketBytes>;

// Byte offsets inside a data packet.
namespace packet_offset {
inline constexpr size_t kHeader = 0;            // 2 bytes, "AX"
inline constexpr size_t kLength = 2;            // u16, not interpreted
inline constexpr size_t kDeviceFractional = 4;  // u16, no part in timing
inline constexpr size_t kSessionId = 6;         // u32
inline constexpr size_t kSequenceId = 10;       // u32
inline constexpr size_t kTimestamp = 14;        // u32 packed block timestamp
inline constexpr size_t kLight = 18;           // u16: light bits 0-9, gyro scale 10-12, accel 13-15
inline constexpr size_t kTemperature = 20;     // u16: raw temperature in bits 0-9
inline constexpr size_t kEvents = 22;          // u8
inline constexpr size_t kBattery = 23;         // u8 raw battery
inline constexpr size_t kSampleRateCode = 24;  // u8, 0 marks the old format
inline constexpr size_t kSampleFormat = 25;    // u8: axes (high nibble), packing (low nibble)
inline constexpr size_t kTimestampOffset = 26;  // i16 sample index of the block timestamp
inline constexpr size_t kSampleCount = 28;      // u16
inline constexpr size_t kSampleData = 30;       // 480 bytes
inline constexpr size_t kChecksum = 510;        // u16, never verified
}  // namespace packet_offset

// Returns the bytes per sample of a sample format byte, or 0 for an unsupported format.
constexpr size_t bytes_per_sample(uint8_t sample_format) {
  switch (sample_format) {
    case 0x30:
      return 4;
    case 0x32:
      return 6;
    case 0x62:
      return 12;
    case 0x92:
      return 18;
    default:
      return 0;
  }
}

// Returns the nominal sampling rate of a rate code: 3200 / 2^(15 - (code & 0x0F)).
inline double sample_rate_hz(uint8_t rate_code) {
  return 3200.0 / static_cast<double>(1u << (15 - (rate_code & 0x0F)));
}

// Returns samples / rate in 32-bit floats, where rate = 3200 / 2^(15 - (rate_code & 0x0F)) as
// a float and `samples` is a whole number of at most 2^16 in magnitude: the quotient the float
// division gives, computed without dividing. The rate is 25 * 2^(7 - k) exactly, so the real
// quotient is samples * 2^(k - 7) / 25: either a float itself (samples a multiple of 25) or
// at least 2^-30 of its size away from every float rounding boundary, while the 64-bit product
// below is within 2^-52 of it. Rounding that product to float therefore rounds the quotient.
inline float samples_over_rate(float samples, uint8_t rate_code) {
  const double seconds_per_sample =
      static_cast<double>(1u << (15 - (rate_code & 0x0F))) * (1.0 / 3200.0);
  return static_cast<float>(static_cast<double>(samples) * seconds_per_sample);
}

struct PacketBounds {
  double start;  // time of sample 0, seconds
  double end;    // half-open end: where the sample after the last one would fall
};

// Timing view of one accepted data packet.
struct PacketMeta {
  uint64_t sample_count;
  uint32_t timestamp;  // packed block timestamp, already validated
  int16_t timestamp_offset;
  uint8_t sample_rate_code;

  // Returns the packet's start and half-open end in seconds on the device clock.
  PacketBounds natural_bounds() const;
  // The same, given the whole seconds of the block timestamp (see BlockClock).
  PacketBounds natural_bounds_at(int64_t whole_seconds) const;
};

// Inline, as every packet of a read goes through it. The float widths and the order of the
// operations decide every timestamp of the system; do not reorder.
inline PacketBounds PacketMeta::natural_bounds_at(int64_t whole_seconds) const {
  const float x = samples_over_rate(-static_cast<float>(timestamp_offset), sample_rate_code);
  const float f = std::floor(x);
  // The fraction and the whole part are combined in 64-bit floats, whole part first.
  const double start =
      static_cast<double>(x - f) + (static_cast<double>(f) + static_cast<double>(whole_seconds));
  const float duration = samples_over_rate(static_cast<float>(sample_count), sample_rate_code);
  return PacketBounds{start, start + static_cast<double>(duration)};
}

// Whole seconds since the epoch of validated packed timestamps. Remembers the day of the last
// call: a file's packets share a handful of days, and the calendar arithmetic would otherwise
// cost a read as much as the rest of the packet's timing.
class BlockClock {
 public:
  int64_t unix_seconds(uint32_t timestamp) {
    const uint32_t day_key = timestamp >> 17;  // year, month and day fields
    if (day_key != day_key_) [[unlikely]] {
      remember_day(timestamp);
    }
    const int64_t hour = (timestamp >> 12) & 0x1F;
    const int64_t minute = (timestamp >> 6) & 0x3F;
    const int64_t second = timestamp & 0x3F;
    return day_seconds_ + hour * 3600 + minute * 60 + second;
  }

 private:
  void remember_day(uint32_t timestamp);

  uint32_t day_key_ = 0;  // month 0 never passes validation, so 0 means no day yet
  int64_t day_seconds_ = 0;
};

// What the header checks found, first failing check first.
enum class PacketVerdict : uint8_t {
  kSamples,            // a sample packet
  kSkip,               // not a sample packet
  kOldFormat,          // rate code 0
  kUnsupportedFormat,  // unknown axes/packing byte
  kTooManySamples,     // more samples than the data area holds
  kInvalidTimestamp,   // unset or out-of-range block timestamp
};

// Runs the header checks in their fixed order.
inline PacketVerdict check_packet(const uint8_t* p) {
  if (p[0] != 'A' || p[1] != 'X') return PacketVerdict::kSkip;
  const uint16_t sample_count = load_u16(p + packet_offset::kSampleCount);
  if (sample_count == 0) return PacketVerdict::kSkip;
  if (p[packet_offset::kSampleRateCode] == 0) return PacketVerdict::kOldFormat;
  const size_t sample_bytes = bytes_per_sample(p[packet_offset::kSampleFormat]);
  if (sample_bytes == 0) return PacketVerdict::kUnsupportedFormat;
  if (sample_bytes * sample_count > kSampleDataBytes) return PacketVerdict::kTooManySamples;
  if (!cwa_timestamp(load_u32(p + packet_offset::kTimestamp))) {
    return PacketVerdict::kInvalidTimestamp;
  }
  return PacketVerdict::kSamples;
}

// The error of a failing verdict (neither kSamples nor kSkip).
[[gnu::cold]] CwaError packet_error(PacketVerdict verdict, uint8_t sample_format);

// The timing view of a packet whose verdict is kSamples.
inline PacketMeta accepted_packet_meta(const uint8_t* p) {
  return PacketMeta{
      .sample_count = load_u16(p + packet_offset::kSampleCount),
      .timestamp = load_u32(p + packet_offset::kTimestamp),
      .timestamp_offset = load_i16(p + packet_offset::kTimestampOffset),
      .sample_rate_code = p[packet_offset::kSampleRateCode],
  };
}

// Validates a packet header. nullopt: not a sample packet, to be skipped. Inline, with the
// errors built out of line, so the scans over every packet keep their results in registers.
inline Result<std::optional<PacketMeta>> packet_meta(PacketBytes packet) {
  const uint8_t* p = packet.data();
  const PacketVerdict verdict = check_packet(p);
  if (verdict == PacketVerdict::kSkip) return std::nullopt;
  if (verdict != PacketVerdict::kSamples) {
    return fail(packet_error(verdict, p[packet_offset::kSampleFormat]));
  }
  return accepted_packet_meta(p);
}

}  // namespace velmora
