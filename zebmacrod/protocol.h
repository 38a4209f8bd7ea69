// The daemon's side of clamd's protocol as a state machine over the bytes of one connection:
// commands in their 'z' (NUL-ended), 'n' (newline-ended) and bare forms, IDSESSION numbering,
// INSTREAM's chunks and FILDES's descriptors. It does no I/O and keeps no time, so tests and the
// fuzzer drive it; the caller tells it when the client paused and why the input ended.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace zebmacrod {

enum class Command {
  kPing,
  kVersion,
  kVersionCommands,
  kReload,
  kShutdown,  // also its old name QUIT
  kScan,
  kContScan,
  kMultiScan,
  kAllMatchScan,
  kInstream,
  kFildes,
  kStats,
  kIdSession,
  kEnd,
};

// One request as the connection must answer it.
struct Request {
  Command command = Command::kPing;
  std::string sArgument;  // the path of a scan
  char chDelimiter = '\n';
  uint32_t uId = 0;  // its number inside IDSESSION (replies start "N: "), else 0
  int fd = -1;       // kFildes: the descriptor that came with it, now the caller's
};

// The reply text as the request's form wants it: "N: " inside a session, the delimiter after.
std::string FormatReply(const Request& r, const std::string& sText);

class Protocol {
 public:
  struct Limits {
    size_t cbMaxCommand = 4096 + 64;   // a command line with a path of PATH_MAX bytes
    uint64_t cbStreamMax = 100 << 20;  // StreamMaxLength
    bool bPassesFds = false;           // descriptors can come with the bytes (a local socket)
  };
  enum class Event {
    kNeedMore,    // nothing until more bytes come
    kRequest,     // *pRequest is a request to carry out (kInstream: its data follows)
    kStreamData,  // *psData is the next part of the INSTREAM data
    kStreamEnd,   // the INSTREAM data is complete: scan it
    kReply,       // *psData is a reply to send as it is (an error); input ends after it
    kClose,       // no further input is taken: answer what is pending, then close
  };

  // closeFd gives back a descriptor that no request takes (sent with the wrong bytes).
  Protocol(Limits limits, std::function<void(int)> closeFd);
  ~Protocol();  // gives back every descriptor still held
  Protocol(const Protocol&) = delete;
  Protocol& operator=(const Protocol&) = delete;

  // Bytes received, with the descriptors that came along in the same read.
  void Feed(const char* pb, size_t cb, const std::vector<int>& fds = {});
  // Why no more input is taken: the client closed its side (or the connection failed), the time
  // for a command ran out, or the daemon is stopping. A command that was waiting is answered
  // accordingly: nothing, "COMMAND READ TIMED OUT" (clamd's words), or a shutdown error.
  enum class End { kClosed, kTimedOut, kStopping };
  void EndOfInput(End why = End::kClosed);
  // The client sent nothing more for a moment: a bare command without its line end is complete
  // (clamd takes a bare command from what one read brought).
  void Pause() { m_bPaused = true; }
  // A bare command without its line end waits for the client to pause.
  bool WaitsForPause() const { return m_bWaitsForPause; }
  // Commands taken so far (IDSESSION among them): the caller's clock for a command restarts
  // with each.
  uint64_t Commands() const { return m_nCommands; }
  // The next event; call until kNeedMore or kClose.
  Event Next(Request* pRequest, std::string* psData);

  bool InSession() const { return m_bSession; }
  // What the connection waits for: a first command, the next command of a session, or the rest
  // of a request (INSTREAM data, FILDES's descriptor) - they have different time limits.
  enum class Waiting { kFirstCommand, kSessionCommand, kRequestData, kNothing };
  Waiting WaitingFor() const;
  // Bytes held that no event has used yet (bounded by the command limit and a chunk header).
  size_t Buffered() const { return m_buffer.size() - m_pos; }

 private:
  enum class State { kCommand, kChunkLength, kChunkData, kFildesByte, kDone };
  struct Passed {
    int fd;
    uint64_t uFrom, uTo;  // the stream offsets of the bytes read with it
  };
  Event ParseCommand(Request* pRequest, std::string* psData);
  Event Refuse(const Request& r, const std::string& sText, std::string* psData);
  Event Finish(const Request& r, const std::vector<std::string>& texts, std::string* psData);
  Event EndWithoutCommand(std::string* psData);
  void DropFdsBefore(uint64_t uOffset, bool* pbAny);
  void Compact();

  Limits m_limits;
  std::function<void(int)> m_closeFd;
  std::string m_buffer;
  size_t m_pos = 0;          // the next unused byte of m_buffer
  uint64_t m_uBase = 0;      // the stream offset of m_buffer[0]
  std::deque<Passed> m_fds;  // descriptors received and not yet taken, oldest first
  State m_state = State::kCommand;
  bool m_bSession = false;
  bool m_bEnded = false;     // no more input will come
  End m_end = End::kClosed;  // why
  bool m_bPaused = false;    // the client paused after the last bytes fed
  bool m_bWaitsForPause = false;
  uint64_t m_nCommands = 0;
  bool m_bAnyCommand = false;  // a command was taken on this connection
  uint32_t m_uNextId = 1;
  char m_chSessionDelimiter = '\0';
  Request m_current;        // the request whose data is being read
  uint64_t m_cbStream = 0;  // INSTREAM bytes so far
  uint32_t m_cbChunkLeft = 0;
  std::vector<std::string> m_pendingReplies;  // a second error reply after the first
};

// The commands VERSIONCOMMANDS lists, in clamd's order.
const char* CommandList(bool bFildes);

}  // namespace zebmacrod
