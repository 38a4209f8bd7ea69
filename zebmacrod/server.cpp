// One thread per connection: it reads the client's bytes into the protocol, carries out each
// request, and sends the replies. Scans of single files (INSTREAM, FILDES, a session's SCAN)
// answer from the pool as they finish, so a session's replies come in the order they are done;
// a scan of a path walks on the connection's thread, its files scanned by the pool.
//
// Threads rather than an event loop: a connection mostly waits (for its client, or for the pool,
// which already has a thread per worker), blocking waits with time limits read as the protocol
// does, and the same code runs over Winsock. The cap on connections bounds the threads.
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>

#include "protocol.h"
#include "service.h"
#include "session.h"
#include "textutil.h"

namespace zebmacrod {

using zm::Connection;
using zm::File;
using zm::FileResult;
using zm::Listeners;
using zm::Outcome;

namespace {

// Connections served at once; more wait in the listen queue (MaxConnectionQueueLength). Each is
// a thread that mostly sleeps, so this bounds memory rather than work.
constexpr size_t kMaxConnections = 128;
// At the cap, a connection that has not sent its first command whole after this long is ended
// (COMMAND READ TIMED OUT) to let the next client in: slow or silent clients cannot hold every
// place for their whole CommandReadTimeout, while a client that sends its command as it connects
// never loses its place.
constexpr auto kRoomAfter = std::chrono::seconds(2);
// One connection at a time makes room: its place is free once it has answered and lingered.
constexpr auto kRoomEvery = std::chrono::milliseconds(250);
// A bare command without a line end is complete once the client has sent nothing for this long
// (clamd takes whatever its first read brought; the pause also joins a command split in two
// writes).
constexpr int kPauseMs = 20;
// Bytes read from a client at a time.
constexpr size_t kReadSize = 64 * 1024;
// A closed connection's unread input is read and dropped for at most this long, so that closing
// does not reset the connection before the client has read the replies.
constexpr int kLingerMs = 200;

const char* Name(Command c) {
  switch (c) {
    case Command::kPing:
      return "PING";
    case Command::kVersion:
      return "VERSION";
    case Command::kVersionCommands:
      return "VERSIONCOMMANDS";
    case Command::kReload:
      return "RELOAD";
    case Command::kShutdown:
      return "SHUTDOWN";
    case Command::kScan:
      return "SCAN";
    case Command::kContScan:
      return "CONTSCAN";
    case Command::kMultiScan:
      return "MULTISCAN";
    case Command::kAllMatchScan:
      return "ALLMATCHSCAN";
    case Command::kInstream:
      return "INSTREAM";
    case Command::kFildes:
      return "FILDES";
    case Command::kStats:
      return "STATS";
    case Command::kIdSession:
      return "IDSESSION";
    case Command::kEnd:
      return "END";
  }
  return "?";
}

// The reply line for one file's result (as Server::Judged gave it), known to the client as
// sLabel. Files that are no Word 6/95 documents, links not followed, containers whose scanning
// is turned off and other skipped entries answer OK, as clamd answers for files it has nothing
// to say about.
std::string Verdict(const std::string& sLabel, const FileResult& r) {
  switch (r.outcome) {
    case Outcome::kFound:
      return sLabel + ": " + zm::EscapeControls(r.sVirus) + " FOUND";
    case Outcome::kError:
      return sLabel + ": " + zm::EscapeControls(r.sReason) + " ERROR";
    default:
      return sLabel + ": OK";
  }
}

// ALLMATCHSCAN's lines: a container found infected answers each finding of its members on a line
// of its own, as clamd's all-match mode does; anything else its one line.
std::vector<std::string> AllMatches(const std::string& sLabel, const FileResult& r) {
  std::vector<std::string> lines;
  if (r.outcome == Outcome::kFound)
    for (const container::Member& m : r.members)
      if (m.outcome == container::Outcome::kFound)
        lines.push_back(sLabel + ": " + zm::EscapeControls(m.sVirus) + " FOUND");
  if (lines.empty()) lines.push_back(Verdict(sLabel, r));
  return lines;
}

// What AlertBrokenWord6 answers for: an ERROR that rests on the document's own damage, not on a
// file that could not be read or a scan that failed.
bool IsBrokenWord6(bool bError, zm::Cause cause) {
  return bError && (cause == zm::Cause::kTruncated || cause == zm::Cause::kDamaged);
}

}  // namespace

// ---- One connection ----

class ConnectionServer {
 public:
  ConnectionServer(Server* pServer, Connection* pConnection, uint64_t uId)
      : m_server(*pServer),
        m_conn(*pConnection),
        m_uId(uId),
        m_out(std::make_shared<Outbox>()),
        m_protocol(Limits(*pServer, *pConnection), zm::CloseNativeFd) {}
  ~ConnectionServer() { m_server.Awaited(m_uId); }  // however Run ended
  void Run();

