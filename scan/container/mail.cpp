// Mail through GMime 3: a message, or an mbox split into its messages (mbox.cpp), each parsed
// from its file through a window of it (parts stay in the file, read through GMime's decoders as
// they are walked); multipart at any depth, message/rfc822 parts as messages of their own,
// x-yencode parts through GMime's yEnc decoder; and what texts carry: uuencoded and yEnc blocks,
// and messages inside a text or after a multipart's closing delimiter.
#include <gmime/gmime.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base64.h"
#include "mbox.h"
#include "text.h"
#include "walker.h"

namespace container::detail {

namespace {

// Parts above this share of MaxFiles in one message are a bomb: GMime would hold them all at
// once (some 4 KB each). Parts of 5 bytes or fewer are not counted (clamd's way), so a message may
// hold many more than MaxFiles: up to kFewestDelimiters parts are parsed whatever MaxFiles says
// (some 80 MB).
constexpr uint32_t kDelimitersPerFile = 2;
constexpr uint64_t kFewestDelimiters = 20000;

void InitGmime() {
  static std::once_flag s_once;
  std::call_once(s_once, [] { g_mime_init(); });
}

// ---------------------------------------------------------------------------------------------
// A GMime stream over a FileWindow: GMime's file stream seeks and reads the file for every few
// KiB its parser and decoders ask for. Its substreams share the window.
// ---------------------------------------------------------------------------------------------

struct WindowStream {
  GMimeStream parent;
  FileWindow* pWindow;
  gboolean bEos;
};

struct WindowStreamClass {
  GMimeStreamClass parent;
};

WindowStream* AsWindow(GMimeStream* s) { return reinterpret_cast<WindowStream*>(s); }

ssize_t WindowRead(GMimeStream* s, char* pBuf, size_t cb) {
  if (s->bound_end != -1 && s->position >= s->bound_end) return -1;
  if (s->bound_end != -1 && static_cast<gint64>(cb) > s->bound_end - s->position)
    cb = static_cast<size_t>(s->bound_end - s->position);
  WindowStream* w = AsWindow(s);
  size_t cbInView = 0;
  const uint8_t* pb = w->pWindow->At(static_cast<uint64_t>(s->position), cb, &cbInView);
  if (cbInView == 0) {
    w->bEos = TRUE;
    return w->pWindow->Failed() ? -1 : 0;
  }
  if (cbInView < cb) cb = cbInView;
  std::memcpy(pBuf, pb, cb);
  s->position += static_cast<gint64>(cb);
  return static_cast<ssize_t>(cb);
}

ssize_t WindowWrite(GMimeStream*, const char*, size_t) { return -1; }
int WindowFlush(GMimeStream*) { return 0; }
int WindowClose(GMimeStream*) { return 0; }

gboolean WindowEos(GMimeStream* s) {
  return (s->bound_end != -1 && s->position >= s->bound_end) || AsWindow(s)->bEos;
}

int WindowReset(GMimeStream* s) {
  s->position = s->bound_start;
  AsWindow(s)->bEos = FALSE;
  return 0;
}

gint64 WindowSeek(GMimeStream* s, gint64 offset, GMimeSeekWhence whence) {
  gint64 end =
      s->bound_end != -1 ? s->bound_end : static_cast<gint64>(AsWindow(s)->pWindow->Size());
  gint64 real = whence == GMIME_STREAM_SEEK_SET   ? offset
                : whence == GMIME_STREAM_SEEK_CUR ? s->position + offset
                                                  : end + offset;
  if (real > end) real = end;
  if (real < s->bound_start) real = s->bound_start;
  if (real != s->position) AsWindow(s)->bEos = FALSE;
  s->position = real;
  return real;
}

gint64 WindowTell(GMimeStream* s) { return s->position; }

gint64 WindowLength(GMimeStream* s) {
  gint64 end =
      s->bound_end != -1 ? s->bound_end : static_cast<gint64>(AsWindow(s)->pWindow->Size());
  return end - s->bound_start;
}

GMimeStream* NewWindowStream(FileWindow* pWindow, gint64 start, gint64 end);

GMimeStream* WindowSubstream(GMimeStream* s, gint64 start, gint64 end) {
  return NewWindowStream(AsWindow(s)->pWindow, start, end);
}

void WindowClassInit(gpointer pClass, gpointer) {
  GMimeStreamClass* c = static_cast<GMimeStreamClass*>(pClass);
  c->read = WindowRead;
  c->write = WindowWrite;
  c->flush = WindowFlush;
  c->close = WindowClose;
  c->eos = WindowEos;
  c->reset = WindowReset;
  c->seek = WindowSeek;
  c->tell = WindowTell;
  c->length = WindowLength;
  c->substream = WindowSubstream;
}

GType WindowStreamType() {
  static const GType s_type = [] {
    GTypeInfo info = {};
    info.class_size = sizeof(WindowStreamClass);
    info.class_init = WindowClassInit;
    info.instance_size = sizeof(WindowStream);
    return g_type_register_static(GMIME_TYPE_STREAM, "ZebmacroWindowStream", &info,
                                  static_cast<GTypeFlags>(0));
  }();
  return s_type;
}

GMimeStream* NewWindowStream(FileWindow* pWindow, gint64 start, gint64 end) {
  WindowStream* w = static_cast<WindowStream*>(g_object_new(WindowStreamType(), nullptr));
  w->pWindow = pWindow;
  g_mime_stream_construct(&w->parent, start, end);
  return &w->parent;
}

// ---------------------------------------------------------------------------------------------
// Parts
// ---------------------------------------------------------------------------------------------

// A part's bytes, decoded from its transfer encoding as they are read: base64 by Base64Decoder,
// quoted-printable and x-uuencode by GMime's filters (a yEnc part's are given as they are:
// YencPart decodes them).
class PartStream : public MemberStream {
 public:
  explicit PartStream(GMimePart* part) {
    GMimeDataWrapper* w = g_mime_part_get_content(part);
    if (!w) return;
    GMimeStream* raw = g_mime_data_wrapper_get_stream(w);
    if (!raw) return;
    g_mime_stream_reset(raw);
    GMimeContentEncoding enc = g_mime_data_wrapper_get_encoding(w);
    if (enc == GMIME_CONTENT_ENCODING_BASE64) {
      m_pRaw = raw;
      g_object_ref(m_pRaw);
      m_pBase64.reset(new Base64State);  // not cleared: 112 KB a part, each byte written first
      return;
    }
    m_pFilter = g_mime_stream_filter_new(raw);
    if (enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE || enc == GMIME_CONTENT_ENCODING_UUENCODE) {
      GMimeFilter* f = g_mime_filter_basic_new(enc, FALSE);
      g_mime_stream_filter_add(GMIME_STREAM_FILTER(m_pFilter), f);
      g_object_unref(f);
    }
  }
  ~PartStream() override {
    if (m_pFilter) g_object_unref(m_pFilter);
    if (m_pRaw) g_object_unref(m_pRaw);
  }
  PartStream(const PartStream&) = delete;
  PartStream& operator=(const PartStream&) = delete;
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    if (m_pBase64) return ReadBase64(pb, cb);
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
  struct Base64State {
    Base64Decoder decoder;
    uint8_t abIn[kChunk];
    uint8_t abOut[kChunk / 4 * 3 + 3];
    size_t outAt = 0, outCb = 0;
  };
  ptrdiff_t ReadBase64(uint8_t* pb, size_t cb) {
    Base64State& s = *m_pBase64;
    while (s.outAt == s.outCb) {
      ssize_t n = g_mime_stream_read(m_pRaw, reinterpret_cast<char*>(s.abIn), sizeof s.abIn);
      if (n <= 0) return n == 0 || g_mime_stream_eos(m_pRaw) ? 0 : -1;
      s.outCb = s.decoder.Step(s.abIn, static_cast<size_t>(n), s.abOut);
      s.outAt = 0;
    }
    size_t n = s.outCb - s.outAt < cb ? s.outCb - s.outAt : cb;
    std::memcpy(pb, s.abOut + s.outAt, n);
    s.outAt += n;
    return static_cast<ptrdiff_t>(n);
  }

