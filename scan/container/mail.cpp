// Mail through GMime 3: a message or an mbox parsed from its file (parts stay in the file, read
// through GMime's decoders as they are walked), multipart at any depth, message/rfc822 parts as
// messages of their own, and uuencoded blocks inside text parts.
#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "walker.h"

namespace container::detail {

namespace {

// Parts above this share of MaxFiles are a bomb: GMime would hold them all at once (some 4 KB
// each). Parts of 5 bytes or fewer are not counted (clamd's way), so a mail may hold many more
// than MaxFiles: up to kFewestDelimiters parts are parsed whatever MaxFiles says (some 80 MB).
constexpr uint32_t kDelimitersPerFile = 2;
constexpr uint64_t kFewestDelimiters = 20000;
// Longest line searched for a "begin" line or taken as uuencoded data.
constexpr size_t kMaxLine = 1024;

void InitGmime() {
  static std::once_flag s_once;
  std::call_once(s_once, [] { g_mime_init(); });
}

// Lines that begin with "--" in each message of the file (an mbox: each "From " line begins a
// message): every MIME part follows one. Answers the most any message has.
uint64_t MostDelimiters(int fd, uint64_t cb, bool bMbox) {
  static uint8_t s_ab[kChunk];
  uint64_t nMost = 0, n = 0;
  uint64_t pos = 0;
  // The first bytes of the current line, as far as they tell: 0 none yet, else how many seen.
  uint8_t abStart[5];
  size_t cbStart = 0;
  bool bAtLineStart = true;
  while (pos < cb) {
    ssize_t r = pread(fd, s_ab, sizeof s_ab, static_cast<off_t>(pos));
    if (r <= 0) break;
    for (ssize_t i = 0; i < r; ++i) {
      uint8_t b = s_ab[i];
      if (b == '\n') {
        bAtLineStart = true;
        cbStart = 0;
        continue;
      }
      if (!bAtLineStart) continue;
      abStart[cbStart++] = b;
      if (cbStart == 2 && abStart[0] == '-' && abStart[1] == '-') {
        if (++n > nMost) nMost = n;
        bAtLineStart = false;
      } else if (cbStart == 5) {
        if (bMbox && std::memcmp(abStart, "From ", 5) == 0) n = 0;
        bAtLineStart = false;
      } else if (cbStart == 2 && abStart[0] != 'F') {
        bAtLineStart = false;
      }
    }
    pos += static_cast<uint64_t>(r);
  }
  return nMost;
}

// A part's bytes, decoded from its transfer encoding as they are read.
class PartStream : public MemberStream {
 public:
  explicit PartStream(GMimePart* part) {
    GMimeDataWrapper* w = g_mime_part_get_content(part);
    if (!w) return;
    GMimeStream* raw = g_mime_data_wrapper_get_stream(w);
    if (!raw) return;
    g_mime_stream_reset(raw);
    m_pFilter = g_mime_stream_filter_new(raw);
    GMimeContentEncoding enc = g_mime_data_wrapper_get_encoding(w);
    if (enc == GMIME_CONTENT_ENCODING_BASE64 || enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        enc == GMIME_CONTENT_ENCODING_UUENCODE) {
      GMimeFilter* f = g_mime_filter_basic_new(enc, FALSE);
      g_mime_stream_filter_add(GMIME_STREAM_FILTER(m_pFilter), f);
      g_object_unref(f);
    }
  }
  ~PartStream() override {
    if (m_pFilter) g_object_unref(m_pFilter);
  }
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    if (!m_pFilter) return 0;
    // A filter may take in input and give nothing yet; the end is where the input ends.
    for (int nTries = 0; nTries < 1 << 20; ++nTries) {
      ssize_t n = g_mime_stream_read(m_pFilter, reinterpret_cast<char*>(pb), cb);
      if (n < 0) return -1;
      if (n > 0 || g_mime_stream_eos(m_pFilter)) return n;
    }
    return 0;
  }
  std::string Error() const override { return "Damaged mail: a part could not be read"; }
  Kind ContainerKind() const override { return Kind::kMail; }

