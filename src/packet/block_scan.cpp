// Block scan: every block goes through the same header checks as in a read (check_packet), so
// a block is "damaged" exactly when a read that reaches it fails with the text recorded here.
#include "packet/block_scan.hpp"

#include <array>

#include "errors/messages.hpp"
#include "packet/byte_order.hpp"
#include "packet/packet_meta.hpp"
#include "packet/time_units.hpp"

namespace velmora {

namespace {

// Maps the error of a failing header check to its index in the distinct texts.
class ReasonTable {
 public:
  explicit ReasonTable(std::vector<std::string>& texts) : texts_(texts) {}

  uint16_t code(PacketVerdict verdict, uint8_t sample_format) {
    // The unsupported-format text depends on the format byte; the others do not.
    const size_t key = verdict == PacketVerdict::kUnsupportedFormat ? kFixedKeys + sample_format
                                                                    : static_cast<size_t>(verdict);
    if (codes_[key] == 0) {
      texts_.push_back(packet_error(verdict, sample_format).display());
      codes_[key] = static_cast<uint16_t>(texts_.size());
    }
    return codes_[key];
  }

 private:
  static constexpr size_t kFixedKeys = 8;  // above every PacketVerdict value
  std::vector<std::string>& texts_;
  std::array<uint16_t, kFixedKeys + 256> codes_{};
};

void add_block(BlockScan& scan, BlockKind kind) {
  scan.kind.push_back(static_cast<uint8_t>(kind));
  scan.reason.push_back(0);
  scan.checksum_ok.push_back(0);
  scan.start_us.push_back(0);
  scan.end_us.push_back(0);
  scan.samples.push_back(0);
  scan.rate_hz.push_back(0.0);
  scan.axes.push_back(0);
  scan.sequence_id.push_back(0);
}

void add_data_block(BlockScan& scan, BlockClock& clock, const uint8_t* packet) {
  const PacketMeta meta = accepted_packet_meta(packet);
  const PacketBounds bounds = meta.natural_bounds_at(clock.unix_seconds(meta.timestamp));
  add_block(scan, BlockKind::kData);
  scan.checksum_ok.back() = packet_checksum_ok(packet) ? 1 : 0;
  scan.start_us.back() = seconds_to_us(bounds.start);
  scan.end_us.back() = seconds_to_us(bounds.end);
  scan.samples.back() = static_cast<uint16_t>(meta.sample_count);
  scan.rate_hz.back() = sample_rate_hz(meta.sample_rate_code);
  scan.axes.back() = static_cast<uint8_t>(packet[packet_offset::kSampleFormat] >> 4);
  scan.sequence_id.back() = load_u32(packet + packet_offset::kSequenceId);
}

}  // namespace

bool packet_checksum_ok(const uint8_t* packet) {
  uint32_t sum = 0;
  for (size_t at = 0; at < kPacketBytes; at += 2) sum += load_u16(packet + at);
  return (sum & 0xFFFF) == 0;
}

Result<BlockScan> scan_blocks(std::string_view file_path, size_t chunk_bytes) {
  VELMORA_ASSIGN_OR_RETURN(CwaFile file, CwaFile::open(file_path));
  std::array<uint8_t, 2> magic;
  VELMORA_TRY(file.read_exact(magic));
  if (magic[0] != 'M' || magic[1] != 'D') return fail(msg::kNotValidCwaFile);
  VELMORA_ASSIGN_OR_RETURN(const uint64_t size, file.size());
  if (size < kMetadataBytes) return fail(msg::kFileTooSmall);
  VELMORA_TRY(file.seek(kMetadataBytes));

  BlockScan scan;
  scan.file_bytes = size;
  ReasonTable reasons(scan.reasons);
  BlockClock clock;
  // The size bounds the walk, so a file that grows while it is scanned cannot keep it going.
  const uint64_t whole_blocks = (size - kMetadataBytes) / kPacketBytes;
  SectorReader reader(file, chunk_bytes);
  for (uint64_t block = 0; block < whole_blocks; ++block) {
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> bytes, reader.next());
    if (!bytes) return fail(msg::kUnexpectedEndOfData);
    const uint8_t* packet = bytes->data();
    const PacketVerdict verdict = check_packet(packet);
    if (verdict == PacketVerdict::kSamples) {
      add_data_block(scan, clock, packet);
    } else if (verdict == PacketVerdict::kSkip) {
      add_block(scan, BlockKind::kSkipped);
    } else {
      add_block(scan, BlockKind::kDamaged);
      scan.reason.back() = reasons.code(verdict, packet[packet_offset::kSampleFormat]);
    }
  }
  if ((size - kMetadataBytes) % kPacketBytes != 0) add_block(scan, BlockKind::kTruncated);
  return scan;
}

}  // namespace velmora
