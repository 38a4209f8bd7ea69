// Descriptors that travel with the bytes of a Unix-domain socket (SCM_RIGHTS): the worker channel
// and the daemon's FILDES. The functions are POSIX's alone (fdpass_posix.cpp); the limit is
// everyone's, since the pool's batches are cut by it on every platform.
#pragma once
#include <cstddef>
#include <vector>

namespace zm {

// Descriptors one message can carry (below SCM_MAX_FD).
constexpr size_t kMaxPassed = 64;

// Writes all of cb bytes (sendmsg, never raising SIGPIPE), the descriptors (at most
// kMaxPassed; more are not sent) attached to the first byte. False when the peer is gone.
bool SendWithDescriptors(int sock, const void* pv, size_t cb, const std::vector<int>& fds);
// Reads up to cb bytes (recvmsg, retried on EINTR); descriptors that came with them go to *pfds,
// at most kMaxPassed a read, or are closed when pfds is null, so none ever leaks. The
// bytes read, 0 at the end, or -1 with errno.
long ReceiveWithDescriptors(int sock, void* pv, size_t cb, std::vector<int>* pfds);

}  // namespace zm
