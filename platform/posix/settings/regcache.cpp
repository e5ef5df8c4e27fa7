// The store as this process last read it, so that a run reads the file once rather than
// at every registry call.
//
// Contract: CurrentStore gives what a fresh read would give. Writers replace the file
// whole, so a change shows in the file's device, inode, size or times; before each use
// one stat compares them with those of the file that was read. A file changed shortly
// before it was read is not trusted that way (its replacement could carry the same inode
// and, at the file system's timestamp granularity, the same times): it is read afresh at
// every call, as if there were no cache. Shortly is 100 ms where the file system keeps
// nanoseconds (a clock tick is at most 10 ms), 2 s where it keeps whole seconds. A writer of this process forgets
// the cache once it changed it, so its next read sees the file it wrote.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "settings/regstore.h"

#define RACY_NS 100000000LL
#define RACY_COARSE_NS 2000000000LL

static struct {
  bool loaded;
  bool trusted;
  char path[QUILLET_PATH_SIZE];
  struct stat seen;  // st_ino 0: there was no file
  RegStore store;
} cache;

static long long Nanoseconds(const struct timespec& t) {
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

static bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

static bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

void ForgetStore(void) {
  FreeStore(&cache.store);
  cache.loaded = false;
}

DWORD CurrentStore(RegStore** store) {
  char path[QUILLET_PATH_SIZE];
  DWORD status = QuilletPath(REG_STORE_FILE, path, sizeof path);
  if (status != 0) return status;
  struct stat now = {};
  bool exists = stat(path, &now) == 0;
  bool missing = !exists && errno == ENOENT;
  if (cache.loaded && cache.trusted && strcmp(path, cache.path) == 0 &&
      ((missing && cache.seen.st_ino == 0) || (exists && SameFile(now, cache.seen)))) {
    *store = &cache.store;
    return 0;
  }
  ForgetStore();
  struct timespec readAt;
  clock_gettime(CLOCK_REALTIME, &readAt);
  status = LoadStore(&cache.store, &cache.seen);
  if (status != 0) return status;  // an error is never kept: the next call tries again
  cache.loaded = true;
  // Any later change stamps a ctime of at least readAt less a clock tick, later than this.
  long long changed = Nanoseconds(cache.seen.st_ctim);
  long long racy = cache.seen.st_ctim.tv_nsec != 0 ? RACY_NS : RACY_COARSE_NS;
  cache.trusted = cache.seen.st_ino == 0 || changed < Nanoseconds(readAt) - racy;
  snprintf(cache.path, sizeof cache.path, "%s", path);
  *store = &cache.store;
  return 0;
}