 private:
  // Replies waiting to be sent, and the scans whose replies are still to come. Pool threads add
  // to it; only the connection's thread sends.
  struct Outbox {
    std::mutex mutex;
    std::deque<std::string> replies;
    size_t nPending = 0;
  };
  struct Stream {
    Request request;
    zm::StreamFile file;
    std::string sFailed;  // why the data could not be kept; the rest is read and dropped
  };
  static Protocol::Limits Limits(const Server& server, const Connection& conn) {
    Protocol::Limits limits;
    limits.cbStreamMax = server.m_config.cbStreamMax;
    limits.bPassesFds = conn.PassesFds();
    return limits;
  }
  int SendTimeoutMs() const { return static_cast<int>(m_server.m_config.secReadTimeout) * 1000; }
  int TimeLimitMs(Protocol::Waiting waiting, bool bPending) const;
  void Queue(const std::string& s);
  bool Flush();
  void Reply(const Request& r, const std::string& sText) { Queue(FormatReply(r, sText)); }
  bool Read(std::vector<char>* pBuffer);
  void Process();
  void EndInput(Protocol::End why);
  void Stop(std::vector<char>* pBuffer);
  void Handle(const Request& r);
  void ScanPath(const Request& r);
  void Submit(const Request& r, File&& file, const std::string& sPath, const std::string& sLabel,
              std::shared_ptr<Stream> keep);
  void FinishStream();
  void Linger();