 private:
  GMimeStream* m_pFilter = nullptr;
};

std::string ObjectName(GMimeObject* o, int nPart) {
  const char* sz = GMIME_IS_PART(o) ? g_mime_part_get_filename(GMIME_PART(o)) : nullptr;
  if (!sz) sz = g_mime_object_get_content_disposition_parameter(o, "filename");
  if (!sz) sz = g_mime_object_get_content_type_parameter(o, "name");
  if (sz && *sz) return sz;
  return "part-" + std::to_string(nPart);
}

void WalkObject(Walker* pWalker, GMimeObject* o, const Place& place, int* pnPart);

// A message's parts, its own level below place under sName (or at place itself when sName is
// empty: the file is the message).
void WalkMessage(Walker* pWalker, GMimeMessage* msg, const std::string& sName, const Place& place) {
  GMimeObject* body = msg ? g_mime_message_get_mime_part(msg) : nullptr;
  int nPart = 0;
  if (sName.empty()) {
    if (body) WalkObject(pWalker, body, place, &nPart);
    return;
  }
  uint32_t nMax = pWalker->options().limits.nMaxRecursion;
  if (nMax != 0 && place.nDepth + 1 > nMax) {
    pWalker->RecordLimit(place, sName, Limit::kMaxRecursion, 0);
    return;
  }
  std::vector<std::string> chain = *place.pChain;
  chain.push_back(sName);
  Place inner{&chain, place.nDepth + 1};
  if (body) WalkObject(pWalker, body, inner, &nPart);
}

void WalkObject(Walker* pWalker, GMimeObject* o, const Place& place, int* pnPart) {
  if (pWalker->Stopped()) return;
  if (GMIME_IS_MULTIPART(o)) {
    GMimeMultipart* mp = GMIME_MULTIPART(o);
    int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n && !pWalker->Stopped(); ++i)
      WalkObject(pWalker, g_mime_multipart_get_part(mp, i), place, pnPart);
  } else if (GMIME_IS_MESSAGE_PART(o)) {
    std::string sName = ObjectName(o, ++*pnPart);
    // clamd counts an attached message as a file
    if (!pWalker->Count(sName, place) || !pWalker->Look(sName, place)) return;
    WalkMessage(pWalker, g_mime_message_part_get_message(GMIME_MESSAGE_PART(o)), sName, place);
  } else if (GMIME_IS_PART(o)) {
    std::string sName = ObjectName(o, ++*pnPart);
    GMimeContentType* type = g_mime_object_get_content_type(o);
    bool bText = !type || g_mime_content_type_is_type(type, "text", "*");
    PartStream stream(GMIME_PART(o));
    pWalker->Member(&stream, sName, kUnknownSize, place,
                    bText ? Walker::Role::kText : Walker::Role::kPlain);
  }
}

// The lines of a text, read from a member's reader: each without its line end, cut at kMaxLine
// (the rest of a longer line is passed over and the line marked long).
class LineReader {
 public:
  explicit LineReader(Reader* pReader) : m_pReader(pReader) {}
  bool Next(std::string* psLine, bool* pbLong) {
    psLine->clear();
    *pbLong = false;
    for (;;) {
      if (m_at == m_cb) {
        ptrdiff_t n = m_pReader->Read(m_ab, sizeof m_ab);
        if (n <= 0) return !psLine->empty() || *pbLong;
        m_cb = static_cast<size_t>(n);
        m_at = 0;
      }
      const void* pNl = std::memchr(m_ab + m_at, '\n', m_cb - m_at);
      size_t cbTake = pNl ? static_cast<const uint8_t*>(pNl) - (m_ab + m_at) : m_cb - m_at;
      size_t cbRoom = kMaxLine - psLine->size();
      if (cbTake > cbRoom) *pbLong = true;
      psLine->append(reinterpret_cast<const char*>(m_ab + m_at), cbTake < cbRoom ? cbTake : cbRoom);
      m_at += cbTake;
      if (pNl) {
        ++m_at;
        if (!psLine->empty() && psLine->back() == '\r') psLine->pop_back();
        return true;
      }
    }
  }

 private:
  Reader* m_pReader;
  uint8_t m_ab[kChunk];
  size_t m_at = 0, m_cb = 0;
};

// "begin MODE NAME" with an octal mode: the name, or "" when the line is none.
std::string BeginName(const std::string& s) {
  if (s.compare(0, 6, "begin ") != 0) return "";
  size_t i = 6, nDigits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '7') ++i, ++nDigits;
  if (nDigits < 3 || nDigits > 4 || i >= s.size() || s[i] != ' ') return "";
  return s.substr(i + 1);
}

