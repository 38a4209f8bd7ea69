// A daemon's sockets on POSIX: poll over non-blocking sockets and a self-pipe per connection (its
// wake), beside the service's stop and reopen pipes; SCM_RIGHTS for descriptors passed.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "fdpass.h"
#include "service.h"
#include "socket.h"

namespace zm {
namespace {

bool Fail(std::string* psError, const std::string& sWhat) {
  if (psError) *psError = sWhat + ": " + strerror(errno);
  return false;
}

bool MakePipe(int fds[2]) { return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }

void Drain(int fd) {
  char ab[64];
  while (read(fd, ab, sizeof ab) > 0) {
  }
}

}  // namespace

bool NetStartup(std::string*) { return true; }

bool LocalSocketsSupported() { return true; }

// ---- Connections ----

struct Connection::Impl {
  int sock = -1;
  int wake[2] = {-1, -1};
  bool bLocal = false;
  std::string sPeer;
  ~Impl() {
    for (int fd : {sock, wake[0], wake[1]})
      if (fd >= 0) close(fd);
  }
};

Connection::Connection(Impl* p) : m_p(p) {}
Connection::~Connection() = default;

Connection::Ready Connection::Wait(bool bRead, int msTimeout) {
  pollfd p[3] = {{m_p->wake[0], POLLIN, 0},
                 {static_cast<int>(StopWaitable()), POLLIN, 0},
                 {m_p->sock, POLLIN, 0}};
  int n = bRead ? 3 : 1;
  int r;
  do r = poll(p, static_cast<nfds_t>(n), msTimeout);
  while (r < 0 && errno == EINTR && !(bRead && StopRequested()));
  if (r < 0) return bRead && StopRequested() ? Ready::kStopping : Ready::kFailed;
  if (r == 0) return Ready::kTimeout;
  if (p[0].revents) {
    Drain(m_p->wake[0]);
    return Ready::kWoken;
  }
  if (bRead && p[1].revents) return Ready::kStopping;
  return Ready::kReadable;
}

void Connection::Wake() {
  if (write(m_p->wake[1], "w", 1) < 0) {
    // A full pipe already wakes the connection.
  }
}

long Connection::Receive(char* pb, size_t cb, std::vector<int>* pfds) {
  // Descriptors come only over a local socket; TCP never carries any.
  ssize_t n = ReceiveWithDescriptors(m_p->sock, pb, cb, m_p->bLocal ? pfds : nullptr);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    errno = EAGAIN;
    return -1;
  }
  return static_cast<long>(n);
}

bool Connection::Send(const std::string& s, int msTimeout) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = send(m_p->sock, s.data() + done, s.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p = {m_p->sock, POLLOUT, 0};
    int r;
    do r = poll(&p, 1, msTimeout);
    while (r < 0 && errno == EINTR);
    if (r <= 0 || (p.revents & (POLLERR | POLLHUP))) return false;
  }
  return true;
}

void Connection::ShutdownSend() { shutdown(m_p->sock, SHUT_WR); }
bool Connection::PassesFds() const { return m_p->bLocal; }
const std::string& Connection::Peer() const { return m_p->sPeer; }

// ---- Listening ----

struct Listeners::Impl {
  struct Socket {
    int fd;
    bool bLocal;
    std::string sPath;  // a local socket's file, removed at the end
  };
  std::vector<Socket> sockets;
};

Listeners::Listeners() : m_p(new Impl) {}
Listeners::~Listeners() { Close(); }

void Listeners::Close() {
  for (const Impl::Socket& s : m_p->sockets) {
    close(s.fd);
    if (!s.sPath.empty()) unlink(s.sPath.c_str());
  }
  m_p->sockets.clear();
}

