// The block-level quality scan: how the readers would take every block of a file, from the
// packet headers alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors/cwa_error.hpp"
#include "packet/cwa_file.hpp"

namespace velmora {

enum class BlockKind : uint8_t {
  kData = 0,       // a sample packet the readers decode
  kSkipped = 1,    // a block the readers pass over
  kDamaged = 2,    // a block whose header check fails every read that reaches it
  kTruncated = 3,  // the partial block at the end of a file whose size is not whole blocks
};

// One entry per block after the metadata block, in file order; fields that do not apply to a
// block's kind hold 0.
struct BlockScan {
  uint64_t file_bytes = 0;
  std::vector<uint8_t> kind;          // BlockKind
  std::vector<uint16_t> reason;       // damaged blocks: 1 + index into reasons
  std::vector<std::string> reasons;   // distinct error texts, in order of first appearance
  std::vector<uint8_t> checksum_ok;   // data blocks: 1 when the 256 words sum to 0 mod 2^16
  std::vector<int64_t> start_us;      // data blocks: natural start, device clock
  std::vector<int64_t> end_us;        // data blocks: natural (half-open) end
  std::vector<uint16_t> samples;      // data blocks: header sample count
  std::vector<double> rate_hz;        // data blocks: nominal rate of the rate code
  std::vector<uint8_t> axes;          // data blocks: axes of the sample format
  std::vector<uint32_t> sequence_id;  // data blocks: the device's packet counter

  size_t blocks() const { return kind.size(); }
};

// Returns true when the packet's 256 little-endian 16-bit words sum to 0 modulo 65536, which
// is how devices seal a packet.
bool packet_checksum_ok(const uint8_t* packet);

// Scans every block of a file: the "MD" header and a size of at least 1024 bytes are required
// (with the readers' texts); a partial last block is reported, not an error. `chunk_bytes`
// sizes the reads.
Result<BlockScan> scan_blocks(std::string_view file_path,
                              size_t chunk_bytes = SectorReader::kDefaultChunkBytes);

}  // namespace velmora
