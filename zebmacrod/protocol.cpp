// clamd's command grammar and its session rules, as clamd 1.4 answers them; where clamd would
// wait for ever (a bare command inside IDSESSION) this answers an error and ends the input.
// Lines are read as clamd reads them: a bare command ends at a newline or NUL, or with the bytes
// that came before the client paused (clients send "PING" alone and wait); the bare and 'n' forms
// end at a NUL inside the line and drop the CRs before its end; the 'z' form takes its bytes as
// they are.
#include "protocol.h"

#include <algorithm>

namespace zebmacrod {
namespace {

struct CommandSpec {
  const char* szName;
  Command command;
  bool bArgument;  // "NAME path"
  bool bBare;      // also accepted without the 'z' or 'n' prefix
  bool bSession;   // allowed inside IDSESSION
};

const CommandSpec kCommands[] = {
    {"SCAN", Command::kScan, true, true, true},
    {"CONTSCAN", Command::kContScan, true, true, false},
    {"MULTISCAN", Command::kMultiScan, true, true, false},
    {"ALLMATCHSCAN", Command::kAllMatchScan, true, false, false},
    {"PING", Command::kPing, false, true, true},
    {"VERSION", Command::kVersion, false, true, true},
    {"VERSIONCOMMANDS", Command::kVersionCommands, false, false, true},
    {"RELOAD", Command::kReload, false, true, false},
    {"SHUTDOWN", Command::kShutdown, false, true, false},
    {"QUIT", Command::kShutdown, false, true, false},
    {"INSTREAM", Command::kInstream, false, false, true},
    {"FILDES", Command::kFildes, false, true, true},
    {"STATS", Command::kStats, false, false, true},
    {"IDSESSION", Command::kIdSession, false, false, false},
    {"END", Command::kEnd, false, false, true},
};

const char kUnknown[] = "UNKNOWN COMMAND";
const char kInvalidInSession[] = "Command invalid inside IDSESSION. ERROR";
const char kTooLong[] = "Command too long. ERROR";
const char kTooBig[] = "INSTREAM size limit exceeded. ERROR";
const char kNoFd[] = "No file descriptor received. ERROR";
const char kFdWithoutFildes[] = "PROTOCOL ERROR: ancillary data sent without FILDES. ERROR";
const char kFildesFailed[] = "Error processing command. ERROR";
const char kNoFdPassing[] = "FILDES: descriptors pass only over a local socket. ERROR";
const char kTimedOut[] = "COMMAND READ TIMED OUT";
const char kStopping[] = "zebmacrod is shutting down. ERROR";

// Consumed bytes are dropped from the buffer's front once this many have gathered.
constexpr size_t kCompactAt = 64 * 1024;

}  // namespace

std::string FormatReply(const Request& r, const std::string& sText) {
  std::string s = r.uId ? std::to_string(r.uId) + ": " + sText : sText;
  s += r.chDelimiter;
  return s;
}

const char* CommandList(bool bFildes) {
  return bFildes ? "SCAN QUIT RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION END SHUTDOWN MULTISCAN "
                   "FILDES STATS IDSESSION INSTREAM ALLMATCHSCAN"
                 : "SCAN QUIT RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION END SHUTDOWN MULTISCAN "
                   "STATS IDSESSION INSTREAM ALLMATCHSCAN";
}

Protocol::Protocol(Limits limits, std::function<void(int)> closeFd)
    : m_limits(limits), m_closeFd(std::move(closeFd)) {}

Protocol::~Protocol() {
  for (const Passed& p : m_fds) m_closeFd(p.fd);
}

void Protocol::Feed(const char* pb, size_t cb, const std::vector<int>& fds) {
  if (m_state == State::kDone || m_bEnded || cb == 0) {
    for (int fd : fds) m_closeFd(fd);
    return;
  }
  uint64_t uFrom = m_uBase + m_buffer.size();
  m_buffer.append(pb, cb);
  m_bPaused = false;
  for (int fd : fds) m_fds.push_back({fd, uFrom, uFrom + cb});
}

void Protocol::EndOfInput(End why) {
  if (m_bEnded) return;
  m_bEnded = true;
  m_end = why;
}

Protocol::Waiting Protocol::WaitingFor() const {
  switch (m_state) {
    case State::kCommand:
      return m_bAnyCommand ? Waiting::kSessionCommand : Waiting::kFirstCommand;
    case State::kDone:
      return Waiting::kNothing;
    default:
      return Waiting::kRequestData;
  }
}

void Protocol::Compact() {
  if (m_pos < kCompactAt && m_pos < m_buffer.size()) return;
  m_buffer.erase(0, m_pos);
  m_uBase += m_pos;
  m_pos = 0;
}

// Gives back the descriptors that came only with bytes before uOffset.
void Protocol::DropFdsBefore(uint64_t uOffset, bool* pbAny) {
  while (!m_fds.empty() && m_fds.front().uTo <= uOffset) {
    m_closeFd(m_fds.front().fd);
    m_fds.pop_front();
    if (pbAny) *pbAny = true;
  }
}

Protocol::Event Protocol::Refuse(const Request& r, const std::string& sText, std::string* psData) {
  return Finish(r, {sText}, psData);
}

// The input ended where a command was awaited, with nothing or part of one. clamd answers a
// timeout with "COMMAND READ TIMED OUT", unnumbered, and a client that closed with nothing. At a
// stop the client hears why its request will not be carried out; an idle session owes nothing.
Protocol::Event Protocol::EndWithoutCommand(std::string* psData) {
  size_t cbPart = m_buffer.size() - m_pos;
  Request r;
  if (m_end == End::kTimedOut) return Refuse(r, kTimedOut, psData);
  if (m_end == End::kStopping && (cbPart > 0 || !m_bSession)) {
    if (cbPart > 0 && m_buffer[m_pos] == 'z') r.chDelimiter = '\0';
    if (m_bSession && cbPart > 0) r.uId = m_uNextId++;
    return Refuse(r, kStopping, psData);
  }
  m_state = State::kDone;
  return Event::kClose;
}

// Error replies end the input: the connection answers what is pending, then closes.
Protocol::Event Protocol::Finish(const Request& r, const std::vector<std::string>& texts,
                                 std::string* psData) {
  m_state = State::kDone;
  for (size_t i = 1; i < texts.size(); ++i) m_pendingReplies.push_back(FormatReply(r, texts[i]));
  *psData = FormatReply(r, texts.front());
  return Event::kReply;
}

Protocol::Event Protocol::Next(Request* pRequest, std::string* psData) {
  for (;;) {
    if (!m_pendingReplies.empty()) {
      *psData = m_pendingReplies.front();
      m_pendingReplies.erase(m_pendingReplies.begin());
      return Event::kReply;
    }
    size_t cbAvail = m_buffer.size() - m_pos;
    switch (m_state) {
      case State::kDone:
        return Event::kClose;
      case State::kCommand:
        return ParseCommand(pRequest, psData);
      case State::kChunkLength: {
        if (cbAvail < 4) {
          if (!m_bEnded) return Event::kNeedMore;
          m_state = State::kDone;  // cut short: the data never ended, nothing to scan
          return Event::kClose;
        }
        const unsigned char* p = reinterpret_cast<const unsigned char*>(m_buffer.data() + m_pos);
        uint32_t cb = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
        m_pos += 4;
        if (cb == 0) {
          m_state = m_bSession ? State::kCommand : State::kDone;
          *pRequest = m_current;
          Compact();
          return Event::kStreamEnd;
        }
        if (cb > m_limits.cbStreamMax || m_cbStream > m_limits.cbStreamMax - cb)
          return Refuse(m_current, kTooBig, psData);
        m_cbChunkLeft = cb;
        m_state = State::kChunkData;
        continue;
      }
      case State::kChunkData: {
        if (cbAvail == 0) {
          if (!m_bEnded) return Event::kNeedMore;
          m_state = State::kDone;
          return Event::kClose;
        }
        size_t n = std::min<size_t>(cbAvail, m_cbChunkLeft);
        psData->assign(m_buffer, m_pos, n);
        m_pos += n;
        m_cbChunkLeft -= static_cast<uint32_t>(n);
        m_cbStream += n;
        if (m_cbChunkLeft == 0) m_state = State::kChunkLength;
        *pRequest = m_current;
        Compact();
        return Event::kStreamData;
      }
      case State::kFildesByte: {
        if (cbAvail == 0) {
          if (!m_bEnded) return Event::kNeedMore;
          return Refuse(m_current, kNoFd, psData);
        }
        // The descriptor travels with one byte of its own after the command.
        uint64_t uAt = m_uBase + m_pos;
        if (m_fds.empty() || m_fds.front().uFrom > uAt) return Refuse(m_current, kNoFd, psData);
        ++m_pos;
        *pRequest = m_current;
        pRequest->fd = m_fds.front().fd;
        m_fds.pop_front();
        m_state = m_bSession ? State::kCommand : State::kDone;
        Compact();
        return Event::kRequest;
      }
    }
  }
}

Protocol::Event Protocol::ParseCommand(Request* pRequest, std::string* psData) {
  m_bWaitsForPause = false;
  size_t cbAvail = m_buffer.size() - m_pos;
  if (cbAvail == 0) return m_bEnded ? EndWithoutCommand(psData) : Event::kNeedMore;
  Request r;
  char ch0 = m_buffer[m_pos];
  bool bBare = ch0 != 'z' && ch0 != 'n';
  if (bBare && m_bSession) {
    // Inside a session every command is prefixed: the delimiter of this one is unknown, so it
    // cannot be read to its end. Answered at once in the session's own form.
    r.chDelimiter = m_chSessionDelimiter;
    r.uId = m_uNextId++;
    return Refuse(r, kInvalidInSession, psData);
  }
  r.chDelimiter = ch0 == 'z' ? '\0' : '\n';
  size_t iStart = m_pos + (bBare ? 0 : 1);
  size_t iEnd = bBare ? m_buffer.find_first_of(std::string("\n\0", 2), iStart)
                      : m_buffer.find(r.chDelimiter, iStart);
  if (m_bSession) r.uId = m_uNextId++;
  if (iEnd == std::string::npos ? cbAvail > m_limits.cbMaxCommand
                                : iEnd - m_pos > m_limits.cbMaxCommand)
    return Refuse(r, kTooLong, psData);
  size_t iNext = iEnd + 1;  // the first byte after the command
  if (iEnd == std::string::npos) {
    if (bBare && (m_bPaused || m_bEnded)) {
      iEnd = iNext = m_buffer.size();
    } else {
      if (m_bSession) --m_uNextId;  // not taken yet
      m_bWaitsForPause = bBare;
      if (!m_bEnded) return Event::kNeedMore;
      return EndWithoutCommand(psData);  // a command cut short is not carried out
    }
  }
  std::string sLine = m_buffer.substr(iStart, iEnd - iStart);
  if (ch0 != 'z') {
    sLine.erase(std::min(sLine.find('\0'), sLine.size()));
    sLine.erase(sLine.find_last_not_of('\r') + 1);  // npos + 1: all of it
  }
  m_pos = iNext;
  uint64_t uTerminated = m_uBase + m_pos;  // the stream offset just past the command
  m_bAnyCommand = true;
  ++m_nCommands;

  const CommandSpec* pSpec = nullptr;
  for (const CommandSpec& c : kCommands) {
    std::string sName = c.szName;
    if (c.bArgument ? sLine.compare(0, sName.size() + 1, sName + " ") == 0 : sLine == sName) {
      pSpec = &c;
      if (c.bArgument) r.sArgument = sLine.substr(sName.size() + 1);
      break;
    }
  }
  if (pSpec == nullptr || (bBare && !pSpec->bBare) ||
      (!m_bSession && pSpec->command == Command::kEnd))
    return Refuse(r, m_bSession ? kInvalidInSession : kUnknown, psData);
  if (m_bSession && !pSpec->bSession) return Refuse(r, kInvalidInSession, psData);
  r.command = pSpec->command;

  // Descriptors that came with the command's own bytes belong to no FILDES.
  bool bStray = false;
  DropFdsBefore(uTerminated, &bStray);
  Compact();
  switch (r.command) {
    case Command::kIdSession:
      m_bSession = true;
      m_chSessionDelimiter = r.chDelimiter;
      return Next(pRequest, psData);  // the session's first command (a second IDSESSION is refused)
    case Command::kEnd:
      m_state = State::kDone;
      return Event::kClose;
    case Command::kInstream:
      m_current = r;
      m_cbStream = 0;
      m_state = State::kChunkLength;
      *pRequest = r;
      return Event::kRequest;
    case Command::kFildes:
      if (bStray) return Finish(r, {kFdWithoutFildes, kFildesFailed}, psData);
      if (!m_limits.bPassesFds) return Refuse(r, kNoFdPassing, psData);
      m_current = r;
      m_state = State::kFildesByte;
      return Next(pRequest, psData);
    default:
      m_state = m_bSession ? State::kCommand : State::kDone;
      *pRequest = r;
      return Event::kRequest;
  }
}

}  // namespace zebmacrod
