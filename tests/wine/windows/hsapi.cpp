// Stand-in for HSAPI.dll, the HotSync API library, for the Wine tests. Each call logs
// itself and succeeds; HotSync Manager can be controlled. What the test sets:
//   HS_SYNC      the sync state HsGetSyncStatus writes (default 0: no synchronisation)
//   HS_SETTLE_MS HsSetAppStatus waits this long before and after it logs, so that a test
//                watching the port from outside places the port's open and close on the
//                right side of the call in time (default 0)
#include "standin.h"

extern "C" {

LONG PALM_API HsCheckApiStatus(void) {
  StandInLog("HsCheckApiStatus -> 0");
  return 0;
}

LONG PALM_API HsGetSyncStatus(DWORD* syncState) {
  *syncState = (DWORD)StandInNumber("HS_SYNC", 0);
  StandInLog("HsGetSyncStatus %lu -> 0", (unsigned long)*syncState);
  return 0;
}

LONG PALM_API HsSetAppStatus(DWORD state, DWORD flags) {
  DWORD settle = (DWORD)StandInNumber("HS_SETTLE_MS", 0);
  Sleep(settle);
  StandInLog("HsSetAppStatus %lu %lu -> 0", (unsigned long)state, (unsigned long)flags);
  Sleep(settle);
  return 0;
}

}  // extern "C"
