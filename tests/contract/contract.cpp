// The Windows calls the programs make and the answers they rely on, stated once and run on
// every platform the programs link against: the scripted fake (the unit tests' platform),
// platform/posix (the Linux port) and Windows itself (under Wine). A platform that differs
// where the programs do not care says so on the line above the check it skips.
#include "contract.h"

#include "common/settings.h"
#include "systemtexts.h"

int failures = 0;

void Failed(const char* file, int line, const char* what, const char* detail) {
  printf("%s:%d: FAILED %s%s\n", file, line, what, detail);
  fflush(stdout);
  ++failures;
}

static void CheckText(const char* expected, const char* actual, int line) {
  if (actual != nullptr && strcmp(expected, actual) == 0) return;
  char detail[512];
  snprintf(detail, sizeof detail, ": expected \"%s\", got %s%s%s", expected,
           actual ? "\"" : "", actual ? actual : "null", actual ? "\"" : "");
  Failed(__FILE__, line, "text", detail);
}
#define CHECK_TEXT(expected, actual) CheckText(expected, actual, __LINE__)

// ---- Registry: the settings' codes and sizes, through the programs' own key walk --------

static void CloseFailed(DWORD code) { CHECK_EQ(ERROR_SUCCESS, code); }

static void Registry(void) {
  SettingsKeys keys;
  // A key never written is missing: the settings read reports it and finds no setting.
  CHECK_EQ(ERROR_FILE_NOT_FOUND, OpenSettingsKeys(&keys, false));
  CloseSettingsKeys(&keys, CloseFailed);
  CHECK_EQ(ERROR_SUCCESS, OpenSettingsKeys(&keys, true));
  HKEY key = keys.keys[SETTINGS_KEY_DEPTH];
  DWORD value = 0, port = 5;
  CHECK_EQ(ERROR_FILE_NOT_FOUND, QuerySettingsValue(key, "Port", &value));
  CHECK_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&port, 4));
  CHECK_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Wide", 0, 3, (const BYTE*)"12345678", 8));
  CHECK_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Narrow", 0, 3, (const BYTE*)"\7\1", 2));
  CloseSettingsKeys(&keys, CloseFailed);

  // What one program wrote, the other reads through keys of its own, 4 bytes at a time.
  CHECK_EQ(ERROR_SUCCESS, OpenSettingsKeys(&keys, false));
  key = keys.keys[SETTINGS_KEY_DEPTH];
  const struct {
    const char* name;
    LONG status;
    DWORD type, size, value;
  } reads[] = {
      {"Port", ERROR_SUCCESS, REG_DWORD, 4, 5},
      // Too wide for the buffer: the size it needs, and the caller has no value.
      {"Wide", ERROR_MORE_DATA, 3, 8, 0},
      // Narrower: its bytes at the bottom, the rest of the buffer as it was.
      {"Narrow", ERROR_SUCCESS, 3, 2, 0x5A5A0107},
  };
  for (const auto& r : reads) {
    DWORD type = 0, size = 4;
    value = 0x5A5A5A5A;
    printf("  query %s\n", r.name);
    CHECK_EQ(r.status, RegQueryValueExA(key, r.name, nullptr, &type, (LPBYTE)&value, &size));
    CHECK_EQ(r.size, size);
    if (r.status != ERROR_SUCCESS) continue;
    CHECK_EQ(r.type, type);
    CHECK_EQ(r.value, value);
  }
  CloseSettingsKeys(&keys, CloseFailed);
  CHECK_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));  // closed already
}

// ---- Movable memory: handles, lock counts, what unlocking answers --------------------

