// The handheld's USB link on Linux: the kernel's visor driver makes each attached
// handheld a pair of USB-serial ttys, and the five PalmUsb calls drive the HotSync one.
//
// Contract (the library's table, and the choices this port makes):
// - PalmUsbGetAttachedDevices lists one name per handheld: /dev/ttyUSB<n> for the port
//   whose port_number is 1 where the driver made two, else its only port, in the order
//   of the ports' numbers. When the device map holds a devices/usb link, it alone is
//   the list: the tty it leads to, or no device while it leads nowhere or the map is
//   not the user's own (userfolder.cpp). The list is the NUL-terminated names and one
//   more NUL; too small a buffer (or none) gives PALM_USB_BUFFER_TOO_SMALL and the size
//   needed, a large enough one 0, the count and the size.
// - PalmUsbOpenPort opens the named tty as CreateFileA opens a serial port: exclusive,
//   raw, refused with ERROR_ACCESS_DENIED while open elsewhere. The option is not used.
//   The handle is closed with CloseHandle.
// - PalmUsbSetTimeouts takes milliseconds. receiveTimeout: once a receive has its first
//   byte, the longest pause after a byte before it returns what it has; the first byte
//   itself is awaited up to USB_FIRST_BYTE_WAIT (10 s, the serial line's wait for a
//   command word). sendTimeout: the longest time a send may make no progress. 0 switches
//   a limit off. Both are 1000 until set.
// - PalmUsbReceiveBytes/PalmUsbSendBytes return 0 or a Windows error code (a handheld
//   that went away: ERROR_DEVICE_NOT_CONNECTED). A limit that runs out is 0 with a short
//   count; the count never exceeds what was asked.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

#include "posix.h"

#define VISOR_DRIVER_DIR "/sys/bus/usb-serial/drivers/visor"
#define USB_MAP_ENTRY "usb"
#define USB_FIRST_BYTE_WAIT 10000
#define MAX_VISOR_PORTS 32
#define DEVICE_LIST_SIZE 4096

struct VisorPort {
  unsigned tty;              // n of ttyUSB<n>
  char interface[PATH_MAX];  // the sysfs folder both ports of one handheld share
  int portNumber;
};

static int ReadPortNumber(const char* portDir) {
  char path[PATH_MAX + 16];
  snprintf(path, sizeof path, "%s/port_number", portDir);
  FILE* file = fopen(path, "re");
  int number = -1;
  if (file != nullptr) {
    if (fscanf(file, "%d", &number) != 1) number = -1;
    fclose(file);
  }
  return number;
}

static int ByTty(const void* a, const void* b) {
  unsigned x = ((const VisorPort*)a)->tty, y = ((const VisorPort*)b)->tty;
  return x < y ? -1 : x > y;
}

// Appends name and its NUL to list; false when it does not fit (with the closing NUL).
static bool AppendName(const char* name, char* list, size_t size, size_t* used) {
  size_t length = strlen(name) + 1;
  if (*used + length + 1 > size) return false;
  memcpy(list + *used, name, length);
  *used += length;
  return true;
}

size_t ListVisorPorts(const char* driverDir, char* list, size_t size, DWORD* count) {
  *count = 0;
  if (size == 0) return 0;
  VisorPort* ports = (VisorPort*)calloc(MAX_VISOR_PORTS, sizeof *ports);
  int found = 0;
  DIR* dir = ports != nullptr ? opendir(driverDir) : nullptr;
  for (struct dirent* entry; dir != nullptr && found < MAX_VISOR_PORTS &&
                             (entry = readdir(dir)) != nullptr;) {
    unsigned tty;
    char tail;
    if (sscanf(entry->d_name, "ttyUSB%u%c", &tty, &tail) != 1) continue;
    char link[PATH_MAX], port[PATH_MAX];
    snprintf(link, sizeof link, "%s/%s", driverDir, entry->d_name);
    if (realpath(link, port) == nullptr) continue;
    VisorPort* p = &ports[found++];
    p->tty = tty;
    p->portNumber = ReadPortNumber(port);
    char* slash = strrchr(port, '/');
    if (slash != nullptr) *slash = '\0';
    snprintf(p->interface, sizeof p->interface, "%s", port);
  }
  if (dir != nullptr) closedir(dir);
  if (found > 0) qsort(ports, found, sizeof *ports, ByTty);

  size_t used = 0;
  for (int i = 0; i < found; ++i) {
    // Each handheld once: at the first of its ports in tty order.
    int first = i, chosen = i, siblings = 0;
    for (int j = 0; j < found; ++j) {
      if (strcmp(ports[j].interface, ports[i].interface) != 0) continue;
      if (j < first) first = j;
      if (ports[j].portNumber == 1) chosen = j;
      ++siblings;
    }
    if (first != i) continue;
    if (siblings == 1) chosen = i;
    char name[32];
    snprintf(name, sizeof name, "/dev/ttyUSB%u", ports[chosen].tty);
    if (!AppendName(name, list, size, &used)) break;
    ++*count;
  }
  free(ports);
  list[used++] = '\0';
  return used;
}

