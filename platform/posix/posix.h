// What the Linux implementations of the Windows subset share among themselves: the
// thread's last error, the errno map, the per-user folder, handle values, the monotonic
// clock and the port record that serial ports and the USB link have in common.
#ifndef QUILLET_PLATFORM_POSIX_POSIX_H
#define QUILLET_PLATFORM_POSIX_POSIX_H

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "winapi.h"

// Codes met only inside this layer (the programs never name them).
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_HANDLE_DISK_FULL 39L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_DISCARDED 157L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_NOACCESS 998L
#define ERROR_KEY_DELETED 1018L
#define ERROR_IO_DEVICE 1117L
#define ERROR_TIMEOUT 1460L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

// ---- Errors (errors.cpp) -----------------------------------------------------------------
void SetLastErrorCode(DWORD code);
// The Windows code for an errno value; ERROR_GEN_FAILURE for one without a match.
DWORD ErrorFromErrno(int error);
// Stores the code for errno as the thread's last error and returns it.
DWORD SetLastErrorFromErrno(void);

// ---- The per-user folder (userfolder.cpp) -------------------------------------------------
#define QUILLET_PATH_SIZE 4096
// ${XDG_CONFIG_HOME:-$HOME/.config}/quillet, followed by "/" and tail when tail is not
// null. Returns 0 or an error code (the folder cannot be named, or the path is too long).
DWORD QuilletPath(const char* tail, char* path, size_t size);
// 0 when the folder is usable or can still be created; otherwise why not.
DWORD CheckQuilletFolder(void);
// Creates the folder (and what leads to it) when missing. Returns 0 or an error code.
DWORD MakeQuilletFolder(void);
// The own-files rule (userfolder.cpp says it whole) for path, whose lstat is info: 0, or
// ERROR_ACCESS_DENIED once the system log says why. OWN_SHARED: a folder others may write
// to passes when sticky. OWN_USER_ONLY: root's ownership does not count.
#define OWN_SHARED 1u
#define OWN_USER_ONLY 2u
DWORD CheckOwned(const char* path, const struct stat* info, unsigned rules);
// One line in the system log: "refused PATH: " and why (a printf format and its arguments).
void LogRefusal(const char* path, const char* why, ...);
// The device map's entry name ("com1", "usb") as a path: 0 when it exists and it, its
// folder and the per-user folder pass the rule; ERROR_FILE_NOT_FOUND when there is no
// such entry; ERROR_ACCESS_DENIED when refused.
DWORD DeviceMapEntry(const char* name, char* path, size_t size);

// ---- Handle values (handles.cpp) ----------------------------------------------------------
// Handles are small multiples of 4 tagged with their kind: never null, never
// INVALID_HANDLE_VALUE, and a handle of one kind is refused where another is expected.
enum HandleKind { HANDLE_KIND_PORT = 1, HANDLE_KIND_KEY = 2, HANDLE_KIND_MEMORY = 3 };
// A new handle for object, or null when the table cannot grow.
void* NewHandle(HandleKind kind, void* object);
// The object behind handle, or null when handle is not a live handle of that kind.
void* HandleObject(HandleKind kind, const void* handle);
// Forgets handle and returns its object (null when it was not live).
void* ReleaseHandle(HandleKind kind, const void* handle);
// For a signal handler: calls visit with each live object of kind, taking no lock. The
// table changes only with the ending signals held (process.cpp), so a handler never
// finds it half changed.
void VisitHandles(HandleKind kind, void (*visit)(void* object));

// ---- Processes and signals (process.cpp) ------------------------------------------------
// The signals that end a run from outside: SIGINT, SIGTERM, SIGHUP (Ctrl-C, kill, a closed
// terminal). A port open at that moment is given back on the way out (serial.cpp).
void EndingSignals(sigset_t* set);
// Holds them back (saving the mask in *saved) while a handler must not find things half
// done; ReleaseSignals(saved) delivers what arrived meanwhile. Pairs may nest.
void HoldSignals(sigset_t* saved);
void ReleaseSignals(const sigset_t* saved);
// In a child just forked: takes name, keeps only the count descriptors in keep (stdin,
// stdout and stderr, unless kept, on /dev/null; the working folder /), and leaves the
// caller's signal handling behind (the default actions, nothing held; ending signals
// that were held for the caller are dropped). outlive: a session of its own, no
// terminal, SIGHUP ignored; else it is killed when caller (the parent's pid before the
// fork) ends, and ends at once if that has happened already.
void LeaveCaller(const char* name, pid_t caller, bool outlive, const int* keep, int count);

// ---- Time (clock.cpp) -----------------------------------------------------------------
int64_t MonotonicMilliseconds(void);

// ---- Ports (serial.cpp, portio.cpp) ------------------------------------------------------
#define NO_DEADLINE (-1)  // a deadline, or a time limit, that never comes

// When a read or a write ends. Each limit in ms, or NO_DEADLINE.
struct ReadLimits {
  int64_t total;      // from the start of the call
  int64_t interval;   // longest pause after a byte once the first has arrived
  int64_t firstByte;  // longest wait for the first byte
  bool returnAtFirst; // return as soon as any bytes are in hand
};
struct WriteLimits {
  int64_t total;  // from the start of the call
  int64_t stall;  // longest time without progress
};

struct PortRecord {
  int fd;
  bool usb;
  COMMTIMEOUTS timeouts;        // serial ports
  PalmUsbTimeouts usbTimeouts;  // the USB link
};

// Opens path as a port: a tty, exclusive (flock and TIOCEXCL), raw, non-blocking
// underneath. Returns the handle, or INVALID_HANDLE_VALUE with the last error set.
HANDLE OpenTtyPort(const char* path, bool usb);
// The open port behind handle; null, with ERROR_INVALID_HANDLE as the last error, if none.
PortRecord* PortFromHandle(HANDLE handle);

// Move bytes within the limits. A time limit that runs out is success with a short
// count; so is a failure after some bytes moved (the next call reports it). Return 0 or
// the error code.
DWORD ReadWithin(int fd, BYTE* buffer, DWORD n, const ReadLimits* limits, DWORD* count);
DWORD WriteWithin(int fd, const BYTE* buffer, DWORD n, const WriteLimits* limits,
                  DWORD* count);

// ---- The tone (desktop/tone/) --------------------------------------------------------------
// Starts the helper process that opens the sound device, unless one runs already. Called
// as a read from the handheld begins, while the program is still single-threaded (the
// helper closes its copy of the port at once); Beep calls it too.
void PrepareTone(void);

// ---- The clipboard (desktop/clipboard.cpp) --------------------------------------------------
// Connects to the desktop's clipboard, and chooses which one, once, as the first read
// from the handheld begins (after PrepareTone, whose helper must not inherit the
// connection). Says nothing: a clipboard that cannot be reached is said where one is
// needed.
void PrepareClipboard(void);

// ---- USB handhelds on the visor driver (usb.cpp) ------------------------------------------
// Fills list with the NUL-terminated device names of the handhelds bound to the driver
// whose sysfs folder is driverDir, one per handheld, and a closing NUL. Returns the bytes
// the list takes (at most size) and the number of devices in *count.
size_t ListVisorPorts(const char* driverDir, char* list, size_t size, DWORD* count);

#endif  // QUILLET_PLATFORM_POSIX_POSIX_H
