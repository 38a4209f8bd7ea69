// zebmacrod's log: LogFile (appended to, reopened after rotation), else standard error, or the
// system's log for a service, which has none; each line stamped in ctime's form when LogTime asks.
#pragma once
#include <cstdio>
#include <mutex>
#include <string>

namespace zebmacrod {

// The service's name, and its event log source's.
inline constexpr char kServiceName[] = "zebmacrod";

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
  bool m_bSystemLog = false;  // a service without LogFile
  std::FILE* m_p = nullptr;
};

}  // namespace zebmacrod
