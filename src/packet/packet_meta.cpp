// Packet header validation and natural packet bounds. The float widths and the order of
// operations here decide every timestamp of the system; do not reorder.
#include "packet/packet_meta.hpp"

#include <cmath>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"

namespace velmora {

CwaError packet_error(PacketVerdict verdict, uint8_t sample_format) {
  switch (verdict) {
    case PacketVerdict::kOldFormat:
      return CwaError(ErrorCode::kOldFormatPackets);
    case PacketVerdict::kUnsupportedFormat:
      return CwaError::unsupported_sample_format(sample_format);
    case PacketVerdict::kTooManySamples:
      return CwaError(ErrorCode::kSampleCountExceedsCapacity);
    case PacketVerdict::kInvalidTimestamp:
      return CwaError(ErrorCode::kInvalidBlockTimestamp);
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