  Server& m_server;
  Connection& m_conn;
  uint64_t m_uId;
  std::shared_ptr<Outbox> m_out;
  Protocol m_protocol;
  std::shared_ptr<Stream> m_stream;  // the INSTREAM being read
  bool m_bInputDone = false;
  bool m_bGone = false;               // the client takes no more replies
  std::atomic<bool> m_bEvict{false};  // the server needs this connection's place
};

void ConnectionServer::Queue(const std::string& s) {
  std::lock_guard<std::mutex> lock(m_out->mutex);
  m_out->replies.push_back(s);
}

// Sends what is queued; false once the client no longer takes replies.
bool ConnectionServer::Flush() {
  for (;;) {
    std::string s;
    {
      std::lock_guard<std::mutex> lock(m_out->mutex);
      if (m_out->replies.empty()) return !m_bGone;
      s.swap(m_out->replies.front());
      m_out->replies.pop_front();
    }
    if (!m_bGone && !m_conn.Send(s, SendTimeoutMs())) {
      m_bGone = true;
      m_server.m_pLog->Verbose("Connection " + std::to_string(m_uId) +
                               ": the client no longer takes replies");
    }
  }
}

// How long the connection waits for what it waits for: CommandReadTimeout for the first command,
// IdleTimeout for a session's next (none while its own results are still to come), each a limit
// for the whole command however slowly it comes; ReadTimeout for each read of a request's data.
int ConnectionServer::TimeLimitMs(Protocol::Waiting waiting, bool bPending) const {
  const Config& c = m_server.m_config;
  switch (waiting) {
    case Protocol::Waiting::kFirstCommand:
      return static_cast<int>(c.secCommandReadTimeout) * 1000;
    case Protocol::Waiting::kSessionCommand:
      return bPending ? -1 : static_cast<int>(c.secIdleTimeout) * 1000;
    default:
      return static_cast<int>(c.secReadTimeout) * 1000;
  }
}

void ConnectionServer::Run() {
  using Clock = std::chrono::steady_clock;
  std::vector<char> ab(kReadSize);
  Protocol::Waiting waiting = m_protocol.WaitingFor();
  uint64_t nCommands = 0;
  Clock::time_point tSince = Clock::now();  // when the current wait began
  bool bAwaiting = true;
  m_server.Await(m_uId, {tSince, &m_bEvict, &m_conn});
  for (;;) {
    Flush();
    if (m_bGone && !m_bInputDone) EndInput(Protocol::End::kClosed);
    if (bAwaiting && (m_bInputDone || m_protocol.Commands() > 0)) {
      m_server.Awaited(m_uId);
      bAwaiting = false;
    }
    if (m_bInputDone) {
      {
        std::lock_guard<std::mutex> lock(m_out->mutex);
        if (m_out->nPending == 0 && m_out->replies.empty()) break;
      }
      m_conn.Wait(false, -1);  // woken by each result
      continue;
    }
    if (m_bEvict && m_protocol.WaitingFor() == Protocol::Waiting::kFirstCommand) {
      m_server.m_pLog->Verbose("Connection " + std::to_string(m_uId) +
                               ": ended to make room for another client");
      EndInput(Protocol::End::kTimedOut);
      continue;
    }
    bool bPending;
    {
      std::lock_guard<std::mutex> lock(m_out->mutex);
      bPending = m_out->nPending > 0;
    }
    Clock::time_point now = Clock::now();
    if (m_protocol.WaitingFor() != waiting || m_protocol.Commands() != nCommands || bPending) {
      waiting = m_protocol.WaitingFor();
      nCommands = m_protocol.Commands();
      tSince = now;
    }
    int msTimeout = TimeLimitMs(waiting, bPending);
    if (msTimeout >= 0) {
      auto msLeft =
          msTimeout - std::chrono::duration_cast<std::chrono::milliseconds>(now - tSince).count();
      if (msLeft <= 0) {
        EndInput(Protocol::End::kTimedOut);
        continue;
      }
      msTimeout = static_cast<int>(msLeft);
    }
    bool bPause = m_protocol.WaitsForPause();
    if (bPause && (msTimeout < 0 || msTimeout > kPauseMs)) msTimeout = kPauseMs;
    switch (m_conn.Wait(true, msTimeout)) {
      case Connection::Ready::kWoken:
        continue;
      case Connection::Ready::kStopping:
        Stop(&ab);
        continue;
      case Connection::Ready::kTimeout:
        if (bPause) {
          m_protocol.Pause();
          Process();
        }
        continue;  // a time limit that ran out ends the input above
      case Connection::Ready::kFailed:
        EndInput(Protocol::End::kClosed);
        continue;
      case Connection::Ready::kReadable:
        break;
    }
    if (Read(&ab) && waiting == Protocol::Waiting::kRequestData) tSince = Clock::now();
    Process();
  }
  Linger();
}

// Reads what has come into the protocol; false when nothing was there.
bool ConnectionServer::Read(std::vector<char>* pBuffer) {
  std::vector<int> fds;
  long n = m_conn.Receive(pBuffer->data(), pBuffer->size(), &fds);
  if (n < 0 && errno == EAGAIN) {
    for (int fd : fds) zm::CloseNativeFd(fd);
    return false;
  }
  if (n > 0) {
    m_protocol.Feed(pBuffer->data(), static_cast<size_t>(n), fds);
  } else {
    for (int fd : fds) zm::CloseNativeFd(fd);
    m_protocol.EndOfInput();
  }
  return true;
}

// The daemon stops: what the client sent before is still read, and a request that came whole is
// carried out (a walk stops at once, with its ERROR line); a request cut short, a stream still
// coming, or a client that has sent nothing yet hears why no more is taken.
void ConnectionServer::Stop(std::vector<char>* pBuffer) {
  if (Read(pBuffer)) Process();
  EndInput(Protocol::End::kStopping);
}

// Takes every event the bytes so far make.
void ConnectionServer::Process() {
  for (;;) {
    Request r;
    std::string s;
    switch (m_protocol.Next(&r, &s)) {
      case Protocol::Event::kNeedMore:
        return;
      case Protocol::Event::kClose:
        m_bInputDone = true;
        m_stream.reset();  // data that never ended is not scanned
        return;
      case Protocol::Event::kReply:
        m_server.m_pLog->Verbose("Connection " + std::to_string(m_uId) + ": " +
                                 zm::EscapeControls(s.substr(0, s.size() - 1)));
        Queue(s);
        m_stream.reset();
        continue;
      case Protocol::Event::kRequest:
        Handle(r);
        continue;
      case Protocol::Event::kStreamData:
        if (m_stream && m_stream->sFailed.empty())
          m_stream->file.Write(s.data(), s.size(), &m_stream->sFailed);
        continue;
      case Protocol::Event::kStreamEnd:
        FinishStream();
        continue;
    }
  }
}

// No more input is taken. A request whose data was being read is answered with the reason
// (when the client is still there to read it); the protocol answers a command cut short.
void ConnectionServer::EndInput(Protocol::End why) {
  const char* szWhy = why == Protocol::End::kTimedOut   ? "Timed out waiting for the client"
                      : why == Protocol::End::kStopping ? "zebmacrod is shutting down"
                                                        : nullptr;
  if (szWhy && m_stream) Reply(m_stream->request, "stream: " + std::string(szWhy) + " ERROR");
  m_stream.reset();
  m_protocol.EndOfInput(why);
  Process();
  m_bInputDone = true;
  if (szWhy)
    m_server.m_pLog->Verbose("Connection " + std::to_string(m_uId) + ": input ended: " + szWhy);
}

void ConnectionServer::Linger() {
  m_conn.ShutdownSend();
  std::vector<char> ab(kReadSize);
  std::vector<int> fds;
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
  while (m_conn.Wait(true, kLingerMs) == Connection::Ready::kReadable) {
    long n = m_conn.Receive(ab.data(), ab.size(), &fds);
    for (int fd : fds) zm::CloseNativeFd(fd);
    fds.clear();
    if (n == 0 || (n < 0 && errno != EAGAIN) || std::chrono::steady_clock::now() > until) break;
  }
}

void ConnectionServer::Handle(const Request& r) {
  m_server.SetActivity(m_uId, Name(r.command));
  m_server.m_pLog->Verbose("Connection " + std::to_string(m_uId) + " (" + m_conn.Peer() +
                           "): " + Name(r.command) +
                           (r.sArgument.empty() ? "" : " " + zm::EscapeControls(r.sArgument)));
  switch (r.command) {
    case Command::kPing:
      return Reply(r, "PONG");
    case Command::kVersion:
      return Reply(r, m_server.VersionText());
    case Command::kVersionCommands:
      return Reply(r, m_server.VersionText() + "| COMMANDS: " + CommandList(m_conn.PassesFds()));
    case Command::kReload:
      return Reply(r, "RELOADING");  // the database is compiled in: nothing to load again
    case Command::kShutdown:
      m_server.m_pLog->Write("SHUTDOWN requested by a client");
      return zm::RequestStop();
    case Command::kStats:
      return Reply(r, m_server.StatsText());
    case Command::kScan:
    case Command::kContScan:
    case Command::kMultiScan:
    case Command::kAllMatchScan:
      ScanPath(r);
      return m_server.SetActivity(m_uId, "IDLE");
    case Command::kInstream:
      m_stream = std::make_shared<Stream>();
      m_stream->request = r;
      m_stream->file.Create(m_server.m_sPrivateDir, &m_stream->sFailed);
      return;
    case Command::kFildes: {
      std::string sLabel = "fd[" + std::to_string(r.fd) + "]";
      File f;
      std::string sWhy;
      if (!zm::FileFromFd(r.fd, &f, &sWhy))  // takes the descriptor in every case
        return Reply(r, Verdict(sLabel, zm::NotOpened(sLabel, sWhy)));
      return Submit(r, std::move(f), sLabel, sLabel, nullptr);
    }
    case Command::kIdSession:
    case Command::kEnd:
      return;  // the protocol keeps these to itself
  }
}

void ConnectionServer::FinishStream() {
  std::shared_ptr<Stream> stream = std::move(m_stream);
  if (!stream) return;
  File f;
  std::string sPath;
  if (stream->sFailed.empty() && stream->file.Finish(&f, &sPath, &stream->sFailed))
    return Submit(stream->request, std::move(f), sPath, "stream", stream);
  Reply(stream->request, "stream: " + stream->sFailed + " ERROR");
}

// Hands one file to the pool; its reply is queued when the result comes. keep lives as long.
void ConnectionServer::Submit(const Request& r, File&& file, const std::string& sPath,
                              const std::string& sLabel, std::shared_ptr<Stream> keep) {
  {
    std::lock_guard<std::mutex> lock(m_out->mutex);
    ++m_out->nPending;
  }
  std::shared_ptr<Outbox> out = m_out;
  Connection* pConn = &m_conn;
  Server* pServer = &m_server;
  uint64_t uId = m_uId;
  m_server.m_pPool->Submit(
      std::move(file), sPath, [=, keep = std::move(keep)](FileResult&& res) mutable {
        keep.reset();  // the stream's file is gone before the client hears of it
        FileResult spare;
        const FileResult& judged = pServer->Judged(res, &spare);
        std::vector<std::string> lines = r.command == Command::kAllMatchScan
                                             ? AllMatches(sLabel, judged)
                                             : std::vector<std::string>{Verdict(sLabel, judged)};
        for (const std::string& sLine : lines) {
          if (judged.outcome == Outcome::kFound || judged.outcome == Outcome::kError)
            pServer->m_pLog->Write("Connection " + std::to_string(uId) + ": " + sLine);
          else
            pServer->m_pLog->Verbose("Connection " + std::to_string(uId) + ": " + sLine);
        }
        // The wake happens under the lock: the connection cannot end between the two.
        std::lock_guard<std::mutex> lock(out->mutex);
        for (const std::string& sLine : lines) out->replies.push_back(FormatReply(r, sLine));
        --out->nPending;
        pConn->Wake();
      });
}

// SCAN, CONTSCAN, MULTISCAN, ALLMATCHSCAN of a path on the daemon's side. The lines: findings
// and errors as they come (SCAN and ALLMATCHSCAN stop at the first finding), or "path: OK" when
// there was nothing to say. SCAN and CONTSCAN scan one file at a time, as clamd's do; MULTISCAN
// keeps every worker busy. Results come back in the walk's order either way.
void ConnectionServer::ScanPath(const Request& r) {
  std::string sPath = zm::WithoutTrailingSeparators(r.sArgument);
  std::string sShown = zm::EscapeControls(sPath);
  auto line = [&](const std::string& s) {
    Reply(r, s);
    Flush();
  };
  std::string sWhy;
  zm::EntryInfo info;
  if (sPath.empty())
    sWhy = "No such file or directory";
  else if (!zm::IsAbsolutePath(sPath))
    sWhy = "Not an absolute path";
  else if (m_server.Excluded(sPath))
    return line(sShown + ": Excluded");  // clamd's words for a path ExcludePath leaves out
  else
    zm::StatEntry(nullptr, sPath, false, &info, &sWhy);
  if (!sWhy.empty()) return line(sShown + ": File path check failure: " + sWhy + ". ERROR");
  if (info.type == zm::EntryType::kFile) {
    // One file: answered from the pool when done, so a session reads on meanwhile.
    File f;
    if (zm::OpenFile(nullptr, sPath, false, false, &f, &sWhy))
      return Submit(r, std::move(f), sPath, sShown, nullptr);
    return line(Verdict(sShown, zm::NotOpened(sPath, sWhy)));
  }

  bool bStopAtFinding = r.command == Command::kScan || r.command == Command::kAllMatchScan;
  bool bFound = false, bSaid = false;
  zm::SessionOptions options;
  options.walk = m_server.m_walk;
  options.pSharedPool = m_server.m_pPool;
  options.nWindow = r.command == Command::kMultiScan ? 4 * m_server.m_nWorkers : 1;
  options.interrupted = [this] { return zm::StopRequested() || m_bGone; };
  zm::Session* pSession = nullptr;
  zm::Session session(options, [&](const FileResult& scanned) {
    FileResult spare;
    const FileResult& res = m_server.Judged(scanned, &spare);
    const std::string sLabel = zm::EscapeControls(res.sPath);
    if (res.outcome != Outcome::kFound && res.outcome != Outcome::kError)
      return m_server.m_pLog->Verbose(Verdict(sLabel, res));
    for (const std::string& sLine : r.command == Command::kAllMatchScan
                                        ? AllMatches(sLabel, res)
                                        : std::vector<std::string>{Verdict(sLabel, res)}) {
      m_server.m_pLog->Write("Connection " + std::to_string(m_uId) + ": " + sLine);
      line(sLine);
    }
    bFound |= res.outcome == Outcome::kFound;
    bSaid = true;
    if (bFound && bStopAtFinding)
      pSession->Stop("");  // nothing more is said
    else if (m_bGone)
      pSession->StopWalk();
  });
  pSession = &session;
  session.AddPath(sPath);
  session.Flush();
  const bool bInterrupted = session.Interrupted();
  // Never OK for a walk that did not reach its end.
  if (bInterrupted && !bFound)
    return line(sShown + ": Scan stopped before its end: " +
                (m_bGone ? "the client went away" : "zebmacrod is shutting down") + " ERROR");
  if (!bSaid) line(sShown + ": OK");
}

// ---- The server ----

Server::Server(const Config& config, Log* pLog, zm::Pool* pPool, unsigned nWorkers,
               zm::EngineFacts engine, std::string sPrivateDir)
    : m_config(config),
      m_pLog(pLog),
      m_pPool(pPool),
      m_nWorkers(nWorkers),
      m_engine(std::move(engine)),
      m_sPrivateDir(std::move(sPrivateDir)) {
  for (const std::string& s : config.excludePaths)
    m_excluded.emplace_back(s, std::regex::extended | std::regex::nosubs);
  // Links: clamd's yes is "always" (each link met), its no "never" (a link named is not
  // followed either).
  using zm::LinkPolicy;
  m_walk.dirLinks = config.bFollowDirectorySymlinks ? LinkPolicy::kAlways : LinkPolicy::kNever;
  m_walk.fileLinks = config.bFollowFileSymlinks ? LinkPolicy::kAlways : LinkPolicy::kNever;
  m_walk.iMaxDepth = config.iMaxDirectoryRecursion;
  if (!m_excluded.empty())
    m_walk.excludePath = [this](const std::string& sPath) { return Excluded(sPath); };
}

// A document too damaged to judge answers as AlertBrokenWord6 says: an ERROR (as scanned), a
// finding in clamd's name for verdicts on broken files (Heuristics.Broken.*), or OK. Only the
// document's own damage counts: a file that could not be read, or whose scan failed, stays an
// ERROR. The result is r itself, or *pSpare holding the answer.
const FileResult& Server::Judged(const FileResult& r, FileResult* pSpare) const {
  if (r.containerKind != container::Kind::kNone) return JudgedContainer(r, pSpare);
  if (!IsBrokenWord6(r.outcome == Outcome::kError, r.cause) ||
      m_config.brokenWord6 == Config::Broken::kError)
    return r;
  bool bFound = m_config.brokenWord6 == Config::Broken::kFound;
  *pSpare = zm::ResultOf(r.sPath, bFound ? Outcome::kFound : Outcome::kOk, "", r.cause);
  if (bFound) pSpare->sVirus = "Heuristics.Broken.Word6";
  pSpare->id = r.id;
  pSpare->nLinks = r.nLinks;
  return *pSpare;
}

// A container: its documents too damaged to judge answer as AlertBrokenWord6 says, and the whole
// is judged again from its records. One this build cannot open is the scan core's ERROR already;
// one whose scanning is turned off is SKIPPED, answered OK as clamd answers.
const FileResult& Server::JudgedContainer(const FileResult& r, FileResult* pSpare) const {
  if (m_config.brokenWord6 == Config::Broken::kError) return r;
  auto broken = [](const container::Member& m) {
    return m.why == container::Why::kDocument &&
           IsBrokenWord6(m.outcome == container::Outcome::kError, m.cause);
  };
  if (std::none_of(r.members.begin(), r.members.end(), broken)) return r;
  *pSpare = r;
  const bool bFound = m_config.brokenWord6 == Config::Broken::kFound;
  for (container::Member& m : pSpare->members) {
    if (!broken(m)) continue;
    m.outcome = bFound ? container::Outcome::kFound : container::Outcome::kOk;
    m.sVirus = bFound ? "Heuristics.Broken.Word6" : "";
    m.sReason.clear();
  }
  const container::Verdict v = container::VerdictOf(pSpare->members);
  pSpare->outcome = v.outcome == container::Outcome::kFound   ? Outcome::kFound
                    : v.outcome == container::Outcome::kError ? Outcome::kError
                                                              : Outcome::kOk;
  pSpare->sVirus = v.sVirus;
  pSpare->sReason = v.sReason;
  pSpare->cause = v.cause;
  return *pSpare;
}

bool Server::Excluded(const std::string& sPath) const {
  for (const std::regex& re : m_excluded)
    if (std::regex_search(sPath, re)) return true;
  return false;
}

std::string Server::VersionText() const {
  return "zebmacro " + m_engine.sVersion + "/" + std::to_string(m_engine.nDefinitions) + "/" +
         m_engine.sDate;
}

void Server::SetActivity(uint64_t uConnection, const std::string& sWhat) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_activity[uConnection] = {sWhat, std::chrono::steady_clock::now()};
}

