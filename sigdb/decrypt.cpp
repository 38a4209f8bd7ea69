// MACRO_DecryptDef: one constant 256-entry byte map, built by the compiler from the 64 pairs.
#include "decrypt.h"

#include <stddef.h>

// Sorted by source byte. Most sources lie above 0x7F; '!', '$', '%', '&', '+', '=' and '~' stand
// for other characters, and '#' stands for itself.
// clang-format off
constexpr DecryptPair g_aDecryptPairs[ZM_DECRYPT_PAIRS] = {
    {0x21, 'A'}, {0x23, '#'}, {0x24, 'h'}, {0x25, 'Q'}, {0x26, 'a'}, {0x2B, '8'}, {0x3D, 'r'}, {0x7E, 'd'},
    {0x84, 'z'}, {0x88, '1'}, {0x8A, 'P'}, {0x8C, 'I'}, {0x8E, 'p'}, {0x93, 'T'}, {0x94, 'u'}, {0x95, 'S'},
    {0x96, 'o'}, {0x98, 'g'}, {0x99, '7'}, {0x9B, 'V'}, {0x9E, 'Z'}, {0xA3, 'J'}, {0xA4, 'F'}, {0xA6, 'L'},
    {0xA7, 'c'}, {0xA8, 'X'}, {0xAB, 'D'}, {0xAE, '9'}, {0xB2, 'l'}, {0xB4, 'm'}, {0xB5, 'E'}, {0xB7, '2'},
    {0xBA, '0'}, {0xBD, 'N'}, {0xBE, 'n'}, {0xC2, 'x'}, {0xC4, 't'}, {0xC5, 'Y'}, {0xC6, 'W'}, {0xC8, 's'},
    {0xCC, 'G'}, {0xCE, 'O'}, {0xD1, '*'}, {0xD4, 'w'}, {0xD7, 'B'}, {0xD8, 'j'}, {0xDA, 'f'}, {0xDB, 'K'},
    {0xE1, 'C'}, {0xE2, 'M'}, {0xE3, '3'}, {0xE4, '4'}, {0xE6, 'i'}, {0xEB, 'e'}, {0xEC, '6'}, {0xEF, 'v'},
    {0xF1, 'b'}, {0xF2, 'y'}, {0xF6, '5'}, {0xFA, 'U'}, {0xFB, 'q'}, {0xFC, 'H'}, {0xFD, 'R'}, {0xFF, 'k'},
};
// clang-format on

namespace {

struct ByteMap {
  uint8_t ab[256];
};

constexpr ByteMap BuildMap() {
  ByteMap m{};
  for (int i = 0; i < 256; ++i) m.ab[i] = static_cast<uint8_t>(i);
  for (const DecryptPair& p : g_aDecryptPairs) m.ab[p.bSource] = static_cast<uint8_t>(p.chPlain);
  return m;
}
constexpr ByteMap kMap = BuildMap();

}  // namespace

int32_t SIG_iDecryptDef(const char* szSource, char* szDest) {
  if (szDest == nullptr) return 0;
  if (szSource == nullptr) szSource = "";
  size_t n = 0;
  while (szSource[n]) ++n;
  const uint8_t* pbIn = reinterpret_cast<const uint8_t*>(szSource);
  uint8_t* pbOut = reinterpret_cast<uint8_t*>(szDest);
  // Each byte maps to the byte at its own position, so no copy of the source is needed: walking
  // away from the overlap (forward when the destination starts first, backward otherwise) reads
  // every source byte before any write can reach it.
  if (reinterpret_cast<uintptr_t>(pbOut) <= reinterpret_cast<uintptr_t>(pbIn)) {
    for (size_t i = 0; i < n; ++i) pbOut[i] = kMap.ab[pbIn[i]];
  } else {
    for (size_t i = n; i-- > 0;) pbOut[i] = kMap.ab[pbIn[i]];
  }
  pbOut[n] = 0;
  return static_cast<int32_t>(n + 1);
}
