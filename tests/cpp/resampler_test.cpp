// Tests of the streaming resampler: grid times, interval waiting, cubic and linear rows, exact
// hits, range end, bounded queue, and the grid-origin lift.
#include "package/resampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "package/resampler_rows.hpp"

namespace velmora {
namespace {

constexpr float kNan = std::numeric_limits<float>::quiet_NaN();

TimedSample sample_at(double time_s, float acc_x, std::optional<float> gyro = std::nullopt) {
  TimedSample s{};
  s.time_s = time_s;
  s.sample.acc_x = acc_x;
  s.sample.acc_y = -acc_x;
  s.sample.acc_z = 1.0f;
  s.sample.has_gyro = gyro.has_value();
  if (gyro) s.sample.gyro_x = s.sample.gyro_y = s.sample.gyro_z = *gyro;
  s.sample.has_mag = false;
  s.temperature = 20.0f;
  s.light = 10.0f;
  s.battery = 4.0f;
  return s;
}

double from_us(int64_t us) { return static_cast<double>(us) / 1000000.0; }

StreamingResampler make(double hz, std::optional<double> start = std::nullopt,
                        std::optional<double> end = std::nullopt, ReadingSelection readings = {}) {
  return StreamingResampler(start, end, readings, hz);
}

std::vector<float> column_values(const Column<float>& column) {
  return std::vector<float>(column.begin(), column.end());
}

TEST(streaming_resampler, worked_cubic_reproduces_cube_at_midpoint) {
  StreamingResampler r = make(2.0);
  for (double t : {0.0, 1.0, 2.0, 3.0}) r.push(sample_at(t, static_cast<float>(t * t * t)));
  const CwaDataResult& out = r.output();
  // 0.0, 0.5 and 1.0 lie in the first interval (linear); 1.5 waits for t = 3 and is cubic,
  // and so is 2.0; 2.5 waits for a fifth sample.
  EXPECT_EQ(column_values(out.acc_x), (std::vector<float>{0.0f, 0.5f, 1.0f, 3.375f, 8.0f}));
  EXPECT_EQ(out.timestamps[3], 1500000);
}

TEST(streaming_resampler, grid_point_waits_for_right_neighbour_then_goes_cubic) {
  // Samples every 10 ms from 100 s; a 50 Hz grid.
  StreamingResampler r = make(50.0);
  std::vector<size_t> rows_after_push;
  for (int k = 0; k < 6; ++k) {
    const float k3 = static_cast<float>(k * k * k);
    r.push(sample_at(from_us(100000000 + 10000 * k), k3));
    rows_after_push.push_back(r.output().rows());
  }
  // 100.00 goes out with the second sample; 100.02 needs the sample at 100.03.
  EXPECT_EQ(rows_after_push, (std::vector<size_t>{0, 1, 1, 2, 2, 3}));
  const CwaDataResult& out = r.output();
  EXPECT_EQ(out.timestamps[0], 100000000);
  EXPECT_EQ(out.timestamps[1], 100020000);
  EXPECT_EQ(out.acc_x[0], 0.0f);
  EXPECT_EQ(out.acc_x[1], 8.0f);
  r.emit_ready(true);
  EXPECT_EQ(out.rows(), 3u);
}

TEST(streaming_resampler, two_samples_give_linear_points_through_the_second) {
  StreamingResampler r = make(4.0, std::nullopt, std::nullopt, {true, true, true});
  r.push(sample_at(10.0, 0.0f));
  r.emit_ready(true);
  EXPECT_EQ(r.output().rows(), 0u);  // one sample alone gives nothing
  r.push(sample_at(11.0, 4.0f));
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  EXPECT_EQ(column_values(out.acc_x), (std::vector<float>{0.0f, 1.0f, 2.0f, 3.0f, 4.0f}));
  EXPECT_EQ(out.timestamps[4], 11000000);
  ASSERT_TRUE(out.temperature && out.light && out.battery);
  EXPECT_EQ(column_values(*out.battery), std::vector<float>(5, 4.0f));
  EXPECT_FALSE(out.gyro_x);
  EXPECT_FALSE(out.mag_x);
}

TEST(streaming_resampler, exact_hit_copies_motion_values_and_absence_from_the_sample) {
  const struct {
    std::vector<std::optional<float>> gyro;  // per sample at t = 0, 1, 2, 3, 4
    std::vector<float> expected;             // gyro_x per grid row (1 Hz), NaN for absent
  } cases[] = {
      // Absent on the hit despite neighbours; present on the hit without neighbours.
      {{1.5f, 2.5f, std::nullopt, 4.5f, 5.5f}, {1.5f, 2.5f, kNan, 4.5f, 5.5f}},
      {{std::nullopt, std::nullopt, 7.25f, std::nullopt, std::nullopt},
       {kNan, kNan, 7.25f, kNan, kNan}},
  };
  for (const auto& c : cases) {
    StreamingResampler r = make(1.0);
    for (size_t k = 0; k < c.gyro.size(); ++k) {
      r.push(sample_at(static_cast<double>(k), static_cast<float>(k * k * k), c.gyro[k]));
    }
    r.emit_ready(true);
    const CwaDataResult& out = r.output();
    ASSERT_TRUE(out.gyro_x);
    ASSERT_EQ(out.gyro_x->size(), c.expected.size());
    for (size_t row = 0; row < c.expected.size(); ++row) {
      EXPECT_EQ(std::bit_cast<uint32_t>((*out.gyro_x)[row]),
                std::bit_cast<uint32_t>(c.expected[row]))
          << row;
    }
    // The accelerometer is evaluated by the polynomial even on a sample.
    EXPECT_EQ(out.acc_x[2], 8.0f);
  }
}

TEST(streaming_resampler, neighbour_without_gyro_turns_row_linear_or_nan) {
  // Grid at 0.5 s offsets: no exact hits. Sample 0 lacks gyro.
  StreamingResampler r = make(1.0, 0.5);
  r.push(sample_at(0.0, 0.0f, std::nullopt));
  for (int k = 1; k < 5; ++k) {
    r.push(sample_at(static_cast<double>(k), 0.0f, static_cast<float>(k * k * k)));
  }
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  ASSERT_EQ(out.rows(), 4u);  // 0.5, 1.5, 2.5, 3.5
  ASSERT_TRUE(out.gyro_x);
  EXPECT_TRUE(std::isnan((*out.gyro_x)[0]));  // sample 0 is an interval end
  EXPECT_EQ((*out.gyro_x)[1], 4.5f);          // outer neighbour missing: linear 1..8
  EXPECT_EQ((*out.gyro_x)[2], 15.625f);       // full support: cubic 2.5^3
}

TEST(streaming_resampler, earlier_of_duplicate_times_gives_every_channel) {
  const struct {
    std::vector<double> times;
    double grid_start;
  } cases[] = {{{4.0, 4.0, 5.0, 6.0}, 4.0}, {{0.0, 1.0, 2.0, 2.0, 3.0, 4.0}, 0.0}};
  for (const auto& c : cases) {
    StreamingResampler r = make(1.0, c.grid_start);
    std::optional<size_t> first_dup;
    for (size_t k = 0; k < c.times.size(); ++k) {
      if (!first_dup && k + 1 < c.times.size() && c.times[k] == c.times[k + 1]) first_dup = k;
      r.push(sample_at(c.times[k], static_cast<float>(10 + k), static_cast<float>(100 + k)));
    }
    r.emit_ready(true);
    const CwaDataResult& out = r.output();
    size_t row = 0;
    while (from_us(out.timestamps[row]) != c.times[*first_dup]) ++row;
    EXPECT_EQ(out.acc_x[row], static_cast<float>(10 + *first_dup));
    EXPECT_EQ((*out.gyro_x)[row], static_cast<float>(100 + *first_dup));
  }
}

TEST(streaming_resampler, gap_is_interpolated_and_queue_stays_small) {
  const double base = 1.6e9;
  StreamingResampler r = make(1.0);
  size_t largest_queue = 0;
  std::vector<double> times;
  for (int k = 0; k < 200; ++k) times.push_back(base + 0.01 * k);
  for (int k = 0; k < 200; ++k) times.push_back(base + 602.0 + 0.01 * k);
  for (double t : times) {
    r.push(sample_at(t, 2.0f));
    largest_queue = std::max(largest_queue, r.queued());
  }
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  EXPECT_EQ(out.rows(), 604u);  // every second from base to base + 603
  EXPECT_EQ(out.acc_x[300], 2.0f);
  EXPECT_LE(largest_queue, 5u);
}

TEST(streaming_resampler, grid_truncates_instead_of_snapping) {
  StreamingResampler r = make(100.0);
  for (int k = 0; k < 6; ++k) r.push(sample_at(from_us(1535526954892228 + 10000 * k), 0.0f));
  ASSERT_GE(r.output().rows(), 3u);
  EXPECT_EQ(r.output().timestamps[2], 1535526954912227);
}

TEST(streaming_resampler, grid_origin_is_lifted_to_first_sample_when_it_rounds_below) {
  // 1000 * t / 1000 lands one ulp below this t.
  const double t = from_us(1577836876800003);
  ASSERT_LT((1000.0 * t) / 1000.0, t);
  StreamingResampler r = make(10.0);
  size_t largest_queue = 0;
  for (int k = 0; k < 1000; ++k) {
    r.push(sample_at(t + 0.01 * k, 1.0f));
    largest_queue = std::max(largest_queue, r.queued());
  }
  r.emit_ready(true);
  EXPECT_EQ(r.output().rows(), 100u);
  EXPECT_GE(*r.grid_origin_ms() / 1000.0, t);
  EXPECT_EQ(*r.grid_origin_ms(), std::nextafter(1000.0 * t, 2e15));
  EXPECT_LE(largest_queue, 5u);
}

TEST(streaming_resampler, subnormal_rate_queues_nothing) {
  StreamingResampler r = make(std::numeric_limits<double>::denorm_min());
  EXPECT_FALSE(r.grid_defined());
  for (int k = 0; k < 100; ++k) r.push(sample_at(10.0 + k, 1.0f));
  r.emit_ready(true);
  EXPECT_EQ(r.queued(), 0u);
  EXPECT_EQ(r.output().rows(), 0u);
}

TEST(streaming_resampler, column_created_ahead_holds_nan_for_earlier_rows) {
  StreamingResampler r = make(1.0);
  r.push(sample_at(0.0, 1.0f));
  r.push(sample_at(1.0, 1.0f));
  r.ensure_column(&CwaDataResult::mag_y);
  r.push(sample_at(2.0, 1.0f));
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  ASSERT_TRUE(out.mag_y);
  EXPECT_EQ(out.mag_y->size(), out.rows());
  for (float v : *out.mag_y) EXPECT_TRUE(std::isnan(v));
  EXPECT_FALSE(out.mag_x);
}

// The cubic row written out from the formula: denominators (a - b) * ((a - c) * (a - d)),
// numerators grouped as in the row, terms summed left to right.
float cubic_by_formula(const QueuedSample* q, double x, size_t channel) {
  const double t[4] = {q[0].time_s, q[1].time_s, q[2].time_s, q[3].time_s};
  double sum = 0.0;
  for (size_t k = 0; k < 4; ++k) {
    const double d = k == 0   ? (t[0] - t[3]) * ((t[0] - t[2]) * (t[0] - t[1]))
                     : k == 1 ? (t[1] - t[3]) * ((t[1] - t[2]) * (t[1] - t[0]))
                     : k == 2 ? (t[2] - t[3]) * ((t[2] - t[1]) * (t[2] - t[0]))
                              : (t[3] - t[2]) * ((t[3] - t[1]) * (t[3] - t[0]));
    const double a_m1 = x - t[0], a_0 = x - t[1], a_1 = x - t[2], a_2 = x - t[3];
    const double n = k == 0   ? (a_0 * a_1) * a_2
                     : k == 1 ? (a_m1 * a_1) * a_2
                     : k == 2 ? (a_m1 * a_0) * a_2
                              : (a_m1 * a_0) * a_1;
    const double term = (n / d) * static_cast<double>(q[k].value[channel]);
    sum = k == 0 ? term : sum + term;
  }
  return static_cast<float>(sum);
}

TEST(cubic_common_row, matches_the_formula_lane_for_lane_and_declines_nan_and_degenerate_rows) {
  if (!wide_rows_supported()) GTEST_SKIP();
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> step(0.001, 0.02);
  std::uniform_real_distribution<float> value(-8.0f, 8.0f);
  int declined = 0;
  for (int round = 0; round < 20000; ++round) {
    QueuedSample q[4] = {};
    double t = 1.7e9 + static_cast<double>(rng() % 100000);
    for (QueuedSample& entry : q) {
      entry.time_s = t;
      t += round % 50 == 0 ? 1e-13 : step(rng);  // now and then a degenerate denominator
      for (float& v : entry.value) v = value(rng);
    }
    if (round % 37 == 0) q[rng() % 4].value[rng() % 6] = std::numeric_limits<float>::quiet_NaN();
    const double x = q[1].time_s + (q[2].time_s - q[1].time_s) * 0.37;
    float out[6];
    if (!cubic_common_row(q, x, out)) {
      ++declined;
      continue;
    }
    for (size_t channel = 0; channel < 6; ++channel) {
      ASSERT_EQ(std::bit_cast<uint32_t>(out[channel]),
                std::bit_cast<uint32_t>(cubic_by_formula(q, x, channel)))
          << round << " " << channel;
    }
  }
  // Degenerate and NaN rows are left to the generic row.
  EXPECT_GT(declined, 500);
  EXPECT_LT(declined, 2000);
}

}  // namespace
}  // namespace velmora
