// The part of RunOnSmallStack that both platforms share: taking the host's frames off the stack.
#include "stackthread.h"

namespace {

__attribute__((noinline)) void Call(void (*pfn)(void*), void* pv) {
  pfn(pv);
  __asm__ volatile("" ::: "memory");  // not a tail call: pfn runs below this frame
}

}  // namespace

__attribute__((noinline)) void CallWithStackLeft(const uint8_t* pbLow, size_t cbStack,
                                                 size_t cbHostFrames, void (*pfn)(void*),
                                                 void* pv) {
  const uint8_t* pbHere = static_cast<const uint8_t*>(__builtin_frame_address(0));
  size_t cbHave = static_cast<size_t>(pbHere - pbLow);
  size_t cbLeft = (cbHave < cbStack ? cbHave : cbStack) - cbHostFrames;
  if (cbHave > cbLeft) {
    // The host's frames (and whatever the platform gave beyond cbStack), touched so they exist.
    volatile uint8_t* pbTaken = static_cast<uint8_t*>(__builtin_alloca(cbHave - cbLeft));
    pbTaken[0] = 0;
    Call(pfn, pv);
    return;
  }
  Call(pfn, pv);
}
