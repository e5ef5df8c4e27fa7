// The Linux platform layer on real files: the settings store in a fresh per-user
// folder, error texts and movable memory.
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <thread>

#include "posix_test.h"

namespace {

// ---- Settings store -------------------------------------------------------------------

TEST_F(Platform, MissingKeysAndValuesAndShortBuffersAnswerAsWindowsDoes) {
  HKEY rootKey, key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenCurrentUser(KEY_ALL_ACCESS, &rootKey));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(rootKey, "Software", 0, KEY_ALL_ACCESS, &key));
  EXPECT_NE(0, access(folder.c_str(), F_OK)) << "reading created the folder";
  RegCloseKey(rootKey);

  key = OpenPath(true);
  ASSERT_NE(nullptr, key);
  DWORD value = 0x12345678, size = 4, type = 0;
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(key, "Port", nullptr, &type, (LPBYTE)&value, &size));
  const char text[] = "a \"quoted\" \\ text";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Name", 0, 1, (const BYTE*)text, sizeof text));
  char small[4];
  size = sizeof small;
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "name", nullptr, &type, (LPBYTE)small, &size));
  EXPECT_EQ(sizeof text, size);
  size = 0;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "NAME", nullptr, &type, nullptr, &size));
  EXPECT_EQ(1u, type);
  EXPECT_EQ(sizeof text, size);
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(key));
}

TEST_F(Platform, ValuesOfEveryTypeReadBackAsStored) {
  struct Case {
    const char* name;
    DWORD type;
    std::string data;
  } cases[] = {
      {"Port", REG_DWORD, std::string("\x05\x00\x00\x80", 4)},
      {"", 1, std::string("default \"value\"\\\0", 17)},
      {"Binary", 3, std::string("\x00\xff\n\r", 4)},
      {"Multi", 7, std::string("a\0b\0\0", 5)},
      {"Short dword", REG_DWORD, std::string("\x01\x02", 2)},
      {"Empty", 3, std::string()},
  };
  HKEY key = OpenPath(true);
  for (const Case& c : cases) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, c.name, 0, c.type, (const BYTE*)c.data.data(),
                                            (DWORD)c.data.size()));
  }
  RegCloseKey(key);
  key = OpenPath(false);  // a fresh read of the file
  ASSERT_NE(nullptr, key);
  for (const Case& c : cases) {
    char data[64];
    DWORD size = sizeof data, type = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, c.name, nullptr, &type, (LPBYTE)data, &size))
        << c.name;
    EXPECT_EQ(c.type, type) << c.name;
    EXPECT_EQ(c.data, std::string(data, size)) << c.name;
  }
  RegCloseKey(key);
}

TEST_F(Platform, DamagedStoreIsAnErrorAndIsNeverWrittenOver) {
  const std::string damaged[] = {
      "not a registry file",
      "REGEDIT4\n\"Port\"=dword:00000005\n",                          // value outside a key
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software]\n",                   // another root
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"Port\"=dword:123456789\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"Port\"=hex:0\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\"Port=dword:00000001\n",
      "REGEDIT4\n[HKEY_CURRENT_USER\\\\Software]\n",                 // empty level
      std::string("REGEDIT4\n[HKEY_CURRENT_USER\\Software]\n\0", 40),
      "\n\n",
  };
  mkdir(folder.c_str(), 0700);
  for (const std::string& text : damaged) {
    WriteText(folder + "/user.reg", text);
    HKEY rootKey, key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenCurrentUser(KEY_ALL_ACCESS, &rootKey));
    EXPECT_EQ(ERROR_BADDB, RegOpenKeyExA(rootKey, "Software", 0, KEY_ALL_ACCESS, &key)) << text;
    EXPECT_EQ(ERROR_BADDB, RegCreateKeyExA(rootKey, "Software", 0, nullptr, 0, KEY_ALL_ACCESS,
                                           nullptr, &key, nullptr))
        << text;
    RegCloseKey(rootKey);
    EXPECT_EQ(text, ReadText(folder + "/user.reg"));
  }
}

// A compact store just under the size readers take grows when written back (a blank line
// before every key): that text is refused, and the store stays as it was, still readable.
TEST_F(Platform, AStoreThatWouldOutgrowTheReadersIsNeverWritten) {
  std::string text = "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Dorvane]\n";
  for (int i = 0; text.size() < (1 << 20) - 64; ++i) {
    text += "[HKEY_CURRENT_USER\\k" + std::to_string(i) + "]\n";
  }
  mkdir(folder.c_str(), 0700);
  WriteText(folder + "/user.reg", text);
  HKEY key = OpenPath(false);
  ASSERT_NE(nullptr, key);
  DWORD port = 5;
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&port, 4));
  EXPECT_EQ(ERROR_CANTWRITE, RegCloseKey(key));
  EXPECT_EQ(text, ReadText(folder + "/user.reg"));
  key = OpenPath(false);
  EXPECT_NE(nullptr, key) << "the store still reads";
  RegCloseKey(key);
}

