// Time on Linux: the monotonic clock every time limit is measured on, and Sleep.
//
// Contract kept from Windows: Sleep(ms) suspends the calling thread for at least ms
// milliseconds of real time; a signal does not cut it short. Time limits never follow
// changes of the wall clock.
#include <cerrno>
#include <ctime>

#include "posix.h"

int64_t MonotonicMilliseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += dwMilliseconds / 1000;
  until.tv_nsec += (long)(dwMilliseconds % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  // An absolute deadline: a signal in between only resumes the wait.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}
