// zebmacrod's configuration reader and its protocol state machine, driven without sockets: the
// replies and requests each input makes, as clamd 1.4 answers them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config.h"
#include "protocol.h"

namespace {

using zebmacrod::Config;
using zebmacrod::Protocol;
using zebmacrod::Request;

struct ConfigCase {
  const char* szWhat;
  std::string sText;
  std::string sError;  // empty: the file is read
  std::vector<std::string> warnings;
  std::function<void(const Config&)> check;
};

TEST(DaemonConfig, ReadsClamdKeysAndRefusesWhatItCannotRead) {
  const ConfigCase kCases[] = {
      {"defaults",
       "TCPSocket 3310\n",
       "",
       {},
       [](const Config& c) {
         EXPECT_EQ(c.tcpAddrs, std::vector<std::string>{"127.0.0.1"});
         EXPECT_EQ(c.uLocalSocketMode, 0600u);
         EXPECT_EQ(c.cbStreamMax, 100u << 20);
         EXPECT_EQ(c.nMaxThreads, 0u);
         EXPECT_TRUE(c.bDeepScan);
         EXPECT_FALSE(c.bFollowFileSymlinks);
         EXPECT_FALSE(c.bAlertEncrypted || c.bAlertEncryptedDoc);
         EXPECT_EQ(c.brokenWord6, Config::Broken::kError);
         EXPECT_TRUE(c.bScanArchive && c.bScanMail && !c.bAlertExceedsMax &&
                     !c.bAlertEncryptedArchive);
         EXPECT_EQ(c.nMaxRecursion, 17u);
         EXPECT_EQ(c.nMaxFiles, 10000u);
         EXPECT_EQ(c.cbMaxScanSize, 400u << 20);
         EXPECT_EQ(c.cbMaxFileSize, 100u << 20);
       }},
      {"archives and mail, as clamd has them",
       "TCPSocket 1\nScanArchive no\nScanMail No\nMaxRecursion 3\nMaxFiles 0\nMaxScanSize 2g\n"
       "MaxFileSize 1536k\nAlertExceedsMax yes\nAlertEncryptedArchive yes\n",
       "",
       {},
       [](const Config& c) {
         EXPECT_TRUE(!c.bScanArchive && !c.bScanMail && c.bAlertExceedsMax &&
                     c.bAlertEncryptedArchive);
         EXPECT_EQ(c.nMaxRecursion, 3u);
         EXPECT_EQ(c.nMaxFiles, 0u);
         EXPECT_EQ(c.cbMaxScanSize, 2ull << 30);
         EXPECT_EQ(c.cbMaxFileSize, 1536u << 10);
       }},
      {"a limit",
       "TCPSocket 1\nMaxFiles 10k\n",
       "t.conf:2: MaxFiles expects a number from 0 to 4294967295, not \"10k\"",
       {},
       nullptr},
      {"every key",
       "# a comment\n\n  LocalSocket /run/z.sock\r\nLocalSocketMode 660\nTCPSocket 3310\n"
       "TCPAddr 127.0.0.1\nTCPAddr ::1\nMaxThreads 3\nMaxConnectionQueueLength 15\n"
       "StreamMaxLength 25k\nReadTimeout 9\nCommandReadTimeout 8\nIdleTimeout 7\n"
       "MaxDirectoryRecursion 4\nFollowDirectorySymlinks yes\nFollowFileSymlinks TRUE\n"
       "ExcludePath ^/proc/\nExcludePath \\.tmp$\nMaxScanTime 5000\nLogFile \"/var/log/z log\"\n"
       "LogTime yes\nLogVerbose 1\nPidFile /run/z.pid\nForeground no\nZebmacroDeepScan no\n"
       "AlertEncrypted no\nAlertEncryptedDoc yes\n"
       "AlertBrokenWord6 yes\n",
       "",
       {},
       [](const Config& c) {
         EXPECT_EQ(c.sLocalSocket, "/run/z.sock");
         EXPECT_EQ(c.uLocalSocketMode, 0660u);
         EXPECT_EQ(c.iTcpPort, 3310);
         EXPECT_EQ(c.tcpAddrs, (std::vector<std::string>{"127.0.0.1", "::1"}));
         EXPECT_EQ(c.nMaxThreads, 3u);
         EXPECT_EQ(c.iMaxQueue, 15);
         EXPECT_EQ(c.cbStreamMax, 25u << 10);
         EXPECT_EQ(c.secReadTimeout + c.secCommandReadTimeout * 10 + c.secIdleTimeout * 100, 789u);
         EXPECT_EQ(c.iMaxDirectoryRecursion, 4);
         EXPECT_TRUE(c.bFollowDirectorySymlinks && c.bFollowFileSymlinks);
         EXPECT_EQ(c.excludePaths, (std::vector<std::string>{"^/proc/", "\\.tmp$"}));
         EXPECT_EQ(c.msMaxScanTime, 5000u);
         EXPECT_EQ(c.sLogFile, "/var/log/z log");
         EXPECT_TRUE(c.bLogTime && c.bLogVerbose && !c.bForeground && !c.bDeepScan);
         EXPECT_EQ(c.sPidFile, "/run/z.pid");
         EXPECT_TRUE(c.bAlertEncryptedDoc && !c.bAlertEncrypted);
         EXPECT_EQ(c.brokenWord6, Config::Broken::kFound);
       }},
      {"broken documents OK",
       "TCPSocket 1\nAlertBrokenWord6 off\n",
       "",
       {},
       [](const Config& c) { EXPECT_EQ(c.brokenWord6, Config::Broken::kOk); }},
      {"broken documents an ERROR",
       "TCPSocket 1\nAlertBrokenWord6 no\nAlertBrokenWord6 Error\n",
       "",
       {},
       [](const Config& c) { EXPECT_EQ(c.brokenWord6, Config::Broken::kError); }},
      {"a three-way key",
       "TCPSocket 1\nAlertBrokenWord6 found\n",
       "t.conf:2: AlertBrokenWord6 expects yes, no or error, not \"found\"",
       {},
       nullptr},
      {"keys not used, keys unknown",
       "LocalSocket /s\nUser clamav\nDatabaseDirectory /db\nBogusKey 1\nlocalsocket /t\n",
       "",
       {"t.conf: unknown keys, ignored: BogusKey, localsocket",
        "t.conf: clamd keys that zebmacrod does not use, ignored: DatabaseDirectory, User"},
       nullptr},
      {"a boolean",
       "TCPSocket 1\nForeground maybe\n",
       "t.conf:2: Foreground expects yes or no, not \"maybe\"",
       {},
       nullptr},
      {"no value", "TCPSocket 1\nLogFile\n", "t.conf:2: LogFile needs a value", {}, nullptr},
      {"a port",
       "TCPSocket 70000\n",
       "t.conf:1: TCPSocket expects a number from 1 to 65535, not \"70000\"",
       {},
       nullptr},
      {"a size",
       "TCPSocket 1\nStreamMaxLength 10Q\n",
       "t.conf:2: StreamMaxLength expects a number from 1 to 4294967296 (k or m may follow), not "
       "\"10Q\"",
       {},
       nullptr},
      {"a mode",
       "LocalSocket /s\nLocalSocketMode 9\n",
       "t.conf:2: LocalSocketMode expects an octal mode such as 660, not \"9\"",
       {},
       nullptr},
      {"a pattern",
       "TCPSocket 1\nExcludePath (\n",
       "t.conf:2: ExcludePath is no extended",
       {},
       nullptr},
      {"an unedited sample", "Example\nTCPSocket 1\n", "t.conf:1: \"Example\" marks", {}, nullptr},
      {"nothing to listen on",
       "Foreground yes\n",
       "t.conf: neither LocalSocket nor TCPSocket is set",
       {},
       nullptr},
  };
  for (const ConfigCase& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    Config config;
    std::vector<std::string> warnings;
    std::string sError;
    bool bOk = zebmacrod::ParseConfig(c.sText, "t.conf", &config, &warnings, &sError);
    EXPECT_EQ(bOk, c.sError.empty());
    EXPECT_EQ(sError.substr(0, c.sError.size()), c.sError);
    if (bOk) {
      EXPECT_EQ(warnings, c.warnings);
      if (c.check) c.check(config);
    }
  }
}

// The input in pieces: bytes and the descriptors that came with them; kPause: the client
// paused after them.
struct Piece {
  Piece(std::string s, std::vector<int> f = {}) : sBytes(std::move(s)), fds(std::move(f)) {}
  std::string sBytes;
  std::vector<int> fds;
};
const Piece kPause("");

// Everything the protocol made of the pieces, then of the end of the input, one line an event
// (the data of a stream in one line), and the descriptors it gave back.
std::string Transcript(const std::vector<Piece>& pieces, Protocol::Limits limits,
                       std::vector<int>* pClosed, Protocol::End end = Protocol::End::kClosed) {
  std::string s;
  std::vector<int> closed;
  {
    Protocol p(limits, [&closed](int fd) { closed.push_back(fd); });
    bool bInData = false,
         bClosed = false;  // the last line is a stream's data: more of it joins that line
    auto drain = [&] {
      for (;;) {
        Request r;
        std::string sData;
        Protocol::Event e = p.Next(&r, &sData);
        if (e != Protocol::Event::kNeedMore && e != Protocol::Event::kStreamData) bInData = false;
        switch (e) {
          case Protocol::Event::kNeedMore:
            return;
          case Protocol::Event::kClose:
            if (!bClosed) s += "CLOSE\n";  // and so it stays
            bClosed = true;
            return;
          case Protocol::Event::kReply:
            s += "REPLY " + sData + "\n";
            break;
          case Protocol::Event::kRequest:
            s += "REQ " + std::to_string(static_cast<int>(r.command)) + " [" + r.sArgument +
                 "] id " + std::to_string(r.uId) + (r.chDelimiter ? " n" : " z") +
                 (r.fd >= 0 ? " fd " + std::to_string(r.fd) : "") + "\n";
            break;
          case Protocol::Event::kStreamData:
            if (bInData)
              s.insert(s.size() - 1, sData);
            else
              s += "DATA " + sData + "\n";
            bInData = true;
            continue;
          case Protocol::Event::kStreamEnd:
            s += "END\n";
            break;
        }
      }
    };
    for (const Piece& piece : pieces) {
      if (piece.sBytes.empty()) p.Pause();
      p.Feed(piece.sBytes.data(), piece.sBytes.size(), piece.fds);
      drain();
    }
    p.EndOfInput(end);
    drain();
  }
  if (pClosed) *pClosed = closed;
  return s;
}

std::string Chunk(const std::string& s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  return std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 8), static_cast<char>(n)} +
         s;
}

