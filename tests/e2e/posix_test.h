// What the platform tests share: a fresh per-user folder for every test, ptys that the
// device map names, and small file helpers.
#ifndef QUILLET_TESTS_E2E_POSIX_TEST_H
#define QUILLET_TESTS_E2E_POSIX_TEST_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "posix.h"

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillet-posix-XXXXXX";
    root = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", root.c_str(), 1);
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
    LONG status = create ? RegCreateKeyExA(root, "Software\\Dorvane", 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &key, nullptr)
                         : RegOpenKeyExA(root, "Software\\Dorvane", 0, KEY_ALL_ACCESS, &key);
    RegCloseKey(root);
    return status == ERROR_SUCCESS ? key : nullptr;
  }

  std::string root, folder;
  int master = -1;
};

#endif  // QUILLET_TESTS_E2E_POSIX_TEST_H
