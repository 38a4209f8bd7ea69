// The front ends' platform calls on Windows: the UTF-16 command line, the console (its text as
// characters, NUL told from it), the console's interrupt handler for temporary files, zebscan's
// inputs and log, and the on-disk spelling of a listed name (the file system ignores case, so the
// line names exactly one file).
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>

#include "platform.h"
#include "utf16.h"

namespace zm {
namespace {

constexpr int kChildSlots = 1024;
// Temporary files that an interrupt removes: a library walk's list and a copy of stdin at once.
constexpr int kTempSlots = 4;
wchar_t g_aszInterruptPaths[kTempSlots][MAX_PATH + 1];
std::atomic<bool> g_abSlotTaken[kTempSlots];
std::atomic<intptr_t> g_aChildren[kChildSlots];
std::atomic<int> g_nGuards{0};

BOOL WINAPI OnInterrupt(DWORD dwEvent) {
  // Only services are sent a user's logoff, which does not end them: nothing to clean up.
  if (dwEvent == CTRL_LOGOFF_EVENT) return FALSE;
  for (const wchar_t* sz : g_aszInterruptPaths)
    if (sz[0] != L'\0') DeleteFileW(sz);
  for (auto& child : g_aChildren) {
    intptr_t h = child.load();
    if (h) TerminateProcess(reinterpret_cast<HANDLE>(h), 1);
  }
  return FALSE;  // the default handler then ends the process
}

HANDLE HandleOf(std::FILE* p) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(p))); }

bool IsConsole(HANDLE h) {
  DWORD dwMode;
  return GetFileType(h) == FILE_TYPE_CHAR && GetConsoleMode(h, &dwMode);
}

// Whether a standard stream is a console, asked once: asked at every write, it would cost two
// calls into the system a line.
bool IsConsoleStream(std::FILE* p) {
  static const bool s_bOut = IsConsole(HandleOf(stdout)), s_bErr = IsConsole(HandleOf(stderr));
  return p == stdout ? s_bOut : p == stderr ? s_bErr : false;
}

// At most this many characters a WriteConsoleW: older consoles refuse some 64 KiB at once.
constexpr size_t kConsoleChunk = 8192;

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int n = 0;
  LPWSTR* ppw = CommandLineToArgvW(GetCommandLineW(), &n);
  if (ppw == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < n; ++i)
    args.push_back(std::wcscmp(ppw[i], L"/?") == 0 ? "--help" : NarrowWtf8(ppw[i]));
  LocalFree(ppw);
  return args;
}

const char* PathSeparators() { return "\\/"; }

std::string ExecutablePath() {
  wchar_t sz[32768];
  DWORD n = GetModuleFileNameW(nullptr, sz, 32768);
  return n == 0 || n >= 32768 ? std::string() : NarrowWtf8(std::wstring(sz, n));
}

std::string ProgramFileName(const std::string& sName) { return sName + ".exe"; }

std::string ExecutableDirectory() {
  char sz[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, sz, sizeof sz);
  if (n == 0 || n >= sizeof sz) return {};
  std::string s(sz, n);
  return s.substr(0, s.find_last_of("\\/") + 1);
}

// _isatty answers true for any character device, NUL among them.
bool IsTerminal(std::FILE* p) { return IsConsole(HandleOf(p)); }

bool SameFile(std::FILE* pA, std::FILE* pB) {
  HANDLE a = HandleOf(pA), b = HandleOf(pB);
  if (a == b) return true;
  // Two consoles are the one the user sees; NUL is no console and shows nothing.
  const bool bConsoleA = IsConsole(a), bConsoleB = IsConsole(b);
  if (bConsoleA || bConsoleB) return bConsoleA && bConsoleB;
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return GetFileInformationByHandle(a, &ia) && GetFileInformationByHandle(b, &ib) &&
         ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

void SetUpStandardOutput() {
  if (!IsConsoleStream(stdout)) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

bool WriteText(std::FILE* p, const std::string& s) {
  if (!IsConsoleStream(p))
    return std::fwrite(s.data(), 1, s.size(), p) == s.size() && !std::ferror(p);
  std::fflush(p);  // what the C runtime holds goes first
  // The console's own line end: a bare LF does not return the cursor everywhere.
  const std::wstring wLines = WidenWtf8(PlatformLineEnds(s));
  const HANDLE h = HandleOf(p);
  for (size_t at = 0; at < wLines.size();) {
    size_t cch = std::min(kConsoleChunk, wLines.size() - at);
    if (cch < wLines.size() - at && wLines[at + cch - 1] >= 0xD800 && wLines[at + cch - 1] < 0xDC00)
      --cch;  // a surrogate pair in one piece
    DWORD cchDone = 0;
    if (!WriteConsoleW(h, wLines.data() + at, static_cast<DWORD>(cch), &cchDone, nullptr) ||
        cchDone == 0) {
      errno = EIO;
      return false;
    }
    at += cchDone;
  }
  return true;
}

std::string PlatformLineEnds(const std::string& s) {
  std::string r;
  r.reserve(s.size() + s.size() / 16);
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) r += '\r';
    r += s[i];
  }
  return r;
}

