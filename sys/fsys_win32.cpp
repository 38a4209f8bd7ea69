// The front end's file system on Windows: wide calls on absolute "\\?\" paths (no MAX_PATH),
// identities from GetFileInformationByHandle, reparse points as links; the library is handed
// the path itself where its code page and 255 characters hold it, else a private copy.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "fsys.h"
#include "platform.h"
#include "utf16.h"
#include "zm_abi.h"

namespace zm {

namespace {
std::atomic<size_t> g_nHeld{0};
}  // namespace

struct Dir::Impl {
  std::wstring wPath;  // absolute, with the "\\?\" prefix
};
struct File::Impl {
  HANDLE h = INVALID_HANDLE_VALUE;
  std::unique_ptr<TempFile> pTemp;  // a private copy (of stdin) that this file is, removed after
  Impl() { ++g_nHeld; }
  ~Impl() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
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

bool Fail(std::string* psError, DWORD dwError) {
  if (psError) *psError = SystemMessage(dwError);
  return false;
}

// The absolute extended-length form of a path as the user gave it.
std::wstring Absolute(const std::string& sPath) {
  std::wstring w = WidenWtf8(sPath);
  if (w.rfind(L"\\\\?\\", 0) == 0) return w;
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0) return w;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, &full[0], nullptr);
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

std::wstring Child(const Dir* pParent, const std::string& sName) {
  if (pParent == nullptr || !pParent->IsOpen()) return Absolute(sName);
  std::wstring w = pParent->impl()->wPath;
  if (!w.empty() && w.back() != L'\\') w += L'\\';
  return w + WidenWtf8(sName);
}

bool IsLinkTag(DWORD dwTag) {
  return dwTag == IO_REPARSE_TAG_SYMLINK || dwTag == IO_REPARSE_TAG_MOUNT_POINT;
}

// Opens for identity and kind only (no data access), so opening has no effect on the object.
HANDLE OpenMeta(const std::wstring& w, bool bFollow) {
  DWORD dwFlags = FILE_FLAG_BACKUP_SEMANTICS | (bFollow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     dwFlags, nullptr);
}

bool Describe(HANDLE h, const std::wstring& w, bool bFollow, EntryInfo* pInfo,
              std::string* psError) {
  BY_HANDLE_FILE_INFORMATION bhfi;
  if (!GetFileInformationByHandle(h, &bhfi)) return Fail(psError, GetLastError());
  pInfo->id = {bhfi.dwVolumeSerialNumber,
               (static_cast<uint64_t>(bhfi.nFileIndexHigh) << 32) | bhfi.nFileIndexLow};
  pInfo->nLinks = bhfi.nNumberOfLinks;
  pInfo->type = EntryType::kOther;
  if (!bFollow && (bhfi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(w.c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
      FindClose(hFind);
      if (IsLinkTag(fd.dwReserved0)) {
        pInfo->type = EntryType::kLink;
        return true;
      }
    }
  }
  if (bhfi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
    pInfo->type = EntryType::kDirectory;
  else if (GetFileType(h) == FILE_TYPE_DISK)
    pInfo->type = EntryType::kFile;
  return true;
}

}  // namespace

namespace {

bool StatPath(const std::wstring& w, bool bFollow, EntryInfo* pInfo, std::string* psError) {
  HANDLE h = OpenMeta(w, bFollow);
  if (h == INVALID_HANDLE_VALUE) return Fail(psError, GetLastError());
  bool bOk = Describe(h, w, bFollow, pInfo, psError);
  CloseHandle(h);
  return bOk;
}

}  // namespace

bool StatEntry(const Dir* pParent, const std::string& sName, bool bFollow, EntryInfo* pInfo,
               std::string* psError) {
  return StatPath(Child(pParent, sName), bFollow, pInfo, psError);
}

bool OpenDir(const Dir* pParent, const std::string& sName, bool bFollow, Dir* pDir, FileId* pId,
             std::string* psError) {
  EntryInfo info;
  std::wstring w = Child(pParent, sName);
  if (!StatPath(w, bFollow, &info, psError)) return false;
  if (info.type == EntryType::kLink) {
    if (psError) *psError = kReasonLink;
    return false;
  }
  if (info.type != EntryType::kDirectory) return Fail(psError, ERROR_DIRECTORY);
  auto* p = new Dir::Impl;
  p->wPath = w;
  pDir->Adopt(p);
  if (pId) *pId = info.id;
  return true;
}

bool ReadDir(Dir* pDir, std::vector<DirEntry>* pEntries, std::string* psError) {
  std::wstring wSpec = pDir->impl()->wPath;
  if (!wSpec.empty() && wSpec.back() != L'\\') wSpec += L'\\';
  wSpec += L'*';
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileExW(wSpec.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                              FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD dw = GetLastError();
    return dw == ERROR_FILE_NOT_FOUND ? true : Fail(psError, dw);
  }
  do {
    if (fd.cFileName[0] == L'.' &&
        (fd.cFileName[1] == 0 || (fd.cFileName[1] == L'.' && fd.cFileName[2] == 0)))
      continue;
    DirEntry e;
    e.sName = NarrowWtf8(fd.cFileName);
    e.bKnown = true;
    if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(fd.dwReserved0))
      e.type = EntryType::kLink;
    else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      e.type = EntryType::kDirectory;
    else
      e.type = EntryType::kFile;  // a listing holds no device names; the open checks again
    pEntries->push_back(std::move(e));
  } while (FindNextFileW(h, &fd));
  DWORD dw = GetLastError();
  FindClose(h);
  return dw == ERROR_NO_MORE_FILES ? true : Fail(psError, dw);
}

bool OpenFile(const Dir* pParent, const std::string& sName, bool bFollow, bool bKnownRegular,
              File* pFile, std::string* psError) {
  std::wstring w = Child(pParent, sName);
  if (!bKnownRegular) {
    EntryInfo info;
    if (!StatPath(w, bFollow, &info, psError)) return false;
    if (info.type == EntryType::kLink) {
      if (psError) *psError = kReasonLink;
      return false;
    }
    if (info.type == EntryType::kDirectory) {
      if (psError) *psError = "Is a directory";
      return false;
    }
    if (info.type != EntryType::kFile) {
      if (psError) *psError = kReasonNotRegular;
      return false;
    }
  }
  HANDLE h =
      CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, bFollow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(psError, GetLastError());
  auto* p = new File::Impl;
  p->h = h;
  pFile->Adopt(p);
  EntryInfo info;
  if (!Describe(h, w, true, &info, psError)) {
    pFile->Close();
    return false;
  }
  if (info.type != EntryType::kFile) {
    pFile->Close();
    if (psError) *psError = kReasonNotRegular;
    return false;
  }
  LARGE_INTEGER li;
  pFile->id = info.id;
  pFile->nLinks = info.nLinks;
  pFile->cbSize = GetFileSizeEx(h, &li) ? static_cast<uint64_t>(li.QuadPart) : 0;
  return true;
}

int64_t ReadAt(const File& f, uint64_t lOffset, void* pv, size_t cb) {
  size_t done = 0;
  while (done < cb) {
    OVERLAPPED ov = {};
    uint64_t pos = lOffset + done;
    ov.Offset = static_cast<DWORD>(pos);
    ov.OffsetHigh = static_cast<DWORD>(pos >> 32);
    DWORD dwWant = static_cast<DWORD>(std::min<size_t>(cb - done, 1u << 30)), dwGot = 0;
    if (!ReadFile(f.impl()->h, static_cast<char*>(pv) + done, dwWant, &dwGot, &ov)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return done ? static_cast<int64_t>(done) : -1;
    }
    if (dwGot == 0) break;
    done += dwGot;
  }
  return static_cast<int64_t>(done);
}

// Windows has no request to read a file into the cache without a buffer to read it into: a cold
// tree is read as the workers come to it.
HeadCache ReadAheadHead(const File&, size_t) { return HeadCache::kCannot; }
bool CanReadAhead() { return false; }

LibraryPath::~LibraryPath() {
  if (!m_sTempCopy.empty()) DeleteFileW(WidenWtf8(m_sTempCopy).c_str());
}

namespace {

// The text in the ANSI code page that the library's calls take, when every character has one.
bool ToAnsi(const std::wstring& w, std::string* pOut) {
  if (w.empty()) return false;
  BOOL bDefault = FALSE;
  int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), static_cast<int>(w.size()),
                              nullptr, 0, nullptr, &bDefault);
  if (n <= 0 || bDefault) return false;
  pOut->assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), static_cast<int>(w.size()),
                      &(*pOut)[0], n, nullptr, &bDefault);
  return !bDefault;
}

}  // namespace

