// The static core's own exports as a loader's table. Kept apart, so that only the programs and
// tests that ask for it link the exports of the core.
#include "zebmacro.h"
#include "zmapi.h"

ZmApi ZmCompiledInApi() {
  ZmApi api;
#define ZM_TAKE(ret, name, params) api.name = &::name;
  ZM_EXPORT_LIST(ZM_TAKE)
#undef ZM_TAKE
  return api;
}