// clamd's STATS shape. THREADS are the worker processes here: live and max the pool's size,
// idle those without a file; QUEUE the files waiting for one; then each connection's command
// and how long it has been at it.
std::string Server::StatsText() {
  long nInFlight = static_cast<long>(m_pPool->InFlight());
  unsigned nBusy = static_cast<unsigned>(std::min<long>(nInFlight, m_nWorkers));
  char sz[256];
  std::snprintf(sz, sizeof sz,
                "POOLS: 1\n\nSTATE: VALID PRIMARY\nTHREADS: live %u  idle %u max %u idle-timeout "
                "%u\nQUEUE: %ld items\n",
                m_nWorkers, m_nWorkers - nBusy, m_nWorkers, m_config.secIdleTimeout,
                nInFlight - static_cast<long>(nBusy));
  std::string s = sz;
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& a : m_activity) {
      std::chrono::duration<double> dt = now - a.second.tSince;
      std::snprintf(sz, sizeof sz, "\t%s %f \n", a.second.sWhat.c_str(), dt.count());
      s += sz;
    }
  }
  return s +
         "\nMEMSTATS: heap N/A mmap N/A used N/A free N/A releasable N/A pools 1 pools_used N/A "
         "pools_total N/A\nEND";
}

void Server::Await(uint64_t uConnection, const Awaiting& a) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_awaiting[uConnection] = a;
}

