// Packet-header scan for the data timing. Per packet: one packet_meta and natural_bounds, no
// allocation; the read buffer is allocated once per scan.
#include "header/data_timing.hpp"

#include <array>

#include "errors/messages.hpp"
#include "package/sample_times.hpp"

namespace velmora {

namespace {

// Gaps shorter than this (and overlaps) join a packet to the previous one.
constexpr double kContinuityThresholdS = 1.0;

}  // namespace

void DataTimingScan::add(const PacketMeta& meta) {
  PacketBounds bounds = meta.natural_bounds();
  const double natural_end = bounds.end;
  // A NaN difference compares false and keeps the natural start.
  if (prev_end_ && bounds.start - *prev_end_ < kContinuityThresholdS) bounds.start = *prev_end_;
  if (!timing_.first_sample_us) timing_.first_sample_us = seconds_to_us(bounds.start);
  const double n = static_cast<double>(meta.sample_count);
  // Grouped as division, multiplication, addition; the sample reader groups differently.
  const double last =
      (static_cast<double>(meta.sample_count - 1) * ((bounds.end - bounds.start) / n)) +
      bounds.start;
  timing_.last_sample_us = seconds_to_us(last);
  timing_.sample_total += meta.sample_count;
  prev_end_ = natural_end;
}

Result<DataTiming> scan_data_timing(std::string_view file_path, size_t chunk_bytes) {
  VELMORA_ASSIGN_OR_RETURN(CwaFile file, CwaFile::open(file_path));
  std::array<uint8_t, kMetadataBytes> block{};
  VELMORA_TRY(file.read_exact(block));
  if (block[0] != 'M' || block[1] != 'D') return fail(msg::kFirstBlockNotMetadata);
  SectorReader reader(file, chunk_bytes);
  DataTimingScan scan;
  for (;;) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, reader.next());
    if (!packet) break;
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (meta) scan.add(*meta);
  }
  return scan.timing();
}

}  // namespace velmora
