// Outlook's personal folders (.pst) and offline stores (.ost) through libpff, read by position:
// the folders from the root down, each folder's messages, their attachments as members and an
// attached message as a level of its own; then the messages and folders outside the root folder
// (libpff's orphans: their parent is gone; and those with no parent at all). libpff reads the
// ANSI and Unicode layouts, 4 KiB pages, and both of the format's encodings of data blocks
// ("compressible" and "high").
//
// libpff follows the file's B-trees and block trees wherever they lead, and so a page that
// leads back to itself would keep it busy for ever: before libpff sees the file, those trees
// are walked here and must end (CheckNodeDatabase).
#include <libbfio.h>
#include <libpff.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "walker.h"

namespace container::detail {

namespace {

// ---------------------------------------------------------------------------------------------
// The node database: its trees must end
// ---------------------------------------------------------------------------------------------

uint64_t Le(const uint8_t* pb, size_t cb) {
  uint64_t q = 0;
  for (size_t i = cb; i-- > 0;) q = q << 8 | pb[i];
  return q;
}

// Where the node database keeps its parts, by the header's version (ANSI, Unicode, Unicode with
// 4 KiB pages).
struct Layout {
  size_t cbPage;       // a B-tree page
  size_t cbId;         // a block id, node id or file offset in the trees
  size_t cbEntries;    // a page's entries, from its start; its counts follow
  bool bWideCounts;    // the counts of entries are 2 bytes (else 1)
  size_t atType;       // the page's type and its repetition, in the page trailer
  size_t cbBranch;     // an entry of a branch page,
  size_t cbBlockLeaf;  // of a leaf of the block B-tree,
  size_t cbNodeLeaf;   // of a leaf of the node B-tree
  size_t cbFooter;     // a block's trailer, which ends the block
  size_t cbUnit;       // blocks are a multiple of this
  size_t cbSubHead;    // the header of a block of subnodes (the array's is always 8)
  size_t atRoots;      // the header's reference to the node B-tree's root; the block B-tree's next
};
constexpr Layout kAnsi = {512, 4, 496, false, 500, 12, 12, 16, 12, 64, 4, 184};
constexpr Layout kUnicode = {512, 8, 488, false, 496, 24, 24, 32, 16, 64, 8, 216};
constexpr Layout kUnicode4k = {4096, 8, 4056, true, 4072, 24, 24, 32, 24, 512, 8, 216};

constexpr uint8_t kBlockTree = 0x80, kNodeTree = 0x81;  // page types
constexpr uint8_t kArray = 1, kSubnodes = 2;            // kinds of internal block
constexpr uint64_t kInternal = 2;                       // the block id's mark of one
// The deepest a B-tree's root may stand, which bounds the recursion below: 8 levels of branch
// pages of 20 entries index more blocks than 30 TB hold (Outlook stops a store at 50 GB).
constexpr uint8_t kDeepestPage = 8;
// The file's header, as long as the longer layout's.
constexpr size_t kHeaderBytes = 564;

// Walks both B-trees from the header's roots and every internal block's children: "" when they
// end, else why not. A tree ends when every branch leads one level down (so no path is longer
// than its root's level) and no more pages are visited than the file holds (so no page is
// shared); an array or subnode block with internal children leads one level down to blocks of
// its own kind, which is what libpff's recursion through them needs to end.
class NodeDatabaseCheck {
 public:
  NodeDatabaseCheck(int fd, uint64_t cb, const Layout& layout)
      : m_fd(fd), m_cb(cb), m_l(layout), m_nPagesLeft(cb / layout.cbPage) {}

  std::string Run(const uint8_t* pbHeader) {
    const uint8_t* pbRoots = pbHeader + m_l.atRoots;
    std::string s = Tree(Le(pbRoots + m_l.cbId, m_l.cbId), kNodeTree, -1);
    if (s.empty()) s = Tree(Le(pbRoots + 3 * m_l.cbId, m_l.cbId), kBlockTree, -1);
    if (s.empty()) s = Blocks();
    return s;
  }

 private:
  struct Internal {
    uint64_t bid, ib;
    uint32_t cb;
    uint8_t bKind, nLevel;
    bool operator<(const Internal& o) const { return bid < o.bid; }
  };

