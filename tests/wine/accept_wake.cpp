// Wine's lost FD_ACCEPT in a hundred lines, without zebmacrod: the reproduction behind the
// listening loop of sys/socket_win32.cpp (not built; accept_wake.py builds and runs it). A
// listener under WSAEventSelect(FD_ACCEPT), served the way zebmacrod.exe served it before: read
// the network events, accept, and wait on the event when nothing was accepted; each connection is
// read to its end on a thread of its own (in small reads, which keep the Wine server busy: the
// fault needs that), answered, and closed. The clients come from outside, from accept_wake.py.
//
//   accept_wake.exe MODE SECONDS      MODE: eager (accept on every round, as before the fix),
//                                           recorded (accept only where FD_ACCEPT was recorded)
//
// A wait of 1 s that times out while select() says a connection is queued is a lost wake-up.
// Counted too: accepts that took a connection before its FD_ACCEPT was recorded ("ahead"), and
// "empty wakes": FD_ACCEPT recorded, then accept fails with WSAEWOULDBLOCK. Windows re-enables
// FD_ACCEPT on any accept call, failed or not; Wine 8 only on one that succeeds, so after an empty
// wake its listener stays silent for good - the wait below would never end without its time limit.
#include <winsock2.h>
// after winsock2.h
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static void Serve(SOCKET s) {
  WSAEVENT e = WSACreateEvent();
  WSAEventSelect(s, e, FD_READ | FD_CLOSE);
  char b[4096];
  for (;;) {
    WaitForSingleObject(e, 5000);
    WSANETWORKEVENTS ne;
    WSAEnumNetworkEvents(s, e, &ne);
    int n = recv(s, b, sizeof b, 0);
    if (n > 0 && b[n - 1] == '\n') break;
    if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) break;
  }
  send(s, "OK\n", 3, 0);
  shutdown(s, SD_SEND);
  closesocket(s);
  WSACloseEvent(e);
}

static bool Queued(SOCKET l) {
  fd_set r;
  FD_ZERO(&r);
  FD_SET(l, &r);
  timeval tv = {0, 0};
  return select(0, &r, nullptr, nullptr, &tv) == 1;
}

int main(int argc, char** argv) {
  bool bRecorded = argc > 1 && strcmp(argv[1], "recorded") == 0;
  int secs = argc > 2 ? atoi(argv[2]) : 20;
  WSADATA w;
  WSAStartup(MAKEWORD(2, 2), &w);
  SOCKET l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(l, (sockaddr*)&a, sizeof a);
  int cb = sizeof a;
  getsockname(l, (sockaddr*)&a, &cb);
  listen(l, 200);
  WSAEVENT ev = WSACreateEvent();
  WSAEventSelect(l, ev, FD_ACCEPT);
  printf("port %d\n", ntohs(a.sin_port));
  fflush(stdout);
  long nAccepted = 0, nAhead = 0, nEmpty = 0, nLost = 0;
  DWORD t0 = GetTickCount();
  while (GetTickCount() - t0 < (DWORD)secs * 1000) {
    WSANETWORKEVENTS ne;
    WSAEnumNetworkEvents(l, ev, &ne);  // resets the event
    bool bFdAccept = (ne.lNetworkEvents & FD_ACCEPT) != 0;
    if (bFdAccept || !bRecorded) {
      SOCKET s = accept(l, nullptr, nullptr);
      if (s != INVALID_SOCKET) {
        ++nAccepted;
        if (!bFdAccept) ++nAhead;
        std::thread(Serve, s).detach();
        continue;
      }
      if (bFdAccept) ++nEmpty;
    }
    if (WaitForSingleObject(ev, 1000) == WAIT_TIMEOUT && Queued(l)) {
      ++nLost;
      printf("lost wake-up at %.1f s: no FD_ACCEPT for 1 s with a connection queued\n",
             (GetTickCount() - t0) / 1000.0);
      fflush(stdout);
    }
  }
  printf(
      "%s, %d s: %ld accepted (%ld ahead of their FD_ACCEPT), %ld empty wakes, %ld lost "
      "wake-ups\n",
      bRecorded ? "recorded" : "eager", secs, nAccepted, nAhead, nEmpty, nLost);
  fflush(stdout);
  ExitProcess(nLost ? 1 : 0);  // the serving threads are left as they are
}