TEST_F(Platform, UnreachableFolderFailsTheRootOpen) {
  WriteText(root + "/file", "");
  setenv("XDG_CONFIG_HOME", (root + "/file").c_str(), 1);
  HKEY key;
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, RegOpenCurrentUser(KEY_ALL_ACCESS, &key));
  // A relative XDG_CONFIG_HOME does not count: $HOME/.config takes its place.
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", root.c_str(), 1);
  char path[QUILLET_PATH_SIZE];
  ASSERT_EQ(0u, QuilletPath("user.reg", path, sizeof path));
  EXPECT_EQ(root + "/.config/quillet/user.reg", path);
}

TEST_F(Platform, ConcurrentWritersLoseNoUpdate) {
  const int WRITERS = 4, ROUNDS = 15;
  OpenPath(true);
  for (int w = 0; w < WRITERS; ++w) {
    if (fork() == 0) {
      for (DWORD round = 0; round < ROUNDS; ++round) {
        HKEY key = OpenPath(false);
        std::string name = "writer" + std::to_string(w) + "." + std::to_string(round);
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, (const BYTE*)&round, 4) != 0 ||
            RegCloseKey(key) != 0) {
          _exit(1);
        }
      }
      _exit(0);
    }
  }
  for (int w = 0; w < WRITERS; ++w) {
    int status;
    wait(&status);
    EXPECT_EQ(0, status);
  }
  HKEY key = OpenPath(false);
  for (int w = 0; w < WRITERS; ++w) {
    for (int round = 0; round < ROUNDS; ++round) {
      std::string name = "writer" + std::to_string(w) + "." + std::to_string(round);
      DWORD value = 99, size = 4;
      EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, name.c_str(), nullptr, nullptr, (LPBYTE)&value, &size));
      EXPECT_EQ((DWORD)round, value);
    }
  }
}

TEST_F(Platform, ValuesReachTheStoreTogetherWhenTheirKeyCloses) {
  HKEY writer = OpenPath(true);
  DWORD port = 5, rate = 9600;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(writer, "Port", 0, REG_DWORD, (const BYTE*)&port, 4));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(writer, "Baudrate", 0, REG_DWORD, (const BYTE*)&rate, 4));
  DWORD value = 0, size = 4;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(writer, "Port", nullptr, nullptr, (LPBYTE)&value, &size));
  EXPECT_EQ(5u, value) << "the writer reads its own values";
  HKEY reader = OpenPath(false);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExA(reader, "Port", nullptr, nullptr, (LPBYTE)&value, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(writer));
  for (const char* name : {"Port", "Baudrate"}) {
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(reader, name, nullptr, nullptr, (LPBYTE)&value, &size));
  }
  EXPECT_EQ(9600u, value);
  RegCloseKey(reader);

  // A writer that dies before closing leaves the store as it was.
  std::string before = ReadText(folder + "/user.reg");
  if (fork() == 0) {
    HKEY key = OpenPath(false);
    DWORD other = 3;
    RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&other, 4);
    _exit(0);
  }
  int status;
  wait(&status);
  EXPECT_EQ(before, ReadText(folder + "/user.reg"));
}

// The parsed store is kept between calls only while the file stays the same: a value
// another process commits meanwhile is seen at the next call. The store is made older
// than the window in which a file's times cannot tell it from its replacement, so that
// the kept copy is the one in use; the two commits give files of the same size.
TEST_F(Platform, ACommitOfAnotherProcessIsSeenThroughTheKeptStore) {
  HKEY key = OpenPath(true);
  DWORD port = 5, value = 0, size = 4;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&port, 4));
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  struct stat written;
  ASSERT_EQ(0, stat((folder + "/user.reg").c_str(), &written));
  usleep(written.st_ctim.tv_nsec != 0 ? 300000 : 3000000);  // past the window for its times
  HKEY reader = OpenPath(false);
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(reader, "Port", nullptr, nullptr, (LPBYTE)&value, &size));
  EXPECT_EQ(5u, value);
  for (DWORD next : {3u, 7u}) {
    if (fork() == 0) {
      HKEY writer = OpenPath(false);
      _exit(RegSetValueExA(writer, "Port", 0, REG_DWORD, (const BYTE*)&next, 4) != 0 ||
            RegCloseKey(writer) != 0);
    }
    int status;
    wait(&status);
    ASSERT_EQ(0, status);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(reader, "Port", nullptr, nullptr, (LPBYTE)&value, &size));
    EXPECT_EQ(next, value);
  }
  RegCloseKey(reader);
}

