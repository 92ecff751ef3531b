// Microsecond conversion and per-packet sample timestamps with continuity correction.
#include "package/decode/sample_times.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "cwa_builder.hpp"
#include "errors/messages.hpp"
#include "package/decode/sample_spread.hpp"
#include "packet/packed_timestamp.hpp"

namespace velmora {
namespace {

using testing::Bytes;
using testing::kJan2020;
using testing::PacketBuilder;

constexpr int64_t kW = testing::kJan2020Unix * 1000000;

CwaDataBlock block_at(uint32_t timestamp, int16_t timestamp_offset = 0) {
  PacketBuilder packet;
  packet.timestamp = timestamp;
  packet.timestamp_offset = timestamp_offset;
  const Bytes bytes = packet.bytes();
  return *CwaDataBlock::from_buffer(PacketBytes(bytes.data(), kPacketBytes));
}

std::vector<uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<uint64_t> bits(values.size());
  for (size_t i = 0; i < values.size(); ++i) bits[i] = std::bit_cast<uint64_t>(values[i]);
  return bits;
}

struct Timed {
  std::vector<int64_t> timestamps;
  double end;
};

Timed timed(const CwaDataBlock& block, std::optional<double> prev_end, size_t n = 120) {
  std::vector<int64_t> out(n);
  auto end = calculate_sample_timestamps_with_prev_end(block, n, prev_end, out);
  EXPECT_TRUE(end) << end.error().display();
  return Timed{out, end.value_or(-1.0)};
}

TEST(seconds_to_us, truncates_toward_zero_and_saturates) {
  struct Case {
    double seconds;
    int64_t expected;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (const Case& c :
       {Case{1.5, 1500000}, Case{-1.0000015, -1000001}, Case{0.0000009, 0}, Case{-0.0000009, 0},
        Case{nan, 0}, Case{inf, INT64_MAX}, Case{-inf, INT64_MIN}, Case{9.3e12, INT64_MAX},
        Case{-9.3e12, INT64_MIN}, Case{9223372036854.774, 9223372036854773760},
        Case{-9223372036854.775808, INT64_MIN}}) {
    EXPECT_EQ(seconds_to_us(c.seconds), c.expected) << c.seconds;
  }
}

TEST(sample_timestamps, spreads_samples_from_the_corrected_start_to_the_natural_end) {
  const std::optional<double> none;
  const double end_0 = 1577836801.2;  // natural end of the packet at W
  const struct {
    uint32_t second;
    int16_t offset;
    std::optional<double> prev_end;
    size_t index;
    int64_t us;
  } cases[] = {
      {0, 0, none, 0, kW},
      {0, 0, none, 119, kW + 1190000},
      // Overlap: natural start W + 1 moves forward to W + 1.2, 120 samples over 1.0 s.
      {1, 0, end_0, 0, kW + 1200000},
      {1, 0, end_0, 119, kW + 2191666},
      // Gap of 0.8 s: start moves back to W + 1.2, samples 1/60 s apart up to W + 3.2.
      {2, 0, end_0, 60, kW + 2200000},
      {2, 0, end_0, 119, kW + 3183333},
      // A gap of one second or more stays.
      {3, 0, end_0, 0, kW + 3000000},
      {2, 0, 1577836801.0, 0, kW + 2000000},
      // The block timestamp is the time of sample `offset`.
      {0, 50, none, 0, kW - 500000},
      {0, 9, none, 0, 1577836799909999},
  };
  for (const auto& c : cases) {
    const Timed t = timed(block_at(kJan2020 + c.second, c.offset), c.prev_end);
    EXPECT_EQ(t.timestamps[c.index], c.us) << c.second << " " << c.offset << " " << c.index;
  }
}

TEST(sample_timestamps, runs_backwards_after_a_clock_jump_back) {
  const Timed jump = timed(block_at(kJan2020), 1577836810.0);
  EXPECT_EQ(jump.timestamps[0], kW + 10000000);
  EXPECT_GT(jump.timestamps[0], jump.timestamps[1]);
  EXPECT_EQ(jump.end, 1577836801.2);
  EXPECT_EQ(timed(block_at(kJan2020 + 1), jump.end).timestamps[0], kW + 1200000);
}

TEST(sample_timestamps, returns_the_previous_end_for_no_samples_without_checks) {
  const CwaDataBlock unset = block_at(0xFFFFFFFF);
  std::vector<int64_t> out;
  EXPECT_EQ(calculate_sample_timestamps_with_prev_end(unset, 0, 5.0, out), 5.0);
  EXPECT_EQ(calculate_sample_timestamps_with_prev_end(unset, 0, std::nullopt, out), 0.0);
  out.resize(1);
  for (uint32_t bad : {0u, 0xFFFFFFFFu, testing::pack_time(2021, 2, 29)}) {
    auto result = calculate_sample_timestamps_with_prev_end(block_at(bad), 1, std::nullopt, out);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().display(), velmora::error_text(ErrorCode::kInvalidBlockTimestamp));
  }
}

TEST(sample_timestamps, saturates_far_from_the_epoch) {
  // A previous end beyond the int64 range of microseconds pulls the start there.
  const Timed far = timed(block_at(kJan2020), 1e13, 3);
  EXPECT_EQ(far.timestamps[0], INT64_MAX);
  const double span = far.end - 1e13;
  EXPECT_EQ(far.timestamps[2], seconds_to_us(2.0 * span / 3.0 + 1e13));
  EXPECT_LT(far.timestamps[2], INT64_MAX);
  const Timed far_back = timed(block_at(kJan2020 + 1), -1e13, 3);
  EXPECT_EQ(far_back.timestamps[0], kW + 1000000);
}

TEST(sample_timestamps, follow_the_formula_for_random_packets) {
  std::mt19937 rng(77);
  for (int round = 0; round < 2000; ++round) {
    const auto timestamp =
        static_cast<uint32_t>(kJan2020 + (rng() % 60) + ((rng() % 60) << 6) + ((rng() % 24) << 12));
    const auto offset = static_cast<int16_t>(rng());
    const auto rate = static_cast<uint8_t>(1 + rng() % 255);
    const size_t n = 1 + rng() % 120;
    std::optional<double> prev_end;
    if (rng() % 2 == 0) prev_end = 1577836800.0 + static_cast<double>(rng() % 200000) / 1000.0;
    PacketBuilder packet;
    packet.timestamp = timestamp;
    packet.timestamp_offset = offset;
    packet.rate_code = rate;
    const Bytes bytes = packet.bytes();
    const CwaDataBlock block = *CwaDataBlock::from_buffer(PacketBytes(bytes.data(), kPacketBytes));
    std::vector<int64_t> out(n);
    auto end = calculate_sample_timestamps_with_prev_end(block, n, prev_end, out);
    ASSERT_TRUE(end);
    const PacketBounds bounds = PacketMeta{n, timestamp, offset, rate}.natural_bounds();
    EXPECT_EQ(*end, bounds.end);
    double start = bounds.start;
    if (prev_end && start - *prev_end < 1.0) start = *prev_end;
    const double span = bounds.end - start;
    for (size_t i = 0; i < n; ++i) {
      const double seconds = static_cast<double>(i) * span / static_cast<double>(n) + start;
      ASSERT_EQ(out[i], seconds_to_us(seconds)) << round << " " << i;
    }
  }
}

// The resampler takes times in seconds straight from the spreading; they must be the
// microsecond timestamps over a million, the saturated ones far from the epoch included.
TEST(sample_timestamps, in_seconds_are_the_microseconds_over_a_million) {
  std::mt19937 rng(78);
  for (int round = 0; round < 3000; ++round) {
    const auto timestamp =
        static_cast<uint32_t>(kJan2020 + (rng() % 60) + ((rng() % 60) << 6) + ((rng() % 24) << 12));
    const PacketMeta meta{1 + rng() % 120, timestamp, static_cast<int16_t>(rng()),
                          static_cast<uint8_t>(1 + rng() % 255)};
    std::optional<double> prev_end;
    switch (rng() % 4) {
      case 0:
        prev_end = 1577836800.0 + static_cast<double>(rng() % 200000) / 1000.0;
        break;
      case 1:
        prev_end = (rng() % 2 == 0 ? 1.0 : -1.0) * 1e13 * static_cast<double>(1 + rng() % 4);
        break;
      default:
        break;
    }
    const int64_t whole_seconds = cwa_timestamp(timestamp)->unix_seconds();
    std::vector<int64_t> us(meta.sample_count);
    const double us_end = write_packet_timestamps(meta, whole_seconds, prev_end, us.data());
    std::vector<double> seconds(meta.sample_count);
    const double seconds_end = write_packet_seconds(meta, whole_seconds, prev_end, seconds.data());
    EXPECT_EQ(seconds_end, us_end);
    std::vector<double> expected(meta.sample_count);
    for (size_t i = 0; i < us.size(); ++i) expected[i] = static_cast<double>(us[i]) / 1e6;
    ASSERT_EQ(bits_of(seconds), bits_of(expected)) << round;
  }
}

TEST(spread_samples, every_variant_matches_the_scalar_expression) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> seconds(-4.0e12, 4.0e12);
  std::uniform_real_distribution<double> spans(-3.0, 3.0);
  bool wide_checked = false;
  for (int round = 0; round < 2000; ++round) {
    const size_t n = rng() % 121;
    const double count = static_cast<double>(1 + rng() % 120);
    const double span = spans(rng);
    const double start = round % 2 == 0 ? seconds(rng) : 1.7e9 + spans(rng);
    std::vector<int64_t> expected(n);
    for (size_t i = 0; i < n; ++i) {
      expected[i] =
          static_cast<int64_t>((static_cast<double>(i) * span / count + start) * 1000000.0);
    }
    std::vector<int64_t> portable(n, -1);
    spread_sample_us_portable(portable.data(), n, span, count, start);
    EXPECT_EQ(portable, expected) << round;
    std::vector<int64_t> wide(n, -1);
    if (spread_sample_us_avx512(wide.data(), n, span, count, start)) {
      EXPECT_EQ(wide, expected) << round;
      wide_checked = true;
    }
    // In seconds, compared bit for bit with the counts over a million.
    std::vector<uint64_t> expected_seconds(n);
    for (size_t i = 0; i < n; ++i) {
      expected_seconds[i] = std::bit_cast<uint64_t>(static_cast<double>(expected[i]) / 1e6);
    }
    std::vector<double> seconds_out(n, -1.0);
    spread_sample_seconds_portable(seconds_out.data(), n, span, count, start);
    EXPECT_EQ(bits_of(seconds_out), expected_seconds) << round;
    if (spread_sample_seconds_avx512(seconds_out.data(), n, span, count, start)) {
      EXPECT_EQ(bits_of(seconds_out), expected_seconds) << round;
    }
  }
  if (!wide_checked) GTEST_SKIP() << "no AVX-512 here: only the portable build was checked";
}

