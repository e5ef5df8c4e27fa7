// Stand-in for HSAPI.dll, the HotSync API library, for the Wine tests. Each call logs
// itself and answers what the test set:
//   HS_CHECK     result of HsCheckApiStatus (default 0: HotSync Manager can be controlled)
//   HS_STATUS    result of HsGetSyncStatus (default 0)
//   HS_SYNC      the sync state it writes (default 0: no synchronisation running)
//   HS_SHUTDOWN  result of HsSetAppStatus(0, 0) (default 0)
//   HS_RESTART   result of HsSetAppStatus(1, 0) (default 0)
//   HS_SETTLE_MS HsSetAppStatus waits this long before and after it logs, so that a test
//                watching the port from outside places the port's open and close on the
//                right side of the call in time (default 0)
#include "standin.h"

extern "C" {

LONG PALM_API HsCheckApiStatus(void) {
  LONG result = StandInNumber("HS_CHECK", 0);
  StandInLog("HsCheckApiStatus -> %ld", result);
  return result;
}

LONG PALM_API HsGetSyncStatus(DWORD* syncState) {
  LONG result = StandInNumber("HS_STATUS", 0);
  *syncState = (DWORD)StandInNumber("HS_SYNC", 0);
  StandInLog("HsGetSyncStatus %lu -> %ld", (unsigned long)*syncState, result);
  return result;
}

LONG PALM_API HsSetAppStatus(DWORD state, DWORD flags) {
  LONG result = StandInNumber(state == HS_APP_STATUS_SHUTDOWN ? "HS_SHUTDOWN" : "HS_RESTART", 0);
  DWORD settle = (DWORD)StandInNumber("HS_SETTLE_MS", 0);
  Sleep(settle);
  StandInLog("HsSetAppStatus %lu %lu -> %ld", (unsigned long)state, (unsigned long)flags, result);
  Sleep(settle);
  return result;
}

}  // extern "C"
