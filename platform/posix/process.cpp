// What a process forked to outlive or serve the program keeps of it: only the descriptors
// it names, with standard input, output and error on /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include "posix.h"

static bool IsKept(int fd, const int* keep, int count) {
  for (int i = 0; i < count; ++i) {
    if (keep[i] == fd) return true;
  }
  return false;
}

void KeepOnlyDescriptors(const int* keep, int count) {
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
