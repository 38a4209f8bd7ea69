// Read-ahead of file heads, for a scan of a tree that is not in the system's cache: the session
// asks for the head of each file as the walk meets it, some files before the file is scanned, so
// that the disk has many reads to answer at once whatever the number of workers. A tree whose
// heads are found cached stops the asking; a file looked at now and then tells when it turns cold.
#pragma once
#include <cstddef>
#include <functional>

#include "fsys.h"

namespace zm {

// The bytes of a file's head read ahead: the name reader's first two 8 KiB windows, where a Word
// 6 document's header, directory and macro table mostly lie. Measured on a cold corpus: one window
// leaves the second of each document with macros to a read that waits; four cost more reading
// than they save.
constexpr size_t kHeadAheadBytes = 16384;

class HeadReadAhead {
 public:
  // What asking for a file's head answers; by default the file is opened, asked for with
  // ReadAheadHead and closed again (a file that cannot be opened counts as cached: it holds no
  // read to wait for).
  using Probe = std::function<HeadCache(const FileRef& ref)>;
  HeadReadAhead();
  explicit HeadReadAhead(Probe probe) : m_probe(std::move(probe)) {}

  // A file the scan will come to: its head is asked for, unless the tree has been found warm and
  // this is not one of the files looked at to learn whether it still is.
  void Ask(const FileRef& ref);
  // Whether heads are being asked for: false while the tree is found warm, and for good where the
  // platform cannot ask.
  bool Reading() const { return !m_bWarm && !m_bCannot; }

 private:
  Probe m_probe;
  size_t m_nCachedRun = 0;  // heads found cached in a row
  size_t m_nPassed = 0;     // warm: files passed by since the last one looked at
  bool m_bWarm = false;
  bool m_bCannot = false;
};

}  // namespace zm
