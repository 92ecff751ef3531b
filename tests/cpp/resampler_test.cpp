// Tests of the streaming resampler: grid times, interval waiting, cubic and linear rows, exact
// hits, range end, bounded queue, and the grid-origin lift.
#include "package//resample/resampler.hpp"

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

#include "package/decode/sample_times.hpp"
#include "package/kernels/resampler_kernel.hpp"
#include "reference_decode.hpp"

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
                        std::optional<double> end = std::nullopt,
                        ChannelSelection channels = {.include_temperature = false,
                                                     .include_light = false,
                                                     .include_battery = false}) {
  return StreamingResampler(start, end, channels, hz);
}

std::vector<float> column_values(const Column<float>& column) {
  return std::vector<float>(column.begin(), column.end());
}

TEST(streaming_resampler, worked_cubic_reproduces_cube_at_midpoint) {
  StreamingResampler r = make(2.0);
  for (double t : {0.0, 1.0, 2.0, 3.0}) push_sample(r, sample_at(t, static_cast<float>(t * t * t)));
  const CwaDataResult& out = r.output();
  // 0.0, 0.5 and 1.0 lie in the first interval (linear); 1.5 waits for t = 3 and is cubic,
  // and so is 2.0; 2.5 waits for a fifth sample.
  EXPECT_EQ(column_values(*out.acc_x), (std::vector<float>{0.0f, 0.5f, 1.0f, 3.375f, 8.0f}));
  EXPECT_EQ(out.timestamps[3], 1500000);
}

TEST(streaming_resampler, grid_point_waits_for_right_neighbour_then_goes_cubic) {
  // Samples every 10 ms from 100 s; a 50 Hz grid.
  StreamingResampler r = make(50.0);
  std::vector<size_t> rows_after_push;
  for (int k = 0; k < 6; ++k) {
    const float k3 = static_cast<float>(k * k * k);
    push_sample(r, sample_at(from_us(100000000 + 10000 * k), k3));
    rows_after_push.push_back(r.output().rows());
  }
  // 100.00 goes out with the second sample; 100.02 needs the sample at 100.03.
  EXPECT_EQ(rows_after_push, (std::vector<size_t>{0, 1, 1, 2, 2, 3}));
  const CwaDataResult& out = r.output();
  EXPECT_EQ(out.timestamps[0], 100000000);
  EXPECT_EQ(out.timestamps[1], 100020000);
  EXPECT_EQ((*out.acc_x)[0], 0.0f);
  EXPECT_EQ((*out.acc_x)[1], 8.0f);
  r.emit_ready(true);
  EXPECT_EQ(out.rows(), 3u);
}

TEST(streaming_resampler, two_samples_give_linear_points_through_the_second) {
  StreamingResampler r = make(4.0, std::nullopt, std::nullopt, ChannelSelection{});
  push_sample(r, sample_at(10.0, 0.0f));
  r.emit_ready(true);
  EXPECT_EQ(r.output().rows(), 0u);  // one sample alone gives nothing
  push_sample(r, sample_at(11.0, 4.0f));
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  EXPECT_EQ(column_values(*out.acc_x), (std::vector<float>{0.0f, 1.0f, 2.0f, 3.0f, 4.0f}));
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
      push_sample(r, sample_at(static_cast<double>(k), static_cast<float>(k * k * k), c.gyro[k]));
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
    EXPECT_EQ((*out.acc_x)[2], 8.0f);
  }
}

