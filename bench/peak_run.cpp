// peak-run [-n RUNS] COMMAND [ARG...]: runs the command RUNS times (default 1) and prints
// the median wall time in ms and the largest peak resident size in KiB of any run, as
// "wall_ms rss_kib". Fails when a run fails. With PEAK_RUN_STARTS set, each run's start
// (CLOCK_REALTIME, ns, just before the fork) is appended to that file.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

int main(int argc, char** argv) {
  int first = 1;
  int runs = 1;
  if (argc > 2 && strcmp(argv[1], "-n") == 0) {
    runs = atoi(argv[2]);
    first = 3;
  }
  if (first >= argc || runs < 1) {
    fprintf(stderr, "usage: peak-run [-n RUNS] COMMAND [ARG...]\n");
    return 2;
  }
  std::vector<double> walls;
  long peak = 0;
  for (int run = 0; run < runs; ++run) {
    if (const char* starts = getenv("PEAK_RUN_STARTS")) {
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      if (FILE* file = fopen(starts, "a")) {
        fprintf(file, "%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
        fclose(file);
      }
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      execvp(argv[first], argv + first);
      _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 2;
    auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "peak-run: %s failed (status %d)\n", argv[first], status);
      return 1;
    }
    walls.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    peak = std::max(peak, usage.ru_maxrss);
  }
  std::sort(walls.begin(), walls.end());
  printf("%.2f %ld\n", walls[walls.size() / 2], peak);
  return 0;
}
