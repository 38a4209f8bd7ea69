// Hex signature strings to bytes, shared by the document matcher and the raw scan.
#include "sigdb.h"

namespace {
// '0'..'9' give 0..9 and 'A'..'F' give 10..15; the unused ':'..'@' fall on the digit side.
inline unsigned Nibble(unsigned char c) { return c <= '@' ? c - 48u : c - 55u; }
}  // namespace

int32_t SIG_iDecode(const char* szHex, uint8_t* pbOut, int32_t cbMax) {
  int32_t n = 0;
  if (szHex == nullptr) return 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(szHex); p[0] && p[1];
       p += 2) {
    if (n >= cbMax) return -1;
    pbOut[n++] = static_cast<uint8_t>((Nibble(p[0]) << 4) + Nibble(p[1]));
  }
  return n;
}
