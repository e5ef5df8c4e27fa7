// HotSync Manager on Linux: there is none to coordinate with.
//
// Contract: HsCheckApiStatus reports HotSync Manager absent (non-zero), so a run leaves it
// alone: it neither stops it nor starts it again. The two other calls exist for the
// link and fail the same way should anything call them anyway.
#include "winapi.h"

#define HOTSYNC_ABSENT 50L  // ERROR_NOT_SUPPORTED

LONG PALM_API HsCheckApiStatus(void) { return HOTSYNC_ABSENT; }

LONG PALM_API HsGetSyncStatus(DWORD*) { return HOTSYNC_ABSENT; }

LONG PALM_API HsSetAppStatus(DWORD, DWORD) { return HOTSYNC_ABSENT; }
