// Error codes and their texts on Linux.
//
// Contract kept from Windows:
// - GetLastError is per thread; a call that succeeds leaves it alone unless its own
//   contract says otherwise.
// - errno values map onto the Windows codes a program meets for the same cause
//   (ErrorFromErrno below is the whole map).
// - FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM) gives the English text Windows gives for
//   each code this layer can report, word for word and ending in "\r\n" as Windows' do.
//   With FORMAT_MESSAGE_ALLOCATE_BUFFER the text is allocated for the caller, who
//   releases it with LocalFree. A code without a text: 0 returned, last error
//   ERROR_MR_MID_NOT_FOUND, nothing allocated. The language is not examined; the texts
//   are English. Inserts do not matter: none of these texts has one.
// - OutputDebugStringA never reaches the screen: each string goes to the system log
//   (syslog, priority debug), where journalctl shows it.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "posix.h"

static thread_local DWORD lastError = ERROR_SUCCESS;

DWORD WINAPI GetLastError(void) { return lastError; }

void SetLastErrorCode(DWORD code) { lastError = code; }

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY: return ERROR_BUSY;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;  // a lock held by another process
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case ENOTTY: return ERROR_INVALID_FUNCTION;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    case EFAULT: return ERROR_NOACCESS;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EIO: return ERROR_IO_DEVICE;
    case ENXIO:
    case ENODEV: return ERROR_DEVICE_NOT_CONNECTED;
    default: return ERROR_GEN_FAILURE;
  }
}

DWORD SetLastErrorFromErrno(void) {
  DWORD code = ErrorFromErrno(errno);
  lastError = code;
  return code;
}

struct ErrorText {
  DWORD code;
  const char* text;
};

static const ErrorText ERROR_TEXTS[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY,
     "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_WRITE_PROTECT, "The media is write protected.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_HANDLE_DISK_FULL, "The disk is full.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_BROKEN_PIPE, "The pipe has been ended.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_DISCARDED, "The segment is already discarded and cannot be locked.\r\n"},
    {ERROR_NOT_LOCKED, "The segment is already unlocked.\r\n"},
    {ERROR_BUSY, "The requested resource is in use.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {ERROR_NOACCESS, "Invalid access to memory location.\r\n"},
    {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
    {ERROR_BADKEY, "The configuration registry key is invalid.\r\n"},
    {ERROR_CANTREAD, "The configuration registry key could not be read.\r\n"},
    {ERROR_CANTWRITE, "The configuration registry key could not be written.\r\n"},
    {ERROR_REGISTRY_IO_FAILED,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could "
     "not read in, or write out, or flush, one of the files that contain the system's "
     "image of the registry.\r\n"},
    {ERROR_KEY_DELETED,
     "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
    {ERROR_CLIPBOARD_NOT_OPEN, "Thread does not have a clipboard open.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system.\r\n"},
};

static const char* FindErrorText(DWORD code) {
  for (const ErrorText& entry : ERROR_TEXTS) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200

DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer,
                            DWORD nSize, va_list*) {
  const DWORD known = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS;
  if ((dwFlags & ~known) != 0 || (dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      lpBuffer == nullptr) {
    lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const char* text = FindErrorText(dwMessageId);
  if (text == nullptr) {
    lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  size_t length = strlen(text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // nSize is then the least the caller wants allocated.
    size_t bytes = length + 1 > nSize ? length + 1 : nSize;
    char* copy = (char*)malloc(bytes);
    if (copy == nullptr) {
      lastError = ERROR_NOT_ENOUGH_MEMORY;
      return 0;
    }
    memcpy(copy, text, length + 1);
    *(char**)lpBuffer = copy;
  } else {
    if (length + 1 > nSize) {
      lastError = ERROR_INSUFFICIENT_BUFFER;
      return 0;
    }
    memcpy(lpBuffer, text, length + 1);
  }
  return (DWORD)length;
}

// Only what FormatMessageA allocated reaches here.
HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  free(hMem);
  return nullptr;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  if (lpOutputString == nullptr) return;
  // The log has its own line structure: drop the string's trailing line end.
  size_t length = strlen(lpOutputString);
  while (length > 0 &&
         (lpOutputString[length - 1] == '\n' || lpOutputString[length - 1] == '\r')) {
    --length;
  }
  int saved = errno;
  syslog(LOG_USER | LOG_DEBUG, "%.*s", (int)length, lpOutputString);
  errno = saved;
}
