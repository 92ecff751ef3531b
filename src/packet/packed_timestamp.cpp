// Proleptic Gregorian calendar arithmetic behind the packed timestamps (decoded inline in the
// header).
#include "packet/packed_timestamp.hpp"

namespace velmora {

// Howard Hinnant's days_from_civil: exact for every proleptic Gregorian date.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;
  const int64_t m = month;
  const int64_t day_of_year = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

CivilDate civil_from_days(int64_t days) {
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const auto day = static_cast<unsigned>(day_of_year - (153 * mp + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return CivilDate{year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int64_t NaiveDateTime::unix_seconds() const {
  return days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace velmora