bool MakeLibraryPath(const File& f, const std::string& sPathIn, LibraryPath* pOut,
                     std::string* psError) {
  // A copy of stdin is known to the report by another name than its own.
  const std::string& sPath = f.impl()->pTemp ? f.impl()->pTemp->Path() : sPathIn;
  std::string sAnsi;
  if (ToAnsi(WidenWtf8(sPath), &sAnsi) && sAnsi.size() <= ZM_MAX_TEXT) {
    pOut->m_sPath = sAnsi;
    return true;
  }
  // Too deep, or a name the code page cannot spell: a private copy under a short name.
  wchar_t szDir[MAX_PATH + 1], szTemp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, szDir);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(szDir, L"zsc", 0, szTemp) == 0)
    return Fail(psError, GetLastError());
  pOut->m_sTempCopy = NarrowWtf8(szTemp);
  if (!ToAnsi(szTemp, &sAnsi) || sAnsi.size() > ZM_MAX_TEXT) {
    if (psError) *psError = "No path the library can take";
    return false;
  }
  HANDLE h = CreateFileW(szTemp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return Fail(psError, GetLastError());
  char ab[65536];
  bool bOk = true;
  for (uint64_t pos = 0;;) {
    int64_t got = ReadAt(f, pos, ab, sizeof ab);
    if (got < 0) bOk = false;
    if (got <= 0) break;
    DWORD dwPut = 0;
    if (!WriteFile(h, ab, static_cast<DWORD>(got), &dwPut, nullptr) || dwPut != got) {
      bOk = false;
      break;
    }
    pos += static_cast<uint64_t>(got);
  }
  DWORD dwError = GetLastError();
  CloseHandle(h);
  if (!bOk) return Fail(psError, dwError);
  pOut->m_sPath = sAnsi;
  return true;
}