// The vector build replaces the division by 10^6 with a multiplication and fused corrections; it
// must give every quotient bit for bit, over all magnitudes and signs, whole seconds and their
// neighbours, and long runs of recording-like times.
TEST(microseconds_to_seconds, equals_the_scalar_division) {
  std::mt19937_64 rng(11);
  std::vector<int64_t> us = {0,
                             1,
                             -1,
                             999999,
                             1000000,
                             1000001,
                             std::numeric_limits<int64_t>::min(),
                             std::numeric_limits<int64_t>::max(),
                             (int64_t{1} << 53) + 1,
                             -(int64_t{1} << 53) - 1};
  for (int i = 0; i < 400000; ++i) {
    const auto value = static_cast<int64_t>(rng() >> (rng() % 64));
    us.push_back(rng() % 2 == 0 ? value : -value);
    const int64_t whole = static_cast<int64_t>(rng() % 10000000000) * 1000000;
    us.push_back(whole + static_cast<int64_t>(rng() % 3) - 1);
  }
  for (int64_t value = 1577836800123456; value < 1577836800123456 + 1000000; value += 7) {
    us.push_back(value);
  }
  std::vector<double> wide(us.size());
  if (!microseconds_to_seconds_avx512(us.data(), us.size(), wide.data())) {
    GTEST_SKIP() << "no AVX-512 here";
  }
  for (size_t i = 0; i < us.size(); ++i) {
    const double divided = static_cast<double>(us[i]) / 1e6;
    ASSERT_EQ(std::bit_cast<uint64_t>(wide[i]), std::bit_cast<uint64_t>(divided)) << us[i];
  }
}

