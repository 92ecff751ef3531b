// Micro-benchmark of the CSV number texts against snprintf on the same values, in one run.
// Prints one JSON object: CPU nanoseconds per value for each and the speed-up factors.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "package/csv/csv_number.hpp"

namespace {

// CPU time of this thread: time spent descheduled on a busy machine does not count.
double thread_cpu_ns() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Returns the CPU ns per value of one pass of `format` over all values; adds lengths to
// `checksum` so that no call is optimised away.
template <class Values, class Format>
double ns_per_value(const Values& values, Format format, uint64_t& checksum) {
  const double start = thread_cpu_ns();
  for (const auto value : values) checksum += format(value);
  return (thread_cpu_ns() - start) / static_cast<double>(values.size());
}

// Interleaves passes of the two formatters and keeps each one's best pass.
template <class Values, class Ours, class Theirs>
std::pair<double, double> best_of(const Values& values, Ours ours, Theirs theirs,
                                  uint64_t& checksum) {
  double best_ours = 1e300;
  double best_theirs = 1e300;
  for (int round = 0; round < 7; ++round) {
    best_ours = std::min(best_ours, ns_per_value(values, ours, checksum));
    best_theirs = std::min(best_theirs, ns_per_value(values, theirs, checksum));
  }
  return {best_ours, best_theirs};
}

}  // namespace

int main() {
  std::mt19937 random(42);
  // Accelerometer-like values in g, as the CSV rows mostly hold.
  std::normal_distribution<float> sensor(0.0f, 1.5f);
  std::vector<float> floats(1 << 18);
  for (float& value : floats) value = sensor(random);
  // 100 Hz timestamps of a week from 2020-01-01.
  std::vector<int64_t> times(1 << 18);
  for (size_t i = 0; i < times.size(); ++i) {
    times[i] = 1577836800000000 + static_cast<int64_t>(i) * 57700;
  }

  char buffer[velmora::kFixed4MaxChars];
  uint64_t checksum = 0;
  const auto [float_ours, float_printf] = best_of(
      floats,
      [&](float value) {
        return static_cast<size_t>(velmora::format_float6(value, buffer) - buffer);
      },
      [&](float value) {
        return static_cast<size_t>(
            std::snprintf(buffer, sizeof buffer, "%.6f", static_cast<double>(value)));
      },
      checksum);
  velmora::TimeFormatter time_formatter;
  const auto [time_ours, time_printf] = best_of(
      times,
      [&](int64_t value) {
        return static_cast<size_t>(time_formatter.format(value, buffer) - buffer);
      },
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