std::string JoinPath(const std::string& sDir, const std::string& sName) {
  if (sDir.empty()) return sName;
  // Separators at the end of a path as the user typed it ("dir//") become one.
  auto isSep = [](char c) { return c == '\\' || c == '/'; };
  size_t n = sDir.size();
  while (n > 1 && isSep(sDir[n - 1]) && isSep(sDir[n - 2])) --n;
  std::string s;
  s.reserve(n + 1 + sName.size());  // one allocation for each path of a walk
  s.append(sDir, 0, n);
  char chLast = s.back();
  if (chLast != '\\' && chLast != '/' && !(s.size() == 2 && chLast == ':')) {
    // The separator the path already uses, so a walk's paths read as the user wrote the start.
    size_t i = s.find_last_of("\\/");
    s += i == std::string::npos ? '\\' : s[i];
  }
  s += sName;
  return s;
}

bool NamesIgnoreCase() { return true; }

bool IsAbsolutePath(const std::string& sPath) {
  auto sep = [](char ch) { return ch == '\\' || ch == '/'; };
  if (sPath.size() >= 2 && sep(sPath[0]) && sep(sPath[1])) return true;  // UNC, \\?\ .
  return sPath.size() >= 3 && sPath[1] == ':' && sep(sPath[2]);
}

std::string WithoutTrailingSeparators(const std::string& sPath) {
  std::string s = sPath;
  while (s.size() > 1 && (s.back() == '\\' || s.back() == '/') && !(s.size() == 3 && s[1] == ':'))
    s.pop_back();
  return s;
}

bool FileModified(const std::string& sPath, int64_t* pSeconds) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(WidenWtf8(sPath).c_str(), GetFileExInfoStandard, &d)) return false;
  uint64_t t = (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) |
               d.ftLastWriteTime.dwLowDateTime;
  *pSeconds = static_cast<int64_t>(t / 10000000) - 11644473600LL;  // from 1601 to 1970
  return true;
}

// The library's handles are HFILEs: a HANDLE's value, which fits 32 bits on 64-bit Windows too.
int32_t LibraryHandle(const File& f) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(f.impl()->h));
}

int NativeFd(const File&) { return -1; }
bool FileFromFd(int, File*, std::string* psError) {
  if (psError) *psError = "No descriptors are passed here";
  return false;
}

bool FileFromDuplicate(int, File*, std::string* psError) {
  if (psError) *psError = "No descriptors are used here";
  return false;
}

int NativeFd(const Dir&) { return -1; }
bool DirFromFd(int, Dir*) { return false; }
void CloseNativeFd(int) {}  // descriptors are not passed here

