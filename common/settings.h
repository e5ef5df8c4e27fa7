// The settings both programs share: where they live in the current user's registry, the
// ports they can name and the bit rates a serial port may use. SetQuillet writes them,
// Quillet reads them; the layout below is the only contract between the two.
#ifndef QUILLET_COMMON_SETTINGS_H
#define QUILLET_COMMON_SETTINGS_H

#include <stdint.h>

#include "platform/winapi.h"

// A port: 1 to 8 are com1 to com8, PORT_USB the handheld's USB link; anything else names
// no port.
typedef DWORD PortId;
#define PORT_NONE 0UL
#define PORT_COM_FIRST 1UL
#define PORT_COM_LAST 8UL
#define PORT_USB 9UL

struct Settings {
  PortId port;
  DWORD baudRate;  // bits per second; meaningful for com1 to com8 only
};

// Registry layout: root (RegOpenCurrentUser), then these keys one level at a time.
#define SETTINGS_KEY_DEPTH 3
extern const char* const SETTINGS_KEY_PATH[SETTINGS_KEY_DEPTH];
#define PORT_VALUE_NAME "Port"
#define BAUDRATE_VALUE_NAME "Baudrate"
#define SETTINGS_VALUE_SIZE 4  // both values are REG_DWORD
#define SETTINGS_KEY_ACCESS KEY_ALL_ACCESS

#define VALID_BAUD_RATE_COUNT 7
extern const DWORD VALID_BAUD_RATES[VALID_BAUD_RATE_COUNT];

bool IsValidBaudRate(DWORD baudRate);
bool IsSerialPort(PortId port);

// Parses like atoi (leading white space, one sign, digits up to the first non-digit; 0
// when there are none) but without undefined behaviour: a value beyond the 32-bit signed
// range saturates to INT32_MAX or INT32_MIN.
int32_t ParseDecimal(const char* text);

// The root and the key path, as opened by OpenSettingsKeys: keys[0] is the root.
struct SettingsKeys {
  HKEY keys[SETTINGS_KEY_DEPTH + 1];
  int opened;  // how many of keys[] are open, from keys[0] up
};

// Opens the root, then each key of the path below the previous one: with RegOpenKeyExA,
// or with RegCreateKeyExA when create is set. Stops at the first failure and returns its
// code, leaving keys->opened at what was opened; 0 when all are open.
LONG OpenSettingsKeys(SettingsKeys* keys, bool create);

// Closes what OpenSettingsKeys opened, in reverse order; each failed close is passed to
// onCloseFailure with its code. Returns how many closes failed.
int CloseSettingsKeys(SettingsKeys* keys, void (*onCloseFailure)(DWORD code));

// Reads one 4-byte value; the type is not examined. Returns the registry's code.
LONG QuerySettingsValue(HKEY key, const char* name, DWORD* value);

#endif  // QUILLET_COMMON_SETTINGS_H
