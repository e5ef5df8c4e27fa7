// The tone on Linux: a sine wave through ALSA's default device, which reaches PulseAudio
// or PipeWire on a desktop.
//
// Contract kept from Windows (Beep):
// - dwFreq Hz for dwDuration ms; the call returns once the tone has been played to the
//   end. Frequencies outside 37..32767: FALSE, ERROR_INVALID_PARAMETER, no sound.
// - Without a sound device: the terminal's bell when standard error is a terminal
//   (TRUE), else nothing (FALSE, ERROR_DEVICE_NOT_CONNECTED). ALSA's own complaints never
//   reach the user.
#include <alsa/asoundlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "posix.h"

#define BEEP_MIN_FREQUENCY 37
#define BEEP_MAX_FREQUENCY 32767
#define TONE_RATE 48000       // frames per second, mono
#define TONE_LATENCY 100000   // us of buffering ALSA may use
#define TONE_AMPLITUDE 16000  // of 32767: clearly audible, never clipped
#define TONE_RAMP 0.005       // s of fade at each end, so the tone starts without a click

static void Silent(const char*, int, const char*, int, const char*, ...) {}

// Fills frames with the tone, faded in and out over TONE_RAMP.
static void Synthesise(int16_t* frames, size_t count, double frequency) {
  const double pi = 3.14159265358979323846;
  size_t ramp = (size_t)(TONE_RAMP * TONE_RATE);
  if (ramp * 2 > count) ramp = count / 2;
  for (size_t i = 0; i < count; ++i) {
    double gain = 1.0;
    size_t fromEnd = count - 1 - i;
    if (i < ramp) gain = (double)i / (double)ramp;
    if (fromEnd < ramp) gain = (double)fromEnd / (double)ramp;
    double phase = 2.0 * pi * frequency * (double)i / TONE_RATE;
    frames[i] = (int16_t)(TONE_AMPLITUDE * gain * sin(phase));
  }
}

static bool WriteAll(snd_pcm_t* pcm, const int16_t* frames, size_t count) {
  while (count > 0) {
    snd_pcm_sframes_t written = snd_pcm_writei(pcm, frames, count);
    if (written < 0) {
      if (snd_pcm_recover(pcm, (int)written, 1) < 0) return false;
      continue;
    }
    frames += written;
    count -= (size_t)written;
  }
  return true;
}

// Plays the tone on the default device. False when there is none to play it on.
static bool PlayTone(DWORD frequency, DWORD duration) {
  snd_lib_error_set_handler(Silent);
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return false;
  bool played = false;
  size_t count = (size_t)((uint64_t)TONE_RATE * duration / 1000);
  int16_t* frames = (int16_t*)malloc(count * sizeof *frames + 1);
  if (frames != nullptr && snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                                              1, TONE_RATE, 1, TONE_LATENCY) == 0) {
    Synthesise(frames, count, (double)frequency);
    played = WriteAll(pcm, frames, count);
    if (played) snd_pcm_drain(pcm);  // returns once the last frame has sounded
  }
  free(frames);
  snd_pcm_close(pcm);
  return played;
}

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  if (dwFreq < BEEP_MIN_FREQUENCY || dwFreq > BEEP_MAX_FREQUENCY) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (PlayTone(dwFreq, dwDuration)) return TRUE;
  if (isatty(STDERR_FILENO) && write(STDERR_FILENO, "\a", 1) == 1) return TRUE;
  SetLastErrorCode(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
}
