// The per-packet loop of the streamed CSV: planned blocks in file order, non-data blocks
// skipped, each data packet decoded with its timestamps and readings while prev_end carries
// continuity.
#include "package/read/packet_stream.hpp"

#include <algorithm>

#include "package/decode/sample_times.hpp"

namespace velmora {

// Returns a read size that covers the planned blocks without reading far past them.
size_t planned_chunk_bytes(uint64_t first_block, uint64_t end_block) {
  const uint64_t blocks = end_block - first_block;
  const uint64_t limit = SectorReader::kDefaultChunkBytes / kPacketBytes;
  return static_cast<size_t>(std::clamp<uint64_t>(blocks, 1, limit)) * kPacketBytes;
}

PacketStream::PacketStream(OpenedBlocks opened, ChannelSelection channels)
    : opened_(std::move(opened)),
      reader_(opened_.file, planned_chunk_bytes(opened_.first_block, opened_.end_block)),
      channels_(channels),
      next_block_(opened_.first_block) {}

Result<const DecodedPacket*> PacketStream::next() {
  while (next_block_ < opened_.end_block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> bytes, reader_.next());
    if (!bytes) return fail(ErrorCode::kUnexpectedEndOfData);
    ++next_block_;
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*bytes));
    if (!meta) continue;
    const uint8_t* p = bytes->data();
    const size_t n = meta->sample_count;
    opened_.prev_end = write_packet_timestamps(*meta, clock_.unix_seconds(meta->timestamp),
                                               opened_.prev_end, packet_.timestamps.data());
    packet_.sensors = present_sensors(accepted_format(p), channels_);
    decode_packet_samples(p, n, slots_over(packet_.values, packet_.sensors));
    packet_.readings = readings_.of(p);
    packet_.count = n;
    return &packet_;
  }
  return nullptr;
}

}  // namespace velmora
