// Descriptor passing over Unix-domain sockets with sendmsg and recvmsg.
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fdpass.h"

namespace zm {

bool SendWithDescriptors(int sock, const void* pv, size_t cb, const std::vector<int>& fds) {
  const char* p = static_cast<const char*>(pv);
  bool bFds = !fds.empty() && fds.size() <= kMaxPassed;
  while (cb > 0) {
    iovec iov = {const_cast<char*>(p), cb};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    // Zeroed: the header's padding is sent too, and should not carry stray stack bytes.
    alignas(cmsghdr) char abControl[CMSG_SPACE(sizeof(int) * kMaxPassed)] = {};
    if (bFds) {
      msg.msg_control = abControl;
      msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    ssize_t n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bFds = false;
    p += n;
    cb -= static_cast<size_t>(n);
  }
  return true;
}

long ReceiveWithDescriptors(int sock, void* pv, size_t cb, std::vector<int>* pfds) {
  iovec iov = {pv, cb};
  msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char abControl[CMSG_SPACE(sizeof(int) * kMaxPassed)];
  msg.msg_control = abControl;
  msg.msg_controllen = sizeof abControl;
  ssize_t n;
  do n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  while (n < 0 && errno == EINTR);
  if (n < 0) return n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t nFds = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < nFds; ++i) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      if (pfds)
        pfds->push_back(fd);
      else
        close(fd);
    }
  }
  return static_cast<long>(n);
}

}  // namespace zm
