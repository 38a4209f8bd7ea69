// The log's file: opened for appending, kept from the workers, written a whole line at a time;
// a service's lines to the system's log when it has no file.
#include "log.h"

#include <ctime>

#include "platform.h"
#include "service.h"
#include "textutil.h"

namespace zebmacrod {

Log::Log(std::string sFile, bool bTime, bool bVerbose)
    : m_sFile(std::move(sFile)), m_bTime(bTime), m_bVerbose(bVerbose) {}

Log::~Log() {
  if (m_p && m_p != stderr) std::fclose(m_p);
}

bool Log::Open(std::string* psError) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_sFile.empty()) {
    m_bSystemLog = zm::InService();
    m_p = stderr;
    return true;
  }
  std::string sError;
  std::FILE* p = zm::OpenAppend(m_sFile, &sError);
  if (p == nullptr) {
    *psError = "LogFile " + m_sFile + ": " + sError;
    return false;
  }
  zm::KeepFromChildren(p);
  if (m_p && m_p != stderr) std::fclose(m_p);
  m_p = p;
  return true;
}

void Log::Write(const std::string& sLine) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_bSystemLog) return zm::SystemLog(kServiceName, zm::LogLevel::kInformation, sLine);
  if (m_p == nullptr) return;
  std::string s =
      (m_bTime ? zm::CtimeText(std::time(nullptr)) + " -> " : std::string()) + sLine + "\n";
  zm::WriteText(m_p, s);
  std::fflush(m_p);
}

void Log::Verbose(const std::string& sLine) {
  if (m_bVerbose) Write(sLine);
}

}  // namespace zebmacrod
