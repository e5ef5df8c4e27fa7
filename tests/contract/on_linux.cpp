// The contract's platform: Linux, in a throw-away per-user folder, "com1" a pty that the
// device map names, its other side the peer; the clipboard is the X display the test
// gives (a private Xvfb).
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "contract.h"
#include "posix.h"

int platform = LINUX;
DWORD lateness = 250;
static std::string folder;
static int master = -1;
static std::thread peer;

void StartPlatform(void) {
  char pattern[] = "/tmp/quillet-contract-XXXXXX";
  int slave;
  char name[128];
  if (mkdtemp(pattern) == nullptr || openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    perror("contract set-up");
    exit(2);
  }
  close(slave);
  folder = pattern;
  atexit([] {
    if (std::system(("rm -rf '" + folder + "'").c_str()) != 0) perror("contract clean-up");
  });
  signal(SIGALRM, [](int) {
    const char said[] = "contract: still running after 30 s\n";
    if (write(2, said, sizeof said - 1) < 0) _exit(2);
    _exit(1);
  });
  alarm(30);
  setenv("XDG_CONFIG_HOME", pattern, 1);
  setenv("XDG_RUNTIME_DIR", pattern, 1);  // what the tone helper's sound libraries make
  unsetenv("WAYLAND_DISPLAY");
  mkdir((folder + "/quillet").c_str(), 0700);
  mkdir((folder + "/quillet/devices").c_str(), 0700);
  if (symlink(name, (folder + "/quillet/devices/com1").c_str()) != 0) exit(2);
}

DWORD Milliseconds(void) { return (DWORD)MonotonicMilliseconds(); }

void PeerSends(const PeerStep* steps, int count) {
  std::vector<PeerStep> script(steps, steps + count);
  int64_t start = MonotonicMilliseconds();
  peer = std::thread([script, start] {
    for (const PeerStep& step : script) {
      int64_t wait = start + step.at - MonotonicMilliseconds();
      if (wait > 0) usleep((useconds_t)wait * 1000);
      if (write(master, step.bytes, strlen(step.bytes)) < 0) perror("peer");
    }
  });
}

void PeerFinish(void) {
  if (peer.joinable()) peer.join();
}
