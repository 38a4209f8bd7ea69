// zebmacrod: zebmacro's scanner as a daemon that speaks clamd's protocol, configured by a file in
// clamd.conf's form. Everything that can fail is tried before the daemon detaches or listens:
// the configuration, the library, the log, the sockets, the pid file, the private directory.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "config.h"
#include "platform.h"
#include "pool.h"
#include "scanner.h"
#include "server.h"
#include "socket.h"
#include "zmapi.h"

namespace zebmacrod {
namespace {

int Fail(const std::string& sWhy) {
  std::fprintf(stderr, "zebmacrod: %s\n", sWhy.c_str());
  return 1;
}

// A relative path of the configuration, made absolute now: a daemon detached from the terminal
// works from the root directory.
void Absolute(std::string* ps) {
  if (ps->empty()) return;
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(*ps, ec);
  if (!ec) *ps = p.string();
}

// The library file's modification time in ctime's form ("Mon Mar 13 08:20:54 2023"), which is
// where clamd's VERSION puts the date of its database: ours is compiled into the library.
std::string LibraryDate(const std::string& sLibrary) {
  int64_t t = 0;
  if (!FileModified(sLibrary, &t)) return "unknown";
  return CtimeText(static_cast<std::time_t>(t));
}

int Run(int argc, char** argv) {
  CLI::App app{
      "zebmacrod: finds WordBasic macro viruses in Word 6/95 documents, as a daemon that speaks "
      "clamd's protocol.",
      "zebmacrod"};
  std::string sConfigFile = "/etc/zebmacrod.conf";
  std::string sLibrary = ZmLibraryName();
  bool bForeground = false, bVersion = false;
  app.add_option("-c,--config-file", sConfigFile, "The configuration, in clamd.conf's form")
      ->capture_default_str();
  app.add_flag("-F,--foreground", bForeground, "Stay in the foreground (as Foreground yes)");
  app.add_flag("-V,--version", bVersion, "Print the versions of zebmacrod and the library");
  CLI::Option* pLibrary =
      app.add_option("--library", sLibrary, "The zebmacro library to load")->capture_default_str();
  try {
    std::vector<std::string> args = zebscan::ProgramArguments(argc, argv);
    std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 1;
  }

  ZmApi api;
  if (!zebscan::LoadScanLibrary(pLibrary->count() > 0, &sLibrary, &api))
    return Fail("cannot load " + sLibrary);
  EngineFacts engine{ZmLibraryVersion(api), api.MACRO_Signatures(), LibraryDate(sLibrary)};
  if (bVersion) {
    std::printf("zebmacrod %s\nlibrary zebmacro %s, %d definitions\n", ZEBMACRO_VERSION,
                engine.sVersion.c_str(), engine.nDefinitions);
    return 0;
  }

  Config config;
  std::stringstream text;
  {
    std::ifstream in(sConfigFile, std::ios::binary);
    if (!in) return Fail("cannot read the configuration " + sConfigFile);
    text << in.rdbuf();
  }  // closed before any worker could inherit it
  std::vector<std::string> warnings;
  std::string sError;
  if (!ParseConfig(text.str(), sConfigFile, &config, &warnings, &sError)) return Fail(sError);
  for (const std::string& s : warnings) std::fprintf(stderr, "zebmacrod: warning: %s\n", s.c_str());
  config.bForeground |= bForeground;
  for (std::string* p : {&config.sLocalSocket, &config.sPidFile, &config.sLogFile}) Absolute(p);
  const unsigned nWorkers = config.nMaxThreads ? config.nMaxThreads : zebscan::UsableCores();

  if (!NetStartup(&sError)) return Fail(sError);
  InstallSignalHandlers();
  Log log(config.sLogFile, config.bLogTime, config.bLogVerbose);
  if (!log.Open(&sError)) return Fail(sError);
  Listeners listeners;
  if (!config.sLocalSocket.empty() && !LocalSocketsSupported()) {
    if (config.iTcpPort < 0) return Fail("LocalSocket: no Unix-domain sockets here; set TCPSocket");
    std::fprintf(stderr, "zebmacrod: warning: LocalSocket ignored: no Unix-domain sockets here\n");
    config.sLocalSocket.clear();
  }
  if (!config.sLocalSocket.empty() &&
      !listeners.AddLocal(config.sLocalSocket, config.uLocalSocketMode, config.iMaxQueue, &sError))
    return Fail(sError);
  if (config.iTcpPort >= 0)
    for (const std::string& sAddr : config.tcpAddrs)
      if (!listeners.AddTcp(sAddr, config.iTcpPort, config.iMaxQueue, &sError)) return Fail(sError);
  // Detached before any thread starts: only the calling thread survives a fork.
  if (!config.bForeground && !Detach(&sError))
    std::fprintf(stderr, "zebmacrod: warning: staying in the foreground: %s\n", sError.c_str());
  if (!config.sPidFile.empty()) {
    std::FILE* p = std::fopen(config.sPidFile.c_str(), "w");
    if (p == nullptr || std::fprintf(p, "%ld\n", ProcessId()) < 0 || std::fclose(p) != 0)
      return Fail("PidFile " + config.sPidFile + ": cannot write it");
  }
  std::string sPrivateDir;
  if (!MakePrivateDirectory(&sPrivateDir, &sError)) {
    if (!config.sPidFile.empty()) std::remove(config.sPidFile.c_str());
    return Fail(sError);
  }

  log.Write("zebmacrod " ZEBMACRO_VERSION " started: zebmacro " + engine.sVersion + ", " +
            std::to_string(engine.nDefinitions) + " definitions, " + std::to_string(nWorkers) +
            " workers");
  if (!config.sLogFile.empty())
    for (const std::string& s : warnings) log.Write("warning: " + s);
  {
    zebscan::PoolOptions pool;
    pool.nWorkers = nWorkers;
    pool.sExecutable = zebscan::ExecutablePath();
    pool.sLibrary = sLibrary;
    pool.scan.bDeep = config.bDeepScan;
    pool.scan.bAlertEncrypted = config.bAlertEncrypted || config.bAlertEncryptedDoc;
    // MaxScanTime 0 means no limit; a day stands for it.
    pool.fileTimeout =
        std::chrono::milliseconds(config.msMaxScanTime ? config.msMaxScanTime : 86400000u);
    zebscan::Pool workers(pool);
    Server server(config, &log, &workers, nWorkers, engine, sPrivateDir);
    server.Run(&listeners);
  }  // every worker ended
  RemovePrivateDirectory(sPrivateDir);
  if (!config.sPidFile.empty()) std::remove(config.sPidFile.c_str());
  log.Write("zebmacrod stopped");
  return 0;
}

}  // namespace
}  // namespace zebmacrod

int main(int argc, char** argv) {
  int iExit = 0;
  if (zebscan::RunAsWorker(argc, argv, &iExit)) return iExit;
  try {
    return zebmacrod::Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zebmacrod: %s\n", e.what());
    return 1;
  }
}