TEST(divide_by_count, the_division_free_quotients_equal_division_even_next_to_midpoints) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  std::mt19937_64 rng(13);
  std::vector<double> a(4096);
  std::vector<double> fast(a.size());
  auto random_double = [&] {
    // Random sign and significand, exponents from 2^-890 to 2^+1000.
    const uint64_t exponent = 133 + rng() % 1890;
    return std::bit_cast<double>((rng() & 0x800FFFFFFFFFFFFFull) | (exponent << 52));
  };
  for (int round = 0; round < 400; ++round) {
    const double count =
        round < 120 ? static_cast<double>(round + 1) : static_cast<double>(1 + rng() % 65536);
    for (size_t i = 0; i < a.size(); ++i) {
      const double q = random_double();
      switch (i % 4) {
        case 0:  // anywhere
          a[i] = random_double();
          break;
        case 1:  // a quotient just off the midpoint above q
          a[i] = count * (q + std::nextafter(q, kInfinity)) / 2;
          break;
        case 2:  // a whole multiple give or take a few ulps
          a[i] = q * count;
          for (uint64_t k = rng() % 4; k > 0; --k)
            a[i] = std::nextafter(a[i], (i & 4) ? 0.0 : kInfinity);
          break;
        default:  // sample-time magnitudes
          a[i] =
              static_cast<double>(rng() % 120) * (static_cast<double>(rng() % 4000000) / 1e6 - 2.0);
          break;
      }
    }
    if (!divide_by_count_avx512(a.data(), a.size(), count, fast.data())) {
      GTEST_SKIP() << "no AVX-512 here";
    }
    for (size_t i = 0; i < a.size(); ++i) {
      const double expected = a[i] / count;
      if (expected == 0.0 && fast[i] == 0.0) continue;  // only the sign of zero may differ
      ASSERT_EQ(std::bit_cast<uint64_t>(fast[i]), std::bit_cast<uint64_t>(expected))
          << a[i] << " / " << count;
    }
  }
}

}  // namespace
}  // namespace velmora