// One uuencoded block, decoded line by line by GMime, up to its zero-length line, its "end",
// or the first line that is not uuencoded data.
class UuStream : public MemberStream {
 public:
  explicit UuStream(LineReader* pLines) : m_pLines(pLines) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    while (m_outAt == m_outCb) {
      if (m_bDone) return 0;
      std::string line;
      bool bLong = false;
      if (!m_pLines->Next(&line, &bLong) || bLong || line.empty() || line == "end") {
        m_bDone = true;
        return 0;
      }
      size_t cbData = (static_cast<uint8_t>(line[0]) - 0x20) & 0x3F;
      if (cbData == 0) {
        m_bDone = true;
        return 0;
      }
      size_t cbChars = 1 + (cbData + 2) / 3 * 4;
      bool bValid = line.size() >= cbChars && line.size() <= cbChars + 2;
      for (size_t i = 0; bValid && i < line.size(); ++i)
        bValid = line[i] >= 0x20 && line[i] <= 0x60;
      if (!bValid) {
        m_bDone = true;
        return 0;
      }
      line.resize(cbChars);
      line += '\n';
      int state = GMIME_UUDECODE_STATE_BEGIN;
      guint32 save = 0;
      m_outCb = g_mime_encoding_uudecode_step(reinterpret_cast<const unsigned char*>(line.data()),
                                              line.size(), m_abOut, &state, &save);
      m_outAt = 0;
    }
    size_t n = m_outCb - m_outAt < cb ? m_outCb - m_outAt : cb;
    std::memcpy(pb, m_abOut + m_outAt, n);
    m_outAt += n;
    return static_cast<ptrdiff_t>(n);
  }
  std::string Error() const override { return "Damaged mail: a uuencoded block"; }
  Kind ContainerKind() const override { return Kind::kMail; }

 private:
  LineReader* m_pLines;
  uint8_t m_abOut[kMaxLine];
  size_t m_outAt = 0, m_outCb = 0;
  bool m_bDone = false;
};

}  // namespace

void UuBlocks(Walker* pWalker, Reader* pReader, const Place& place) {
  LineReader lines(pReader);
  std::string line;
  bool bLong = false;
  while (!pWalker->Stopped() && lines.Next(&line, &bLong)) {
    if (bLong) continue;
    std::string sName = BeginName(line);
    if (sName.empty()) continue;
    UuStream stream(&lines);
    pWalker->Member(&stream, sName, kUnknownSize, place);
  }
}

void WalkMail(Walker* pWalker, const Source& src, Kind kind, const std::string& sName,
              const Place& place) {
  std::vector<std::string> outerChain = *place.pChain;
  if (!outerChain.empty()) outerChain.pop_back();
  Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
  bool bMbox = kind == Kind::kMbox;
  uint32_t nMaxFiles = pWalker->options().limits.nMaxFiles;
  if (nMaxFiles != 0 &&
      MostDelimiters(src.fd, src.cb, bMbox) >
          std::max(static_cast<uint64_t>(nMaxFiles) * kDelimitersPerFile, kFewestDelimiters)) {
    pWalker->RecordLimit(outer, sName, Limit::kMaxFiles, 0);
    return;
  }
  InitGmime();
  int fd = dup(src.fd);
  if (fd < 0) {
    pWalker->Record(outer, sName, kind, Why::kDamaged, "Damaged mail: cannot be read");
    return;
  }
  GMimeStream* stream = g_mime_stream_fs_new_with_bounds(fd, 0, static_cast<gint64>(src.cb));
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  g_object_unref(stream);
  g_mime_parser_set_format(parser, bMbox ? GMIME_FORMAT_MBOX : GMIME_FORMAT_MESSAGE);
  g_mime_parser_set_persist_stream(parser, TRUE);
  if (!bMbox) {
    GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
    if (!msg)
      pWalker->Record(outer, sName, kind, Why::kDamaged, "Damaged mail: no message could be read");
    else
      WalkMessage(pWalker, msg, "", place);
    if (msg) g_object_unref(msg);
  } else {
    for (int n = 1; !pWalker->Stopped() && !g_mime_parser_eos(parser); ++n) {
      GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
      if (!msg) break;
      std::string sMessage = "message-" + std::to_string(n);
      // not counted against MaxFiles: clamd reads an mbox as one file
      if (pWalker->Look(sMessage, place)) WalkMessage(pWalker, msg, sMessage, place);
      g_object_unref(msg);
    }
  }
  g_object_unref(parser);
}

}  // namespace container::detail
