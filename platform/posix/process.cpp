// The program and its own processes: the signals that end a run from outside, and how a
// forked process (the keeper, the tone helper) leaves its caller behind.
//
// Contract: the ending signals (SIGINT, SIGTERM, SIGHUP) may be held back for a moment
// where a handler must not find things half done (the handle table changing, the text
// passing to the keeper); what arrives meanwhile is delivered when they are let go.
#include <fcntl.h>
#include <sys/prctl.h>
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

// Closes every descriptor but those in keep; stdin, stdout and stderr (unless kept) go to
// /dev/null, so that no pipe, terminal, port or lock of the caller stays held.
static void KeepOnly(const int* keep, int count) {
  // Close everything from 3 up, stepping over the kept descriptors in ascending order.
  unsigned from = 3;
  for (;;) {
    int next = -1;
    for (int i = 0; i < count; ++i) {
      if (keep[i] >= (int)from && (next < 0 || keep[i] < next)) next = keep[i];
    }
    if (next < 0) break;
    if ((unsigned)next > from) close_range(from, (unsigned)next - 1, 0);
    from = (unsigned)next + 1;
  }
  close_range(from, ~0U, 0);
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
