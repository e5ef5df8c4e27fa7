// The Linux settings store on real files, in a fresh per-user folder, where it goes
// beyond the contract cases: damaged stores, atomic replace, locks, what is no file.
#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>
#include <functional>
#include <thread>

#include "posix_test.h"

namespace {

// ---- Settings store -------------------------------------------------------------------

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

TEST(ErrorTexts, LastErrorBelongsToItsThread) {
  SetLastErrorCode(ERROR_ACCESS_DENIED);
  DWORD other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(0u, other);
  EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

// ---- Only what is the user's own -----------------------------------------------------

// The first failure of reading the Dorvane key (kind 'r') or of writing below it ('w').
LONG StoreStatus(char kind) {
  HKEY rootKey = nullptr, key = nullptr;
  LONG status = RegOpenCurrentUser(KEY_ALL_ACCESS, &rootKey);
  if (status != ERROR_SUCCESS) return status;
  status = kind == 'r' ? RegOpenKeyExA(rootKey, "Software\\Dorvane", 0, KEY_ALL_ACCESS, &key)
                       : RegCreateKeyExA(rootKey, "Software\\Dorvane\\New", 0, nullptr, 0,
                                         KEY_ALL_ACCESS, nullptr, &key, nullptr);
  DWORD port = 3;
  if (status == ERROR_SUCCESS && kind == 'w') {
    status = RegSetValueExA(key, "Port", 0, REG_DWORD, (const BYTE*)&port, 4);
  }
  LONG closed = key != nullptr ? RegCloseKey(key) : ERROR_SUCCESS;
  RegCloseKey(rootKey);
  return status != ERROR_SUCCESS ? status : closed;
}

std::string Listing(const std::string& folder) {
  std::string command = "ls -A '" + folder + "' 2>&1";
  std::string listing;
  FILE* ls = popen(command.c_str(), "r");
  for (int c; ls != nullptr && (c = fgetc(ls)) != EOF;) listing += (char)c;
  if (ls != nullptr) pclose(ls);
  return listing;
}

// Settings another user could have put there are neither read nor written, and stay as
// they are; the user's own are used, a store link into the user's dotfiles included.
TEST_F(Platform, SettingsThatAreNotTheUsersOwnAreRefusedAndLeftAsTheyAre) {
  const uid_t OTHER = 65534;
  const bool asRoot = geteuid() == 0;
  const std::string dotfiles = root + "/dotfiles", store = folder + "/user.reg";
  const struct {
    const char* what;
    bool link;      // the store is a link into dotfiles/
    bool rootOnly;  // needs chown
    LONG status;
    std::function<int()> make;
  } cases[] = {
      {"the user's own", false, false, ERROR_SUCCESS, [] { return 0; }},
      {"the user's own link into dotfiles", true, false, ERROR_SUCCESS, [] { return 0; }},
      {"a sticky base others can write to", false, false, ERROR_SUCCESS,
       [&] { return chmod(root.c_str(), 01777); }},
      {"a folder the user's private group can write to", false, true, ERROR_SUCCESS,
       [&] { return chmod(folder.c_str(), 0770); }},
      {"a base others can write to, not sticky", false, false, ERROR_ACCESS_DENIED,
       [&] { return chmod(root.c_str(), 0777); }},
      {"a base of another user's", false, true, ERROR_ACCESS_DENIED,
       [&] { return chown(root.c_str(), OTHER, -1); }},
      {"a folder others can write to", false, false, ERROR_ACCESS_DENIED,
       [&] { return chmod(folder.c_str(), 0707); }},
      {"a folder another group can write to", false, true, ERROR_ACCESS_DENIED,
       [&] { return chown(folder.c_str(), -1, OTHER) | chmod(folder.c_str(), 0770); }},
      {"a folder of another user's", false, true, ERROR_ACCESS_DENIED,
       [&] { return chown(folder.c_str(), OTHER, -1); }},
      {"a store others can write to", false, false, ERROR_ACCESS_DENIED,
       [&] { return chmod(store.c_str(), 0602); }},
      {"a store of another user's", false, true, ERROR_ACCESS_DENIED,
       [&] { return chown(store.c_str(), OTHER, -1); }},
      {"a link into a folder others can write to", true, false, ERROR_ACCESS_DENIED,
       [&] { return chmod(dotfiles.c_str(), 0777); }},
      {"a link into a folder of another user's", true, true, ERROR_ACCESS_DENIED,
       [&] { return chown(dotfiles.c_str(), OTHER, -1); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.rootOnly && !asRoot) continue;
    ASSERT_EQ(0, system(("rm -rf '" + folder + "' '" + dotfiles + "'").c_str()));
    ASSERT_EQ(0, chown(root.c_str(), geteuid(), getegid()));
    ASSERT_EQ(0, chmod(root.c_str(), 0700));
    HKEY key = OpenPath(true);
    ASSERT_NE(nullptr, key);
    RegCloseKey(key);
    std::string text = store;
    if (c.link) {
      text = dotfiles + "/user.reg";
      ASSERT_EQ(0, mkdir(dotfiles.c_str(), 0755));
      ASSERT_EQ(0, rename(store.c_str(), text.c_str()));
      ASSERT_EQ(0, symlink("../dotfiles/user.reg", store.c_str()));
    }
    const std::string before = ReadText(text), files = Listing(folder) + Listing(dotfiles);
    ASSERT_EQ(0, c.make());
    EXPECT_EQ(c.status, StoreStatus('r'));
    EXPECT_EQ(c.status, StoreStatus('w'));
    if (c.status != ERROR_SUCCESS) {
      EXPECT_EQ(before, ReadText(text));
      EXPECT_EQ(files, Listing(folder) + Listing(dotfiles));
    } else {
      EXPECT_NE(before, ReadText(text)) << "the write did not reach the store";
      struct stat link;
      EXPECT_TRUE(!c.link || (lstat(store.c_str(), &link) == 0 && S_ISLNK(link.st_mode)));
    }
  }
  // A base opened to all after the root key was: the first write still makes no folder.
  ASSERT_EQ(0, system(("rm -rf '" + folder + "'").c_str()));
  HKEY rootKey, key;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenCurrentUser(KEY_ALL_ACCESS, &rootKey));
  ASSERT_EQ(0, chmod(root.c_str(), 0777));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegCreateKeyExA(rootKey, "Software", 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
  EXPECT_NE(0, access(folder.c_str(), F_OK)) << "a folder was made";
  RegCloseKey(rootKey);
}

// The lock is made where it belongs or nowhere: never through a link, and only a regular
// file of the user's own is taken as the lock.
TEST_F(Platform, ALockThatIsNoRegularFileOfTheUsersOwnIsRefused) {
  const std::string lock = folder + "/user.reg.lock", elsewhere = root + "/elsewhere";
  const struct {
    const char* what;
    bool rootOnly;
    std::function<int()> make;
  } cases[] = {
      {"a link to a path of another's choosing", false,
       [&] { return symlink(elsewhere.c_str(), lock.c_str()); }},
      {"a link to a file of the user's", false,
       [&] {
         WriteText(elsewhere, "mine");
         return symlink(elsewhere.c_str(), lock.c_str());
       }},
      {"a FIFO", false, [&] { return mkfifo(lock.c_str(), 0600); }},
      {"a file of another user's", true,
       [&] {
         WriteText(lock, "");
         return chown(lock.c_str(), 65534, 65534);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.rootOnly && geteuid() != 0) continue;
    ASSERT_EQ(0, system(("rm -rf '" + folder + "' '" + elsewhere + "'").c_str()));
    ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
    ASSERT_EQ(0, c.make());
    const std::string before = ReadText(elsewhere);
    struct stat seen;
    ASSERT_EQ(0, lstat(lock.c_str(), &seen));
    EXPECT_EQ(ERROR_ACCESS_DENIED, StoreStatus('w'));
    EXPECT_EQ("user.reg.lock\n", Listing(folder)) << "a store was written";
    struct stat after;
    ASSERT_EQ(0, lstat(lock.c_str(), &after));
    EXPECT_EQ(seen.st_ino, after.st_ino);
    EXPECT_EQ(before, ReadText(elsewhere));
    EXPECT_EQ(before.empty(), access(elsewhere.c_str(), F_OK) != 0) << "made where the link led";
  }
}

// In a base others may write to, only a folder the user owns is the user's: root's
// counts no more than another user's, as it could have been made in the user's place.
// The user is nobody here; a missing folder is made by the first write, mode 0700.
TEST_F(Platform, InASharedBaseOnlyAFolderOfTheUsersOwnCounts) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
  const uid_t NOBODY = 65534;
  ASSERT_EQ(0, chmod(root.c_str(), 01777));
  const struct {
    const char* what;
    uid_t owner;  // of an existing folder; 0 with made false: none
    bool made;
    LONG status;
  } cases[] = {
      {"no folder yet", 0, false, ERROR_SUCCESS},
      {"the user's own folder", NOBODY, true, ERROR_SUCCESS},
      {"a folder of root's", 0, true, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, system(("rm -rf '" + folder + "'").c_str()));
    if (c.made) {
      ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
      ASSERT_EQ(0, chown(folder.c_str(), c.owner, c.owner));
    }
    pid_t child = fork();
    if (child == 0) {
      alarm(5);
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) _exit(99);
      LONG read = StoreStatus('r');  // no store yet: a missing key
      LONG written = StoreStatus('w');
      _exit(read == written || (read == ERROR_FILE_NOT_FOUND && written == 0) ? (int)written
                                                                               : 98);
    }
    int status;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(c.status, WEXITSTATUS(status));
    struct stat made;
    ASSERT_EQ(0, stat(folder.c_str(), &made));
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(NOBODY, made.st_uid);
      EXPECT_EQ(c.made ? 0755u : 0700u, made.st_mode & 07777);
    } else {
      EXPECT_EQ("", Listing(folder));
    }
  }
}

}  // namespace
