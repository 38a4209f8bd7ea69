// What zebmacrod needs from the operating system: listening and connected sockets (Unix-domain
// sockets and descriptor passing where the platform has them, TCP everywhere), the signals that
// stop it or reopen its log, a private directory for stream data, detaching from the terminal.
// One file per platform (net_posix.cpp, net_win32.cpp), picked by CMake.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fsys.h"

namespace zebmacrod {

// Made once, before any socket (Winsock's start-up on Windows).
bool NetStartup(std::string* psError);

// Stop requests (SIGTERM, SIGINT, a console's Ctrl-C or close, SHUTDOWN) and log reopening
// (SIGHUP) reach the waits below; SIGPIPE is ignored, so a client that went away is only a
// failed send.
void InstallSignalHandlers();
void RequestStop();  // from any thread
bool StopRequested();

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

// A directory only this user can enter, for the stream files; removed with what it holds.
bool MakePrivateDirectory(std::string* psPath, std::string* psError);
void RemovePrivateDirectory(const std::string& sPath);

// One INSTREAM's data on disk, readable only by this user, gone when the object goes (POSIX:
// unlinked at once, living on as an open descriptor, so gone even after a crash).
class StreamFile {
 public:
  struct Impl;
  StreamFile();
  ~StreamFile();
  StreamFile(const StreamFile&) = delete;
  StreamFile& operator=(const StreamFile&) = delete;

  bool Create(const std::string& sDirectory, std::string* psError);
  bool Write(const char* pb, size_t cb, std::string* psError);
  // The data written, as an open file for the pool; the path by which a worker that cannot be
  // handed a descriptor opens it.
  bool Finish(zebscan::File* pFile, std::string* psPath, std::string* psError);

 private:
  std::unique_ptr<Impl> m_p;
};

// Continues in a child process without a terminal, the parent exiting with status 0; false with
// the reason where that cannot be done (the daemon then stays in the foreground).
bool Detach(std::string* psError);
long ProcessId();
bool IsAbsolutePath(const std::string& sPath);
// The path with its last separators removed (the root kept).
std::string WithoutTrailingSeparators(const std::string& sPath);
// A file's modification time in seconds since 1970; false when it cannot be read.
bool FileModified(const std::string& sPath, int64_t* pSeconds);
void CloseDescriptor(int fd);
// The open file is not inherited by the worker processes.
void KeepFromChildren(std::FILE* p);

}  // namespace zebmacrod
