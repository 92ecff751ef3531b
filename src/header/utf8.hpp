// UTF-8 validation and lossy decoding of byte strings read from CWA files.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velmora {

// Returns true when `bytes` is well-formed UTF-8 in its entirety.
bool is_valid_utf8(std::span<const uint8_t> bytes);

// Returns `bytes` as well-formed UTF-8, each maximal ill-formed subsequence replaced by one
// U+FFFD (the Unicode Standard's recommended practice, the same as Python's "replace").
std::string decode_utf8_lossy(std::span<const uint8_t> bytes);

}  // namespace velmora
