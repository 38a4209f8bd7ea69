// Worker processes on Windows: CreateProcessW of the executable with the client end of a named
// pipe inherited (its handle value on the command line), overlapped reads on the parent's end
// for the time limits, TerminateProcess to end a worker that hangs.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform.h"
#include "proc.h"
#include "utf16.h"

namespace zm {
namespace {

constexpr uint32_t kMaxMessage = 1u << 24;
HANDLE g_hParentChannel = INVALID_HANDLE_VALUE;
WorkerProgress* g_pParentProgress = nullptr;

HANDLE HandleArgument(const std::string& s) {
  char* pEnd = nullptr;
  unsigned long long v = std::strtoull(s.c_str(), &pEnd, 10);
  if (s.empty() || pEnd == nullptr || *pEnd != '\0') return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(v));
}

std::string Frame(const std::string& s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  std::string r(4, '\0');
  for (int i = 0; i < 4; ++i) r[i] = static_cast<char>(n >> (8 * i));
  return r + s;
}

// An overlapped transfer on h that waits at most iTimeoutMs (< 0: for ever). 1 done, 0 timed
// out (cancelled), -1 failed.
int Transfer(HANDLE h, HANDLE hEvent, bool bWrite, void* pv, DWORD cb, DWORD* pcbDone,
             int iTimeoutMs) {
  OVERLAPPED ov = {};
  ov.hEvent = hEvent;
  BOOL bOk = bWrite ? WriteFile(h, pv, cb, nullptr, &ov) : ReadFile(h, pv, cb, nullptr, &ov);
  if (!bOk && GetLastError() != ERROR_IO_PENDING) return -1;
  if (WaitForSingleObject(hEvent, iTimeoutMs < 0 ? INFINITE : static_cast<DWORD>(iTimeoutMs)) ==
      WAIT_TIMEOUT) {
    CancelIo(h);
    GetOverlappedResult(h, &ov, pcbDone, TRUE);
    return 0;
  }
  return GetOverlappedResult(h, &ov, pcbDone, FALSE) && *pcbDone > 0 ? 1 : -1;
}

bool WriteAll(HANDLE h, const std::string& s) {
  DWORD done = 0;
  for (size_t at = 0; at < s.size(); at += done)
    if (!WriteFile(h, s.data() + at, static_cast<DWORD>(s.size() - at), &done, nullptr) || !done)
      return false;
  return true;
}

bool ReadAll(HANDLE h, char* p, size_t cb) {
  DWORD done = 0;
  for (size_t at = 0; at < cb; at += done)
    if (!ReadFile(h, p + at, static_cast<DWORD>(cb - at), &done, nullptr) || !done) return false;
  return true;
}

}  // namespace

struct Child::Impl {
  HANDLE hProcess = nullptr;
  HANDLE hPipe = INVALID_HANDLE_VALUE;
  HANDLE hEvent = nullptr;
  HANDLE hMapping = nullptr;
  WorkerProgress* pProgress = nullptr;
  void Unmap() {
    if (pProgress) UnmapViewOfFile(pProgress);
    if (hMapping) CloseHandle(hMapping);
    pProgress = nullptr;
    hMapping = nullptr;
  }
  ~Impl() {
    Unmap();
    if (hEvent) CloseHandle(hEvent);
  }
};

uint32_t MonotonicMs() { return static_cast<uint32_t>(GetTickCount64()); }

const WorkerProgress& Child::Progress() const { return *m_p->pProgress; }

