// Number texts of the CSV output: fixed point with 6 decimals for float32 values and 4 decimals
// for times, rounded half to even from the exact binary value, with printf-identical digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora {

// Longest text of format_float6: sign, 39 integer digits of FLT_MAX, point, 6 decimals.
inline constexpr size_t kFloat6MaxChars = 48;
// Longest text of format_fixed4: sign, 309 integer digits of DBL_MAX, point, 4 decimals.
inline constexpr size_t kFixed4MaxChars = 320;
// Longest text of format_time_us: |int64| / 10^6 has at most 13 integer digits.
inline constexpr size_t kTimeMaxChars = 24;

// Writes `value` with exactly 6 decimals to out[0, kFloat6MaxChars) and returns the end.
// Finite values match C's "%.6f"; NaN gives "NaN", infinities "inf" and "-inf".
char* format_float6(float value, char* out);

// Writes `value` with exactly 4 decimals to out[0, kFixed4MaxChars) and returns the end.
// Finite values match C's "%.4f"; specials as for format_float6.
char* format_fixed4(double value, char* out);

// Writes the time of a microsecond count, (double)us / 1000000.0 with 4 decimals, to
// out[0, kTimeMaxChars) and returns the end.
char* format_time_us(int64_t microseconds, char* out);

// Holds "00" .. "99" so that two digits are written per step.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Formats times exactly as format_time_us does, remembering the text of the last whole
// seconds: consecutive rows mostly share it, and its ten digits cost more than the rest.
// Inline, as it runs once per CSV row; the rare cases are out of line.
class TimeFormatter {
 public:
  // Writes to out[0, kTimeMaxChars) and returns the end.
  char* format(int64_t microseconds, char* out) {
    bool negative = microseconds < 0;
    const uint64_t magnitude =
        negative ? 0 - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
    // The time in units of 10^-4 s is |microseconds| / 100 rounded: see kFastLimit.
    const uint64_t rest = magnitude % 100;
    uint64_t scaled = magnitude / 100 + (rest > 50 ? 1 : 0);
    if (magnitude >= kFastLimit || rest == 50) [[unlikely]] {
      scaled = exact_scaled(microseconds, negative);
    }
    // Rows mostly fall in the second of the previous row: its text stays, and the fraction is
    // a subtraction (wrapping to a huge value below the second's start).
    uint64_t fraction = scaled - second_start_;
    if (fraction >= 10000 || negative != negative_ || length_ == 0) [[unlikely]] {
      fraction = start_second(scaled, negative);
    }
    // A fixed-size copy is cheaper than one of the exact length; the rest is overwritten.
    std::memcpy(out, integer_text_, sizeof integer_text_);
    out += length_;
    *out++ = '.';
    const auto small = static_cast<uint32_t>(fraction);
    std::memcpy(out, kDigitPairs + 2 * (small / 100), 2);
    std::memcpy(out + 2, kDigitPairs + 2 * (small % 100), 2);
    return out + 4;
  }

 private:
  // Below 2^52 us, (double)us / 10^6 is within 2^-21 s = 0.0048 units of 10^-4 s of us / 100,
  // while us / 100 lies at least 0.01 units from a tie unless us % 100 == 50: the exact
  // half-to-even rounding of the double then equals the nearest integer to us / 100.
  static constexpr uint64_t kFastLimit = uint64_t{1} << 52;

  // Returns |(double)microseconds / 10^6| in units of 10^-4 s, rounded half to even from the
  // exact binary value, and sets `negative` to the double's sign.
  static uint64_t exact_scaled(int64_t microseconds, bool& negative);
  // Makes integer_text_ hold the whole seconds of `scaled`; returns the fraction.
  uint64_t start_second(uint64_t scaled, bool negative);

  uint64_t second_start_ = 0;             // whole seconds of integer_text_, in units of 10^-4 s
  bool negative_ = false;                 // sign held in integer_text_
  size_t length_ = 0;                     // used chars of integer_text_; 0 before the first call
  char integer_text_[kTimeMaxChars - 5];  // sign and integer digits, without ".dddd"
};

}  // namespace velmora
