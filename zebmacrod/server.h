// zebmacrod's service: connections accepted from the listeners and served each on a thread of
// its own, requests answered in clamd's shape, documents scanned by the shared worker pool.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <list>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>

#include "config.h"
#include "pool.h"
#include "socket.h"
#include "walk.h"

namespace zebmacrod {

// A time in ctime's form, "Mon Mar 13 08:20:54 2023", local time.
std::string CtimeText(std::time_t t);

// The log: LogFile (appended to), else standard error; each line stamped when LogTime asks.
class Log {
 public:
  Log(std::string sFile, bool bTime, bool bVerbose);
  ~Log();
  // Opens the file again (after SIGHUP, when it was rotated); false with the reason.
  bool Open(std::string* psError);
  void Write(const std::string& sLine);
  void Verbose(const std::string& sLine);  // only with LogVerbose

 private:
  std::mutex m_mutex;
  std::string m_sFile;
  bool m_bTime, m_bVerbose;
  std::FILE* m_p = nullptr;
};

// What VERSION tells of the loaded library.
struct EngineFacts {
  std::string sVersion;  // "1.0.0"
  int nDefinitions = 0;  // MACRO_Signatures()
  std::string sDate;     // the library file's modification time, in ctime's form
};

class Server {
 public:
  Server(const Config& config, Log* pLog, zebscan::Pool* pPool, unsigned nWorkers,
         EngineFacts engine, std::string sPrivateDir);
  // Serves until a stop is requested; returns once every connection has been answered or
  // failed, and closed.
  void Run(Listeners* pListeners);

 private:
  friend class ConnectionServer;
  struct Activity {
    std::string sWhat;  // the command being served, or IDLE
    std::chrono::steady_clock::time_point tSince;
  };
  // A connection that has not sent its first command whole: at the cap, the one waiting longest
  // makes room (*pbEvict, then a wake).
  struct Awaiting {
    std::chrono::steady_clock::time_point tSince;
    std::atomic<bool>* pbEvict;
    Connection* pConn;
  };
  void Serve(std::unique_ptr<Connection> pConn, uint64_t uId);
  void MakeRoom();
  void Await(uint64_t uConnection, const Awaiting& a);
  void Awaited(uint64_t uConnection);
  bool Excluded(const std::string& sPath) const;
  const zebscan::FileResult& Judged(const zebscan::FileResult& r,
                                    zebscan::FileResult* pSpare) const;
  std::string VersionText() const;
  std::string StatsText();
  void SetActivity(uint64_t uConnection, const std::string& sWhat);

  const Config& m_config;
  Log* m_pLog;
  zebscan::Pool* m_pPool;
  unsigned m_nWorkers;
  EngineFacts m_engine;
  std::string m_sPrivateDir;
  std::vector<std::regex> m_excluded;
  zebscan::WalkOptions m_walk;
  std::atomic<long> m_nInFlight{0};  // files handed to the pool and not yet answered

  std::mutex m_mutex;
  std::condition_variable m_cv;
  size_t m_nConnections = 0;
  std::chrono::steady_clock::time_point m_tEvicted;  // when a connection last made room
  std::map<uint64_t, Activity> m_activity;
  std::map<uint64_t, Awaiting> m_awaiting;
  struct Running {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> pbDone;
  };
  std::list<Running> m_running;  // the connections' threads (only Run's thread touches it)
};

}  // namespace zebmacrod
