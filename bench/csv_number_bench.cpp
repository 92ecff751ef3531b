// Micro-benchmark of the CSV number texts against snprintf on the same values, in one run.
// Prints one JSON object: nanoseconds per value for each and the speed-up factors.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "package/csv_number.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `format` over all values `rounds` times; returns ns per value and a checksum of lengths.
template <class Values, class Format>
double ns_per_value(const Values& values, int rounds, Format format, uint64_t& checksum) {
  const auto start = Clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (const auto value : values) checksum += format(value);
  }
  const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
  return elapsed.count() / (static_cast<double>(values.size()) * rounds);
}

}  // namespace

int main() {
  std::mt19937 random(42);
  // Accelerometer-like values in g, as the CSV rows mostly hold.
  std::normal_distribution<float> sensor(0.0f, 1.5f);
  std::vector<float> floats(1 << 20);
  for (float& value : floats) value = sensor(random);
  // 100 Hz timestamps of a week from 2020-01-01.
  std::vector<int64_t> times(1 << 20);
  for (size_t i = 0; i < times.size(); ++i) {
    times[i] = 1577836800000000 + static_cast<int64_t>(i) * 57700;
  }

  char buffer[velmora::kFixed4MaxChars];
  uint64_t checksum = 0;
  constexpr int kRounds = 4;
  const double float_ours = ns_per_value(
      floats, kRounds,
      [&](float value) {
        return static_cast<size_t>(velmora::format_float6(value, buffer) - buffer);
      },
      checksum);
  const double float_printf = ns_per_value(
      floats, kRounds,
      [&](float value) {
        return static_cast<size_t>(
            std::snprintf(buffer, sizeof buffer, "%.6f", static_cast<double>(value)));
      },
      checksum);
  const double time_ours = ns_per_value(
      times, kRounds,
      [&](int64_t value) {
        return static_cast<size_t>(velmora::format_time_us(value, buffer) - buffer);
      },
      checksum);
  const double time_printf = ns_per_value(
      times, kRounds,
      [&](int64_t value) {
        return static_cast<size_t>(
            std::snprintf(buffer, sizeof buffer, "%.4f", static_cast<double>(value) / 1000000.0));
      },
      checksum);

  std::printf(
      "{\"float6_ns\": %.2f, \"float6_snprintf_ns\": %.2f, \"float6_speedup\": %.2f, "
      "\"time_ns\": %.2f, \"time_snprintf_ns\": %.2f, \"time_speedup\": %.2f, "
      "\"checksum\": %llu}\n",
      float_ours, float_printf, float_printf / float_ours, time_ours, time_printf,
      time_printf / time_ours, static_cast<unsigned long long>(checksum));
  return 0;
}
