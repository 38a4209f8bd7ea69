// Fuzzes zebmacrod's protocol state machine: any bytes, cut into reads anywhere, with descriptors
// along some reads. Input: byte 0 picks a local or TCP connection and a stream limit; the rest is
// the client's bytes, where 0xFE k ends a read and sends k % 3 descriptors with the next, 0xFD
// ends a read after which the client pauses, and a last byte 0xFC or 0xFB ends the input by a
// timeout or a stop rather than by the client.
// Property: every descriptor handed in is given back once, or handed on once with a FILDES;
// every reply ends with its delimiter; once closed it stays closed; session numbers rise by one;
// stream data never passes the limit and only flows inside an INSTREAM; what is held unparsed
// stays within a command's length; and, without pauses, the events do not depend on where reads
// end.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "protocol.h"

namespace {

using zebmacrod::Protocol;
using zebmacrod::Request;

struct Read {
  std::string sBytes;
  int nFds;
  bool bPause = false;  // the client paused before this read
};

// The events of one run, with stream data joined, and the checks that hold on every event.
std::string Run(const std::vector<Read>& reads, const Protocol::Limits& limits, Protocol::End end) {
  std::string s;
  std::map<int, int> given;  // descriptor -> times given back or handed on
  int nextFd = 100;
  uint64_t cbStream = 0;
  bool bInStream = false, bClosed = false;
  uint32_t uLastId = 0;
  {
    Protocol p(limits, [&given](int fd) { ++given[fd]; });
    auto drain = [&] {
      for (;;) {
        Request r;
        std::string sData;
        Protocol::Event e = p.Next(&r, &sData);
        if (bClosed) FZ_CHECK(e == Protocol::Event::kClose);
        switch (e) {
          case Protocol::Event::kNeedMore:
            FZ_CHECK(p.Buffered() <= limits.cbMaxCommand);
            return;
          case Protocol::Event::kClose:
            if (!bClosed) s += "C;";
            bClosed = true;
            return;
          case Protocol::Event::kReply:
            FZ_CHECK(!sData.empty() && (sData.back() == '\0' || sData.back() == '\n'));
            s += "R" + sData + ";";
            bInStream = false;
            break;
          case Protocol::Event::kRequest:
            if (r.uId) {
              FZ_CHECK(r.uId > uLastId);
              uLastId = r.uId;
            }
            FZ_CHECK((r.fd >= 0) == (r.command == zebmacrod::Command::kFildes));
            if (r.fd >= 0) ++given[r.fd];
            s += "Q" + std::to_string(static_cast<int>(r.command)) + r.sArgument + ";";
            bInStream = r.command == zebmacrod::Command::kInstream;
            cbStream = 0;
            break;
          case Protocol::Event::kStreamData:
            FZ_CHECK(bInStream && !sData.empty());
            cbStream += sData.size();
            FZ_CHECK(cbStream <= limits.cbStreamMax);
            s += sData;
            break;
          case Protocol::Event::kStreamEnd:
            FZ_CHECK(bInStream);
            bInStream = false;
            s += "E;";
            break;
        }
      }
    };
    for (const Read& read : reads) {
      std::vector<int> fds;
      for (int i = 0; i < read.nFds; ++i) {
        fds.push_back(nextFd);
        given[nextFd++] = 0;
      }
      if (read.bPause) p.Pause();
      p.Feed(read.sBytes.data(), read.sBytes.size(), fds);
      drain();
    }
    p.EndOfInput(end);
    drain();
    FZ_CHECK(bClosed);
  }
  for (const auto& g : given) FZ_CHECK(g.second == 1);
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pb, size_t cb) {
  if (cb == 0) return 0;
  Protocol::Limits limits;
  limits.bPassesFds = pb[0] & 1;
  limits.cbStreamMax = 1 + (pb[0] >> 1) * 37;
  limits.cbMaxCommand = 64;  // small, so the fuzzer reaches the limit
  Protocol::End end = Protocol::End::kClosed;
  if (cb > 1 && (pb[cb - 1] == 0xFC || pb[cb - 1] == 0xFB))
    end = pb[--cb] == 0xFC ? Protocol::End::kTimedOut : Protocol::End::kStopping;
  std::vector<Read> reads(1, {"", 0});
  for (size_t i = 1; i < cb; ++i) {
    if (pb[i] == 0xFE && i + 1 < cb) {
      reads.push_back({"", pb[++i] % 3});
      continue;
    }
    if (pb[i] == 0xFD) {
      reads.push_back({"", 0, true});
      continue;
    }
    reads.back().sBytes += static_cast<char>(pb[i]);
  }
  std::string sPieces = Run(reads, limits, end);
  // Without descriptors and pauses, the same bytes read at once make the same events.
  bool bSplitMatters = false;
  std::string sAll;
  for (const Read& r : reads) {
    bSplitMatters |= r.nFds > 0 || r.bPause;
    sAll += r.sBytes;
  }
  if (!bSplitMatters) FZ_CHECK(Run({{sAll, 0}}, limits, end) == sPieces);
  return 0;
}
