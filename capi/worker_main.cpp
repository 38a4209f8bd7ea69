// zmscan-worker: the worker process of libzmscan's pool, started by the library with the channel
// and the library to load on its command line; nothing else runs it.
#include <cstdio>

#include "worker.h"

int main(int argc, char** argv) {
  int iExit = 0;
  if (zm::RunAsWorker(argc, argv, &iExit)) return iExit;
  std::fprintf(stderr, "zmscan-worker: started by libzmscan's pool, not by hand\n");
  return 2;
}
