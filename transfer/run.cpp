// One run of Quillet: settings, HotSync Manager, the port, one command word, one
// transfer, and everything given back in reverse order.
#include <cstdio>
#include <cstring>

#include "common/systemerror.h"
#include "transfer/transfer.h"

void ShowMessage(const char* text, UINT icon) {
  MessageBoxA(nullptr, text, MESSAGE_CAPTION, MB_OK | icon);
}

void SignalSuccess(void) { Beep(TONE_FREQUENCY, TONE_DURATION); }

// The user sees nothing of these failures; a debugger or the system log may.
static void LogSystemError(DWORD code, const char* text) {
  char line[512];
  snprintf(line, sizeof line, "Quillet: system error %lu: %s", (unsigned long)code,
           text ? text : "(no text)\n");
  OutputDebugStringA(line);
}

void ReportSystemError(DWORD code) { UseSystemErrorText(code, LogSystemError); }

// Takes the port away from HotSync Manager. True when this run shut it down, so that it
// must be started again at the end. Nothing here ends the run.
static bool SuspendHotSync(void) {
  if (HsCheckApiStatus() != 0) return false;  // absent, or not ours to control
  DWORD syncState = 0;
  if (HsGetSyncStatus(&syncState) != 0) {
    ShowMessage(MESSAGE_SHUTDOWN_FAILED, MB_ICONHAND);
    return false;
  }
  if (syncState != 0) {
    ShowMessage(MESSAGE_SYNC_IN_PROGRESS, MB_ICONEXCLAMATION);
    return false;
  }
  if (HsSetAppStatus(HS_APP_STATUS_SHUTDOWN, 0) != 0) {
    ShowMessage(MESSAGE_SHUTDOWN_FAILED, MB_ICONHAND);
    return false;
  }
  return true;
}

static void ResumeHotSync(bool restartNeeded) {
  if (!restartNeeded) return;
  if (HsSetAppStatus(HS_APP_STATUS_RESTART, 0) != 0) {
    ShowMessage(MESSAGE_RESTART_FAILED, MB_ICONHAND);
  }
}

// Waits for the handheld's command word and carries out the transfer it names. The
// receive buffer is released here unless ReceiveClipboard took it over.
static void ServeCommand(PortId portId, HANDLE port) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, TRANSFER_BUFFER_SIZE);
  if (block == nullptr) return;
  char* buffer = (char*)GlobalLock(block);
  if (buffer == nullptr) {
    GlobalFree(block);
    return;
  }
  DWORD count = 0;
  DWORD status = ReadPort(portId, port, buffer, COMMAND_SIZE, &count);
  if (status != 0) {
    ReportSystemError(status);
  } else if (strcmp(buffer, SEND_COMMAND) == 0) {
    SendClipboard(portId, port);
  } else if (strcmp(buffer, RECEIVE_COMMAND) == 0) {
    ReceiveClipboard(portId, port, block, buffer);
    return;
  } else {
    ShowMessage(MESSAGE_TIMEOUT, MB_ICONHAND);
  }
  GlobalUnlock(block);
  GlobalFree(block);
}

int RunTransfer(void) {
  Settings settings = {PORT_USB, 0};  // a stored Port of 9 leaves the USB preset in place
  if (!ReadSettings(&settings.port, &settings.baudRate)) {
    ShowMessage(MESSAGE_SETTINGS_UNSET, MB_ICONHAND);
    return EXIT_INVALID_SETTINGS;
  }
  bool restartNeeded = SuspendHotSync();
  HANDLE port = OpenPort(settings.port, settings.baudRate);
  if (port == INVALID_HANDLE_VALUE) {
    ShowMessage(MESSAGE_PORT_FAILED, MB_ICONHAND);
  } else {
    ServeCommand(settings.port, port);
    ClosePort(port);
  }
  ResumeHotSync(restartNeeded);
  return 0;
}