static void MovableMemory(void) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 16);
  CHECK(block != nullptr);
  CHECK(!GlobalUnlock(block));  // not locked
  CHECK_EQ(ERROR_NOT_LOCKED, GetLastError());
  char* text = (char*)GlobalLock(block);
  CHECK(text != nullptr);
  if (text == nullptr) return;
  strcpy(text, "kept");
  // Locks count; the block stays where it is until the last unlock, which answers FALSE
  // and is no failure.
  CHECK(GlobalLock(block) == text);
  CHECK(GlobalUnlock(block));
  CHECK(!GlobalUnlock(block));
  CHECK_EQ(ERROR_SUCCESS, GetLastError());
  // The bytes outlive the unlock: a block travels unlocked between the steps that fill it
  // and the steps that read it.
  CHECK_TEXT("kept", (const char*)GlobalLock(block));
  CHECK(!GlobalUnlock(block));
  CHECK(GlobalFree(block) == nullptr);
  // No bytes, nothing to lock (a device list of size 0 is asked for so).
  HGLOBAL empty = GlobalAlloc(GMEM_MOVEABLE, 0);
  CHECK(empty != nullptr);
  CHECK(GlobalLock(empty) == nullptr);
  CHECK(GlobalFree(empty) == nullptr);
}

// ---- Serial port: exclusive, 8N1 at every rate, the COMMTIMEOUTS read rules --------

static HANDLE OpenCom1(void) {
  return CreateFileA("com1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

static void ReadsByTheTimeouts(HANDLE port) {
  const struct {
    const char* rule;
    COMMTIMEOUTS timeouts;  // interval, multiplier, constant; the write fields unused
    PeerStep steps[3];      // what the peer sends when
    int stepCount;
    DWORD n;
    const char* got;
    DWORD after;  // ms from the call
  } reads[] = {
      {"nothing comes: constant + n x multiplier", {0, 50, 400, 0, 0}, {}, 0, 10, "", 900},
      {"the interval runs from the first byte on",
       {300, 0, 3000, 0, 0}, {{600, "ab"}, {1300, "c"}}, 2, 5, "ab", 900},
      {"the total runs from the call, whatever arrives",
       {700, 0, 900, 0, 0}, {{300, "a"}, {600, "b"}, {1200, "c"}}, 3, 5, "ab", 900},
      {"all there: no wait", {300, 0, 3000, 0, 0}, {{0, "abcd"}}, 1, 4, "abcd", 0},
  };
  for (const auto& r : reads) {
    printf("  %s\n", r.rule);
    COMMTIMEOUTS timeouts = r.timeouts;
    CHECK(SetCommTimeouts(port, &timeouts));
    PeerSends(r.steps, r.stepCount);
    char buffer[16] = {0};
    DWORD count = 99, start = Milliseconds();
    CHECK(ReadFile(port, buffer, r.n, &count, nullptr));  // a time-out is success
    DWORD elapsed = Milliseconds() - start;
    CHECK_EQ(strlen(r.got), count);
    CHECK_TEXT(r.got, buffer);
    // A real clock may run a tick early, and a loaded machine late.
    if (elapsed + lateness / 10 < r.after || elapsed > r.after + lateness) {
      CHECK_EQ(r.after, elapsed);
    }
    PeerFinish();
    COMMTIMEOUTS drain = {0, 0, 100, 0, 0};  // what came late goes before the next case
    SetCommTimeouts(port, &drain);
    ReadFile(port, buffer, sizeof buffer, &count, nullptr);
  }
}

static void SerialPort(void) {
  HANDLE port = OpenCom1();
  CHECK(port != INVALID_HANDLE_VALUE);
  if (port == INVALID_HANDLE_VALUE) return;
  // Held by one opener at a time, as HotSync Manager holds it.
  // Wine: a serial port opens as often as asked.
  EXCEPT_ON(WINE) {
    CHECK(OpenCom1() == INVALID_HANDLE_VALUE);
    CHECK_EQ(ERROR_ACCESS_DENIED, GetLastError());
  }
  for (DWORD rate : VALID_BAUD_RATES) {  // 8N1 at each, read back as set
    DCB dcb = DCB(), back = DCB();
    dcb.DCBlength = back.DCBlength = sizeof(DCB);
    CHECK(GetCommState(port, &dcb));
    dcb.BaudRate = rate, dcb.ByteSize = 8, dcb.Parity = NOPARITY, dcb.StopBits = ONESTOPBIT;
    CHECK(SetCommState(port, &dcb));
    CHECK(GetCommState(port, &back));
    CHECK_EQ(rate, back.BaudRate);
    CHECK(back.ByteSize == 8 && back.Parity == NOPARITY && back.StopBits == ONESTOPBIT);
  }
  ReadsByTheTimeouts(port);
  CHECK(CloseHandle(port));
  port = OpenCom1();  // closing gives the port back
  CHECK(port != INVALID_HANDLE_VALUE);
  CloseHandle(port);
}

// ---- Clipboard: refusals while not open, the block given, the block got ---------------

static HGLOBAL TextBlock(const char* text) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, strlen(text) + 1);
  char* bytes = block ? (char*)GlobalLock(block) : nullptr;
  if (bytes != nullptr) strcpy(bytes, text);
  GlobalUnlock(block);
  return block;
}

