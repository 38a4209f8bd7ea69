// Reading a Unix-domain socket together with the descriptors that travel on it (SCM_RIGHTS):
// the worker channel and the daemon's FILDES. POSIX files only include this.
#pragma once
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

namespace zebscan {

// Reads up to cb bytes (recvmsg, retried on EINTR); descriptors that came with them go to *pfds,
// at most 64 a read, or are closed when pfds is null, so none ever leaks. The bytes read, 0 at
// the end, or -1 with errno.
inline ssize_t ReceiveWithDescriptors(int sock, void* pv, size_t cb, std::vector<int>* pfds) {
  iovec iov = {pv, cb};
  msghdr msg = {};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) char abControl[CMSG_SPACE(sizeof(int) * 64)];
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
  return n;
}

}  // namespace zebscan