// Only a regular file is a store: anything else in its place is refused at once, by
// readers and writers alike, and stays as it was.
TEST_F(Platform, AStoreThatIsNoRegularFileIsRefusedAtOnce) {
  mkdir(folder.c_str(), 0700);
  const std::string store = folder + "/user.reg";
  const struct {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"FIFO", [&] { ASSERT_EQ(0, mkfifo(store.c_str(), 0600)); }},
      {"link to a device", [&] { ASSERT_EQ(0, symlink("/dev/zero", store.c_str())); }},
      {"socket",
       [&] {
         int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address = {};
         address.sun_family = AF_UNIX;
         snprintf(address.sun_path, sizeof address.sun_path, "%s", store.c_str());
         ASSERT_EQ(0, bind(fd, (sockaddr*)&address, sizeof address));
         close(fd);
       }},
      {"directory", [&] { ASSERT_EQ(0, mkdir(store.c_str(), 0700)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    struct stat before;
    ASSERT_EQ(0, lstat(store.c_str(), &before));
    HKEY rootKey, key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenCurrentUser(KEY_ALL_ACCESS, &rootKey));
    // A child, so that a wait shows as a hang the deadline ends rather than a stuck test.
    pid_t child = fork();
    if (child == 0) {
      alarm(5);
      bool refused =
          RegOpenKeyExA(rootKey, "Software", 0, KEY_ALL_ACCESS, &key) == ERROR_BADDB &&
          RegCreateKeyExA(rootKey, "Software", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) == ERROR_BADDB;
      _exit(refused ? 0 : 1);
    }
    int status;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    RegCloseKey(rootKey);
    struct stat after;
    ASSERT_EQ(0, lstat(store.c_str(), &after));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mode, after.st_mode);
    std::string command = "rm -rf '" + store + "'";
    ASSERT_EQ(0, system(command.c_str()));
  }
}

// ---- Error codes and texts -----------------------------------------------------------

TEST(ErrorTexts, SystemTextsEndLikeWindowsOnes) {
  struct Case {
    DWORD code;
    const char* text;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
      {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
      {ERROR_SHARING_VIOLATION,
       "The process cannot access the file because it is being used by another process.\r\n"},
      {ERROR_BADDB, "The configuration registry database is corrupt.\r\n"},
      {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
  };
  for (const Case& c : cases) {
    char* text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, c.code, 0x0400, (LPSTR)&text, 0, nullptr);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(strlen(c.text), length);
    EXPECT_STREQ(c.text, text);
    EXPECT_EQ(nullptr, LocalFree(text));
  }
  char* text = nullptr;
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                               nullptr, 99999, 0x0400, (LPSTR)&text, 0, nullptr));
  EXPECT_EQ(nullptr, text);
  EXPECT_EQ((DWORD)ERROR_MR_MID_NOT_FOUND, GetLastError());
  char small[8];
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0,
                               small, sizeof small, nullptr));
  EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
}

TEST(ErrorTexts, LastErrorBelongsToItsThread) {
  SetLastErrorCode(ERROR_ACCESS_DENIED);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(0u, other);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

// ---- Movable memory -------------------------------------------------------------------

TEST(MovableMemory, LockCountsFollowWindowsRules) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 16);
  ASSERT_NE(nullptr, block);
  EXPECT_NE(INVALID_HANDLE_VALUE, block);
  void* first = GlobalLock(block);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, GlobalLock(block));
  EXPECT_TRUE(GlobalUnlock(block));  // still locked once
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ(0u, GetLastError());
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ((DWORD)ERROR_NOT_LOCKED, GetLastError());
  EXPECT_FALSE(CloseHandle(block)) << "a memory handle taken for a port";
  EXPECT_EQ(first, GlobalLock(block));
  EXPECT_EQ(nullptr, GlobalFree(block));  // freed though locked
  EXPECT_EQ(nullptr, GlobalLock(block));
  EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(block, GlobalFree(block));

  HGLOBAL empty = GlobalAlloc(GMEM_MOVEABLE, 0);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(nullptr, GlobalLock(empty));
  GlobalFree(empty);
}

}  // namespace
