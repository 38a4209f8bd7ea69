// Inside the container layer: a mail file read through a window of it, and split into its
// messages (mail.cpp hands each to GMime on its own).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace container::detail {

// A file read by position through a window of it: the splitting and GMime's parser and decoders
// read a few KiB at a time, and each such read was a system call or two. The window holds most
// messages whole, so that GMime's reading of one after the splitting finds it still there.
class FileWindow {
 public:
  static constexpr size_t kWindow = 512 * 1024;
  FileWindow(int fd, uint64_t cb)
      : m_fd(fd),
        m_cbFile(cb),
        m_cbBuffer(cb < kWindow ? static_cast<size_t>(cb) + 1 : kWindow),
        m_ab(new uint8_t[m_cbBuffer]) {}
  FileWindow(const FileWindow&) = delete;
  FileWindow& operator=(const FileWindow&) = delete;
  uint64_t Size() const { return m_cbFile; }
  // The bytes from at on: a pointer and *pcb, how many are in view, at least cbWant (at most
  // kWindow) unless the file ends sooner; *pcb is 0 at the end and when the file cannot be read
  // (Failed()). Valid until the next call.
  const uint8_t* At(uint64_t at, size_t cbWant, size_t* pcb);
  // The window moves on from at, not past it, while what is asked for fits: the message being
  // split, which GMime reads next, stays in it.
  void Keep(uint64_t at) { m_keep = at; }
  bool Failed() const { return m_bFailed; }

 private:
  int m_fd;
  uint64_t m_cbFile;
  size_t m_cbBuffer;
  std::unique_ptr<uint8_t[]> m_ab;
  uint64_t m_keep = 0;
  uint64_t m_at = 0;  // the file offset of m_ab[0]
  size_t m_cb = 0;    // bytes held
  bool m_bFailed = false;
};

struct MessageSpan {
  uint64_t begin = 0;        // its first byte (after an mbox's "From " line)
  uint64_t end = 0;          // one past its last byte
  uint64_t nDelimiters = 0;  // its lines that begin with "--" (a MIME part follows each)
};

// How a file holds its messages.
enum class Split : uint8_t {
  kOne,   // a mail file: one message
  kMbox,  // each begins with a "From " line that a mail header block follows
  kText,  // messages found in a text (TextBlocks), from the first on: as kMbox, and also where a
          // header block with MIME fields begins (MessageStarts())
};

// The messages of a file, one after another. Each begins where split says, except where that
// lies inside the message before it: before the end its Content-Length gives (when the bytes
// there are a line end and a "From " line that a header block follows, or the file's end), or
// inside a MIME multipart whose closing delimiter has not come (unless no delimiter of it comes
// later at all: then it never closes).
class MessageSplitter {
 public:
  MessageSplitter(FileWindow* pWindow, Split split) : m_pWindow(pWindow), m_split(split) {}
  // The next message: false at the end of the file.
  bool Next(MessageSpan* pSpan);

 private:
  struct Open {
    std::string sBoundary;
    uint64_t nextAt = 0;  // a delimiter line of it found after the position asked about
    bool bNever = false;  // none comes after the position asked about
  };
  struct Header {
    bool bMultipart = false, bMessage = false;
    std::string sBoundary;
    std::string sContentLength;
  };
  // The line at at: its first bytes (at least kLookahead unless the file ends) and where the
  // next line begins; false at the end of the file.
  bool LineAt(uint64_t at, const uint8_t** ppb, size_t* pcbInView, uint64_t* pNext);
  // Reads the header block from *pAt (to its blank line, which it passes), counting its
  // delimiter lines into *pnDelimiters; stops before a line that is a delimiter of an open
  // multipart or begins a message.
  void ReadHeader(uint64_t* pAt, Header* pHeader, uint64_t* pnDelimiters);
  // A header block read at *pAt, a multipart's boundary pushed; a message/rfc822 part's own
  // header after it, and so on.
  void Entity(uint64_t* pAt, Header* pHeader, uint64_t* pnDelimiters);
  // Whether any multipart open at pos has a delimiter line after it.
  bool AnyOpenLater(uint64_t pos);
  bool DelimiterLater(Open* pOpen, uint64_t pos);
  // Indexes the file's delimiter lines (m_lastDelimiter): false when they are too many.
  bool IndexDelimiters();
  // Where the message whose body starts at body ends by its Content-Length: the next message's
  // start or the file's end (*pBodyEnd: the body's), ~0 when the length is not right.
  uint64_t ContentLengthEnd(const std::string& sValue, uint64_t body, uint64_t* pBodyEnd);

  FileWindow* m_pWindow;
  Split m_split;
  uint64_t m_pos = 0;
  std::vector<Open> m_open;
  // Where each delimiter's last line in the file begins, by a hash of its boundary: made when a
  // "From " line first lies inside an open multipart, so that whether one of its delimiters comes
  // later is a lookup, however many such lines and multiparts there are.
  std::unordered_map<uint64_t, uint64_t> m_lastDelimiter;
  enum class Index : uint8_t { kNone, kMade, kTooMany } m_index = Index::kNone;
  uint64_t m_cbSearched = 0;  // bytes searched for delimiters after From lines, without it
};

}  // namespace container::detail
