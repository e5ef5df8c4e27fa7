// The settings store on Linux: ${XDG_CONFIG_HOME:-$HOME/.config}/quillet/user.reg, a
// REGEDIT4 text that regedit itself could import:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\Software\Dorvane\Quillet]
//   "Port"=dword:00000005
//
// Contract:
// - Keys nest as in the registry; key and value names compare without regard to case.
//   Values keep their type: dword:XXXXXXXX (REG_DWORD, 4 bytes), "text" (REG_SZ, \\ and
//   \" escaped), hex(T):bb,... for anything else.
// - A damaged file (regparse.cpp says what that is) is never written over.
// - Writers hold an exclusive flock on user.reg.lock from reading to replacing, so a
//   second writer waits and then sees the first one's result. The file is replaced
//   whole (temporary file, fsync, rename, fsync of the folder): a reader or a crash sees
//   the old file or the new one, never a part; the next writer removes what a killed
//   one left behind.
#include "settings/regstore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- The model ----------------------------------------------------------------------------

void FreeKeyEntry(RegKeyEntry* key) {
  for (int v = 0; v < key->valueCount; ++v) {
    free(key->values[v].name);
    free(key->values[v].data);
  }
  free(key->values);
  free(key->path);
  key->values = nullptr;
  key->valueCount = 0;
  key->path = nullptr;
}

void FreeStore(RegStore* store) {
  for (int k = 0; k < store->keyCount; ++k) FreeKeyEntry(&store->keys[k]);
  free(store->keys);
  store->keys = nullptr;
  store->keyCount = 0;
}

bool IsValidKeyPath(const char* path) {
  size_t level = 0;
  for (const char* c = path;; ++c) {
    if (*c == '\\' || *c == '\0') {
      if (level == 0 || level > REG_NAME_MAX) return false;
      if (*c == '\0') return true;
      level = 0;
    } else if ((unsigned char)*c < 0x20) {
      return false;
    } else {
      ++level;
    }
  }
}

bool KeyExists(const RegStore* store, const char* path) {
  size_t length = strlen(path);
  if (length == 0) return true;
  for (int k = 0; k < store->keyCount; ++k) {
    const char* other = store->keys[k].path;
    if (strncasecmp(other, path, length) == 0 && (other[length] == '\0' || other[length] == '\\')) {
      return true;
    }
  }
  return false;
}

RegKeyEntry* KeyEntry(RegStore* store, const char* path, bool add) {
  for (int k = 0; k < store->keyCount; ++k) {
    if (strcasecmp(store->keys[k].path, path) == 0) return &store->keys[k];
  }
  if (!add) return nullptr;
  RegKeyEntry* keys =
      (RegKeyEntry*)realloc(store->keys, (store->keyCount + 1) * sizeof *store->keys);
  if (keys == nullptr) return nullptr;
  store->keys = keys;
  RegKeyEntry* key = &keys[store->keyCount];
  key->path = strdup(path);
  if (key->path == nullptr) return nullptr;
  key->values = nullptr;
  key->valueCount = 0;
  ++store->keyCount;
  return key;
}

RegValue* FindValue(RegKeyEntry* key, const char* name) {
  for (int v = 0; v < key->valueCount; ++v) {
    if (strcasecmp(key->values[v].name, name) == 0) return &key->values[v];
  }
  return nullptr;
}

DWORD SetValue(RegKeyEntry* key, const char* name, DWORD type, const BYTE* data, DWORD size) {
  BYTE* copy = (BYTE*)malloc(size > 0 ? size : 1);
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (size > 0) memcpy(copy, data, size);
  RegValue* value = FindValue(key, name);
  if (value == nullptr) {
    RegValue* values = (RegValue*)realloc(key->values, (key->valueCount + 1) * sizeof *values);
    char* nameCopy = strdup(name);
    if (values != nullptr) key->values = values;
    if (values == nullptr || nameCopy == nullptr) {
      free(nameCopy);
      free(copy);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    value = &key->values[key->valueCount++];
    value->name = nameCopy;
    value->data = nullptr;
  }
  free(value->data);
  value->type = type;
  value->data = copy;
  value->size = size;
  return 0;
}

// ---- Writing the text -------------------------------------------------------------------

static void WriteQuoted(FILE* file, const char* text, size_t length) {
  fputc('"', file);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\\' || text[i] == '"') fputc('\\', file);
    fputc(text[i], file);
  }
  fputc('"', file);
}

