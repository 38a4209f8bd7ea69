// Text read line by line, with the bytes after a line's start in view.
#include "text.h"

#include <cstring>

namespace container::detail {

namespace {

// The buffer: a chunk of reading, and room to keep the view of kLookahead before it.
constexpr size_t kBuffer = kChunk + kLookahead;

}  // namespace

bool LooksLikeField(const uint8_t* pb, size_t cb) {
  size_t k = 0;
  while (k < cb && pb[k] > 0x20 && pb[k] < 0x7F && pb[k] != ':') ++k;
  return k > 0 && k < cb && pb[k] == ':';
}

bool MessageStarts(const uint8_t* pb, size_t cb, bool* pbMbox) {
  *pbMbox = cb >= 5 && std::memcmp(pb, "From ", 5) == 0;
  bool bMime = false;
  return *pbMbox ? IsMboxStart(pb, cb) : IsMailStart(pb, cb, &bMime) && bMime;
}

ptrdiff_t MemoryStream::Read(uint8_t* pb, size_t cb) {
  size_t n = m_cb - m_at < cb ? m_cb - m_at : cb;
  std::memcpy(pb, m_pb + m_at, n);
  m_at += n;
  return static_cast<ptrdiff_t>(n);
}

LineReader::LineReader(MemberStream* pSource) : m_pSource(pSource), m_ab(new uint8_t[kBuffer]) {}

bool LineReader::Fill() {
  if (m_bEnd || m_bFailed) return false;
  if (m_cb == kBuffer) {
    if (m_line == 0) return false;  // the caller asks for no more than the buffer holds
    std::memmove(m_ab.get(), m_ab.get() + m_line, m_cb - m_line);
    m_cb -= m_line;
    m_next -= m_line;
    m_line = 0;
  }
  ptrdiff_t n = m_pSource->Read(m_ab.get() + m_cb, kBuffer - m_cb);
  if (n < 0) m_bFailed = true;
  if (n <= 0) {
    m_bEnd = true;
    return false;
  }
  m_cb += static_cast<size_t>(n);
  return true;
}

bool LineReader::Next(const char** ppLine, size_t* pcbLine, bool* pbLong) {
  *pbLong = false;
  m_line = m_next;
  size_t cbSearched = 0;  // from m_line, which Fill() may move
  for (;;) {
    const void* pNl =
        std::memchr(m_ab.get() + m_line + cbSearched, '\n', m_cb - m_line - cbSearched);
    cbSearched = m_cb - m_line;
    if (pNl || cbSearched > kMaxLine || !Fill()) {
      size_t end = pNl ? static_cast<const uint8_t*>(pNl) - m_ab.get() : m_cb;
      if (!pNl && end == m_line) return false;  // the end, at a line's start
      if (end - m_line > kMaxLine) break;
      m_next = pNl ? end + 1 : end;
      if (end > m_line && m_ab[end - 1] == '\r') --end;
      *ppLine = reinterpret_cast<const char*>(m_ab.get() + m_line);
      *pcbLine = end - m_line;
      return true;
    }
  }
  // A long line: its head kept, the rest passed over up to the next line end.
  *pbLong = true;
  m_sLong.assign(reinterpret_cast<const char*>(m_ab.get() + m_line), kMaxLine);
  for (;;) {
    const void* pNl = std::memchr(m_ab.get() + m_line, '\n', m_cb - m_line);
    if (pNl) {
      m_next = static_cast<const uint8_t*>(pNl) - m_ab.get() + 1;
      break;
    }
    m_line = m_next = m_cb;  // nothing of it is kept in the buffer
    if (!Fill()) break;
  }
  m_line = m_next;
  *ppLine = m_sLong.data();
  *pcbLine = m_sLong.size();
  return true;
}

void LineReader::Ahead(const uint8_t** ppb, size_t* pcb) {
  while (m_cb - m_line < kLookahead && Fill()) {
  }
  *ppb = m_ab.get() + m_line;
  *pcb = m_cb - m_line;
}

ptrdiff_t LineReader::RestStream::Read(uint8_t* pb, size_t cb) {
  LineReader& l = *m_pLines;
  if (l.m_line == l.m_cb && !l.Fill()) return l.m_bFailed ? -1 : 0;
  size_t n = l.m_cb - l.m_line < cb ? l.m_cb - l.m_line : cb;
  std::memcpy(pb, l.m_ab.get() + l.m_line, n);
  l.m_line += n;
  if (l.m_next < l.m_line) l.m_next = l.m_line;
  return static_cast<ptrdiff_t>(n);
}

}  // namespace container::detail
