// UTF-8 decoding by the well-formed byte sequence table of the Unicode Standard (Table 3-7).
#include "header/utf8.hpp"

#include <cstddef>

namespace velmora {

namespace {

// Returns the length of the well-formed sequence at bytes[at], or 0 when it is ill-formed;
// `maximal` receives the length of the maximal ill-formed prefix (at least 1) in that case.
size_t sequence_length(std::span<const uint8_t> bytes, size_t at, size_t& maximal) {
  const uint8_t lead = bytes[at];
  maximal = 1;
  if (lead < 0x80) return 1;
  size_t length;
  uint8_t second_low = 0x80;
  uint8_t second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    // Exclude overlongs (E0) and surrogates (ED).
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    // Exclude overlongs (F0) and code points above U+10FFFF (F4).
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return 0;  // continuation byte, C0, C1 or F5..FF as a lead
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= bytes.size()) return 0;
    const uint8_t byte = bytes[at + i];
    const uint8_t low = i == 1 ? second_low : uint8_t{0x80};
    const uint8_t high = i == 1 ? second_high : uint8_t{0xBF};
    if (byte < low || byte > high) return 0;
    maximal = i + 1;
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::span<const uint8_t> bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    size_t maximal;
    const size_t length = sequence_length(bytes, at, maximal);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string decode_utf8_lossy(std::span<const uint8_t> bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    size_t maximal;
    const size_t length = sequence_length(bytes, at, maximal);
    if (length == 0) {
      out.append(kReplacement, 3);
      at += maximal;
    } else {
      out.append(reinterpret_cast<const char*>(bytes.data() + at), length);
      at += length;
    }
  }
  return out;
}

}  // namespace velmora
