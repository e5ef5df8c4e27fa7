// SetQuillet, the configuration tool: stores the port Quillet uses, or shows the usage and
// the stored setting.
#ifndef QUILLET_CONFIG_SETQUILLET_H
#define QUILLET_CONFIG_SETQUILLET_H

#include "common/settings.h"

#define SETQUILLET_EXIT_OK 0
#define SETQUILLET_EXIT_REGISTRY_FAILED 1  // a registry call failed: its LastError line shows

// The whole program: argc and argv as main gets them. Returns the exit code.
int RunSetQuillet(int argc, char** argv);

// Prints the usage and the stored setting on standard output. Returns how many registry
// failures it printed.
int PrintUsage(void);
// Creates the key path where missing and stores both values. Returns how many registry
// failures it printed.
int WriteSettings(PortId port, DWORD baudRate);
// Prints the system's text for code (0: the thread's last error) as a LastError line.
void PrintSystemError(DWORD code);

#endif  // QUILLET_CONFIG_SETQUILLET_H