  GMimeStream* m_pFilter = nullptr;
  GMimeStream* m_pRaw = nullptr;
  std::unique_ptr<Base64State> m_pBase64;
};

std::string ObjectName(GMimeObject* o, int nPart) {
  const char* sz = GMIME_IS_PART(o) ? g_mime_part_get_filename(GMIME_PART(o)) : nullptr;
  if (!sz) sz = g_mime_object_get_content_disposition_parameter(o, "filename");
  if (!sz) sz = g_mime_object_get_content_type_parameter(o, "name");
  if (sz && *sz) return sz;
  return "part-" + std::to_string(nPart);
}

bool StartsWith(const char* p, size_t cb, const char* sz) {
  size_t n = std::strlen(sz);
  return cb >= n && std::memcmp(p, sz, n) == 0;
}

// ---------------------------------------------------------------------------------------------
// yEnc: "=ybegin [part=N] line=L size=S name=NAME", for a part "=ypart begin=B end=E", the lines,
// "=yend size=S [part=N] [pcrc32=H] [crc32=H]". GMime decodes the lines.
// ---------------------------------------------------------------------------------------------

struct YencLine {
  bool bPart = false;
  uint64_t cbSize = 0;
  bool bSize = false;
  uint32_t uCrc = 0, uPartCrc = 0;
  bool bCrc = false, bPartCrc = false;
  std::string sName;
};

// The value of " key=" among the line's keys (before name=), in base 10 or 16.
bool YencKey(const std::string& s, const char* szKey, int nBase, uint64_t* pu) {
  std::string sKey = std::string(" ") + szKey + "=";
  size_t at = s.find(sKey);
  if (at == std::string::npos) return false;
  at += sKey.size();
  uint64_t u = 0;
  size_t nDigits = 0;
  for (; at < s.size() && nDigits < 16; ++at, ++nDigits) {
    char c = s[at];
    int v = c >= '0' && c <= '9'                  ? c - '0'
            : nBase == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : nBase == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
    if (v < 0) break;
    u = u * static_cast<uint64_t>(nBase) + static_cast<uint64_t>(v);
  }
  *pu = u;
  return nDigits > 0;
}

// A "=ybegin " or "=yend " line's keys: false when the line is not one.
bool ParseYencLine(const char* p, size_t cb, const char* szKeyword, YencLine* pY) {
  if (!StartsWith(p, cb, szKeyword)) return false;
  std::string s(p + std::strlen(szKeyword) - 1, p + cb);  // from the blank before the keys
  size_t name = s.find(" name=");
  if (name != std::string::npos) {
    pY->sName = s.substr(name + 6);
    s.resize(name);
  }
  uint64_t u = 0;
  pY->bPart = YencKey(s, "part", 10, &u);
  pY->bSize = YencKey(s, "size", 10, &pY->cbSize);
  if ((pY->bCrc = YencKey(s, "crc32", 16, &u))) pY->uCrc = static_cast<uint32_t>(u);
  if ((pY->bPartCrc = YencKey(s, "pcrc32", 16, &u))) pY->uPartCrc = static_cast<uint32_t>(u);
  return true;
}

// One yEnc block from its "=ybegin" line on (already read): its lines decoded, its size and CRC
// checked at "=yend". Bytes short of the size declared fail it; a size or CRC that does not
// match, or no "=yend", is damage recorded beside the bytes judged.
class YencBlock : public MemberStream {
 public:
  // bParent: the lines are a member's text, whose reader records its own failure.
  YencBlock(LineReader* pLines, const YencLine& begin, bool bParent)
      : m_pLines(pLines), m_begin(begin), m_bParent(bParent) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    while (m_outAt == m_outCb) {
      if (m_bDone) return m_sError.empty() ? 0 : -1;
      const char* p = nullptr;
      size_t cbLine = 0;
      bool bLong = false;
      if (!m_pLines->Next(&p, &cbLine, &bLong)) {
        End(nullptr);
        continue;
      }
      if (bLong) {
        Fail("Damaged mail: a yEnc line too long");
        continue;
      }
      YencLine end;
      if (ParseYencLine(p, cbLine, "=yend ", &end)) {
        End(&end);
        continue;
      }
      uint64_t u = 0;
      if (StartsWith(p, cbLine, "=ypart ") && m_cbDecoded == 0) {
        std::string s(p + 6, p + cbLine);
        uint64_t uBegin = 0;
        if (YencKey(s, "begin", 10, &uBegin) && YencKey(s, "end", 10, &u) && u >= uBegin) {
          m_cbPart = u - uBegin + 1;
          m_bPartSize = true;
        }
        continue;
      }
      m_outCb = g_mime_ydecode_step(reinterpret_cast<const unsigned char*>(p), cbLine, m_abOut,
                                    &m_state, &m_partCrc, &m_crc);
      m_outAt = 0;
      m_cbDecoded += m_outCb;
    }
    size_t n = m_outCb - m_outAt < cb ? m_outCb - m_outAt : cb;
    std::memcpy(pb, m_abOut + m_outAt, n);
    m_outAt += n;
    return static_cast<ptrdiff_t>(n);
  }
  std::string Error() const override { return m_sError; }
  bool ParentFailed() const override { return m_bParentFailed; }
  Kind ContainerKind() const override { return Kind::kMail; }
  std::string LateDamage() const override { return m_sLate; }

