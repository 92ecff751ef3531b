// The block-level quality scan: how the readers would take every block of a file, from the
// packet headers alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors/cwa_error.hpp"
#include "package/read/column.hpp"
#include "packet/cwa_file.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {

enum class BlockKind : uint8_t {
  kData = 0,       // a sample packet the readers decode
  kSkipped = 1,    // a block the readers pass over
  kDamaged = 2,    // a block whose header check fails every read that reaches it
  kTruncated = 3,  // the partial block at the end of a file whose size is not whole blocks
};

// What the scan found for one block. Fields that do not apply to the block's kind hold 0. The
// records are handed to Python as they stand (a NumPy structured dtype mirrors this layout), so
// fields keep their order and widths.
struct ScannedBlock {
  int64_t start_us;      // @0, data blocks: natural start, device clock
  int64_t end_us;        // @8, data blocks: natural (half-open) end
  float rate_hz;         // @16, data blocks: nominal rate of the rate code (exact as a float)
  uint32_t sequence_id;  // @20, data blocks: the device's packet counter
  uint16_t samples;      // @24, data blocks: header sample count
  uint16_t reason;       // @26, damaged blocks: 1 + index into BlockScan::reasons
  uint8_t kind;          // @28, BlockKind
  uint8_t checksum_ok;   // @29, data blocks: 1 when the 256 words sum to 0 modulo 65536
  uint8_t axes;          // @30, data blocks: axes of the sample format
  uint8_t padding;       // @31, zero
};
static_assert(sizeof(ScannedBlock) == 32);

struct BlockScan {
  uint64_t file_bytes = 0;
  Column<ScannedBlock> blocks;       // every block after the metadata block, in file order
  std::vector<std::string> reasons;  // distinct error texts, in order of first appearance
};

// Returns true when the packet's 256 little-endian 16-bit words sum to 0 modulo 65536, which
// is how devices seal a packet.
bool packet_checksum_ok(const uint8_t* packet);

// Classifies blocks one at a time, in file order, so that a file and a stream of bytes (an
// unpacked .cwa.gz) are scanned by the same code.
class BlockScanner {
 public:
  // `reserve_blocks` makes room for the records at once (and backs it with memory).
  explicit BlockScanner(size_t reserve_blocks = 0);

  // Takes the next whole block after the metadata block, with its header check's verdict.
  void add(const uint8_t* packet, PacketVerdict verdict);
  // Ends the scan of a file of `file_bytes` bytes; a partial last block is recorded as such.
  BlockScan finish(uint64_t file_bytes) &&;

 private:
  // Maps the error of a failing header check to its index in the distinct texts.
  uint16_t reason_code(PacketVerdict verdict, uint8_t sample_format);

  static constexpr size_t kFixedKeys = 8;  // above every PacketVerdict value
  BlockScan scan_;
  BlockClock clock_;
  std::array<uint16_t, kFixedKeys + 256> reason_codes_{};  // 0: text not met yet
};

// Scans every block of a file: the "MD" header and a size of at least 1024 bytes are required
// (with the readers' texts); a partial last block is reported, not an error. `chunk_bytes`
// sizes the reads.
Result<BlockScan> scan_blocks(std::string_view file_path,
                              size_t chunk_bytes = SectorReader::kDefaultChunkBytes);

}  // namespace velmora
