// resolve_read_plan: whole and blocks cuts as they stand, seconds cuts located among the data
// packets and widened by one packet on each side.
#include "package/read_plan.hpp"

#include <gtest/gtest.h>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

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
            msg::kBlocksEndNotAfterStart);
  EXPECT_EQ(resolve_read_plan(missing, SecondsCut{-1.0, std::nullopt}).error().display(),
            msg::kSecondsNegative);
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
  EXPECT_EQ(plan_error(bytes, SecondsCut{5.0, 6.0}), msg::kNoSamplesAfterSecondsCut);
  EXPECT_EQ(plan_error(bytes, SecondsCut{11.0, std::nullopt}), msg::kNoSamplesAfterSecondsCut);
}

TEST(resolve_read_plan, fails_on_damage_after_the_window_and_plans_a_collapsed_window) {
  FileBuilder damaged = ten_seconds();
  PacketBuilder unset = second_packet(8);
  unset.timestamp = 0;
  damaged.blocks[8] = unset.bytes();
  EXPECT_EQ(plan_error(damaged.bytes(), SecondsCut{0.0, 1.0}), msg::kInvalidBlockTimestamp);
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

}  // namespace
}  // namespace velmora
