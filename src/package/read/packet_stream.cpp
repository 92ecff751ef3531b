// The shared per-packet loop: planned blocks in file order, non-data blocks skipped, each data
// packet decoded with its timestamps and readings while prev_end carries continuity.
#include "package/read/packet_stream.hpp"

#include <algorithm>

#include "errors/messages.hpp"
#include "package/decode/sample_times.hpp"

namespace velmora {

// Returns a read size that covers the planned blocks without reading far past them.
size_t planned_chunk_bytes(uint64_t first_block, uint64_t end_block) {
  const uint64_t blocks = end_block - first_block;
  const uint64_t limit = SectorReader::kDefaultChunkBytes / kPacketBytes;
  return static_cast<size_t>(std::clamp<uint64_t>(blocks, 1, limit)) * kPacketBytes;
}

PacketStream::PacketStream(OpenedBlocks opened, bool include_magnetometer)
    : opened_(std::move(opened)),
      reader_(opened_.file, planned_chunk_bytes(opened_.first_block, opened_.end_block)),
      include_magnetometer_(include_magnetometer),
      next_block_(opened_.first_block) {}

Result<const DecodedPacket*> PacketStream::next() {
  while (next_block_ < opened_.end_block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> bytes, reader_.next());
    if (!bytes) return fail(ErrorCode::kUnexpectedEndOfData);
    ++next_block_;
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*bytes));
    if (!meta) continue;
    VELMORA_ASSIGN_OR_RETURN(const CwaDataBlock block, CwaDataBlock::from_buffer(*bytes));
    VELMORA_ASSIGN_OR_RETURN(packet_.count, block.parse_samples_reusing(include_magnetometer_,
                                                                        packet_.samples, layout_));
    VELMORA_ASSIGN_OR_RETURN(opened_.prev_end,
                             calculate_sample_timestamps_with_prev_end(
                                 block, packet_.count, opened_.prev_end, packet_.timestamps));
    packet_.readings = block.readings();
    return &packet_;
  }
  return nullptr;
}

}  // namespace velmora
