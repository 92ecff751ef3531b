// resolve_read_plan: whole and blocks cuts as they stand, seconds cuts located among the data
// packets and widened by one packet on each side.
#include "package/read/read_plan.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"
#include "packet/packet_meta.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::FileBuilder;
using testing::PacketBuilder;
using testing::TempFile;

// A packet lasting exactly 1 s (100 samples at 100 Hz) with block timestamp W + second.
PacketBuilder second_packet(uint32_t second) { return testing::packet_at(second, 100); }

// Data packets in blocks 0 to 9, span k from T + k to T + k + 1.
FileBuilder ten_seconds() { return testing::file_of(10, 100); }

Result<ReadPlan> plan_for(const Bytes& bytes, const CutConfig& cut) {
  TempFile file(bytes);
  return resolve_read_plan(file.path(), cut);
}

std::string plan_error(const Bytes& bytes, const CutConfig& cut) {
  return testing::error_text(plan_for(bytes, cut));
}

struct Range {
  uint64_t start_block;
  uint64_t block_count;
  friend bool operator==(const Range&, const Range&) = default;
};

Range range_of(const Bytes& bytes, SecondsCut cut) {
  auto plan = plan_for(bytes, cut);
  EXPECT_TRUE(plan) << plan.error().display();
  if (!plan) return {};
  EXPECT_TRUE(plan->has_block_range);
  return Range{plan->start_block, plan->block_count.value_or(~uint64_t{0})};
}

TEST(resolve_read_plan, passes_whole_and_blocks_cuts_without_the_file) {
  const std::string missing = "/nonexistent/velmora.cwa";
  auto whole = resolve_read_plan(missing, WholeCut{});
  ASSERT_TRUE(whole);
  EXPECT_FALSE(whole->has_block_range);
  EXPECT_FALSE(whole->has_time_bounds());
  struct Case {
    BlocksCut cut;
    uint64_t start;
    std::optional<uint64_t> count;
  };
  for (const Case& c : {Case{{2, 5}, 2, 3}, Case{{std::nullopt, 10}, 0, 10},
                        Case{{3, std::nullopt}, 3, std::nullopt}, Case{{std::nullopt, 0}, 0, 0},
                        Case{{}, 0, std::nullopt}}) {
    auto plan = resolve_read_plan(missing, c.cut);
    ASSERT_TRUE(plan);
    EXPECT_TRUE(plan->has_block_range);
    EXPECT_EQ(plan->start_block, c.start);
    EXPECT_EQ(plan->block_count, c.count);
    EXPECT_FALSE(plan->has_time_bounds());
  }
  EXPECT_EQ(resolve_read_plan(missing, BlocksCut{3, 3}).error().display(),
            velmora::error_text(ErrorCode::kBlocksEndNotAfterStart));
  EXPECT_EQ(resolve_read_plan(missing, SecondsCut{-1.0, std::nullopt}).error().display(),
            velmora::error_text(ErrorCode::kSecondsNegative));
}

TEST(resolve_read_plan, widens_the_selected_spans_by_one_packet) {
  const Bytes bytes = ten_seconds().bytes();
  struct Case {
    SecondsCut cut;
    Range range;
  };
  for (const Case& c : {
           Case{{2.5, 4.0}, {1, 4}},           // the worked example
           Case{{}, {0, 10}},                  // no bounds: first to last packet
           Case{{0.2, 0.7}, {0, 2}},           // inside the first packet
           Case{{9.2, 9.7}, {8, 2}},           // inside the last packet
           Case{{9.5, std::nullopt}, {8, 2}},  // start only
           Case{{std::nullopt, 0.5}, {0, 2}},  // end only
           Case{{3.0, std::nullopt}, {2, 8}},  // span 2 ends at the start: passed over
           Case{{std::nullopt, 3.0}, {0, 4}},  // span 3 starts at the end: stops
           Case{{3.0, 4.0}, {2, 3}},           // exactly one span, widened both ways
           Case{{0.0, 100.0}, {0, 10}},        // beyond the last packet
       }) {
    EXPECT_EQ(range_of(bytes, c.cut), c.range)
        << c.cut.start.value_or(-1) << " " << c.cut.end.value_or(-1);
  }
}

TEST(resolve_read_plan, corrects_span_starts_for_continuity) {
  // Packet 1 starts 0.5 s after packet 0 ends: its span starts at packet 0's end, T + 1.
  FileBuilder file;
  PacketBuilder late = second_packet(1);
  late.timestamp_offset = -50;
  file.add(second_packet(0)).add(late).add(second_packet(10));
  const Bytes bytes = file.bytes();
  // A window in the 0.5 s gap hits the corrected span of packet 1.
  EXPECT_EQ(range_of(bytes, {1.1, 1.2}), (Range{0, 3}));
  // The gap of 8.5 s before packet 2 stays a gap.
  EXPECT_EQ(plan_error(bytes, SecondsCut{5.0, 6.0}),
            velmora::error_text(ErrorCode::kNoSamplesAfterSecondsCut));
  EXPECT_EQ(plan_error(bytes, SecondsCut{11.0, std::nullopt}),
            velmora::error_text(ErrorCode::kNoSamplesAfterSecondsCut));
}