// Text that reads back as the same REG_SZ: NUL-terminated once, no control characters.
static bool IsPlainString(const RegValue* value) {
  if (value->type != REG_SZ || value->size == 0 || value->data[value->size - 1] != 0) return false;
  for (DWORD i = 0; i + 1 < value->size; ++i) {
    if (value->data[i] < 0x20) return false;
  }
  return true;
}

static void WriteValue(FILE* file, const RegValue* value) {
  if (value->name[0] == '\0') {
    fputc('@', file);
  } else {
    WriteQuoted(file, value->name, strlen(value->name));
  }
  fputc('=', file);
  if (value->type == REG_DWORD && value->size == 4) {
    const BYTE* d = value->data;
    DWORD number = d[0] | (DWORD)d[1] << 8 | (DWORD)d[2] << 16 | (DWORD)d[3] << 24;
    fprintf(file, "dword:%08x\n", (unsigned)number);
    return;
  }
  if (IsPlainString(value)) {
    WriteQuoted(file, (const char*)value->data, value->size - 1);
    fputc('\n', file);
    return;
  }
  if (value->type == REG_BINARY) {
    fputs("hex:", file);
  } else {
    fprintf(file, "hex(%x):", (unsigned)value->type);
  }
  for (DWORD i = 0; i < value->size; ++i) fprintf(file, i ? ",%02x" : "%02x", value->data[i]);
  fputc('\n', file);
}

static void WriteStore(FILE* file, const RegStore* store) {
  fputs(STORE_HEADER "\n", file);
  for (int k = 0; k < store->keyCount; ++k) {
    const RegKeyEntry* key = &store->keys[k];
    fprintf(file, "\n[" ROOT_NAME "%s%s]\n", key->path[0] ? "\\" : "", key->path);
    for (int v = 0; v < key->valueCount; ++v) WriteValue(file, &key->values[v]);
  }
}

DWORD LockStore(int* lock) {
  DWORD status = MakeQuilletFolder();
  if (status != 0) return status;
  char path[QUILLET_PATH_SIZE];
  status = QuilletPath(REG_STORE_FILE ".lock", path, sizeof path);
  if (status != 0) return status;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return ErrorFromErrno(errno);
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      status = ErrorFromErrno(errno);
      close(fd);
      return status;
    }
  }
  *lock = fd;
  return 0;
}

void UnlockStore(int lock) { close(lock); }

// Temporary files that a writer killed before its rename left behind. Only a holder of
// the lock calls this, so none of them is still being written.
static void RemoveLeftovers(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return;
  const size_t prefix = strlen(REG_STORE_FILE ".");
  for (struct dirent* entry; (entry = readdir(dir)) != nullptr;) {
    if (strncmp(entry->d_name, REG_STORE_FILE ".", prefix) == 0 &&
        strlen(entry->d_name) == prefix + 6) {  // mkostemp's six characters, never ".lock"
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
}

DWORD SaveStore(const RegStore* store) {
  char folder[QUILLET_PATH_SIZE], path[QUILLET_PATH_SIZE], temp[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(nullptr, folder, sizeof folder);
  if (status == 0) status = QuilletPath(REG_STORE_FILE, path, sizeof path);
  if (status == 0) status = QuilletPath(REG_STORE_FILE ".XXXXXX", temp, sizeof temp);
  if (status != 0) return status;
  RemoveLeftovers(folder);
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    status = ErrorFromErrno(errno);
    close(fd);
    unlink(temp);
    return status;
  }
  WriteStore(file, store);
  // Every step must hold before the rename makes the new text the store.
  errno = 0;
  bool written = fflush(file) == 0 && !ferror(file) && fsync(fd) == 0;
  int error = errno ? errno : EIO;
  written = (fclose(file) == 0) && written;
  if (written && rename(temp, path) != 0) {
    error = errno;
    written = false;
  }
  if (!written) {
    unlink(temp);
    return ErrorFromErrno(error);
  }
  int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);  // makes the rename itself durable
    close(dir);
  }
  return 0;
}