TEST(streaming_resampler, neighbour_without_gyro_turns_row_linear_or_nan) {
  // Grid at 0.5 s offsets: no exact hits. Sample 0 lacks gyro.
  StreamingResampler r = make(1.0, 0.5);
  push_sample(r, sample_at(0.0, 0.0f, std::nullopt));
  for (int k = 1; k < 5; ++k) {
    push_sample(r, sample_at(static_cast<double>(k), 0.0f, static_cast<float>(k * k * k)));
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
      push_sample(r,
                  sample_at(c.times[k], static_cast<float>(10 + k), static_cast<float>(100 + k)));
    }
    r.emit_ready(true);
    const CwaDataResult& out = r.output();
    size_t row = 0;
    while (from_us(out.timestamps[row]) != c.times[*first_dup]) ++row;
    EXPECT_EQ((*out.acc_x)[row], static_cast<float>(10 + *first_dup));
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
    push_sample(r, sample_at(t, 2.0f));
    largest_queue = std::max(largest_queue, r.queued());
  }
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  EXPECT_EQ(out.rows(), 604u);  // every second from base to base + 603
  EXPECT_EQ((*out.acc_x)[300], 2.0f);
  EXPECT_LE(largest_queue, 5u);
}

TEST(streaming_resampler, grid_truncates_instead_of_snapping) {
  StreamingResampler r = make(100.0);
  for (int k = 0; k < 6; ++k)
    push_sample(r, sample_at(from_us(1535526954892228 + 10000 * k), 0.0f));
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
    push_sample(r, sample_at(t + 0.01 * k, 1.0f));
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
  for (int k = 0; k < 100; ++k) push_sample(r, sample_at(10.0 + k, 1.0f));
  r.emit_ready(true);
  EXPECT_EQ(r.queued(), 0u);
  EXPECT_EQ(r.output().rows(), 0u);
}

TEST(streaming_resampler, column_created_ahead_holds_nan_for_earlier_rows) {
  StreamingResampler r = make(1.0);
  push_sample(r, sample_at(0.0, 1.0f));
  push_sample(r, sample_at(1.0, 1.0f));
  r.ensure_column(&CwaDataResult::mag_y);
  push_sample(r, sample_at(2.0, 1.0f));
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  ASSERT_TRUE(out.mag_y);
  EXPECT_EQ(out.mag_y->size(), out.rows());
  for (float v : *out.mag_y) EXPECT_TRUE(std::isnan(v));
  EXPECT_FALSE(out.mag_x);
}

// The queue keeps its own channel order; every output column must still get its own channel.
TEST(streaming_resampler, every_channel_reaches_its_own_column) {
  StreamingResampler r = make(1.0, std::nullopt, std::nullopt, ChannelSelection{});
  for (double t : {0.0, 1.0, 2.0, 3.0}) {
    TimedSample s{};
    s.time_s = t;
    s.sample = {1.0f, 2.0f, 3.0f, true, 4.0f, 5.0f, 6.0f, true, 7.0f, 8.0f, 9.0f};
    s.temperature = 10.0f;
    s.light = 11.0f;
    s.battery = 12.0f;
    push_sample(r, s);
  }
  r.emit_ready(true);
  const CwaDataResult& out = r.output();
  ASSERT_EQ(out.rows(), 4u);
  for (size_t c = 0; c < kChannelCount; ++c) {
    const OptionalColumn& column = out.*kChannels[c].member;
    ASSERT_TRUE(column) << kChannels[c].name;
    EXPECT_EQ(column_values(*column), std::vector<float>(4, static_cast<float>(c + 1)))
        << kChannels[c].name;
  }
}

// The cubic row written out from the formula: denominators (a - b) * ((a - c) * (a - d)),
// numerators grouped as in the row, terms summed left to right. `slot` is the interval start.
double cubic_by_formula(const SampleQueue& q, size_t slot, double x, size_t channel,
                        bool* degenerate) {
  const double* times = q.times();
  const double t[4] = {times[slot - 1], times[slot], times[slot + 1], times[slot + 2]};
  double sum = 0.0;
  *degenerate = false;
  for (size_t k = 0; k < 4; ++k) {
    const double d = k == 0   ? (t[0] - t[3]) * ((t[0] - t[2]) * (t[0] - t[1]))
                     : k == 1 ? (t[1] - t[3]) * ((t[1] - t[2]) * (t[1] - t[0]))
                     : k == 2 ? (t[2] - t[3]) * ((t[2] - t[1]) * (t[2] - t[0]))
                              : (t[3] - t[2]) * ((t[3] - t[1]) * (t[3] - t[0]));
    if (std::abs(d) < kDegenerateSpan) *degenerate = true;
    const double a_m1 = x - t[0], a_0 = x - t[1], a_1 = x - t[2], a_2 = x - t[3];
    const double n = k == 0   ? (a_0 * a_1) * a_2
                     : k == 1 ? (a_m1 * a_1) * a_2
                     : k == 2 ? (a_m1 * a_0) * a_2
                              : (a_m1 * a_0) * a_1;
    const double term = (n / d) * static_cast<double>(q.values(channel)[slot - 1 + k]);
    sum = k == 0 ? term : sum + term;
  }
  return sum;
}

