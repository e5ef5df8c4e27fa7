// The program and its own processes: the signals that end a run from outside, and how a
// forked process (the keeper, the tone helper) leaves its caller behind.
//
// Contract: the ending signals (SIGINT, SIGTERM, SIGHUP) may be held back for a moment
// where a handler must not find things half done (the handle table changing, the text
// passing to the keeper); what arrives meanwhile is delivered when they are let go. A
// process that leaves its caller keeps none of the caller's descriptors but those it
// names, also where close_range fails.
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "posix.h"

static const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void EndingSignals(sigset_t* set) {
  sigemptyset(set);
  for (int signal : ENDING_SIGNALS) sigaddset(set, signal);
}

void HoldSignals(sigset_t* saved) {
  sigset_t ending;
  EndingSignals(&ending);
  sigprocmask(SIG_BLOCK, &ending, saved);
}

void ReleaseSignals(const sigset_t* saved) { sigprocmask(SIG_SETMASK, saved, nullptr); }

static bool IsKept(int fd, const int* keep, int count) {
  for (int i = 0; i < count; ++i) {
    if (keep[i] == fd) return true;
  }
  return false;
}

// Where close_range cannot (a kernel before 5.9, a container's filter that refuses it):
// closes each descriptor from 3 up that is not kept, as /proc/self/fd lists them, else
// every number below the descriptor limit. Only system calls: the caller may have had
// threads, and their locks are not ours to take.
static void CloseEachUnkept(const int* keep, int count) {
  int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    struct rlimit limit;
    rlim_t end = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1 << 20;
    for (rlim_t fd = 3; fd < end; ++fd) {
      if (!IsKept((int)fd, keep, count)) close((int)fd);
    }
    return;
  }
  // Each close changes the listing being read: read it again until nothing is left.
  for (bool closed = true; closed;) {
    closed = false;
    lseek(dir, 0, SEEK_SET);
    alignas(struct dirent64) char entries[4096];
    ssize_t length;
    while ((length = getdents64(dir, entries, sizeof entries)) > 0) {
      for (ssize_t at = 0; at < length;) {
        const struct dirent64* entry = (const struct dirent64*)(entries + at);
        at += entry->d_reclen;
        int fd = 0;
        const char* digit = entry->d_name;
        for (; *digit >= '0' && *digit <= '9'; ++digit) fd = fd * 10 + (*digit - '0');
        if (*digit != '\0' || digit == entry->d_name || fd < 3 || fd == dir ||
            IsKept(fd, keep, count)) {
          continue;
        }
        close(fd);
        closed = true;
      }
    }
  }
  close(dir);
}

// Closes every descriptor but those in keep; stdin, stdout and stderr (unless kept) go to
// /dev/null, so that no pipe, terminal, port or lock of the caller stays held.
static void KeepOnly(const int* keep, int count) {
  // Close everything from 3 up, stepping over the kept descriptors in ascending order.
  unsigned from = 3;
  bool done = true;
  for (;;) {
    int next = -1;
    for (int i = 0; i < count; ++i) {
      if (keep[i] >= (int)from && (next < 0 || keep[i] < next)) next = keep[i];
    }
    if (next < 0) break;
    if ((unsigned)next > from) done = close_range(from, (unsigned)next - 1, 0) == 0 && done;
    from = (unsigned)next + 1;
  }
  done = close_range(from, ~0U, 0) == 0 && done;
  if (!done) CloseEachUnkept(keep, count);
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 2; ++fd) {
    if (IsKept(fd, keep, count) || fd == null) continue;
    if (null >= 0) {
      dup2(null, fd);
    } else {
      close(fd);
    }
  }
  if (null > 2 && !IsKept(null, keep, count)) close(null);
}

void LeaveCaller(const char* name, pid_t caller, bool outlive, const int* keep, int count) {
  prctl(PR_SET_NAME, name, 0, 0, 0);
  if (outlive) {
    setsid();  // no terminal: its hang-up and Ctrl-C go to the caller's group, not here
  } else {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != caller) _exit(0);  // the caller ended before the line above
  }
  // Ending signals meant for the caller's group that arrived while held are dropped, and
  // the caller's handlers (which release its ports) give way to the defaults.
  struct sigaction action = {};
  action.sa_handler = SIG_IGN;
  for (int signal : ENDING_SIGNALS) sigaction(signal, &action, nullptr);
  action.sa_handler = SIG_DFL;
  for (int signal : ENDING_SIGNALS) {
    if (!(outlive && signal == SIGHUP)) sigaction(signal, &action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  KeepOnly(keep, count);
  if (chdir("/") != 0) {
    // Only a busy mount point is at stake.
  }
}
