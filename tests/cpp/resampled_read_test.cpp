// Tests of the resampled read: time bounds on the grid, early stop, column presence, and the
// empty and invalid outcomes, on files from the builder.
#include "package/resample/resampled_read.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

using testing::FileBuilder;
using testing::kJan2020;
using testing::kJan2020Unix;
using testing::PacketBuilder;
using testing::TempFile;

constexpr double kT = static_cast<double>(kJan2020Unix);
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A 100 Hz packet of 100 samples (one second) at whole second `second` after W.
PacketBuilder second_packet(unsigned second) { return testing::packet_at(second, 100); }

// A 6-axis packet of 40 samples at 100 Hz whose gyroscope x reads raw 1000.
PacketBuilder gyro_packet(unsigned second) {
  PacketBuilder p;
  p.timestamp = kJan2020 + second;
  p.sample_format = 0x62;
  p.sample_count = 40;
  for (size_t i = 0; i < 40; ++i) {
    for (size_t axis = 0; axis < 3; ++axis) p.raw_value(i, axis, 1000);
    p.raw_value(i, 3, 256);
  }
  return p;
}

FileBuilder seconds_file(unsigned count) { return testing::file_of(count, 100); }

PacketBuilder old_format_packet() {
  PacketBuilder p = second_packet(0);
  p.rate_code = 0;
  return p;
}

Result<CwaDataResult> read(const TempFile& file, double hz, std::optional<double> start,
                           std::optional<double> end, BlockSelection selection = {},
                           ChannelSelection channels = {}) {
  return read_cwa_data_resampled_streaming(file.path(), selection, hz, channels, start, end);
}

TEST(resampled_read, window_shapes_grid_and_stops_before_a_later_fault) {
  FileBuilder f = seconds_file(30);
  f.blocks[25] = old_format_packet().bytes();
  TempFile file(f.bytes());
  auto result = read(file, 1.0, kT + 10.0, kT + 20.0);
  ASSERT_TRUE(result) << testing::error_text(result);
  std::vector<int64_t> expected;
  for (int64_t s = 10; s < 20; ++s) expected.push_back((kJan2020Unix + s) * 1000000);
  EXPECT_EQ(std::vector<int64_t>(result->timestamps.begin(), result->timestamps.end()), expected);
  // Without an end the fault is reached.
  EXPECT_EQ(testing::error_text(read(file, 1.0, kT + 10.0, std::nullopt)),
            velmora::error_text(ErrorCode::kOldFormatPackets));
}

TEST(resampled_read, reports_each_failure_with_its_exact_text) {
  PacketBuilder not_data;
  not_data.header[0] = 'Z';
  const FileBuilder no_data = FileBuilder().add(not_data).add(not_data);
  const FileBuilder one = seconds_file(1);
  // A subnormal rate stops before reading on to the old-format packet.
  const FileBuilder faulty_tail = seconds_file(3).add(old_format_packet());
  const double tiny = std::numeric_limits<double>::denorm_min();
  const std::optional<double> none;
  const BlockSelection all, zero{0, 0}, past{1, std::nullopt};
  const struct {
    const char* name;
    const FileBuilder& file;
    double hz;
    std::optional<double> start, end;
    BlockSelection selection;
    std::string_view message;
  } cases[] = {
      {"no_data_packet", no_data, 1.0, none, none, all,
       velmora::error_text(ErrorCode::kNoSampleDataInRange)},
      {"no_data_bounds_unchecked", no_data, 1.0, kNan, none, all,
       velmora::error_text(ErrorCode::kNoSampleDataInRange)},
      {"zero_block_count", one, 1.0, none, none, zero,
       velmora::error_text(ErrorCode::kNoSampleDataInRange)},
      {"start_nan", one, 1.0, kNan, kT, all, velmora::error_text(ErrorCode::kTimeRangeNotFinite)},
      {"end_infinite", one, 1.0, kT, kInf, all,
       velmora::error_text(ErrorCode::kTimeRangeNotFinite)},
      {"start_not_below_end", one, 1.0, kT + 1.0, kT + 1.0, all,
       velmora::error_text(ErrorCode::kTimeRangeOrder)},
      {"start_after_last", one, 1.0, kT + 0.995, none, all,
       velmora::error_text(ErrorCode::kNoSamplesAfterResampling)},
      {"subnormal_rate", faulty_tail, tiny, none, none, all,
       velmora::error_text(ErrorCode::kNoSamplesAfterResampling)},
      {"beyond_file", one, 1.0, none, none, past,
       velmora::error_text(ErrorCode::kStartBlockBeyondFile)},
  };
  for (const auto& c : cases) {
    TempFile file(c.file.bytes());
    EXPECT_EQ(testing::error_text(read(file, c.hz, c.start, c.end, c.selection)), c.message)
        << c.name;
  }
}

TEST(resampled_read, only_samples_inside_bounds_create_motion_columns) {
  FileBuilder f;
  f.add(gyro_packet(0));
  for (unsigned s = 1; s < 6; ++s) f.add(second_packet(s));
  TempFile file(f.bytes());
  auto outside = read(file, 10.0, kT + 2.5, std::nullopt);
  ASSERT_TRUE(outside) << testing::error_text(outside);
  EXPECT_FALSE(outside->gyro_x);
  auto inside = read(file, 10.0, kT + 0.05, std::nullopt);
  ASSERT_TRUE(inside) << testing::error_text(inside);
  ASSERT_TRUE(inside->gyro_x);
  EXPECT_EQ(inside->gyro_x->size(), inside->rows());
}

TEST(resampled_read, in_bounds_gyro_samples_create_column_the_grid_misses) {
  FileBuilder f;
  f.add(second_packet(0)).add(gyro_packet(1));
  for (unsigned s = 2; s < 6; ++s) f.add(second_packet(s));
  TempFile file(f.bytes());
  auto result = read(file, 0.5, std::nullopt, std::nullopt);
  ASSERT_TRUE(result) << testing::error_text(result);
  ASSERT_TRUE(result->gyro_z);
  EXPECT_EQ(result->gyro_z->size(), result->rows());
  for (float v : *result->gyro_z) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
}  // namespace velmora
