// The per-user folder that holds the settings store and the device map.
//
// Contract: the folder is ${XDG_CONFIG_HOME}/quillet when XDG_CONFIG_HOME is an absolute
// path, else $HOME/.config/quillet (HOME from the environment, else the user database).
// It is never created by reading; writing creates it with mode 0700. A folder that
// cannot be named, is not a folder, or cannot be searched is reported as such.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix.h"

static const char* HomeFolder(void) {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  struct passwd* entry = getpwuid(getuid());
  return (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/')
             ? entry->pw_dir
             : nullptr;
}

// ${XDG_CONFIG_HOME:-$HOME/.config}
static DWORD ConfigBase(char* path, size_t size) {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  int written;
  if (xdg != nullptr && xdg[0] == '/') {
    written = snprintf(path, size, "%s", xdg);
  } else {
    const char* home = HomeFolder();
    if (home == nullptr) return ERROR_PATH_NOT_FOUND;
    written = snprintf(path, size, "%s/.config", home);
  }
  return (written < 0 || (size_t)written >= size) ? ERROR_FILENAME_EXCED_RANGE : 0;
}

DWORD QuilletPath(const char* tail, char* path, size_t size) {
  char base[QUILLET_PATH_SIZE];
  DWORD status = ConfigBase(base, sizeof base);
  if (status != 0) return status;
  int written = tail != nullptr ? snprintf(path, size, "%s/quillet/%s", base, tail)
                                : snprintf(path, size, "%s/quillet", base);
  return (written < 0 || (size_t)written >= size) ? ERROR_FILENAME_EXCED_RANGE : 0;
}

// 0 when path is a searchable folder or does not exist; missing is set in the latter case.
static DWORD CheckFolder(const char* path, bool* missing) {
  struct stat info;
  *missing = false;
  if (stat(path, &info) != 0) {
    if (errno == ENOENT) {
      *missing = true;
      return 0;
    }
    return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
  }
  if (!S_ISDIR(info.st_mode)) return ERROR_PATH_NOT_FOUND;
  return access(path, R_OK | X_OK) == 0 ? 0 : ErrorFromErrno(errno);
}

DWORD CheckQuilletFolder(void) {
  char folder[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(nullptr, folder, sizeof folder);
  if (status != 0) return status;
  bool missing;
  status = CheckFolder(folder, &missing);
  if (status != 0 || !missing) return status;
  // A folder that does not exist yet is fine as long as the place it goes is a folder.
  char base[QUILLET_PATH_SIZE];
  ConfigBase(base, sizeof base);
  return CheckFolder(base, &missing);
}

DWORD MakeQuilletFolder(void) {
  char folder[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(nullptr, folder, sizeof folder);
  if (status != 0) return status;
  // mkdir -p: each level in turn, leaving existing ones alone.
  for (char* slash = strchr(folder + 1, '/');; slash = strchr(slash + 1, '/')) {
    if (slash != nullptr) *slash = '\0';
    if (mkdir(folder, 0700) != 0 && errno != EEXIST) {
      return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
    }
    if (slash == nullptr) break;
    *slash = '/';
  }
  bool missing;
  return CheckFolder(folder, &missing);
}