// The output of cubic_rows_wide for rows over a queue, with or without its runs of readings.
struct WideRows {
  std::vector<int64_t> timestamps;
  std::vector<std::vector<float>> channels;
  std::array<uint8_t, PendingRows::kCapacity / 8> generic{};
};

using RowsBuild = bool (*)(const RowSources&, const PendingRows&, const RowTargets&, uint8_t*);

// The vector builds of the rows; the tests run each one this processor has.
const std::vector<std::pair<const char*, RowsBuild>> kRowsBuilds = {{"avx512", cubic_rows_avx512},
                                                                    {"avx2", cubic_rows_avx2}};

WideRows wide_rows(RowsBuild build, const SampleQueue& queue, const PendingRows& rows,
                   const int64_t* run_ids) {
  WideRows wide;
  wide.timestamps.resize(rows.count);
  wide.channels.assign(kCommonChannels, std::vector<float>(rows.count));
  RowSources in{queue.times(), {}, run_ids};
  RowTargets out{wide.timestamps.data(), {}};
  for (size_t channel = 0; channel < kCommonChannels; ++channel) {
    in.values[channel] = queue.values(channel);
    out.values[channel] = wide.channels[channel].data();
  }
  EXPECT_TRUE(build(in, rows, out, wide.generic.data()));
  return wide;
}

class cubic_rows_wide : public ::testing::TestWithParam<std::pair<const char*, RowsBuild>> {
 protected:
  void SetUp() override {
    PendingRows none;
    none.count = 0;
    RowSources in{nullptr, {}, nullptr};
    RowTargets out{nullptr, {}};
    if (!GetParam().second(in, none, out, nullptr)) GTEST_SKIP() << "no " << GetParam().first;
  }
};

INSTANTIATE_TEST_SUITE_P(builds, cubic_rows_wide, ::testing::ValuesIn(kRowsBuilds),
                         [](const auto& build) { return std::string(build.param.first); });

