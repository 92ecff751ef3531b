// Packet header validation and natural packet bounds. The float widths and the order of
// operations here decide every timestamp of the system; do not reorder.
#include "packet/packet_meta.hpp"

#include <cmath>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"
#include "packet/byte_order.hpp"
#include "packet/packed_timestamp.hpp"

namespace velmora {

std::string unsupported_sample_format_message(uint8_t sample_format) {
  return std::string(msg::kUnsupportedSampleFormatPrefix) + std::to_string(sample_format >> 4) +
         " axes, packing " + std::to_string(sample_format & 0x0F);
}

Result<std::optional<PacketMeta>> packet_meta(PacketBytes packet) {
  const uint8_t* p = packet.data();
  if (p[0] != 'A' || p[1] != 'X') return std::nullopt;
  const uint16_t sample_count = load_u16(p + packet_offset::kSampleCount);
  if (sample_count == 0) return std::nullopt;
  const uint8_t rate_code = p[packet_offset::kSampleRateCode];
  if (rate_code == 0) return fail(msg::kOldFormatPackets);
  const uint8_t format = p[packet_offset::kSampleFormat];
  const size_t sample_bytes = bytes_per_sample(format);
  if (sample_bytes == 0) return fail(unsupported_sample_format_message(format));
  if (sample_bytes * sample_count > kSampleDataBytes) return fail(msg::kSampleCountExceedsCapacity);
  const uint32_t timestamp = load_u32(p + packet_offset::kTimestamp);
  if (!cwa_timestamp(timestamp)) return fail(msg::kInvalidBlockTimestamp);
  return PacketMeta{
      .sample_count = sample_count,
      .timestamp = timestamp,
      .timestamp_offset = load_i16(p + packet_offset::kTimestampOffset),
      .sample_rate_code = rate_code,
  };
}

PacketBounds PacketMeta::natural_bounds() const {
  const std::optional<NaiveDateTime> block_time = cwa_timestamp(timestamp);
  VELMORA_EXPECT(block_time.has_value(), msg::kFaultValidatedTimestamp);
  const int64_t whole_seconds = block_time->unix_seconds();
  const float rate = 3200.0f / static_cast<float>(1u << (15 - (sample_rate_code & 0x0F)));
  const float x = -static_cast<float>(timestamp_offset) / rate;
  const float f = std::floor(x);
  // The fraction and the whole part are combined in 64-bit floats, whole part first.
  const double start =
      static_cast<double>(x - f) + (static_cast<double>(f) + static_cast<double>(whole_seconds));
  const float duration = static_cast<float>(sample_count) / rate;
  return PacketBounds{start, start + static_cast<double>(duration)};
}

}  // namespace velmora
