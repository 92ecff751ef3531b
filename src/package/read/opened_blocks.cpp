// Opening a CWA file for a planned run of blocks: structure checks in a fixed order, the
// selection clamped to the file, and the continuity seed from the data packet before it.
#include "package/read/opened_blocks.hpp"

#include <array>

#include "errors/messages.hpp"

namespace velmora {

namespace {

uint64_t block_offset(uint64_t block) { return kMetadataBytes + kPacketBytes * block; }

// Walks back from the block before `first` to the nearest data packet; returns its natural end.
Result<std::optional<double>> continuity_seed(CwaFile& file, uint64_t first) {
  std::array<uint8_t, kPacketBytes> buffer;
  for (uint64_t block = first; block-- > 0;) {
    VELMORA_TRY(file.seek(block_offset(block)));
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketBytes> packet, read_sector(file, buffer));
    if (!packet) return fail(ErrorCode::kUnexpectedEndOfData);
    VELMORA_ASSIGN_OR_RETURN(const std::optional<PacketMeta> meta, packet_meta(*packet));
    if (meta) return meta->natural_bounds().end;
  }
  return std::nullopt;
}

}  // namespace

Result<CheckedCwaFile> open_checked_cwa_file(std::string_view path) {
  VELMORA_ASSIGN_OR_RETURN(CwaFile file, CwaFile::open(path));
  std::array<uint8_t, 2> magic;
  VELMORA_TRY(file.read_exact(magic));
  if (magic[0] != 'M' || magic[1] != 'D') return fail(ErrorCode::kNotValidCwaFile);
  VELMORA_ASSIGN_OR_RETURN(const uint64_t size, file.size());
  if (size < kMetadataBytes) return fail(ErrorCode::kFileTooSmall);
  if (size % kPacketBytes != 0) return fail(ErrorCode::kIncompleteDataBlock);
  return CheckedCwaFile{std::move(file), (size - kMetadataBytes) / kPacketBytes};
}

Result<OpenedBlocks> open_cwa_data_blocks(std::string_view path, BlockSelection selection) {
  VELMORA_ASSIGN_OR_RETURN(CheckedCwaFile checked, open_checked_cwa_file(path));
  CwaFile& file = checked.file;
  const uint64_t total = checked.total_blocks;
  const uint64_t first = selection.start_block.value_or(0);
  if (first >= total) return fail(ErrorCode::kStartBlockBeyondFile);
  const uint64_t count = selection.block_count.value_or(total - first);
  const uint64_t end = count > total - first ? total : first + count;
  std::optional<double> prev_end;
  if (first > 0) {
    VELMORA_ASSIGN_OR_RETURN(prev_end, continuity_seed(file, first));
  }
  VELMORA_TRY(file.seek(block_offset(first)));
  return OpenedBlocks{std::move(file), first, end, prev_end};
}

}  // namespace velmora
