// Block scan: every block goes through the same header checks as in a read (check_packet), so
// a block is "damaged" exactly when a read that reaches it fails with the text recorded here.
#include "package/read/block_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "errors/messages.hpp"
#include "packet/byte_order.hpp"
#include "packet/packet_meta.hpp"
#include "packet/time_units.hpp"

namespace velmora {

namespace {

// Out of line: inside the scan loop the compiler spills the packet's fields through the stack
// with narrow stores and wide loads, which stalls on every packet.
[[gnu::noinline]] void add_data_block(Column<ScannedBlock>& blocks, BlockClock& clock,
                                      const uint8_t* packet) {
  const PacketMeta meta = accepted_packet_meta(packet);
  const PacketBounds bounds = meta.natural_bounds_at(clock.unix_seconds(meta.timestamp));
  ScannedBlock block{};
  block.start_us = seconds_to_us(bounds.start);
  block.end_us = seconds_to_us(bounds.end);
  block.rate_hz = static_cast<float>(sample_rate_hz(meta.sample_rate_code));
  block.sequence_id = load_u32(packet + packet_offset::kSequenceId);
  block.samples = static_cast<uint16_t>(meta.sample_count);
  block.kind = static_cast<uint8_t>(BlockKind::kData);
  block.checksum_ok = packet_checksum_ok(packet) ? 1 : 0;
  block.axes = static_cast<uint8_t>(packet[packet_offset::kSampleFormat] >> 4);
  blocks.push_back(block);
}

ScannedBlock other_block(BlockKind kind, uint16_t reason = 0) {
  ScannedBlock block{};
  block.kind = static_cast<uint8_t>(kind);
  block.reason = reason;
  return block;
}

}  // namespace

BlockScanner::BlockScanner(size_t reserve_blocks) {
  scan_.blocks.reserve(reserve_blocks);
  scan_.blocks.populate(reserve_blocks);
}

uint16_t BlockScanner::reason_code(PacketVerdict verdict, uint8_t sample_format) {
  // The unsupported-format text depends on the format byte; the others do not.
  const size_t key = verdict == PacketVerdict::kUnsupportedFormat ? kFixedKeys + sample_format
                                                                  : static_cast<size_t>(verdict);
  if (reason_codes_[key] == 0) {
    scan_.reasons.push_back(packet_error(verdict, sample_format).display());
    reason_codes_[key] = static_cast<uint16_t>(scan_.reasons.size());
  }
  return reason_codes_[key];
}

void BlockScanner::add(const uint8_t* packet, PacketVerdict verdict) {
  if (verdict == PacketVerdict::kSamples) {
    add_data_block(scan_.blocks, clock_, packet);
  } else if (verdict == PacketVerdict::kSkip) {
    scan_.blocks.push_back(other_block(BlockKind::kSkipped));
  } else {
    const uint16_t reason = reason_code(verdict, packet[packet_offset::kSampleFormat]);
    scan_.blocks.push_back(other_block(BlockKind::kDamaged, reason));
  }
}

BlockScan BlockScanner::finish(uint64_t file_bytes) && {
  scan_.file_bytes = file_bytes;
  if (file_bytes > kMetadataBytes && (file_bytes - kMetadataBytes) % kPacketBytes != 0) {
    scan_.blocks.push_back(other_block(BlockKind::kTruncated));
  }
  return std::move(scan_);
}

bool packet_checksum_ok(const uint8_t* packet) {
  // Sixteen-bit lanes that wrap: the sum modulo 65536 is all that is asked, and eight words per
  // step keep the scan as fast as reading the file.
  using U16x8 = uint16_t __attribute__((vector_size(16)));
  U16x8 sum = {};
  for (size_t at = 0; at < kPacketBytes; at += sizeof(U16x8)) {
    U16x8 words;
    std::memcpy(&words, packet + at, sizeof words);
    if constexpr (std::endian::native == std::endian::big) words = (words << 8) | (words >> 8);
    sum += words;
  }
  uint16_t total = 0;
  for (int lane = 0; lane < 8; ++lane) total = static_cast<uint16_t>(total + sum[lane]);
  return total == 0;
}

Result<BlockScan> scan_blocks(std::string_view file_path, size_t chunk_bytes) {
  VELMORA_ASSIGN_OR_RETURN(CwaFile file, CwaFile::open(file_path));
  std::array<uint8_t, 2> magic;
  VELMORA_TRY(file.read_exact(magic));
  if (magic[0] != 'M' || magic[1] != 'D') return fail(ErrorCode::kNotValidCwaFile);
  VELMORA_ASSIGN_OR_RETURN(const uint64_t size, file.size());
  if (size < kMetadataBytes) return fail(ErrorCode::kFileTooSmall);
  VELMORA_TRY(file.seek(kMetadataBytes));

  // The size bounds the walk, so a file that grows while it is scanned cannot keep it going.
  // Room for the records is made and backed at once, but only up to a bound: a sparse file
  // may promise more blocks than it is worth taking memory for before one has been read.
  const uint64_t whole_blocks = (size - kMetadataBytes) / kPacketBytes;
  constexpr uint64_t kMostReserved = uint64_t{1} << 22;  // a 2 GiB recording
  BlockScanner scanner(static_cast<size_t>(std::min(whole_blocks + 1, kMostReserved)));
  SectorReader reader(file, chunk_bytes);
  for (uint64_t block = 0; block < whole_blocks; ++block) {
    // The buffered packet first, without a result object: the scan then keeps pace with
    // read_metadata's walk.
    const uint8_t* packet = reader.next_buffered();
    if (packet == nullptr) {
      VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> bytes, reader.next());
      if (!bytes) return fail(ErrorCode::kUnexpectedEndOfData);
      packet = bytes->data();
    }
    scanner.add(packet, check_packet(packet));
  }
  return std::move(scanner).finish(size);
}

}  // namespace velmora
