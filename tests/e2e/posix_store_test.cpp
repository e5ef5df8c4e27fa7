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
    EXPECT_EQ(ERROR_BADDB, Open(rootKey, "Software", &key)) << text;
    EXPECT_EQ(ERROR_BADDB, Create(rootKey, "Software", &key)) << text;
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
  EXPECT_EQ(ERROR_SUCCESS, SetDword(key, "Port", 5));
  EXPECT_EQ(ERROR_CANTWRITE, RegCloseKey(key));
  EXPECT_EQ(text, ReadText(folder + "/user.reg"));
  key = OpenPath(false);
  EXPECT_NE(nullptr, key) << "the store still reads";
  RegCloseKey(key);
}

// A relative XDG_CONFIG_HOME does not count: $HOME/.config takes its place. (One that is
// a file is setquillet_output's.)
TEST_F(Platform, ARelativeConfigHomeIsPassedOver) {
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
        if (SetDword(key, name.c_str(), round) != 0 || RegCloseKey(key) != 0) _exit(1);
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
      DWORD value = 99;
      EXPECT_EQ(ERROR_SUCCESS, GetDword(key, name.c_str(), &value));
      EXPECT_EQ((DWORD)round, value);
    }
  }
}

TEST_F(Platform, ValuesReachTheStoreTogetherWhenTheirKeyCloses) {
  HKEY writer = OpenPath(true);
  ASSERT_EQ(ERROR_SUCCESS, SetDword(writer, "Port", 5));
  ASSERT_EQ(ERROR_SUCCESS, SetDword(writer, "Baudrate", 9600));
  DWORD value = 0;
  EXPECT_EQ(ERROR_SUCCESS, GetDword(writer, "Port", &value));
  EXPECT_EQ(5u, value) << "the writer reads its own values";
  HKEY reader = OpenPath(false);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDword(reader, "Port", &value));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(writer));
  for (const char* name : {"Port", "Baudrate"}) {
    EXPECT_EQ(ERROR_SUCCESS, GetDword(reader, name, &value)) << name;
  }
  EXPECT_EQ(9600u, value);
  RegCloseKey(reader);

  // A writer that dies before closing leaves the store as it was.
  std::string before = ReadText(folder + "/user.reg");
  InChild([&] { return (int)SetDword(OpenPath(false), "Port", 3); });
  EXPECT_EQ(before, ReadText(folder + "/user.reg"));
}

// The parsed store is kept between calls only while the file stays the same: a value
// another process commits meanwhile is seen at the next call. The store is made older
// than the window in which a file's times cannot tell it from its replacement, so that
// the kept copy is the one in use; the two commits give files of the same size.
TEST_F(Platform, ACommitOfAnotherProcessIsSeenThroughTheKeptStore) {
  HKEY key = OpenPath(true);
  DWORD value = 0;
  ASSERT_EQ(ERROR_SUCCESS, SetDword(key, "Port", 5));
  ASSERT_EQ(ERROR_SUCCESS, RegCloseKey(key));
  struct stat written;
  ASSERT_EQ(0, stat((folder + "/user.reg").c_str(), &written));
  usleep(written.st_ctim.tv_nsec != 0 ? 300000 : 3000000);  // past the window for its times
  HKEY reader = OpenPath(false);
  ASSERT_EQ(ERROR_SUCCESS, GetDword(reader, "Port", &value));
  EXPECT_EQ(5u, value);
  for (DWORD next : {3u, 7u}) {
    ASSERT_EQ(0, InChild([&] {
      HKEY writer = OpenPath(false);
      return SetDword(writer, "Port", next) != 0 || RegCloseKey(writer) != 0;
    }));
    EXPECT_EQ(ERROR_SUCCESS, GetDword(reader, "Port", &value));
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
    EXPECT_EQ(0, InChild([&] {  // a wait shows as the child's end, not as a stuck test
      bool refused = Open(rootKey, "Software", &key) == ERROR_BADDB &&
                     Create(rootKey, "Software", &key) == ERROR_BADDB;
      return refused ? 0 : 1;
    }));
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
  status = kind == 'r' ? Open(rootKey, "Software\\Dorvane", &key)
                       : Create(rootKey, "Software\\Dorvane\\New", &key);
  if (status == ERROR_SUCCESS && kind == 'w') status = SetDword(key, "Port", 3);
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
  const LONG OK = ERROR_SUCCESS, DENIED = ERROR_ACCESS_DENIED;
  auto mode = [](std::string path, mode_t m) { return [=] { return chmod(path.c_str(), m); }; };
  auto owner = [](std::string path) { return [=] { return chown(path.c_str(), OTHER, -1); }; };
  const struct {
    const char* what;
    bool link;      // the store is a link into dotfiles/
    bool rootOnly;  // needs chown
    LONG status;
    std::function<int()> make;
  } cases[] = {
      {"the user's own", false, false, OK, [] { return 0; }},
      {"the user's own link into dotfiles", true, false, OK, [] { return 0; }},
      {"a sticky base others can write to", false, false, OK, mode(root, 01777)},
      {"a folder the user's private group can write to", false, true, OK, mode(folder, 0770)},
      {"a base others can write to, not sticky", false, false, DENIED, mode(root, 0777)},
      {"a base of another user's", false, true, DENIED, owner(root)},
      {"a folder others can write to", false, false, DENIED, mode(folder, 0707)},
      {"a folder another group can write to", false, true, DENIED,
       [&] { return chown(folder.c_str(), -1, OTHER) | chmod(folder.c_str(), 0770); }},
      {"a folder of another user's", false, true, DENIED, owner(folder)},
      {"a store others can write to", false, false, DENIED, mode(store, 0602)},
      {"a store of another user's", false, true, DENIED, owner(store)},
      {"a link into a folder others can write to", true, false, DENIED, mode(dotfiles, 0777)},
      {"a link into a folder of another user's", true, true, DENIED, owner(dotfiles)},
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
  EXPECT_EQ(ERROR_ACCESS_DENIED, Create(rootKey, "Software", &key));
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
    EXPECT_EQ(c.status, InChild([] {
      if (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0) return 99;
      LONG read = StoreStatus('r');  // no store yet: a missing key
      LONG written = StoreStatus('w');
      return read == written || (read == ERROR_FILE_NOT_FOUND && written == 0) ? (int)written : 98;
    }));
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
