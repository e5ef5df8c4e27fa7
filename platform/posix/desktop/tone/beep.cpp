// The tone on Linux. The sound device lives in a helper process (tonehelper.cpp), forked
// as the run starts reading from the handheld, so that loading libasound and reaching the
// sound server happen while the run waits for it, and a sound server that stalls can only
// stall a process that Beep kills. Quillet itself never gets a thread, and the keeper
// forked from it inherits no sound state.
//
// Contract kept from Windows (Beep):
// - dwFreq Hz for dwDuration ms; the call returns once the tone has been played to the
//   end. Frequencies outside 37..32767: FALSE, ERROR_INVALID_PARAMETER, no sound.
// - Without a sound device: the terminal's bell when standard error is a terminal
//   (TRUE), else nothing (FALSE, ERROR_DEVICE_NOT_CONNECTED). ALSA's own complaints never
//   reach the user.
// Beyond Windows: Beep returns within dwDuration + TONE_GRACE ms whatever the sound
// server does (unreachable, stalled before or during the tone), the helper's start-up
// included. A tone that cannot be played in time is abandoned: TRUE, as if played.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "desktop/desktop.h"
#include "desktop/tone/tone.h"
#include "posix.h"

#define BEEP_MIN_FREQUENCY 37
#define BEEP_MAX_FREQUENCY 32767
#define TONE_GRACE 1000      // ms a tone may take beyond its duration
#define TONE_ABANDONED 0     // no answer in time: the helper was killed
#define HELPER_NAME "quillet-tone"

static pid_t helper;      // 0 while no helper runs
static int channel = -1;  // our end of the socket pair

void PrepareTone(void) {
  if (helper > 0) return;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return;
  pid_t parent = getpid();
  // The helper starts with the caller's handlers; a signal must not reach them there.
  sigset_t saved;
  HoldSignals(&saved);
  pid_t pid = fork();
  if (pid == 0) {
    // Nothing of the caller's but the channel: no port, lock, display or pipe.
    LeaveCaller(HELPER_NAME, parent, false, &pair[1], 1);
    ServeTones(pair[1]);
  }
  ReleaseSignals(&saved);
  close(pair[1]);
  if (pid < 0) {
    close(pair[0]);
    return;
  }
  helper = pid;
  channel = pair[0];
}

// Lets the helper go: a closed channel ends one that is waiting; one that is stuck is
// killed. Nobody waits for it.
static void DismissHelper(bool stuck) {
  if (stuck) kill(helper, SIGKILL);
  close(channel);
  channel = -1;
  helper = 0;
}

// Asks the helper for the tone and waits for its answer until deadline: TONE_PLAYED,
// TONE_NO_DEVICE, or TONE_ABANDONED.
static int RequestTone(DWORD frequency, DWORD duration, int64_t deadline) {
  if (helper <= 0) return TONE_NO_DEVICE;  // no process could be made for it
  ToneRequest request = {frequency, duration};
  unsigned char answer = TONE_ABANDONED;
  if (send(channel, &request, sizeof request, MSG_NOSIGNAL) == (ssize_t)sizeof request &&
      DesktopWait(RunDesktop(), channel, deadline, nullptr, nullptr) &&
      recv(channel, &answer, 1, 0) != 1) {
    answer = TONE_ABANDONED;
  }
  // One tone per helper: a keeper forked after the tone finds no channel to inherit.
  DismissHelper(answer == TONE_ABANDONED);
  return answer;
}

BOOL WINAPI Beep(DWORD dwFreq, DWORD dwDuration) {
  if (dwFreq < BEEP_MIN_FREQUENCY || dwFreq > BEEP_MAX_FREQUENCY) {
    SetLastErrorCode(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t deadline = MonotonicMilliseconds() + dwDuration + TONE_GRACE;
  PrepareTone();  // nothing prepared: the start-up counts against the same deadline
  if (RequestTone(dwFreq, dwDuration, deadline) != TONE_NO_DEVICE) return TRUE;
  if (isatty(STDERR_FILENO) && write(STDERR_FILENO, "\a", 1) == 1) return TRUE;
  SetLastErrorCode(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
}
