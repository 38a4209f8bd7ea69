// The front end's own walk: every entry under each path it is given, hidden directories included,
// through open directory handles (no path length limit), names kept as the file system gives
// them, entries of a directory in byte order of their names. Links are followed only as asked,
// a directory is never walked twice (device and inode, or volume and file index), and the same
// file reached twice is handed on once. Every entry ends as exactly one item: a file to scan, a
// skipped entry with its reason, or an error with the system's cause. Files are handed on unopened
// (directory and name), so whoever scans them opens them: the walk itself stays cheap.
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fsys.h"

namespace zm {

enum class LinkPolicy { kNever = 0, kNamed = 1, kAlways = 2 };  // clamscan's 0, 1 and 2

struct WalkOptions {
  LinkPolicy dirLinks = LinkPolicy::kNamed;
  LinkPolicy fileLinks = LinkPolicy::kNamed;
  std::vector<std::string> include;     // files of a walk: only those whose name matches one
  std::vector<std::string> exclude;     // files of a walk whose name matches one: skipped
  std::vector<std::string> excludeDir;  // directories of a walk whose name matches one: skipped
  int iMaxDepth = -1;                   // entries deeper than this are not looked at; -1 none
  // Entries of a walk (files and directories) whose whole path it accepts: skipped.
  std::function<bool(const std::string& sPath)> excludePath;
};

struct WalkItem {
  enum Kind { kFile, kSkipped, kError };
  Kind kind = kFile;
  std::string sPath;
  std::string sReason;  // kSkipped, kError
  FileRef ref;          // kFile
};

// Whether a file is met for the first time, by its identity once it has been opened: the same
// file reached twice (named twice, through a followed link, or a hard link) is reported once. A
// file with one name in a run of one root, not following links, cannot come again and is not
// remembered, so a walk of millions of files keeps no set of them.
class SeenFiles {
 public:
  SeenFiles(const WalkOptions& options, bool bManyRoots)
      : m_bAll(bManyRoots || options.fileLinks == LinkPolicy::kAlways ||
               options.dirLinks == LinkPolicy::kAlways) {}
  bool FirstTime(const FileId& id, uint32_t nLinks) {
    return !(m_bAll || nLinks > 1) || m_ids.insert(id).second;
  }

 private:
  bool m_bAll;
  std::set<FileId> m_ids;
};

class Walker {
 public:
  using Sink = std::function<void(WalkItem&&)>;
  Walker(WalkOptions options, Sink sink);

  // One path as the user gave it: a directory is walked, anything else is one item. Links named
  // here are followed unless a policy says kNever.
  void Add(const std::string& sPath);
  size_t DirectoriesWalked() const { return m_nDirs; }
  // Ends the walk under way (from its sink): no further entry is looked at or handed on.
  void Stop() { m_bStopped = true; }

 private:
  void WalkDir(const Dir* pParent, const std::string& sName, const std::string& sPath, int iDepth,
               bool bFollow);
  void Entry(const std::shared_ptr<Dir>& pDir, const DirEntry& e, std::string sPath, int iDepth);
  void TakeFile(const std::shared_ptr<Dir>& pDir, const std::string& sName, std::string sPath,
                bool bFollow, bool bKnownRegular);
  bool Matches(const std::vector<std::string>& patterns, const std::string& sName) const;
  void Emit(WalkItem::Kind kind, std::string sPath, const std::string& sReason);

  WalkOptions m_options;
  Sink m_sink;
  size_t m_nDirs = 0;
  bool m_bStopped = false;
  std::set<FileId> m_walked;   // every directory walked
  std::vector<FileId> m_open;  // the directories being walked, outermost first
};

}  // namespace zm