TEST_P(cubic_rows_wide, match_the_formula_lane_for_lane_and_leave_the_rest_to_the_generic_row) {
  std::mt19937_64 rng(23);
  std::uniform_real_distribution<double> step(0.001, 0.02);
  std::uniform_real_distribution<float> value(-8.0f, 8.0f);
  std::uniform_real_distribution<double> fraction(0.0, 1.0);
  SampleQueue queue;
  // Exactly the queue's capacity, so that loads past the last entries meet the end of its storage.
  constexpr size_t kEntries = 512;
  const StagedEntries staged = queue.stage(kEntries);
  ASSERT_EQ(queue.capacity(), kEntries);
  double t = 1.7e9;
  for (size_t j = 0; j < kEntries; ++j) {
    staged.time[j] = t;
    // Now and then a degenerate denominator, and now and then a gap of a few minutes.
    t += j % 50 == 7 ? 1e-13 : j % 45 == 20 ? 300.0 * step(rng) : step(rng);
    for (size_t channel = 0; channel < kResampledChannels; ++channel) {
      staged.value[channel][j] =
          static_cast<double>(j % 97 == 5 && channel == j % 6 ? kNan : value(rng));
    }
  }
  queue.push_staged(kEntries);

  size_t generic_rows = 0;
  for (int round = 0; round < 400; ++round) {
    PendingRows rows;
    rows.count = 1 + rng() % PendingRows::kCapacity;
    // Consecutive slots (one load per group), slots that repeat or skip one as at packet joins
    // (a permute of two loads), and scattered slots (gathers), up to the queue's last interval.
    size_t slot = 1 + rng() % (kEntries - 3);
    for (size_t j = 0; j < rows.count; ++j) {
      switch (round % 3) {
        case 0:
          ++slot;
          break;
        case 1:
          slot += rng() % 5 == 0 ? 0u : rng() % 5 == 0 ? 2u : 1u;
          break;
        default:
          slot = 1 + rng() % (kEntries - 3);
      }
      if (slot > kEntries - 3) slot = 1;
      const double* times = queue.times();
      rows.slot[j] = static_cast<int64_t>(slot);
      rows.x[j] = times[slot] + (times[slot + 1] - times[slot]) * fraction(rng);
      rows.support[j] = rng() % 40 == 0 ? 0 : 1;
    }
    const WideRows wide = wide_rows(GetParam().second, queue, rows, nullptr);
    const auto& [timestamps, channels, generic] = wide;
    for (size_t j = 0; j < rows.count; ++j) {
      const size_t s = static_cast<size_t>(rows.slot[j]);
      bool degenerate = false;
      bool any_nan = false;
      std::array<double, kCommonChannels> expected;
      for (size_t channel = 0; channel < kCommonChannels; ++channel) {
        expected[channel] = cubic_by_formula(queue, s, rows.x[j], channel, &degenerate);
        any_nan = any_nan || std::isnan(expected[channel]);
      }
      const double* times = queue.times();
      const double span = times[s + 1] - times[s];
      const bool gap =
          span > 2.0 * (times[s] - times[s - 1]) && span > 2.0 * (times[s + 2] - times[s + 1]);
      const bool flagged = ((static_cast<unsigned>(generic[j / 8]) >> (j % 8)) & 1u) != 0;
      ASSERT_EQ(flagged, rows.support[j] == 0 || degenerate || gap || any_nan) << round << " " << j;
      if (flagged) {
        ++generic_rows;
        continue;
      }
      ASSERT_EQ(timestamps[j], seconds_to_us(rows.x[j]));
      for (size_t channel = 0; channel < kCommonChannels; ++channel) {
        ASSERT_EQ(std::bit_cast<uint32_t>(channels[channel][j]),
                  std::bit_cast<uint32_t>(static_cast<float>(expected[channel])))
            << round << " " << j << " " << channel;
      }
    }
  }
  EXPECT_GT(generic_rows, 1000u);
}

