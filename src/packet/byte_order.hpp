// Little-endian loads from file bytes; every integer in a CWA file is little-endian.
#pragma once

#include <cstdint>
#include <cstring>

namespace velmora {

inline uint16_t load_u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline int16_t load_i16(const uint8_t* p) { return static_cast<int16_t>(load_u16(p)); }
inline uint32_t load_u32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);  // x86-64 and aarch64 Linux are little-endian
  return value;
}

}  // namespace velmora
