// zebmacrod's platform on Windows: Winsock with WSAEventSelect, so one wait covers a client's
// bytes, a wake and the stop event; a console control handler for Ctrl-C and close; stream files
// deleted once scanned. No Unix-domain sockets, so no FILDES.
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <atomic>
#include <cerrno>

#include "socket.h"
#include "utf16.h"

namespace zebmacrod {
namespace {

HANDLE g_hStop = nullptr;  // manual-reset: once set, every wait that watches it sees it
std::atomic<bool> g_bStop{false};

bool Fail(std::string* psError, const std::string& sWhat, unsigned long dwError) {
  if (psError) *psError = sWhat + ": " + zebscan::SystemMessage(dwError);
  return false;
}

BOOL WINAPI OnConsole(DWORD) {
  RequestStop();
  return TRUE;  // handled: the service loop ends and cleans up
}

}  // namespace

bool NetStartup(std::string* psError) {
  WSADATA wsa;
  int r = WSAStartup(MAKEWORD(2, 2), &wsa);
  if (r != 0) return Fail(psError, "WSAStartup", static_cast<unsigned long>(r));
  if (g_hStop == nullptr) g_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_hStop == nullptr) return Fail(psError, "CreateEvent", GetLastError());
  return true;
}

void InstallSignalHandlers() { SetConsoleCtrlHandler(OnConsole, TRUE); }

void RequestStop() {
  g_bStop = true;
  if (g_hStop) SetEvent(g_hStop);
}

bool StopRequested() { return g_bStop; }

bool LocalSocketsSupported() { return false; }

// ---- Connections ----

struct Connection::Impl {
  SOCKET sock = INVALID_SOCKET;
  WSAEVENT hSocketEvent = WSA_INVALID_EVENT;
  HANDLE hWake = nullptr;
  std::string sPeer;
  ~Impl() {
    if (sock != INVALID_SOCKET) closesocket(sock);
    if (hSocketEvent != WSA_INVALID_EVENT) WSACloseEvent(hSocketEvent);
    if (hWake) CloseHandle(hWake);
  }
};

Connection::Connection(Impl* p) : m_p(p) {}
Connection::~Connection() = default;

Connection::Ready Connection::Wait(bool bRead, int msTimeout) {
  HANDLE h[3] = {m_p->hWake, g_hStop, m_p->hSocketEvent};
  DWORD r = WaitForMultipleObjects(bRead ? 3 : 1, h, FALSE,
                                   msTimeout < 0 ? INFINITE : static_cast<DWORD>(msTimeout));
  if (r == WAIT_TIMEOUT) return Ready::kTimeout;
  if (r == WAIT_OBJECT_0) return Ready::kWoken;
  if (r == WAIT_OBJECT_0 + 1) return Ready::kStopping;
  if (r == WAIT_OBJECT_0 + 2) {
    WSANETWORKEVENTS ne;
    WSAEnumNetworkEvents(m_p->sock, m_p->hSocketEvent, &ne);  // resets the event
    return Ready::kReadable;
  }
  return Ready::kFailed;
}

void Connection::Wake() { SetEvent(m_p->hWake); }

long Connection::Receive(char* pb, size_t cb, std::vector<int>*) {
  int n = recv(m_p->sock, pb, static_cast<int>(cb > 1 << 30 ? 1 << 30 : cb), 0);
  if (n == SOCKET_ERROR) {
    errno = WSAGetLastError() == WSAEWOULDBLOCK ? EAGAIN : EIO;
    return -1;
  }
  return n;
}

bool Connection::Send(const std::string& s, int msTimeout) {
  size_t done = 0;
  while (done < s.size()) {
    int n = send(m_p->sock, s.data() + done, static_cast<int>(s.size() - done), 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set w;
    FD_ZERO(&w);
    FD_SET(m_p->sock, &w);
    timeval tv = {msTimeout / 1000, (msTimeout % 1000) * 1000};
    if (select(0, nullptr, &w, nullptr, msTimeout < 0 ? nullptr : &tv) <= 0) return false;
  }
  return true;
}

void Connection::ShutdownSend() { shutdown(m_p->sock, SD_SEND); }
bool Connection::PassesFds() const { return false; }
const std::string& Connection::Peer() const { return m_p->sPeer; }

// ---- Listening ----

struct Listeners::Impl {
  std::vector<SOCKET> sockets;
  WSAEVENT hAccept = WSACreateEvent();
  ~Impl() { WSACloseEvent(hAccept); }
};

Listeners::Listeners() : m_p(new Impl) {}
Listeners::~Listeners() { Close(); }

void Listeners::Close() {
  for (SOCKET s : m_p->sockets) closesocket(s);
  m_p->sockets.clear();
}

bool Listeners::AddLocal(const std::string& sPath, unsigned, int, std::string* psError) {
  *psError = "LocalSocket " + sPath + ": no Unix-domain sockets in this build (use TCPSocket)";
  return false;
}

bool Listeners::AddTcp(const std::string& sAddress, int iPort, int iBacklog, std::string* psError) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* pList = nullptr;
  std::string sPort = std::to_string(iPort);
  std::string sWhat = "TCPAddr " + sAddress + " port " + sPort;
  int r = getaddrinfo(sAddress.c_str(), sPort.c_str(), &hints, &pList);
  if (r != 0) return Fail(psError, sWhat, static_cast<unsigned long>(r));
  bool bAny = false;
  for (addrinfo* p = pList; p; p = p->ai_next) {
    SOCKET s = socket(p->ai_family, p->ai_socktype, p->ai_protocol);
    if (s == INVALID_SOCKET) {
      Fail(psError, sWhat, WSAGetLastError());
      continue;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);  // not to workers
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (bind(s, p->ai_addr, static_cast<int>(p->ai_addrlen)) != 0 || listen(s, iBacklog) != 0 ||
        WSAEventSelect(s, m_p->hAccept, FD_ACCEPT) != 0) {
      Fail(psError, sWhat, WSAGetLastError());
      closesocket(s);
      continue;
    }
    m_p->sockets.push_back(s);
    bAny = true;
  }
  freeaddrinfo(pList);
  return bAny;
}

