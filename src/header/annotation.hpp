// The free-text annotation of the metadata block.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "packet/packet_meta.hpp"

namespace velmora {

inline constexpr size_t kAnnotationOffset = 64;  // first byte of the annotation region
inline constexpr size_t kAnnotationBytes = 448;  // region runs through byte 511

// Returns the annotation of a metadata block: trailing pad bytes (0x00, 0x20, 0xFF) trimmed
// unless the region holds nothing else, then decoded as lossy UTF-8.
std::string parse_annotation(std::span<const uint8_t, kMetadataBytes> block);

}  // namespace velmora
