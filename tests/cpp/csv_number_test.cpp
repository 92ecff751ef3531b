// Tests of the CSV number texts against the C library's %.6f / %.4f.
#include "package/csv/csv_number.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

std::string float6(float value) {
  char buffer[kFloat6MaxChars];
  return std::string(buffer, format_float6(value, buffer));
}

std::string fixed4(double value) {
  char buffer[kFixed4MaxChars];
  return std::string(buffer, format_fixed4(value, buffer));
}

std::string time_us(int64_t microseconds) {
  char buffer[kTimeMaxChars];
  return std::string(buffer, format_time_us(microseconds, buffer));
}

std::string printf6(float value) {
  char buffer[400];
  const int n = std::snprintf(buffer, sizeof buffer, "%.6f", static_cast<double>(value));
  return std::string(buffer, static_cast<size_t>(n));
}

std::string printf4(double value) {
  char buffer[400];
  const int n = std::snprintf(buffer, sizeof buffer, "%.4f", value);
  return std::string(buffer, static_cast<size_t>(n));
}

// Compares one float bit pattern with printf; specials are checked by their own test.
bool float6_matches_printf(uint32_t bits) {
  const float value = std::bit_cast<float>(bits);
  if (!std::isfinite(value)) return true;
  return float6(value) == printf6(value);
}

