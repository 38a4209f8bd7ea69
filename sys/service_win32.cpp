// A service's process on Windows: a manual-reset stop event that every wait of the sockets watches,
// set by a console control handler (Ctrl-C, the console's close) or RequestStop; a private
// directory under the user's temporary directory; stream files deleted once scanned. There is no
// detaching from the console and no reopening signal.
#include <windows.h>

#include <atomic>

#include "service.h"
#include "utf16.h"

namespace zm {
namespace {

HANDLE g_hStop = nullptr;  // manual-reset: once set, every wait that watches it sees it
std::atomic<bool> g_bStop{false};

bool Fail(std::string* psError, const std::string& sWhat, unsigned long dwError) {
  if (psError) *psError = sWhat + ": " + SystemMessage(dwError);
  return false;
}

BOOL WINAPI OnConsole(DWORD) {
  RequestStop();
  return TRUE;  // handled: the service loop ends and cleans up
}

}  // namespace

bool InstallSignalHandlers(std::string* psError) {
  if (g_hStop == nullptr) g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_hStop == nullptr) return Fail(psError, "CreateEvent", GetLastError());
  SetConsoleCtrlHandler(OnConsole, TRUE);
  return true;
}

void RequestStop() {
  g_bStop = true;
  if (g_hStop) SetEvent(g_hStop);
}

bool StopRequested() { return g_bStop; }
intptr_t StopWaitable() { return reinterpret_cast<intptr_t>(g_hStop); }
intptr_t ReopenWaitable() { return -1; }
void TakeReopen() {}

bool MakePrivateDirectory(std::string* psPath, std::string* psError) {
  wchar_t szTemp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, szTemp);
  if (n == 0 || n > MAX_PATH) return Fail(psError, "the temporary directory", GetLastError());
  for (unsigned i = 0; i < 100; ++i) {
    std::wstring w = std::wstring(szTemp) + L"zebmacrod-" + std::to_wstring(GetCurrentProcessId()) +
                     L"-" + std::to_wstring(i);
    // The user's own temporary directory: its access rules are the user's, and inherited.
    if (CreateDirectoryW(w.c_str(), nullptr)) {
      *psPath = NarrowWtf8(w);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return Fail(psError, "the private directory", GetLastError());
}

void RemovePrivateDirectory(const std::string& sPath) {
  if (sPath.empty()) return;
  std::wstring w = WidenWtf8(sPath);
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((w + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do
      if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteFileW((w + L"\\" + fd.cFileName).c_str());
    while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(w.c_str());
}

struct StreamFile::Impl {
  HANDLE h = INVALID_HANDLE_VALUE;
  std::string sPath;
  ~Impl() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!sPath.empty()) DeleteFileW(WidenWtf8(sPath).c_str());
  }
};

StreamFile::StreamFile() : m_p(new Impl) {}
StreamFile::~StreamFile() = default;

bool StreamFile::Create(const std::string& sDirectory, std::string* psError) {
  static std::atomic<unsigned> s_n{0};
  std::string sPath = sDirectory + "\\stream-" + std::to_string(++s_n);
  m_p->h = CreateFileW(WidenWtf8(sPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                       CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (m_p->h == INVALID_HANDLE_VALUE)
    return Fail(psError, "Cannot make a file for the stream", GetLastError());
  m_p->sPath = sPath;
  return true;
}

bool StreamFile::Write(const char* pb, size_t cb, std::string* psError) {
  while (cb > 0) {
    DWORD n = 0;
    DWORD want = cb > (1u << 30) ? (1u << 30) : static_cast<DWORD>(cb);
    if (!WriteFile(m_p->h, pb, want, &n, nullptr) || n == 0)
      return Fail(psError, "Cannot store the stream", GetLastError());
    pb += n;
    cb -= n;
  }
  return true;
}

// The writer is closed first: the library opens documents in a compatibility sharing mode that
// no open writer allows. The file is deleted with the object (after its scan), and at shutdown
// with the private directory; only a crash leaves one behind here.
bool StreamFile::Finish(File* pFile, std::string* psPath, std::string* psError) {
  CloseHandle(m_p->h);
  m_p->h = INVALID_HANDLE_VALUE;
  *psPath = m_p->sPath;
  return OpenFile(nullptr, m_p->sPath, false, false, pFile, psError);
}

bool Detach(std::string* psError) {
  *psError = "no detaching from the console on Windows (run it as a service or with start /b)";
  return false;
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace zm
