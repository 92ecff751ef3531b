// Annotation trimming and decoding.
#include "header/annotation.hpp"

#include "header/utf8.hpp"

namespace velmora {

namespace {

bool is_pad_byte(uint8_t byte) { return byte == 0x00 || byte == 0x20 || byte == 0xFF; }

}  // namespace

std::string parse_annotation(std::span<const uint8_t, kMetadataBytes> block) {
  const std::span<const uint8_t, kAnnotationBytes> region =
      block.subspan<kAnnotationOffset, kAnnotationBytes>();
  size_t length = region.size();
  while (length > 0 && is_pad_byte(region[length - 1])) --length;
  // An all-pad region is kept whole rather than becoming an empty text.
  if (length == 0) length = region.size();
  return decode_utf8_lossy(region.first(length));
}

}  // namespace velmora
