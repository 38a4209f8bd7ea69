// Little-endian fields of untrusted bytes, read one byte at a time (never a cast to a struct).
#pragma once
#include <stdint.h>

inline uint16_t DOC_wLe16(const uint8_t* pb) { return static_cast<uint16_t>(pb[0] | (pb[1] << 8)); }

inline uint32_t DOC_lLe32(const uint8_t* pb) {
  return static_cast<uint32_t>(pb[0]) | (static_cast<uint32_t>(pb[1]) << 8) |
         (static_cast<uint32_t>(pb[2]) << 16) | (static_cast<uint32_t>(pb[3]) << 24);
}
