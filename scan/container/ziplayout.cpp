// A zip's central directory beside its local headers: the bytes that no entry of the directory
// accounts for, searched for local headers. A streaming reader (bsdtar from a pipe, Java's
// ZipInputStream) walks the local headers and extracts what such a gap holds, while readers of
// the directory (libarchive by position, unzip) never see it; so a member can hide there.
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "le.h"
#include "walker.h"

namespace container::detail {

namespace {

constexpr size_t kLocalHeaderBytes = 30;
constexpr size_t kCentralEntryBytes = 46;
// A local header's fields and whatever name follows: one read for most.
constexpr size_t kHeaderRead = 4096;
// Entries compared, at most: each is held (24 bytes) to be sorted by its offset. Past it the
// comparison is not made, and said (clamd stops a zip at MaxFiles, 10,000 by default).
constexpr size_t kMaxEntries = 1 << 18;
// Local header signatures in a program before a self-extracting zip that are tried, the last ones
// before the zip's first member: each costs a read, and a program may hold the bytes anywhere.
constexpr size_t kMaxProgramSignatures = 4096;

constexpr uint32_t kMask32 = 0xFFFFFFFF;

// The bytes of a file read by position, a window at a time.
class Window {
 public:
  Window(int fd, uint64_t cb) : m_fd(fd), m_cb(cb) {}
  // The n bytes at at (n <= kChunk), reading up to cbAhead from there when they are not held;
  // nullptr when the file ends before them or cannot be read.
  const uint8_t* At(uint64_t at, size_t n, size_t cbAhead) {
    if (n > m_cb || at > m_cb - n) return nullptr;
    if (at < m_at || n > m_cbHeld || at - m_at > m_cbHeld - n) {
      size_t cb = cbAhead < n ? n : cbAhead > kChunk ? kChunk : cbAhead;
      if (cb > m_cb - at) cb = static_cast<size_t>(m_cb - at);
      if (!ReadAt(m_fd, at, m_ab, cb)) return nullptr;
      m_at = at;
      m_cbHeld = cb;
    }
    return m_ab + (at - m_at);
  }
  uint64_t Size() const { return m_cb; }