static void Clipboard(void) {
  HGLOBAL block = TextBlock("one\r\ntwo");
  // Not open: refused, and a block offered stays the caller's to free.
  CHECK(GetClipboardData(CF_TEXT) == nullptr);
  CHECK_EQ(ERROR_CLIPBOARD_NOT_OPEN, GetLastError());
  CHECK(!EmptyClipboard());
  CHECK_EQ(ERROR_CLIPBOARD_NOT_OPEN, GetLastError());
  CHECK(SetClipboardData(CF_TEXT, block) == nullptr);
  CHECK_EQ(ERROR_CLIPBOARD_NOT_OPEN, GetLastError());
  CHECK(!CloseClipboard());
  CHECK_EQ(ERROR_CLIPBOARD_NOT_OPEN, GetLastError());
  CHECK_TEXT("one\r\ntwo", (const char*)GlobalLock(block));
  GlobalUnlock(block);

  // Open: the block handed over is the clipboard's from then on, and its text everyone's.
  CHECK(OpenClipboard(nullptr));
  CHECK(EmptyClipboard());
  CHECK(SetClipboardData(CF_TEXT, block) == block);
  CHECK(CloseClipboard());
  CHECK(IsClipboardFormatAvailable(CF_TEXT));
  CHECK(OpenClipboard(nullptr));
  HANDLE data = GetClipboardData(CF_TEXT);  // the clipboard's: locked and unlocked, not freed
  CHECK(data != nullptr);
  CHECK_TEXT("one\r\ntwo", data ? (const char*)GlobalLock(data) : nullptr);
  if (data != nullptr) GlobalUnlock(data);
  CHECK(GetClipboardData(2) == nullptr);  // CF_BITMAP: no format but the one given

  // Emptied: no text, by either question.
  CHECK(EmptyClipboard());
  CHECK(CloseClipboard());
  CHECK(!IsClipboardFormatAvailable(CF_TEXT));
  CHECK(OpenClipboard(nullptr));
  CHECK(GetClipboardData(CF_TEXT) == nullptr);
  CHECK(SetClipboardData(CF_TEXT, nullptr) == nullptr);  // no block: no text to promise
  CHECK(CloseClipboard());
}

// ---- Error texts: FormatMessageA as both error hooks ask, and LocalFree ---------------

static void ErrorTexts(void) {
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
  const DWORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);
  for (const auto& t : SYSTEM_TEXTS) {  // the codes the calls pass to the error hooks
    char* text = nullptr;
    DWORD length = FormatMessageA(flags, nullptr, t.code, language, (LPSTR)&text, 0, nullptr);
    printf("  code %lu\n", (unsigned long)t.code);
    CHECK(text != nullptr);
    if (text == nullptr) continue;
    // Wine: texts of its own, shorter ("File not found.").
    EXCEPT_ON(WINE) CHECK_TEXT(t.text, text);
    CHECK_EQ(strlen(text), length);
    CHECK(LocalFree(text) == nullptr);
  }
  // A code without a text: nothing allocated, nothing to release.
  char* text = nullptr;
  CHECK_EQ(0, FormatMessageA(flags, nullptr, 99999, language, (LPSTR)&text, 0, nullptr));
  CHECK(text == nullptr);
}

int main() {
  StartPlatform();
  const struct {
    const char* name;
    void (*run)(void);
  } cases[] = {{"registry", Registry},   {"movable memory", MovableMemory},
               {"serial port", SerialPort}, {"clipboard", Clipboard},
               {"error texts", ErrorTexts}};
  for (const auto& c : cases) {
    printf("%s\n", c.name);
    fflush(stdout);
    c.run();
  }
  printf(failures ? "%d check(s) failed\n" : "all checks passed\n", failures);
  return failures ? 1 : 0;
}