bool Listeners::AcceptWaiting(std::unique_ptr<Connection>* pConnection) {
  // Every listener is tried: a second connection waiting re-arms the event only once the first
  // is accepted. The listeners are non-blocking (WSAEventSelect), so none waits here.
  for (SOCKET l : m_p->sockets) {
    WSANETWORKEVENTS ne;
    WSAEnumNetworkEvents(l, m_p->hAccept, &ne);
    sockaddr_storage sa;
    int cb = sizeof sa;
    SOCKET s = accept(l, reinterpret_cast<sockaddr*>(&sa), &cb);
    if (s == INVALID_SOCKET) continue;
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    auto* pImpl = new Connection::Impl;
    pImpl->sock = s;
    pImpl->hSocketEvent = WSACreateEvent();
    pImpl->hWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // The accepted socket took the listener's selection: it is replaced by its own.
    if (pImpl->hSocketEvent == WSA_INVALID_EVENT || pImpl->hWake == nullptr ||
        WSAEventSelect(s, pImpl->hSocketEvent, FD_READ | FD_CLOSE) != 0) {
      delete pImpl;
      continue;
    }
    char sz[INET6_ADDRSTRLEN] = "?";
    getnameinfo(reinterpret_cast<sockaddr*>(&sa), cb, sz, sizeof sz, nullptr, 0, NI_NUMERICHOST);
    pImpl->sPeer = sz;
    *pConnection = std::make_unique<Connection>(pImpl);
    return true;
  }
  return false;
}

Listeners::Event Listeners::Wait(std::unique_ptr<Connection>* pConnection) {
  for (;;) {
    if (AcceptWaiting(pConnection)) return Event::kConnection;
    HANDLE h[2] = {g_hStop, m_p->hAccept};
    DWORD r = WaitForMultipleObjects(2, h, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) return Event::kStop;
    if (r != WAIT_OBJECT_0 + 1) return Event::kFailed;
  }
}

// ---- Files and the process ----

bool MakePrivateDirectory(std::string* psPath, std::string* psError) {
  wchar_t szTemp[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, szTemp);
  if (n == 0 || n > MAX_PATH) return Fail(psError, "the temporary directory", GetLastError());
  for (unsigned i = 0; i < 100; ++i) {
    std::wstring w = std::wstring(szTemp) + L"zebmacrod-" + std::to_wstring(GetCurrentProcessId()) +
                     L"-" + std::to_wstring(i);
    // The user's own temporary directory: its access rules are the user's, and inherited.
    if (CreateDirectoryW(w.c_str(), nullptr)) {
      *psPath = zebscan::NarrowWtf8(w);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return Fail(psError, "the private directory", GetLastError());
}

void RemovePrivateDirectory(const std::string& sPath) {
  if (sPath.empty()) return;
  std::wstring w = zebscan::WidenWtf8(sPath);
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
    if (!sPath.empty()) DeleteFileW(zebscan::WidenWtf8(sPath).c_str());
  }
};

StreamFile::StreamFile() : m_p(new Impl) {}
StreamFile::~StreamFile() = default;

bool StreamFile::Create(const std::string& sDirectory, std::string* psError) {
  static std::atomic<unsigned> s_n{0};
  std::string sPath = sDirectory + "\\stream-" + std::to_string(++s_n);
  m_p->h = CreateFileW(zebscan::WidenWtf8(sPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
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
bool StreamFile::Finish(zebscan::File* pFile, std::string* psPath, std::string* psError) {
  CloseHandle(m_p->h);
  m_p->h = INVALID_HANDLE_VALUE;
  *psPath = m_p->sPath;
  return zebscan::OpenFile(nullptr, m_p->sPath, false, false, pFile, psError);
}

bool Detach(std::string* psError) {
  *psError = "no detaching from the console on Windows (run it as a service or with start /b)";
  return false;
}

long ProcessId() { return static_cast<long>(GetCurrentProcessId()); }

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
  if (!GetFileAttributesExW(zebscan::WidenWtf8(sPath).c_str(), GetFileExInfoStandard, &d))
    return false;
  uint64_t t = (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) |
               d.ftLastWriteTime.dwLowDateTime;
  *pSeconds = static_cast<int64_t>(t / 10000000) - 11644473600LL;  // from 1601 to 1970
  return true;
}

void CloseDescriptor(int) {}

}  // namespace zebmacrod

namespace zebmacrod {
void KeepFromChildren(std::FILE* p) {
  SetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(p))), HANDLE_FLAG_INHERIT,
                       0);
}
}  // namespace zebmacrod
