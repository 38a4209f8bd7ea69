// The front end's file system on POSIX: openat/fdopendir/fstatat relative to directory
// descriptors, so no path grows past what one name needs; /proc/self/fd/N names an open file
// for the library.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "fsys.h"
#include "zm_abi.h"

namespace zm {

namespace {
std::atomic<size_t> g_nHeld{0};
}  // namespace

// Each holds one descriptor from its making to its end: counted, so that a run can keep within
// its limit on open files.
struct Dir::Impl {
  int fd = -1;
  explicit Impl(int fdIn) : fd(fdIn) { ++g_nHeld; }
  ~Impl() {
    close(fd);
    --g_nHeld;
  }
};
struct File::Impl {
  int fd = -1;
  explicit Impl(int fdIn) : fd(fdIn) { ++g_nHeld; }
  ~Impl() {
    close(fd);
    --g_nHeld;
  }
};

size_t HeldDescriptors() { return g_nHeld.load(std::memory_order_relaxed); }

Dir::Dir() = default;
Dir::~Dir() = default;
Dir::Dir(Dir&&) noexcept = default;
Dir& Dir::operator=(Dir&&) noexcept = default;
File::File() = default;
File::~File() = default;
File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;
void File::Close() { m_p.reset(); }
void Dir::Adopt(Impl* p) { m_p.reset(p); }
void File::Adopt(Impl* p) { m_p.reset(p); }

namespace {

int ParentFd(const Dir* pParent) {
  return pParent && pParent->IsOpen() ? pParent->impl()->fd : AT_FDCWD;
}

bool Fail(std::string* psError, int iErr) {
  if (psError) *psError = std::strerror(iErr);
  return false;
}

EntryType TypeOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::kFile;
  if (S_ISDIR(mode)) return EntryType::kDirectory;
  if (S_ISLNK(mode)) return EntryType::kLink;
  return EntryType::kOther;
}

FileId IdOf(const struct stat& st) {
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

// Linux answers ELOOP for O_NOFOLLOW on a link, and some systems EMLINK or EFTYPE: all mean the
// final part is a link, which the caller asked not to follow.
bool IsLinkRefusal(int iErr) { return iErr == ELOOP || iErr == EMLINK; }

// openat relative to the parent, non-blocking and without a controlling terminal (should a FIFO or
// terminal have taken the name's place since it was looked at), refusing a final link unless
// bFollow. The descriptor, or -1 with the cause in *psError.
int OpenAt(const Dir* pParent, const std::string& sName, int iFlags, bool bFollow,
           std::string* psError) {
  iFlags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (bFollow ? 0 : O_NOFOLLOW);
  int fd;
  do fd = openat(ParentFd(pParent), sName.c_str(), iFlags);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (!bFollow && IsLinkRefusal(errno)) {
      if (psError) *psError = kReasonLink;
    } else {
      Fail(psError, errno);
    }
  }
  return fd;
}

// The directory that holds /proc/self/fd's links; empty where there is none.
const std::string& FdDirectory() {
  static const std::string s = [] {
    struct stat st;
    if (stat("/proc/self/fd", &st) == 0 && S_ISDIR(st.st_mode))
      return std::string("/proc/self/fd/");
    if (stat("/dev/fd", &st) == 0 && S_ISDIR(st.st_mode)) return std::string("/dev/fd/");
    return std::string();
  }();
  return s;
}

}  // namespace

