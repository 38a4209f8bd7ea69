// Mail files through a window, and an mbox split into its messages.
#include "mbox.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "container.h"
#include "text.h"

namespace container::detail {

namespace {

// Multiparts open inside one another that are followed; deeper ones are not (GMime nests them
// all the same): a message with more is a bomb of its own, which MaxFiles ends.
constexpr size_t kMaxOpen = 64;
// A header field's value kept to be parsed (Content-Type, Content-Length); a boundary is at most
// 70 characters (RFC 2046), and one that is longer is followed whole if it fits.
constexpr size_t kMaxValue = 4096;
// A header block read for its fields; past this its lines are the body's.
constexpr uint64_t kMaxHeader = 64 * 1024;
// The index of a file's delimiters holds at most this many boundaries (some 10 MB): past it, a
// multipart's delimiter is searched for after the "From " line, reading on to the file's end when
// there is none, in all this many times the file; a "From " line inside an open multipart is
// then no more a message's start.
constexpr size_t kMaxIndexed = 1 << 18;
constexpr uint64_t kSearchesPerFile = 4;

// FNV-1a over a boundary's bytes.
uint64_t BoundaryHash(const uint8_t* pb, size_t cb) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < cb; ++i) h = (h ^ pb[i]) * 0x100000001b3ull;
  return h;
}

bool StartsWith(const uint8_t* pb, size_t cb, const char* sz) {
  size_t n = std::strlen(sz);
  return cb >= n && std::memcmp(pb, sz, n) == 0;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const char* pa, size_t cb, const char* szLower) {
  if (std::strlen(szLower) != cb) return false;
  for (size_t i = 0; i < cb; ++i)
    if (Lower(pa[i]) != szLower[i]) return false;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Content-Type's type/subtype and its boundary parameter (quoted or a token).
void ParseContentType(const std::string& s, bool* pbMultipart, bool* pbMessage,
                      std::string* psBoundary) {
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  size_t slash = s.find('/', i);
  size_t end = s.find(';', i);
  if (slash == std::string::npos || (end != std::string::npos && slash > end)) return;
  size_t subEnd = end == std::string::npos ? n : end;
  while (subEnd > slash + 1 && IsBlank(s[subEnd - 1])) --subEnd;
  *pbMultipart = EqualNoCase(s.data() + i, slash - i, "multipart");
  *pbMessage = EqualNoCase(s.data() + i, slash - i, "message") &&
               EqualNoCase(s.data() + slash + 1, subEnd - slash - 1, "rfc822");
  for (i = end; i != std::string::npos && i < n;) {
    ++i;  // past the ';'
    while (i < n && IsBlank(s[i])) ++i;
    size_t eq = s.find('=', i);
    if (eq == std::string::npos) return;
    size_t nameEnd = eq;
    while (nameEnd > i && IsBlank(s[nameEnd - 1])) --nameEnd;
    bool bBoundary = EqualNoCase(s.data() + i, nameEnd - i, "boundary");
    i = eq + 1;
    while (i < n && IsBlank(s[i])) ++i;
    std::string sValue;
    if (i < n && s[i] == '"') {
      for (++i; i < n && s[i] != '"'; ++i) {
        if (s[i] == '\\' && i + 1 < n) ++i;
        sValue += s[i];
      }
      i = s.find(';', i);
    } else {
      size_t k = i;
      while (k < n && s[k] != ';' && !IsBlank(s[k])) ++k;
      sValue.assign(s, i, k - i);
      i = s.find(';', k);
    }
    if (bBoundary) {
      *psBoundary = sValue;
      return;
    }
  }
}

}  // namespace

const uint8_t* FileWindow::At(uint64_t at, size_t cbWant, size_t* pcb) {
  if (cbWant > kWindow) cbWant = kWindow;
  if (at >= m_cbFile) {
    *pcb = 0;
    return m_ab.get();
  }
  uint64_t cbToEnd = m_cbFile - at;
  bool bHeld = at >= m_at && at - m_at < m_cb;
  if (!bHeld || (m_cb - (at - m_at) < cbWant && m_cb - (at - m_at) < cbToEnd)) {
    // From the kept position when the bytes asked for fit after it; what is held of the new
    // window's start moved to its front, the rest read.
    uint64_t start = m_keep <= at && at - m_keep <= kWindow - cbWant ? m_keep : at;
    size_t cbKept = 0;
    if (start >= m_at && start - m_at < m_cb) {
      cbKept = m_cb - static_cast<size_t>(start - m_at);
      std::memmove(m_ab.get(), m_ab.get() + (start - m_at), cbKept);
    }
    uint64_t cbLeft = m_cbFile - start;
    size_t cbRead = cbLeft < m_cbBuffer ? static_cast<size_t>(cbLeft) : m_cbBuffer;
    m_at = start;
    m_cb = cbKept;
    while (m_cb < cbRead) {
      ssize_t n = pread(m_fd, m_ab.get() + m_cb, cbRead - m_cb, static_cast<off_t>(start + m_cb));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        m_bFailed = true;  // an error, or the file is shorter than it was
        break;
      }
      m_cb += static_cast<size_t>(n);
    }
  }
  size_t off = static_cast<size_t>(at - m_at);
  *pcb = m_cb > off ? m_cb - off : 0;
  return m_ab.get() + off;
}

