// The module's operator new and delete, the host's own. The module links a C++ runtime of its
// own (it must not depend on which one its host has: libzmscan and the front ends carry theirs
// inside, tests use the shared one), yet its strings and vectors cross into the host's results
// and are freed there, and the host's verdicts are freed here. Every allocation on this side
// therefore goes through the host's allocator, handed over by the loader before the first scan.
#include <cstdlib>
#include <new>

namespace {

using Allocate = void* (*)(std::size_t);
using Release = void (*)(void*);

// Until the loader hands its own over (nothing allocates in between but static set-up).
void* MallocOrNull(std::size_t cb) { return std::malloc(cb ? cb : 1); }
Allocate s_pAllocate = MallocOrNull;
Release s_pRelease = std::free;

void* New(std::size_t cb) {
  void* p = s_pAllocate(cb);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void ZmContainerUseHeap(Allocate pAllocate,
                                                                          Release pRelease) {
  s_pAllocate = pAllocate;
  s_pRelease = pRelease;
}

void* operator new(std::size_t cb) { return New(cb); }
void* operator new[](std::size_t cb) { return New(cb); }
void* operator new(std::size_t cb, const std::nothrow_t&) noexcept { return s_pAllocate(cb); }
void* operator new[](std::size_t cb, const std::nothrow_t&) noexcept { return s_pAllocate(cb); }
void operator delete(void* p) noexcept { s_pRelease(p); }
void operator delete[](void* p) noexcept { s_pRelease(p); }
void operator delete(void* p, std::size_t) noexcept { s_pRelease(p); }
void operator delete[](void* p, std::size_t) noexcept { s_pRelease(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { s_pRelease(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { s_pRelease(p); }
