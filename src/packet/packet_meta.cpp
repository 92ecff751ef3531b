// Packet header validation and natural packet bounds. The float widths and the order of
// operations here decide every timestamp of the system; do not reorder.
#include "packet/packet_meta.hpp"

#include <cmath>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"

namespace velmora {

std::string unsupported_sample_format_message(uint8_t sample_format) {
  return std::string(msg::kUnsupportedSampleFormatPrefix) + std::to_string(sample_format >> 4) +
         " axes, packing " + std::to_string(sample_format & 0x0F);
}

CwaError packet_error(PacketVerdict verdict, uint8_t sample_format) {
  switch (verdict) {
    case PacketVerdict::kOldFormat:
      return CwaError::message(msg::kOldFormatPackets);
    case PacketVerdict::kUnsupportedFormat:
      return CwaError::message(unsupported_sample_format_message(sample_format));
    case PacketVerdict::kTooManySamples:
      return CwaError::message(msg::kSampleCountExceedsCapacity);
    case PacketVerdict::kInvalidTimestamp:
      return CwaError::message(msg::kInvalidBlockTimestamp);
    case PacketVerdict::kSamples:
    case PacketVerdict::kSkip:
      break;
  }
  raise_internal_fault(msg::kFaultPacketVerdict, __FILE__, __LINE__);
}

PacketBounds PacketMeta::natural_bounds() const {
  const std::optional<NaiveDateTime> block_time = cwa_timestamp(timestamp);
  VELMORA_EXPECT(block_time.has_value(), msg::kFaultValidatedTimestamp);
  return natural_bounds_at(block_time->unix_seconds());
}

void BlockClock::remember_day(uint32_t timestamp) {
  const std::optional<NaiveDateTime> time = cwa_timestamp(timestamp);
  VELMORA_EXPECT(time.has_value(), msg::kFaultValidatedTimestamp);
  day_key_ = timestamp >> 17;
  day_seconds_ = days_from_civil(time->year, time->month, time->day) * 86400;
}

}  // namespace velmora
