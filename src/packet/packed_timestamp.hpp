// The 32-bit packed date-time shared by the metadata block and the data packets, and the civil
// calendar arithmetic behind it.
#pragma once

#include <cstdint>
#include <optional>

namespace velmora {

// Naive calendar date and time of day on the device clock, whole seconds.
struct NaiveDateTime {
  int64_t year;
  unsigned month;   // 1-12
  unsigned day;     // 1-31
  unsigned hour;    // 0-23
  unsigned minute;  // 0-59
  unsigned second;  // 0-59

  // Returns whole seconds since 1970-01-01T00:00:00, reading the date-time as UTC.
  int64_t unix_seconds() const;
  friend bool operator==(const NaiveDateTime&, const NaiveDateTime&) = default;
};

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// Returns days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day);
// Returns the proleptic Gregorian date `days` after 1970-01-01.
CivilDate civil_from_days(int64_t days);

inline unsigned days_in_month(int64_t year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month != 2) return kDays[month - 1];
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28;
}

inline constexpr uint32_t kUnsetTimestampLow = 0x00000000;
inline constexpr uint32_t kUnsetTimestampHigh = 0xFFFFFFFF;

// Decodes a packed timestamp; no time for the unset markers and for any field out of range.
// Inline because every data packet's header is checked with it.
inline std::optional<NaiveDateTime> cwa_timestamp(uint32_t value) {
  if (value == kUnsetTimestampLow || value == kUnsetTimestampHigh) return std::nullopt;
  NaiveDateTime time{
      .year = 2000 + static_cast<int64_t>(value >> 26),
      .month = (value >> 22) & 0x0F,
      .day = (value >> 17) & 0x1F,
      .hour = (value >> 12) & 0x1F,
      .minute = (value >> 6) & 0x3F,
      .second = value & 0x3F,
  };
  if (time.month < 1 || time.month > 12) return std::nullopt;
  // Every month has 28 days; only later days need the calendar.
  if (time.day < 1 || (time.day > 28 && time.day > days_in_month(time.year, time.month))) {
    return std::nullopt;
  }
  if (time.second > 59 || time.hour > 23 || time.minute > 59) return std::nullopt;
  return time;
}

}  // namespace velmora
