// Between Beep and the tone helper, the child process that owns the sound device: what
// travels on the socket pair that joins them.
#ifndef QUILLET_PLATFORM_POSIX_DESKTOP_TONE_H
#define QUILLET_PLATFORM_POSIX_DESKTOP_TONE_H

#include <cstdint>

// One request, one datagram.
struct ToneRequest {
  uint32_t frequency;  // Hz
  uint32_t duration;   // ms
};

// The helper's one-byte answer, sent once the tone has sounded to its end or could not
// sound.
#define TONE_PLAYED 1
#define TONE_NO_DEVICE 2

// The helper's body (tonehelper.cpp): opens ALSA's default device at once, then plays the
// one request that arrives on channel, answers, and closes the device. Never returns.
[[noreturn]] void ServeTones(int channel);

#endif  // QUILLET_PLATFORM_POSIX_DESKTOP_TONE_H