bool StatEntry(const Dir* pParent, const std::string& sName, bool bFollow, EntryInfo* pInfo,
               std::string* psError) {
  struct stat st;
  if (fstatat(ParentFd(pParent), sName.c_str(), &st, bFollow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return Fail(psError, errno);
  pInfo->type = TypeOf(st.st_mode);
  pInfo->id = IdOf(st);
  pInfo->nLinks = static_cast<uint32_t>(st.st_nlink);
  return true;
}

bool OpenDir(const Dir* pParent, const std::string& sName, bool bFollow, Dir* pDir, FileId* pId,
             std::string* psError) {
  int fd = OpenAt(pParent, sName, O_RDONLY | O_DIRECTORY, bFollow, psError);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int iErr = errno;
    close(fd);
    return Fail(psError, iErr);
  }
  pDir->Adopt(new Dir::Impl(fd));
  if (pId) *pId = IdOf(st);
  return true;
}

bool ReadDir(Dir* pDir, std::vector<DirEntry>* pEntries, std::string* psError) {
  // fdopendir takes the descriptor over; a duplicate keeps the Dir's own for openat.
  int fd = fcntl(pDir->impl()->fd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return Fail(psError, errno);
  DIR* p = fdopendir(fd);
  if (p == nullptr) {
    int iErr = errno;
    close(fd);
    return Fail(psError, iErr);
  }
  rewinddir(p);
  for (;;) {
    errno = 0;
    dirent* e = readdir(p);
    if (e == nullptr) break;
    if (e->d_name[0] == '.' &&
        (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0')))
      continue;
    DirEntry entry;
    entry.sName = e->d_name;
    switch (e->d_type) {
      case DT_REG:
        entry.type = EntryType::kFile;
        entry.bKnown = true;
        break;
      case DT_DIR:
        entry.type = EntryType::kDirectory;
        entry.bKnown = true;
        break;
      case DT_LNK:
        entry.type = EntryType::kLink;
        entry.bKnown = true;
        break;
      case DT_UNKNOWN:
        break;
      default:  // FIFO, device, socket
        entry.bKnown = true;
        break;
    }
    pEntries->push_back(std::move(entry));
  }
  int iErr = errno;
  closedir(p);
  if (iErr != 0) return Fail(psError, iErr);
  return true;
}

bool OpenFile(const Dir* pParent, const std::string& sName, bool bFollow, bool bKnownRegular,
              File* pFile, std::string* psError) {
  // Its kind first: a FIFO or device is never opened, since opening alone can have effects.
  EntryInfo info;
  if (!bKnownRegular) {
    if (!StatEntry(pParent, sName, bFollow, &info, psError)) return false;
    if (info.type == EntryType::kLink) {
      if (psError) *psError = kReasonLink;
      return false;
    }
    if (info.type == EntryType::kDirectory) return Fail(psError, EISDIR);
    if (info.type != EntryType::kFile) {
      if (psError) *psError = kReasonNotRegular;
      return false;
    }
  }
  int fd = OpenAt(pParent, sName, O_RDONLY, bFollow, psError);
  if (fd < 0) return false;
  return FileFromFd(fd, pFile, psError);
}

bool FileFromFd(int fd, File* pFile, std::string* psError) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int iErr = errno;
    close(fd);
    return Fail(psError, iErr);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    if (psError) *psError = S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : kReasonNotRegular;
    return false;
  }
  pFile->Adopt(new File::Impl(fd));
  pFile->id = IdOf(st);
  pFile->cbSize = static_cast<uint64_t>(st.st_size);
  pFile->nLinks = static_cast<uint32_t>(st.st_nlink);
  return true;
}

int64_t ReadAt(const File& f, uint64_t lOffset, void* pv, size_t cb) {
  size_t done = 0;
  while (done < cb) {
    ssize_t n = pread(f.impl()->fd, static_cast<char*>(pv) + done, cb - done,
                      static_cast<off_t>(lOffset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done ? static_cast<int64_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool CanReadAhead() { return true; }

HeadCache ReadAheadHead(const File& f, size_t cb) {
  // Asked for first: a read that must not wait, tried on a page not in the cache, starts the
  // kernel's own read-ahead there, whose marks read further ahead once the scan comes (on a cold
  // corpus, twice the time of asking first). Asked for, the pages are in the cache already, or
  // under way (EAGAIN); where the file system cannot say (EOPNOTSUPP), the head counts as asked.
  const int fd = f.impl()->fd;
  posix_fadvise(fd, 0, static_cast<off_t>(cb), POSIX_FADV_WILLNEED);
  char b;
  iovec iov = {&b, 1};
  ssize_t n;
  do n = preadv2(fd, &iov, 1, 0, RWF_NOWAIT);
  while (n < 0 && errno == EINTR);
  return n >= 0 ? HeadCache::kCached : HeadCache::kAsked;
}

LibraryPath::~LibraryPath() {
  if (!m_sTempCopy.empty()) unlink(m_sTempCopy.c_str());
}

bool MakeLibraryPath(const File& f, const std::string& sPath, LibraryPath* pOut,
                     std::string* psError) {
  if (!FdDirectory().empty()) {
    pOut->m_sPath = FdDirectory() + std::to_string(f.impl()->fd);
    return true;
  }
  if (sPath.size() <= ZM_MAX_TEXT && sPath.find('\0') == std::string::npos) {
    pOut->m_sPath = sPath;
    return true;
  }
  if (psError) *psError = "Path too long for the library";
  return false;
}

std::string JoinPath(const std::string& sDir, const std::string& sName) {
  if (sDir.empty()) return sName;
  // Separators at the end of a path as the user typed it ("dir//") become one.
  size_t n = sDir.size();
  while (n > 1 && sDir[n - 1] == '/' && sDir[n - 2] == '/') --n;
  std::string s;
  s.reserve(n + 1 + sName.size());  // one allocation for each path of a walk
  s.append(sDir, 0, n);
  if (s.back() != '/') s += '/';
  s += sName;
  return s;
}

bool NamesIgnoreCase() { return false; }

bool IsAbsolutePath(const std::string& sPath) { return !sPath.empty() && sPath[0] == '/'; }

std::string WithoutTrailingSeparators(const std::string& sPath) {
  size_t n = sPath.find_last_not_of('/');
  return n == std::string::npos ? sPath.substr(0, 1) : sPath.substr(0, n + 1);
}

bool FileModified(const std::string& sPath, int64_t* pSeconds) {
  struct stat st;
  if (stat(sPath.c_str(), &st) != 0) return false;
  *pSeconds = static_cast<int64_t>(st.st_mtime);
  return true;
}

int32_t LibraryHandle(const File& f) { return f.impl()->fd; }

int NativeFd(const File& f) { return f.IsOpen() ? f.impl()->fd : -1; }

int NativeFd(const Dir& d) { return d.IsOpen() ? d.impl()->fd : -1; }

bool FileFromDuplicate(int fd, File* pFile, std::string* psError) {
  int fdOwn = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (fdOwn < 0) return Fail(psError, errno);
  return FileFromFd(fdOwn, pFile, psError);
}

bool DirFromFd(int fd, Dir* pDir) {
  if (fd < 0) return false;
  pDir->Adopt(new Dir::Impl(fd));
  return true;
}

void CloseNativeFd(int fd) {
  if (fd >= 0) close(fd);
}

namespace {

// Writes all of cb bytes to fd; false with errno.
bool WriteAll(int fd, const char* pb, size_t cb) {
  for (size_t done = 0; done < cb;) {
    ssize_t w = write(fd, pb + done, cb - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// A file in memory (memfd) holding what read(from) gives until it ends: from's bytes, or bytes
// already in hand.
template <typename Read>
bool PrivateFile(const char* szName, Read read, File* pFile, std::string* psError) {
  int fd = memfd_create(szName, MFD_CLOEXEC);
  if (fd < 0) return Fail(psError, errno);
  char ab[65536];
  for (;;) {
    ssize_t n = read(ab, sizeof ab);
    if (n == 0) break;
    if (n < 0 || !WriteAll(fd, ab, static_cast<size_t>(n))) {
      int iErr = errno;
      close(fd);
      return Fail(psError, iErr);
    }
  }
  return FileFromFd(fd, pFile, psError);
}

}  // namespace

bool StdinFile(File* pFile, std::string* psError) {
  struct stat st;
  if (fstat(0, &st) != 0) return Fail(psError, errno);
  if (S_ISREG(st.st_mode) && lseek(0, 0, SEEK_CUR) == 0) {
    int fd = fcntl(0, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return Fail(psError, errno);
    return FileFromFd(fd, pFile, psError);
  }
  auto fromStdin = [](char* pb, size_t cb) {
    ssize_t n;
    do n = read(0, pb, cb);
    while (n < 0 && errno == EINTR);
    return n;
  };
  return PrivateFile("zebscan-stdin", fromStdin, pFile, psError);
}

bool FileOfBytes(const std::string& sBytes, File* pFile, std::string* psError) {
  size_t at = 0;
  auto fromBytes = [&](char* pb, size_t cb) {
    size_t n = std::min(cb, sBytes.size() - at);
    std::memcpy(pb, sBytes.data() + at, n);
    at += n;
    return static_cast<ssize_t>(n);
  };
  return PrivateFile("zebscan-bytes", fromBytes, pFile, psError);
}

bool MakeDirectories(const std::string& sPath, std::string* psError) {
  for (size_t i = 1; i <= sPath.size(); ++i) {
    if (i < sPath.size() && sPath[i] != '/') continue;
    std::string sPart = sPath.substr(0, i);
    if (mkdir(sPart.c_str(), 0700) == 0) continue;
    int iErr = errno;
    struct stat st;
    if (stat(sPart.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;  // there already
    return Fail(psError, iErr == EEXIST ? ENOTDIR : iErr);
  }
  return true;
}

int MoveNoReplace(const std::string& sFrom, const std::string& sTo, bool* pbCopyInstead,
                  std::string* psError) {
  *pbCopyInstead = false;
  if (renameat2(AT_FDCWD, sFrom.c_str(), AT_FDCWD, sTo.c_str(), RENAME_NOREPLACE) == 0) return 1;
  if (errno == EEXIST) return 0;
  // Another file system, or one that cannot promise not to replace (EINVAL): a copy can.
  *pbCopyInstead = errno == EXDEV || errno == EINVAL || errno == ENOSYS;
  Fail(psError, errno);
  return -1;
}

int CopyToNew(const File& from, const std::string& sTo, std::string* psError) {
  int fd = open(sTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == EEXIST) return 0;
  if (fd < 0) return Fail(psError, errno), -1;
  char ab[65536];
  int iErr = 0;
  for (uint64_t pos = 0; iErr == 0;) {
    int64_t got = ReadAt(from, pos, ab, sizeof ab);
    if (got < 0) iErr = errno ? errno : EIO;
    if (got <= 0) break;
    for (int64_t done = 0; done < got && iErr == 0;) {
      ssize_t w = write(fd, ab + done, static_cast<size_t>(got - done));
      if (w < 0 && errno != EINTR) iErr = errno;
      if (w > 0) done += w;
    }
    pos += static_cast<uint64_t>(got);
  }
  if (close(fd) != 0 && iErr == 0) iErr = errno;
  if (iErr == 0) return 1;
  unlink(sTo.c_str());
  Fail(psError, iErr);
  return -1;
}

bool RemoveFile(const std::string& sPath, std::string* psError) {
  return unlink(sPath.c_str()) == 0 || Fail(psError, errno);
}

int MakePrivateDirectory(const std::string& sPath, std::string* psError) {
  if (mkdir(sPath.c_str(), 0700) == 0) return 1;
  if (errno == EEXIST) return 0;
  Fail(psError, errno);
  return -1;
}

int WriteNewFile(const std::string& sPath, const std::string& sBytes, std::string* psError) {
  int fd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno == EEXIST) return 0;
  if (fd < 0) return Fail(psError, errno), -1;
  int iErr = 0;
  for (size_t done = 0; done < sBytes.size() && iErr == 0;) {
    ssize_t w = write(fd, sBytes.data() + done, sBytes.size() - done);
    if (w < 0 && errno != EINTR) iErr = errno;
    if (w > 0) done += static_cast<size_t>(w);
  }
  if (close(fd) != 0 && iErr == 0) iErr = errno;
  if (iErr == 0) return 1;
  unlink(sPath.c_str());
  Fail(psError, iErr);
  return -1;
}

}  // namespace zm