bool Listeners::AddLocal(const std::string& sPath, unsigned uMode, int iBacklog,
                         std::string* psError) {
  sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  if (sPath.empty() || sPath.size() >= sizeof sa.sun_path) {
    *psError = "LocalSocket " + sPath + ": the path is longer than a socket address holds";
    return false;
  }
  memcpy(sa.sun_path, sPath.c_str(), sPath.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Fail(psError, "socket");
  // A socket file left by a daemon that is gone answers no connection: it is replaced.
  struct stat st;
  if (lstat(sPath.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bLive = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (probe >= 0) close(probe);
    if (bLive) {
      close(fd);
      *psError = "LocalSocket " + sPath + ": another daemon answers on it";
      return false;
    }
    unlink(sPath.c_str());
  }
  // The mode is set on the file as it is made: no moment where others could connect.
  mode_t old = umask(static_cast<mode_t>(~uMode & 0777));
  int r = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int iErr = errno;
  umask(old);
  if (r != 0 || chmod(sPath.c_str(), uMode) != 0 || listen(fd, iBacklog) != 0) {
    errno = r != 0 ? iErr : errno;
    bool bBound = r == 0;
    Fail(psError, "LocalSocket " + sPath);
    close(fd);
    if (bBound) unlink(sPath.c_str());
    return false;
  }
  m_p->sockets.push_back({fd, true, sPath});
  return true;
}

bool Listeners::AddTcp(const std::string& sAddress, int iPort, int iBacklog, std::string* psError) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* pList = nullptr;
  std::string sPort = std::to_string(iPort);
  int r = getaddrinfo(sAddress.c_str(), sPort.c_str(), &hints, &pList);
  if (r != 0) {
    *psError = "TCPAddr " + sAddress + ": " + gai_strerror(r);
    return false;
  }
  bool bAny = false;
  std::string sWhat = "TCPAddr " + sAddress + " port " + sPort;
  for (addrinfo* p = pList; p; p = p->ai_next) {
    int fd = socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, p->ai_protocol);
    if (fd < 0) {
      Fail(psError, sWhat);
      continue;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (p->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, p->ai_addr, p->ai_addrlen) != 0 || listen(fd, iBacklog) != 0) {
      Fail(psError, sWhat);
      close(fd);
      continue;
    }
    m_p->sockets.push_back({fd, false, ""});
    bAny = true;
  }
  freeaddrinfo(pList);
  return bAny;
}

namespace {

// One connection from the listening socket s, without waiting; false when none is there (or it
// went again, or there are no descriptors left: a later try may succeed).
bool AcceptOne(int sock, bool bLocal, std::unique_ptr<Connection>* pConnection) {
  sockaddr_storage sa;
  socklen_t cb = sizeof sa;
  int fd = accept4(sock, reinterpret_cast<sockaddr*>(&sa), &cb, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return false;
  auto* pImpl = new Connection::Impl;
  pImpl->sock = fd;
  pImpl->bLocal = bLocal;
  if (!MakePipe(pImpl->wake)) {
    delete pImpl;
    return false;
  }
  char sz[INET6_ADDRSTRLEN] = "";
  if (bLocal)
    pImpl->sPeer = "local";
  else if (sa.ss_family == AF_INET)
    pImpl->sPeer = inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&sa)->sin_addr, sz, sizeof sz)
                       ? sz
                       : "?";
  else
    pImpl->sPeer =
        inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&sa)->sin6_addr, sz, sizeof sz) ? sz
                                                                                             : "?";
  *pConnection = std::make_unique<Connection>(pImpl);
  return true;
}

}  // namespace

Listeners::Event Listeners::Wait(std::unique_ptr<Connection>* pConnection) {
  for (;;) {
    std::vector<pollfd> p = {{static_cast<int>(StopWaitable()), POLLIN, 0},
                             {static_cast<int>(ReopenWaitable()), POLLIN, 0}};
    for (const Impl::Socket& s : m_p->sockets) p.push_back({s.fd, POLLIN, 0});
    int r = poll(p.data(), static_cast<nfds_t>(p.size()), -1);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return Event::kFailed;
    if (p[0].revents) return Event::kStop;
    if (p[1].revents) {
      TakeReopen();
      return Event::kReopenLog;
    }
    for (size_t i = 2; i < p.size(); ++i) {
      const Impl::Socket& s = m_p->sockets[i - 2];
      if (p[i].revents && AcceptOne(s.fd, s.bLocal, pConnection)) return Event::kConnection;
    }
  }
}

bool Listeners::AcceptWaiting(std::unique_ptr<Connection>* pConnection) {
  for (const Impl::Socket& s : m_p->sockets)
    if (AcceptOne(s.fd, s.bLocal, pConnection)) return true;
  return false;
}

}  // namespace zm
