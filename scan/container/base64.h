// Inside the container layer: base64 as GMime decodes it, faster (mail.cpp; its test compares
// it with GMime's own step).
#pragma once
#include <gmime/gmime.h>

#include <cstddef>
#include <cstdint>

namespace container::detail {

// GMime's base64 decoding, four characters a step where they are four of the alphabet (GMime's
// step takes one at a time: it was most of a mail's scan); every other character goes to GMime's
// step itself, so that the bytes out are GMime's whatever comes in.
class Base64Decoder {
 public:
  Base64Decoder() {
    static const bool s_bChecked = Check();
    m_bFast = s_bChecked;
  }
  // Decodes cb characters; at most cb / 4 * 3 + 3 bytes out.
  size_t Step(const uint8_t* pIn, size_t cb, uint8_t* pOut) {
    const uint8_t* p = pIn;
    const uint8_t* pEnd = pIn + cb;
    uint8_t* o = pOut;
    while (p < pEnd) {
      if (m_state == 0 && m_bFast) {
        while (pEnd - p >= 4) {
          uint32_t v =
              s_aaSextet[0][p[0]] | s_aaSextet[1][p[1]] | s_aaSextet[2][p[2]] | s_aaSextet[3][p[3]];
          if (v & kOther) break;
          o[0] = static_cast<uint8_t>(v >> 16);
          o[1] = static_cast<uint8_t>(v >> 8);
          o[2] = static_cast<uint8_t>(v);
          o += 3;
          p += 4;
        }
        if (p == pEnd) break;
      }
      o += g_mime_encoding_base64_decode_step(p, 1, o, &m_state, &m_save);
      ++p;
    }
    return static_cast<size_t>(o - pOut);
  }

 private:
  static constexpr uint32_t kOther = 0x80000000;  // not one of the 64: GMime's to take
  // Each character's 6 bits where they go in a quartet's 24, by its place in the quartet.
  static inline uint32_t s_aaSextet[4][256];
  // The tables, and that GMime decodes each of their characters as they do.
  static bool Check() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (auto& a : s_aaSextet)
      for (uint32_t& u : a) u = kOther;
    for (int i = 0; i < 64; ++i) {
      uint8_t ab[4], abOut[8];
      for (uint8_t& b : ab) b = static_cast<uint8_t>(kAlphabet[i]);
      int state = 0;
      guint32 save = 0;
      uint32_t v = static_cast<uint32_t>(i) * 0x41041;  // i in each of the four sextets
      if (g_mime_encoding_base64_decode_step(ab, 4, abOut, &state, &save) != 3 || state != 0 ||
          abOut[0] != (v >> 16 & 0xFF) || abOut[1] != (v >> 8 & 0xFF) || abOut[2] != (v & 0xFF))
        return false;
      for (int k = 0; k < 4; ++k)
        s_aaSextet[k][static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint32_t>(i)
                                                            << (18 - 6 * k);
    }
    return true;
  }

  bool m_bFast = false;
  int m_state = 0;
  guint32 m_save = 0;
};

}  // namespace container::detail
