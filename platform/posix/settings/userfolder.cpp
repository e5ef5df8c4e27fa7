// The per-user folder that holds the settings store and the device map, and the rule for
// what in it may be used.
//
// Contract: the folder is ${XDG_CONFIG_HOME}/quillet when XDG_CONFIG_HOME is an absolute
// path, else $HOME/.config/quillet (HOME from the environment, else the user database).
// It is never created by reading; writing creates it with mode 0700. A folder that
// cannot be named, is not a folder, or cannot be searched is reported as such.
// Only what is the user's own is used, as ssh's StrictModes has it: the folder, its
// devices/ folder, each device link, the store and the folder a store link leads to are
// owned by the user or root and writable by no one else (a group counts as no one else
// when it is the user's private group: named as the user, with no other member). The base
// folder (XDG_CONFIG_HOME or ~/.config) is owned by the user or root; where others may
// write to it, it must be sticky and the folder in it the user's own, not root's. What
// fails the rule is refused with ERROR_ACCESS_DENIED, and the system log says which path
// and why, in one line.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix.h"

void LogRefusal(const char* path, const char* why, ...) {
  char reason[256], line[QUILLET_PATH_SIZE + 300];
  va_list arguments;
  va_start(arguments, why);
  vsnprintf(reason, sizeof reason, why, arguments);
  va_end(arguments);
  snprintf(line, sizeof line, "refused %s: %s", path, reason);
  // A run that asks again (the USB search does, every second) logs the refusal once.
  static char last[sizeof line];
  if (strcmp(line, last) == 0) return;
  snprintf(last, sizeof last, "%s", line);
  OutputDebugStringA(line);
}

// The user's private group: the group named as the user, the user's primary one, with no
// member but the user.
static bool IsPrivateGroup(gid_t group) {
  struct passwd* user = getpwuid(geteuid());
  if (user == nullptr || user->pw_gid != group) return false;
  char own[256];  // the name outlives the next look-up in the user database
  snprintf(own, sizeof own, "%s", user->pw_name);
  struct group* entry = getgrgid(group);
  if (entry == nullptr || strcmp(entry->gr_name, own) != 0) return false;
  for (char** member = entry->gr_mem; *member != nullptr; ++member) {
    if (strcmp(*member, own) != 0) return false;
  }
  return true;
}

static bool WritableByOthers(const struct stat* info) {
  return (info->st_mode & S_IWOTH) != 0 ||
         ((info->st_mode & S_IWGRP) != 0 && !IsPrivateGroup(info->st_gid));
}

DWORD CheckOwned(const char* path, const struct stat* info, unsigned rules) {
  uid_t user = geteuid();
  unsigned mode = (unsigned)info->st_mode & 07777;
  if (info->st_uid != user && ((rules & OWN_USER_ONLY) != 0 || info->st_uid != 0)) {
    if (rules & OWN_USER_ONLY) {
      LogRefusal(path, "owned by uid %u, not by this user (uid %u), in a folder others may "
                 "write to", (unsigned)info->st_uid, (unsigned)user);
    } else {
      LogRefusal(path, "owned by uid %u, neither this user (uid %u) nor root",
                 (unsigned)info->st_uid, (unsigned)user);
    }
    return ERROR_ACCESS_DENIED;
  }
  if (S_ISLNK(info->st_mode) || !WritableByOthers(info)) return 0;  // a link has no mode
  if ((rules & OWN_SHARED) != 0 && S_ISDIR(info->st_mode)) {
    if (info->st_mode & S_ISVTX) return 0;
    LogRefusal(path, "writable by others and not sticky (mode %04o)", mode);
  } else if (info->st_mode & S_IWOTH) {
    LogRefusal(path, "writable by others (mode %04o)", mode);
  } else {
    LogRefusal(path, "writable by group %u, not this user's own (mode %04o)",
               (unsigned)info->st_gid, mode);
  }
  return ERROR_ACCESS_DENIED;
}

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

static DWORD StatError(void) {
  return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
}

// 0 when path is a searchable folder of the user's own (rules as CheckOwned takes them),
// or does not exist; info receives the folder's status, st_mode 0 when it is missing. A
// link to a folder is the user's own when the link and the folder are.
static DWORD CheckFolder(const char* path, unsigned rules, struct stat* info) {
  DWORD status = lstat(path, info) == 0 ? CheckOwned(path, info, rules) : StatError();
  if (status == 0 && S_ISLNK(info->st_mode)) {
    char* target = realpath(path, nullptr);
    status = target != nullptr && stat(target, info) == 0 ? CheckOwned(target, info, rules)
                                                           : StatError();
    free(target);
  }
  if (status == ERROR_FILE_NOT_FOUND) info->st_mode = 0;  // made on writing
  if (status != 0 || info->st_mode == 0) return status == ERROR_FILE_NOT_FOUND ? 0 : status;
  if (!S_ISDIR(info->st_mode)) return ERROR_PATH_NOT_FOUND;
  return access(path, R_OK | X_OK) == 0 ? 0 : ErrorFromErrno(errno);
}

DWORD CheckQuilletFolder(void) {
  char base[QUILLET_PATH_SIZE], folder[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(nullptr, folder, sizeof folder);
  if (status != 0) return status;
  ConfigBase(base, sizeof base);
  struct stat info;
  status = CheckFolder(base, OWN_SHARED, &info);
  if (status != 0 || info.st_mode == 0) return status;
  // In a folder others may write to, only a folder of the user's own cannot be swapped.
  return CheckFolder(folder, WritableByOthers(&info) ? OWN_USER_ONLY : 0, &info);
}

DWORD MakeQuilletFolder(void) {
  char folder[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(nullptr, folder, sizeof folder);
  if (status == 0) status = CheckQuilletFolder();  // nothing is made where it is refused
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
  return CheckQuilletFolder();
}

DWORD DeviceMapEntry(const char* name, char* path, size_t size) {
  char entry[64], devices[QUILLET_PATH_SIZE];
  snprintf(entry, sizeof entry, "devices/%s", name);
  if (QuilletPath(entry, path, size) != 0 || QuilletPath("devices", devices, sizeof devices) != 0) {
    return ERROR_FILE_NOT_FOUND;  // a folder that cannot be named holds no map
  }
  // Nothing in a folder that is refused counts, not even an entry's absence.
  struct stat info;
  DWORD status = CheckQuilletFolder();
  if (status == 0) status = CheckFolder(devices, 0, &info);
  if (status != 0) return status == ERROR_ACCESS_DENIED ? status : ERROR_FILE_NOT_FOUND;
  if (lstat(path, &info) != 0) return ERROR_FILE_NOT_FOUND;
  return CheckOwned(path, &info, 0);
}