void Server::Awaited(uint64_t uConnection) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_awaiting.erase(uConnection);
}

// Waits for a place for one more connection. At the cap, the connection that has waited longest
// for its first command, and at least kRoomAfter, is ended - one at a time, each making room for
// the next client in line.
void Server::MakeRoom() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (m_nConnections >= kMaxConnections && !zm::StopRequested()) {
    auto oldest = std::min_element(m_awaiting.begin(), m_awaiting.end(), [](auto& a, auto& b) {
      return a.second.tSince < b.second.tSince;
    });
    auto now = std::chrono::steady_clock::now();
    if (oldest != m_awaiting.end() && now - oldest->second.tSince >= kRoomAfter &&
        now - m_tEvicted >= kRoomEvery) {
      *oldest->second.pbEvict = true;
      oldest->second.pConn->Wake();
      m_awaiting.erase(oldest);
      m_tEvicted = now;
    }
    m_cv.wait_for(lock, std::chrono::milliseconds(100));
  }
}

void Server::Serve(std::unique_ptr<Connection> pConn, uint64_t uId) {
  auto pbDone = std::make_shared<std::atomic<bool>>(false);
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_nConnections;
    m_activity[uId] = {"IDLE", std::chrono::steady_clock::now()};
  }
  std::shared_ptr<Connection> pShared(std::move(pConn));
  auto serve = [this, pShared, uId, pbDone] {
    try {
      ConnectionServer(this, pShared.get(), uId).Run();
    } catch (const std::exception& ex) {
      m_pLog->Write("Connection " + std::to_string(uId) + " failed: " + ex.what());
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      --m_nConnections;
      m_activity.erase(uId);
    }
    m_cv.notify_all();
    *pbDone = true;
  };
  try {
    m_running.push_back({std::thread(serve), pbDone});
  } catch (const std::system_error& ex) {
    m_pLog->Write(std::string("Cannot serve a connection: ") + ex.what());
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_nConnections;
    m_activity.erase(uId);
  }
}

