// The masked view of a file: header bytes of chosen blocks read as zero, the file cut short
// before a partial last block.
#include "packet/block_mask.hpp"

#include <algorithm>

#include "packet/packet_meta.hpp"

namespace velmora {

namespace {

thread_local const BlockMask* installed_mask = nullptr;

// Only the two header bytes of a block decide whether a reader takes it as a data packet.
constexpr uint64_t kMaskedBytes = 2;

}  // namespace

BlockMask::BlockMask(std::vector<uint64_t> blocks, std::optional<uint64_t> visible_bytes)
    : blocks_(std::move(blocks)), visible_bytes_(visible_bytes) {
  std::sort(blocks_.begin(), blocks_.end());
  blocks_.erase(std::unique(blocks_.begin(), blocks_.end()), blocks_.end());
  // Indices past any possible file offset would overflow below and mask nothing anyway.
  const uint64_t last = (UINT64_MAX - kMetadataBytes) / kPacketBytes - 1;
  blocks_.erase(std::upper_bound(blocks_.begin(), blocks_.end(), last), blocks_.end());
}

void BlockMask::apply(uint64_t offset, std::span<uint8_t> bytes) const {
  if (bytes.empty() || blocks_.empty()) return;
  const uint64_t end = offset + bytes.size();
  // The first block whose header could reach into the bytes read.
  const uint64_t first = offset <= kMetadataBytes ? 0 : (offset - kMetadataBytes) / kPacketBytes;
  for (auto block = std::lower_bound(blocks_.begin(), blocks_.end(), first); block != blocks_.end();
       ++block) {
    const uint64_t header = kMetadataBytes + kPacketBytes * *block;
    if (header >= end) break;
    for (uint64_t at = header; at < header + kMaskedBytes; ++at) {
      if (at >= offset && at < end) bytes[at - offset] = 0;
    }
  }
}

uint64_t BlockMask::visible_from(uint64_t offset, uint64_t wanted) const {
  if (!visible_bytes_) return wanted;
  if (offset >= *visible_bytes_) return 0;
  return std::min(wanted, *visible_bytes_ - offset);
}

uint64_t BlockMask::visible_size(uint64_t size) const {
  return visible_bytes_ ? std::min(size, *visible_bytes_) : size;
}

const BlockMask* installed_block_mask() { return installed_mask; }

BlockMaskScope::BlockMaskScope(const BlockMask& mask) : previous_(installed_mask) {
  installed_mask = &mask;
}

BlockMaskScope::~BlockMaskScope() { installed_mask = previous_; }

}  // namespace velmora
