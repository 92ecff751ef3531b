// The block scan must classify every block as the reader takes it, and a read through a
// BlockMask must equal the read of a copy whose masked blocks start with two zero bytes.
#include "package/read/block_scan.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"
#include "package/read/reader.hpp"
#include "packet/block_mask.hpp"
#include "packet/byte_order.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::PacketBuilder;
using testing::TempFile;

// Seals a packet the way devices do: the checksum word makes all 256 words sum to zero.
Bytes sealed(const PacketBuilder& packet) {
  Bytes bytes = packet.bytes();
  testing::put_u16(bytes, 510, 0);
  uint32_t sum = 0;
  for (size_t at = 0; at < kPacketBytes; at += 2) sum += load_u16(bytes.data() + at);
  testing::put_u16(bytes, 510, static_cast<uint16_t>(0x10000 - (sum & 0xFFFF)));
  return bytes;
}

// Blocks 0 to 9: data, skipped ("MD", no samples) and one damaged block per failing check.
FileBuilder mixed_file() {
  FileBuilder file;
  for (uint32_t k = 0; k < 10; ++k) {
    PacketBuilder packet = testing::packet_at(k);
    packet.sequence_id = k;
    packet.packed_sample(0, 0x12345678u + k);
    file.add_raw(sealed(packet));
  }
  file.blocks[2] = sealed(testing::empty_packet());
  file.blocks[3][0] = 'M';
  file.blocks[3][1] = 'D';
  auto damage = [&](size_t block, auto change) {
    PacketBuilder packet = testing::packet_at(static_cast<uint32_t>(block));
    change(packet);
    file.blocks[block] = sealed(packet);
  };
  damage(4, [](PacketBuilder& p) { p.rate_code = 0; });
  damage(5, [](PacketBuilder& p) { p.sample_format = 0x31; });
  damage(6, [](PacketBuilder& p) { p.sample_count = 121; });
  damage(7, [](PacketBuilder& p) { p.timestamp = 0; });
  return file;
}

// Returns the file's bytes with the first two bytes of each listed block set to zero.
Bytes zeroed(Bytes bytes, const std::vector<uint64_t>& blocks) {
  for (uint64_t block : blocks) {
    bytes[kMetadataBytes + kPacketBytes * block] = 0;
    bytes[kMetadataBytes + kPacketBytes * block + 1] = 0;
  }
  return bytes;
}

void expect_same_rows(const CwaDataResult& a, const CwaDataResult& b) {
  ASSERT_EQ(a.rows(), b.rows());
  for (size_t i = 0; i < a.rows(); ++i) {
    ASSERT_EQ(a.timestamps[i], b.timestamps[i]);
    ASSERT_EQ(std::bit_cast<uint32_t>((*a.acc_x)[i]), std::bit_cast<uint32_t>((*b.acc_x)[i]));
  }
}

TEST(block_scan, classifies_each_block_as_the_reader_takes_it) {
  Bytes bytes = mixed_file().bytes();
  bytes.resize(bytes.size() + 100);  // a partial last block
  const TempFile file(bytes);
  const auto scan = scan_blocks(file.path());
  ASSERT_TRUE(scan) << scan.error().display();
  const std::vector<uint8_t> kinds = {0, 0, 1, 1, 2, 2, 2, 2, 0, 0, 3};
  std::vector<uint8_t> found;
  for (const ScannedBlock& block : scan->blocks) found.push_back(block.kind);
  EXPECT_EQ(found, kinds);
  EXPECT_EQ(scan->file_bytes, bytes.size());
  const std::vector<std::string> reasons = {
      std::string(velmora::error_text(ErrorCode::kOldFormatPackets)),
      "Unsupported sample format: 3 axes, packing 1",
      std::string(velmora::error_text(ErrorCode::kSampleCountExceedsCapacity)),
      std::string(velmora::error_text(ErrorCode::kInvalidBlockTimestamp))};
  EXPECT_EQ(scan->reasons, reasons);
  // Each damaged block fails a read of a file holding it alone with the text the scan gives
  // (in the whole file, a read of a later block fails on the first damaged one it walks back to).
  const FileBuilder whole = mixed_file();
  for (uint64_t block = 4; block < 8; ++block) {
    FileBuilder alone;
    alone.add_raw(whole.blocks[block]);
    const TempFile alone_file(alone.bytes());
    const auto read = read_cwa_data(alone_file.path(), {}, ChannelSelection{});
    EXPECT_EQ(testing::error_text(read), reasons[scan->blocks[block].reason - 1u]) << block;
  }
  const ScannedBlock& one = scan->blocks[1];
  EXPECT_EQ(one.start_us, testing::kJan2020Us + 1'000'000);
  EXPECT_EQ(one.end_us, testing::kJan2020Us + 2'200'000);
  const ScannedBlock& nine = scan->blocks[9];
  EXPECT_EQ(nine.samples, 120);
  EXPECT_EQ(nine.rate_hz, 100.0);
  EXPECT_EQ(nine.axes, 3);
  EXPECT_EQ(nine.sequence_id, 9u);
}