  std::string Tree(uint64_t ib, uint8_t bType, int nLevel) {
    if (m_nPagesLeft == 0) return "a B-tree leads to more pages than the file holds (a loop)";
    --m_nPagesLeft;
    std::vector<uint8_t> page(m_l.cbPage);
    if (ib > m_cb || page.size() > m_cb - ib || !ReadAt(m_fd, ib, page.data(), page.size()))
      return "a B-tree page lies past the end";
    if (page[m_l.atType] != bType || page[m_l.atType + 1] != bType)
      return "a B-tree page of the wrong type";
    const uint8_t* pbCounts = page.data() + m_l.cbEntries;
    size_t nEntries = m_l.bWideCounts ? Le(pbCounts, 2) : pbCounts[0];
    const uint8_t nPageLevel = pbCounts[m_l.bWideCounts ? 5 : 3];
    if (nLevel < 0 ? nPageLevel > kDeepestPage : nPageLevel != nLevel)
      return "a B-tree page stands at the wrong level";
    // As libpff reads them: entries of the layout's size, as many as fit.
    const size_t cbEntry = nPageLevel > 0        ? m_l.cbBranch
                           : bType == kBlockTree ? m_l.cbBlockLeaf
                                                 : m_l.cbNodeLeaf;
    nEntries = std::min(nEntries, m_l.cbEntries / cbEntry);
    for (size_t i = 0; i < nEntries; ++i) {
      const uint8_t* pb = page.data() + i * cbEntry;
      if (nPageLevel > 0) {
        std::string s = Tree(Le(pb + 2 * m_l.cbId, m_l.cbId), bType, nPageLevel - 1);
        if (!s.empty()) return s;
      } else if (bType == kBlockTree && (Le(pb, m_l.cbId) & kInternal)) {
        // No more internal blocks than 64-byte units of the file.
        if (m_internal.size() >= m_cb / 64) return "more blocks than the file holds";
        m_internal.push_back({Le(pb, m_l.cbId) & ~1ull, Le(pb + m_l.cbId, m_l.cbId),
                              static_cast<uint32_t>(Le(pb + 2 * m_l.cbId, 2)), 0, 0});
      }
    }
    return "";
  }

  // The first cbWant bytes of an internal block's data (fewer when it is shorter), inflated
  // where a 4 KiB page layout stores it compressed.
  bool Read(const Internal& b, size_t cbWant, std::vector<uint8_t>* pData) {
    if (b.ib > m_cb || b.cb > m_cb - b.ib) return false;
    if (m_l.cbUnit == 64) {
      pData->resize(std::min<size_t>(cbWant, b.cb));
      return ReadAt(m_fd, b.ib, pData->data(), pData->size());
    }
    // Its trailer ends the block: the data rounded up to the unit, with room left for it.
    uint64_t cbBlock = (b.cb + m_l.cbUnit - 1) / m_l.cbUnit * m_l.cbUnit;
    if (cbBlock - b.cb < m_l.cbFooter) cbBlock += m_l.cbUnit;
    uint8_t abFooter[24];
    if (cbBlock > m_cb - b.ib ||
        !ReadAt(m_fd, b.ib + cbBlock - m_l.cbFooter, abFooter, sizeof abFooter))
      return false;
    const size_t cbPlain = static_cast<size_t>(Le(abFooter + 18, 2));
    std::vector<uint8_t> stored(b.cb);
    if (!ReadAt(m_fd, b.ib, stored.data(), stored.size())) return false;
    if (cbPlain == 0 || cbPlain == b.cb) {
      stored.resize(std::min(cbWant, stored.size()));
      *pData = std::move(stored);
      return true;
    }
    pData->resize(cbPlain);
    uLongf cbOut = cbPlain;
    if (uncompress(pData->data(), &cbOut, stored.data(), stored.size()) != Z_OK) return false;
    pData->resize(std::min<size_t>(cbWant, cbOut));
    return true;
  }

