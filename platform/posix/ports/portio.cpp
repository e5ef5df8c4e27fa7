// Moving bytes through a port within time limits: the engine under ReadFile/WriteFile and
// the USB receive and send.
//
// Contract: every limit is measured on the monotonic clock from the start of the call
// (total), from the last byte that arrived (interval, running only once a byte has
// arrived), from the start while no byte has arrived (first byte), or from the last
// progress (stall). The call ends when the bytes asked for have moved or the earliest
// limit runs out; running out is success with a short count. poll does the waiting;
// a signal only resumes it (EINTR). A write has moved its bytes once they have left the
// port's output queue; what is still queued when time runs out is dropped. Never more
// bytes than asked are reported.
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "posix.h"

#define DRAIN_POLL 5  // ms between looks at the output queue

// The shorter of wait and what is left of limit counted from since; NO_DEADLINE stays.
static int64_t Earliest(int64_t wait, int64_t limit, int64_t since, int64_t now) {
  if (limit == NO_DEADLINE) return wait;
  int64_t left = since + limit - now;
  if (left < 0) left = 0;
  return (wait == NO_DEADLINE || left < wait) ? left : wait;
}

// Waits up to wait ms (NO_DEADLINE: no end) for events on fd. 0, or an error code when the
// descriptor cannot be waited on.
static DWORD WaitFor(int fd, short events, int64_t wait, bool* hangup) {
  struct pollfd entry = {fd, events, 0};
  int timeout = wait == NO_DEADLINE ? -1 : (int)(wait < INT_MAX ? wait : INT_MAX);
  int ready = poll(&entry, 1, timeout);
  if (ready < 0) return errno == EINTR ? 0 : ErrorFromErrno(errno);
  if (ready > 0 && (entry.revents & POLLNVAL)) return ERROR_INVALID_HANDLE;
  if (ready > 0 && (entry.revents & (POLLHUP | POLLERR))) *hangup = true;
  return 0;
}

// Why a read or write that moved nothing must stop, or 0 when it may wait and retry
// (EAGAIN). A port that went away shows as end of file, EIO, or a hang-up that poll
// reported while the call still says EAGAIN (which must not spin); anything else keeps
// its own code.
static DWORD StopReason(ssize_t result, int error, bool hangup) {
  if (result == 0 || error == EIO || (error == EAGAIN && hangup)) return ERROR_DEVICE_NOT_CONNECTED;
  return error == EAGAIN ? 0 : ErrorFromErrno(error);
}

DWORD ReadWithin(int fd, BYTE* buffer, DWORD n, const ReadLimits* limits, DWORD* count) {
  const int64_t start = MonotonicMilliseconds();
  int64_t lastByte = start;
  DWORD got = 0;
  DWORD status = 0;
  bool hangup = false;
  while (got < n) {
    ssize_t result = read(fd, buffer + got, n - got);
    if (result > 0) {
      got += (DWORD)result;
      lastByte = MonotonicMilliseconds();
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    status = StopReason(result, result < 0 ? errno : 0, hangup);
    if (status != 0 || (got > 0 && limits->returnAtFirst)) break;
    int64_t now = MonotonicMilliseconds();
    int64_t wait = Earliest(NO_DEADLINE, limits->total, start, now);
    wait = got > 0 ? Earliest(wait, limits->interval, lastByte, now)
                   : Earliest(wait, limits->firstByte, start, now);
    if (wait == 0) break;
    status = WaitFor(fd, POLLIN, wait, &hangup);
    if (status != 0) break;
  }
  *count = got;
  // Bytes that arrived are handed over; the failure shows on the next call.
  return got > 0 ? 0 : status;
}

// Waits within the limits until the output queue is empty; returns the bytes still in
// it when time ran out, after dropping them.
static DWORD Drain(int fd, const WriteLimits* limits, int64_t start, int64_t lastProgress) {
  int previous = INT_MAX;
  for (;;) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
    int64_t now = MonotonicMilliseconds();
    if (queued < previous) lastProgress = now;
    previous = queued;
    int64_t wait = Earliest(NO_DEADLINE, limits->total, start, now);
    wait = Earliest(wait, limits->stall, lastProgress, now);
    if (wait == 0) {
      tcflush(fd, TCOFLUSH);
      return (DWORD)queued;
    }
    usleep((useconds_t)(wait == NO_DEADLINE || wait > DRAIN_POLL ? DRAIN_POLL : wait) * 1000);
  }
}

DWORD WriteWithin(int fd, const BYTE* buffer, DWORD n, const WriteLimits* limits,
                  DWORD* count) {
  const int64_t start = MonotonicMilliseconds();
  int64_t lastProgress = start;
  DWORD sent = 0;
  DWORD status = 0;
  bool hangup = false;
  while (sent < n) {
    ssize_t result = write(fd, buffer + sent, n - sent);
    if (result > 0) {
      sent += (DWORD)result;
      lastProgress = MonotonicMilliseconds();
      continue;
    }
    if (result < 0 && errno == EINTR) continue;
    status = StopReason(result, result < 0 ? errno : 0, hangup);
    if (status != 0) break;
    int64_t now = MonotonicMilliseconds();
    int64_t wait = Earliest(NO_DEADLINE, limits->total, start, now);
    wait = Earliest(wait, limits->stall, lastProgress, now);
    if (wait == 0) break;
    status = WaitFor(fd, POLLOUT, wait, &hangup);
    if (status != 0) break;
  }
  if (sent > 0 && status == 0) {
    DWORD left = Drain(fd, limits, start, lastProgress);
    sent -= left < sent ? left : sent;
  }
  *count = sent;
  return sent > 0 ? 0 : status;
}
