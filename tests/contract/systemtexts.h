// The system's text for each code the programs pass to FormatMessageA, as Windows words it:
// the contract holds every platform to these, and the fake answers with them. Needs winapi.h.
#ifndef QUILLET_TESTS_CONTRACT_SYSTEMTEXTS_H
#define QUILLET_TESTS_CONTRACT_SYSTEMTEXTS_H

static const struct {
  DWORD code;
  const char* text;
} SYSTEM_TEXTS[] = {
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
};

#endif  // QUILLET_TESTS_CONTRACT_SYSTEMTEXTS_H