  std::string Blocks() {
    std::sort(m_internal.begin(), m_internal.end());
    std::vector<uint8_t> data;
    for (Internal& b : m_internal) {
      if (!Read(b, 2, &data) || data.size() < 2) return "an internal block cannot be read";
      b.bKind = data[0];
      b.nLevel = data[1];
      if ((b.bKind == kArray && b.nLevel > 2) || (b.bKind == kSubnodes && b.nLevel > 1))
        return "an internal block stands at the wrong level";
    }
    for (const Internal& b : m_internal) {
      // Those whose children are data blocks, or other nodes' subnodes (libpff opens them one
      // node at a time, as the walk asks), have nothing to check.
      if (!((b.bKind == kArray && b.nLevel == 2) || (b.bKind == kSubnodes && b.nLevel == 1)))
        continue;
      const size_t cbHead = b.bKind == kArray ? 8 : m_l.cbSubHead;
      const size_t cbEntry = b.bKind == kArray ? m_l.cbId : 2 * m_l.cbId;
      const size_t atChild = b.bKind == kArray ? 0 : m_l.cbId;
      if (!Read(b, m_l.cbUnit == 64 ? b.cb : 65536, &data) || data.size() < cbHead)
        return "an internal block cannot be read";
      const size_t nEntries =
          std::min<size_t>(Le(data.data() + 2, 2), (data.size() - cbHead) / cbEntry);
      for (size_t i = 0; i < nEntries; ++i) {
        Internal key{Le(data.data() + cbHead + i * cbEntry + atChild, m_l.cbId) & ~1ull, 0, 0, 0,
                     0};
        auto it = std::lower_bound(m_internal.begin(), m_internal.end(), key);
        if (it == m_internal.end() || it->bid != key.bid || it->bKind != b.bKind ||
            it->nLevel + 1 != b.nLevel)
          return "a block tree leads to a block of the wrong level";
      }
    }
    return "";
  }