bool MessageSplitter::LineAt(uint64_t at, const uint8_t** ppb, size_t* pcbInView, uint64_t* pNext) {
  size_t cb = 0;
  const uint8_t* pb = m_pWindow->At(at, kLookahead, &cb);
  if (cb == 0) return false;
  *ppb = pb;
  *pcbInView = cb;
  const void* pNl = std::memchr(pb, '\n', cb);
  if (pNl) {
    *pNext = at + (static_cast<const uint8_t*>(pNl) - pb) + 1;
    return true;
  }
  // A line longer than the view: its end looked for window by window.
  uint64_t pos = at + cb;
  for (;;) {
    const uint8_t* p = m_pWindow->At(pos, FileWindow::kWindow, &cb);
    if (cb == 0) {
      *pNext = pos;
      break;
    }
    pNl = std::memchr(p, '\n', cb);
    if (pNl) {
      *pNext = pos + (static_cast<const uint8_t*>(pNl) - p) + 1;
      break;
    }
    pos += cb;
  }
  // The view is the window's, which the search above moved: the line's head again.
  *ppb = m_pWindow->At(at, kLookahead, pcbInView);
  return true;
}

void MessageSplitter::ReadHeader(uint64_t* pAt, Header* pHeader, uint64_t* pnDelimiters) {
  uint64_t start = *pAt;
  std::string* psValue = nullptr;  // the field being kept, with its folded lines
  const uint8_t* pb = nullptr;
  size_t cb = 0;
  uint64_t next = 0;
  while (*pAt - start < kMaxHeader && LineAt(*pAt, &pb, &cb, &next)) {
    size_t cbLine = next - *pAt;
    if (cbLine > cb) cbLine = cb;
    size_t cbText = cbLine;
    while (cbText > 0 && (pb[cbText - 1] == '\n' || pb[cbText - 1] == '\r')) --cbText;
    if (cbText == 0) {
      *pAt = next;  // the blank line: the body follows
      break;
    }
    if (StartsWith(pb, cbText, "--")) {
      bool bOpen = false;
      for (const Open& o : m_open)
        bOpen |= cbText >= 2 + o.sBoundary.size() &&
                 std::memcmp(pb + 2, o.sBoundary.data(), o.sBoundary.size()) == 0;
      if (bOpen) break;  // the caller's to read (and count)
      ++*pnDelimiters;
    }
    if (m_split != Split::kOne && StartsWith(pb, cbText, "From ") && IsMboxStart(pb, cb)) break;
    if (pb[0] == ' ' || pb[0] == '\t') {
      if (psValue && psValue->size() < kMaxValue)
        psValue->append(reinterpret_cast<const char*>(pb), cbText);
    } else {
      const void* pColon = std::memchr(pb, ':', cbText);
      size_t cbName = pColon ? static_cast<const uint8_t*>(pColon) - pb : 0;
      while (cbName > 0 && IsBlank(static_cast<char>(pb[cbName - 1]))) --cbName;
      const char* pName = reinterpret_cast<const char*>(pb);
      psValue = nullptr;
      if (EqualNoCase(pName, cbName, "content-type")) {
        pHeader->sBoundary.clear();
        psValue = &pHeader->sBoundary;  // the raw value first; parsed below
      } else if (EqualNoCase(pName, cbName, "content-length")) {
        psValue = &pHeader->sContentLength;
        psValue->clear();
      }
      if (psValue) {
        size_t at = cbName;
        while (at < cbText && pb[at] != ':') ++at;
        psValue->assign(reinterpret_cast<const char*>(pb) + at + 1,
                        cbText - at - 1 < kMaxValue ? cbText - at - 1 : kMaxValue);
      }
    }
    *pAt = next;
  }
  std::string sType;
  sType.swap(pHeader->sBoundary);
  ParseContentType(sType, &pHeader->bMultipart, &pHeader->bMessage, &pHeader->sBoundary);
}

