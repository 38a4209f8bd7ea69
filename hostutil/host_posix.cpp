// The platform seam on POSIX: a small layer that gives the library the Win32 contract it was
// written against (handles, -1 failures, zero-filled blocks, directory search with "." and ".."
// and Win32 wildcards). There are no drive letters, no short names, no Windows directory and no
// window system here: those calls answer "none".
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host.h"

namespace {

int OpenRetrying(const char* szPath, int iFlags, mode_t mode = 0) {
  int fd;
  do fd = ::open(szPath, iFlags | O_CLOEXEC | O_NOCTTY, mode);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// The object a path names, links followed, held for queries only (O_PATH): no device's open
// runs, no FIFO waits or wakes a waiting peer, nothing changes. -1 when there is none.
int Locate(const char* szPath, struct stat* pst) {
  int fd = OpenRetrying(szPath, O_PATH);
  if (fd >= 0 && fstat(fd, pst) != 0) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

// The descriptor that a path names when it is one of this process's own, /proc/self/fd/N or
// /dev/fd/N (as a caller that holds the file open passes it), else -1. Its kind is then known
// from the descriptor itself, without the open that Locate makes.
int OwnDescriptor(const char* szPath) {
  static const char* const kPrefixes[] = {"/proc/self/fd/", "/dev/fd/"};
  const char* pszDigits = nullptr;
  for (const char* szPrefix : kPrefixes) {
    size_t n = strlen(szPrefix);
    if (strncmp(szPath, szPrefix, n) == 0) pszDigits = szPath + n;
  }
  // Digits as the kernel takes them: no sign, no leading zero.
  if (pszDigits == nullptr || *pszDigits == '\0' || (pszDigits[0] == '0' && pszDigits[1] != '\0'))
    return -1;
  int fd = 0;
  for (const char* pc = pszDigits; *pc != '\0'; ++pc) {
    if (*pc < '0' || *pc > '9' || fd > 99999999) return -1;
    fd = fd * 10 + (*pc - '0');
  }
  return fd;
}

// Win32 never writes to a read-only file, whatever the caller's rights; here a file whose owner
// may not write to it is read-only, for root as well.
bool Writable(const struct stat& st) { return (st.st_mode & S_IWUSR) != 0; }

// Opens for reading or writing the regular file that Locate found: through /proc/self/fd, which
// names that very file whatever the path names by now. Without /proc the path is opened again
// (non-blocking, so nothing can wait) and must still name the same regular file.
int Reopen(int fdPath, const char* szPath, const struct stat& st, int iAccess) {
  char szProc[32];
  snprintf(szProc, sizeof szProc, "/proc/self/fd/%d", fdPath);
  int fd = OpenRetrying(szProc, iAccess);
  if (fd >= 0 || errno != ENOENT) return fd;
  fd = OpenRetrying(szPath, iAccess | O_NONBLOCK);
  struct stat stNow;
  if (fd >= 0 && (fstat(fd, &stNow) != 0 || !S_ISREG(stNow.st_mode) || stNow.st_dev != st.st_dev ||
                  stNow.st_ino != st.st_ino)) {
    ::close(fd);
    fd = -1;
  }
  return fd;
}

// Only regular files open: Win32 never opens a directory as a file, and a FIFO or a device such
// as /dev/zero would make a scan wait or read without end. Their kind is known before any open
// that could have an effect.
int32_t Open(const char* szPath, int32_t iMode) {
  static const int kAccess[4] = {O_RDONLY, O_WRONLY, O_RDWR, O_RDONLY};
  const int iAccess = kAccess[iMode & 3];
  if (szPath == nullptr) return ZM_HFILE_ERROR;
  struct stat st;
  const int fdOwn = OwnDescriptor(szPath);
  int fdPath = fdOwn >= 0 ? (fstat(fdOwn, &st) == 0 ? fdOwn : -1) : Locate(szPath, &st);
  if (fdPath < 0) return ZM_HFILE_ERROR;
  int fd = -1;
  if (S_ISREG(st.st_mode) && (iAccess == O_RDONLY || Writable(st)))
    fd = Reopen(fdPath, szPath, st, iAccess);
  if (fdPath != fdOwn) ::close(fdPath);
  return fd >= 0 ? fd : ZM_HFILE_ERROR;
}

// _lcreat: a new file, or an existing writable regular file emptied. A copy (hModel open) gets
// the permission bits of its source, never wider: a new file is made with them (less the umask);
// an existing one that grants more is set to them before it is emptied, or refused when it
// cannot be.
int32_t Create(const char* szPath, int32_t, int32_t hModel) {
  if (szPath == nullptr) return ZM_HFILE_ERROR;
  struct stat stModel;
  const bool bModel = hModel != ZM_HFILE_ERROR && fstat(hModel, &stModel) == 0;
  const mode_t mode = bModel ? (stModel.st_mode & 0777) : 0666;
  struct stat st;
  int fdPath = Locate(szPath, &st);
  if (fdPath < 0) {
    if (errno != ENOENT) return ZM_HFILE_ERROR;
    // Exclusive: whatever appeared meanwhile, a dangling link included, is left alone.
    int fd = OpenRetrying(szPath, O_RDWR | O_CREAT | O_EXCL, mode);
    return fd >= 0 ? fd : ZM_HFILE_ERROR;
  }
  int fd = -1;
  if (S_ISREG(st.st_mode) && Writable(st)) fd = Reopen(fdPath, szPath, st, O_RDWR);
  ::close(fdPath);
  if (fd < 0) return ZM_HFILE_ERROR;
  const bool bWider = bModel && (st.st_mode & 0777 & ~mode) != 0;
  if ((bWider && fchmod(fd, mode) != 0) || ftruncate(fd, 0) != 0) {
    ::close(fd);
    return ZM_HFILE_ERROR;
  }
  return fd;
}

// Like _lread/_lwrite: the whole count unless the end of the file (or an error) comes first.
uint32_t Read(int32_t hFile, void* pvBuffer, uint32_t cb) {
  uint32_t done = 0;
  while (done < cb) {
    ssize_t n = ::read(hFile, static_cast<char*>(pvBuffer) + done, cb - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done ? done : ZM_IO_ERROR;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}
uint32_t Write(int32_t hFile, const void* pvBuffer, uint32_t cb) {
  uint32_t done = 0;
  while (done < cb) {
    ssize_t n = ::write(hFile, static_cast<const char*>(pvBuffer) + done, cb - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return ZM_IO_ERROR;
    done += static_cast<uint32_t>(n);
  }
  return done;
}
int32_t Seek(int32_t hFile, int32_t lOffset, int32_t iOrigin) {
  static const int kWhence[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
  if (iOrigin < 0 || iOrigin > 2) return -1;
  off_t r = ::lseek(hFile, lOffset, kWhence[iOrigin]);
  return (r < 0 || r > 0x7FFFFFFF) ? -1 : static_cast<int32_t>(r);
}
uint32_t ReadAt(int32_t hFile, uint32_t lOffset, void* pvBuffer, uint32_t cb) {
  if (lOffset > 0x7FFFFFFFu) return ZM_SEEK_ERROR;
  uint32_t done = 0;
  while (done < cb) {
    ssize_t n = ::pread(hFile, static_cast<char*>(pvBuffer) + done, cb - done,
                        static_cast<off_t>(lOffset) + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ESPIPE) return ZM_SEEK_ERROR;
    if (n < 0) return done ? done : ZM_IO_ERROR;
    if (n == 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}
int32_t Close(int32_t hFile) { return ::close(hFile) == 0 ? 0 : ZM_HFILE_ERROR; }

void* Commit(uint32_t cb) { return cb ? calloc(1, cb) : nullptr; }
int32_t Release(void* pv) {
  if (pv == nullptr) return 0;
  free(pv);
  return 1;
}
void* GAlloc(uint32_t cb) { return malloc(cb ? cb : 1); }
void* GLock(void* h) { return h; }
int32_t GUnlock(void*) { return 0; }
void* GFree(void* h) {
  free(h);
  return nullptr;
}

uint32_t GetCwd(uint32_t cch, char* sz) {
  char szCwd[4096];
  if (getcwd(szCwd, sizeof szCwd) == nullptr) return 0;
  size_t len = strlen(szCwd);
  if (sz == nullptr || cch <= len) return static_cast<uint32_t>(len + 1);
  memcpy(sz, szCwd, len + 1);
  return static_cast<uint32_t>(len);
}
int32_t SetCwd(const char* sz) { return sz != nullptr && chdir(sz) == 0 ? 1 : 0; }
int32_t SetDrive(char) { return 0; }
uint32_t DriveType(const char*) { return ZM_DRIVE_NO_ROOT_DIR; }
uint32_t WinDir(char*, uint32_t) { return 0; }
// No short names: an existing path is its own short form.
uint32_t ShortPath(const char* szLong, char* szShort, uint32_t cch) {
  struct stat st;
  if (szLong == nullptr || stat(szLong, &st) != 0) return 0;
  size_t len = strlen(szLong);
  if (szShort == nullptr || cch <= len) return static_cast<uint32_t>(len + 1);
  memmove(szShort, szLong, len + 1);
  return static_cast<uint32_t>(len);
}

// One open search: the directory stream and the name pattern of the spec's last component.
struct Search {
  DIR* pDir;
  int fdDir;
  char szPattern[ZM_MAX_PATH];
};

// A character of a name: a whole UTF-8 sequence, or one byte that begins none (such a byte is a
// character of its own, kept apart from every code point by kRawByte). Returns its length in
// bytes (0 at the NUL) and the character in *pc.
constexpr uint32_t kRawByte = 0x80000000u;
size_t NextChar(const char* sz, uint32_t* pc) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(sz);
  uint32_t c = p[0];
  *pc = c;
  if (c < 0x80) return c ? 1 : 0;
  // Sequence length and the range of its second byte: no overlong forms, no surrogates, nothing
  // above U+10FFFF.
  size_t n;
  unsigned char bLow = 0x80, bHigh = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) bLow = 0xA0;
    if (c == 0xED) bHigh = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) bLow = 0x90;
    if (c == 0xF4) bHigh = 0x8F;
  } else {
    *pc = kRawByte | c;
    return 1;
  }
  uint32_t cp = c & (0x7Fu >> n);
  for (size_t i = 1; i < n; ++i) {
    unsigned char b = p[i];
    bool bOk = i == 1 ? (b >= bLow && b <= bHigh) : (b >= 0x80 && b <= 0xBF);
    if (!bOk) {
      *pc = kRawByte | c;
      return 1;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  *pc = cp;
  return n;
}

// Upper case as Windows folds file names, for a documented subset: ASCII, Latin-1, Latin
// Extended-A, basic Greek and Cyrillic. Every other character (and every raw byte) is its own.
uint32_t FoldChar(uint32_t c) {
  // Ranges of small letters: [first, last] and what to subtract; step 2 marks alternating pairs
  // (capital, small) in which only the small letters (first, first + 2, ...) move.
  static const struct {
    uint16_t wFirst, wLast, wMinus, wStep;
  } kRanges[] = {
      {0x0061, 0x007A, 0x20, 1}, {0x00E0, 0x00F6, 0x20, 1}, {0x00F8, 0x00FE, 0x20, 1},
      {0x0101, 0x012F, 1, 2},    {0x0133, 0x0137, 1, 2},    {0x013A, 0x0148, 1, 2},
      {0x014B, 0x0177, 1, 2},    {0x017A, 0x017E, 1, 2},    {0x03AC, 0x03AC, 0x26, 1},
      {0x03AD, 0x03AF, 0x25, 1}, {0x03B1, 0x03C1, 0x20, 1}, {0x03C3, 0x03CB, 0x20, 1},
      {0x03CC, 0x03CC, 0x40, 1}, {0x03CD, 0x03CE, 0x3F, 1}, {0x0430, 0x044F, 0x20, 1},
      {0x0450, 0x045F, 0x50, 1}, {0x0461, 0x0481, 1, 2},    {0x048B, 0x04BF, 1, 2},
  };
  if (c == 0x00FF) return 0x0178;  // ÿ: its capital lies in Latin Extended-A
  for (const auto& r : kRanges)
    if (c >= r.wFirst && c <= r.wLast && (c - r.wFirst) % r.wStep == 0) return c - r.wMinus;
  return c;
}

// Win32 wildcards over characters, without regard to case (FoldChar): '*' any run of characters,
// '?' exactly one. Once the name is used up, what is left of the pattern matches when it holds
// only '*' and '.': so "x.*" also matches "x", and "*.*" every name.
int Match(const char* p, const char* s) {
  const char* pStar = nullptr;
  const char* sStar = nullptr;
  while (*s) {
    uint32_t cp, cs;
    size_t np = NextChar(p, &cp), ns = NextChar(s, &cs);
    if (cp == '*') {
      pStar = ++p;
      sStar = s;
    } else if (np && (cp == '?' || FoldChar(cp) == FoldChar(cs))) {
      p += np;
      s += ns;
    } else if (pStar) {
      // The last star takes one more character of the name.
      sStar += NextChar(sStar, &cs);
      p = pStar;
      s = sStar;
    } else {
      return 0;
    }
  }
  while (*p == '*' || *p == '.') ++p;
  return *p == '\0';
}

int NextEntry(Search* pS, ZmFindData* pFind) {
  for (;;) {
    struct dirent* e = readdir(pS->pDir);
    if (e == nullptr) return 0;
    size_t len = strlen(e->d_name);
    if (len >= ZM_MAX_PATH || !Match(pS->szPattern, e->d_name)) continue;
    // The entry's type comes with it on most file systems; links and the rest need a stat.
    bool bDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat st;
      bDir = fstatat(pS->fdDir, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    pFind->dwAttributes = bDir ? ZM_ATTR_DIRECTORY : 0;
    memcpy(pFind->szName, e->d_name, len + 1);
    return 1;
  }
}

intptr_t FindFirst(const char* szSpec, ZmFindData* pFind) {
  if (szSpec == nullptr) return ZM_FIND_NONE;
  size_t len = strlen(szSpec);
  if (len >= ZM_MAX_PATH) return ZM_FIND_NONE;
  const char* pSlash = strrchr(szSpec, '/');
  const char* pPattern = pSlash ? pSlash + 1 : szSpec;
  if (*pPattern == '\0') return ZM_FIND_NONE;
  char szDir[ZM_MAX_PATH];
  if (pSlash == nullptr) {
    strcpy(szDir, ".");
  } else if (pSlash == szSpec) {
    strcpy(szDir, "/");
  } else {
    memcpy(szDir, szSpec, static_cast<size_t>(pSlash - szSpec));
    szDir[pSlash - szSpec] = '\0';
  }
  Search* pS = static_cast<Search*>(calloc(1, sizeof(Search)));
  if (pS == nullptr) return ZM_FIND_NONE;
  strcpy(pS->szPattern, pPattern);
  pS->pDir = opendir(szDir);
  if (pS->pDir == nullptr) {
    free(pS);
    return ZM_FIND_NONE;
  }
  pS->fdDir = dirfd(pS->pDir);
  if (!NextEntry(pS, pFind)) {
    closedir(pS->pDir);
    free(pS);
    return ZM_FIND_NONE;
  }
  return reinterpret_cast<intptr_t>(pS);
}
int32_t FindNext(intptr_t hFind, ZmFindData* pFind) {
  if (hFind == ZM_FIND_NONE || hFind == 0) return 0;
  return NextEntry(reinterpret_cast<Search*>(hFind), pFind);
}
int32_t FindEnd(intptr_t hFind) {
  if (hFind == ZM_FIND_NONE || hFind == 0) return 0;
  Search* pS = reinterpret_cast<Search*>(hFind);
  closedir(pS->pDir);
  free(pS);
  return 1;
}

// POSIX names are case-sensitive bytes in any encoding: only equal bytes are one name.
int32_t SameName(const char* szA, const char* szB) { return strcmp(szA, szB) == 0 ? 1 : 0; }

int32_t SameFile(const char* szA, const char* szB) {
  struct stat a, b;
  if (szA == nullptr || szB == nullptr || stat(szA, &a) != 0 || stat(szB, &b) != 0) return 0;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int32_t Help(uint32_t, const char*, uint32_t, uint32_t) { return 0; }
int32_t ActiveWindow() { return 0; }

// The table in the order of ZmHostCalls.
// clang-format off
constexpr ZmHostCalls kCalls = {
    Open,   Create,    Read,      Write,    Seek,    ReadAt, Close,  Commit,   Release,
    GAlloc, GLock,     GUnlock,   GFree,    GetCwd,  SetCwd, SetDrive, DriveType,
    WinDir, ShortPath, FindFirst, FindNext, FindEnd, SameName,  SameFile, Help,
    ActiveWindow};
// clang-format on

}  // namespace

const ZmHostCalls g_zmHostPlatform = kCalls;
ZmHostCalls g_zmHost = kCalls;

const char g_chPathSep = '/';
int iIsPathSep(char ch) { return ch == '/'; }
int iHasDriveLetters(void) { return 0; }
