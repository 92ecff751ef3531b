// Fixed-point number texts by exact integer arithmetic, with std::to_chars for huge magnitudes.
#include "package/csv/csv_number.hpp"

#include <bit>
#include <charconv>
#include <cstring>

namespace velmora {

namespace {

__extension__ using Uint128 = unsigned __int128;

constexpr uint64_t kScale6 = 1000000;
constexpr uint64_t kScale4 = 10000;

char* write_pair(char* out, uint64_t pair) {
  std::memcpy(out, kDigitPairs + 2 * pair, 2);
  return out + 2;
}

// Writes `fraction` < 10^digits with leading zeros; digits is 4 or 6.
char* write_fraction(char* out, uint64_t fraction, int digits) {
  if (digits == 6) {
    out = write_pair(out, fraction / 10000);
    fraction %= 10000;
  }
  out = write_pair(out, fraction / 100);
  return write_pair(out, fraction % 100);
}

char* write_text(char* out, const char* text) {
  const size_t length = std::strlen(text);
  std::memcpy(out, text, length);
  return out + length;
}

char* write_special(char* out, bool is_nan, bool negative) {
  if (is_nan) return write_text(out, "NaN");
  return write_text(out, negative ? "-inf" : "inf");
}

// Returns product / 2^shift (shift >= 1) rounded to the nearest integer, ties to even.
// Adding half - 1, plus one more for an odd quotient, carries exactly when the rounding goes up;
// without branches, because the digits below the cut are as good as random.
template <class Wide>
Wide shift_round_half_even(Wide product, unsigned shift) {
  constexpr unsigned kWidth = 8 * sizeof(Wide);
  // The callers' products stay below 2^(kWidth - 2), which is below half of any such divisor.
  if (shift >= kWidth) return 0;
  const Wide odd = (product >> shift) & 1;
  return (product + ((Wide{1} << (shift - 1)) - 1) + odd) >> shift;
}

// Writes the integer part; most sensor values need one or two digits.
char* write_integer(char* out, uint64_t value) {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return out + 1;
  }
  if (value < 100) return write_pair(out, value);
  return std::to_chars(out, out + 20, value).ptr;
}

// Writes the sign, then scaled / kScale with exactly kDigits decimals.
template <uint64_t kScale, int kDigits>
char* write_scaled(char* out, bool negative, uint64_t scaled) {
  *out = '-';
  out += negative ? 1 : 0;
  out = write_integer(out, scaled / kScale);
  *out++ = '.';
  return write_fraction(out, scaled % kScale, kDigits);
}

}  // namespace

char* format_float6(float value, char* out) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const bool negative = (bits >> 31) != 0;
  const uint32_t exponent_field = (bits >> 23) & 0xFF;
  const uint32_t fraction_field = bits & 0x7FFFFF;
  if (exponent_field == 0xFF) return write_special(out, fraction_field != 0, negative);
  // Magnitudes from 2^44 up: value * 10^6 no longer fits 64 bits.
  if (exponent_field >= 127 + 44) {
    return std::to_chars(out, out + kFloat6MaxChars, value, std::chars_format::fixed, 6).ptr;
  }
  // value = mantissa * 2^exponent exactly.
  const uint64_t mantissa = exponent_field == 0 ? fraction_field : (fraction_field | 0x800000u);
  const int exponent = exponent_field == 0 ? -149 : static_cast<int>(exponent_field) - 150;
  uint64_t scaled;
  if (exponent >= 0) {
    scaled = (mantissa << exponent) * kScale6;
  } else {
    // mantissa * 10^6 < 2^44: the rounding below is exact.
    scaled = shift_round_half_even<uint64_t>(mantissa * kScale6, static_cast<unsigned>(-exponent));
  }
  return write_scaled<kScale6, 6>(out, negative, scaled);
}

namespace {

struct Scaled4 {
  bool negative;
  uint64_t scaled;  // |value| in units of 10^-4, rounded half to even
};

// Scales a finite value below 2^50 in magnitude: value * 10^4 then fits 64 bits.
Scaled4 scale_fixed4(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint64_t exponent_field = (bits >> 52) & 0x7FF;
  const uint64_t fraction_field = bits & ((uint64_t{1} << 52) - 1);
  // value = mantissa * 2^-shift exactly; below 2^50 the shift is at least 3.
  const uint64_t mantissa =
      exponent_field == 0 ? fraction_field : (fraction_field | (uint64_t{1} << 52));
  const unsigned shift = exponent_field == 0 ? 1074u : static_cast<unsigned>(1075 - exponent_field);
  // mantissa * 10^4 < 2^67: exact in 128 bits.
  const Uint128 product = static_cast<Uint128>(mantissa) * kScale4;
  return {(bits >> 63) != 0, static_cast<uint64_t>(shift_round_half_even(product, shift))};
}

}  // namespace

char* format_fixed4(double value, char* out) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  const uint64_t exponent_field = (bits >> 52) & 0x7FF;
  if (exponent_field == 0x7FF) {
    return write_special(out, (bits & ((uint64_t{1} << 52) - 1)) != 0, (bits >> 63) != 0);
  }
  // Magnitudes from 2^50 up: value * 10^4 no longer fits 64 bits.
  if (exponent_field >= 1023 + 50) {
    return std::to_chars(out, out + kFixed4MaxChars, value, std::chars_format::fixed, 4).ptr;
  }
  const Scaled4 parts = scale_fixed4(value);
  return write_scaled<kScale4, 4>(out, parts.negative, parts.scaled);
}

char* format_time_us(int64_t microseconds, char* out) {
  // |microseconds| / 10^6 < 2^44, so the exact path always applies and kTimeMaxChars suffices.
  return format_fixed4(static_cast<double>(microseconds) / 1000000.0, out);
}

uint64_t TimeFormatter::exact_scaled(int64_t microseconds, bool& negative) {
  // |microseconds| / 10^6 < 2^44: always the exact path of format_fixed4.
  const Scaled4 parts = scale_fixed4(static_cast<double>(microseconds) / 1000000.0);
  negative = parts.negative;
  return parts.scaled;
}

uint64_t TimeFormatter::start_second(uint64_t scaled, bool negative) {
  const uint64_t seconds = scaled / kScale4;
  char* end = integer_text_;
  *end = '-';
  end += negative ? 1 : 0;
  end = write_integer(end, seconds);
  length_ = static_cast<size_t>(end - integer_text_);
  second_start_ = seconds * kScale4;
  negative_ = negative;
  return scaled - second_start_;
}

}  // namespace velmora
