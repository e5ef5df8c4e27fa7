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
//   one left behind, and nothing else. The lock stays beside the store's own name, also
//   when the store is a link: the link's target folder gets no file that outlives a write.
// - Only what is the user's own is read or written (userfolder.cpp has the rule): the
//   store, a store link and the folder it leads to, and the lock, which is a regular file
//   opened where it is, never through a link. A refusal creates and changes nothing.
#include "settings/regstore.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
  // Never through a link: the lock is made here or nowhere.
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ELOOP) LogRefusal(path, "a symbolic link (the lock is never followed)");
  if (fd < 0) return errno == ELOOP ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno);
  struct stat info;
  if (fstat(fd, &info) != 0) {
    status = ErrorFromErrno(errno);
  } else if (!S_ISREG(info.st_mode)) {
    LogRefusal(path, "not a regular file");
    status = ERROR_ACCESS_DENIED;
  } else {
    status = CheckOwned(path, &info, 0);
  }
  while (status == 0 && flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) status = ErrorFromErrno(errno);
  }
  if (status != 0) {
    close(fd);
    return status;
  }
  *lock = fd;
  return 0;
}

void UnlockStore(int lock) { close(lock); }

// A writer's temporary file beside the file it replaces: ".NAME.quillet-XXXXXX", a name
// of this program's own that no file of the user's has.
#define TEMP_INFIX ".quillet-"
#define TEMP_RANDOM "XXXXXX"

// Temporary files for name that a writer killed before its rename left behind in folder.
// Only a holder of the lock calls this, so none of them is still being written.
static void RemoveLeftovers(const char* folder, const char* name) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return;
  size_t nameLength = strlen(name), infix = strlen(TEMP_INFIX);
  for (struct dirent* entry; (entry = readdir(dir)) != nullptr;) {
    const char* d = entry->d_name;
    if (d[0] != '.' || strncmp(d + 1, name, nameLength) != 0 ||
        strncmp(d + 1 + nameLength, TEMP_INFIX, infix) != 0) {
      continue;
    }
    const char* random = d + 1 + nameLength + infix;
    bool ours = strlen(random) == strlen(TEMP_RANDOM);
    for (const char* c = random; ours && *c; ++c) {
      ours = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z');
    }
    if (ours) unlinkat(dirfd(dir), d, 0);
  }
  closedir(dir);
}

DWORD StoreTarget(char* folder, char* name) {
  char path[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(REG_STORE_FILE, path, sizeof path);
  if (status != 0) return status;
  struct stat info;
  char* target = nullptr;
  if (lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
    status = CheckOwned(path, &info, 0);
    if (status != 0) return status;
    target = realpath(path, nullptr);  // the whole chain, bounded by the kernel's ELOOP
    if (target == nullptr) return ErrorFromErrno(errno);  // leads nowhere: nothing written
  }
  const char* whole = target != nullptr ? target : path;
  const char* slash = strrchr(whole, '/');
  int written = snprintf(folder, QUILLET_PATH_SIZE, "%.*s", (int)(slash - whole), whole);
  snprintf(name, QUILLET_PATH_SIZE, "%s", slash + 1);
  if (written == 0) snprintf(folder, QUILLET_PATH_SIZE, "/");
  // Where a link leads, the folder is where the new file is made and renamed.
  if (target != nullptr) {
    status = stat(folder, &info) == 0 ? CheckOwned(folder, &info, 0) : ErrorFromErrno(errno);
  }
  free(target);
  return status;
}

DWORD SaveStore(const RegStore* store) {
  char folder[QUILLET_PATH_SIZE], name[QUILLET_PATH_SIZE], path[QUILLET_PATH_SIZE];
  char temp[QUILLET_PATH_SIZE];
  DWORD status = StoreTarget(folder, name);
  if (status != 0) return status;
  int written = snprintf(path, sizeof path, "%s/%s", folder, name);
  int tempWritten =
      snprintf(temp, sizeof temp, "%s/.%s" TEMP_INFIX TEMP_RANDOM, folder, name);
  if (written < 0 || (size_t)written >= sizeof path || tempWritten < 0 ||
      (size_t)tempWritten >= sizeof temp) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  RemoveLeftovers(folder, name);
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd < 0) return ErrorFromErrno(errno);
  // The replaced file keeps its permissions (mkostemp's 0600 for a new one). The reading
  // under the same lock found it the user's own.
  struct stat old;
  if (stat(path, &old) == 0) fchmod(fd, old.st_mode & 0777);
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    status = ErrorFromErrno(errno);
    close(fd);
    unlink(temp);
    return status;
  }
  setvbuf(file, nullptr, _IOFBF, 1 << 16);  // a large store in few writes
  WriteStore(file, store);
  // Every step must hold before the rename makes the new text the store. A text past
  // the size every reader takes (a compact hand-made store near it grows by the blank
  // lines we write) would be a store no run could read again: it is not written.
  errno = 0;
  bool done = fflush(file) == 0 && !ferror(file);
  bool tooLarge = done && ftell(file) > REG_FILE_MAX;
  done = done && !tooLarge && fsync(fd) == 0;
  int error = errno ? errno : EIO;
  done = (fclose(file) == 0) && done;
  if (done && rename(temp, path) != 0) {
    error = errno;
    done = false;
  }
  if (!done) {
    unlink(temp);
    return tooLarge ? ERROR_CANTWRITE : ErrorFromErrno(error);
  }
  int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);  // makes the rename itself durable
    close(dir);
  }
  return 0;
}
