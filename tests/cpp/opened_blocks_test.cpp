// open_cwa_data_blocks: structure checks, the clamped block range and the continuity seed.
#include "package/read/opened_blocks.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::empty_packet;
using testing::file_of;
using testing::FileBuilder;
using testing::kJan2020;
using testing::packet_at;
using testing::PacketBuilder;
using testing::TempFile;

Result<OpenedBlocks> open_bytes(const Bytes& bytes, BlockSelection selection) {
  TempFile file(bytes);
  return open_cwa_data_blocks(file.path(), selection);
}

// Natural end of packet_at(second): W + second + 1.2 s.
double natural_end(uint32_t second) {
  return PacketMeta{120, kJan2020 + second, 0, 0x4A}.natural_bounds().end;
}

TEST(open_cwa_data_blocks, clamps_the_block_range_to_the_file) {
  const Bytes bytes = file_of(10).bytes();
  struct Case {
    BlockSelection selection;
    uint64_t first, end;
  };
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (const Case& c :
       {Case{{}, 0, 10}, Case{{2, 100}, 2, 10}, Case{{2, 3}, 2, 5}, Case{{9, kMax}, 9, 10},
        Case{{0, 0}, 0, 0}, Case{{std::nullopt, 4}, 0, 4}, Case{{5, std::nullopt}, 5, 10}}) {
    auto opened = open_bytes(bytes, c.selection);
    ASSERT_TRUE(opened) << opened.error().display();
    EXPECT_EQ(opened->first_block, c.first);
    EXPECT_EQ(opened->end_block, c.end);
  }
}

TEST(open_cwa_data_blocks, seeds_prev_end_from_the_nearest_earlier_data_packet) {
  FileBuilder file = file_of(7);
  file.blocks[3] = empty_packet().bytes();
  file.blocks[4] = Bytes(kPacketBytes, 0);
  const Bytes bytes = file.bytes();
  EXPECT_EQ(open_bytes(bytes, {5, std::nullopt})->prev_end, natural_end(2));
  EXPECT_EQ(open_bytes(bytes, {6, std::nullopt})->prev_end, natural_end(5));
  EXPECT_EQ(open_bytes(bytes, {1, std::nullopt})->prev_end, natural_end(0));
  EXPECT_EQ(open_bytes(bytes, {0, std::nullopt})->prev_end, std::nullopt);
  FileBuilder leading_gap = file_of(3);
  leading_gap.blocks[0] = empty_packet().bytes();
  leading_gap.blocks[1] = empty_packet().bytes();
  EXPECT_EQ(open_bytes(leading_gap.bytes(), {2, std::nullopt})->prev_end, std::nullopt);
}

TEST(open_cwa_data_blocks, fails_on_a_damaged_packet_before_the_selection) {
  FileBuilder file = file_of(6);
  PacketBuilder unset = packet_at(4);
  unset.timestamp = 0xFFFFFFFF;
  file.blocks[4] = unset.bytes();
  PacketBuilder odd_format = packet_at(1);
  odd_format.sample_format = 0x31;
  file.blocks[1] = odd_format.bytes();
  const Bytes bytes = file.bytes();
  EXPECT_EQ(open_bytes(bytes, {5, 1}).error().display(),
            velmora::error_text(ErrorCode::kInvalidBlockTimestamp));
  // The walk stops at the first data packet, so the damage further back is never seen.
  EXPECT_TRUE(open_bytes(bytes, {3, 1}));
  EXPECT_EQ(open_bytes(bytes, {2, 1}).error().display(),
            "Unsupported sample format: 3 axes, packing 1");
}

TEST(open_cwa_data_blocks, checks_structure_in_order) {
  Bytes ragged = file_of(3).bytes();
  ragged.resize(ragged.size() + 100);
  Bytes ragged_not_cwa = ragged;
  ragged_not_cwa[0] = 'X';
  const Bytes three = file_of(3).bytes();
  const Bytes one_byte{'M'};
  const struct {
    const Bytes& bytes;
    BlockSelection selection;
    std::string_view message;
  } cases[] = {
      {one_byte, {}, testing::kShortRead},
      // The marker is checked before the size, the size before the selection.
      {ragged_not_cwa, {}, velmora::error_text(ErrorCode::kNotValidCwaFile)},
      {ragged, {0, 1}, velmora::error_text(ErrorCode::kIncompleteDataBlock)},
      {three, {3, 0}, velmora::error_text(ErrorCode::kStartBlockBeyondFile)},
      {three,
       {std::numeric_limits<uint64_t>::max(), std::nullopt},
       velmora::error_text(ErrorCode::kStartBlockBeyondFile)},
  };
  for (const auto& c : cases) {
    auto opened = open_bytes(c.bytes, c.selection);
    ASSERT_FALSE(opened) << c.message;
    EXPECT_EQ(opened.error().display(), c.message);
  }
}

}  // namespace
}  // namespace velmora
