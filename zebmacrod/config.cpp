// clamd.conf's syntax: one "Key value" a line, '#' comments, booleans as yes/no, sizes with an
// optional k or m, a few keys given more than once. Every clamd key is known here, so a key that
// zebmacrod does not use is told apart from one that nobody knows (a misspelling).
#include "config.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <regex>
#include <set>

namespace zebmacrod {
namespace {

// clamd 1.4's keys that zebmacrod has no use for (its engine, the file types it has no reader
// for, ...).
const char* const kClamdOnly[] = {"AlertBrokenExecutables",
                                  "AlertBrokenMedia",
                                  "AlertOLE2Macros",
                                  "AlertPartitionIntersection",
                                  "AlertPhishingCloak",
                                  "AlertPhishingSSLMismatch",
                                  "AlgorithmicDetection",
                                  "AllowAllMatchScan",
                                  "ArchiveBlockEncrypted",
                                  "BlockMax",
                                  "Bytecode",
                                  "BytecodeMode",
                                  "BytecodeSecurity",
                                  "BytecodeTimeout",
                                  "BytecodeUnsigned",
                                  "CacheSize",
                                  "ConcurrentDatabaseReload",
                                  "CrossFilesystems",
                                  "DatabaseDirectory",
                                  "Debug",
                                  "DetectPUA",
                                  "DisableCache",
                                  "DisableCertCheck",
                                  "ExcludePUA",
                                  "ExitOnOOM",
                                  "ExtendedDetectionInfo",
                                  "FailIfCvdOlderThan",
                                  "FixStaleSocket",
                                  "ForceToDisk",
                                  "GenerateMetadataJson",
                                  "HeuristicAlerts",
                                  "HeuristicScanPrecedence",
                                  "IncludePUA",
                                  "LeaveTemporaryFiles",
                                  "LocalSocketGroup",
                                  "LogClean",
                                  "LogFacility",
                                  "LogFileMaxSize",
                                  "LogFileUnlock",
                                  "LogRotate",
                                  "LogSyslog",
                                  "MaxEmbeddedPE",
                                  "MaxHTMLNoTags",
                                  "MaxHTMLNormalize",
                                  "MaxIconsPE",
                                  "MaxPartitions",
                                  "MaxQueue",
                                  "MaxRecHWP3",
                                  "MaxScriptNormalize",
                                  "MaxZipTypeRcg",
                                  "OLE2BlockMacros",
                                  "OfficialDatabaseOnly",
                                  "OnAccessCurlTimeout",
                                  "OnAccessDenyOnError",
                                  "OnAccessDisableDDD",
                                  "OnAccessExcludePath",
                                  "OnAccessExcludeRootUID",
                                  "OnAccessExcludeUID",
                                  "OnAccessExcludeUname",
                                  "OnAccessExtraScanning",
                                  "OnAccessIncludePath",
                                  "OnAccessMaxFileSize",
                                  "OnAccessMaxThreads",
                                  "OnAccessMountPath",
                                  "OnAccessPrevention",
                                  "OnAccessRetryAttempts",
                                  "PCREMatchLimit",
                                  "PCREMaxFileSize",
                                  "PCRERecMatchLimit",
                                  "PartitionIntersection",
                                  "PhishingAlwaysBlockCloak",
                                  "PhishingAlwaysBlockSSLMismatch",
                                  "PhishingScanURLs",
                                  "PhishingSignatures",
                                  "PreludeAnalyzerName",
                                  "PreludeEnable",
                                  "ScanELF",
                                  "ScanHTML",
                                  "ScanHWP3",
                                  "ScanImage",
                                  "ScanImageFuzzyHash",
                                  "ScanOLE2",
                                  "ScanOneNote",
                                  "ScanPDF",
                                  "ScanPE",
                                  "ScanPartialMessages",
                                  "ScanSWF",
                                  "ScanXMLDOCS",
                                  "SelfCheck",
                                  "SendBufTimeout",
                                  "StreamMaxPort",
                                  "StreamMinPort",
                                  "StructuredCCOnly",
                                  "StructuredDataDetection",
                                  "StructuredMinCreditCardCount",
                                  "StructuredMinSSNCount",
                                  "StructuredSSNFormatNormal",
                                  "StructuredSSNFormatStripped",
                                  "TemporaryDirectory",
                                  "User",
                                  "VirusEvent"};

std::string Lower(std::string s) {
  for (char& ch : s)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return s;
}

bool ParseBool(const std::string& s, bool* pb) {
  std::string v = Lower(s);
  if (v == "yes" || v == "true" || v == "on" || v == "1") return *pb = true, true;
  if (v == "no" || v == "false" || v == "off" || v == "0") return *pb = false, true;
  return false;
}

// Digits only, at most uMax; with bSuffix an optional k, m or g multiplies it.
bool ParseNumber(const std::string& s, uint64_t uMax, bool bSuffix, uint64_t* pu) {
  size_t i = 0;
  uint64_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (v > (UINT64_MAX - 9) / 10) return false;
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
  }
  if (i == 0) return false;
  if (i < s.size()) {
    if (!bSuffix || i + 1 != s.size()) return false;
    int iShift = 0;
    switch (s[i]) {
      case 'k':
      case 'K':
        iShift = 10;
        break;
      case 'm':
      case 'M':
        iShift = 20;
        break;
      case 'g':
      case 'G':
        iShift = 30;
        break;
      default:
        return false;
    }
    if (v > (UINT64_MAX >> iShift)) return false;
    v <<= iShift;
  }
  if (v > uMax) return false;
  *pu = v;
  return true;
}

// How one key is read; false with the reason when its value does not fit.
using Setter = std::function<bool(const std::string& sValue, Config*, std::string* psWhy)>;

Setter Bool(bool Config::*pm) {
  return [pm](const std::string& s, Config* p, std::string* psWhy) {
    *psWhy = "expects yes or no";
    return ParseBool(s, &(p->*pm));
  };
}

template <typename T>
Setter Number(T Config::*pm, uint64_t uMin, uint64_t uMax, bool bSize = false) {
  return [=](const std::string& s, Config* p, std::string* psWhy) {
    uint64_t v;
    *psWhy = "expects a number from " + std::to_string(uMin) + " to " + std::to_string(uMax) +
             (bSize ? " (k or m may follow)" : "");
    if (!ParseNumber(s, uMax, bSize, &v) || v < uMin) return false;
    p->*pm = static_cast<T>(v);
    return true;
  };
}

Setter Text(std::string Config::*pm) {
  return [pm](const std::string& s, Config* p, std::string*) {
    p->*pm = s;
    return true;
  };
}

const std::vector<std::pair<std::string, Setter>>& Keys() {
  static const std::vector<std::pair<std::string, Setter>> keys = {
      {"LocalSocket", Text(&Config::sLocalSocket)},
      {"LocalSocketMode",
       [](const std::string& s, Config* p, std::string* psWhy) {
         *psWhy = "expects an octal mode such as 660";
         if (s.empty() || s.size() > 4 || s.find_first_not_of("01234567") != std::string::npos)
           return false;
         p->uLocalSocketMode = static_cast<unsigned>(std::strtoul(s.c_str(), nullptr, 8));
         return true;
       }},
      {"TCPSocket", Number(&Config::iTcpPort, 1, 65535)},
      {"TCPAddr",
       [](const std::string& s, Config* p, std::string*) {
         p->tcpAddrs.push_back(s);
         return true;
       }},
      {"MaxThreads", Number(&Config::nMaxThreads, 1, 256)},
      {"MaxConnectionQueueLength", Number(&Config::iMaxQueue, 1, 65535)},
      {"StreamMaxLength", Number(&Config::cbStreamMax, 1, 4ull << 30, true)},
      {"ReadTimeout", Number(&Config::secReadTimeout, 1, 86400)},
      {"CommandReadTimeout", Number(&Config::secCommandReadTimeout, 1, 86400)},
      {"IdleTimeout", Number(&Config::secIdleTimeout, 1, 86400)},
      {"MaxDirectoryRecursion", Number(&Config::iMaxDirectoryRecursion, 0, 1000000)},
      {"FollowDirectorySymlinks", Bool(&Config::bFollowDirectorySymlinks)},
      {"FollowFileSymlinks", Bool(&Config::bFollowFileSymlinks)},
      {"ExcludePath",
       [](const std::string& s, Config* p, std::string* psWhy) {
         try {
           std::regex re(s, std::regex::extended);
         } catch (const std::regex_error& e) {
           *psWhy = std::string("is no extended regular expression (") + e.what() + ")";
           return false;
         }
         p->excludePaths.push_back(s);
         return true;
       }},
      {"MaxScanTime", Number(&Config::msMaxScanTime, 0, 86400000, true)},
      {"LogFile", Text(&Config::sLogFile)},
      {"LogTime", Bool(&Config::bLogTime)},
      {"LogVerbose", Bool(&Config::bLogVerbose)},
      {"PidFile", Text(&Config::sPidFile)},
      {"Foreground", Bool(&Config::bForeground)},
      {"ZebmacroDeepScan", Bool(&Config::bDeepScan)},
      {"AlertEncrypted", Bool(&Config::bAlertEncrypted)},
      {"AlertEncryptedDoc", Bool(&Config::bAlertEncryptedDoc)},
      {"ScanArchive", Bool(&Config::bScanArchive)},
      {"ScanMail", Bool(&Config::bScanMail)},
      {"MaxRecursion", Number(&Config::nMaxRecursion, 0, 65535)},
      {"MaxFiles", Number(&Config::nMaxFiles, 0, UINT32_MAX)},
      {"MaxScanSize", Number(&Config::cbMaxScanSize, 0, UINT64_MAX, true)},
      {"MaxFileSize", Number(&Config::cbMaxFileSize, 0, UINT64_MAX, true)},
      {"AlertExceedsMax", Bool(&Config::bAlertExceedsMax)},
      {"AlertEncryptedArchive", Bool(&Config::bAlertEncryptedArchive)},
      {"AlertBrokenWord6",
       [](const std::string& s, Config* p, std::string* psWhy) {
         *psWhy = "expects yes, no or error";
         bool b;
         if (Lower(s) == "error")
           p->brokenWord6 = Config::Broken::kError;
         else if (ParseBool(s, &b))
           p->brokenWord6 = b ? Config::Broken::kFound : Config::Broken::kOk;
         else
           return false;
         return true;
       }},
  };
  return keys;
}

}  // namespace

