// The tone helper: a child process that opens ALSA's default device (PulseAudio or
// PipeWire on a desktop) while the run waits for the handheld, then plays one sine when
// asked. Whatever the sound server does, only this process waits on it, and Beep can kill
// it (beep.cpp). libasound is loaded here, not linked: the program and a keeper forked from
// it never map it, and its start-up cost leaves the program's own start.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "desktop/tone/tone.h"

#define TONE_RATE 48000       // frames per second, mono
#define TONE_LATENCY 100000   // us of buffering ALSA may use
#define TONE_AMPLITUDE 16000  // of 32767: clearly audible, never clipped
#define TONE_RAMP 0.005       // s of fade at each end, so the tone starts without a click

#define ALSA_LIBRARY "libasound.so.2"
#define CLOSE_LIMIT 1  // s the device may take to close once the tone has sounded

// The libasound calls the tone makes.
struct Alsa {
  decltype(&snd_lib_error_set_handler) setErrorHandler;
  decltype(&snd_pcm_open) open;
  decltype(&snd_pcm_set_params) setParams;
  decltype(&snd_pcm_writei) writei;
  decltype(&snd_pcm_recover) recover;
  decltype(&snd_pcm_drain) drain;
  decltype(&snd_pcm_close) close;
};

static Alsa alsa;

static void Silent(const char*, int, const char*, int, const char*, ...) {}

// Looked up in the global scope, so that a preloaded library may stand in for a call
// (bench/tone_tap.cpp times the tone that way).
template <typename Function>
static bool Find(Function* function, const char* name) {
  *function = (Function)dlsym(RTLD_DEFAULT, name);
  return *function != nullptr;
}

static bool LoadAlsa(void) {
  return dlopen(ALSA_LIBRARY, RTLD_NOW | RTLD_GLOBAL) != nullptr &&
         Find(&alsa.setErrorHandler, "snd_lib_error_set_handler") &&
         Find(&alsa.open, "snd_pcm_open") && Find(&alsa.setParams, "snd_pcm_set_params") &&
         Find(&alsa.writei, "snd_pcm_writei") && Find(&alsa.recover, "snd_pcm_recover") &&
         Find(&alsa.drain, "snd_pcm_drain") && Find(&alsa.close, "snd_pcm_close");
}

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
    snd_pcm_sframes_t written = alsa.writei(pcm, frames, count);
    if (written < 0) {
      if (alsa.recover(pcm, (int)written, 1) < 0) return false;
      continue;
    }
    frames += written;
    count -= (size_t)written;
  }
  return true;
}

// The default device, set up for the tone's format (which no request changes): this is
// the slow part (libasound's configuration, the sound server's connection and stream).
// Null when there is none.
static snd_pcm_t* OpenDevice(void) {
  if (!LoadAlsa()) return nullptr;
  alsa.setErrorHandler(Silent);
  snd_pcm_t* pcm = nullptr;
  if (alsa.open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return nullptr;
  if (alsa.setParams(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, TONE_RATE, 1,
                     TONE_LATENCY) != 0) {
    alsa.close(pcm);
    return nullptr;
  }
  return pcm;
}

// Plays the tone to its end: the drain returns once the last frame has sounded.
static bool Play(snd_pcm_t* pcm, const ToneRequest* request) {
  size_t count = (size_t)((uint64_t)TONE_RATE * request->duration / 1000);
  int16_t* frames = (int16_t*)malloc(count * sizeof *frames + 1);
  if (frames == nullptr) return false;
  Synthesise(frames, count, (double)request->frequency);
  bool played = WriteAll(pcm, frames, count);
  if (played) alsa.drain(pcm);
  free(frames);
  return played;
}

void ServeTones(int channel) {
  snd_pcm_t* pcm = OpenDevice();
  ToneRequest request;
  unsigned char answer = TONE_NO_DEVICE;
  // One tone, or none when the caller closes its end first.
  if (recv(channel, &request, sizeof request, 0) == (ssize_t)sizeof request) {
    if (pcm != nullptr && Play(pcm, &request)) answer = TONE_PLAYED;
    // The tone has sounded: the caller goes on at once, and the device (a server's
    // stream, a WAV file's header) is closed after, within CLOSE_LIMIT, even if the
    // caller has ended meanwhile.
    prctl(PR_SET_PDEATHSIG, 0);
    alarm(CLOSE_LIMIT);
    send(channel, &answer, 1, MSG_NOSIGNAL);
  }
  if (pcm != nullptr) alsa.close(pcm);
  _exit(0);
}
