// Annotation region bounds and the lossy UTF-8 decoder behind it.
#include "header/annotation.hpp"

#include <gtest/gtest.h>

#include <string>

#include "cwa_builder.hpp"
#include "header/utf8.hpp"

namespace velmora {
namespace {

using testing::Bytes;

const std::string kFffd = "\xEF\xBF\xBD";

std::string annotation_of(const Bytes& region) {
  Bytes block = testing::MetadataBuilder().bytes();
  std::copy(region.begin(), region.end(), block.begin() + kAnnotationOffset);
  return parse_annotation(std::span<const uint8_t, kMetadataBytes>(block.data(), kMetadataBytes));
}

std::string lossy(std::string_view bytes) {
  return decode_utf8_lossy(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

bool valid(std::string_view bytes) {
  return is_valid_utf8(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

TEST(parse_annotation, keeps_a_full_region_and_ignores_bytes_beyond_it) {
  EXPECT_EQ(annotation_of(Bytes(kAnnotationBytes, 'q')), std::string(kAnnotationBytes, 'q'));
  Bytes block = testing::MetadataBuilder().bytes();
  block[kAnnotationOffset] = 'z';
  block[512] = 'y';
  block[63] = 'w';
  EXPECT_EQ(
      parse_annotation(std::span<const uint8_t, kMetadataBytes>(block.data(), kMetadataBytes)),
      "z");
}

TEST(decode_utf8_lossy, keeps_well_formed_text) {
  const std::string_view texts[] = {"plain",        "\xC3\xA9",         "\xE2\x82\xAC",
                                    "\xEF\xBF\xBF", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
                                    "\xED\x9F\xBF"};
  for (std::string_view text : texts) {
    EXPECT_EQ(lossy(text), text);
    EXPECT_TRUE(valid(text)) << text;
  }
}

// Returns `pattern` with each '?' replaced by U+FFFD.
std::string with_replacements(std::string_view pattern) {
  std::string out;
  for (char ch : pattern) out += ch == '?' ? kFffd : std::string(1, ch);
  return out;
}

TEST(decode_utf8_lossy, replaces_each_maximal_ill_formed_subsequence_once) {
  const struct {
    std::string_view bytes;
    std::string_view expected;  // '?' marks one U+FFFD
  } cases[] = {
      {"\xFF", "?"},
      {"\x80", "?"},  // lone continuation byte
      {"a\x80\xBF\x80"
       "b",
       "a???b"},           // each continuation byte on its own
      {"\xC0\xAF", "??"},  // overlong two-byte form
      {"\xC1\xBF", "??"},
      {"\xE0\x80\xAF", "???"},       // overlong three-byte form
      {"\xF0\x80\x80\xAF", "????"},  // overlong four-byte form
      {"\xED\xA0\x80", "???"},       // surrogate U+D800
      {"\xED\xBF\xBF", "???"},       // surrogate U+DFFF
      {"\xF4\x90\x80\x80", "????"},  // above U+10FFFF
      {"\xF5\x80\x80\x80", "????"},
      {"\xE2\x82", "?"},        // truncated at the end
      {"\xE2\x82x", "?x"},      // truncated before ASCII
      {"\xF0\x9F\x98x", "?x"},  // truncated four-byte sequence
      {"\xF0\x9Fx\xE2x", "?x?x"},
      {"\xC3\xC3\xA9", "?\xC3\xA9"},  // lead byte, then a complete character
      {"x\xF8\x88\x80\x80\x80x", "x?????x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lossy(c.bytes), with_replacements(c.expected)) << c.expected;
    EXPECT_FALSE(valid(c.bytes)) << c.expected;
  }
}

}  // namespace
}  // namespace velmora
