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
#include "log.h"
#include "pool.h"
#include "socket.h"
#include "walk.h"
#include "zmapi.h"

namespace zebmacrod {

class Server {
 public:
  Server(const Config& config, Log* pLog, zm::Pool* pPool, unsigned nWorkers,
         zm::EngineFacts engine, std::string sPrivateDir);
  // Serves until a stop is requested; returns once every connection has been answered or
  // failed, and closed.
  void Run(zm::Listeners* pListeners);

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
    zm::Connection* pConn;
  };
  void Serve(std::unique_ptr<zm::Connection> pConn, uint64_t uId);
  void MakeRoom();
  void Await(uint64_t uConnection, const Awaiting& a);
  void Awaited(uint64_t uConnection);
  bool Excluded(const std::string& sPath) const;
  const zm::FileResult& Judged(const zm::FileResult& r, zm::FileResult* pSpare) const;
  const zm::FileResult& JudgedContainer(const zm::FileResult& r, zm::FileResult* pSpare) const;
  std::string VersionText() const;
  std::string StatsText();
  void SetActivity(uint64_t uConnection, const std::string& sWhat);

  const Config& m_config;
  Log* m_pLog;
  zm::Pool* m_pPool;
  unsigned m_nWorkers;
  zm::EngineFacts m_engine;
  std::string m_sPrivateDir;
  std::vector<std::regex> m_excluded;
  zm::WalkOptions m_walk;

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
