// Reading the settings store's text (the format regstore.cpp writes).
//
// Contract: the first line that is not blank is REGEDIT4. Then come blank lines, ;
// comments, key lines [HKEY_CURRENT_USER] or [HKEY_CURRENT_USER\level\...] (levels of 1
// to 255 characters, no control characters), and value lines "name"=data or @=data
// below a key, with data dword:XXXXXXXX, "text", hex:bb,... or hex(T):bb,... A later
// value of the same name wins. Any other line, a NUL byte or a file above 1 MiB makes the
// file damaged: ERROR_BADDB. A missing file is an empty store; an empty one too.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "settings/regstore.h"

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A quoted string at *p ('"' ... '"', with \\ and \" escapes). Leaves *p after it.
static bool ParseQuoted(const char** p, char* out, size_t capacity, size_t* length) {
  const char* s = *p;
  if (*s++ != '"') return false;
  size_t n = 0;
  for (; *s != '"'; ++s) {
    if (*s == '\0') return false;
    if (*s == '\\') {
      ++s;
      if (*s != '\\' && *s != '"') return false;
    }
    if (n + 1 >= capacity) return false;
    out[n++] = *s;
  }
  out[n] = '\0';
  *length = n;
  *p = s + 1;
  return true;
}

// A key path after the root's name: empty, or levels each introduced by '\'.
static bool ParseKeyPath(const char* text, size_t length, char* path) {
  if (length >= REG_PATH_MAX) return false;
  if (length == 0) {
    path[0] = '\0';
    return true;
  }
  if (text[0] != '\\') return false;
  memcpy(path, text + 1, length - 1);
  path[length - 1] = '\0';
  return IsValidKeyPath(path);
}

static bool ParseData(const char* s, DWORD* type, BYTE* data, DWORD* size) {
  if (strncmp(s, "dword:", 6) == 0) {
    s += 6;
    DWORD number = 0;
    int digits = 0;
    for (; HexDigit(*s) >= 0 && digits < 8; ++s, ++digits) number = number * 16 + HexDigit(*s);
    if (digits == 0 || *s != '\0') return false;
    *type = REG_DWORD;
    for (int i = 0; i < 4; ++i) data[i] = (BYTE)(number >> (8 * i));
    *size = 4;
    return true;
  }
  if (*s == '"') {
    size_t length;
    if (!ParseQuoted(&s, (char*)data, REG_DATA_MAX, &length) || *s != '\0') return false;
    *type = REG_SZ;
    *size = (DWORD)length + 1;
    return true;
  }
  if (strncmp(s, "hex:", 4) == 0) {
    *type = REG_BINARY;
    s += 4;
  } else if (strncmp(s, "hex(", 4) == 0) {
    s += 4;
    DWORD number = 0;
    int digits = 0;
    for (; HexDigit(*s) >= 0 && digits < 8; ++s, ++digits) number = number * 16 + HexDigit(*s);
    if (digits == 0 || strncmp(s, "):", 2) != 0) return false;
    *type = number;
    s += 2;
  } else {
    return false;
  }
  DWORD n = 0;
  while (*s != '\0') {
    if (n > 0 && *s++ != ',') return false;
    if (HexDigit(s[0]) < 0 || HexDigit(s[1]) < 0 || n >= REG_DATA_MAX) return false;
    data[n++] = (BYTE)(HexDigit(s[0]) * 16 + HexDigit(s[1]));
    s += 2;
  }
  *size = n;
  return true;
}

// One line, without its line end. key is the section the line is in (null before one).
static bool ParseLine(char* line, RegStore* store, RegKeyEntry** key, BYTE* data) {
  size_t length = strlen(line);
  while (length > 0 && (line[length - 1] == ' ' || line[length - 1] == '\t')) line[--length] = '\0';
  if (length == 0 || line[0] == ';') return true;
  if (line[0] == '[') {
    size_t rootLength = strlen(ROOT_NAME);
    char path[REG_PATH_MAX];
    if (line[length - 1] != ']' || strncasecmp(line + 1, ROOT_NAME, rootLength) != 0 ||
        !ParseKeyPath(line + 1 + rootLength, length - 2 - rootLength, path)) {
      return false;
    }
    *key = KeyEntry(store, path, true);
    return *key != nullptr;
  }
  if (*key == nullptr) return false;
  const char* s = line;
  char name[REG_NAME_MAX + 1];
  size_t nameLength;
  if (*s == '@') {
    name[0] = '\0';
    ++s;
  } else if (!ParseQuoted(&s, name, sizeof name, &nameLength)) {
    return false;
  }
  if (*s++ != '=') return false;
  DWORD type, size;
  if (!ParseData(s, &type, data, &size)) return false;
  return SetValue(*key, name, type, data, size) == 0;
}

// ParseStore on text that it may change: length bytes and room for a NUL after them.
static DWORD ParseOwnText(char* copy, size_t length, RegStore* store) {
  *store = RegStore{};
  if (memchr(copy, '\0', length) != nullptr) return ERROR_BADDB;
  copy[length] = '\0';
  // Lines are found with memchr on the bytes left: its cost ends where the line does, also
  // under the sanitizers, whose strstr and strchr measure the whole rest of the text.
  char* const end = copy + length;
  // Every section begins a line with '[': room for that many keys at once.
  int sections = copy[0] == '[';
  for (const char* c = copy; (c = (const char*)memchr(c, '\n', (size_t)(end - c))) != nullptr;) {
    sections += *++c == '[';
  }
  BYTE* data = (BYTE*)malloc(REG_DATA_MAX);
  if (data == nullptr || !ReserveKeys(store, sections)) {
    free(data);
    FreeStore(store);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  bool headerSeen = false;
  bool damaged = false;
  RegKeyEntry* key = nullptr;
  char* next = copy;
  while (next != nullptr && !damaged) {
    char* line = next;
    next = (char*)memchr(line, '\n', (size_t)(end - line));
    if (next != nullptr) *next++ = '\0';
    size_t lineLength = (size_t)((next != nullptr ? next - 1 : end) - line);
    if (lineLength > 0 && line[lineLength - 1] == '\r') line[lineLength - 1] = '\0';
    if (!headerSeen) {
      if (line[0] == '\0') continue;
      headerSeen = strcmp(line, STORE_HEADER) == 0;
      damaged = !headerSeen;
    } else {
      damaged = !ParseLine(line, store, &key, data);
    }
  }
  free(data);
  // An empty file is an empty store; any other file must carry the header.
  if (damaged || (!headerSeen && length > 0)) {
    FreeStore(store);
    return ERROR_BADDB;
  }
  return 0;
}

DWORD ParseStore(const char* text, size_t length, RegStore* store) {
  *store = RegStore{};
  char* copy = (char*)malloc(length + 1);
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(copy, text, length);
  DWORD status = ParseOwnText(copy, length, store);
  free(copy);
  return status;
}

static bool IsStoreFile(const struct stat* info) {
  return S_ISREG(info->st_mode) && info->st_size <= REG_FILE_MAX;
}

DWORD LoadStore(RegStore* store, struct stat* seen) {
  *store = RegStore{};
  struct stat info = {};
  if (seen != nullptr) *seen = info;
  char folder[QUILLET_PATH_SIZE], name[QUILLET_PATH_SIZE], path[2 * QUILLET_PATH_SIZE];
  DWORD status = StoreTarget(folder, name);
  if (status == ERROR_FILE_NOT_FOUND) return 0;  // a link that leads nowhere (yet)
  if (status != 0) return status;
  snprintf(path, sizeof path, "%s/%s", folder, name);
  // A FIFO, a device or a socket in the store's place is refused before it is opened, and
  // the open never waits (for a FIFO's writer, a modem's carrier) should one slip in.
  if (stat(path, &info) == 0 && !IsStoreFile(&info)) return ERROR_BADDB;
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : ErrorFromErrno(errno);
  status = fstat(fd, &info) != 0 || !IsStoreFile(&info) ? ERROR_BADDB
                                                        : CheckOwned(path, &info, 0);
  if (status != 0) {
    close(fd);
    return status;
  }
  char* text = (char*)malloc(REG_FILE_MAX + 1);
  size_t length = 0;
  status = text == nullptr ? ERROR_NOT_ENOUGH_MEMORY : 0;
  while (status == 0) {
    ssize_t got = read(fd, text + length, REG_FILE_MAX + 1 - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) status = ErrorFromErrno(errno);
    if (got <= 0) break;
    length += (size_t)got;
    if (length > REG_FILE_MAX) status = ERROR_BADDB;  // grew while being read
  }
  close(fd);
  if (status == 0) status = ParseOwnText(text, length, store);
  free(text);
  if (status == 0 && seen != nullptr) *seen = info;
  return status;
}