bool ParseConfig(const std::string& sText, const std::string& sName, Config* pConfig,
                 std::vector<std::string>* pWarnings, std::string* psError) {
  static const std::set<std::string> clamdOnly(std::begin(kClamdOnly), std::end(kClamdOnly));
  size_t iLine = 0;
  std::set<std::string> unused, unknown;
  for (size_t from = 0; from < sText.size();) {
    size_t to = sText.find('\n', from);
    if (to == std::string::npos) to = sText.size();
    std::string sLine = sText.substr(from, to - from);
    from = to + 1;
    ++iLine;
    auto fail = [&](const std::string& sWhy) {
      *psError = sName + ":" + std::to_string(iLine) + ": " + sWhy;
      return false;
    };
    const char* kSpace = " \t\r\v\f";
    size_t b = sLine.find_first_not_of(kSpace);
    if (b == std::string::npos || sLine[b] == '#') continue;
    size_t e = sLine.find_last_not_of(kSpace);
    sLine = sLine.substr(b, e - b + 1);
    size_t iGap = sLine.find_first_of(kSpace);
    std::string sKey = sLine.substr(0, iGap);
    std::string sValue;
    if (iGap != std::string::npos) sValue = sLine.substr(sLine.find_first_not_of(kSpace, iGap));
    if (sValue.size() >= 2 && sValue.front() == '"' && sValue.back() == '"')
      sValue = sValue.substr(1, sValue.size() - 2);
    if (sKey == "Example")
      return fail("\"Example\" marks an unedited sample file: remove that line first");
    auto it =
        std::find_if(Keys().begin(), Keys().end(), [&](const auto& k) { return k.first == sKey; });
    if (it == Keys().end()) {
      (clamdOnly.count(sKey) ? unused : unknown).insert(sKey);
      continue;
    }
    if (sValue.empty()) return fail(sKey + " needs a value");
    std::string sWhy;
    if (!it->second(sValue, pConfig, &sWhy))
      return fail(sKey + " " + sWhy + ", not \"" + sValue + "\"");
  }
  auto list = [](const std::set<std::string>& keys) {
    std::string s;
    for (const std::string& k : keys) s += (s.empty() ? "" : ", ") + k;
    return s;
  };
  if (!unknown.empty()) pWarnings->push_back(sName + ": unknown keys, ignored: " + list(unknown));
  if (!unused.empty())
    pWarnings->push_back(sName +
                         ": clamd keys that zebmacrod does not use, ignored: " + list(unused));
  if (pConfig->sLocalSocket.empty() && pConfig->iTcpPort < 0) {
    *psError = sName + ": neither LocalSocket nor TCPSocket is set: nothing to listen on";
    return false;
  }
  if (pConfig->tcpAddrs.empty()) pConfig->tcpAddrs.push_back("127.0.0.1");
  return true;
}

}  // namespace zebmacrod
