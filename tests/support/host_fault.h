// Fault injection over the platform seam, for tests and fuzzing only: never part of the shipped
// library. HFI_Install wraps every entry of g_zmHost so that each call is numbered (1, 2, ... from
// the last HFI_Reset) and counted by kind, the resources the library takes and gives back are
// tallied, and any one call can be made to fail, or a read or write to move fewer bytes.
//
// A call that gives a resource back (close, release, free, unlock, end of search) and is made to
// fail still gives it back on the platform and then reports failure, so a tally that stays above
// zero always means the library forgot one.
#pragma once
#include <stdint.h>

#include "host.h"

enum ZmHostCall {
  HC_OPEN,
  HC_CREATE,
  HC_READ,  // also counted for a positioned read
  HC_WRITE,
  HC_SEEK,  // also counted for a positioned read
  HC_READAT,
  HC_CLOSE,
  HC_COMMIT,
  HC_RELEASE,
  HC_GALLOC,
  HC_GLOCK,
  HC_GUNLOCK,
  HC_GFREE,
  HC_GETCWD,
  HC_SETCWD,
  HC_SETDRIVE,
  HC_DRIVETYPE,
  HC_WINDIR,
  HC_SHORTPATH,
  HC_FINDFIRST,
  HC_FINDNEXT,
  HC_FINDCLOSE,
  HC_SAMENAME,
  HC_SAMEFILE,
  HC_WINHELP,
  HC_ACTIVEWINDOW,
  HC_COUNT
};

// What happens to the chosen call.
enum ZmFault {
  HFI_FAIL,   // it reports failure (a positioned read: its read fails)
  HFI_SEEK,   // a positioned read reports that its position could not be set; others: HFI_FAIL
  HFI_SHORT,  // a read or write moves half the bytes asked (rounded down); other calls run as usual
};

// Calls remembered by kind, in order, for a sweep to name what it hit.
#define HFI_TRACE 8192

// Wraps g_zmHost (once; later calls only reset) and resets everything.
void HFI_Install(void);
// Puts the platform's own table back.
void HFI_Remove(void);
// Clears numbering, counts, tallies, the trace and every planned fault.
void HFI_Reset(void);

// Makes call number uCall (counted from the last reset; 0: none) suffer eFault.
void HFI_FaultAt(uint32_t uCall, ZmFault eFault);
// Makes the n-th call of one kind from now fail (1-based; 0 disables), or every call of that kind
// from the n-th on.
void HFI_FailNth(ZmHostCall eKind, uint32_t n);
void HFI_FailFrom(ZmHostCall eKind, uint32_t n);
// Reads deliver at most cb bytes (negative: no cap).
void HFI_CapReads(int32_t cb);

// Calls made since the last reset, in all and of one kind (failed ones included).
uint32_t HFI_uCalls(void);
uint32_t HFI_uCallsOf(ZmHostCall eKind);
// The kind of call number uCall (1-based), or HC_COUNT beyond the trace.
ZmHostCall HFI_eKindOf(uint32_t uCall);
// Short name of a kind, for messages ("open", "readat", ...).
const char* HFI_szKindName(ZmHostCall eKind);

// Resources held right now: files opened or created and not closed, blocks committed and not
// released, global blocks allocated and not freed, global locks not unlocked, open searches.
int32_t HFI_iOpenFiles(void);
int32_t HFI_iBlocks(void);
int32_t HFI_iGlobalBlocks(void);
int32_t HFI_iGlobalLocks(void);
int32_t HFI_iSearches(void);
// 1 when every tally is zero.
int32_t HFI_iAllGivenBack(void);
