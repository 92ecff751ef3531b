// The header-only timing scan: continuity correction, last-sample time, totals and errors.
#include "header/data_timing.hpp"

#include <gtest/gtest.h>

#include <string>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::PacketBuilder;
using testing::TempFile;

constexpr int64_t kJan2020Us = testing::kJan2020Unix * 1'000'000;

Result<DataTiming> scan(const Bytes& bytes, size_t chunk = SectorReader::kDefaultChunkBytes) {
  const TempFile file(bytes);
  return scan_data_timing(file.path(), chunk);
}

DataTiming timing_of(const FileBuilder& builder) {
  Result<DataTiming> timing = scan(builder.bytes());
  EXPECT_TRUE(timing) << timing.error().display();
  return timing ? *timing : DataTiming{};
}

std::string error_of(const Bytes& bytes) {
  Result<DataTiming> timing = scan(bytes);
  return timing ? std::string("<no error>") : timing.error().display();
}

PacketBuilder at_second(unsigned second, int16_t offset = 0) {
  PacketBuilder packet;
  packet.timestamp = testing::pack_time(2020, 1, 1, 0, 0, second);
  packet.timestamp_offset = offset;
  return packet;
}

TEST(scan_data_timing, times_one_packet_from_sample_zero_to_its_last_sample) {
  const DataTiming timing = timing_of(FileBuilder().add(at_second(0)));
  EXPECT_EQ(timing.first_sample_us, kJan2020Us);
  EXPECT_EQ(timing.last_sample_us, kJan2020Us + 1'190'000);
  EXPECT_EQ(timing.sample_total, 120u);
}

TEST(scan_data_timing, joins_a_packet_that_starts_within_a_second_of_the_previous_end) {
  const DataTiming timing = timing_of(FileBuilder().add(at_second(0)).add(at_second(1)));
  EXPECT_EQ(timing.first_sample_us, kJan2020Us);
  // Start moved to 1.2 s, end stays at 2.2 s: 120 samples share 1.0 s.
  EXPECT_EQ(timing.last_sample_us, kJan2020Us + 2'191'666);
  EXPECT_EQ(timing.sample_total, 240u);
}

TEST(scan_data_timing, keeps_natural_start_after_a_gap_of_a_second_or_more) {
  // The first packet ends at 1.2 s. Starts at 2.2 s (gap 1.0 s) and 3.0 s stay; 2.19 s joins.
  const DataTiming exact_gap = timing_of(FileBuilder().add(at_second(0)).add(at_second(2, -20)));
  EXPECT_EQ(exact_gap.last_sample_us, kJan2020Us + 3'390'000);
  const DataTiming long_gap = timing_of(FileBuilder().add(at_second(0)).add(at_second(3)));
  EXPECT_EQ(long_gap.last_sample_us, kJan2020Us + 4'190'000);
  const DataTiming short_gap = timing_of(FileBuilder().add(at_second(0)).add(at_second(2, -19)));
  EXPECT_EQ(short_gap.last_sample_us, kJan2020Us + 3'371'750);
}

TEST(scan_data_timing, joins_the_last_packet_to_the_one_just_before_it) {
  const DataTiming joined =
      timing_of(FileBuilder().add(at_second(0)).add(at_second(5)).add(at_second(6)));
  EXPECT_EQ(joined.first_sample_us, kJan2020Us);
  EXPECT_EQ(joined.last_sample_us, kJan2020Us + 7'191'666);
  EXPECT_EQ(joined.sample_total, 360u);
  const DataTiming apart =
      timing_of(FileBuilder().add(at_second(0)).add(at_second(1)).add(at_second(5)));
  EXPECT_EQ(apart.last_sample_us, kJan2020Us + 6'190'000);
}

TEST(scan_data_timing, moves_overlapping_packets_to_the_previous_natural_end) {
  // The second packet overlaps the first; after the correction its start is the first's end
  // (1.2 s) even though the first was not moved itself.
  const DataTiming timing = timing_of(FileBuilder().add(at_second(0)).add(at_second(0, -10)));
  EXPECT_EQ(timing.first_sample_us, kJan2020Us);
  // end = 0.1 + 1.2 = 1.3 s; start 1.2 s; 119 steps of 0.1/120 s.
  EXPECT_EQ(timing.last_sample_us, kJan2020Us + 1'299'166);
}