 private:
  void Fail(const char* sz) {
    m_bDone = true;
    m_sError = sz;
  }
  // The size the block's own lines declare for its bytes: the part's, or the file's.
  bool Expected(uint64_t* pcb) const {
    if (m_begin.bPart) {
      *pcb = m_cbPart;
      return m_bPartSize;
    }
    *pcb = m_begin.cbSize;
    return m_begin.bSize;
  }
  void End(const YencLine* pEnd) {
    m_bDone = true;
    uint64_t cbExpected = 0;
    bool bExpected = Expected(&cbExpected);
    if (!pEnd) {
      if (m_pLines->Failed() && m_bParent) {
        m_bParentFailed = true;
        m_sError = "Damaged mail: the text holding a yEnc block ends early";
      } else if (bExpected && m_cbDecoded < cbExpected) {
        m_sError = "Damaged mail: a yEnc block ends early";
      } else {
        m_sLate = "Damaged mail: a yEnc block without its =yend line";
      }
      return;
    }
    if ((pEnd->bSize && pEnd->cbSize != m_cbDecoded) || (bExpected && cbExpected != m_cbDecoded))
      m_sLate = "Damaged mail: a yEnc block's size does not match";
    else if (pEnd->bPartCrc && pEnd->uPartCrc != GMIME_YENCODE_CRC_FINAL(m_partCrc))
      m_sLate = "Damaged mail: a yEnc block's CRC-32 does not match";
    else if (!m_begin.bPart && pEnd->bCrc && pEnd->uCrc != GMIME_YENCODE_CRC_FINAL(m_crc))
      m_sLate = "Damaged mail: a yEnc block's CRC-32 does not match";
  }