  int m_fd;
  uint64_t m_cb;
  const Layout& m_l;
  uint64_t m_nPagesLeft;
  std::vector<Internal> m_internal;
};

// "" when the file's trees end, else why not (its header first: the fuzzer hands any bytes).
std::string CheckNodeDatabase(int fd, uint64_t cb) {
  uint8_t abHeader[kHeaderBytes] = {};
  if (cb < sizeof abHeader || !ReadAt(fd, 0, abHeader, sizeof abHeader) ||
      Sniff(abHeader, sizeof abHeader) != Kind::kPst)
    return "not a header of personal folders";
  const unsigned wVer = static_cast<unsigned>(Le(abHeader + 10, 2));
  const Layout& layout = wVer <= 15 ? kAnsi : wVer == 36 ? kUnicode4k : kUnicode;
  return NodeDatabaseCheck(fd, cb, layout).Run(abHeader);
}

// ---------------------------------------------------------------------------------------------
// libpff's input: a libbfio handle reading the descriptor by position
// ---------------------------------------------------------------------------------------------

struct FdInput {
  int fd;
  uint64_t cb;
  uint64_t at;
};

FdInput* AsInput(intptr_t* p) { return reinterpret_cast<FdInput*>(p); }

int InputFree(intptr_t** pp, libbfio_error_t**) {
  delete AsInput(*pp);
  *pp = nullptr;
  return 1;
}
int InputClone(intptr_t** ppTo, intptr_t* pFrom, libbfio_error_t**) {
  FdInput* p = new (std::nothrow) FdInput(*AsInput(pFrom));
  *ppTo = reinterpret_cast<intptr_t*>(p);
  return p ? 1 : -1;
}
int InputOpen(intptr_t*, int flags, libbfio_error_t**) {
  return (flags & LIBBFIO_ACCESS_FLAG_WRITE) ? -1 : 1;
}
int InputClose(intptr_t*, libbfio_error_t**) { return 0; }
ssize_t InputRead(intptr_t* p, uint8_t* pb, size_t cb, libbfio_error_t**) {
  FdInput* in = AsInput(p);
  if (in->at >= in->cb) return 0;
  if (cb > in->cb - in->at) cb = static_cast<size_t>(in->cb - in->at);
  ssize_t n;
  do n = pread(in->fd, pb, cb, static_cast<off_t>(in->at));
  while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  in->at += static_cast<uint64_t>(n);
  return n;
}
ssize_t InputWrite(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) { return -1; }
off64_t InputSeek(intptr_t* p, off64_t at, int whence, libbfio_error_t**) {
  FdInput* in = AsInput(p);
  // Offsets stay below 2^63, as a file's do: no sum below overflows.
  int64_t base;
  if (whence == SEEK_SET)
    base = 0;
  else if (whence == SEEK_CUR)
    base = static_cast<int64_t>(in->at);
  else if (whence == SEEK_END)
    base = static_cast<int64_t>(in->cb);
  else
    return -1;
  if (at < -base || at > INT64_MAX - base) return -1;
  in->at = static_cast<uint64_t>(base + at);
  return base + at;
}
int InputExists(intptr_t*, libbfio_error_t**) { return 1; }
int InputIsOpen(intptr_t*, libbfio_error_t**) { return 1; }
int InputSize(intptr_t* p, size64_t* pcb, libbfio_error_t**) {
  *pcb = AsInput(p)->cb;
  return 1;
}

// ---------------------------------------------------------------------------------------------
// libpff's objects and errors, freed however a scope is left
// ---------------------------------------------------------------------------------------------

template <typename T, int (*Free)(T**, libpff_error_t**)>
class Owned {
 public:
  Owned() = default;
  ~Owned() {
    if (m_p) Free(&m_p, nullptr);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  T** Out() { return &m_p; }
  T* get() const { return m_p; }

 private:
  T* m_p = nullptr;
};
using PffFile = Owned<libpff_file_t, libpff_file_free>;
using PffItem = Owned<libpff_item_t, libpff_item_free>;
using PffRecordSet = Owned<libpff_record_set_t, libpff_record_set_free>;
using PffRecordEntry = Owned<libpff_record_entry_t, libpff_record_entry_free>;

class PffError {
 public:
  PffError() = default;
  ~PffError() {
    if (m_p) libpff_error_free(&m_p);
  }
  PffError(const PffError&) = delete;
  PffError& operator=(const PffError&) = delete;
  libpff_error_t** Out() { return &m_p; }
  // "Damaged pst: " and the first of libpff's messages (the cause; the others say who asked),
  // without the name of the function that set it.
  std::string Reason() const {
    char ach[4096] = "";
    if (m_p && libpff_error_backtrace_sprint(m_p, ach, sizeof ach) < 0) {
      ach[0] = '\0';  // too long a backtrace: its last message, who asked, will do
      libpff_error_sprint(m_p, ach, sizeof ach);
    }
    ach[sizeof ach - 1] = '\0';
    std::string s(ach);
    s.resize(std::min(s.find('\n'), s.size()));
    size_t at = s.find(": ");
    if (at != std::string::npos && s.find(' ') > at) s.erase(0, at + 2);
    while (!s.empty() && (s.back() == '.' || s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return "Damaged pst: " + (s.empty() ? std::string("cannot be read") : s);
  }

 private:
  libpff_error_t* m_p = nullptr;
};

// An attachment's bytes as libpff decodes them.
class AttachmentStream : public MemberStream {
 public:
  explicit AttachmentStream(libpff_item_t* pAttachment) : m_pAttachment(pAttachment) {}
  ptrdiff_t Read(uint8_t* pb, size_t cb) override {
    PffError e;
    ssize_t n = libpff_attachment_data_read_buffer(m_pAttachment, pb, cb, e.Out());
    if (n < 0) m_sError = e.Reason();
    return n < 0 ? -1 : n;
  }
  std::string Error() const override { return m_sError; }
  bool SkipIsCheap() const override { return true; }
  Kind ContainerKind() const override { return Kind::kPst; }

 private:
  libpff_item_t* m_pAttachment;
  std::string m_sError;
};

// ---------------------------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------------------------

constexpr uint32_t kDisplayName = 0x3001, kLongFilename = 0x3707, kShortFilename = 0x3704;
constexpr uint32_t kIpmSubtreeEntryId = 0x35E0, kAttachSize = 0x0E20;
// The longest value a property context keeps in its heap; longer ones have a subnode.
constexpr uint32_t kLongestHeapValue = 3580;
// Node id types (its low 5 bits) of the items walked.
constexpr uint32_t kNidFolder = 0x02, kNidSearchFolder = 0x03, kNidMessage = 0x04,
                   kNidAssociatedMessage = 0x08;
// Folders nest as the file's parent links say (libpff allows 256 levels); Outlook's own go a
// few levels deep, and each level of the walk keeps its item open.
constexpr uint32_t kDeepestItem = 64;

std::string Join(const std::string& sPath, const std::string& sName) {
  return sPath.empty() ? sName : sPath + "/" + sName;
}

class PstWalk {
 public:
  PstWalk(Walker* pWalker, libpff_file_t* pFile) : m_pWalker(pWalker), m_pFile(pFile) {}

  // What the file holds: the folders from the root folder down, then the messages and folders
  // outside it (the file's other top-level items, and libpff's orphans, whose parent is gone).
  // A file without a root folder is damaged (recorded at outer, under sName); the rest is still
  // walked.
  void Run(const Place& place, const Place& outer, const std::string& sName) {
    m_nTop = TopFolder();
    PffItem root, top;
    PffError e;
    uint32_t nRoot = 0;
    int nMessage = 0, nFolder = 0, nOrphan = 0, n = 0;
    const Numbers inFolder{"message-", "folder-", &nMessage, &nFolder};
    const Numbers outside{"orphan-", "orphan-", &nOrphan, &nOrphan};
    if (libpff_file_get_root_folder(m_pFile, root.Out(), e.Out()) == 1 &&
        libpff_item_get_identifier(root.get(), &nRoot, e.Out()) == 1)
      Items(root.get(), 0, "", inFolder, 1, place);
    else
      m_pWalker->Record(outer, sName, Kind::kPst, Why::kDamaged, e.Reason());
    if (libpff_file_get_root_item(m_pFile, top.Out(), nullptr) == 1)
      Items(top.get(), nRoot, "", outside, 1, place);
    if (libpff_file_get_number_of_orphan_items(m_pFile, &n, nullptr) != 1) n = 0;
    for (int i = 0; i < n && !m_pWalker->Stopped(); ++i) {
      PffItem item;
      uint32_t id = 0;
      if (libpff_file_get_orphan_item_by_index(m_pFile, i, item.Out(), nullptr) == 1 &&
          libpff_item_get_identifier(item.get(), &id, nullptr) == 1)
        Item(item.get(), id, "", outside, 1, place);
    }
  }

 private:
  // How the items of a place are called when they have no name of their own: a message
  // <szMessage>N, a folder <szFolder>N, each N counting from 1 (the two may share a count).
  struct Numbers {
    const char* szMessage;
    const char* szFolder;
    int* pnMessage;
    int* pnFolder;
  };

  // An item's property of the given type (any value type): false when it has none.
  static bool Entry(libpff_item_t* pItem, uint32_t lEntryType, PffRecordEntry* pEntry) {
    PffRecordSet set;
    uint32_t lValueType = 0;
    return libpff_item_get_record_set_by_index(pItem, 0, set.Out(), nullptr) == 1 &&
           libpff_record_set_get_entry_by_type(set.get(), lEntryType, lValueType, pEntry->Out(),
                                               LIBPFF_ENTRY_VALUE_FLAG_MATCH_ANY_VALUE_TYPE,
                                               nullptr) == 1;
  }

  // A property as UTF-8, "" when the item has none.
  static std::string Text(libpff_item_t* pItem, uint32_t lEntryType) {
    PffRecordEntry entry;
    size_t cb = 0;
    if (!Entry(pItem, lEntryType, &entry) ||
        libpff_record_entry_get_data_as_utf8_string_size(entry.get(), &cb, nullptr) != 1 || cb == 0)
      return "";
    std::string s(cb, '\0');
    if (libpff_record_entry_get_data_as_utf8_string(entry.get(), reinterpret_cast<uint8_t*>(&s[0]),
                                                    cb, nullptr) != 1)
      return "";
    s.resize(s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
    return s;
  }

  // A 32-bit property, 0 when the item has none.
  static uint32_t Number(libpff_item_t* pItem, uint32_t lEntryType) {
    PffRecordEntry entry;
    uint32_t l = 0;
    if (!Entry(pItem, lEntryType, &entry) ||
        libpff_record_entry_get_data_as_32bit_integer(entry.get(), &l, nullptr) != 1)
      return 0;
    return l;
  }

  // The node id of the top of the store's folders (the IPM subtree, whose name Outlook does not
  // show), from the message store's entry id of it; 0 when there is none.
  uint32_t TopFolder() {
    PffItem store;
    PffRecordEntry entry;
    size_t cb = 0;
    uint8_t ab[24];
    if (libpff_file_get_message_store(m_pFile, store.Out(), nullptr) != 1 ||
        !Entry(store.get(), kIpmSubtreeEntryId, &entry) ||
        libpff_record_entry_get_data_size(entry.get(), &cb, nullptr) != 1 || cb != sizeof ab ||
        libpff_record_entry_get_data(entry.get(), ab, sizeof ab, nullptr) != 1)
      return 0;
    return static_cast<uint32_t>(Le(ab + 20, 4));
  }

  // The items below pParent in the file's tree but idSkip (a folder's folders and messages,
  // whether or not its tables list them), below sPath.
  void Items(libpff_item_t* pParent, uint32_t idSkip, const std::string& sPath,
             const Numbers& numbers, uint32_t nDepth, const Place& place) {
    int n = 0;
    PffError e;
    if (libpff_item_get_number_of_sub_items(pParent, &n, e.Out()) != 1) {
      m_pWalker->Record(place, sPath, Kind::kNone, Why::kDamaged, e.Reason());
      return;
    }
    for (int i = 0; i < n && !m_pWalker->Stopped(); ++i) {
      PffItem item;
      PffError eItem;
      uint32_t id = 0;
      if (libpff_item_get_sub_item(pParent, i, item.Out(), eItem.Out()) != 1 ||
          libpff_item_get_identifier(item.get(), &id, eItem.Out()) != 1) {
        m_pWalker->Record(place, sPath, Kind::kNone, Why::kDamaged, eItem.Reason());
        continue;
      }
      if (id != idSkip) Item(item.get(), id, sPath, numbers, nDepth, place);
    }
  }

  // One item by its node id's type: a message walked (and the items the file's tree puts below
  // it, as if in its folder); a folder walked, its display name the path's next part; any other
  // kind holds no mail.
  void Item(libpff_item_t* pItem, uint32_t id, const std::string& sPath, const Numbers& numbers,
            uint32_t nDepth, const Place& place) {
    const uint32_t nType = id & 0x1F;
    const bool bMessage = nType == kNidMessage || nType == kNidAssociatedMessage;
    if (!bMessage && nType != kNidFolder && nType != kNidSearchFolder) return;
    std::string sName = sPath;
    if (bMessage) {
      sName = Join(sPath, numbers.szMessage + std::to_string(++*numbers.pnMessage));
      Message(pItem, sName, place);
    } else if (id != m_nTop) {
      std::string sTitle = Text(pItem, kDisplayName);
      sName = Join(
          sPath, !sTitle.empty() ? sTitle : numbers.szFolder + std::to_string(++*numbers.pnFolder));
      if (!m_pWalker->Look(sName, place)) return;
    }
    if (nDepth >= kDeepestItem) {
      m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged,
                        "Damaged pst: items nested deeper than " + std::to_string(kDeepestItem));
      return;
    }
    if (bMessage) {
      Items(pItem, 0, sPath, numbers, nDepth + 1, place);
      return;
    }
    int nMessage = 0, nFolder = 0;
    Items(pItem, 0, sName, Numbers{"message-", "folder-", &nMessage, &nFolder}, nDepth + 1, place);
  }

  // A message, a level of its own named sName at place: its attachments.
  void Message(libpff_item_t* pMessage, const std::string& sName, const Place& place) {
    if (!m_pWalker->Look(sName, place)) return;
    uint32_t nMax = m_pWalker->options().limits.nMaxRecursion;
    if (nMax != 0 && place.nDepth + 1 > nMax) {
      m_pWalker->RecordLimit(place, sName, Limit::kMaxRecursion, 0);
      return;
    }
    std::vector<std::string> chain = *place.pChain;
    chain.push_back(sName);
    Place inner{&chain, place.nDepth + 1};
    int n = 0;
    PffError e;
    if (libpff_message_get_number_of_attachments(pMessage, &n, e.Out()) != 1) {
      m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged, e.Reason());
      return;
    }
    for (int i = 0; i < n && !m_pWalker->Stopped(); ++i) Attachment(pMessage, i, inner);
  }

  // Attachment i of a message: its file names (long, short), the title it is shown by, else
  // attachment-N; its bytes a member, an attached message a message of its own.
  void Attachment(libpff_item_t* pMessage, int i, const Place& place) {
    PffItem attachment;
    PffError e;
    std::string sName = "attachment-" + std::to_string(i + 1);
    int iType = 0;
    if (libpff_message_get_attachment(pMessage, i, attachment.Out(), e.Out()) != 1) {
      if (m_pWalker->Look(sName, place))
        m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged, e.Reason());
      return;
    }
    for (uint32_t lEntry : {kLongFilename, kShortFilename, kDisplayName}) {
      std::string s = Text(attachment.get(), lEntry);
      if (!s.empty()) {
        sName = s;
        break;
      }
    }
    if (libpff_attachment_get_type(attachment.get(), &iType, e.Out()) != 1) {
      if (m_pWalker->Look(sName, place))
        m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged, e.Reason());
      return;
    }
    if (iType == LIBPFF_ATTACHMENT_TYPE_ITEM) {
      PffItem message;
      if (libpff_attachment_get_item(attachment.get(), message.Out(), e.Out()) == 1) {
        Message(message.get(), sName, place);
      } else if (m_pWalker->Look(sName, place)) {
        m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged, e.Reason());
      }
      return;
    }
    size64_t cb = 0;
    int r = iType == LIBPFF_ATTACHMENT_TYPE_DATA
                ? libpff_attachment_get_data_size(attachment.get(), &cb, e.Out())
                : 0;
    if (r != 1) {
      // A reference (the file lies elsewhere) or no data: nothing of it is in the file.
      if (m_pWalker->Look(sName, place) && r < 0)
        m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged, e.Reason());
      return;
    }
    // libpff gives a value it could not read from its subnode (missing, or its blocks not what
    // they say) as empty, and only values too long for the heap have one: an empty attachment
    // whose size says it is that long was not read.
    const uint32_t cbSays = Number(attachment.get(), kAttachSize);
    if (cb == 0 && cbSays > kLongestHeapValue) {
      if (m_pWalker->Look(sName, place))
        m_pWalker->Record(place, sName, Kind::kNone, Why::kDamaged,
                          "Damaged pst: the data of an attachment of " + std::to_string(cbSays) +
                              " bytes cannot be read");
      return;
    }
    AttachmentStream stream(attachment.get());
    m_pWalker->Member(&stream, sName, cb, place);
  }

