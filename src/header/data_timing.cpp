// Packet-header scan for the data timing. Per packet: one packet_meta and no allocation; the
// read buffer is allocated once per scan.
#include "header/data_timing.hpp"

#include <array>
#include <optional>

#include "errors/messages.hpp"
#include "packet/continuity.hpp"
#include "packet/packet_walk.hpp"
#include "packet/time_units.hpp"

namespace velmora {

void DataTimingScan::add(const PacketMeta& meta) {
  // The first packet has no predecessor, so its natural start is its first sample time.
  if (accepted_ == 0) first_sample_us_ = seconds_to_us(meta.natural_bounds().start);
  // Field by field: a whole-struct copy of a freshly built PacketMeta is compiled to one wide
  // load of narrow stores, which stalls on every packet.
  PacketMeta& slot = latest_[accepted_ % 2];
  slot.sample_count = meta.sample_count;
  slot.timestamp = meta.timestamp;
  slot.timestamp_offset = meta.timestamp_offset;
  slot.sample_rate_code = meta.sample_rate_code;
  ++accepted_;
  sample_total_ += meta.sample_count;
}

DataTiming DataTimingScan::finish() const {
  DataTiming timing{.first_sample_us = first_sample_us_,
                    .last_sample_us = std::nullopt,
                    .sample_total = sample_total_};
  if (accepted_ == 0) return timing;
  const PacketMeta& last = latest_[(accepted_ - 1) % 2];
  PacketBounds bounds = last.natural_bounds();
  if (accepted_ >= 2) {
    bounds.start = continuous_start(bounds.start, latest_[accepted_ % 2].natural_bounds().end);
  }
  const double n = static_cast<double>(last.sample_count);
  // Grouped as division, multiplication, addition; the sample reader groups differently.
  const double last_time =
      (static_cast<double>(last.sample_count - 1) * ((bounds.end - bounds.start) / n)) +
      bounds.start;
  timing.last_sample_us = seconds_to_us(last_time);
  return timing;
}

Result<DataTiming> scan_data_timing(std::string_view file_path, size_t chunk_bytes) {
  VELMORA_ASSIGN_OR_RETURN(CwaFile file, CwaFile::open(file_path));
  std::array<uint8_t, kMetadataBytes> block{};
  VELMORA_TRY(file.read_exact(block));
  if (block[0] != 'M' || block[1] != 'D') return fail(ErrorCode::kFirstBlockNotMetadata);
  SectorReader reader(file, chunk_bytes);
  DataTimingScan scan;
  VELMORA_TRY(walk_sample_packets(reader, std::nullopt, [&](uint64_t, const uint8_t* packet) {
    scan.add(accepted_packet_meta(packet));
  }));
  return scan.finish();
}

}  // namespace velmora