Child::Child() : m_p(new Impl) { m_p->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
Child::~Child() {
  if (Running()) Stop(true);
}

bool Child::Running() const { return m_p->hProcess != nullptr; }

bool Child::Start(const std::string& sExecutable, const std::vector<std::string>& args,
                  std::string* psError) {
  static std::atomic<unsigned> s_nNext{0};
  // One start at a time: the inheritable client end must reach only its own worker.
  static std::mutex s_spawn;
  std::lock_guard<std::mutex> lock(s_spawn);
  std::wstring wName = L"\\\\.\\pipe\\zebscan-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                       std::to_wstring(s_nNext++);
  HANDLE hPipe = CreateNamedPipeW(
      wName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
  if (hPipe == INVALID_HANDLE_VALUE) {
    if (psError) *psError = SystemMessage(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE hClient =
      CreateFileW(wName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &sa, OPEN_EXISTING, 0, nullptr);
  if (hClient == INVALID_HANDLE_VALUE) {
    if (psError) *psError = SystemMessage(GetLastError());
    CloseHandle(hPipe);
    return false;
  }
  // The progress marks: a page of memory both processes map.
  m_p->Unmap();
  m_p->hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                     sizeof(WorkerProgress), nullptr);
  void* pv = m_p->hMapping ? MapViewOfFile(m_p->hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
  if (pv == nullptr) {
    if (psError) *psError = SystemMessage(GetLastError());
    m_p->Unmap();
    CloseHandle(hClient);
    CloseHandle(hPipe);
    return false;
  }
  m_p->pProgress = new (pv) WorkerProgress{{0}, {0}, {0}};
  std::wstring wCommand = QuoteArgument(WidenWtf8(sExecutable));
  for (std::string s : args) {
    if (s == "--zm-channel=3")
      s = "--zm-channel=" + std::to_string(reinterpret_cast<uintptr_t>(hClient));
    if (s == "--zm-progress=4")
      s = "--zm-progress=" + std::to_string(reinterpret_cast<uintptr_t>(m_p->hMapping));
    wCommand += L" " + QuoteArgument(WidenWtf8(s));
  }
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  BOOL bOk = CreateProcessW(WidenWtf8(sExecutable).c_str(), &wCommand[0], nullptr, nullptr, TRUE, 0,
                            nullptr, nullptr, &si, &pi);
  DWORD dwError = GetLastError();
  CloseHandle(hClient);
  if (!bOk) {
    if (psError) *psError = SystemMessage(dwError);
    CloseHandle(hPipe);
    return false;
  }
  CloseHandle(pi.hThread);
  WatchChild(reinterpret_cast<intptr_t>(pi.hProcess));
  m_p->hProcess = pi.hProcess;
  m_p->hPipe = hPipe;
  return true;
}

bool Child::Send(const std::string& sMessage, const std::vector<int>&) {
  std::string s = Frame(sMessage);
  DWORD done = 0;
  for (size_t at = 0; at < s.size(); at += done)
    if (Transfer(m_p->hPipe, m_p->hEvent, true, &s[at], static_cast<DWORD>(s.size() - at), &done,
                 -1) != 1)
      return false;
  return true;
}

int Child::Receive(std::string* psMessage, int iTimeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(iTimeoutMs);
  std::string s(4, '\0');
  size_t cbWant = 4, cbHave = 0;
  while (cbHave < cbWant) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    DWORD done = 0;
    int r =
        Transfer(m_p->hPipe, m_p->hEvent, false, &s[cbHave], static_cast<DWORD>(cbWant - cbHave),
                 &done, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (r <= 0) return r;
    cbHave += done;
    if (cbWant == 4 && cbHave == 4) {
      uint32_t cb = 0;
      for (int i = 0; i < 4; ++i)
        cb |= static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << (8 * i);
      if (cb > kMaxMessage) return -1;
      cbWant = 4 + cb;
      s.resize(cbWant);
    }
  }
  *psMessage = s.substr(4);
  return 1;
}

std::string Child::Stop(bool bKill) {
  if (!m_p->hProcess) return "not running";
  if (bKill) TerminateProcess(m_p->hProcess, 1);
  CloseHandle(m_p->hPipe);  // a worker waiting for work sees the end
  m_p->hPipe = INVALID_HANDLE_VALUE;
  WaitForSingleObject(m_p->hProcess, INFINITE);
  DWORD dwCode = 0;
  GetExitCodeProcess(m_p->hProcess, &dwCode);
  UnwatchChild(reinterpret_cast<intptr_t>(m_p->hProcess));
  CloseHandle(m_p->hProcess);
  m_p->hProcess = nullptr;
  return "exited with status " + std::to_string(dwCode);
}

bool OpenParentChannel(const std::string& sChannel, const std::string& sProgress) {
  HANDLE hChannel = HandleArgument(sChannel), hMapping = HandleArgument(sProgress);
  if (hChannel == nullptr || hMapping == nullptr) return false;
  void* pv = MapViewOfFile(hMapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  CloseHandle(hMapping);
  if (pv == nullptr) return false;
  g_pParentProgress = static_cast<WorkerProgress*>(pv);
  g_hParentChannel = hChannel;
  return true;
}

WorkerProgress* ParentProgress() { return g_pParentProgress; }

bool ReceiveFromParent(std::string* psMessage, std::vector<int>* pfds) {
  pfds->clear();
  char abLen[4];
  if (!ReadAll(g_hParentChannel, abLen, 4)) return false;
  uint32_t cb = 0;
  for (int i = 0; i < 4; ++i)
    cb |= static_cast<uint32_t>(static_cast<unsigned char>(abLen[i])) << (8 * i);
  if (cb > kMaxMessage) return false;
  psMessage->assign(cb, '\0');
  return cb == 0 || ReadAll(g_hParentChannel, &(*psMessage)[0], cb);
}

bool SendToParent(const std::string& sMessage) {
  return WriteAll(g_hParentChannel, Frame(sMessage));
}

}  // namespace zm