TEST(csv_number, float6_texts_of_known_values) {
  const std::pair<float, const char*> cases[] = {
      {0.03125f, "0.031250"},
      {24.12109375f, "24.121094"},
      {0.0078125f, "0.007812"},  // tie, down to even
      {0.0234375f, "0.023438"},  // tie, up to even
      {-0.015625f, "-0.015625"},
      {1000.0f, "1000.000000"},
      {0.0f, "0.000000"},
      {-0.0f, "-0.000000"},
      {-0.0000001f, "-0.000000"},
      {0.0000005f, "0.000000"},  // the float lies just below the tie
      {0.0000015f, "0.000002"},  // the float lies just above the tie
      {16777216.0f, "16777216.000000"},
      {FLT_MAX, "340282346638528859811704183484516925440.000000"},
      {-FLT_MAX, "-340282346638528859811704183484516925440.000000"},
      {FLT_TRUE_MIN, "0.000000"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(float6(value), text) << value;
}

TEST(csv_number, special_values_have_their_own_texts) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(float6(nan), "NaN");
  EXPECT_EQ(float6(-nan), "NaN");
  EXPECT_EQ(float6(std::bit_cast<float>(0xFF800001u)), "NaN");
  EXPECT_EQ(float6(inf), "inf");
  EXPECT_EQ(float6(-inf), "-inf");
  EXPECT_EQ(fixed4(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(fixed4(-std::numeric_limits<double>::infinity()), "-inf");
}

TEST(csv_number, time_texts_round_the_double_not_the_microseconds) {
  const std::pair<int64_t, const char*> cases[] = {
      {1700000000000050, "1700000000.0001"},
      {1700000000031250, "1700000000.0312"},
      {1700000000093750, "1700000000.0938"},
      {1700000000123456, "1700000000.1235"},
      {1700000000000000, "1700000000.0000"},
      {0, "0.0000"},
      {-1, "-0.0000"},
      {-50, "-0.0001"},
      {-1700000000123456, "-1700000000.1235"},
      {std::numeric_limits<int64_t>::max(), "9223372036854.7754"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854.7754"},
  };
  for (const auto& [microseconds, text] : cases) {
    EXPECT_EQ(time_us(microseconds), text) << microseconds;
    EXPECT_EQ(time_us(microseconds), printf4(static_cast<double>(microseconds) / 1000000.0));
  }
}

TEST(csv_number, time_formatter_matches_printf_across_seconds_signs_and_jumps) {
  TimeFormatter formatter;
  std::mt19937_64 random(3);
  std::uniform_int_distribution<int64_t> jump(-3000000000000, 3000000000000);
  int64_t microseconds = -2000050;
  for (int i = 0; i < 400000; ++i) {
    // Mostly 100 Hz steps across whole seconds and zero, sometimes a jump far away, sometimes
    // to just below +-2^52 .. 2^60 us, around where the formatter's shortcut ends.
    if (i % 5000 == 4000) {
      const int64_t below_power = (int64_t{1} << (52 + i / 5000 % 9)) - 3000000;
      microseconds = i % 10000 == 4000 ? below_power : -below_power;
    }
    microseconds += i % 1000 == 999 ? jump(random) : 9999;
    char buffer[kTimeMaxChars];
    const std::string text(buffer, formatter.format(microseconds, buffer));
    ASSERT_EQ(text, printf4(static_cast<double>(microseconds) / 1000000.0)) << microseconds;
  }
}

TEST(csv_number, float6_matches_printf_on_every_exponent_and_its_rounding_edges) {
  // Every exponent with mantissas at both ends, and values next to each 10^-6 tie.
  for (uint32_t exponent = 0; exponent < 255; ++exponent) {
    for (uint32_t mantissa : {0u, 1u, 2u, 0x400000u, 0x7FFFFEu, 0x7FFFFFu}) {
      for (uint32_t sign : {0u, 0x80000000u}) {
        const uint32_t bits = sign | (exponent << 23) | mantissa;
        ASSERT_TRUE(float6_matches_printf(bits)) << std::hex << bits;
      }
    }
  }
  for (int64_t k = -3000000; k <= 3000000; k += 7) {
    const double tie = (static_cast<double>(k) + 0.5) / 1e6;
    const float near = static_cast<float>(tie);
    for (float value : {near, std::nextafter(near, 0.0f), std::nextafter(near, 1e30f)}) {
      ASSERT_TRUE(float6_matches_printf(std::bit_cast<uint32_t>(value))) << value;
    }
  }
}

TEST(csv_number, float6_matches_printf_on_random_bit_patterns) {
  std::mt19937 random(20240611);
  for (int i = 0; i < 3000000; ++i) {
    const uint32_t bits = static_cast<uint32_t>(random());
    ASSERT_TRUE(float6_matches_printf(bits)) << std::hex << bits;
  }
  // Sensor-sized magnitudes, where most real values lie.
  std::uniform_real_distribution<float> sensor(-5000.0f, 5000.0f);
  for (int i = 0; i < 1000000; ++i) {
    const float value = sensor(random);
    ASSERT_EQ(float6(value), printf6(value)) << value;
  }
}

TEST(csv_number, fixed4_matches_printf_on_random_doubles_and_times) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 500000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(fixed4(value), printf4(value)) << std::hexfloat << value;
  }
  // Times around the present, with ties of the 100 µs grid among them.
  std::uniform_int_distribution<int64_t> times(-2000000000000000, 2000000000000000);
  for (int i = 0; i < 600000; ++i) {
    int64_t microseconds = times(random);
    if (i % 4 == 0) microseconds = microseconds / 100 * 100 + 50;
    ASSERT_EQ(time_us(microseconds), printf4(static_cast<double>(microseconds) / 1000000.0))
        << microseconds;
  }
  // Magnitudes around the switch to the fallback path.
  for (int exponent = 40; exponent <= 60; ++exponent) {
    const double base = std::ldexp(1.0, exponent);
    for (double value : {base, std::nextafter(base, 0.0), std::nextafter(base, 1e300), -base}) {
      ASSERT_EQ(fixed4(value), printf4(value)) << std::hexfloat << value;
    }
  }
  EXPECT_EQ(fixed4(DBL_MAX), printf4(DBL_MAX));
  EXPECT_EQ(fixed4(DBL_TRUE_MIN), "0.0000");
  EXPECT_EQ(fixed4(-DBL_TRUE_MIN), "-0.0000");
}

// Runs only with VELMORA_SLOW_TESTS=1: compares every one of the 2^32 float bit patterns.
TEST(csv_number_slow, sweeps_all_float32_bit_patterns_against_printf) {
  const char* slow = std::getenv("VELMORA_SLOW_TESTS");
  if (slow == nullptr || std::string(slow) != "1") {
    GTEST_SKIP() << "set VELMORA_SLOW_TESTS=1 to run the full sweep";
  }
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  std::atomic<uint64_t> mismatches{0};
  std::atomic<uint64_t> first_mismatch{~uint64_t{0}};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (uint64_t bits = t; bits <= 0xFFFFFFFFu; bits += threads) {
        if (!float6_matches_printf(static_cast<uint32_t>(bits))) {
          mismatches.fetch_add(1);
          uint64_t expected = first_mismatch.load();
          while (bits < expected && !first_mismatch.compare_exchange_weak(expected, bits)) {
          }
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(mismatches.load(), 0u)
      << "first mismatch at bits " << std::hex << first_mismatch.load();
}

}  // namespace
}  // namespace velmora