const std::string kZ(1, '\0');
const std::string kEnd = Chunk("");

struct ProtocolCase {
  ProtocolCase(const char* sz, std::vector<Piece> p, std::string s, std::vector<int> c = {},
               bool b = true, Protocol::End e = Protocol::End::kClosed)
      : szWhat(sz),
        pieces(std::move(p)),
        sTranscript(std::move(s)),
        closed(std::move(c)),
        bLocal(b),
        end(e) {}
  ProtocolCase(const char* sz, std::vector<Piece> p, std::string s, Protocol::End e)
      : ProtocolCase(sz, std::move(p), std::move(s), {}, true, e) {}
  const char* szWhat;
  std::vector<Piece> pieces;
  std::string sTranscript;
  std::vector<int> closed;  // descriptors given back
  bool bLocal;              // a local socket, where descriptors can come
  Protocol::End end;        // why the input ended after the pieces
};

TEST(DaemonProtocol, AnswersAsClamdDoes) {
  // Command numbers as Request::command holds them.
  const std::string kPing = "REQ 0", kVersion = "REQ 1", kScan = "REQ 5", kInstream = "REQ 9",
                    kFildes = "REQ 10";
  const std::string kUnknown = "REPLY UNKNOWN COMMAND";
  const std::string kInvalid = "REPLY 1: Command invalid inside IDSESSION. ERROR" + kZ + "\n";
  const std::string kTimedOut = "REPLY COMMAND READ TIMED OUT\n\nCLOSE\n";
  const std::string kStopping = "REPLY zebmacrod is shutting down. ERROR";
  const Protocol::End kTimeout = Protocol::End::kTimedOut, kStop = Protocol::End::kStopping;
  const ProtocolCase kCases[] = {
      {"z form", {{"zPING" + kZ}}, kPing + " [] id 0 z\nCLOSE\n"},
      {"n form", {{"nPING\n"}}, kPing + " [] id 0 n\nCLOSE\n"},
      {"bare form", {{"PING\n"}}, kPing + " [] id 0 n\nCLOSE\n"},
      {"one command a connection", {{"zPING" + kZ + "zPING" + kZ}}, kPing + " [] id 0 z\nCLOSE\n"},
      {"a path", {{"zSCAN /a b/c" + kZ}}, kScan + " [/a b/c] id 0 z\nCLOSE\n"},
      {"an empty path", {{"zSCAN " + kZ}}, kScan + " [] id 0 z\nCLOSE\n"},
      {"no path", {{"zSCAN" + kZ}}, kUnknown + kZ + "\nCLOSE\n"},
      {"case matters", {{"zping" + kZ}}, kUnknown + kZ + "\nCLOSE\n"},
      {"only a prefix", {{"z" + kZ}}, kUnknown + kZ + "\nCLOSE\n"},
      {"an empty line", {{"\n"}}, kUnknown + "\n\nCLOSE\n"},
      {"no bare INSTREAM", {{"INSTREAM\n"}}, kUnknown + "\n\nCLOSE\n"},
      {"no bare ALLMATCHSCAN", {{"ALLMATCHSCAN /x\n"}}, kUnknown + "\n\nCLOSE\n"},
      {"END outside a session", {{"zEND" + kZ}}, kUnknown + kZ + "\nCLOSE\n"},
      {"a command cut short", {{"zPIN"}}, "CLOSE\n"},
      {"nothing", {}, "CLOSE\n"},
      // Line ends as clamd reads them: CRs before the newline dropped, a NUL ends the line's
      // text, a bare command without either is complete when the client pauses or closes.
      {"CRLF", {{"PING\r\n"}}, kPing + " [] id 0 n\nCLOSE\n"},
      {"CRLF, n form", {{"nSCAN /a b\r\r\n"}}, kScan + " [/a b] id 0 n\nCLOSE\n"},
      {"a CR in the z form is the path's",
       {{"zSCAN /a\r" + kZ}},
       kScan + " [/a\r] id 0 z\nCLOSE\n"},
      {"a CR in the z form is the command's", {{"zPING\r" + kZ}}, kUnknown + kZ + "\nCLOSE\n"},
      {"a NUL in the n form", {{"nSCAN /f" + kZ + "junk\n"}}, kScan + " [/f] id 0 n\nCLOSE\n"},
      {"a NUL ends a bare command", {{"SCAN /f" + kZ + "junk"}}, kScan + " [/f] id 0 n\nCLOSE\n"},
      {"a bare command and a pause", {{"VERSION"}, kPause}, kVersion + " [] id 0 n\nCLOSE\n"},
      {"a bare path and a pause", {{"SCAN /a b\r"}, kPause}, kScan + " [/a b] id 0 n\nCLOSE\n"},
      {"a bare command and the end", {{"PING"}}, kPing + " [] id 0 n\nCLOSE\n"},
      {"bare garbage and a pause", {{"xyzzy"}, kPause, {"\n"}}, kUnknown + "\n\nCLOSE\n"},
      {"a bare command cut by a pause", {{"PI"}, kPause, {"NG\n"}}, kUnknown + "\n\nCLOSE\n"},
      {"a pause does not end the z form", {{"zPING"}, kPause, {kZ}}, kPing + " [] id 0 z\nCLOSE\n"},
      {"a pause in a session",
       {{"nIDSESSION\nnPING"}, kPause, {"\n"}},
       kPing + " [] id 1 n\nCLOSE\n"},
      // Time ran out, or the daemon stops, where a command was awaited.
      {"silent until the timeout", {}, kTimedOut, kTimeout},
      {"a command cut by the timeout", {{"zPIN"}}, kTimedOut, kTimeout},
      {"an idle session times out",
       {{"zIDSESSION" + kZ + "zPING" + kZ}},
       kPing + " [] id 1 z\n" + kTimedOut,
       kTimeout},
      {"silent at a stop", {}, kStopping + "\n\nCLOSE\n", kStop},
      {"a command cut by a stop", {{"zPIN"}}, kStopping + kZ + "\nCLOSE\n", kStop},
      {"a command whole at a stop", {{"zPING" + kZ}}, kPing + " [] id 0 z\nCLOSE\n", kStop},
      {"an idle session at a stop",
       {{"zIDSESSION" + kZ + "zPING" + kZ}},
       kPing + " [] id 1 z\nCLOSE\n",
       kStop},
      {"a session's command cut by a stop",
       {{"zIDSESSION" + kZ + "zPING" + kZ + "nVER"}},
       kPing + " [] id 1 z\nREPLY 2: zebmacrod is shutting down. ERROR\n\nCLOSE\n",
       kStop},
      {"too long",
       {{"zSCAN /" + std::string(5000, 'a') + kZ}},
       "REPLY Command too long. ERROR" + kZ + "\nCLOSE\n"},
      {"too long, unended",
       {{"nSCAN /" + std::string(5000, 'a')}},
       "REPLY Command too long. ERROR\n\nCLOSE\n"},
      // Sessions: numbered requests, each answered in its own form.
      {"a session",
       {{"zIDSESSION" + kZ + "zPING" + kZ + "nVERSION\n" + "zSCAN /d" + kZ + "zEND" + kZ + "zPING" +
         kZ}},
       kPing + " [] id 1 z\n" + kVersion + " [] id 2 n\n" + kScan + " [/d] id 3 z\nCLOSE\n"},
      {"IDSESSION twice", {{"zIDSESSION" + kZ + "zIDSESSION" + kZ}}, kInvalid + "CLOSE\n"},
      {"a bare command in a session", {{"zIDSESSION" + kZ + "PING\n"}}, kInvalid + "CLOSE\n"},
      {"CONTSCAN in a session", {{"zIDSESSION" + kZ + "zCONTSCAN /d" + kZ}}, kInvalid + "CLOSE\n"},
      {"unknown in a session", {{"zIDSESSION" + kZ + "zBOGUS" + kZ}}, kInvalid + "CLOSE\n"},
      // INSTREAM: chunks, their limit, data that never ends.
      {"INSTREAM",
       {{"zINSTREAM" + kZ + Chunk("hello") + Chunk("abc") + kEnd}},
       kInstream + " [] id 0 z\nDATA helloabc\nEND\nCLOSE\n"},
      {"a chunk over the limit",
       {{"zINSTREAM" + kZ + Chunk("abcdefghijk")}},
       kInstream + " [] id 0 z\nREPLY INSTREAM size limit exceeded. ERROR" + kZ + "\nCLOSE\n"},
      {"chunks over the limit together",
       {{"nINSTREAM\n" + Chunk("abcdef") + Chunk("ghijk")}},
       kInstream + " [] id 0 n\nDATA abcdef\nREPLY INSTREAM size limit exceeded. ERROR\n\nCLOSE\n"},
      {"stream cut short",
       {{"zINSTREAM" + kZ + Chunk("hello").substr(0, 7)}},
       kInstream + " [] id 0 z\nDATA hel\nCLOSE\n"},
      {"INSTREAM in a session",
       {{"zIDSESSION" + kZ + "zINSTREAM" + kZ + Chunk("hi") + kEnd + "zPING" + kZ + "zEND" + kZ}},
       kInstream + " [] id 1 z\nDATA hi\nEND\n" + kPing + " [] id 2 z\nCLOSE\n"},
      // FILDES: the descriptor comes with a byte of its own after the command.
      {"FILDES", {{"zFILDES" + kZ}, {kZ, {7}}}, kFildes + " [] id 0 z fd 7\nCLOSE\n"},
      {"FILDES read in one piece",
       {{"zFILDES" + kZ + kZ, {7}}},
       kFildes + " [] id 0 z fd 7\nCLOSE\n"},
      {"FILDES in a session",
       {{"zIDSESSION" + kZ + "zFILDES" + kZ}, {kZ + "zPING" + kZ, {7}}, {"zEND" + kZ}},
       kFildes + " [] id 1 z fd 7\n" + kPing + " [] id 2 z\nCLOSE\n"},
      {"a descriptor with the command",
       {{"zFILDES" + kZ, {7}}},
       "REPLY PROTOCOL ERROR: ancillary data sent without FILDES. ERROR" + kZ +
           "\nREPLY Error processing command. ERROR" + kZ + "\nCLOSE\n",
       {7}},
      {"FILDES without a descriptor",
       {{"zFILDES" + kZ + "zPING" + kZ}},
       "REPLY No file descriptor received. ERROR" + kZ + "\nCLOSE\n"},
      {"a descriptor nobody asked for",
       {{"zPING" + kZ, {7, 8}}},
       kPing + " [] id 0 z\nCLOSE\n",
       {7, 8}},
      {"FILDES over TCP",
       {{"nFILDES\n"}},
       "REPLY FILDES: descriptors pass only over a local socket. ERROR\n\nCLOSE\n",
       {},
       false},
  };
  for (const ProtocolCase& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    Protocol::Limits limits;
    limits.cbStreamMax = 10;
    limits.bPassesFds = c.bLocal;
    std::vector<int> closed;
    EXPECT_EQ(Transcript(c.pieces, limits, &closed, c.end), c.sTranscript);
    EXPECT_EQ(closed, c.closed);
    // The same bytes a byte at a time make the same events, wherever a read happens to end.
    bool bFds = false;
    std::vector<Piece> bytes;
    for (const Piece& piece : c.pieces) {
      bFds |= !piece.fds.empty();
      if (piece.sBytes.empty()) bytes.push_back(kPause);
      for (char ch : piece.sBytes) bytes.push_back({std::string(1, ch), {}});
    }
    if (!bFds) {
      EXPECT_EQ(Transcript(bytes, limits, nullptr, c.end), c.sTranscript);
    }
  }
}

}  // namespace
