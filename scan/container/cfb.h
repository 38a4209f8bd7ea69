// Inside the container layer: compound files (OLE2) read in full for the walk of their contents,
// on every platform (pure bytes over a read by position): the header, the FAT through the DIFAT
// (512- and 4096-byte sectors, 32-bit sector numbers), the directory's whole chain, streams in
// regular sectors and in the mini-stream. The walk of a compound file's storages names what may
// hold a document: a storage with a Word 6/95 WordDocument stream, the file an Ole10Native stream
// packages, a mail's attachment (.msg), an attached message. The writer lays out one WordDocument
// stream as a compound file that the library's reader opens. Every chain, tree and name is
// bounded by the file and by the caps below; a loop ends in a failure.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "container.h"

namespace container::cfb {

// Directory entries read at most: a mail of a thousand attachments holds some 20,000, a document
// a few dozen; the entries are kept while the file is walked (about 100 bytes each).
constexpr uint32_t kMaxEntries = 65536;
// Storages inside one another, from the root: Office nests a handful (a mail attached to a mail
// holding a document with objects is six deep); each level is a frame of the walk.
constexpr uint32_t kMaxDepth = 32;
// The mini-stream read at most: it holds only streams below the 4096-byte cutoff, and its chain
// is held as a table of sector numbers (4 bytes a sector).
constexpr uint64_t kMaxMiniStream = 64ull << 20;
// Bytes of a name read from a property stream or an Ole10Native header: a file name, never more.
constexpr size_t kMaxNameBytes = 1024;

constexpr uint32_t kNoEntry = 0xFFFFFFFFu;
enum : uint8_t { kTypeUnused = 0, kTypeStorage = 1, kTypeStream = 2, kTypeRoot = 5 };

struct Entry {
  std::string sName;  // UTF-8 of its UTF-16 name (code units that pair into nothing: U+FFFD)
  uint8_t bType = kTypeUnused;
  uint32_t lLeft = kNoEntry, lRight = kNoEntry, lChild = kNoEntry;
  uint32_t lStart = 0;
  uint64_t cb = 0;
};

class File {
 public:
  // Reads the header, the DIFAT and the directory of the cb-byte file read reads. False, Error()
  // saying why, when the file is no compound file or its structures cannot be followed.
  bool Open(ReadAtFunction read, uint64_t cb);
  const std::string& Error() const { return m_sError; }
  // Its head is a compound file's (whatever Open made of the rest).
  bool IsCompound() const { return m_bCompound; }
  const std::vector<Entry>& Entries() const { return m_entries; }
  // The children of storage i, in the tree's order (by name, as the format sorts them); the same
  // list each time. An entry is one storage's child only, so a tree that loops, or two storages
  // that share a child, end; *pbBroken is set for a link that loops or leaves the directory.
  const std::vector<uint32_t>& Children(uint32_t i, bool* pbBroken);

  // A stream's bytes, from its start, read forward.
  class Stream {
   public:
    Stream(File* pFile, uint32_t iEntry);
    // Up to cb bytes: the count, 0 at the stream's end, -1 on failure (Error()).
    ptrdiff_t Read(uint8_t* pb, size_t cb);
    // Reads and drops cb bytes; false on failure or before them the stream's end.
    bool Skip(uint64_t cb);
    const std::string& Error() const { return m_sError; }
    uint64_t Size() const { return m_cb; }

   private:
    File* m_pFile;
    uint64_t m_cb, m_at = 0;
    bool m_bMini;
    uint32_t m_lSector, m_nSteps = 0;
    std::string m_sError;
  };

 private:
  friend class Stream;
  int64_t ReadSector(uint32_t lSector, uint8_t* pb, uint32_t cbSector);
  bool Next(uint32_t lSector, uint32_t* plNext, std::string* psError);
  bool MiniNext(uint32_t lMini, uint32_t* plNext, std::string* psError);
  bool Chain(uint32_t lStart, uint64_t nMax, std::vector<uint32_t>* pOut, std::string* psError);
  bool OpenMini(std::string* psError);

  ReadAtFunction m_read;
  uint64_t m_cbFile = 0;
  uint32_t m_cbSector = 512, m_nSectors = 0, m_cbCutoff = 4096;
  bool m_bVersion3 = true;
  uint32_t m_lMiniFatStart = 0, m_lDirStart = 0;
  std::vector<uint32_t> m_difat;  // FAT sector numbers
  std::vector<uint8_t> m_fatCache;
  uint32_t m_lFatCached = kNoEntry;
  bool m_bFatCached = false;
  std::vector<Entry> m_entries;
  std::vector<uint8_t> m_handedOut;
  struct Listed {
    std::vector<uint32_t> children;
    bool bBroken = false;
  };
  std::unordered_map<uint32_t, Listed> m_listed;
  bool m_bMiniOpen = false, m_bMiniFailed = false;
  std::string m_sMiniError;
  std::vector<uint32_t> m_miniFat, m_rootChain;  // the mini-FAT's entries, the mini-stream's
                                                 // sectors
  std::string m_sError;
  bool m_bCompound = false;
};

// What a walk of a compound file meets that may hold a document.
struct Object {
  enum class Type : uint8_t {
    kDocument,  // a storage with a Word 6/95 WordDocument stream (iEntry), iStorage the storage
    kPayload,   // a file held in a stream: cb bytes of stream iEntry from lOffset on
    kMessage,   // a mail attached to a mail: storage iStorage, a level of its own
  };
  Type type = Type::kPayload;
  std::string sName;  // as the member's name: a storage path joined by '/', or a file name
  uint32_t iEntry = kNoEntry, iStorage = kNoEntry;
  uint64_t lOffset = 0, cb = 0;
};

class Visitor {
 public:
  virtual ~Visitor() = default;
  virtual void Meet(const Object& o) = 0;
  // The compound file cannot be walked in full: the reason.
  virtual void Problem(const std::string& sReason) = 0;
  // No more is to be met (a limit stopped the walk).
  virtual bool Stopped() const { return false; }
};

// Walks storage iLevel (the root, an embedded document's storage, an attached mail) and the
// storages below it that are no level of their own, telling v what they hold; the WordDocument
// stream of iLevel itself is not met (it is the level's own document). A level met (kDocument,
// kMessage) is not entered: the visitor walks it in turn if it will.
void WalkLevel(File* pFile, uint32_t iLevel, Visitor* pV);

// Whether WalkLevel of iLevel would tell of anything: an object, or a problem.
bool LevelHoldsObjects(File* pFile, uint32_t iLevel);

// A compound file holding one stream named WordDocument of cbStream bytes, as the library's
// reader opens it: 512-byte sectors, the directory one sector, the stream's bytes from offset 512
// on (in regular sectors, or below 4096 bytes in the mini-stream, whose sectors lie there in
// order). The caller writes the stream's bytes at 512, the tail at lTailAt, the header at 0.
struct Frame {
  std::vector<uint8_t> header;  // 512 bytes
  uint64_t lTailAt = 0;
  std::vector<uint8_t> tail;  // the FAT, the DIFAT where it needs one, the mini-FAT, the directory
};
Frame FrameFor(uint64_t cbStream);
constexpr uint64_t kFrameDataAt = 512;

}  // namespace container::cfb
