// When to ask for heads: always on a cold tree, and on a warm one only for a file now and then.
#include "readahead.h"

namespace zm {
namespace {

// Heads found cached in a row that make a tree warm: enough that a few files read lately (or
// named twice) do not stop the read-ahead of a cold tree.
constexpr size_t kWarmAfter = 32;
// On a warm tree, one file in this many is looked at, so that a part of it that is cold (another
// disk, a directory not read lately) is read ahead again; each look is an open and a close.
constexpr size_t kLookEvery = 128;

HeadCache OpenAndAsk(const FileRef& ref) {
  File f;
  if (!OpenRef(ref, &f, nullptr)) return HeadCache::kCached;
  return ReadAheadHead(f, kHeadAheadBytes);
}

}  // namespace

HeadReadAhead::HeadReadAhead() : m_probe(OpenAndAsk) {}

void HeadReadAhead::Ask(const FileRef& ref) {
  if (m_bCannot) return;
  if (m_bWarm && ++m_nPassed < kLookEvery) return;
  m_nPassed = 0;
  switch (m_probe(ref)) {
    case HeadCache::kCannot:
      m_bCannot = true;
      break;
    case HeadCache::kAsked:
      m_bWarm = false;
      m_nCachedRun = 0;
      break;
    case HeadCache::kCached:
      if (++m_nCachedRun >= kWarmAfter) m_bWarm = true;
      break;
  }
}

}  // namespace zm
