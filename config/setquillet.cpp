// SetQuillet: argument handling, the usage with the stored setting, and the settings
// write.
#include "config/setquillet.h"

#include <cstdio>
#include <cstring>

#include "common/systemerror.h"

static void PrintErrorText(DWORD code, const char* text) {
  if (text != nullptr) {
    printf("\nLastError: %s\n", text);
  } else {
    printf("\nLastError: unknown error %lu\n", (unsigned long)code);
  }
}

void PrintSystemError(DWORD code) { UseSystemErrorText(code, PrintErrorText); }

static void PrintCurrentSetting(PortId port, DWORD baudRate) {
  if (IsSerialPort(port)) {
    char name[] = "com0";
    name[3] = (char)('0' + port);
    // The rate is shown as the signed number it was given as: "-5", not "4294967291".
    long shownRate = (long)(int32_t)baudRate;
    if (IsValidBaudRate(baudRate)) {
      printf("%s with %ld bps\n", name, shownRate);
    } else {
      printf("%s with illegal %ld bps\n", name, shownRate);
    }
  } else if (port == PORT_USB) {
    printf("usb\n");
  } else {
    printf("unknown or no port set");
  }
}

int PrintUsage(void) {
  printf("SetQuillet <port> [<baudrate>]\n");
  printf("   <port> ::= usb | com1..com8\n");
  printf("   <baudrate> ::= 2400..115200 (only for com1..com8)\n");
  printf(" Current setting: ");

  DWORD port = 0;
  DWORD baudRate = 0;
  int failures = 0;
  SettingsKeys keys;
  LONG status = OpenSettingsKeys(&keys, false);
  if (keys.opened == 0) {
    PrintSystemError((DWORD)status);  // only the root's failure is shown
    ++failures;
  } else if (status == ERROR_SUCCESS) {
    HKEY key = keys.keys[SETTINGS_KEY_DEPTH];
    // A failed query may leave part of a longer value behind: show it as not set.
    if (QuerySettingsValue(key, PORT_VALUE_NAME, &port) != ERROR_SUCCESS) port = 0;
    if (QuerySettingsValue(key, BAUDRATE_VALUE_NAME, &baudRate) != ERROR_SUCCESS) baudRate = 0;
  }
  failures += CloseSettingsKeys(&keys, PrintSystemError);
  PrintCurrentSetting(port, baudRate);
  return failures;
}

// PrintSystemError for a failed call; 1 when it failed, else 0.
static int ReportFailure(LONG status) {
  if (status == ERROR_SUCCESS) return 0;
  PrintSystemError((DWORD)status);
  return 1;
}

int WriteSettings(PortId port, DWORD baudRate) {
  SettingsKeys keys;
  int failures = ReportFailure(OpenSettingsKeys(&keys, true));
  if (failures == 0) {
    HKEY key = keys.keys[SETTINGS_KEY_DEPTH];
    failures += ReportFailure(RegSetValueExA(key, PORT_VALUE_NAME, 0, REG_DWORD,
                                             (const BYTE*)&port, SETTINGS_VALUE_SIZE));
    failures += ReportFailure(RegSetValueExA(key, BAUDRATE_VALUE_NAME, 0, REG_DWORD,
                                             (const BYTE*)&baudRate, SETTINGS_VALUE_SIZE));
  }
  return failures + CloseSettingsKeys(&keys, PrintSystemError);
}

// "comN" with N from 1 to 8; characters after the digit do not count.
static PortId SerialPortArgument(const char* argument) {
  if (strncmp(argument, "com", 3) != 0) return PORT_NONE;
  char digit = argument[3];
  if (digit < '1' || digit > '8') return PORT_NONE;
  return (PortId)(digit - '0');
}

int RunSetQuillet(int argc, char** argv) {
  PortId port = PORT_NONE;
  DWORD baudRate = 0;
  int failures = 0;
  if (argc == 2 && strcmp(argv[1], "usb") == 0) {
    port = PORT_USB;
  } else if (argc == 3 && SerialPortArgument(argv[1]) != PORT_NONE) {
    port = SerialPortArgument(argv[1]);
    baudRate = (DWORD)ParseDecimal(argv[2]);
    // A rate outside the list is shown as illegal, and then stored all the same.
    if (!IsValidBaudRate(baudRate)) failures += PrintUsage();
  } else {
    failures += PrintUsage();
  }
  if (port != PORT_NONE || baudRate != 0) failures += WriteSettings(port, baudRate);
  // A script or installer must be able to tell that the setting was not stored.
  return failures > 0 ? SETQUILLET_EXIT_REGISTRY_FAILED : SETQUILLET_EXIT_OK;
}
