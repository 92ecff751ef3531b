// Timestamp texts: fraction widths, floor division before 1970, and the calendar range.
#include "header/timestamp_text.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "cwa_builder.hpp"

namespace velmora {
namespace {

using testing::kJan2020Us;

TEST(timestamp_us_to_raw_string, uses_the_shortest_of_three_fraction_widths) {
  const struct {
    int64_t t;
    std::string_view text;
  } cases[] = {
      {kJan2020Us, "2020-01-01T00:00:00"},
      {kJan2020Us + 300'000, "2020-01-01T00:00:00.300"},
      {kJan2020Us + 1, "2020-01-01T00:00:00.000001"},
      {kJan2020Us + 250'500, "2020-01-01T00:00:00.250500"},
      {kJan2020Us + 999'999, "2020-01-01T00:00:00.999999"},
      {kJan2020Us + 86'399'001'000, "2020-01-01T23:59:59.001"},
      {0, "1970-01-01T00:00:00"},
      {1'709'164'800LL * 1'000'000, "2024-02-29T00:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(timestamp_us_to_raw_string(c.t), c.text) << c.t;
}

TEST(timestamp_us_to_raw_string, floors_instants_before_1970) {
  EXPECT_EQ(timestamp_us_to_raw_string(-1), "1969-12-31T23:59:59.999999");
  EXPECT_EQ(timestamp_us_to_raw_string(-1'000'000), "1969-12-31T23:59:59");
  EXPECT_EQ(timestamp_us_to_raw_string(-86'400'000'000 - 500'000), "1969-12-30T23:59:59.500");
}

TEST(timestamp_us_to_raw_string, covers_years_1_to_9999_and_nothing_beyond) {
  const int64_t first_us = days_from_civil(1, 1, 1) * 86'400 * 1'000'000;
  const int64_t after_last_us = days_from_civil(10000, 1, 1) * 86'400 * 1'000'000;
  EXPECT_EQ(timestamp_us_to_raw_string(first_us), "0001-01-01T00:00:00");
  EXPECT_EQ(timestamp_us_to_raw_string(first_us - 1), std::nullopt);
  EXPECT_EQ(timestamp_us_to_raw_string(after_last_us - 1), "9999-12-31T23:59:59.999999");
  EXPECT_EQ(timestamp_us_to_raw_string(after_last_us), std::nullopt);
  EXPECT_EQ(timestamp_us_to_raw_string(std::numeric_limits<int64_t>::min()), std::nullopt);
  EXPECT_EQ(timestamp_us_to_raw_string(std::numeric_limits<int64_t>::max()), std::nullopt);
}

}  // namespace
}  // namespace velmora
