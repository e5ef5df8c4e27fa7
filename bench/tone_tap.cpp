// tone-tap.so, preloaded into Quillet by bench/run.sh: stamps (CLOCK_REALTIME, ns) the
// moments the tone's timing is measured between, one line each, appended to $TONE_TAP:
//   O ns   a tty was opened (the port)
//   F ns   the port's first byte moved, L ns its last: a read from a tty that returned
//          bytes, or a write whose output queue was seen empty (TIOCOUTQ 0)
//   S ns   the clipboard was last taken (XSetSelectionOwner returned), 0 if never
//   R ns   the sound device was set up (snd_pcm_set_params returned)
//   W ns   the tone's first snd_pcm_writei (its first samples reach the device)
//   D ns kib   snd_pcm_drain returned (the tone has sounded), and the peak resident size
//          of the process that played it
// The program's own stamps wait in memory until it exits, so the port's traffic costs a
// clock read each; the tone helper's are written at once (it never exits normally).
#include <X11/Xlib.h>
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

static long long Now(void) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static void Append(const char* line, int length) {
  const char* path = getenv("TONE_TAP");
  int fd = path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
  if (fd < 0) return;
  if (write(fd, line, (size_t)length) != length) {
    // A lost stamp shows as a missing row.
  }
  close(fd);
}

static void Stamp(char event, long extra) {
  char line[64];
  Append(line, snprintf(line, sizeof line, "%c %lld %ld\n", event, Now(), extra));
}

static long long opened, firstByte, lastByte, selectionSet;

static void PortMoved(void) {
  lastByte = Now();
  if (firstByte == 0) firstByte = lastByte;
}

__attribute__((destructor)) static void StampPort(void) {
  char line[128];
  if (opened == 0) return;
  Append(line, snprintf(line, sizeof line, "O %lld 0\nF %lld 0\nL %lld 0\nS %lld 0\n", opened,
                        firstByte, lastByte, selectionSet));
}

template <typename Function>
static Function Next(const char* name) {
  return (Function)dlsym(RTLD_NEXT, name);
}

extern "C" {

int open(const char* path, int flags, ...) {
  static auto real = Next<int (*)(const char*, int, mode_t)>("open");
  va_list arguments;
  va_start(arguments, flags);
  mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(arguments, int) : 0;
  va_end(arguments);
  int fd = real(path, flags, mode);
  if (fd >= 0 && isatty(fd)) opened = Now();
  return fd;
}

int snd_pcm_set_params(snd_pcm_t* pcm, snd_pcm_format_t format, snd_pcm_access_t access,
                       unsigned channels, unsigned rate, int resample, unsigned latency) {
  static auto real = Next<int (*)(snd_pcm_t*, snd_pcm_format_t, snd_pcm_access_t, unsigned,
                                  unsigned, int, unsigned)>("snd_pcm_set_params");
  int result = real(pcm, format, access, channels, rate, resample, latency);
  Stamp('R', result);
  return result;
}

int XSetSelectionOwner(Display* display, Atom selection, Window owner, Time time) {
  static auto real = Next<int (*)(Display*, Atom, Window, Time)>("XSetSelectionOwner");
  int result = real(display, selection, owner, time);
  selectionSet = Now();
  return result;
}

ssize_t read(int fd, void* buffer, size_t count) {
  static auto real = Next<ssize_t (*)(int, void*, size_t)>("read");
  ssize_t result = real(fd, buffer, count);
  if (result > 0 && isatty(fd)) PortMoved();
  return result;
}

int ioctl(int fd, unsigned long request, ...) {
  static auto real = Next<int (*)(int, unsigned long, void*)>("ioctl");
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  int result = real(fd, request, argument);
  if (request == TIOCOUTQ && result == 0 && *(int*)argument == 0) PortMoved();
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
