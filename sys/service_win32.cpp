// A service's process on Windows: a manual-reset stop event that every wait of the sockets watches,
// set by a console control handler (Ctrl-C, the console's close), the service manager's stop and
// shutdown controls, or RequestStop; a private directory under the user's temporary directory;
// stream files deleted once scanned; the service manager (its dispatcher, installing and
// removing), the Application event log, %ProgramData%. There is no detaching from the console and
// no reopening signal.
#include <windows.h>
// after windows.h
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform.h"
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

BOOL WINAPI OnConsole(DWORD dwEvent) {
  // A service is sent every user's logoff: it goes on serving.
  if (dwEvent != CTRL_LOGOFF_EVENT) RequestStop();
  return TRUE;  // handled: the service loop ends and cleans up
}

}  // namespace

bool InstallSignalHandlers(std::string* psError) {
  // Set already when a stop came first (the service manager's, while the service started).
  if (g_hStop == nullptr) g_hStop = CreateEventW(nullptr, TRUE, g_bStop ? TRUE : FALSE, nullptr);
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

std::string DefaultConfigFile(const std::string& sName) {
  const std::string sExe = ExecutablePath();
  const std::string sBeside = sExe.substr(0, sExe.find_last_of("\\/") + 1) + sName;
  if (!sExe.empty() && GetFileAttributesW(WidenWtf8(sBeside).c_str()) != INVALID_FILE_ATTRIBUTES)
    return sBeside;
  wchar_t sz[MAX_PATH];
  const std::wstring wData =
      SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, sz))
          ? sz
          : L"C:\\ProgramData";
  return NarrowWtf8(wData) + "\\zebmacro\\" + sName;
}

namespace {

// How long a start or a stop may take before the manager gives up on the service: a stop ends
// every worker and answers every request that reached the daemon.
constexpr DWORD kPendingMs = 60000;
// The event log shows a line by the executable's message 1, "%1" (cmake/program.rc.in).
constexpr DWORD kEventLine = 1;

struct Service {
  std::wstring wName;
  const ServeFunction* pServe = nullptr;
  SERVICE_STATUS_HANDLE hStatus = nullptr;
  std::mutex mutex;  // the status, set by the service's thread and the control handler's
  SERVICE_STATUS status = {};
  int iExit = 1;
};
Service g_service;
std::atomic<bool> g_bInService{false};

void SetState(DWORD dwState) {
  std::lock_guard<std::mutex> lock(g_service.mutex);
  SERVICE_STATUS& st = g_service.status;
  const bool bPending = dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING;
  st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  st.dwCurrentState = dwState;
  // Stopped while it starts, it would leave what it made half made: controls once it serves.
  st.dwControlsAccepted =
      dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  st.dwCheckPoint = bPending ? st.dwCheckPoint + 1 : 0;
  st.dwWaitHint = bPending ? kPendingMs : 0;
  SetServiceStatus(g_service.hStatus, &st);
}

DWORD WINAPI OnControl(DWORD dwControl, DWORD, void*, void*) {
  switch (dwControl) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      SetState(SERVICE_STOP_PENDING);
      RequestStop();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  g_service.hStatus = RegisterServiceCtrlHandlerExW(g_service.wName.c_str(), OnControl, nullptr);
  if (g_service.hStatus == nullptr) return;
  SetState(SERVICE_START_PENDING);
  const int iExit = (*g_service.pServe)([] { SetState(SERVICE_RUNNING); });
  g_service.iExit = iExit;
  {
    std::lock_guard<std::mutex> lock(g_service.mutex);
    g_service.status.dwWin32ExitCode = iExit == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_service.status.dwServiceSpecificExitCode = static_cast<DWORD>(iExit);
  }
  SetState(SERVICE_STOPPED);
}

std::wstring EventSourceKey(const std::wstring& wName) {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + wName;
}

// The manager's handles, closed on every way out.
struct ScHandle {
  SC_HANDLE h;
  explicit ScHandle(SC_HANDLE hIn) : h(hIn) {}
  ~ScHandle() {
    if (h) CloseServiceHandle(h);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
};

// The source's registration: its lines shown by the executable's message table.
bool RecordEventSource(const std::wstring& wName, const std::wstring& wExe, std::string* psError) {
  HKEY hKey = nullptr;
  LSTATUS l = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey(wName).c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &hKey, nullptr);
  const DWORD dwTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  if (l == ERROR_SUCCESS)
    l = RegSetValueExW(hKey, L"EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(wExe.c_str()),
                       static_cast<DWORD>((wExe.size() + 1) * sizeof(wchar_t)));
  if (l == ERROR_SUCCESS)
    l = RegSetValueExW(hKey, L"TypesSupported", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&dwTypes), sizeof dwTypes);
  if (hKey) RegCloseKey(hKey);
  return l == ERROR_SUCCESS || Fail(psError, "the event log's source", static_cast<DWORD>(l));
}

}  // namespace