// Readings that stay equal over a row's four entries are stored as they are, without their cubic
// sums: the full sums must round to exactly those values, also for weights of large magnitude
// (entries close together) and for readings of every size and sign.
TEST_P(cubic_rows_wide, steady_readings_equal_their_full_cubic_sums) {
  std::mt19937_64 rng(41);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  SampleQueue queue;
  constexpr size_t kEntries = 2000;
  const StagedEntries staged = queue.stage(kEntries);
  double t = 1.7e9;
  std::array<double, kReadingCount> reading{};
  for (size_t j = 0; j < kEntries; ++j) {
    staged.time[j] = t;
    // Mostly regular steps, now and then two entries very close: large weights.
    t += rng() % 7 == 0 ? std::pow(10.0, -3.0 - 5.0 * unit(rng)) : 0.01 * (0.5 + unit(rng));
    if (j == 0 || rng() % 40 == 0) {
      for (double& value : reading) {
        const float magnitude =
            std::ldexp(static_cast<float>(0.5 + unit(rng)), static_cast<int>(rng() % 200) - 100);
        value = static_cast<double>(rng() % 2 == 0 ? magnitude : -magnitude);
      }
      queue.set_runs(j, j + 1, SampleQueue::Run::kStart);
    } else {
      queue.set_runs(j, j + 1, SampleQueue::Run::kContinue);
    }
    for (size_t channel = 0; channel < kResampledChannels; ++channel) {
      staged.value[channel][j] = channel >= kFirstQueueReading && channel < kCommonChannels
                                     ? reading[channel - kFirstQueueReading]
                                     : static_cast<double>(static_cast<float>(unit(rng)));
    }
  }
  queue.push_staged(kEntries);

  size_t large_weights = 0;
  for (int round = 0; round < 300; ++round) {
    PendingRows rows;
    rows.count = PendingRows::kCapacity;
    size_t slot = 1 + rng() % (kEntries - 2 * PendingRows::kCapacity);
    for (size_t j = 0; j < rows.count; ++j) {
      slot += round % 2 == 0 ? 1 : rng() % 3;
      const double* times = queue.times();
      rows.slot[j] = static_cast<int64_t>(slot);
      rows.x[j] = times[slot] + (times[slot + 1] - times[slot]) * unit(rng);
      rows.support[j] = 1;
    }
    const WideRows wide = wide_rows(GetParam().second, queue, rows, queue.run_ids());
    const auto& [timestamps, channels, generic] = wide;
    for (size_t j = 0; j < rows.count; ++j) {
      if (((static_cast<unsigned>(generic[j / 8]) >> (j % 8)) & 1u) != 0) continue;
      const size_t s = static_cast<size_t>(rows.slot[j]);
      const double* times = queue.times();
      if (std::abs(rows.x[j] - times[s]) > 0.0 &&
          times[s + 1] - times[s - 1] > 1e3 * (times[s] - times[s - 1])) {
        ++large_weights;
      }
      for (size_t channel = 0; channel < kCommonChannels; ++channel) {
        bool degenerate = false;
        const double expected = cubic_by_formula(queue, s, rows.x[j], channel, &degenerate);
        ASSERT_EQ(std::bit_cast<uint32_t>(channels[channel][j]),
                  std::bit_cast<uint32_t>(static_cast<float>(expected)))
            << round << " " << j << " " << channel;
      }
    }
  }
  EXPECT_GT(large_weights, 1000u);
}

// The division-free grid must give every time that dividing gives, down to the last bit, on grids
// of every rate over recording-like and extreme origins.
TEST(grid_times, equal_the_divided_formula) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> rate(0.1, 10000.0);
  std::uniform_real_distribution<double> seconds(0.0, 4.0e9);
  std::array<double, 64> wide;
  std::array<double, 64> divided;
  bool avx2_checked = false;
  for (int round = 0; round < 20000; ++round) {
    const double step_ms = 1000.0 / (round % 3 == 0 ? 100.0 : rate(rng));
    double origin_ms = 1000.0 * seconds(rng);
    if (round % 101 == 0) origin_ms = round % 2 == 0 ? 0.0 : -origin_ms;
    if (round % 211 == 0) origin_ms = 1e300;
    uint64_t first = rng() % (uint64_t{1} << (round % 40));
    // Point 0 of a grid starting next to zero, at times whose quotient a division-free step
    // gets wrong in the last bit: they must divide.
    if (round % 307 == 0) {
      constexpr double kSubnormalOrigins[] = {0x0.340976b1e3e6cp-1022, -0x0.fcf5f17f373fcp-1022,
                                              -0x0.00ff1bc94d53cp-1022, 0x1.2f205cd46c6b6p-1021};
      origin_ms =
          kSubnormalOrigins[static_cast<size_t>(round / 307) % std::size(kSubnormalOrigins)];
      first = 0;
    }
    grid_times_portable(first, divided.size(), step_ms, origin_ms, divided.data());
    grid_times(first, wide.size(), step_ms, origin_ms, wide.data());
    for (size_t j = 0; j < wide.size(); ++j) {
      ASSERT_EQ(std::bit_cast<uint64_t>(wide[j]), std::bit_cast<uint64_t>(divided[j]))
          << step_ms << " " << origin_ms << " " << first + j;
    }
    if (!grid_times_avx2(first, wide.size(), step_ms, origin_ms, wide.data())) continue;
    avx2_checked = true;
    for (size_t j = 0; j < wide.size(); ++j) {
      ASSERT_EQ(std::bit_cast<uint64_t>(wide[j]), std::bit_cast<uint64_t>(divided[j]))
          << "avx2 " << step_ms << " " << origin_ms << " " << first + j;
    }
  }
  if (!avx2_checked) GTEST_SKIP() << "no AVX2 here: the AVX2 build was not checked";
}

