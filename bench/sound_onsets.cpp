// sound-onsets: reads 16-bit mono samples at 48 kHz from stdin (pacat --record --raw)
// and prints, for each sound that follows at least 50 ms of silence, the CLOCK_REALTIME
// ns at which its first loud sample arrived here. Ends at end of input.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#define LOUD 1000          // of 32767: the tone is 16000, the null sink's silence 0
#define SILENCE_GAP 2400   // samples: 50 ms

int main() {
  int16_t samples[4096];
  long quiet = SILENCE_GAP;
  size_t carry = 0;  // a byte of a sample cut by the previous read
  for (;;) {
    ssize_t got = read(STDIN_FILENO, (char*)samples + carry, sizeof samples - carry);
    if (got <= 0) return 0;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    size_t bytes = carry + (size_t)got;
    size_t count = bytes / 2;
    for (size_t i = 0; i < count; ++i) {
      if (abs(samples[i]) < LOUD) {
        ++quiet;
        continue;
      }
      if (quiet >= SILENCE_GAP) {
        printf("%lld%09ld\n", (long long)now.tv_sec, now.tv_nsec);
        fflush(stdout);
      }
      quiet = 0;
    }
    carry = bytes % 2;
    if (carry) ((char*)samples)[0] = ((char*)samples)[bytes - 1];
  }
}
