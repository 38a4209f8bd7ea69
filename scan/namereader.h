// The front end's own reading of a document's macro names: the macro table's 0x11 name section,
// joined to the 0x01 macro entries, read through the library's compound document reader.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fsys.h"
#include "wordbasic.h"

struct DocReader;

namespace zm {

// What a macro table yields. Names are Windows-1252 bytes, in macro-entry order.
struct MacroTable {
  size_t nMacros = 0;              // entries marked 0x55 in the 0x01 section
  std::vector<std::string> names;  // the names of those entries that the 0x11 section gives
  size_t nUnnamed = 0;             // entries whose id names nothing (no 0x11 section, or no match)
  bool bNameSection = false;       // a whole 0x11 section was read
  bool bCut = false;               // the table ends inside a section
};

// Walks a macro table (its first byte is 0xFF) held in pb[0..cb), with the wordbasic module's
// walk (ReadTable). Sections it knows are read or stepped over; an unknown one, 0x12 and 0x40 end
// the walk, as does the end of the bytes. A section that does not fit sets bCut and keeps what was
// read before it; the names of a 0x11 section cut short are dropped as a whole. Not a table
// (empty, or no 0xFF): nMacros 0. *pEntries, when given, gets every 0x01 entry in table order.
MacroTable ParseMacroTable(const uint8_t* pb, size_t cb,
                           std::vector<wordbasic::Entry>* pEntries = nullptr);

// Bodies whose digests are put off until many are at hand, to be made together: sixteen a pass
// where the processor can (wordbasic::BodySha256Many), against one at a time as each is read. A
// worker queues the bodies of the results it sends together.
class DigestQueue {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;
  // Bodies it holds at most, in bytes: a container's documents are queued until its result is
  // done, and past this their bodies are hashed as they are read.
  static constexpr size_t kMaxBytes = 1u << 20;
  bool Room(size_t cb) const { return cb <= kMaxBytes - m_bytes.size(); }
  // A body queued under key bKey, its number returned; its bytes follow (Append), until the next.
  uint32_t Add(uint8_t bKey) {
    m_bodies.push_back({m_bytes.size(), bKey});
    return static_cast<uint32_t>(m_bodies.size() - 1);
  }
  void Append(const uint8_t* pb, size_t cb) { m_bytes.insert(m_bytes.end(), pb, pb + cb); }
  bool Empty() const { return m_bodies.empty(); }
  size_t Bytes() const { return m_bytes.size(); }
  // The digest of each body queued in the clear, by its number; the queue is then empty.
  std::vector<std::array<uint8_t, wordbasic::kSha256Bytes>> Make();

 private:
  struct Queued {
    size_t at;
    uint8_t bKey;
  };
  std::vector<uint8_t> m_bytes;
  std::vector<Queued> m_bodies;
};

// What a listing of the macros needs beyond their names (zebscan --macros, --source, --extract),
// read with them when the caller asks: the FIB's template flag, the table's bytes and entries, and
// the stored bytes of the macros' bodies, within caps that bound it for any document.
struct MacroBytes {
  // Macros whose bodies are read at most, and their bytes in all: a real document holds a few
  // dozen of a few KiB; the result that carries them crosses the workers' channel.
  static constexpr size_t kMaxMacros = 1024;
  static constexpr size_t kMaxBodyBytes = 1 << 20;
  bool bKeep = false;             // set by the caller, kept by the reader: keep the bodies' bytes
  DigestQueue* pQueue = nullptr;  // the same: the bodies are queued there rather than hashed
  bool bTemplate = false;         // FIB fDot: the document is a template (.dot)
  std::vector<uint8_t> table;     // the macro table's bytes as read
  std::vector<wordbasic::Entry> entries;  // its 0x01 entries, in table order
  struct Body {
    size_t iEntry = 0;      // of entries[], marked 0x55
    uint32_t cbRead = 0;    // from its offset on, as far as the stream and the cap reach
    bool bOverCap = false;  // cbRead is short because kMaxBodyBytes was spent
    uint8_t abSha256[wordbasic::kSha256Bytes] = {};  // of those bytes in the clear
    uint32_t iQueued = DigestQueue::kNone;           // or their number in pQueue
    std::vector<uint8_t> stored;                     // with bKeep, those bytes as stored
  };
  std::vector<Body> bodies;  // the marked entries', in table order, the first kMaxMacros
  size_t nLeftOut = 0;       // marked entries beyond kMaxMacros
};

enum class DocKind {
  kUnreadable,  // the file cannot be opened or read
  kNotWord6,    // no compound file, no WordDocument stream, or not Word 6/95 by its FIB
  kTruncated,   // the file ends before sectors that its own structure names
  kTooLarge,    // its WordDocument stream leaves the sectors the header's FAT list covers (~7 MB)
  kDamaged,     // a WordDocument stream the reader cannot follow (loop, broken chain, bad FIB)
  kEncrypted,   // a password-protected Word 6/95 document (FIB fEncrypted): its table unreadable
  kWord6,       // a Word 6/95 document; its table says whether it has macros
};

struct DocNames {
  DocKind kind = DocKind::kUnreadable;
  MacroTable table;
  std::string sError;      // kUnreadable: the system's cause
  bool bCompound = false;  // it begins as a compound file does (D0 CF 11 E0), whatever its kind
};

// The library reader's block, kept from one document to the next by a caller that reads many:
// committed at first use, cleared for each document, released with the object.
class ReaderBlock {
 public:
  ReaderBlock() = default;
  ~ReaderBlock();
  ReaderBlock(const ReaderBlock&) = delete;
  ReaderBlock& operator=(const ReaderBlock&) = delete;
  DocReader* Reader();  // null when no block can be committed

 private:
  DocReader* m_p = nullptr;
};

// Reads the macro names of the open document f with the library's own reader (attached to the
// open file: no second open), in *pBlock (a block of its own when null). Its kind is told by its
// content alone: the compound file's signature, a WordDocument stream, and the FIB's version. A
// document without a macro table answers kWord6 with nMacros 0. A table that the file's end cuts,
// and any compound file shorter than its header and FAT say it is, answer kTruncated with what
// was read. Files of any size the platform holds are read.
// With pBytes, the bytes of a listing as well (left empty for a document without macros).
DocNames ReadDocumentNames(const File& f, ReaderBlock* pBlock = nullptr,
                           MacroBytes* pBytes = nullptr);
// The same for the file at path, opened for the purpose.
DocNames ReadDocumentNames(const std::string& path);

}  // namespace zm