  Walker* m_pWalker;
  libpff_file_t* m_pFile;
  uint32_t m_nTop = 0;
};

}  // namespace

void WalkPst(Walker* pWalker, const Source& src, const std::string& sName, const Place& place) {
  std::vector<std::string> outerChain = *place.pChain;
  if (!outerChain.empty()) outerChain.pop_back();
  Place outer{&outerChain, place.nDepth > 1 ? place.nDepth - 1 : 1};
  std::string sWhy = CheckNodeDatabase(src.fd, src.cb);
  if (!sWhy.empty()) {
    pWalker->Record(outer, sName, Kind::kPst, Why::kDamaged, "Damaged pst: " + sWhy);
    return;
  }
  libbfio_handle_t* pHandle = nullptr;
  FdInput* pInput = new (std::nothrow) FdInput{src.fd, src.cb, 0};
  if (!pInput || libbfio_handle_initialize(&pHandle, reinterpret_cast<intptr_t*>(pInput), InputFree,
                                           InputClone, InputOpen, InputClose, InputRead, InputWrite,
                                           InputSeek, InputExists, InputIsOpen, InputSize,
                                           LIBBFIO_FLAG_IO_HANDLE_MANAGED, nullptr) != 1) {
    delete pInput;
    pWalker->Record(outer, sName, Kind::kPst, Why::kDamaged, "Damaged pst: out of memory");
    return;
  }
  {
    PffFile file;
    PffError e;
    if (libpff_file_initialize(file.Out(), e.Out()) != 1 ||
        libpff_file_open_file_io_handle(file.get(), pHandle, LIBPFF_OPEN_READ, e.Out()) != 1) {
      pWalker->Record(outer, sName, Kind::kPst, Why::kDamaged, e.Reason());
    } else {
      PstWalk(pWalker, file.get()).Run(place, outer, sName);
      libpff_file_close(file.get(), nullptr);
    }
  }
  libbfio_handle_free(&pHandle, nullptr);
}

}  // namespace container::detail
