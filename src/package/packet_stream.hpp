// The per-packet loop that every sample reader shares: read the planned blocks in order,
// skip non-data blocks, decode samples, timestamps and readings, carry prev_end.
#pragma once

#include <array>
#include <cstdint>

#include "errors/cwa_error.hpp"
#include "package/data_block.hpp"
#include "package/opened_blocks.hpp"

namespace velmora {

struct DecodedPacket {
  size_t count = 0;  // samples in this packet
  std::array<SampleData, kMaxSamplesPerPacket> samples;
  std::array<int64_t, kMaxSamplesPerPacket> timestamps;  // microseconds, device clock
  PacketReadings readings;
};

class PacketStream {
 public:
  PacketStream(OpenedBlocks opened, bool include_magnetometer);

  // Returns the next decoded data packet, or nullptr after the last planned block. A planned
  // block missing at the end of the file is "Unexpected end of CWA data".
  Result<const DecodedPacket*> next();

 private:
  OpenedBlocks opened_;
  SectorReader reader_;
  bool include_magnetometer_;
  uint64_t next_block_;
  DecodedPacket packet_;
};

}  // namespace velmora
