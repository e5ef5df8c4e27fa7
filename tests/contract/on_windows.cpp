// The contract's platform: Windows (or Wine), with the stored setting cleared first;
// "com1" a serial port whose far end the peer reaches through "com2" (under Wine, two
// ptys the test joins).
#include <cstdlib>

#include "contract.h"

int platform = WINDOWS;
DWORD lateness = 250;
static HANDLE peerPort;
static HANDLE peerThread;
static const PeerStep* script;
static int scriptLength;
static DWORD scriptStart;

void StartPlatform(void) {
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) platform = WINE;
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Dorvane\\Quillet");
  RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Dorvane");
  peerPort = CreateFileA("com2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  COMMTIMEOUTS timeouts = {0, 0, 0, 0, 1000};
  if (peerPort == INVALID_HANDLE_VALUE || !SetCommTimeouts(peerPort, &timeouts)) {
    printf("no peer on com2 (error %lu)\n", GetLastError());
    exit(2);
  }
}

DWORD Milliseconds(void) { return GetTickCount(); }

static DWORD WINAPI Peer(LPVOID) {
  for (int i = 0; i < scriptLength; ++i) {
    DWORD now = GetTickCount() - scriptStart;
    if (script[i].at > now) Sleep(script[i].at - now);
    DWORD written = 0;
    WriteFile(peerPort, script[i].bytes, (DWORD)strlen(script[i].bytes), &written, nullptr);
  }
  return 0;
}

void PeerSends(const PeerStep* steps, int count) {
  script = steps;
  scriptLength = count;
  scriptStart = GetTickCount();
  peerThread = CreateThread(nullptr, 0, Peer, nullptr, 0, nullptr);
}

void PeerFinish(void) {
  WaitForSingleObject(peerThread, 10000);
  CloseHandle(peerThread);
}