bool RunService(const std::string& sName, const ServeFunction& serve, int* piExit,
                std::string* psError) {
  g_service.wName = WidenWtf8(sName);
  g_service.pServe = &serve;
  SERVICE_TABLE_ENTRYW aTable[] = {{&g_service.wName[0], ServiceMain}, {nullptr, nullptr}};
  g_bInService = true;
  // Returns once the service has stopped.
  const bool bOk = StartServiceCtrlDispatcherW(aTable) != 0;
  const DWORD dwError = GetLastError();
  g_bInService = false;
  if (!bOk) return Fail(psError, "the service manager", dwError);
  *piExit = g_service.iExit;
  return true;
}

bool InService() { return g_bInService; }

void SystemLog(const std::string& sName, LogLevel level, const std::string& sLine) {
  static std::mutex s_mutex;
  static HANDLE s_hSource = nullptr;
  std::lock_guard<std::mutex> lock(s_mutex);
  if (s_hSource == nullptr) s_hSource = RegisterEventSourceW(nullptr, WidenWtf8(sName).c_str());
  if (s_hSource == nullptr) return;
  const std::wstring w = WidenWtf8(sLine);
  const wchar_t* apsz[] = {w.c_str()};
  const WORD wType = level == LogLevel::kError     ? EVENTLOG_ERROR_TYPE
                     : level == LogLevel::kWarning ? EVENTLOG_WARNING_TYPE
                                                   : EVENTLOG_INFORMATION_TYPE;
  ReportEventW(s_hSource, wType, 0, kEventLine, nullptr, 1, 0, apsz, nullptr);
}

bool InstallService(const std::string& sName, const std::string& sDescription,
                    const std::vector<std::string>& args, std::string* psError) {
  const std::wstring wName = WidenWtf8(sName), wExe = WidenWtf8(ExecutablePath());
  std::wstring wCommand = QuoteArgument(wExe);
  for (const std::string& s : args) wCommand += L" " + QuoteArgument(WidenWtf8(s));
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (manager.h == nullptr) return Fail(psError, "the service manager", GetLastError());
  // The system's own account, as virus scanners run: a path a client names is read whoever owns it.
  ScHandle service(CreateServiceW(manager.h, wName.c_str(), wName.c_str(),
                                  SERVICE_CHANGE_CONFIG | DELETE, SERVICE_WIN32_OWN_PROCESS,
                                  SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, wCommand.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
  if (service.h == nullptr) return Fail(psError, "the service " + sName, GetLastError());
  std::wstring wDescription = WidenWtf8(sDescription);
  SERVICE_DESCRIPTIONW description = {&wDescription[0]};
  ChangeServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, &description);
  if (RecordEventSource(wName, wExe, psError)) return true;
  DeleteService(service.h);  // all or nothing
  return false;
}

bool UninstallService(const std::string& sName, std::string* psError) {
  const std::wstring wName = WidenWtf8(sName);
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.h == nullptr) return Fail(psError, "the service manager", GetLastError());
  ScHandle service(
      OpenServiceW(manager.h, wName.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
  if (service.h == nullptr) return Fail(psError, "the service " + sName, GetLastError());
  // Stopped first, and waited for: a service marked for deletion while it runs stays until then.
  SERVICE_STATUS st = {};
  if (ControlService(service.h, SERVICE_CONTROL_STOP, &st)) {
    for (DWORD msWaited = 0; msWaited < kPendingMs && st.dwCurrentState != SERVICE_STOPPED;
         msWaited += 250) {
      Sleep(250);
      if (!QueryServiceStatus(service.h, &st)) break;
    }
  }
  if (!DeleteService(service.h)) return Fail(psError, "the service " + sName, GetLastError());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKey(wName).c_str());
  return true;
}

}  // namespace zm