// The device list as the library hands it out.
static size_t DeviceList(char* list, size_t size, DWORD* count) {
  char path[QUILLET_PATH_SIZE], target[PATH_MAX];
  DWORD status = DeviceMapEntry(USB_MAP_ENTRY, path, sizeof path);
  if (status != ERROR_FILE_NOT_FOUND) {
    size_t used = 0;
    *count = 0;
    if (status == 0 && realpath(path, target) != nullptr && AppendName(target, list, size, &used))
      *count = 1;
    list[used++] = '\0';
    return used;
  }
  return ListVisorPorts(VISOR_DRIVER_DIR, list, size, count);
}

LONG PALM_API PalmUsbGetAttachedDevices(DWORD* count, char* buffer, DWORD* size) {
  if (count == nullptr || size == nullptr) return ERROR_INVALID_PARAMETER;
  char list[DEVICE_LIST_SIZE];
  DWORD devices = 0;
  size_t used = DeviceList(list, sizeof list, &devices);
  if (buffer == nullptr || *size < used) {
    *size = (DWORD)used;
    return PALM_USB_BUFFER_TOO_SMALL;
  }
  memcpy(buffer, list, used);
  *count = devices;
  *size = (DWORD)used;
  return 0;
}

HANDLE PALM_API PalmUsbOpenPort(const char* deviceName, DWORD) {
  if (deviceName == nullptr || deviceName[0] == '\0') {
    SetLastErrorCode(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return OpenTtyPort(deviceName, true);
}

LONG PALM_API PalmUsbSetTimeouts(HANDLE port, PalmUsbTimeouts* timeouts) {
  PortRecord* record = PortFromHandle(port);
  if (record == nullptr) return ERROR_INVALID_HANDLE;
  if (timeouts == nullptr) return ERROR_INVALID_PARAMETER;
  record->usbTimeouts = *timeouts;
  return 0;
}

static int64_t Limit(DWORD milliseconds) { return milliseconds == 0 ? NO_DEADLINE : milliseconds; }

LONG PALM_API PalmUsbReceiveBytes(HANDLE port, void* buffer, DWORD wanted, DWORD* received) {
  if (received != nullptr) *received = 0;
  PortRecord* record = PortFromHandle(port);
  if (record == nullptr) return ERROR_INVALID_HANDLE;
  if (received == nullptr || (buffer == nullptr && wanted > 0)) return ERROR_INVALID_PARAMETER;
  // As ReadFile does: while the run waits for the handheld.
  PrepareTone();
  PrepareClipboard();
  ReadLimits limits = {NO_DEADLINE, Limit(record->usbTimeouts.receiveTimeout), USB_FIRST_BYTE_WAIT,
                       false};
  return (LONG)ReadWithin(record->fd, (BYTE*)buffer, wanted, &limits, received);
}

LONG PALM_API PalmUsbSendBytes(HANDLE port, const void* buffer, DWORD count, DWORD* sent) {
  if (sent != nullptr) *sent = 0;
  PortRecord* record = PortFromHandle(port);
  if (record == nullptr) return ERROR_INVALID_HANDLE;
  if (sent == nullptr || (buffer == nullptr && count > 0)) return ERROR_INVALID_PARAMETER;
  WriteLimits limits = {NO_DEADLINE, Limit(record->usbTimeouts.sendTimeout)};
  return (LONG)WriteWithin(record->fd, (const BYTE*)buffer, count, &limits, sent);
}
