// The walk's rules, over the file system seam of fsys.h.
#include "walk.h"

#include <algorithm>
#include <cstdint>

#include "glob.h"

namespace zm {
namespace {

const char kExcluded[] = "Excluded";
const char kBrokenLink[] = "Broken symbolic link";
const char kTooDeep[] = "Deeper than --max-depth";
const char kLoop[] = "Directory loop";
const char kWalked[] = "Directory already walked";

// The first eight bytes of a name as a number that orders as they do (a shorter name as if
// padded with NUL, which no name holds).
uint64_t NamePrefix(const std::string& s) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i)
    v = v << 8 | (i < s.size() ? static_cast<unsigned char>(s[i]) : 0u);
  return v;
}

}  // namespace

Walker::Walker(WalkOptions options, Sink sink)
    : m_options(std::move(options)), m_sink(std::move(sink)) {}

void Walker::Emit(WalkItem::Kind kind, std::string sPath, const std::string& sReason) {
  WalkItem item;
  item.kind = kind;
  item.sPath = std::move(sPath);
  item.sReason = sReason;
  m_sink(std::move(item));
}

bool Walker::Matches(const std::vector<std::string>& patterns, const std::string& sName) const {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const std::string& p) { return GlobMatch(p, sName, NamesIgnoreCase()); });
}

void Walker::Add(const std::string& sPath) {
  if (m_bStopped) return;
  EntryInfo info;
  std::string sError;
  if (!StatEntry(nullptr, sPath, false, &info, &sError))
    return Emit(WalkItem::kError, sPath, sError);
  bool bLink = info.type == EntryType::kLink;
  if (bLink) {
    // A link named by the user is followed unless a policy forbids that kind.
    if (!StatEntry(nullptr, sPath, true, &info, &sError))
      return Emit(WalkItem::kSkipped, sPath, kBrokenLink);
    LinkPolicy policy =
        info.type == EntryType::kDirectory ? m_options.dirLinks : m_options.fileLinks;
    if (policy == LinkPolicy::kNever) return Emit(WalkItem::kSkipped, sPath, kReasonLink);
  }
  switch (info.type) {
    case EntryType::kDirectory:
      return WalkDir(nullptr, sPath, sPath, 0, bLink);
    case EntryType::kFile:
      return TakeFile(nullptr, sPath, sPath, bLink, false);
    default:
      return Emit(WalkItem::kSkipped, sPath, kReasonNotRegular);
  }
}

void Walker::WalkDir(const Dir* pParent, const std::string& sName, const std::string& sPath,
                     int iDepth, bool bFollow) {
  auto pDir = std::make_shared<Dir>();  // shared with the files handed on, which open through it
  FileId id;
  std::string sError;
  if (!OpenDir(pParent, sName, bFollow, pDir.get(), &id, &sError))
    return Emit(WalkItem::kError, sPath, sError);
  if (m_walked.count(id)) {
    // Only a followed link or a mount can lead back; a directory named twice is simply done.
    if (iDepth == 0 && !bFollow) return;
    bool bLoop = std::find(m_open.begin(), m_open.end(), id) != m_open.end();
    return Emit(WalkItem::kSkipped, sPath, bLoop ? kLoop : kWalked);
  }
  m_walked.insert(id);
  std::vector<DirEntry> entries;
  if (!ReadDir(pDir.get(), &entries, &sError)) return Emit(WalkItem::kError, sPath, sError);
  ++m_nDirs;
  // Byte order of names. What moves is a key per entry: a name's first eight bytes, where most
  // names differ already, and where it lies.
  std::vector<std::pair<uint64_t, size_t>> order(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) order[i] = {NamePrefix(entries[i].sName), i};
  std::sort(order.begin(), order.end(), [&entries](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first
                              : entries[a.second].sName < entries[b.second].sName;
  });
  m_open.push_back(id);
  for (const auto& key : order) {
    if (m_bStopped) break;
    const DirEntry& e = entries[key.second];
    Entry(pDir, e, JoinPath(sPath, e.sName), iDepth + 1);
  }
  m_open.pop_back();
}

void Walker::Entry(const std::shared_ptr<Dir>& pDir, const DirEntry& e, std::string sPath,
                   int iDepth) {
  const Dir& dir = *pDir;
  if (m_options.iMaxDepth >= 0 && iDepth > m_options.iMaxDepth)
    return Emit(WalkItem::kSkipped, std::move(sPath), kTooDeep);
  if (m_options.excludePath && m_options.excludePath(sPath))
    return Emit(WalkItem::kSkipped, std::move(sPath), kExcluded);
  EntryType type = e.type;
  std::string sError;
  if (!e.bKnown) {
    EntryInfo info;
    if (!StatEntry(&dir, e.sName, false, &info, &sError))
      return Emit(WalkItem::kError, std::move(sPath), sError);
    type = info.type;
  }
  bool bLink = type == EntryType::kLink;
  if (bLink) {
    bool bAny =
        m_options.dirLinks == LinkPolicy::kAlways || m_options.fileLinks == LinkPolicy::kAlways;
    EntryInfo target;
    if (!bAny) return Emit(WalkItem::kSkipped, std::move(sPath), kReasonLink);
    if (!StatEntry(&dir, e.sName, true, &target, &sError))
      return Emit(WalkItem::kSkipped, std::move(sPath), kBrokenLink);
    LinkPolicy policy =
        target.type == EntryType::kDirectory ? m_options.dirLinks : m_options.fileLinks;
    if (policy != LinkPolicy::kAlways)
      return Emit(WalkItem::kSkipped, std::move(sPath), kReasonLink);
    type = target.type;
  }
  switch (type) {
    case EntryType::kDirectory:
      if (Matches(m_options.excludeDir, e.sName))
        return Emit(WalkItem::kSkipped, std::move(sPath), kExcluded);
      if (m_options.iMaxDepth >= 0 && iDepth >= m_options.iMaxDepth)
        return Emit(WalkItem::kSkipped, std::move(sPath), kTooDeep);
      return WalkDir(&dir, e.sName, sPath, iDepth, bLink);
    case EntryType::kFile:
      if ((!m_options.include.empty() && !Matches(m_options.include, e.sName)) ||
          Matches(m_options.exclude, e.sName))
        return Emit(WalkItem::kSkipped, std::move(sPath), kExcluded);
      return TakeFile(pDir, e.sName, std::move(sPath), bLink, !bLink);
    default:
      return Emit(WalkItem::kSkipped, std::move(sPath), kReasonNotRegular);
  }
}

void Walker::TakeFile(const std::shared_ptr<Dir>& pDir, const std::string& sName, std::string sPath,
                      bool bFollow, bool bKnownRegular) {
  WalkItem item;
  item.kind = WalkItem::kFile;
  item.sPath = std::move(sPath);
  item.ref.pDir = pDir;
  item.ref.sName = sName;
  item.ref.bFollow = bFollow;
  item.ref.bKnownRegular = bKnownRegular;
  m_sink(std::move(item));
}

}  // namespace zm