TEST(scan_data_timing, passes_over_skipped_packets_without_touching_the_state) {
  PacketBuilder not_sample = at_second(59);
  not_sample.header[0] = 'M';
  PacketBuilder empty = at_second(30);
  empty.sample_count = 0;
  empty.rate_code = 0;
  const DataTiming timing = timing_of(
      FileBuilder().add(not_sample).add(at_second(0)).add(empty).add(at_second(1)).add(not_sample));
  EXPECT_EQ(timing.first_sample_us, kJan2020Us);
  EXPECT_EQ(timing.last_sample_us, kJan2020Us + 2'191'666);
  EXPECT_EQ(timing.sample_total, 240u);
}

TEST(scan_data_timing, reports_no_times_without_sample_packets) {
  PacketBuilder empty;
  empty.sample_count = 0;
  for (const FileBuilder& builder : {FileBuilder(), FileBuilder().add(empty)}) {
    const DataTiming timing = timing_of(builder);
    EXPECT_FALSE(timing.first_sample_us);
    EXPECT_FALSE(timing.last_sample_us);
    EXPECT_EQ(timing.sample_total, 0u);
  }
}

TEST(scan_data_timing, times_a_single_sample_packet_at_its_start) {
  PacketBuilder one = at_second(0, 50);
  one.sample_count = 1;
  const DataTiming timing = timing_of(FileBuilder().add(one));
  EXPECT_EQ(timing.first_sample_us, kJan2020Us - 500'000);
  EXPECT_EQ(timing.last_sample_us, timing.first_sample_us);
}

TEST(scan_data_timing, stops_at_the_first_bad_packet) {
  PacketBuilder old_format = at_second(2);
  old_format.rate_code = 0;
  PacketBuilder bad_time = at_second(2);
  bad_time.timestamp = 0;
  PacketBuilder bad_format = at_second(2);
  bad_format.sample_format = 0x31;
  PacketBuilder too_many = at_second(2);
  too_many.sample_count = 121;
  const struct {
    PacketBuilder packet;
    std::string_view message;
  } cases[] = {{old_format, msg::kOldFormatPackets},
               {bad_time, msg::kInvalidBlockTimestamp},
               {bad_format, "Unsupported sample format: 3 axes, packing 1"},
               {too_many, msg::kSampleCountExceedsCapacity}};
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(FileBuilder().add(at_second(0)).add(c.packet).add(at_second(4)).bytes()),
              c.message);
  }
}

TEST(scan_data_timing, fails_on_truncated_files_and_foreign_first_blocks) {
  Bytes tail = FileBuilder().add(at_second(0)).add(at_second(1)).bytes();
  tail.resize(tail.size() + 100, 0);
  EXPECT_EQ(error_of(tail), "IO error: failed to fill whole buffer");
  Bytes data_first = PacketBuilder().bytes();
  data_first.resize(1024 + 512, 0);
  EXPECT_EQ(error_of(data_first), msg::kFirstBlockNotMetadata);
  EXPECT_EQ(error_of(Bytes(1023, 'M')), "IO error: failed to fill whole buffer");
  const TempFile missing(std::string_view{});
  EXPECT_EQ(scan_data_timing(missing.path()).error().display(),
            "IO error: No such file or directory (os error 2)");
}

TEST(scan_data_timing, gives_every_truncation_of_a_file_an_outcome_independent_of_chunking) {
  const Bytes full = FileBuilder().add(at_second(0)).add(at_second(1)).add(at_second(2)).bytes();
  for (size_t length = 0; length <= full.size(); ++length) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
    const Result<DataTiming> reference = scan(cut, kPacketBytes);
    const bool whole_packets = length >= kMetadataBytes && (length - kMetadataBytes) % 512 == 0;
    ASSERT_EQ(reference.has_value(), whole_packets) << length;
    if (!reference) {
      EXPECT_EQ(reference.error().display(), "IO error: failed to fill whole buffer") << length;
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
