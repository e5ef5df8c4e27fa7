// HotSync API library (HSAPI.dll) of the handheld's desktop software: the three calls
// with which a program takes the port away from HotSync Manager and gives it back.
//
// Calling convention: __stdcall, exported undecorated (HsCheckApiStatus, not
// _HsCheckApiStatus@0), as vendor DLLs of its kind export their API. Every call returns
// 0 for success.
#ifndef QUILLET_PALM_HSAPI_H
#define QUILLET_PALM_HSAPI_H

#ifndef PALM_API
#ifdef _WIN32
#define PALM_API __stdcall
#else
#define PALM_API
#endif
#endif

// States for HsSetAppStatus.
#define HS_APP_STATUS_SHUTDOWN 0UL  // shut HotSync Manager down and free the port
#define HS_APP_STATUS_RESTART 1UL   // start it again

extern "C" {

// 0: HotSync Manager is present and can be controlled.
LONG PALM_API HsCheckApiStatus(void);
// 0: the query worked; *syncState is non-zero while a synchronisation runs.
LONG PALM_API HsGetSyncStatus(DWORD* syncState);
LONG PALM_API HsSetAppStatus(DWORD state, DWORD flags);

}  // extern "C"

#endif  // QUILLET_PALM_HSAPI_H
