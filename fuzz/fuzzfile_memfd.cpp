// Fuzz inputs as anonymous in-memory files, opened by the library through /proc/self/fd.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>

#include "fuzzsupport.h"

const char* FZ_szFile(int iSlot, const uint8_t* pb, size_t cb) {
  static int s_afd[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  static char s_aszPath[8][48];
  int& fd = s_afd[iSlot & 7];
  if (fd < 0) {
    fd = memfd_create("zebmacro-fuzz", 0);
    FZ_CHECK(fd >= 0);
    std::snprintf(s_aszPath[iSlot & 7], sizeof s_aszPath[0], "/proc/self/fd/%d", fd);
  }
  FZ_CHECK(ftruncate(fd, 0) == 0);
  for (size_t done = 0; done < cb;) {
    ssize_t n = pwrite(fd, pb + done, cb - done, static_cast<off_t>(done));
    FZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  return s_aszPath[iSlot & 7];
}
