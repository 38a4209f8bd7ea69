// A daemon's sockets on Windows: Winsock with WSAEventSelect, so one wait covers a client's bytes,
// a wake and the service's stop event. No Unix-domain sockets, so no descriptors passed.
#include <winsock2.h>
#include <ws2tcpip.h>
// after winsock2.h
#include <windows.h>

#include <cerrno>

#include "service.h"
#include "socket.h"
#include "utf16.h"

namespace zm {
namespace {

bool Fail(std::string* psError, const std::string& sWhat, unsigned long dwError) {
  if (psError) *psError = sWhat + ": " + SystemMessage(dwError);
  return false;
}

HANDLE StopEvent() { return reinterpret_cast<HANDLE>(StopWaitable()); }

}  // namespace

bool NetStartup(std::string* psError) {
  WSADATA wsa;
  int r = WSAStartup(MAKEWORD(2, 2), &wsa);
  if (r != 0) return Fail(psError, "WSAStartup", static_cast<unsigned long>(r));
  return true;
}

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
  HANDLE h[3] = {m_p->hWake, StopEvent(), m_p->hSocketEvent};
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
//
// One event serves every listener: FD_ACCEPT sets it, and a round reads each listener's record.
// It is reset once, before the round reads the records (never by each read: a connection that
// comes to one listener while another's record is read would otherwise leave it unset), so a
// connection recorded after its listener was read sets it again and the wait ends at once.
//
// Only a listener whose FD_ACCEPT was recorded is asked for a connection. Asking every listener
// on every round looks harmless, and is on Windows, but loses connections under Wine (8.0, its
// server/sock.c): there an accept can take a connection whose arrival the Wine server has seen
// but not yet recorded; the FD_ACCEPT recorded a moment later then finds nothing to accept, the
// accept fails (WSAEWOULDBLOCK), and Wine records FD_ACCEPT again only after an accept that
// succeeds - Windows after any - and stops watching the socket until then. The event was never
// set again: under a few clients at once the daemon stopped accepting for good, its listen
// queue filling (tests/wine/accept_wake.cpp shows it without the daemon). Asked only after its
// FD_ACCEPT is recorded, an accept never overtakes that record.
//
// A recorded FD_ACCEPT whose accept fails all the same (the client gone, no handles left) would
// leave the listener as silent under Wine, and would set the event at once again on Windows,
// where a connection that cannot be accepted is recorded anew: until an accept on it succeeds,
// that listener is asked on every round whatever its record, the rounds kRetryMs apart.

namespace {

constexpr DWORD kRetryMs = 50;

}  // namespace

struct Listeners::Impl {
  struct Listener {
    SOCKET sock = INVALID_SOCKET;
    bool bUnheard = false;  // an accept failed after FD_ACCEPT: asked until one succeeds
  };
  std::vector<Listener> listeners;
  WSAEVENT hAccept = WSACreateEvent();
  ~Impl() { WSACloseEvent(hAccept); }
  // One connection from l, without waiting: false when none was taken; true with it in
  // *pConnection, or with none when it could not be made ready (it is closed then).
  static bool Accept(SOCKET l, std::unique_ptr<Connection>* pConnection);
};

Listeners::Listeners() : m_p(new Impl) {}
Listeners::~Listeners() { Close(); }

void Listeners::Close() {
  for (const Impl::Listener& l : m_p->listeners) closesocket(l.sock);
  m_p->listeners.clear();
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
    Impl::Listener l;
    l.sock = s;
    m_p->listeners.push_back(l);
    bAny = true;
  }
  freeaddrinfo(pList);
  return bAny;
}

bool Listeners::Impl::Accept(SOCKET l, std::unique_ptr<Connection>* pConnection) {
  pConnection->reset();
  sockaddr_storage sa;
  int cb = sizeof sa;
  SOCKET s = accept(l, reinterpret_cast<sockaddr*>(&sa), &cb);
  if (s == INVALID_SOCKET) return false;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  auto* pImpl = new Connection::Impl;
  pImpl->sock = s;
  pImpl->hSocketEvent = WSACreateEvent();
  pImpl->hWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // The accepted socket took the listener's selection: it is replaced by its own.
  if (pImpl->hSocketEvent == WSA_INVALID_EVENT || pImpl->hWake == nullptr ||
      WSAEventSelect(s, pImpl->hSocketEvent, FD_READ | FD_CLOSE) != 0) {
    delete pImpl;
    return true;
  }
  char sz[INET6_ADDRSTRLEN] = "?";
  getnameinfo(reinterpret_cast<sockaddr*>(&sa), cb, sz, sizeof sz, nullptr, 0, NI_NUMERICHOST);
  pImpl->sPeer = sz;
  *pConnection = std::make_unique<Connection>(pImpl);
  return true;
}

bool Listeners::AcceptWaiting(std::unique_ptr<Connection>* pConnection) {
  // At a stop, every listener is asked whatever its record: the sockets close right after, so
  // no later FD_ACCEPT matters, and a second connection waiting is recorded only once the first
  // is accepted. The listeners are non-blocking (WSAEventSelect), so none waits here.
  for (const Impl::Listener& l : m_p->listeners)
    if (Impl::Accept(l.sock, pConnection) && *pConnection) return true;
  return false;
}

Listeners::Event Listeners::Wait(std::unique_ptr<Connection>* pConnection) {
  for (;;) {
    WSAResetEvent(m_p->hAccept);
    bool bUnheard = false;
    for (Impl::Listener& l : m_p->listeners) {
      WSANETWORKEVENTS ne;
      bool bRecorded =
          WSAEnumNetworkEvents(l.sock, nullptr, &ne) == 0 && (ne.lNetworkEvents & FD_ACCEPT) != 0;
      if (!bRecorded && !l.bUnheard) continue;
      l.bUnheard = !Impl::Accept(l.sock, pConnection);
      if (*pConnection) return Event::kConnection;
      bUnheard |= l.bUnheard;
    }
    if (bUnheard) {  // a pause, not a wait on the event (which may never be set, or always be)
      DWORD r = WaitForSingleObject(StopEvent(), kRetryMs);
      if (r == WAIT_OBJECT_0) return Event::kStop;
      if (r != WAIT_TIMEOUT) return Event::kFailed;
      continue;
    }
    HANDLE h[2] = {StopEvent(), m_p->hAccept};
    DWORD r = WaitForMultipleObjects(2, h, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) return Event::kStop;
    if (r != WAIT_OBJECT_0 + 1) return Event::kFailed;
  }
}

}  // namespace zm
