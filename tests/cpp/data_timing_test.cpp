// The header-only timing scan: continuity correction at its boundaries, skipped packets, and
// every truncation of a file under every chunk size.
#include "header/data_timing.hpp"

#include <gtest/gtest.h>

#include <string>

#include "cwa_builder.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::kJan2020Us;
using testing::packet_at;
using testing::PacketBuilder;
using testing::TempFile;

Result<DataTiming> scan(const Bytes& bytes, size_t chunk = SectorReader::kDefaultChunkBytes) {
  const TempFile file(bytes);
  return scan_data_timing(file.path(), chunk);
}

PacketBuilder at_second(uint32_t second, int16_t offset) {
  PacketBuilder packet = packet_at(second);
  packet.timestamp_offset = offset;
  return packet;
}

TEST(scan_data_timing, corrects_continuity_at_the_one_second_boundary) {
  PacketBuilder not_sample = packet_at(59);
  not_sample.header[0] = 'M';
  PacketBuilder empty = testing::empty_packet();
  empty.rate_code = 0;
  const struct {
    const char* name;
    FileBuilder file;
    int64_t last_us;
    uint64_t total;
  } cases[] = {
      // The first packet ends at 1.2 s. Starts at 2.2 s (gap 1.0 s) and 3.0 s stay; 2.19 s joins.
      {"exact_gap", FileBuilder().add(packet_at(0)).add(at_second(2, -20)), 3'390'000, 240},
      {"long_gap", FileBuilder().add(packet_at(0)).add(packet_at(3)), 4'190'000, 240},
      {"short_gap", FileBuilder().add(packet_at(0)).add(at_second(2, -19)), 3'371'750, 240},
      // The last packet joins the one just before it, not the first.
      {"last_joins", FileBuilder().add(packet_at(0)).add(packet_at(5)).add(packet_at(6)), 7'191'666,
       360},
      {"last_apart", FileBuilder().add(packet_at(0)).add(packet_at(1)).add(packet_at(5)), 6'190'000,
       360},
      // An overlapping packet starts at the previous natural end (1.2 s) and ends at 1.3 s.
      {"overlap", FileBuilder().add(packet_at(0)).add(at_second(0, -10)), 1'299'166, 240},
      // Skipped packets leave the state alone: the second packet still joins the first.
      {"skipped",
       FileBuilder().add(not_sample).add(packet_at(0)).add(empty).add(packet_at(1)).add(not_sample),
       2'191'666, 240},
      // No sample packet in the first half of the blocks.
      {"late_first",
       FileBuilder().add(not_sample).add(not_sample).add(packet_at(0)).add(packet_at(1)), 2'191'666,
       240},
  };
  for (const auto& c : cases) {
    Result<DataTiming> timing = scan(c.file.bytes());
    ASSERT_TRUE(timing) << c.name << ": " << timing.error().display();
    EXPECT_EQ(timing->first_sample_us, kJan2020Us) << c.name;
    EXPECT_EQ(timing->last_sample_us, kJan2020Us + c.last_us) << c.name;
    EXPECT_EQ(timing->sample_total, c.total) << c.name;
  }
}

TEST(scan_data_timing, gives_every_truncation_of_a_file_an_outcome_independent_of_chunking) {
  const Bytes full = testing::file_of(3).bytes();
  for (size_t length = 0; length <= full.size(); ++length) {
    const Bytes cut = testing::prefix(full, length);
    const Result<DataTiming> reference = scan(cut, kPacketBytes);
    const bool whole_packets = length >= kMetadataBytes && (length - kMetadataBytes) % 512 == 0;
    ASSERT_EQ(reference.has_value(), whole_packets) << length;
    if (!reference) {
      EXPECT_EQ(reference.error().display(), testing::kShortRead) << length;
    } else {
      EXPECT_EQ(reference->sample_total, 120 * ((length - kMetadataBytes) / 512)) << length;
    }
    for (size_t chunk : {size_t{1000}, size_t{4096}, SectorReader::kDefaultChunkBytes}) {
      EXPECT_EQ(scan(cut, chunk), reference) << length << " " << chunk;
    }
  }
}

}  // namespace
}  // namespace velmora
