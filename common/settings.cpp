// The shared settings layout and the walk along its key path.
#include "common/settings.h"

const char* const SETTINGS_KEY_PATH[SETTINGS_KEY_DEPTH] = {"Software", "Dorvane", "Quillet"};

const DWORD VALID_BAUD_RATES[VALID_BAUD_RATE_COUNT] = {2400,  4800,  9600,  19200,
                                                       38400, 57600, 115200};

bool IsValidBaudRate(DWORD baudRate) {
  for (int i = 0; i < VALID_BAUD_RATE_COUNT; ++i) {
    if (VALID_BAUD_RATES[i] == baudRate) return true;
  }
  return false;
}

bool IsSerialPort(PortId port) { return port >= PORT_COM_FIRST && port <= PORT_COM_LAST; }

int32_t ParseDecimal(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  // Accumulate the magnitude, stopping at one past what fits.
  const int64_t limit = negative ? -(int64_t)INT32_MIN : (int64_t)INT32_MAX;
  int64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > limit) {
      magnitude = limit;
      break;
    }
  }
  return (int32_t)(negative ? -magnitude : magnitude);
}

LONG OpenSettingsKeys(SettingsKeys* keys, bool create) {
  keys->opened = 0;
  LONG status = RegOpenCurrentUser(SETTINGS_KEY_ACCESS, &keys->keys[0]);
  if (status != ERROR_SUCCESS) return status;
  keys->opened = 1;
  for (int level = 0; level < SETTINGS_KEY_DEPTH; ++level) {
    HKEY parent = keys->keys[level];
    HKEY* child = &keys->keys[level + 1];
    if (create) {
      status = RegCreateKeyExA(parent, SETTINGS_KEY_PATH[level], 0, nullptr,
                               REG_OPTION_NON_VOLATILE, SETTINGS_KEY_ACCESS, nullptr, child,
                               nullptr);
    } else {
      status = RegOpenKeyExA(parent, SETTINGS_KEY_PATH[level], 0, SETTINGS_KEY_ACCESS, child);
    }
    if (status != ERROR_SUCCESS) return status;
    keys->opened = level + 2;
  }
  return ERROR_SUCCESS;
}

int CloseSettingsKeys(SettingsKeys* keys, void (*onCloseFailure)(DWORD code)) {
  int failures = 0;
  while (keys->opened > 0) {
    LONG status = RegCloseKey(keys->keys[--keys->opened]);
    if (status != ERROR_SUCCESS) {
      onCloseFailure((DWORD)status);
      ++failures;
    }
  }
  return failures;
}

LONG QuerySettingsValue(HKEY key, const char* name, DWORD* value) {
  DWORD size = SETTINGS_VALUE_SIZE;
  return RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)value, &size);
}
