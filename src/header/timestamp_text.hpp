// Timestamp texts: naive ISO 8601 with a fraction of 0, 3, 6 or 9 digits as the value needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "packet/packed_timestamp.hpp"

namespace velmora {

// Years that have a four-digit text; instants outside them have no text.
inline constexpr int64_t kFirstTextYear = 1;
inline constexpr int64_t kLastTextYear = 9999;

// Returns the text of a decoded packed timestamp (never with a fraction).
std::string format_raw_time(const NaiveDateTime& time);

// Returns the text of `t` microseconds since 1970-01-01T00:00:00, or nothing outside the
// text years.
std::optional<std::string> timestamp_us_to_raw_string(int64_t t);

// The same for values that may be unset: an unset value has no text.
std::optional<std::string> raw_text(const std::optional<NaiveDateTime>& time);
std::optional<std::string> raw_text(const std::optional<int64_t>& t);

}  // namespace velmora
