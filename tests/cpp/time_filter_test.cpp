// The time-range filter: bound checks, the half-open window on float seconds, and motion
// columns decided again after the cut.
#include "package/read/time_filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"

namespace velmora {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

template <class T>
Column<T> column_of(const std::vector<T>& values) {
  Column<T> column;
  for (const T value : values) column.push_back(value);
  return column;
}

template <class T>
std::vector<T> values_of(const Column<T>& column) {
  return std::vector<T>(column.begin(), column.end());
}

// Rows at the given microsecond times; acc_x holds the row number.
CwaDataResult rows_at(const std::vector<int64_t>& times) {
  CwaDataResult data;
  data.timestamps = column_of(times);
  for (size_t i = 0; i < times.size(); ++i) {
    data.acc_x->push_back(static_cast<float>(i));
    data.acc_y->push_back(0.0f);
    data.acc_z->push_back(0.0f);
  }
  return data;
}

std::vector<float> kept_rows(const std::vector<int64_t>& times, std::optional<double> start,
                             std::optional<double> end) {
  auto out = filter_data_by_time_range(rows_at(times), start, end);
  EXPECT_TRUE(out) << out.error().display();
  return out ? values_of(*out->acc_x) : std::vector<float>{};
}

std::string filter_error(std::vector<int64_t> times, std::optional<double> start,
                         std::optional<double> end) {
  return testing::error_text(filter_data_by_time_range(rows_at(times), start, end));
}

TEST(filter_data_by_time_range, keeps_the_half_open_window) {
  const std::vector<int64_t> times = {1000000, 2000000, 3000000, 4000000};
  EXPECT_EQ(kept_rows(times, 2.0, 4.0), (std::vector<float>{1, 2}));
  EXPECT_EQ(kept_rows(times, 2.0, std::nullopt), (std::vector<float>{1, 2, 3}));
  EXPECT_EQ(kept_rows(times, std::nullopt, 2.0), (std::vector<float>{0}));
  EXPECT_EQ(kept_rows(times, -5.0, 1.5), (std::vector<float>{0}));
  // Out of order rows are tested one by one and keep their order.
  EXPECT_EQ(kept_rows({4000000, 1000000, 3000000, 2500000}, 2.0, 3.5), (std::vector<float>{2, 3}));
}

TEST(filter_data_by_time_range, moves_every_column_alike_for_runs_and_scattered_rows) {
  for (const std::vector<int64_t>& times : {
           std::vector<int64_t>{1000000, 2000000, 2500000, 3000000, 5000000},           // one run
           std::vector<int64_t>{3000000, 2100000, 1000000, 2500000, 9000000, 2000000},  // scattered
       }) {
    CwaDataResult data = rows_at(times);
    data.temperature.emplace();
    for (const int64_t t : times) data.temperature->push_back(static_cast<float>(t) / 1e6f);
    auto out = filter_data_by_time_range(std::move(data), 2.0, 3.0);
    ASSERT_TRUE(out);
    std::vector<int64_t> expected;
    for (const int64_t t : times) {
      if (t >= 2000000 && t < 3000000) expected.push_back(t);
    }
    EXPECT_EQ(values_of(out->timestamps), expected);
    ASSERT_EQ(out->temperature->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ((*out->temperature)[i], static_cast<float>(expected[i]) / 1e6f);
    }
    EXPECT_EQ(out->acc_y->size(), expected.size());
  }
}

TEST(filter_data_by_time_range, compares_float_seconds_not_microseconds) {
  // 1577836799909999 us is just below 1577836799.9099998 s.
  EXPECT_EQ(kept_rows({1577836799909999, 1577836799919999}, 1577836799.9099998, std::nullopt),
            (std::vector<float>{1}));
}

TEST(filter_data_by_time_range, returns_unbounded_input_untouched) {
  CwaDataResult empty;
  auto passed = filter_data_by_time_range(std::move(empty), std::nullopt, std::nullopt);
  ASSERT_TRUE(passed);
  EXPECT_EQ(passed->rows(), 0u);
  CwaDataResult all_nan = rows_at({1, 2});
  all_nan.gyro_x = column_of<float>({kNan, kNan});
  auto kept = filter_data_by_time_range(std::move(all_nan), std::nullopt, std::nullopt);
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->gyro_x.has_value());
}

TEST(filter_data_by_time_range, checks_bounds_before_the_rows) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::optional<double> start, end;
    std::string_view message;
  };
  for (const Case& c :
       {Case{nan, 1.0, velmora::error_text(ErrorCode::kTimeRangeNotFinite)},
        Case{std::nullopt, -inf, velmora::error_text(ErrorCode::kTimeRangeNotFinite)},
        Case{5.0, inf, velmora::error_text(ErrorCode::kTimeRangeNotFinite)},
        Case{inf, 1.0, velmora::error_text(ErrorCode::kTimeRangeNotFinite)},
        Case{2.0, 2.0, velmora::error_text(ErrorCode::kTimeRangeOrder)},
        Case{3.0, 2.0, velmora::error_text(ErrorCode::kTimeRangeOrder)},
        Case{10.0, std::nullopt, velmora::error_text(ErrorCode::kNoSamplesAfterTimeRange)},
        Case{std::nullopt, 1.0, velmora::error_text(ErrorCode::kNoSamplesAfterTimeRange)},
        Case{0.0, 1.0, velmora::error_text(ErrorCode::kNoSamplesAfterTimeRange)}}) {
    EXPECT_EQ(filter_error({1000000, 2000000}, c.start, c.end), c.message);
  }
  EXPECT_EQ(filter_error({}, 0.0, 1.0), velmora::error_text(ErrorCode::kNoSamplesAfterTimeRange));
  EXPECT_TRUE(check_time_bounds(-2.0, -1.0));
  EXPECT_EQ(check_time_bounds(nan, 1.0).error().display(),
            velmora::error_text(ErrorCode::kTimeRangeNotFinite));
}

TEST(filter_data_by_time_range, decides_motion_columns_again_one_by_one) {
  CwaDataResult data = rows_at({1000000, 2000000, 3000000});
  data.gyro_x = column_of<float>({1.0f, 0.0f, kNan});
  data.gyro_y = column_of<float>({1.0f, kNan, kNan});
  data.gyro_z = column_of<float>({kNan, kNan, 7.0f});
  data.mag_x = column_of<float>({kNan, -0.0f, kNan});
  data.temperature = column_of<float>({kNan, kNan, kNan});
  data.light = column_of<float>({1.0f, 2.0f, 3.0f});
  auto out = filter_data_by_time_range(std::move(data), 2.0, 3.0);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->rows(), 1u);
  EXPECT_EQ(out->timestamps[0], 2000000);
  ASSERT_TRUE(out->gyro_x);
  EXPECT_EQ((*out->gyro_x)[0], 0.0f);
  EXPECT_FALSE(out->gyro_y);
  EXPECT_FALSE(out->gyro_z);
  ASSERT_TRUE(out->mag_x);
  EXPECT_FALSE(out->mag_y);
  ASSERT_TRUE(out->temperature);
  EXPECT_TRUE(std::isnan((*out->temperature)[0]));
  EXPECT_EQ(values_of(*out->light), std::vector<float>{2.0f});
  EXPECT_FALSE(out->battery);
}

}  // namespace
}  // namespace velmora