TEST(resolve_read_plan, fails_on_damage_after_the_window_and_plans_a_collapsed_window) {
  FileBuilder damaged = ten_seconds();
  PacketBuilder unset = second_packet(8);
  unset.timestamp = 0;
  damaged.blocks[8] = unset.bytes();
  EXPECT_EQ(plan_error(damaged.bytes(), SecondsCut{0.0, 1.0}),
            velmora::error_text(ErrorCode::kInvalidBlockTimestamp));
  // Of two damaged packets, the earlier one names the failure.
  PacketBuilder old_format = second_packet(2);
  old_format.rate_code = 0;
  damaged.blocks[2] = old_format.bytes();
  EXPECT_EQ(plan_error(damaged.bytes(), SecondsCut{0.0, 1.0}),
            velmora::error_text(ErrorCode::kOldFormatPackets));
  // Bounds a hair apart collapse at the scale of first_data_time: the plan is found anyway.
  auto plan = plan_for(ten_seconds().bytes(), SecondsCut{3.5, 3.5 + 1e-9});
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->range_start_time, plan->range_end_time);
}

TEST(resolve_read_plan, fails_cleanly_on_every_truncation) {
  const Bytes bytes = ten_seconds().bytes();
  for (size_t length = 0; length < 1024 + 3 * 512; ++length) {
    auto plan = plan_for(testing::prefix(bytes, length), SecondsCut{0.5, 1.5});
    EXPECT_EQ(plan.has_value(), length >= 1536 && length % 512 == 0) << length;
  }
}

// The selection in its plainest form: every span collected first, then walked.
Result<ReadPlan> plan_by_spans(const FileBuilder& file, const SecondsCut& cut) {
  struct Span {
    uint64_t block;
    double start, end;
  };
  std::vector<Span> spans;
  double first_data_time = 0.0;
  for (uint64_t block = 0; block < file.blocks.size(); ++block) {
    auto meta = packet_meta(PacketBytes(file.blocks[block].data(), kPacketBytes));
    if (!meta) return fail(meta.error());
    if (!*meta) continue;
    const PacketBounds bounds = (*meta)->natural_bounds();
    double start = bounds.start;
    if (spans.empty()) {
      first_data_time = bounds.start;
    } else if (bounds.start - spans.back().end < 1.0) {
      start = spans.back().end;
    }
    spans.push_back({block, start, bounds.end});
  }
  if (spans.empty()) return fail(ErrorCode::kNoSampleData);
  ReadPlan plan;
  plan.has_block_range = true;
  if (cut.start) plan.range_start_time = *cut.start + first_data_time;
  if (cut.end) plan.range_end_time = *cut.end + first_data_time;
  std::optional<size_t> first, last;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (plan.range_start_time && spans[i].end <= *plan.range_start_time) continue;
    if (plan.range_end_time && spans[i].start >= *plan.range_end_time) break;
    if (!first) first = i;
    last = i;
  }
  if (!first) return fail(ErrorCode::kNoSamplesAfterSecondsCut);
  const size_t plan_first = *first == 0 ? 0 : *first - 1;
  const size_t plan_last = *last + 1 < spans.size() ? *last + 1 : *last;
  plan.start_block = spans[plan_first].block;
  plan.block_count = spans[plan_last].block - plan.start_block + 1;
  return plan;
}

TEST(resolve_read_plan, matches_a_walk_over_collected_spans_on_irregular_files) {
  std::mt19937 rng(5);
  for (int round = 0; round < 400; ++round) {
    FileBuilder file;
    const size_t packets = 1 + rng() % 24;
    for (size_t k = 0; k < packets; ++k) {
      // Mostly in order, with jumps back, gaps, overlaps, short packets and non-data blocks.
      PacketBuilder packet = testing::packet_at(static_cast<uint32_t>(rng() % 40),
                                                static_cast<uint16_t>(rng() % 4 == 0 ? 0 : 100));
      if (rng() % 2 == 0) packet.timestamp = testing::kJan2020 + static_cast<uint32_t>(k);
      packet.timestamp_offset = static_cast<int16_t>(static_cast<int>(rng() % 200) - 100);
      if (rng() % 10 == 0) packet.header[0] = 'Z';
      if (rng() % 60 == 0) packet.timestamp = 0;  // fails the whole plan
      file.add(packet);
    }
    SecondsCut cut;
    if (rng() % 4 != 0) cut.start = static_cast<double>(rng() % 400) / 10.0;
    if (rng() % 4 != 0)
      cut.end = cut.start.value_or(0.0) + static_cast<double>(1 + rng() % 100) / 10.0;
    const auto expected = plan_by_spans(file, cut);
    const auto actual = plan_for(file.bytes(), cut);
    ASSERT_EQ(actual.has_value(), expected.has_value()) << round;
    if (!expected) {
      EXPECT_EQ(actual.error().display(), expected.error().display()) << round;
      continue;
    }
    EXPECT_EQ(actual->start_block, expected->start_block) << round;
    EXPECT_EQ(actual->block_count, expected->block_count) << round;
    EXPECT_EQ(actual->range_start_time, expected->range_start_time) << round;
    EXPECT_EQ(actual->range_end_time, expected->range_end_time) << round;
  }
}

}  // namespace
}  // namespace velmora
