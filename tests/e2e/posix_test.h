// What the platform tests share: a fresh per-user folder for every test, ptys that the
// device map names, and small file helpers.
#ifndef QUILLET_TESTS_E2E_POSIX_TEST_H
#define QUILLET_TESTS_E2E_POSIX_TEST_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "posix.h"

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Runs work in a child that SIGALRM ends after 5 s (a wait shows as that, not as a stuck
// test): its exit code, or -1 when it did not exit.
inline int InChild(const std::function<int()>& work) {
  pid_t child = fork();
  if (child == 0) {
    alarm(5);
    _exit(work());
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The registry calls as the tests make them: keys with all access, values as DWORDs.
inline LONG Create(HKEY parent, const char* path, HKEY* key) {
  return RegCreateKeyExA(parent, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, nullptr);
}
inline LONG Open(HKEY parent, const char* path, HKEY* key) {
  return RegOpenKeyExA(parent, path, 0, KEY_ALL_ACCESS, key);
}
inline LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, 4);
}
inline LONG GetDword(HKEY key, const char* name, DWORD* value) {
  DWORD size = 4;
  return RegQueryValueExA(key, name, nullptr, nullptr, (LPBYTE)value, &size);
}

class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillet-posix-XXXXXX";
    root = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    // The runtime folder too: the tone helper started with a port loads sound libraries
    // that would otherwise make one of their own in /tmp and leave it there.
    setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    folder = root + "/quillet";
  }
  void TearDown() override {
    if (master >= 0) close(master);
    std::string command = "rm -rf '" + root + "'";
    EXPECT_EQ(0, system(command.c_str()));
  }

  // A pty whose host side the device map names as entry (e.g. "com4" or "usb").
  std::string MapPty(const std::string& entry) {
    int slave;
    char name[128];
    EXPECT_EQ(0, openpty(&master, &slave, name, nullptr, nullptr));
    close(slave);
    mkdir(folder.c_str(), 0700);
    mkdir((folder + "/devices").c_str(), 0700);
    EXPECT_EQ(0, symlink(name, (folder + "/devices/" + entry).c_str()));
    return name;
  }

  HKEY OpenPath(bool create) {
    HKEY root = nullptr, key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegOpenCurrentUser(KEY_ALL_ACCESS, &root));
    LONG status = (create ? Create : Open)(root, "Software\\Dorvane", &key);
    RegCloseKey(root);
    return status == ERROR_SUCCESS ? key : nullptr;
  }

  std::string root, folder;
  int master = -1;
};

#endif  // QUILLET_TESTS_E2E_POSIX_TEST_H
