// zebmacrod: zebmacro's scanner as a daemon that speaks clamd's protocol, configured by a file in
// clamd.conf's form. Everything that can fail is tried before the daemon detaches or listens:
// the configuration, the library, the log, the sockets, the pid file, the private directory. On
// Windows it runs under the service manager as well (--service), and installs itself there.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "config.h"
#include "log.h"
#include "platform.h"
#include "pool.h"
#include "server.h"
#include "service.h"
#include "socket.h"
#include "worker.h"
#include "zmapi.h"

namespace zebmacrod {
namespace {

// A service has no standard error: what it says goes to the system's log.
void Say(zm::LogLevel level, const std::string& sLine) {
  if (zm::InService())
    zm::SystemLog(kServiceName, level, sLine);
  else
    zm::WriteText(stderr, "zebmacrod: " + sLine + "\n");
}

int Fail(const std::string& sWhy) {
  Say(zm::LogLevel::kError, sWhy);
  return 1;
}

void Warn(const std::string& sWhat) { Say(zm::LogLevel::kWarning, "warning: " + sWhat); }

struct CommandLine {
  std::string sConfigFile = zm::DefaultConfigFile("zebmacrod.conf");
  std::string sLibrary = ZmLibraryName();
  bool bLibraryNamed = false;
  bool bForeground = false;
  bool bVersion = false;
  bool bService = false;  // started by the service manager
  bool bInstallService = false;
  bool bUninstallService = false;
};

// The command line into *pLine; false with the exit status in *piExit when there is nothing more
// to do (--help, a usage error).
bool ParseCommandLine(int argc, char** argv, CommandLine* pLine, int* piExit) {
  CLI::App app{
      "zebmacrod: finds WordBasic macro viruses in Word 6/95 documents, as a daemon that speaks "
      "clamd's protocol.",
      "zebmacrod"};
  app.allow_windows_style_options(false);  // options begin with '-' everywhere
  app.add_option("-c,--config-file", pLine->sConfigFile, "The configuration, in clamd.conf's form")
      ->capture_default_str();
  app.add_flag("-F,--foreground", pLine->bForeground, "Stay in the foreground (as Foreground yes)");
  app.add_flag("-V,--version", pLine->bVersion, "Print the versions of zebmacrod and the library");
  CLI::Option* pLibrary =
      app.add_option("--library", pLine->sLibrary, "The zebmacro library to load")
          ->capture_default_str();
  app.add_flag("--install-service", pLine->bInstallService,
               "Install zebmacrod as a service started at boot with this configuration, and exit "
               "(Windows; an administrator)");
  app.add_flag("--uninstall-service", pLine->bUninstallService,
               "Stop and remove the service, and exit (Windows)");
  app.add_flag("--service", pLine->bService,
               "Run under the service manager, as --install-service sets it up (Windows)");
  try {
    std::vector<std::string> args = zm::ProgramArguments(argc, argv);
    std::vector<std::string> reversed(args.rbegin(), args.rend() - (args.empty() ? 0 : 1));
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    *piExit = app.exit(e) == 0 ? 0 : 1;
    return false;
  }
  pLine->bLibraryNamed = pLibrary->count() > 0;
  return true;
}

// A relative path of the configuration, made absolute now: a daemon detached from the terminal
// works from the root directory.
void Absolute(std::string* ps) {
  if (ps->empty()) return;
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(*ps, ec);
  if (!ec) *ps = p.string();
}

// The configuration file, read and checked; its warnings said on stderr and kept for the log.
bool ReadConfiguration(const CommandLine& line, Config* pConfig,
                       std::vector<std::string>* pWarnings, std::string* psError) {
  std::stringstream text;
  {
    std::ifstream in(line.sConfigFile, std::ios::binary);
    if (!in) {
      *psError = "cannot read the configuration " + line.sConfigFile;
      return false;
    }
    text << in.rdbuf();
  }  // closed before any worker could inherit it
  if (!ParseConfig(text.str(), line.sConfigFile, pConfig, pWarnings, psError)) return false;
  for (const std::string& s : *pWarnings) Warn(s);
  pConfig->bForeground |= line.bForeground;
  for (std::string* p : {&pConfig->sLocalSocket, &pConfig->sPidFile, &pConfig->sLogFile})
    Absolute(p);
  return true;
}

// Every socket the configuration names, listening.
bool Listen(Config* pConfig, zm::Listeners* pListeners, std::string* psError) {
  Config& config = *pConfig;
  if (!config.sLocalSocket.empty() && !zm::LocalSocketsSupported()) {
    if (config.iTcpPort < 0) {
      *psError = "LocalSocket: no Unix-domain sockets here; set TCPSocket";
      return false;
    }
    Warn("LocalSocket ignored: no Unix-domain sockets here");
    config.sLocalSocket.clear();
  }
  if (!config.sLocalSocket.empty() &&
      !pListeners->AddLocal(config.sLocalSocket, config.uLocalSocketMode, config.iMaxQueue,
                            psError))
    return false;
  if (config.iTcpPort >= 0)
    for (const std::string& sAddr : config.tcpAddrs)
      if (!pListeners->AddTcp(sAddr, config.iTcpPort, config.iMaxQueue, psError)) return false;
  return true;
}

// The service from its listening sockets on: detached, its pid file and private directory made,
// the workers started, then ready() says it serves; until a stop, then everything it made removed.
int Serve(const Config& config, const std::string& sLibrary, const zm::EngineFacts& engine,
          const std::vector<std::string>& warnings, Log* pLog, zm::Listeners* pListeners,
          const std::function<void()>& ready) {
  std::string sError;
  // Detached before any thread starts: only the calling thread survives a fork. A service is
  // detached already.
  if (!config.bForeground && !zm::InService() && !zm::Detach(&sError))
    Warn("staying in the foreground: " + sError);
  if (!config.sPidFile.empty()) {
    std::FILE* p = std::fopen(config.sPidFile.c_str(), "w");
    if (p == nullptr || std::fprintf(p, "%ld\n", zm::ProcessId()) < 0 || std::fclose(p) != 0)
      return Fail("PidFile " + config.sPidFile + ": cannot write it");
  }
  std::string sPrivateDir;
  if (!zm::MakePrivateDirectory(&sPrivateDir, &sError)) {
    if (!config.sPidFile.empty()) std::remove(config.sPidFile.c_str());
    return Fail(sError);
  }
  const unsigned nWorkers = config.nMaxThreads ? config.nMaxThreads : zm::UsableCores();
  pLog->Write("zebmacrod " ZEBMACRO_VERSION " started: zebmacro " + engine.sVersion + ", " +
              std::to_string(engine.nDefinitions) + " definitions, " + std::to_string(nWorkers) +
              " workers");
  if (!config.sLogFile.empty())
    for (const std::string& s : warnings) pLog->Write("warning: " + s);
  {
    zm::PoolOptions pool;
    pool.nWorkers = nWorkers;
    pool.sExecutable = zm::ExecutablePath();
    pool.sLibrary = sLibrary;
    pool.scan.bDeep = config.bDeepScan;
    pool.scan.bAlertEncrypted = config.bAlertEncrypted || config.bAlertEncryptedDoc;
    container::Options& c = pool.scan.containers;
    c.bScanArchive = config.bScanArchive;
    c.bScanMail = config.bScanMail;
    c.limits = {config.nMaxRecursion, config.nMaxFiles, config.cbMaxScanSize, config.cbMaxFileSize};
    c.bAlertExceedsMax = config.bAlertExceedsMax;
    c.bAlertEncrypted = config.bAlertEncrypted || config.bAlertEncryptedArchive;
    // MaxScanTime 0 means no limit; a day stands for it.
    pool.fileTimeout =
        std::chrono::milliseconds(config.msMaxScanTime ? config.msMaxScanTime : 86400000u);
    zm::Pool workers(pool);
    Server server(config, pLog, &workers, nWorkers, engine, sPrivateDir);
    ready();
    server.Run(pListeners);
  }  // every worker ended
  zm::RemovePrivateDirectory(sPrivateDir);
  if (!config.sPidFile.empty()) std::remove(config.sPidFile.c_str());
  pLog->Write("zebmacrod stopped");
  return 0;
}

// The daemon, from the library's loading to its stop; ready() once it serves.
int Start(CommandLine line, const std::function<void()>& ready) {
  ZmApi api;
  if (!zm::LoadScanLibrary(line.bLibraryNamed, &line.sLibrary, &api))
    return Fail("cannot load " + line.sLibrary);
  const zm::EngineFacts engine = zm::ReadEngineFacts(api, line.sLibrary);
  if (line.bVersion) {
    std::printf("zebmacrod %s\nlibrary zebmacro %s, %d definitions\n", ZEBMACRO_VERSION,
                engine.sVersion.c_str(), engine.nDefinitions);
    return 0;
  }
  Config config;
  std::vector<std::string> warnings;
  std::string sError;
  if (!ReadConfiguration(line, &config, &warnings, &sError)) return Fail(sError);
  if (!zm::NetStartup(&sError) || !zm::InstallSignalHandlers(&sError)) return Fail(sError);
  Log log(config.sLogFile, config.bLogTime, config.bLogVerbose);
  if (!log.Open(&sError)) return Fail(sError);
  zm::Listeners listeners;
  if (!Listen(&config, &listeners, &sError)) return Fail(sError);
  return Serve(config, line.sLibrary, engine, warnings, &log, &listeners, ready);
}

// --install-service: the service runs this executable with the configuration named now (made
// absolute: a service starts in the system's directory), and the library when one was named.
// The configuration is read first: one that cannot be would only fail at the service's start.
int InstallService(const CommandLine& line) {
  std::vector<std::string> args = {"--service", "--config-file", line.sConfigFile};
  Absolute(&args.back());
  if (line.bLibraryNamed) args.insert(args.end(), {"--library", line.sLibrary});
  Config config;
  std::vector<std::string> warnings;
  std::string sError;
  if (!ReadConfiguration(line, &config, &warnings, &sError)) return Fail(sError);
  if (!zm::InstallService(kServiceName,
                          "Finds WordBasic macro viruses in Word 6/95 documents for clients of "
                          "clamd's protocol",
                          args, &sError))
    return Fail("--install-service: " + sError);
  std::printf("zebmacrod: installed the service %s, started at boot with %s (sc start %s)\n",
              kServiceName, args[2].c_str(), kServiceName);
  return 0;
}

int Run(int argc, char** argv) {
  CommandLine line;
  int iExit = 0;
  if (!ParseCommandLine(argc, argv, &line, &iExit)) return iExit;
  std::string sError;
  if (line.bInstallService) return InstallService(line);
  if (line.bUninstallService) {
    if (!zm::UninstallService(kServiceName, &sError)) return Fail("--uninstall-service: " + sError);
    std::printf("zebmacrod: removed the service %s\n", kServiceName);
    return 0;
  }
  if (!line.bService) return Start(line, [] {});
  auto serve = [&line](const std::function<void()>& ready) { return Start(line, ready); };
  if (!zm::RunService(kServiceName, serve, &iExit, &sError))
    return Fail("--service: " + sError + " (zebmacrod --install-service installs the service, " +
                "sc start " + kServiceName + " starts it)");
  return iExit;
}

}  // namespace
}  // namespace zebmacrod

int main(int argc, char** argv) {
  int iExit = 0;
  if (zm::RunAsWorker(argc, argv, &iExit)) return iExit;
  try {
    return zebmacrod::Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zebmacrod: %s\n", e.what());
    return 1;
  }
}