unsigned UsableCores() {
  DWORD_PTR process = 0, system = 0;
  unsigned n = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
    for (; process; process &= process - 1) ++n;
  if (n == 0) {
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    n = si.dwNumberOfProcessors;
  }
  return n ? n : 1;
}

// Handles and processes are limited by memory alone here.
ProcessRoom RoomToGrow() { return ProcessRoom(); }

InterruptGuard::InterruptGuard() {
  if (g_nGuards++ == 0) SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

InterruptGuard::~InterruptGuard() {
  if (--g_nGuards == 0) SetConsoleCtrlHandler(OnInterrupt, FALSE);
}

bool WatchChild(intptr_t child) {
  for (auto& slot : g_aChildren) {
    intptr_t expected = 0;
    if (slot.compare_exchange_strong(expected, child)) return true;
  }
  return false;
}

void UnwatchChild(intptr_t child) {
  for (auto& slot : g_aChildren) {
    intptr_t expected = child;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

TempFile::TempFile() {
  wchar_t szDir[MAX_PATH + 1];
  DWORD cch = GetTempPathW(MAX_PATH + 1, szDir);
  if (cch == 0 || cch > MAX_PATH) return;
  for (int i = 0; i < kTempSlots && m_iSlot < 0; ++i)
    if (!g_abSlotTaken[i].exchange(true)) m_iSlot = i;
  if (m_iSlot < 0) return;
  // The handler is in place (the guard) and the name goes straight where it looks, so an
  // interrupt during the creation finds the file (or nothing yet).
  wchar_t* pszPath = g_aszInterruptPaths[m_iSlot];
  if (GetTempFileNameW(szDir, L"zsc", 0, pszPath) == 0) {
    pszPath[0] = L'\0';
    g_abSlotTaken[m_iSlot] = false;
    m_iSlot = -1;
    return;
  }
  m_sPath = NarrowWtf8(pszPath);
}

TempFile::~TempFile() {
  if (m_sPath.empty()) return;
  DeleteFileW(g_aszInterruptPaths[m_iSlot]);  // while still watched
  g_aszInterruptPaths[m_iSlot][0] = L'\0';
  g_abSlotTaken[m_iSlot] = false;
}

int OpenInput(const std::string& sPath, std::string* psError) {
  if (sPath == "-") {
    _setmode(0, _O_BINARY);
    return 0;
  }
  int fd = _wopen(WidenWtf8(sPath).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) *psError = std::strerror(errno);
  return fd;
}

bool IsRegularInput(int fd) {
  return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) == FILE_TYPE_DISK;
}

long ReadInput(int fd, void* pv, size_t cb, std::string* psError) {
  int n = _read(fd, pv, static_cast<unsigned>(std::min<size_t>(cb, 1u << 30)));
  // A pipe whose writer has gone ends the input, as on POSIX.
  if (n < 0 && GetLastError() == ERROR_BROKEN_PIPE) return 0;
  if (n < 0) *psError = std::strerror(errno);
  return n;
}

void CloseInput(int fd) {
  if (fd > 2) _close(fd);
}

std::FILE* OpenAppend(const std::string& sPath, std::string* psError) {
  std::FILE* p = _wfopen(WidenWtf8(sPath).c_str(), L"at");  // "\n" written as CR LF
  if (p == nullptr) *psError = std::strerror(errno);
  return p;
}

void KeepFromChildren(std::FILE* p) {
  SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(p))), HANDLE_FLAG_INHERIT,
                       0);
}

std::vector<std::string> ResolveListedPath(const std::string& line) {
  WIN32_FIND_DATAA fd;
  HANDLE h = FindFirstFileA(line.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return {};
  FindClose(h);
  if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return {};
  size_t iSep = line.find_last_of("\\/");
  return {(iSep == std::string::npos ? std::string() : line.substr(0, iSep + 1)) + fd.cFileName};
}

}  // namespace zm
