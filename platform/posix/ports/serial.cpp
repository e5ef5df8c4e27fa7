// Serial ports on Linux: CreateFileA("comN") and the communications calls on the handle.
//
// Contract kept from Windows:
// - "comN" (any case, "\\.\" prefix allowed, N from 1 to 256) is the device that the
//   device map names: ${XDG_CONFIG_HOME:-$HOME/.config}/quillet/devices/comN, a symbolic
//   link to any tty (a USB-serial adapter, a pty); without an entry it is /dev/ttyS<N-1>,
//   as under Wine. A map entry that leads nowhere is a missing port, never another one.
//   A map that is not the user's own (userfolder.cpp) is ERROR_ACCESS_DENIED, never
//   passed over. Any other name: ERROR_FILE_NOT_FOUND. Only OPEN_EXISTING is accepted.
// - The open is exclusive whatever the share mode says, as for every Windows
//   communications device: an flock and TIOCEXCL; a port that is already open (in this
//   process or another) is refused with ERROR_ACCESS_DENIED. A path that is no tty is
//   refused with ERROR_INVALID_FUNCTION (no character device: before it is opened); one
//   replaced between that look and the open with ERROR_ACCESS_DENIED.
// - The line is raw from the open on: no echo, no line editing, no character mapping.
// - GetCommState/SetCommState carry BaudRate, ByteSize (5-8), Parity (none, odd, even),
//   StopBits (one or two), CTS/RTS and XON/XOFF flow control and the XON/XOFF
//   characters; of the other fields GetCommState fills DCBlength, fBinary and
//   fDtrControl (enabled), and SetCommState ignores them. A rate the kernel has no constant for is ERROR_INVALID_PARAMETER.
//   A pty has no line to clock: it takes any rate and ignores it.
// - ReadFile/WriteFile follow COMMTIMEOUTS exactly (portio.cpp): a read of n bytes ends
//   after ReadTotalTimeoutConstant + n * ReadTotalTimeoutMultiplier ms in all, or after
//   ReadIntervalTimeout ms without a new byte once the first has arrived; zero fields
//   switch their limit off; the two MAXDWORD forms return at once with what is there, or
//   at the first bytes within the constant. A write may take WriteTotalTimeoutConstant +
//   n * WriteTotalTimeoutMultiplier ms until its bytes have left the port; what has not
//   left then is dropped. Running out of time is success with a short count. No
//   overlapped I/O.
// - A port whose device went away (a hang-up, an unplugged adapter) fails with
//   ERROR_DEVICE_NOT_CONNECTED once the bytes that did arrive have been handed over.
// - CloseHandle closes a port and releases its lock; an unknown handle is
//   ERROR_INVALID_HANDLE.
// Beyond Windows: a process ended by SIGINT, SIGTERM or SIGHUP gives its ports back on
// the way out (TIOCEXCL cleared, lock dropped), then ends as the signal says. Without
// that, a tty that stays open elsewhere (a pty's other side) would stay exclusive and
// refuse the next run. A signal the caller had us ignore stays ignored. SIGKILL cannot be
// caught: it leaves TIOCEXCL set (see docs/linux.md).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "posix.h"

#define MAXDWORD 0xFFFFFFFFUL
#define ODDPARITY 1
#define EVENPARITY 2
#define TWOSTOPBITS 2
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define USB_DEFAULT_TIMEOUT 1000

struct Speed {
  DWORD rate;
  speed_t constant;
};

static const Speed SPEEDS[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

static bool SpeedConstant(DWORD rate, speed_t* constant) {
  for (const Speed& speed : SPEEDS) {
    if (speed.rate == rate) {
      *constant = speed.constant;
      return true;
    }
  }
  return false;
}

static DWORD SpeedRate(speed_t constant) {
  for (const Speed& speed : SPEEDS) {
    if (speed.constant == constant) return speed.rate;
  }
  return 0;
}

static HANDLE Fail(DWORD code) {
  SetLastErrorCode(code);
  return INVALID_HANDLE_VALUE;
}

// Async-signal-safe: system calls on the descriptor only.
static void GiveBack(void* object) {
  PortRecord* port = (PortRecord*)object;
  ioctl(port->fd, TIOCNXCL);
  flock(port->fd, LOCK_UN);
}

static void EndWithPortsGivenBack(int signal) {
  VisitHandles(HANDLE_KIND_PORT, GiveBack);
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigaction(signal, &action, nullptr);
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, signal);
  sigprocmask(SIG_UNBLOCK, &ending, nullptr);
  raise(signal);
}