// The vector run of following rows must stop exactly where the one-point-at-a-time check does:
// at a point that shares an interval, skips one, reaches the end bound, or lacks a neighbour.
TEST(follow_samples, takes_the_same_run_as_the_point_by_point_check) {
  std::mt19937_64 rng(5);
  std::vector<double> times(300);
  size_t total_taken = 0;
  size_t runs_cut_short = 0;
  for (int round = 0; round < 3000; ++round) {
    double t = 1.7e9;
    for (double& time : times) {
      time = t;
      const uint64_t kind = rng() % 200;
      t += kind == 0 ? 0.0 : kind == 1 ? -0.05 : kind == 2 ? 0.025 : 0.01;
    }
    std::array<double, 64> x;
    const size_t start = 1 + rng() % 200;
    const double phase = static_cast<double>(rng() % 1000) / 1000.0;
    for (size_t j = 0; j < x.size(); ++j) {
      x[j] = times[start] + (phase + static_cast<double>(j + 1)) * (rng() % 9 == 0 ? 0.0099 : 0.01);
    }
    const size_t end = start + rng() % 80;
    const double end_time = rng() % 3 == 0 ? x[rng() % x.size()] : std::nan("");
    const size_t x_count = 1 + rng() % x.size();
    PendingRows wide;
    PendingRows scalar;
    wide.count = scalar.count = rng() % PendingRows::kCapacity;
    const size_t taken =
        follow_samples(times.data(), start, end, x.data(), x_count, end_time, wide);
    ASSERT_EQ(taken, follow_samples_portable(times.data(), start, end, x.data(), x_count, end_time,
                                             scalar))
        << round;
    ASSERT_EQ(wide.count, scalar.count);
    total_taken += taken;
    if (taken > 0 && taken < x_count && wide.count < PendingRows::kCapacity) ++runs_cut_short;
    for (size_t j = wide.count - taken; j < wide.count; ++j) {
      ASSERT_EQ(wide.x[j], scalar.x[j]);
      ASSERT_EQ(wide.slot[j], scalar.slot[j]);
      ASSERT_EQ(wide.support[j], 1);
    }
  }
  EXPECT_GT(total_taken, 10000u);
  EXPECT_GT(runs_cut_short, 300u);
}

TEST(all_below, agrees_with_the_scalar_check_at_the_limit_and_for_nan) {
  const double limit = 0x1p60;
  const std::vector<double> special = {limit, -limit, std::nextafter(limit, 0.0),
                                       std::numeric_limits<double>::infinity(), std::nan("")};
  for (size_t n : {size_t{0}, size_t{5}, size_t{8}, size_t{120}}) {
    for (size_t at = 0; at <= n; ++at) {
      for (double value : special) {
        std::vector<double> values(n, 1.7e9);
        if (at < n) values[at] = value;
        EXPECT_EQ(all_below(values.data(), n, limit), all_below_portable(values.data(), n, limit))
            << n << " " << at << " " << value;
      }
    }
  }
  std::vector<double> values(120, -1.7e9);
  EXPECT_TRUE(all_below(values.data(), values.size(), limit));
  values[117] = limit;
  EXPECT_FALSE(all_below(values.data(), values.size(), limit));
}

}  // namespace
}  // namespace velmora