 private:
  int m_fd;
  uint64_t m_cb;
  uint64_t m_at = 0;
  size_t m_cbHeld = 0;
  uint8_t m_ab[kChunk];
};

bool IsLocalHeader(const uint8_t* pb) { return std::memcmp(pb, "PK\x03\x04", 4) == 0; }

// The offsets of local header signatures in [from, to), in order, each found by the chunk it lies
// in; stops after the first when bFirst. Where more than nKeep are found, the last nKeep are kept.
std::vector<uint64_t> Signatures(Window* pWindow, uint64_t from, uint64_t to, bool bFirst,
                                 size_t nKeep) {
  std::vector<uint64_t> found;
  while (to - from >= 4) {
    size_t n = to - from < kChunk ? static_cast<size_t>(to - from) : kChunk;
    const uint8_t* pb = pWindow->At(from, n, n);
    if (!pb) break;
    for (const uint8_t* p = pb; (p = static_cast<const uint8_t*>(
                                     std::memchr(p, 'P', static_cast<size_t>(pb + n - 3 - p))));
         ++p) {
      if (!IsLocalHeader(p)) continue;
      found.push_back(from + static_cast<uint64_t>(p - pb));
      if (bFirst) return found;
      if (found.size() >= 2 * nKeep) found.erase(found.begin(), found.end() - nKeep);
    }
    from += n - 3;  // a signature across the chunks' seam is found in the next
  }
  if (found.size() > nKeep) found.erase(found.begin(), found.end() - nKeep);
  return found;
}

struct Entry {
  uint64_t at;      // its local header
  uint64_t cbData;  // compressed bytes, as the directory gives them
  bool bDescriptor;
  bool bZip64;
};

// The entries of the central directory at end.atCentral, read as libarchive reads them: entry
// after entry up to an end record, offsets moved by the program before the zip.
Layout ReadCentral(Window* pWindow, const ZipEnd& end, std::vector<Entry>* pEntries) {
  uint64_t at = end.atCentral;
  for (;;) {
    const uint8_t* pb = pWindow->At(at, 4, kChunk);
    if (!pb) return Layout::kUnread;
    if (std::memcmp(pb, "PK\x05\x06", 4) == 0 || std::memcmp(pb, "PK\x06\x06", 4) == 0) break;
    if (std::memcmp(pb, "PK\x01\x02", 4) != 0 ||
        !(pb = pWindow->At(at, kCentralEntryBytes, kChunk)))
      return Layout::kUnread;
    Entry e;
    e.bDescriptor = (Le16(pb + 8) & 0x08) != 0;
    e.bZip64 = false;
    uint64_t cbData = Le32(pb + 20), cbSize = Le32(pb + 24), atLocal = Le32(pb + 42);
    const size_t cbName = Le16(pb + 28), cbExtra = Le16(pb + 30), cbComment = Le16(pb + 32);
    if (cbData == kMask32 || cbSize == kMask32 || atLocal == kMask32) {
      // The zip64 field gives those whose 32 bits are all ones, in this order.
      const uint8_t* px = pWindow->At(at + kCentralEntryBytes + cbName, cbExtra, kChunk);
      if (!px) return Layout::kUnread;
      for (size_t i = 0; cbExtra >= 4 && i <= cbExtra - 4;) {
        const size_t cbField = Le16(px + i + 2);
        if (cbField > cbExtra - i - 4) break;
        if (Le16(px + i) == 1) {
          const uint8_t* pf = px + i + 4;
          size_t cbLeft = cbField;
          for (uint64_t* p : {&cbSize, &cbData, &atLocal}) {
            if (*p != kMask32 || cbLeft < 8) continue;
            *p = Le64(pf);
            pf += 8;
            cbLeft -= 8;
          }
          e.bZip64 = true;
          break;
        }
        i += 4 + cbField;
      }
    }
    e.cbData = cbData;
    e.at = atLocal > ~0ull - end.cbPrefix ? ~0ull : atLocal + end.cbPrefix;
    pEntries->push_back(e);
    if (pEntries->size() > kMaxEntries) return Layout::kTooMany;
    at += kCentralEntryBytes + cbName + cbExtra + cbComment;
  }
  return Layout::kCompared;
}

// Where the entry's local header, data and descriptor end.
uint64_t EntryEnd(Window* pWindow, const Entry& e) {
  const uint64_t cb = pWindow->Size();
  const uint8_t* pb = pWindow->At(e.at, kLocalHeaderBytes, kHeaderRead);
  if (!pb || !IsLocalHeader(pb)) return e.at + 4;  // libarchive failed on it, and said so
  uint64_t end = e.at + kLocalHeaderBytes + Le16(pb + 26) + Le16(pb + 28);
  end = e.cbData > cb - std::min(end, cb) ? cb : end + e.cbData;
  if (e.bDescriptor && end < cb) {
    const uint8_t* pd = pWindow->At(end, 4, kHeaderRead);
    const uint64_t cbDescriptor =
        (pd && std::memcmp(pd, "PK\x07\x08", 4) == 0 ? 4 : 0) + (e.bZip64 ? 20 : 12);
    end = cbDescriptor > cb - end ? cb : end + cbDescriptor;
  }
  return end;
}

// In a program before a self-extracting zip, the local headers that lead, one after another, to
// the zip's first member at atFirst: the first of them, or atFirst. A header chains when its data
// ends where the next begins; one whose length is given only after its data (a descriptor)
// cannot be followed, and the program's own bytes that look like one lead nowhere.
uint64_t ChainedStart(Window* pWindow, uint64_t atFirst) {
  std::vector<uint64_t> candidates = Signatures(pWindow, 0, atFirst, false, kMaxProgramSignatures);
  std::set<uint64_t> starts = {atFirst};
  uint64_t atStart = atFirst;
  for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
    const uint8_t* pb = pWindow->At(*it, kLocalHeaderBytes, kHeaderRead);
    if (!pb) continue;
    const bool bDescriptor = (Le16(pb + 6) & 0x08) != 0;
    const uint64_t cbData = Le32(pb + 18);
    if ((bDescriptor && cbData == 0) || cbData == kMask32) continue;
    const uint64_t end = *it + kLocalHeaderBytes + Le16(pb + 26) + Le16(pb + 28) + cbData;
    if (starts.count(end) || (bDescriptor && (starts.count(end + 12) || starts.count(end + 16)))) {
      starts.insert(*it);
      atStart = *it;
    }
  }
  return atStart;
}

}  // namespace

Layout HiddenSpans(int fd, uint64_t cb, const ZipEnd& end, std::vector<Span>* pSpans) {
  pSpans->clear();
  auto pWindow = std::make_unique<Window>(fd, cb);
  std::vector<Entry> entries;
  Layout layout = ReadCentral(pWindow.get(), end, &entries);
  if (layout != Layout::kCompared) return layout;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.at < b.at; });
  // The zip begins at its first byte when a local header is there: streaming readers start there.
  // Else (a program, or other bytes, before it) at its first member, and what chains to that.
  const uint8_t* pb = pWindow->At(0, 4, kHeaderRead);
  const uint64_t atFirst = entries.empty() ? end.atCentral : std::min(entries[0].at, end.atCentral);
  uint64_t atCovered = pb && IsLocalHeader(pb) ? 0 : atFirst;
  if (atCovered > 0) {
    uint64_t atChain = ChainedStart(pWindow.get(), atFirst);
    if (atChain < atFirst) pSpans->push_back({atChain, atFirst - atChain});
  }
  auto gap = [&](uint64_t from, uint64_t to) {
    std::vector<uint64_t> at = Signatures(pWindow.get(), from, to, true, 1);
    if (!at.empty()) pSpans->push_back({at[0], to - at[0]});
  };
  for (const Entry& e : entries) {
    if (e.at >= end.atCentral) break;
    if (e.at > atCovered) gap(atCovered, e.at);
    atCovered = std::max(atCovered, EntryEnd(pWindow.get(), e));
  }
  if (atCovered < end.atCentral) gap(atCovered, end.atCentral);
  return Layout::kCompared;
}

}  // namespace container::detail
