// The Linux platform layer on real ptys where it goes beyond the contract cases: the
// device map, hang-ups, writes that cannot finish, and the USB device list from a made-up
// sysfs tree.
#include <sys/inotify.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "posix_test.h"

namespace {

// ---- Serial ports on ptys -------------------------------------------------------------

// Rates the kernel has no constant for; device map entries that lead nowhere; names that
// are no port.
TEST_F(Platform, LinuxRefusesWhatItCannotBe) {
  MapPty("com2");
  HANDLE port = CreateFileA("com2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, port);
  DCB dcb;
  ASSERT_TRUE(GetCommState(port, &dcb));
  dcb.BaudRate = 14400;
  EXPECT_FALSE(SetCommState(port, &dcb));
  EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_TRUE(CloseHandle(port));

  unlink((folder + "/devices/com2").c_str());
  ASSERT_EQ(0, symlink((root + "/gone").c_str(), (folder + "/devices/com2").c_str()));
  for (const char* name : {"com2", "com0", "lpt1", "com1x"}) {
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError()) << name;
  }
}

TEST_F(Platform, HangUpHandsOverWhatArrivedThenFails) {
  MapPty("com5");
  HANDLE port = CreateFileA("com5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, port);
  COMMTIMEOUTS timeouts = {1000, 0, 5000, 0, 1000};
  SetCommTimeouts(port, &timeouts);
  DWORD count = 0;
  EXPECT_TRUE(WriteFile(port, "ok", 2, &count, nullptr));
  EXPECT_EQ(2u, count);
  char buffer[16];
  ASSERT_EQ(2, read(master, buffer, sizeof buffer));
  std::thread handheld([&] {
    EXPECT_EQ(2, write(master, "ab", 2));
    usleep(100000);
    close(master);
    master = -1;
  });
  int64_t start = MonotonicMilliseconds();
  EXPECT_TRUE(ReadFile(port, buffer, 9, &count, nullptr));
  handheld.join();
  EXPECT_EQ(2u, count);
  EXPECT_LT(MonotonicMilliseconds() - start, 900) << "the hang-up ends the wait";
  EXPECT_FALSE(ReadFile(port, buffer, 9, &count, nullptr));
  EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
  EXPECT_FALSE(WriteFile(port, "x", 1, &count, nullptr));
  EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
  CloseHandle(port);
}

TEST_F(Platform, WritesThatCannotFinishReturnShortInTime) {
  MapPty("com6");
  HANDLE port = CreateFileA("com6", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, port);
  COMMTIMEOUTS timeouts = {0, 0, 0, 0, 200};  // nobody reads the other side
  ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
  std::vector<char> text(1 << 20, 'x');
  DWORD count = 0;
  int64_t start = MonotonicMilliseconds();
  EXPECT_TRUE(WriteFile(port, text.data(), (DWORD)text.size(), &count, nullptr));
  int64_t elapsed = MonotonicMilliseconds() - start;
  EXPECT_GT(count, 0u);
  EXPECT_LT(count, text.size());
  EXPECT_GE(elapsed, 195);
  EXPECT_LT(elapsed, 900);
  CloseHandle(port);
}

// ---- USB ------------------------------------------------------------------------------

TEST_F(Platform, VisorListNamesEachHandheldsHotSyncPort) {
  // ports: tty number, interface, port_number
  struct Port {
    int tty;
    const char* interface;
    int number;
  };
  struct Case {
    std::vector<Port> ports;
    std::string list;
    DWORD count;
  } cases[] = {
      {{}, std::string("\0", 1), 0},
      {{{0, "1-1:1.0", 0}, {1, "1-1:1.0", 1}}, std::string("/dev/ttyUSB1\0\0", 14), 1},
      {{{3, "2-1:1.0", 0}}, std::string("/dev/ttyUSB3\0\0", 14), 1},
      {{{5, "1-1:1.0", 1}, {4, "1-1:1.0", 0}, {10, "1-2:1.0", 0}, {11, "1-2:1.0", 1}},
       std::string("/dev/ttyUSB5\0/dev/ttyUSB11\0\0", 28), 2},
  };
  int round = 0;
  for (const Case& c : cases) {
    std::string base = root + "/sys" + std::to_string(round++);
    std::string driver = base + "/driver";
    EXPECT_EQ(0, system(("mkdir -p '" + driver + "'").c_str()));
    for (const Port& p : c.ports) {
      std::string tty = "ttyUSB" + std::to_string(p.tty);
      std::string device = base + "/devices/" + p.interface + "/" + tty;
      EXPECT_EQ(0, system(("mkdir -p '" + device + "'").c_str()));
      WriteText(device + "/port_number", std::to_string(p.number) + "\n");
      EXPECT_EQ(0, symlink(device.c_str(), (driver + "/" + tty).c_str()));
    }
    char list[256];
    DWORD count = 99;
    size_t used = ListVisorPorts(driver.c_str(), list, sizeof list, &count);
    EXPECT_EQ(c.list, std::string(list, used));
    EXPECT_EQ(c.count, count);
  }
}

TEST_F(Platform, DeviceMapLinkIsTheUsbDevice) {
  DWORD count = 0, size = 0;
  mkdir(folder.c_str(), 0700);
  mkdir((folder + "/devices").c_str(), 0700);
  ASSERT_EQ(0, symlink((root + "/not-yet").c_str(), (folder + "/devices/usb").c_str()));
  char list[256];
  size = sizeof list;
  EXPECT_EQ(0, PalmUsbGetAttachedDevices(&count, list, &size));
  EXPECT_EQ(0u, count) << "a link that leads nowhere is no device";
  unlink((folder + "/devices/usb").c_str());

  std::string name = MapPty("usb");
  size = 0;
  EXPECT_EQ(PALM_USB_BUFFER_TOO_SMALL, PalmUsbGetAttachedDevices(&count, nullptr, &size));
  EXPECT_EQ(name.size() + 2, size);
  ASSERT_EQ(0, PalmUsbGetAttachedDevices(&count, list, &size));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(name, list);

  HANDLE port = PalmUsbOpenPort(list, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, port);
  EXPECT_EQ(INVALID_HANDLE_VALUE, PalmUsbOpenPort(list, 0));
  PalmUsbTimeouts timeouts = {100, 100};
  EXPECT_EQ(0, PalmUsbSetTimeouts(port, &timeouts));
  EXPECT_EQ(6, write(master, "abcdef", 6));
  char buffer[16];
  DWORD received = 0;
  EXPECT_EQ(0, PalmUsbReceiveBytes(port, buffer, 4, &received));
  EXPECT_EQ(4u, received) << "never more than asked";
  int64_t start = MonotonicMilliseconds();
  EXPECT_EQ(0, PalmUsbReceiveBytes(port, buffer, 9, &received));
  EXPECT_EQ(2u, received);
  EXPECT_LT(MonotonicMilliseconds() - start, 1000) << "the pause after the last byte ends it";
  EXPECT_TRUE(CloseHandle(port));
}

// ---- Only what is the user's own, and only a character device --------------------------

// A map entry that is no character device is refused before anything opens it (an open
// can act on a device): no IN_OPEN reaches the target.
TEST_F(Platform, AMapEntryThatIsNoCharacterDeviceIsNeverOpened) {
  mkdir(folder.c_str(), 0700);
  mkdir((folder + "/devices").c_str(), 0700);
  const std::string link = folder + "/devices/com3";
  const struct {
    const char* what;
    std::function<int(const char*)> make;
  } cases[] = {
      {"regular file", [](const char* path) { return close(creat(path, 0600)); }},
      {"FIFO", [](const char* path) { return mkfifo(path, 0600); }},
      {"directory", [](const char* path) { return mkdir(path, 0700); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string target = root + "/" + c.what;
    ASSERT_EQ(0, c.make(target.c_str()));
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_LE(0, inotify_add_watch(watch, target.c_str(), IN_OPEN));
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileA("com3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    char events[256];
    EXPECT_EQ(-1, read(watch, events, sizeof events)) << "the target was opened";
    close(watch);
    unlink(link.c_str());
  }
}

// A device map another user could have put links into is refused, serial and USB alike,
// never passed over for /dev/ttyS* or the visor driver's list.
TEST_F(Platform, ADeviceMapThatIsNotTheUsersOwnIsRefused) {
  const std::string name = MapPty("com7"), devices = folder + "/devices";
  const std::string links[] = {devices + "/com7", devices + "/usb"};
  ASSERT_EQ(0, symlink(name.c_str(), links[1].c_str()));
  const struct {
    const char* what;
    bool own;
    bool rootOnly;
    std::function<int()> make;
  } cases[] = {
      {"the user's own", true, false, [] { return 0; }},
      {"devices/ others can write to", false, false,
       [&] { return chmod(devices.c_str(), 0703); }},
      {"devices/ of another user's", false, true,
       [&] { return chown(devices.c_str(), 65534, -1); }},
      {"links of another user's", false, true,
       [&] { return lchown(links[0].c_str(), 65534, -1) | lchown(links[1].c_str(), 65534, -1); }},
      {"a folder others can write to", false, false,
       [&] { return chmod(folder.c_str(), 0777); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.rootOnly && geteuid() != 0) continue;
    for (const std::string& path : {folder, devices}) {
      ASSERT_EQ(0, chmod(path.c_str(), 0700));
      ASSERT_EQ(0, chown(path.c_str(), geteuid(), -1));
    }
    for (const std::string& link : links) ASSERT_EQ(0, lchown(link.c_str(), geteuid(), -1));
    ASSERT_EQ(0, c.make());
    HANDLE port = CreateFileA("com7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(c.own, port != INVALID_HANDLE_VALUE);
    if (c.own) {
      CloseHandle(port);
    } else {
      EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    }
    DWORD count = 99, size = 256;
    char list[256];
    EXPECT_EQ(0, PalmUsbGetAttachedDevices(&count, list, &size));
    EXPECT_EQ(c.own ? 1u : 0u, count);
  }
}

}  // namespace