void MessageSplitter::Entity(uint64_t* pAt, Header* pHeader, uint64_t* pnDelimiters) {
  for (int nNested = 0; nNested < static_cast<int>(kMaxOpen); ++nNested) {
    *pHeader = Header();
    ReadHeader(pAt, pHeader, pnDelimiters);
    if (pHeader->bMultipart && !pHeader->sBoundary.empty() && m_open.size() < kMaxOpen) {
      Open o;
      o.sBoundary = pHeader->sBoundary;
      m_open.push_back(std::move(o));
    }
    if (!pHeader->bMessage) return;
  }
}

bool MessageSplitter::IndexDelimiters() {
  const uint8_t* pb = nullptr;
  size_t cb = 0;
  uint64_t next = 0;
  for (uint64_t at = 0; LineAt(at, &pb, &cb, &next); at = next) {
    if (cb < 2 || pb[0] != '-' || pb[1] != '-') continue;
    size_t cbText = next - at < cb ? static_cast<size_t>(next - at) : cb;
    while (cbText > 2 && IsBlank(static_cast<char>(pb[cbText - 1]))) --cbText;
    // The boundary of a delimiter line, and of a closing one (its "--" off).
    m_lastDelimiter[BoundaryHash(pb + 2, cbText - 2)] = at;
    if (cbText >= 4 && pb[cbText - 1] == '-' && pb[cbText - 2] == '-')
      m_lastDelimiter[BoundaryHash(pb + 2, cbText - 4)] = at;
    if (m_lastDelimiter.size() > kMaxIndexed) {
      m_lastDelimiter.clear();
      return false;
    }
  }
  return true;
}

bool MessageSplitter::DelimiterLater(Open* pOpen, uint64_t pos) {
  if (m_index == Index::kNone) m_index = IndexDelimiters() ? Index::kMade : Index::kTooMany;
  if (m_index == Index::kMade) {
    const std::string& sB = pOpen->sBoundary;
    auto it =
        m_lastDelimiter.find(BoundaryHash(reinterpret_cast<const uint8_t*>(sB.data()), sB.size()));
    return it != m_lastDelimiter.end() && it->second > pos;
  }
  if (pOpen->bNever) return false;
  if (pOpen->nextAt > pos) return true;
  uint64_t cbBudget = kSearchesPerFile * m_pWindow->Size();
  if (m_cbSearched >= cbBudget) return true;  // searched enough: taken to close later
  std::string sNeedle = "\n--" + pOpen->sBoundary;
  for (uint64_t at = pos;;) {
    size_t cb = 0;
    const uint8_t* pb = m_pWindow->At(at, FileWindow::kWindow, &cb);
    if (cb < sNeedle.size()) break;
    m_cbSearched += cb;
    const uint8_t* pEnd = pb + cb;
    for (const uint8_t* p = pb; p < pEnd;) {
      const void* pHit = memmem(p, static_cast<size_t>(pEnd - p), sNeedle.data(), sNeedle.size());
      if (!pHit) break;
      uint64_t lineAt = at + (static_cast<const uint8_t*>(pHit) - pb) + 1;
      // The delimiter (or the closing one) ends its line, blanks aside.
      size_t cbView = 0;
      const uint8_t* pLine = m_pWindow->At(lineAt, kMaxLine, &cbView);
      size_t i = sNeedle.size() - 1;
      if (StartsWith(pLine + i, cbView - i, "--")) i += 2;
      while (i < cbView && (pLine[i] == ' ' || pLine[i] == '\t' || pLine[i] == '\r')) ++i;
      if (i == cbView || pLine[i] == '\n') {
        pOpen->nextAt = lineAt;
        return true;
      }
      pb = m_pWindow->At(at, FileWindow::kWindow, &cb);  // the view again, and on past the hit
      pEnd = pb + cb;
      p = pb + (lineAt - at);
    }
    if (at + cb >= m_pWindow->Size()) break;
    at += cb - (sNeedle.size() - 1);
  }
  pOpen->bNever = true;
  return false;
}

bool MessageSplitter::AnyOpenLater(uint64_t pos) {
  for (Open& o : m_open)
    if (DelimiterLater(&o, pos)) return true;
  return false;
}

uint64_t MessageSplitter::ContentLengthEnd(const std::string& sValue, uint64_t body,
                                           uint64_t* pBodyEnd) {
  const uint64_t kWrong = ~0ull;
  uint64_t cbBody = 0;
  size_t i = 0, nDigits = 0;
  while (i < sValue.size() && IsBlank(sValue[i])) ++i;
  for (; i < sValue.size() && sValue[i] >= '0' && sValue[i] <= '9'; ++i, ++nDigits) {
    if (nDigits == 19) return kWrong;
    cbBody = cbBody * 10 + static_cast<uint64_t>(sValue[i] - '0');
  }
  while (i < sValue.size() && IsBlank(sValue[i])) ++i;
  uint64_t cbFile = m_pWindow->Size();
  if (nDigits == 0 || i != sValue.size() || body > cbFile || cbBody > cbFile - body) return kWrong;
  uint64_t end = *pBodyEnd = body + cbBody;
  size_t cb = 0;
  const uint8_t* pb = m_pWindow->At(end, kLookahead, &cb);
  if (StartsWith(pb, cb, "\r\n")) {
    end += 2;
  } else if (StartsWith(pb, cb, "\n")) {
    end += 1;
  }
  if (end == cbFile) return end;
  pb = m_pWindow->At(end - 1, kLookahead, &cb);
  return cb > 1 && pb[0] == '\n' && IsMboxStart(pb + 1, cb - 1) ? end : kWrong;
}