  LineReader* m_pLines;
  YencLine m_begin;
  bool m_bParent;
  uint64_t m_cbPart = 0;
  bool m_bPartSize = false;
  int m_state = GMIME_YDECODE_STATE_INIT;
  guint32 m_partCrc = GMIME_YENCODE_CRC_INIT, m_crc = GMIME_YENCODE_CRC_INIT;
  uint8_t m_abOut[kMaxLine + 3];
  size_t m_outAt = 0, m_outCb = 0;
  uint64_t m_cbDecoded = 0;
  bool m_bDone = false, m_bParentFailed = false;
  std::string m_sError, m_sLate;
};

// A part whose transfer encoding is x-yencode: its yEnc block, decoded.
class YencPart : public MemberStream {
 public:
  explicit YencPart(GMimePart* part) : m_raw(part), m_lines(&m_raw) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    if (!m_pBlock) {
      const char* p = nullptr;
      size_t cbLine = 0;
      bool bLong = false;
      YencLine begin;
      for (;;) {
        if (!m_lines.Next(&p, &cbLine, &bLong)) {
          m_sError = m_lines.Failed() ? m_raw.Error()
                                      : "Damaged mail: an x-yencode part holds no yEnc block";
          return -1;
        }
        if (!bLong && ParseYencLine(p, cbLine, "=ybegin ", &begin)) break;
      }
      m_pBlock = std::make_unique<YencBlock>(&m_lines, begin, false);
    }
    ptrdiff_t n = m_pBlock->Read(pb, cb);
    if (n < 0) m_sError = m_lines.Failed() ? m_raw.Error() : m_pBlock->Error();
    return n;
  }
  std::string Error() const override { return m_sError; }
  Kind ContainerKind() const override { return Kind::kMail; }
  std::string LateDamage() const override { return m_pBlock ? m_pBlock->LateDamage() : ""; }

