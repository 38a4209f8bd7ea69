// A daemon's sockets: listening and connected, Unix-domain ones with the descriptors that travel
// on them where the platform has them, TCP everywhere. Waits end at a stop request (service.h).
// One file per platform (socket_posix.cpp, socket_win32.cpp), picked by CMake.
#pragma once
#include <memory>
#include <string>
#include <vector>

namespace zm {

// Made once, before any socket (Winsock's start-up on Windows).
bool NetStartup(std::string* psError);

// One client's connection, served by one thread; Wake may come from any thread.
class Connection {
 public:
  struct Impl;
  explicit Connection(Impl* p);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  enum class Ready { kReadable, kWoken, kStopping, kTimeout, kFailed };
  // Waits until the client sent something or closed (only when bRead), Wake was called, the
  // daemon is stopping (only when bRead: results being waited for still come), or msTimeout
  // passed (< 0: no limit).
  Ready Wait(bool bRead, int msTimeout);
  void Wake();
  // What has come: > 0 bytes, 0 the client closed its side, -1 failed. Descriptors sent along
  // (local sockets) are appended to *pfds and are the caller's.
  long Receive(char* pb, size_t cb, std::vector<int>* pfds);
  // Sends all of s, waiting at most msTimeout for the client to take it; false when it did not.
  bool Send(const std::string& s, int msTimeout);
  // Tells the client that no more replies come (what it still sends can be read and dropped, so
  // closing does not reset the connection under replies it has not read yet).
  void ShutdownSend();
  bool PassesFds() const;
  const std::string& Peer() const;  // "local" or the client's address, for the log

 private:
  std::unique_ptr<Impl> m_p;
};

// Unix-domain sockets, and descriptors passed over them, are there.
bool LocalSocketsSupported();

class Listeners {
 public:
  struct Impl;
  Listeners();
  ~Listeners();  // closes every socket; a local socket's file is removed
  Listeners(const Listeners&) = delete;
  Listeners& operator=(const Listeners&) = delete;

  // A Unix-domain socket at sPath with the given mode; a file left there by a daemon that is gone
  // is replaced, a socket another daemon answers on is not.
  bool AddLocal(const std::string& sPath, unsigned uMode, int iBacklog, std::string* psError);
  // TCP on an IPv4 or IPv6 address (or a name that resolves to one).
  bool AddTcp(const std::string& sAddress, int iPort, int iBacklog, std::string* psError);
  enum class Event { kConnection, kStop, kReopenLog, kFailed };
  Event Wait(std::unique_ptr<Connection>* pConnection);
  // A connection already waiting in a listen queue, without waiting for one (at a stop, those
  // queued are answered before the sockets close); false when there is none.
  bool AcceptWaiting(std::unique_ptr<Connection>* pConnection);
  void Close();

 private:
  std::unique_ptr<Impl> m_p;
};

}  // namespace zm