namespace {

// A private temporary file (removed when the File closes, or at an interrupt) holding what
// read(from) gives until it ends: standard input's bytes, or bytes already in hand.
template <typename Read>
bool PrivateFile(Read read, File* pFile, std::string* psError) {
  auto pTemp = std::make_unique<TempFile>();
  if (pTemp->Path().empty()) return Fail(psError, GetLastError());
  std::wstring w = WidenWtf8(pTemp->Path());
  HANDLE hOut = CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                            FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (hOut == INVALID_HANDLE_VALUE) return Fail(psError, GetLastError());
  char ab[65536];
  DWORD dwError = 0;
  for (;;) {
    DWORD got = 0, put = 0;
    if (!read(ab, static_cast<DWORD>(sizeof ab), &got, &dwError) || got == 0) break;
    if (!WriteFile(hOut, ab, got, &put, nullptr) || put != got) {
      dwError = GetLastError();
      break;
    }
  }
  CloseHandle(hOut);
  if (dwError != 0) return Fail(psError, dwError);
  if (!OpenFile(nullptr, pTemp->Path(), false, false, pFile, psError)) return false;
  pFile->impl()->pTemp = std::move(pTemp);
  return true;
}

}  // namespace

bool StdinFile(File* pFile, std::string* psError) {
  HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
  auto fromStdin = [hIn](char* pb, DWORD cb, DWORD* pGot, DWORD* pdwError) {
    if (ReadFile(hIn, pb, cb, pGot, nullptr)) return true;
    if (GetLastError() != ERROR_BROKEN_PIPE) *pdwError = GetLastError();  // else a pipe's end
    return false;
  };
  return PrivateFile(fromStdin, pFile, psError);
}

bool FileOfBytes(const std::string& sBytes, File* pFile, std::string* psError) {
  size_t at = 0;
  auto fromBytes = [&](char* pb, DWORD cb, DWORD* pGot, DWORD*) {
    *pGot = static_cast<DWORD>(std::min<size_t>(cb, sBytes.size() - at));
    std::memcpy(pb, sBytes.data() + at, *pGot);
    at += *pGot;
    return true;
  };
  return PrivateFile(fromBytes, pFile, psError);
}

namespace {

// The Windows form of mode 0600 and 0700: a protected DACL (nothing inherited) with one entry,
// full access for the process's user (inherited by what a directory holds).
class OwnerOnly {
 public:
  explicit OwnerOnly(bool bDirectory) {
    HANDLE hToken = nullptr;
    DWORD cb = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) {
      m_dwError = GetLastError();
      return;
    }
    GetTokenInformation(hToken, TokenUser, nullptr, 0, &cb);
    m_user.resize(cb);
    const bool bUser = cb > 0 && GetTokenInformation(hToken, TokenUser, m_user.data(), cb, &cb);
    if (!bUser) m_dwError = GetLastError();
    CloseHandle(hToken);
    if (!bUser) return;
    PSID pSid = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
    m_acl.resize(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(pSid));
    PACL pAcl = reinterpret_cast<PACL>(m_acl.data());
    const DWORD dwInherit = bDirectory ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
    if (!InitializeAcl(pAcl, static_cast<DWORD>(m_acl.size()), ACL_REVISION) ||
        !AddAccessAllowedAceEx(pAcl, ACL_REVISION, dwInherit, FILE_ALL_ACCESS, pSid) ||
        !InitializeSecurityDescriptor(&m_sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&m_sd, TRUE, pAcl, FALSE) ||
        !SetSecurityDescriptorControl(&m_sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
      m_dwError = GetLastError();
      return;
    }
    m_sa = {sizeof m_sa, &m_sd, FALSE};
    m_bOk = true;
  }
  // Null when the descriptor could not be made, with the cause in *psError.
  SECURITY_ATTRIBUTES* Attributes(std::string* psError) {
    if (!m_bOk) Fail(psError, m_dwError);
    return m_bOk ? &m_sa : nullptr;
  }

 private:
  std::vector<BYTE> m_user, m_acl;
  SECURITY_DESCRIPTOR m_sd = {};
  SECURITY_ATTRIBUTES m_sa = {};
  bool m_bOk = false;
  DWORD m_dwError = 0;
};

}  // namespace

