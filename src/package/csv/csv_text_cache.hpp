// A small cache of finished float texts for CSV lines: sensor values repeat heavily, so most
// fields become one fixed-size copy instead of a formatting run.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "package/csv/csv_number.hpp"

namespace velmora {

// Holds the texts of recently seen float bit patterns, each followed by ','. The texts come
// from format_float6, so a hit writes exactly what a formatting run would.
class FloatTextCache {
 public:
  // Bytes that put() may write past `out`, whatever the text's length.
  static constexpr size_t kRoom = kFloat6MaxChars + 1;

  FloatTextCache() : entries_(std::make_unique<Entry[]>(kEntries)) {
    // Start every entry as a valid one: the text of +0.0f, whose bit pattern is 0.
    Entry zero{};
    zero.length = static_cast<uint32_t>(format_float6(0.0f, zero.text) - zero.text) + 1;
    zero.text[zero.length - 1] = ',';
    for (size_t i = 0; i < kEntries; ++i) entries_[i] = zero;
  }

  // Writes the text of `value` and a ',' to out[0, kRoom) and returns the end.
  char* put(float value, char* out) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    Entry& entry = entries_[(bits * 0x9E3779B1u) >> (32 - kIndexBits)];
    if (entry.bits == bits) [[likely]] {
      std::memcpy(out, entry.text, sizeof entry.text);
      return out + entry.length;
    }
    char* end = format_float6(value, out);
    *end++ = ',';
    const auto length = static_cast<size_t>(end - out);
    // Longer texts (huge magnitudes) stay uncached; they are rare.
    if (length <= sizeof entry.text) {
      std::memcpy(entry.text, out, sizeof entry.text);
      entry.bits = bits;
      entry.length = static_cast<uint32_t>(length);
    }
    return end;
  }

 private:
  static constexpr unsigned kIndexBits = 12;
  static constexpr size_t kEntries = size_t{1} << kIndexBits;

  struct alignas(32) Entry {
    char text[16];    // the text and its ',', then unused bytes
    uint32_t bits;    // bit pattern of the float the text belongs to
    uint32_t length;  // used bytes of text
  };

  std::unique_ptr<Entry[]> entries_;
};

}  // namespace velmora