// Once, as the first port opens (with the ending signals held).
static void CatchEndingSignals(void) {
  static bool caught = false;
  if (caught) return;
  caught = true;
  struct sigaction action = {};
  action.sa_handler = EndWithPortsGivenBack;
  EndingSignals(&action.sa_mask);
  sigset_t ending;
  EndingSignals(&ending);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction previous;
    if (!sigismember(&ending, signal) || sigaction(signal, nullptr, &previous) != 0 ||
        previous.sa_handler == SIG_IGN)
      continue;
    sigaction(signal, &action, nullptr);
  }
}

static HANDLE OpenTty(const char* path, bool usb) {
  CatchEndingSignals();
  // Opening a device can act on it (a tape rewinds, a watchdog arms): only a character
  // device is opened, and only the one that was looked at.
  struct stat checked, opened;
  if (stat(path, &checked) != 0) return Fail(ErrorFromErrno(errno));
  if (!S_ISCHR(checked.st_mode)) {
    mode_t type = checked.st_mode & S_IFMT;
    LogRefusal(path, "%s, not a character device",
               type == S_IFREG ? "a regular file" : type == S_IFDIR ? "a folder"
               : type == S_IFIFO ? "a FIFO" : type == S_IFBLK ? "a block device" : "a socket");
    return Fail(ERROR_INVALID_FUNCTION);
  }
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Another owner's TIOCEXCL shows as EBUSY: the port is taken.
  if (fd < 0) return Fail(errno == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
  DWORD code = 0;
  struct termios line;
  if (fstat(fd, &opened) != 0 || opened.st_rdev != checked.st_rdev ||
      opened.st_ino != checked.st_ino || opened.st_dev != checked.st_dev) {
    LogRefusal(path, "replaced between its check and its open");
    code = ERROR_ACCESS_DENIED;
  } else if (!isatty(fd)) {
    code = ERROR_INVALID_FUNCTION;
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    code = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
  } else if (tcgetattr(fd, &line) != 0) {
    code = ErrorFromErrno(errno);
  } else {
    ioctl(fd, TIOCEXCL);  // keeps out openers that do not ask for the lock
    cfmakeraw(&line);
    line.c_cflag |= CLOCAL | CREAD;
    // MIN 1: a read with nothing to hand over says EAGAIN; 0 would look like end of file.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &line) != 0) code = ErrorFromErrno(errno);
  }
  PortRecord* port = code == 0 ? (PortRecord*)calloc(1, sizeof *port) : nullptr;
  if (port != nullptr) {
    port->fd = fd;
    port->usb = usb;
    port->usbTimeouts.receiveTimeout = USB_DEFAULT_TIMEOUT;
    port->usbTimeouts.sendTimeout = USB_DEFAULT_TIMEOUT;
  }
  HANDLE handle = port != nullptr ? NewHandle(HANDLE_KIND_PORT, port) : nullptr;
  if (handle == nullptr) {
    if (code == 0) code = ERROR_NOT_ENOUGH_MEMORY;
    ioctl(fd, TIOCNXCL);
    close(fd);
    free(port);
    return Fail(code);
  }
  return handle;
}

HANDLE OpenTtyPort(const char* path, bool usb) {
  // From the open to the handle in the table, a signal would find the port unlisted.
  sigset_t saved;
  HoldSignals(&saved);
  HANDLE handle = OpenTty(path, usb);
  ReleaseSignals(&saved);
  return handle;
}

PortRecord* PortFromHandle(HANDLE handle) {
  PortRecord* port = (PortRecord*)HandleObject(HANDLE_KIND_PORT, handle);
  if (port == nullptr) SetLastErrorCode(ERROR_INVALID_HANDLE);
  return port;
}

// N of "comN" or "\\.\comN", 0 for any other name.
static unsigned ComPortNumber(const char* name) {
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (strncasecmp(name, "com", 3) != 0 || name[3] < '1' || name[3] > '9') return 0;
  unsigned number = 0;
  for (const char* c = name + 3; *c; ++c) {
    if (*c < '0' || *c > '9' || number > 256) return 0;
    number = number * 10 + (unsigned)(*c - '0');
  }
  return number <= 256 ? number : 0;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  unsigned number = ComPortNumber(lpFileName);
  if (number == 0) return Fail(ERROR_FILE_NOT_FOUND);
  char entry[32], path[QUILLET_PATH_SIZE];
  snprintf(entry, sizeof entry, "com%u", number);
  DWORD status = DeviceMapEntry(entry, path, sizeof path);
  if (status == ERROR_FILE_NOT_FOUND) {
    snprintf(path, sizeof path, "/dev/ttyS%u", number - 1);
  } else if (status != 0) {
    return Fail(status);
  }
  return OpenTtyPort(path, false);
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  PortRecord* port = PortFromHandle(hFile);
  if (port == nullptr) return FALSE;
  struct termios line;
  if (lpDCB == nullptr || tcgetattr(port->fd, &line) != 0) {
    SetLastErrorCode(lpDCB == nullptr ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
    return FALSE;
  }
  memset(lpDCB, 0, sizeof *lpDCB);
  lpDCB->DCBlength = sizeof *lpDCB;
  lpDCB->BaudRate = SpeedRate(cfgetospeed(&line));
  lpDCB->fBinary = 1;
  lpDCB->fParity = (line.c_iflag & INPCK) ? 1 : 0;
  lpDCB->fOutxCtsFlow = (line.c_cflag & CRTSCTS) ? 1 : 0;
  lpDCB->fDtrControl = DTR_CONTROL_ENABLE;
  lpDCB->fRtsControl = (line.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  lpDCB->fOutX = (line.c_iflag & IXON) ? 1 : 0;
  lpDCB->fInX = (line.c_iflag & IXOFF) ? 1 : 0;
  switch (line.c_cflag & CSIZE) {
    case CS5: lpDCB->ByteSize = 5; break;
    case CS6: lpDCB->ByteSize = 6; break;
    case CS7: lpDCB->ByteSize = 7; break;
    default: lpDCB->ByteSize = 8; break;
  }
  if (line.c_cflag & PARENB) {
    lpDCB->Parity = (line.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
  } else {
    lpDCB->Parity = NOPARITY;
  }
  lpDCB->StopBits = (line.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
  lpDCB->XonChar = (char)line.c_cc[VSTART];
  lpDCB->XoffChar = (char)line.c_cc[VSTOP];
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  PortRecord* port = PortFromHandle(hFile);
  if (port == nullptr) return FALSE;
  static const tcflag_t SIZES[] = {CS5, CS6, CS7, CS8};
  speed_t speed;
  struct termios line;
  if (lpDCB == nullptr || !SpeedConstant(lpDCB->BaudRate, &speed) || lpDCB->ByteSize < 5 ||
      lpDCB->ByteSize > 8 || lpDCB->Parity > EVENPARITY ||
      (lpDCB->StopBits != ONESTOPBIT && lpDCB->StopBits != TWOSTOPBITS)) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (tcgetattr(port->fd, &line) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  cfsetispeed(&line, speed);
  cfsetospeed(&line, speed);
  line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  line.c_cflag |= SIZES[lpDCB->ByteSize - 5] | CLOCAL | CREAD;
  if (lpDCB->Parity != NOPARITY) line.c_cflag |= PARENB;
  if (lpDCB->Parity == ODDPARITY) line.c_cflag |= PARODD;
  if (lpDCB->StopBits == TWOSTOPBITS) line.c_cflag |= CSTOPB;
  if (lpDCB->fOutxCtsFlow || lpDCB->fRtsControl == RTS_CONTROL_HANDSHAKE) line.c_cflag |= CRTSCTS;
  line.c_iflag &= ~(INPCK | IXON | IXOFF);
  if (lpDCB->fParity && lpDCB->Parity != NOPARITY) line.c_iflag |= INPCK;
  if (lpDCB->fOutX) line.c_iflag |= IXON;
  if (lpDCB->fInX) line.c_iflag |= IXOFF;
  if (lpDCB->XonChar != 0) line.c_cc[VSTART] = (cc_t)lpDCB->XonChar;
  if (lpDCB->XoffChar != 0) line.c_cc[VSTOP] = (cc_t)lpDCB->XoffChar;
  if (tcsetattr(port->fd, TCSANOW, &line) != 0) {
    SetLastErrorFromErrno();
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  PortRecord* port = PortFromHandle(hFile);
  if (port == nullptr) return FALSE;
  const COMMTIMEOUTS* t = lpCommTimeouts;
  if (t == nullptr || (t->ReadIntervalTimeout == MAXDWORD &&
                       t->ReadTotalTimeoutMultiplier == MAXDWORD &&
                       t->ReadTotalTimeoutConstant == MAXDWORD)) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  port->timeouts = *t;
  return TRUE;
}

static void SerialReadLimits(const COMMTIMEOUTS* t, DWORD n, ReadLimits* limits) {
  limits->total = NO_DEADLINE;
  limits->interval = NO_DEADLINE;
  limits->firstByte = NO_DEADLINE;
  limits->returnAtFirst = false;
  if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == 0 &&
      t->ReadTotalTimeoutConstant == 0) {
    limits->total = 0;  // what is there already, at once
    return;
  }
  if (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
      t->ReadTotalTimeoutConstant > 0) {
    limits->total = t->ReadTotalTimeoutConstant;  // the first bytes, within the constant
    limits->returnAtFirst = true;
    return;
  }
  if (t->ReadTotalTimeoutMultiplier != 0 || t->ReadTotalTimeoutConstant != 0) {
    limits->total = (int64_t)t->ReadTotalTimeoutMultiplier * n + t->ReadTotalTimeoutConstant;
  }
  if (t->ReadIntervalTimeout != 0) limits->interval = t->ReadIntervalTimeout;
}

// What ReadFile and WriteFile check first; zeroes the count. The port, or null with the
// last error set.
static PortRecord* TransferPort(HANDLE handle, const void* buffer, DWORD n, LPDWORD count,
                                LPOVERLAPPED overlapped) {
  if (count != nullptr) *count = 0;
  PortRecord* port = PortFromHandle(handle);
  if (port != nullptr && (count == nullptr || overlapped != nullptr ||
                          (buffer == nullptr && n > 0))) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return port;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  PortRecord* port =
      TransferPort(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
  if (port == nullptr) return FALSE;
  // A tone and a clipboard only ever follow a read from the handheld: the sound device
  // and the clipboard's connection get ready while the run waits for it. Not earlier:
  // the line's set-up goes on undisturbed.
  PrepareTone();
  PrepareClipboard();
  ReadLimits limits;
  SerialReadLimits(&port->timeouts, nNumberOfBytesToRead, &limits);
  DWORD status =
      ReadWithin(port->fd, (BYTE*)lpBuffer, nNumberOfBytesToRead, &limits, lpNumberOfBytesRead);
  if (status != 0) SetLastErrorCode(status);
  return status == 0;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  PortRecord* port = TransferPort(hFile, lpBuffer, nNumberOfBytesToWrite,
                                  lpNumberOfBytesWritten, lpOverlapped);
  if (port == nullptr) return FALSE;
  const COMMTIMEOUTS* t = &port->timeouts;
  WriteLimits limits = {NO_DEADLINE, NO_DEADLINE};
  if (t->WriteTotalTimeoutMultiplier != 0 || t->WriteTotalTimeoutConstant != 0) {
    limits.total = (int64_t)t->WriteTotalTimeoutMultiplier * nNumberOfBytesToWrite +
                   t->WriteTotalTimeoutConstant;
  }
  DWORD status = WriteWithin(port->fd, (const BYTE*)lpBuffer, nNumberOfBytesToWrite, &limits,
                             lpNumberOfBytesWritten);
  if (status != 0) SetLastErrorCode(status);
  return status == 0;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  // Out of the table and given back as one step, as far as a signal can tell.
  sigset_t saved;
  HoldSignals(&saved);
  PortRecord* port = (PortRecord*)ReleaseHandle(HANDLE_KIND_PORT, hObject);
  if (port == nullptr) {
    ReleaseSignals(&saved);
    SetLastErrorCode(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Released here, not by the close: a process forked meanwhile may hold the descriptor
  // for a moment (the tone helper and the keeper close it first thing).
  GiveBack(port);
  close(port->fd);
  ReleaseSignals(&saved);
  free(port);
  return TRUE;
}
