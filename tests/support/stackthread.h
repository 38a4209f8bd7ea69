// Runs a function the way a host's thread with a small stack would: on a new thread whose stack
// holds cbStack bytes, cbHostFrames of them already taken by the host's own frames. One file per
// platform (stackthread_posix.cpp, stackthread_win32.cpp) starts the thread; the stack left is
// measured from the thread's lowest usable address, so a platform that gives threads more than
// asked (Wine keeps at least 1 MiB) still leaves the function only what a real small thread would.
#pragma once
#include <cstddef>
#include <cstdint>

// Calls pfn(pv) on such a thread and waits for it. false when no thread could be started. A
// function that needs more stack than is left crashes the process, as it would crash the host.
bool RunOnSmallStack(size_t cbStack, size_t cbHostFrames, void (*pfn)(void*), void* pv);

// For the platform files: from inside the new thread, with pbLow its lowest usable stack address,
// leaves the function at most cbStack - cbHostFrames bytes below the current frame and calls it.
void CallWithStackLeft(const uint8_t* pbLow, size_t cbStack, size_t cbHostFrames,
                       void (*pfn)(void*), void* pv);
