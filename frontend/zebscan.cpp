// zebscan: command-line front end of zebmacro (first cut: reports the database size).
#include <cstdio>

#include "zmapi.h"

int main() {
  ZmApi api;
  if (ZmLoadApi(ZmLibraryName(), &api) < 0 || api.MACRO_Signatures == nullptr) {
    std::fprintf(stderr, "zebscan: cannot load %s\n", ZmLibraryName());
    return 2;
  }
  std::printf("zebmacro: %d virus definitions\n", static_cast<int>(api.MACRO_Signatures()));
  return 0;
}
