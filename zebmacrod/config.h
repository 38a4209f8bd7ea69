// zebmacrod's configuration, read from a file in clamd.conf's syntax and with its key names, so
// that one file serves clamdscan too.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zebmacrod {

struct Config {
  std::string sLocalSocket;             // LocalSocket: a Unix-domain socket's path
  unsigned uLocalSocketMode = 0600;     // LocalSocketMode (octal)
  int iTcpPort = -1;                    // TCPSocket; -1 none
  std::vector<std::string> tcpAddrs;    // TCPAddr, each given; loopback when none
  unsigned nMaxThreads = 0;             // MaxThreads: worker processes; 0 the usable cores
  int iMaxQueue = 200;                  // MaxConnectionQueueLength: the listen backlog
  uint64_t cbStreamMax = 100ull << 20;  // StreamMaxLength
  unsigned secReadTimeout = 120;        // ReadTimeout: waiting for a request's data
  unsigned secCommandReadTimeout = 30;  // CommandReadTimeout: waiting for the first command
  unsigned secIdleTimeout = 30;         // IdleTimeout: waiting for a session's next command
  int iMaxDirectoryRecursion = 15;      // MaxDirectoryRecursion
  bool bFollowDirectorySymlinks = false;
  bool bFollowFileSymlinks = false;
  std::vector<std::string> excludePaths;  // ExcludePath: extended regular expressions
  unsigned msMaxScanTime = 120000;        // MaxScanTime: a worker's time for one file
  std::string sLogFile;
  bool bLogTime = false;
  bool bLogVerbose = false;
  std::string sPidFile;
  bool bForeground = false;
  bool bDeepScan = true;  // ZebmacroDeepScan: the macro bodies of every document (ours)
  // AlertEncryptedDoc, or AlertEncrypted (documents and archives): an encrypted document is
  // Heuristics.Encrypted.Doc FOUND, not OK.
  bool bAlertEncryptedDoc = false;
  bool bAlertEncrypted = false;
  // AlertBrokenWord6 (ours): what a document too damaged to judge answers - an ERROR (the
  // default, "error"), Heuristics.Broken.Word6 FOUND ("yes"), or OK ("no": clamd's answer for
  // broken files when its AlertBroken* keys are off).
  enum class Broken { kError, kFound, kOk };
  Broken brokenWord6 = Broken::kError;
  // Archives and mail, with clamd's keys and defaults (0: no limit): ScanArchive, ScanMail, the
  // limits, AlertExceedsMax, and AlertEncryptedArchive (AlertEncrypted turns it on as well).
  bool bScanArchive = true;
  bool bScanMail = true;
  uint32_t nMaxRecursion = 17;
  uint32_t nMaxFiles = 10000;
  uint64_t cbMaxScanSize = 400ull << 20;
  uint64_t cbMaxFileSize = 100ull << 20;
  bool bAlertExceedsMax = false;
  bool bAlertEncryptedArchive = false;
};

// Reads sText (the file's content; sName names it in messages). Keys clamd knows but zebmacrod
// does not use, and keys no one knows, each add a warning naming them. A line that cannot be
// read (a key without a value, a value of the wrong kind, a pattern that does not compile, no
// socket to listen on) answers false with the reason, "name:line: ...", in *psError.
bool ParseConfig(const std::string& sText, const std::string& sName, Config* pConfig,
                 std::vector<std::string>* pWarnings, std::string* psError);

}  // namespace zebmacrod
