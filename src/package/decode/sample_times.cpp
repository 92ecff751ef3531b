// Sample timestamps. The operation order (multiply, divide, add, convert) fixes every
// microsecond of the output; do not rearrange.
#include "package/decode/sample_times.hpp"

#include <cmath>

#include "errors/internal_fault.hpp"
#include "errors/messages.hpp"
#include "package/decode/sample_spread.hpp"
#include "packet/continuity.hpp"
#include "packet/packed_timestamp.hpp"

namespace velmora {

namespace {

constexpr double kSafeSeconds = 0x1p60 / 1000000.0;

}  // namespace

namespace {

// Where a packet's samples start and how far they spread once joined to the previous packet.
struct PacketSpread {
  double start;
  double span;
  double end;  // the natural end, for the next packet

  // i * span / count never exceeds |span| by more than an ulp, so with both magnitudes below
  // 2^60 microseconds every product stays below 2^61 and converts without saturation.
  bool converts_plainly() const {
    return std::fabs(start) < kSafeSeconds && std::fabs(span) < kSafeSeconds;
  }
  int64_t saturated_us(size_t i, double count) const {
    return seconds_to_us(static_cast<double>(i) * span / count + start);
  }
};

PacketSpread packet_spread(const PacketMeta& meta, int64_t whole_seconds,
                           std::optional<double> prev_end) {
  const PacketBounds bounds = meta.natural_bounds_at(whole_seconds);
  double start = bounds.start;
  if (prev_end) start = continuous_start(start, *prev_end);
  return {start, bounds.end - start, bounds.end};
}

// The timestamps in microseconds, or the same counts in seconds.
void spread_plainly(int64_t* out, size_t n, double span, double count, double start) {
  spread_sample_us(out, n, span, count, start);
}
void spread_plainly(double* out, size_t n, double span, double count, double start) {
  spread_sample_seconds(out, n, span, count, start);
}
void put_us(int64_t& out, int64_t us) { out = us; }
void put_us(double& out, int64_t us) { out = static_cast<double>(us) / 1000000.0; }

template <class Time>
double write_packet_times(const PacketMeta& meta, int64_t whole_seconds,
                          std::optional<double> prev_end, Time* out) {
  const size_t n = meta.sample_count;
  const PacketSpread spread = packet_spread(meta, whole_seconds, prev_end);
  const double count = static_cast<double>(n);
  if (spread.converts_plainly()) {
    spread_plainly(out, n, spread.span, count, spread.start);
  } else {
    for (size_t i = 0; i < n; ++i) put_us(out[i], spread.saturated_us(i, count));
  }
  return spread.end;
}

}  // namespace

double write_packet_timestamps(const PacketMeta& meta, int64_t whole_seconds,
                               std::optional<double> prev_end, int64_t* out) {
  return write_packet_times(meta, whole_seconds, prev_end, out);
}

double write_packet_seconds(const PacketMeta& meta, int64_t whole_seconds,
                            std::optional<double> prev_end, double* out) {
  return write_packet_times(meta, whole_seconds, prev_end, out);
}

Result<double> packet_sample_timestamps(const PacketMeta& meta, std::optional<double> prev_end,
                                        int64_t* out) {
  if (meta.sample_count == 0) return prev_end.value_or(0.0);
  const std::optional<NaiveDateTime> block_time = cwa_timestamp(meta.timestamp);
  if (!block_time) return fail(ErrorCode::kInvalidBlockTimestamp);
  return write_packet_timestamps(meta, block_time->unix_seconds(), prev_end, out);
}

Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, size_t n,
                                                         std::optional<double> prev_end,
                                                         std::span<int64_t> out) {
  VELMORA_EXPECT(out.size() >= n, msg::kFaultTimestampBuffer);
  const PacketMeta meta{
      .sample_count = n,
      .timestamp = block.timestamp,
      .timestamp_offset = block.timestamp_offset,
      .sample_rate_code = block.sample_rate_code,
  };
  return packet_sample_timestamps(meta, prev_end, out.data());
}

}  // namespace velmora
