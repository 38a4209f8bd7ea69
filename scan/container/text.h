// Inside the container layer: text read line by line from a member's stream, for the readers that
// find what a text carries (uuencoded and yEnc blocks, messages inside a mail's text, BinHex).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "walker.h"

namespace container::detail {

// Longest line taken whole: longer ones are cut and marked long (header and encoded lines are
// far shorter: 998 bytes at most in mail).
constexpr size_t kMaxLine = 1024;
// Bytes in view from a line's start (Ahead()): a header block as the sniff looks at it, after a
// "From " line.
constexpr size_t kLookahead = 8192 + kMaxLine + 2;

// "Name:" at a line's start, the name printable ASCII without blanks: a header field's line.
bool LooksLikeField(const uint8_t* pb, size_t cb);
// pb begins a message inside a text: a "From " line and a mail header block (*pbMbox set: an mbox
// from here on), or a mail header block with MIME fields (Content-Type, -Transfer-Encoding). Read
// at a "From " line, or at a field line that follows none (the first of a block), each such line
// is looked at once, within kLookahead: the search stays linear in the text.
bool MessageStarts(const uint8_t* pb, size_t cb, bool* pbMbox);

// A Reader (a member's bytes within the limits) as a stream.
class ReaderStream : public MemberStream {
 public:
  explicit ReaderStream(Reader* pReader) : m_pReader(pReader) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override { return m_pReader->Read(pb, cb); }
  std::string Error() const override { return m_pReader->Error(); }
  bool ParentFailed() const override { return true; }  // the Reader's owner records it

 private:
  Reader* m_pReader;
};

// Bytes held in memory (a multipart's preamble and epilogue).
class MemoryStream : public MemberStream {
 public:
  MemoryStream(const uint8_t* pb, size_t cb) : m_pb(pb), m_cb(cb) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override;
  std::string Error() const override { return ""; }

 private:
  const uint8_t* m_pb;
  size_t m_cb;
  size_t m_at = 0;
};

// The lines of a text read forward, each without its line end (LF or CRLF).
class LineReader {
 public:
  explicit LineReader(MemberStream* pSource);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  // The next line, valid until the next call of Next() or Ahead(); one longer than kMaxLine is cut
  // there (*pbLong set) and the rest of it passed over. False at the end of the text, or when the
  // source failed (Failed()).
  bool Next(const char** ppLine, size_t* pcbLine, bool* pbLong);
  // The bytes from the start of the line Next() gave last on, at least kLookahead of them unless
  // the text ends sooner. The line may move: it is now the first bytes of these. Not for a long
  // line.
  void Ahead(const uint8_t** ppb, size_t* pcb);
  bool Failed() const { return m_bFailed; }
  // The text from the start of the line Next() gave last to its end, as a stream: what a
  // container found there reads. The lines are not to be read on after it has been read.
  MemberStream* Rest() { return &m_rest; }

 private:
  class RestStream : public MemberStream {
   public:
    explicit RestStream(LineReader* pLines) : m_pLines(pLines) {}
    ptrdiff_t Read(uint8_t* pb, size_t cb) override;
    std::string Error() const override { return m_pLines->m_pSource->Error(); }
    bool ParentFailed() const override { return true; }

   private:
    LineReader* m_pLines;
  };
  // Reads more after m_cb, moving the bytes from m_line on to the buffer's start when it is full;
  // false at the end or on failure.
  bool Fill();

  MemberStream* m_pSource;
  std::unique_ptr<uint8_t[]> m_ab;  // kBuffer bytes, not cleared: only bytes read are looked at
  size_t m_line = 0;                // where the last line given starts
  size_t m_next = 0;                // where the next line starts
  size_t m_cb = 0;                  // bytes held
  bool m_bEnd = false, m_bFailed = false;
  std::string m_sLong;  // a long line's first kMaxLine bytes
  RestStream m_rest{this};
};

}  // namespace container::detail
