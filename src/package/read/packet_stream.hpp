// Planned blocks as decoded packets, one at a time, for the streamed CSV writer: non-data blocks
// skipped, samples, timestamps and readings decoded with the same steps as the column reader
// and the resampled read, prev_end carried.
#pragma once

#include <array>
#include <cstdint>

#include "errors/cwa_error.hpp"
#include "package/decode/packet_samples.hpp"
#include "package/decode/sample_decode.hpp"
#include "package/read/opened_blocks.hpp"

namespace velmora {

struct DecodedPacket {
  size_t count = 0;     // samples in this packet
  uint8_t sensors = 0;  // the sensors read: carried by the packet's format and asked for
  std::array<int64_t, kMaxSamplesPerPacket> timestamps;  // microseconds, device clock
  // One array per axis, by slot; those of sensors not read hold nothing.
  AxisValues values;
  PacketReadings readings;
};

// Returns a sector read size that covers the planned blocks without reading far past them.
size_t planned_chunk_bytes(uint64_t first_block, uint64_t end_block);

class PacketStream {
 public:
  PacketStream(OpenedBlocks opened, ChannelSelection channels);
  // The sector reader refers to the file held here, so the stream stays where it was built.
  PacketStream(const PacketStream&) = delete;
  PacketStream& operator=(const PacketStream&) = delete;

  // Returns the next decoded data packet, or nullptr after the last planned block. A planned
  // block missing at the end of the file is "Unexpected end of CWA data".
  Result<const DecodedPacket*> next();

 private:
  OpenedBlocks opened_;
  SectorReader reader_;
  ChannelSelection channels_;
  uint64_t next_block_;
  BlockClock clock_;
  PacketReadingValues readings_;
  DecodedPacket packet_;
};

}  // namespace velmora
