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
unsigned days_in_month(int64_t year, unsigned month);

inline constexpr uint32_t kUnsetTimestampLow = 0x00000000;
inline constexpr uint32_t kUnsetTimestampHigh = 0xFFFFFFFF;

// Decodes a packed timestamp; no time for the unset markers and for any field out of range.
std::optional<NaiveDateTime> cwa_timestamp(uint32_t value);

}  // namespace velmora