bool MessageSplitter::Next(MessageSpan* pSpan) {
  const uint64_t kNone = ~0ull;
  const uint8_t* pb = nullptr;
  size_t cb = 0;
  uint64_t next = 0;
  if (!LineAt(m_pos, &pb, &cb, &next)) return false;
  *pSpan = MessageSpan();
  uint64_t at = m_pos;
  const bool bSplit = m_split != Split::kOne;
  if (bSplit && StartsWith(pb, cb, "From ")) at = next;
  pSpan->begin = at;
  m_pWindow->Keep(at);  // GMime reads the message from there once it is split off
  uint64_t clEnd = kNone, clBodyEnd = kNone;
  m_open.clear();
  if (bSplit) {
    Header h;
    Entity(&at, &h, &pSpan->nDelimiters);
    if (!h.sContentLength.empty()) clEnd = ContentLengthEnd(h.sContentLength, at, &clBodyEnd);
  }
  bool bField = false;  // the line before was a header field's, or folded from one
  for (; LineAt(at, &pb, &cb, &next); at = next) {
    bool bWasField = bField;
    bField = false;
    if (pb[0] == '-' && cb > 1 && pb[1] == '-') {
      ++pSpan->nDelimiters;
      size_t cbText = next - at < cb ? static_cast<size_t>(next - at) : cb;
      while (cbText > 2 && IsBlank(static_cast<char>(pb[cbText - 1]))) --cbText;
      for (size_t k = m_open.size(); k-- > 0;) {
        const std::string& sB = m_open[k].sBoundary;
        if (cbText < 2 + sB.size() || std::memcmp(pb + 2, sB.data(), sB.size()) != 0) continue;
        size_t cbAfter = cbText - 2 - sB.size();
        bool bClose = cbAfter == 2 && pb[2 + sB.size()] == '-' && pb[3 + sB.size()] == '-';
        if (cbAfter != 0 && !bClose) continue;
        m_open.resize(bClose ? k : k + 1);
        if (!bClose) {
          uint64_t part = next;
          Header h;
          Entity(&part, &h, &pSpan->nDelimiters);
          next = part;
        }
        break;
      }
      continue;
    }
    if (!bSplit) continue;
    bool bFrom = pb[0] == 'F' && StartsWith(pb, cb, "From ");
    if (m_split == Split::kText && !bFrom) {
      size_t cbLine = next - at < cb ? static_cast<size_t>(next - at) : cb;
      bField = LooksLikeField(pb, cbLine) || (bWasField && (pb[0] == ' ' || pb[0] == '\t'));
    }
    bool bStartsBlock = bField && !bWasField;
    if (!bFrom && !bStartsBlock) continue;
    if (clEnd != kNone && at < clEnd) continue;  // its body, by its Content-Length
    bool bMbox = false;
    bool bHere = clEnd == at || (bFrom ? IsMboxStart(pb, cb) : MessageStarts(pb, cb, &bMbox));
    if (bHere && !m_open.empty() && AnyOpenLater(at)) bHere = false;
    if (clEnd == at && !bHere) clEnd = kNone;  // the length ends inside an open multipart
    if (bHere && clEnd == at) {
      m_pos = at;
      pSpan->end = clBodyEnd;  // the body's bytes, exactly
      return true;
    }
    if (bHere) {
      pSpan->end = m_pos = at;
      // The blank line before the next message parts the two: neither's.
      size_t cbBefore = 0;
      const uint8_t* pBefore = at - pSpan->begin >= 4 ? m_pWindow->At(at - 4, 4, &cbBefore) : pb;
      if (cbBefore >= 4 && std::memcmp(pBefore, "\r\n\r\n", 4) == 0)
        pSpan->end -= 2;
      else if (cbBefore >= 4 && std::memcmp(pBefore + 2, "\n\n", 2) == 0)
        pSpan->end -= 1;
      return true;
    }
  }
  pSpan->end = m_pos = m_pWindow->Size();
  if (clEnd == pSpan->end) pSpan->end = clBodyEnd;
  return true;
}

}  // namespace container::detail