TEST(block_scan, checksum_fails_on_one_flipped_bit) {
  FileBuilder builder;
  builder.add_raw(sealed(testing::packet_at(0)));
  builder.add_raw(sealed(testing::packet_at(1)));
  Bytes bytes = builder.bytes();
  bytes[kMetadataBytes + kPacketBytes + 16] ^= 0x40;  // inside block 1's timestamp
  const TempFile file(bytes);
  const auto scan = scan_blocks(file.path());
  ASSERT_TRUE(scan);
  ASSERT_EQ(scan->blocks.size(), 2u);
  EXPECT_EQ(scan->blocks[0].checksum_ok, 1);
  EXPECT_EQ(scan->blocks[1].checksum_ok, 0);
}

TEST(block_scan, rejects_what_is_no_cwa_file_with_the_readers_texts) {
  const TempFile not_cwa(Bytes(600, 'x'));
  EXPECT_EQ(testing::error_text(scan_blocks(not_cwa.path())),
            velmora::error_text(ErrorCode::kNotValidCwaFile));
  const Bytes metadata = testing::MetadataBuilder().bytes();
  const TempFile small(testing::prefix(metadata, 600));
  EXPECT_EQ(testing::error_text(scan_blocks(small.path())),
            velmora::error_text(ErrorCode::kFileTooSmall));
  const TempFile one_byte(Bytes(1, 'M'));
  EXPECT_EQ(testing::error_text(scan_blocks(one_byte.path())), testing::kShortRead);
}

TEST(block_scan, survives_every_truncation_of_a_small_file) {
  const Bytes bytes = mixed_file().bytes();
  for (size_t length = 0; length <= kMetadataBytes + 3 * kPacketBytes; ++length) {
    const TempFile file(testing::prefix(bytes, length));
    const auto scan = scan_blocks(file.path());
    if (length < 2) continue;
    ASSERT_EQ(scan.has_value(), length >= kMetadataBytes) << length;
    if (scan) {
      EXPECT_EQ(scan->blocks.size(), (length - kMetadataBytes + kPacketBytes - 1) / kPacketBytes);
    }
  }
}

TEST(block_mask, masked_read_equals_the_read_of_a_zeroed_copy) {
  const Bytes bytes = mixed_file().bytes();
  const std::vector<uint64_t> damaged = {7, 4, 5, 6, 6};
  const TempFile copy(zeroed(bytes, damaged));
  const auto expected = read_cwa_data(copy.path(), {}, ChannelSelection{});
  ASSERT_TRUE(expected) << expected.error().display();

  Bytes with_tail = bytes;
  with_tail.resize(with_tail.size() + 300);
  const TempFile original(with_tail);
  const BlockMask mask(damaged, bytes.size());
  for (const BlockSelection selection : {BlockSelection{}, BlockSelection{8, 2}}) {
    const auto plain = read_cwa_data(original.path(), selection, ChannelSelection{});
    EXPECT_FALSE(plain);
    const BlockMaskScope scope(mask);
    const auto masked = read_cwa_data(original.path(), selection, ChannelSelection{});
    ASSERT_TRUE(masked) << masked.error().display();
    const auto reference = read_cwa_data(copy.path(), selection, ChannelSelection{});
    ASSERT_TRUE(reference);
    expect_same_rows(*masked, *reference);
  }
  // The scope has ended: the file reads as it is again.
  EXPECT_EQ(testing::error_text(read_cwa_data(original.path(), {}, ChannelSelection{})),
            velmora::error_text(ErrorCode::kIncompleteDataBlock));
}

TEST(block_mask, masks_header_bytes_split_across_reads) {
  const BlockMask mask({1}, std::nullopt);
  Bytes chunk = {'A', 'X', 'A'};
  // Block 1's header is at bytes 1536 and 1537; this chunk starts at 1535.
  mask.apply(1535, chunk);
  EXPECT_EQ(chunk, (Bytes{'A', 0, 0}));
  Bytes next = {'X', 'y'};
  mask.apply(1537, next);
  EXPECT_EQ(next, (Bytes{0, 'y'}));
  EXPECT_EQ(BlockMask({}, 2000).visible_from(1990, 512), 10u);
  EXPECT_EQ(BlockMask({}, 2000).visible_from(2000, 512), 0u);
}

}  // namespace
}  // namespace velmora
