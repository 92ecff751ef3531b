// Timestamp text formatting with floor division, so instants before 1970 format correctly.
#include "header/timestamp_text.hpp"

#include <cstdio>

namespace velmora {

namespace {

constexpr int64_t kMicrosPerSecond = 1'000'000;
constexpr int64_t kSecondsPerDay = 86'400;

bool is_text_year(int64_t year) { return year >= kFirstTextYear && year <= kLastTextYear; }

// Returns "YYYY-MM-DDTHH:MM:SS" plus ".mmm", ".uuuuuu" or ".nnnnnnnnn" unless `nanoseconds` is
// 0. Callers keep the year within the text years, second_of_day < 86400, nanoseconds < 1e9.
std::string format_timestamp_text(const CivilDate& date, uint32_t second_of_day,
                                  uint32_t nanoseconds) {
  char text[40];
  int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u",
                             static_cast<int>(date.year), date.month, date.day,
                             second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60);
  const size_t used = static_cast<size_t>(length);
  if (nanoseconds == 0) {
    // Nothing to add.
  } else if (nanoseconds % 1'000'000 == 0) {
    length = std::snprintf(text + used, sizeof text - used, ".%03u", nanoseconds / 1'000'000);
  } else if (nanoseconds % 1'000 == 0) {
    length = std::snprintf(text + used, sizeof text - used, ".%06u", nanoseconds / 1'000);
  } else {
    length = std::snprintf(text + used, sizeof text - used, ".%09u", nanoseconds);
  }
  return std::string(text, nanoseconds == 0 ? used : used + static_cast<size_t>(length));
}

}  // namespace

std::string format_raw_time(const NaiveDateTime& time) {
  return format_timestamp_text(CivilDate{time.year, time.month, time.day},
                               time.hour * 3600 + time.minute * 60 + time.second, 0);
}

std::optional<std::string> timestamp_us_to_raw_string(int64_t t) {
  // Truncating division then a correction: floor division that cannot overflow at INT64_MIN.
  int64_t seconds = t / kMicrosPerSecond;
  int64_t micro = t % kMicrosPerSecond;
  if (micro < 0) {
    micro += kMicrosPerSecond;
    --seconds;
  }
  int64_t days = seconds / kSecondsPerDay;
  int64_t second_of_day = seconds % kSecondsPerDay;
  if (second_of_day < 0) {
    second_of_day += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  if (!is_text_year(date.year)) return std::nullopt;
  return format_timestamp_text(date, static_cast<uint32_t>(second_of_day),
                               static_cast<uint32_t>(micro) * 1000u);
}

std::optional<std::string> raw_text(const std::optional<NaiveDateTime>& time) {
  if (!time) return std::nullopt;
  return format_raw_time(*time);
}

std::optional<std::string> raw_text(const std::optional<int64_t>& t) {
  if (!t) return std::nullopt;
  return timestamp_us_to_raw_string(*t);
}

}  // namespace velmora