bool MakeDirectories(const std::string& sPath, std::string* psError) {
  std::wstring w = Absolute(sPath);
  // Past the "\\?\" prefix and the drive or share: each part below it in turn.
  size_t iStart = w.rfind(L"\\\\?\\UNC\\", 0) == 0 ? w.find(L'\\', w.find(L'\\', 8) + 1) : 7;
  for (size_t i = iStart; i != std::wstring::npos && i <= w.size(); ++i) {
    if (i < w.size() && w[i] != L'\\') continue;
    std::wstring wPart = w.substr(0, i);
    if (CreateDirectoryW(wPart.c_str(), nullptr)) continue;
    DWORD dw = GetLastError();
    DWORD dwAttr = GetFileAttributesW(wPart.c_str());
    if (dwAttr != INVALID_FILE_ATTRIBUTES && (dwAttr & FILE_ATTRIBUTE_DIRECTORY)) continue;
    return Fail(psError, dw == ERROR_ALREADY_EXISTS ? ERROR_DIRECTORY : dw);
  }
  return true;
}

int MoveNoReplace(const std::string& sFrom, const std::string& sTo, bool* pbCopyInstead,
                  std::string* psError) {
  *pbCopyInstead = false;
  if (MoveFileExW(Absolute(sFrom).c_str(), Absolute(sTo).c_str(), 0)) return 1;
  DWORD dw = GetLastError();
  if (dw == ERROR_ALREADY_EXISTS || dw == ERROR_FILE_EXISTS) return 0;
  *pbCopyInstead = dw == ERROR_NOT_SAME_DEVICE;
  Fail(psError, dw);
  return -1;
}

int CopyToNew(const File& from, const std::string& sTo, std::string* psError) {
  std::wstring w = Absolute(sTo);
  OwnerOnly owner(false);  // as POSIX's 0600
  SECURITY_ATTRIBUTES* pSa = owner.Attributes(psError);
  if (pSa == nullptr) return -1;
  HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, 0, pSa, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD dw = GetLastError();
    if (dw == ERROR_FILE_EXISTS || dw == ERROR_ALREADY_EXISTS) return 0;
    return Fail(psError, dw), -1;
  }
  char ab[65536];
  DWORD dwError = 0;
  for (uint64_t pos = 0;;) {
    int64_t got = ReadAt(from, pos, ab, sizeof ab);
    if (got < 0) dwError = GetLastError() ? GetLastError() : ERROR_READ_FAULT;
    if (got <= 0) break;
    DWORD put = 0;
    if (!WriteFile(h, ab, static_cast<DWORD>(got), &put, nullptr) || put != got) {
      dwError = GetLastError();
      break;
    }
    pos += static_cast<uint64_t>(got);
  }
  CloseHandle(h);
  if (dwError == 0) return 1;
  DeleteFileW(w.c_str());
  Fail(psError, dwError);
  return -1;
}

bool RemoveFile(const std::string& sPath, std::string* psError) {
  return DeleteFileW(Absolute(sPath).c_str()) || Fail(psError, GetLastError());
}

int MakePrivateDirectory(const std::string& sPath, std::string* psError) {
  OwnerOnly owner(true);
  SECURITY_ATTRIBUTES* pSa = owner.Attributes(psError);
  if (pSa == nullptr) return -1;
  if (CreateDirectoryW(Absolute(sPath).c_str(), pSa)) return 1;
  const DWORD dw = GetLastError();
  if (dw == ERROR_ALREADY_EXISTS || dw == ERROR_FILE_EXISTS) return 0;
  Fail(psError, dw);
  return -1;
}

int WriteNewFile(const std::string& sPath, const std::string& sBytes, std::string* psError) {
  OwnerOnly owner(false);
  SECURITY_ATTRIBUTES* pSa = owner.Attributes(psError);
  if (pSa == nullptr) return -1;
  const std::wstring w = Absolute(sPath);
  // CREATE_NEW never opens what is there, a link included.
  HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE, 0, pSa, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD dw = GetLastError();
    if (dw == ERROR_FILE_EXISTS || dw == ERROR_ALREADY_EXISTS) return 0;
    return Fail(psError, dw), -1;
  }
  DWORD dwError = 0;
  for (size_t done = 0; done < sBytes.size() && dwError == 0;) {
    const DWORD cb = static_cast<DWORD>(std::min<size_t>(sBytes.size() - done, 1u << 20));
    DWORD put = 0;
    if (!WriteFile(h, sBytes.data() + done, cb, &put, nullptr) || put == 0)
      dwError = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    done += put;
  }
  CloseHandle(h);
  if (dwError == 0) return 1;
  DeleteFileW(w.c_str());
  Fail(psError, dwError);
  return -1;
}

}  // namespace zm
