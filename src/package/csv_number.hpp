// Number texts of the CSV output: fixed point with 6 decimals for float32 values and 4 decimals
// for times, rounded half to even from the exact binary value, with printf-identical digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// Formats times exactly as format_time_us does, remembering the text of the last whole
// seconds: consecutive rows mostly share it, and its ten digits cost more than the rest.
class TimeFormatter {
 public:
  // Writes to out[0, kTimeMaxChars) and returns the end.
  char* format(int64_t microseconds, char* out);

 private:
  uint64_t second_start_ = 0;             // whole seconds of integer_text_, in units of 10^-4 s
  bool negative_ = false;                 // sign held in integer_text_
  size_t length_ = 0;                     // used chars of integer_text_; 0 before the first call
  char integer_text_[kTimeMaxChars - 5];  // sign and integer digits, without ".dddd"
};

inline void append_float6(std::string& text, float value) {
  char buffer[kFloat6MaxChars];
  text.append(buffer, format_float6(value, buffer));
}

inline void append_time_us(std::string& text, int64_t microseconds) {
  char buffer[kTimeMaxChars];
  text.append(buffer, format_time_us(microseconds, buffer));
}

}  // namespace velmora
