// tone-tap.so, preloaded into Quillet by bench/run.sh: stamps (CLOCK_REALTIME, ns) the
// moments the tone's timing is measured between, one line each, appended to $TONE_TAP:
//   P ns   a port's byte moved: a read from a tty that returned bytes, or a write whose
//          output queue was seen empty (TIOCOUTQ 0); the last one before W is the text's
//   W ns   the tone's first snd_pcm_writei (its first samples reach the device)
//   D ns kib   snd_pcm_drain returned (the tone has sounded), and the peak resident size
//          of the process that played it
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

static void Stamp(char event, long extra) {
  const char* path = getenv("TONE_TAP");
  if (path == nullptr) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char line[64];
  int length = snprintf(line, sizeof line, "%c %lld%09ld %ld\n", event, (long long)now.tv_sec,
                        now.tv_nsec, extra);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line, (size_t)length) != length) {
    // A lost stamp shows as a missing row.
  }
  close(fd);
}

template <typename Function>
static Function Next(const char* name) {
  return (Function)dlsym(RTLD_NEXT, name);
}

extern "C" {

ssize_t read(int fd, void* buffer, size_t count) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  ssize_t result = real(fd, buffer, count);
  if (result > 0 && isatty(fd)) Stamp('P', result);
  return result;
}

int ioctl(int fd, unsigned long request, ...) {
  static auto real = Next<int (*)(int, unsigned long, void*)>("ioctl");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  int result = real(fd, request, argument);
  if (request == TIOCOUTQ && result == 0 && *(int*)argument == 0) Stamp('P', 0);
  return result;
}

snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
  static auto real = Next<snd_pcm_sframes_t (*)(snd_pcm_t*, const void*, snd_pcm_uframes_t)>(
      "snd_pcm_writei");
  static bool first = true;
  if (first) Stamp('W', (long)size);
  first = false;
  return real(pcm, buffer, size);
}

int snd_pcm_drain(snd_pcm_t* pcm) {
  static auto real = Next<int (*)(snd_pcm_t*)>("snd_pcm_drain");
  int result = real(pcm);
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  Stamp('D', usage.ru_maxrss);
  return result;
}
}
