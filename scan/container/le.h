// Little-endian fields of the formats the container layer reads itself (zip's records, TNEF).
#pragma once
#include <cstdint>

namespace container {

inline uint16_t Le16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | (pb[1] << 8)); }

inline uint32_t Le32(const uint8_t* pb) {
  return pb[0] | (pb[1] << 8) | (pb[2] << 16) | (static_cast<uint32_t>(pb[3]) << 24);
}

inline uint64_t Le64(const uint8_t* pb) {
  return Le32(pb) | static_cast<uint64_t>(Le32(pb + 4)) << 32;
}

}  // namespace container