void Server::Run(Listeners* pListeners) {
  uint64_t uNext = 0;
  auto reap = [this](bool bAll) {
    for (auto it = m_running.begin(); it != m_running.end();) {
      if (bAll || *it->pbDone) {
        it->thread.join();
        it = m_running.erase(it);
      } else {
        ++it;
      }
    }
  };
  for (;;) {
    std::unique_ptr<Connection> pConn;
    Listeners::Event e = pListeners->Wait(&pConn);
    if (e == Listeners::Event::kStop || e == Listeners::Event::kFailed) break;
    if (e == Listeners::Event::kReopenLog) {
      std::string sWhy;
      if (!m_pLog->Open(&sWhy)) m_pLog->Write("zebmacrod: cannot reopen the log: " + sWhy);
      continue;
    }
    reap(false);
    MakeRoom();  // the accepted client waits for its place, as it would in the listen queue
    Serve(std::move(pConn), ++uNext);
  }
  // Clients still in the listen queue sent their requests too: they hear that the daemon stops
  // (the cap does not hold now: every connection ends at once).
  std::unique_ptr<Connection> pConn;
  for (size_t n = 0; n < kMaxConnections + static_cast<size_t>(m_config.iMaxQueue) &&
                     pListeners->AcceptWaiting(&pConn);
       ++n)
    Serve(std::move(pConn), ++uNext);
  pListeners->Close();  // no one connects any more; the socket's file is gone
  reap(true);
}

}  // namespace zebmacrod
