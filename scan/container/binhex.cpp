// BinHex 4.0, read forward from its text: the banner line, then between two ':' the data in a
// 64-character alphabet, 6 bits a character, run-length coded (0x90 n: the byte before it n times
// in all; 0x90 0: 0x90 itself). The bytes decoded: a header (name, type, creator, flags, the
// lengths of the data and resource forks), then each fork, each of the three followed by its
// CRC-16/XMODEM. The forks are the members: the data fork by the file's name, the resource fork
// (when it has bytes) by the name with "/..namedfork/rsrc" after it.
#include <cstring>
#include <string>

#include "text.h"

namespace container::detail {

namespace {

constexpr char kBanner[] = "(This file must be converted with BinHex";
constexpr char kAlphabet[] = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
constexpr uint8_t kRunMark = 0x90;
// The header after the name: version, type, creator, flags, two fork lengths.
constexpr size_t kHeaderTail = 1 + 4 + 4 + 2 + 4 + 4;
constexpr size_t kMaxName = 63;

uint16_t Crc16(uint16_t crc, const uint8_t* pb, size_t cb) {
  for (size_t i = 0; i < cb; ++i) {
    crc = static_cast<uint16_t>(crc ^ (pb[i] << 8));
    for (int k = 0; k < 8; ++k)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

uint32_t Be32(const uint8_t* pb) {
  return static_cast<uint32_t>(pb[0]) << 24 | pb[1] << 16 | pb[2] << 8 | pb[3];
}

// The decoded bytes between the two ':'.
class Data {
 public:
  // bParent: the text is a member's, whose reader records its own failure.
  Data(LineReader* pLines, bool bParent) : m_pLines(pLines), m_bParent(bParent) {
    for (int i = 0; i < 256; ++i) m_aValue[i] = -1;
    for (int i = 0; kAlphabet[i]; ++i) m_aValue[static_cast<uint8_t>(kAlphabet[i])] = i;
  }
  // Finds the banner line and the ':' that opens the data (only blanks between them). The
  // characters are read from there on as they come, not as lines: a line may be of any length.
  bool Open() {
    const char* pLine = nullptr;
    size_t cbLine = 0;
    bool bLong = false;
    const size_t cbBanner = sizeof kBanner - 1;
    for (;;) {
      if (!m_pLines->Next(&pLine, &cbLine, &bLong)) return false;
      if (!bLong && cbLine >= cbBanner && std::memcmp(pLine, kBanner, cbBanner) == 0) break;
    }
    m_pText = m_pLines->Rest();  // from the banner's line on
    int c;
    while ((c = Char()) >= 0 && c != '\n') {
    }
    while ((c = Char()) == ' ' || c == '\t' || c == '\r' || c == '\n') {
    }
    return c == ':';
  }
  // Up to cb bytes: how many, 0 at the closing ':' or the text's end, -1 when damaged (Error()).
  ptrdiff_t Read(uint8_t* pb, size_t cb) {
    size_t n = 0;
    while (n < cb) {
      if (m_nRepeat > 0) {
        pb[n++] = m_bLast;
        --m_nRepeat;
        continue;
      }
      int b = RawByte();
      if (b == kDamaged) return -1;
      if (b == kEnd) break;
      if (m_bMarked) {
        m_bMarked = false;
        if (b == 0) {
          pb[n++] = m_bLast = kRunMark;
          m_bHaveLast = true;
        } else if (!m_bHaveLast) {
          m_sError = "Damaged binhex: a run of nothing";
          return -1;
        } else {
          m_nRepeat = b - 1;
        }
      } else if (b == kRunMark) {
        m_bMarked = true;
      } else {
        pb[n++] = m_bLast = static_cast<uint8_t>(b);
        m_bHaveLast = true;
      }
    }
    return static_cast<ptrdiff_t>(n);
  }
  // Exactly cb bytes, else false.
  bool ReadAll(uint8_t* pb, size_t cb) {
    while (cb > 0) {
      ptrdiff_t n = Read(pb, cb);
      if (n <= 0) return false;
      pb += n;
      cb -= static_cast<size_t>(n);
    }
    return true;
  }
  const std::string& Error() const { return m_sError; }
  // The text could not be read on, and its reader says why.
  bool ParentFailed() const { return m_bParent && m_pLines->Failed(); }

 private:
  static constexpr int kEnd = -1, kDamaged = -2;
  // The text's next character, -1 at its end or when it cannot be read on.
  int Char() {
    if (m_at == m_cbHeld) {
      ptrdiff_t n = m_pText->Read(m_abText, sizeof m_abText);
      if (n <= 0) return -1;
      m_cbHeld = static_cast<size_t>(n);
      m_at = 0;
    }
    return m_abText[m_at++];
  }
  // The next byte of the 6-bit stream, before the run-length step.
  int RawByte() {
    while (m_nBits < 8) {
      if (m_bClosed) return kEnd;
      int c = Char();
      if (c < 0 || c == ':') {
        m_bClosed = true;
        if (c < 0 && m_pLines->Failed()) {
          m_sError = "Damaged binhex: the text holding it ends early";
          return kDamaged;
        }
        return kEnd;
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
      if (m_aValue[c] < 0) {
        m_sError = "Damaged binhex: a character outside its alphabet";
        return kDamaged;
      }
      m_uBits = (m_uBits << 6 | static_cast<uint32_t>(m_aValue[c])) & 0xFFFFFF;
      m_nBits += 6;
    }
    m_nBits -= 8;
    return static_cast<int>(m_uBits >> m_nBits & 0xFF);
  }

  LineReader* m_pLines;
  bool m_bParent;
  int8_t m_aValue[256];
  MemberStream* m_pText = nullptr;
  uint8_t m_abText[4096];
  size_t m_at = 0, m_cbHeld = 0;
  uint32_t m_uBits = 0;
  int m_nBits = 0;
  bool m_bClosed = false;
  bool m_bMarked = false, m_bHaveLast = false;
  uint8_t m_bLast = 0;
  int m_nRepeat = 0;
  std::string m_sError;
};

// One fork: its bytes, then its CRC read and checked.
class Fork : public MemberStream {
 public:
  Fork(Data* pData, uint64_t cb, const char* szWhich) : m_pData(pData), m_cbLeft(cb) {
    m_sWhich = szWhich;
  }
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    if (m_cbLeft == 0) {
      if (!m_bDone) Finish();
      return 0;
    }
    if (cb > m_cbLeft) cb = static_cast<size_t>(m_cbLeft);
    ptrdiff_t n = m_pData->Read(pb, cb);
    if (n <= 0) {
      m_bParentFailed = m_pData->ParentFailed();
      m_sError = n < 0 && !m_pData->Error().empty()
                     ? m_pData->Error()
                     : "Damaged binhex: the " + m_sWhich + " ends early";
      return -1;
    }
    m_crc = Crc16(m_crc, pb, static_cast<size_t>(n));
    m_cbLeft -= static_cast<uint64_t>(n);
    return n;
  }
  std::string Error() const override { return m_sError; }
  bool ParentFailed() const override { return m_bParentFailed; }
  Kind ContainerKind() const override { return Kind::kBinhex; }
  std::string LateDamage() const override { return m_sLate; }
  // Every byte and the CRC read (Read() gave its 0).
  bool Done() const { return m_bDone; }

 private:
  void Finish() {
    m_bDone = true;
    uint8_t ab[2];
    if (!m_pData->ReadAll(ab, sizeof ab))
      m_sLate = "Damaged binhex: the " + m_sWhich + " ends before its CRC";
    else if ((ab[0] << 8 | ab[1]) != m_crc)
      m_sLate = "Damaged binhex: the " + m_sWhich + "'s CRC does not match";
  }

  Data* m_pData;
  uint64_t m_cbLeft;
  std::string m_sWhich;
  uint16_t m_crc = 0;
  bool m_bDone = false, m_bParentFailed = false;
  std::string m_sError, m_sLate;
};

}  // namespace

void WalkBinhex(Walker* pWalker, const Source& src, const std::string& sName, const Place& place) {
  std::vector<std::string> outerChain = *place.pChain;
  if (!outerChain.empty()) outerChain.pop_back();
  Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
  RangeStream file(src.fd, 0, src.cb, Kind::kBinhex, "Damaged binhex: cannot be read");
  ReaderStream parent(src.pReader);
  LineReader lines(src.fd >= 0 ? static_cast<MemberStream*>(&file) : &parent);
  Data data(&lines, src.fd < 0);
  auto damaged = [&](const std::string& sReason) {
    if (!data.ParentFailed()) pWalker->Record(outer, sName, Kind::kBinhex, Why::kDamaged, sReason);
  };
  if (!data.Open()) return damaged("Damaged binhex: no data after its banner");
  uint8_t ab[1 + kMaxName + kHeaderTail + 2];
  if (!data.ReadAll(ab, 1) || ab[0] == 0 || ab[0] > kMaxName ||
      !data.ReadAll(ab + 1, ab[0] + kHeaderTail + 2))
    return damaged(!data.Error().empty() ? data.Error() : "Damaged binhex: its header");
  size_t cbHeader = 1 + ab[0] + kHeaderTail;
  const uint8_t* pTail = ab + 1 + ab[0];
  std::string sFile(reinterpret_cast<const char*>(ab + 1), ab[0]);
  if ((ab[cbHeader] << 8 | ab[cbHeader + 1]) != Crc16(0, ab, cbHeader))
    damaged("Damaged binhex: the header's CRC does not match");
  const struct {
    uint64_t cb;
    const char* szWhich;
    std::string sMember;
  } kForks[] = {{Be32(pTail + 11), "data fork", sFile},
                {Be32(pTail + 15), "resource fork", sFile + "/..namedfork/rsrc"}};
  for (const auto& f : kForks) {
    if (pWalker->Stopped()) return;
    Fork fork(&data, f.cb, f.szWhich);
    if (f.cb > 0) {
      pWalker->Member(&fork, f.sMember, f.cb, place);
    } else {
      uint8_t b;
      fork.Read(&b, 1);
      if (!fork.LateDamage().empty()) damaged(fork.LateDamage());
    }
    if (!fork.Done()) return;  // damaged, stopped or at a limit: recorded where it was
  }
}

}  // namespace container::detail