 private:
  PartStream m_raw;
  LineReader m_lines;
  std::unique_ptr<YencBlock> m_pBlock;
  std::string m_sError;
};

bool IsYencoded(GMimeObject* o) {
  const char* sz = g_mime_object_get_header(o, "Content-Transfer-Encoding");
  if (!sz) return false;
  while (*sz == ' ' || *sz == '\t') ++sz;
  size_t n = std::strlen(sz);
  while (n > 0 && (sz[n - 1] == ' ' || sz[n - 1] == '\t' || sz[n - 1] == '\r')) --n;
  return n == 9 && g_ascii_strncasecmp(sz, "x-yencode", n) == 0;
}

// ---------------------------------------------------------------------------------------------
// Messages
// ---------------------------------------------------------------------------------------------

void WalkObject(Walker* pWalker, GMimeObject* o, const Place& place, int* pnPart, int* pnMessage);

// A message's parts, its own level below place under sName (or at place itself when sName is
// empty: the file is the message).
void WalkMessage(Walker* pWalker, GMimeMessage* msg, const std::string& sName, const Place& place) {
  GMimeObject* body = msg ? g_mime_message_get_mime_part(msg) : nullptr;
  int nPart = 0, nMessage = 0;
  if (sName.empty()) {
    if (body) WalkObject(pWalker, body, place, &nPart, &nMessage);
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
  if (body) WalkObject(pWalker, body, inner, &nPart, &nMessage);
}

// A multipart's preamble or epilogue, searched when it holds more than blanks.
void WalkAround(Walker* pWalker, const char* sz, const char* szName, const Place& place,
                int* pnMessage) {
  if (!sz || !sz[std::strspn(sz, " \t\r\n")]) return;
  MemoryStream text(reinterpret_cast<const uint8_t*>(sz), std::strlen(sz));
  pWalker->Text(&text, szName, place, pnMessage);
}

void WalkObject(Walker* pWalker, GMimeObject* o, const Place& place, int* pnPart, int* pnMessage) {
  if (pWalker->Stopped()) return;
  if (GMIME_IS_MULTIPART(o)) {
    GMimeMultipart* mp = GMIME_MULTIPART(o);
    WalkAround(pWalker, g_mime_multipart_get_prologue(mp), "preamble", place, pnMessage);
    int n = g_mime_multipart_get_count(mp);
    for (int i = 0; i < n && !pWalker->Stopped(); ++i)
      WalkObject(pWalker, g_mime_multipart_get_part(mp, i), place, pnPart, pnMessage);
    WalkAround(pWalker, g_mime_multipart_get_epilogue(mp), "epilogue", place, pnMessage);
  } else if (GMIME_IS_MESSAGE_PART(o)) {
    std::string sName = ObjectName(o, ++*pnPart);
    // clamd counts an attached message as a file
    if (!pWalker->Count(sName, place) || !pWalker->Look(sName, place)) return;
    WalkMessage(pWalker, g_mime_message_part_get_message(GMIME_MESSAGE_PART(o)), sName, place);
  } else if (GMIME_IS_PART(o)) {
    std::string sName = ObjectName(o, ++*pnPart);
    if (IsYencoded(o)) {
      YencPart stream(GMIME_PART(o));
      pWalker->Member(&stream, sName, kUnknownSize, place);
      return;
    }
    GMimeContentType* type = g_mime_object_get_content_type(o);
    bool bText = !type || g_mime_content_type_is_type(type, "text", "*");
    PartStream stream(GMIME_PART(o));
    pWalker->Member(&stream, sName, kUnknownSize, place,
                    bText ? Walker::Role::kText : Walker::Role::kPlain, pnMessage);
  }
}

// The messages of the file fd (cb bytes), split as split says: named message-N when more than
// one may come (N from 1, or counted by *pnNamed: messages found in a text), else the file is the
// message.
void WalkMessages(Walker* pWalker, int fd, uint64_t cb, Split split, const std::string& sName,
                  const Place& place, int* pnNamed) {
  std::vector<std::string> outerChain = *place.pChain;
  if (!outerChain.empty()) outerChain.pop_back();
  Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
  const bool bNamed = split != Split::kOne;
  const uint32_t nMaxFiles = pWalker->options().limits.nMaxFiles;
  const uint64_t nMaxDelimiters =
      nMaxFiles == 0
          ? 0
          : std::max(static_cast<uint64_t>(nMaxFiles) * kDelimitersPerFile, kFewestDelimiters);
  InitGmime();
  FileWindow window(fd, cb);
  MessageSplitter splitter(&window, split);
  MessageSpan span;
  for (int n = 1; !pWalker->Stopped() && splitter.Next(&span); ++n) {
    std::string sMessage = bNamed ? "message-" + std::to_string(pnNamed ? ++*pnNamed : n) : "";
    // not counted against MaxFiles: clamd reads an mbox, and a text, as one file
    if (bNamed && !pWalker->Look(sMessage, place)) return;
    const Place& where = bNamed ? place : outer;
    const std::string& sWhat = bNamed ? sMessage : sName;
    if (nMaxDelimiters != 0 && span.nDelimiters > nMaxDelimiters) {
      pWalker->RecordLimit(where, sWhat, Limit::kMaxFiles, 0);
      return;
    }
    GMimeStream* stream =
        NewWindowStream(&window, static_cast<gint64>(span.begin), static_cast<gint64>(span.end));
    GMimeParser* parser = g_mime_parser_new_with_stream(stream);
    g_object_unref(stream);
    g_mime_parser_set_format(parser, GMIME_FORMAT_MESSAGE);
    g_mime_parser_set_persist_stream(parser, TRUE);
    GMimeMessage* msg = g_mime_parser_construct_message(parser, nullptr);
    if (msg) {
      WalkMessage(pWalker, msg, sMessage, place);
      g_object_unref(msg);
    } else {
      pWalker->Record(where, sWhat, Kind::kMail, Why::kDamaged,
                      "Damaged mail: no message could be read");
    }
    g_object_unref(parser);
  }
  if (window.Failed())
    pWalker->Record(outer, sName, split == Split::kMbox ? Kind::kMbox : Kind::kMail, Why::kDamaged,
                    "Damaged mail: cannot be read");
}

// ---------------------------------------------------------------------------------------------
// What texts carry
// ---------------------------------------------------------------------------------------------

// "begin MODE NAME" with an octal mode: the name, or "" when the line is none.
std::string BeginName(const char* p, size_t cb) {
  if (!StartsWith(p, cb, "begin ")) return "";
  size_t i = 6, nDigits = 0;
  while (i < cb && p[i] >= '0' && p[i] <= '7') ++i, ++nDigits;
  if (nDigits < 3 || nDigits > 4 || i >= cb || p[i] != ' ') return "";
  return std::string(p + i + 1, p + cb);
}

// One uuencoded block, decoded line by line by GMime, up to its zero-length line, its "end",
// or the first line that is not uuencoded data.
class UuStream : public MemberStream {
 public:
  explicit UuStream(LineReader* pLines) : m_pLines(pLines) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    while (m_outAt == m_outCb) {
      if (m_bDone) return 0;
      const char* p = nullptr;
      size_t cbLine = 0;
      bool bLong = false;
      if (!m_pLines->Next(&p, &cbLine, &bLong) || bLong || cbLine == 0 ||
          (cbLine == 3 && std::memcmp(p, "end", 3) == 0)) {
        m_bDone = true;
        return 0;
      }
      size_t cbData = (static_cast<uint8_t>(p[0]) - 0x20) & 0x3F;
      if (cbData == 0) {
        m_bDone = true;
        return 0;
      }
      size_t cbChars = 1 + (cbData + 2) / 3 * 4;
      bool bValid = cbLine >= cbChars && cbLine <= cbChars + 2;
      for (size_t i = 0; bValid && i < cbLine; ++i) bValid = p[i] >= 0x20 && p[i] <= 0x60;
      if (!bValid) {
        m_bDone = true;
        return 0;
      }
      std::string line(p, cbChars);
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

void TextBlocks(Walker* pWalker, Reader* pReader, const Place& place, int* pnMessage) {
  ReaderStream text(pReader);
  LineReader lines(&text);
  const char* p = nullptr;
  size_t cb = 0;
  bool bLong = false;
  bool bField = false;  // the line before was a header field's, or folded from one
  while (!pWalker->Stopped() && lines.Next(&p, &cb, &bLong)) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(p);
    bool bWasField = bField;
    bField = !bLong &&
             (LooksLikeField(pb, cb) || (bWasField && cb > 0 && (p[0] == ' ' || p[0] == '\t')));
    if (bLong) continue;
    if (pnMessage && (StartsWith(p, cb, "From ") || (!bWasField && bField))) {
      size_t cbAhead = 0;
      lines.Ahead(&pb, &cbAhead);
      p = reinterpret_cast<const char*>(pb);  // the line, moved
      bool bMbox = false;
      if (MessageStarts(pb, cbAhead, &bMbox)) {
        // The text from here on: messages, one after another (MessageSplitter).
        uint64_t cbHeld = 0;
        std::string sError;
        int fd = HoldInMemory(lines.Rest(), &cbHeld, &sError);
        if (fd < 0) {
          if (!sError.empty())
            pWalker->Record(place, "message-" + std::to_string(*pnMessage + 1), Kind::kMail,
                            Why::kDamaged, sError);
          return;
        }
        WalkMessages(pWalker, fd, cbHeld, Split::kText, "", place, pnMessage);
        close(fd);
        return;
      }
    }
    std::string sName = BeginName(p, cb);
    if (!sName.empty()) {
      UuStream stream(&lines);
      pWalker->Member(&stream, sName, kUnknownSize, place);
      bField = false;
      continue;
    }
    YencLine begin;
    if (ParseYencLine(p, cb, "=ybegin ", &begin) && !begin.sName.empty()) {
      YencBlock block(&lines, begin, true);
      uint64_t cbDeclared = begin.bPart || !begin.bSize ? kUnknownSize : begin.cbSize;
      pWalker->Member(&block, begin.sName, cbDeclared, place);
      bField = false;
    }
  }
}

void WalkMail(Walker* pWalker, const Source& src, Kind kind, const std::string& sName,
              const Place& place) {
  WalkMessages(pWalker, src.fd, src.cb, kind == Kind::kMbox ? Split::kMbox : Split::kOne, sName,
               place, nullptr);
}

}  // namespace container::detail
