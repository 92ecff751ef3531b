// Blocks that the readers pass over as if their first two bytes were zero, and a file end
// before a partial last block: the view of a damaged file that a salvaging read takes. Applied
// where bytes leave the file, so every reader sees the same view without knowing of it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

class BlockMask {
 public:
  // `blocks`: data block indices (block k starts at byte 1024 + 512 k), in any order, repeats
  // allowed. `visible_bytes`: the file reads as if it ended there (absent: its own end).
  BlockMask(std::vector<uint64_t> blocks, std::optional<uint64_t> visible_bytes);

  // Zeroes the header bytes of masked blocks inside `bytes`, which were read from `offset`.
  void apply(uint64_t offset, std::span<uint8_t> bytes) const;
  // Returns how many of `wanted` bytes from `offset` lie before the visible end.
  uint64_t visible_from(uint64_t offset, uint64_t wanted) const;
  // Returns the file size as the view shows it.
  uint64_t visible_size(uint64_t size) const;

 private:
  std::vector<uint64_t> blocks_;  // sorted, unique
  std::optional<uint64_t> visible_bytes_;
};

// Returns the mask that files opened on this thread take, or nullptr.
const BlockMask* installed_block_mask();

// Installs `mask` for the files opened on this thread until destroyed; the mask must outlive
// the scope. Only the binding of the salvaging read installs one, for the length of a call.
class BlockMaskScope {
 public:
  explicit BlockMaskScope(const BlockMask& mask);
  BlockMaskScope(const BlockMaskScope&) = delete;
  BlockMaskScope& operator=(const BlockMaskScope&) = delete;
  ~BlockMaskScope();

 private:
  const BlockMask* previous_;
};

}  // namespace velmora
