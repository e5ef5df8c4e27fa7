// The stored setting and the port layer: what is read, how a port is opened and set up,
// the read time-outs, and the search for the USB handheld on the virtual clock.
#include "harness.h"

using SettingsRead = Fake;
using SerialPort = Fake;
using PortIo = Fake;
using UsbSearch = Fake;

TEST_F(SettingsRead, ReadSettingsValidatesPortAndRate) {
  const DWORD missing = NO_RATE;
  const struct {
    DWORD port, rate;  // as stored; missing: the value is absent
    bool valid;
    PortId portAfter;  // the caller presets 9
    DWORD rateAfter;
    int errorsReported;
  } cases[] = {
      {9, missing, true, 9, 0, 1},     {9, 0, true, 9, 0, 0},
      {9, 14400, true, 9, 14400, 0},   {3, 9600, true, 3, 9600, 0},
      {1, 2400, true, 1, 2400, 0},     {8, 115200, true, 8, 115200, 0},
      {3, 14400, false, 3, 14400, 0},  {3, 28800, false, 3, 28800, 0},
      {3, missing, false, 3, 0, 1},    {0, 9600, false, 9, 9600, 0},
      {10, 9600, false, 9, 9600, 0},   {missing, 9600, false, 9, 9600, 1},
      {missing, missing, false, 9, 0, 1},  // no key at all
  };
  for (const auto& c : cases) {
    fake::Reset();
    if (c.port != missing) fake::SetDword(SETTINGS_KEY, "Port", c.port);
    if (c.rate != missing) fake::SetDword(SETTINGS_KEY, "Baudrate", c.rate);
    PortId port = PORT_USB;
    DWORD rate = 0;
    SCOPED_TRACE(testing::Message() << "Port " << c.port << ", Baudrate " << c.rate);
    EXPECT_EQ(ReadSettings(&port, &rate), c.valid);
    EXPECT_EQ(port, c.portAfter);
    EXPECT_EQ(rate, c.rateAfter);
    EXPECT_EQ((int)fake::Calls("FormatMessageA").size(), c.errorsReported);
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(SettingsRead, APortValueOfTheWrongSizeCountsAsUnread) {
  fake::SetValue(SETTINGS_KEY, "Port", 11, std::string("\3\0\0\0\0\0\0\0", 8));  // QWORD 3
  fake::SetDword(SETTINGS_KEY, "Baudrate", 9600);
  PortId port = PORT_USB;
  DWORD rate = 0;
  EXPECT_FALSE(ReadSettings(&port, &rate));
  EXPECT_EQ(port, PORT_USB);
  EXPECT_EQ(fake::Calls("FormatMessageA"),
            std::vector<std::string>{"FormatMessageA(0x1100, null, 234, 0x400, 0, null)"});
}

TEST_F(SettingsRead, KeysAreOpenedDownThePathAndClosedInReverse) {
  StoreSettings(PORT_USB, 0);
  PortId port = PORT_USB;
  DWORD rate = 0;
  ReadSettings(&port, &rate);
  EXPECT_EQ(fake::Calls("Reg"), (std::vector<std::string>{
      "RegOpenCurrentUser(0xF003F)",
      "RegOpenKeyExA(HKCU, \"Software\", 0, 0xF003F)",
      "RegOpenKeyExA(HKCU\\Software, \"Dorvane\", 0, 0xF003F)",
      "RegOpenKeyExA(HKCU\\Software\\Dorvane, \"Quillet\", 0, 0xF003F)",
      "RegQueryValueExA(HKCU\\Software\\Dorvane\\Quillet, \"Port\", 4)",
      "RegQueryValueExA(HKCU\\Software\\Dorvane\\Quillet, \"Baudrate\", 4)",
      "RegCloseKey(HKCU\\Software\\Dorvane\\Quillet)",
      "RegCloseKey(HKCU\\Software\\Dorvane)",
      "RegCloseKey(HKCU\\Software)",
      "RegCloseKey(HKCU)"}));
  EXPECT_EQ(Breaches(), "");
}

TEST_F(SerialPort, OpensExclusivelyAsEightNOneWithRateDependentTimeouts) {
  const struct {
    DWORD rate, m;
  } cases[] = {{2400, 5}, {4800, 3}, {9600, 2}, {19200, 1}, {38400, 1}, {57600, 1}, {115200, 1}};
  for (const auto& c : cases) {
    fake::Reset();
    fake::Line& line = fake::AddSerialPort("com2");
    DCB before = line.dcb;
    HANDLE port = OpenPort(2, c.rate);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake::Calls("CreateFileA"),
              std::vector<std::string>{"CreateFileA(\"com2\", 0xC0000000, 0, null, 3, 0, null)"});
    EXPECT_EQ(fake::Calls("SetCommTimeouts")[0],
              "SetCommTimeouts(com2, 1000, " + std::to_string(c.m) + ", 10000, " +
                  std::to_string(c.m) + ", 1000)");
    // 8N1 at the rate, every other field as the device reported it.
    DCB expected = before;
    expected.BaudRate = c.rate, expected.ByteSize = 8, expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    EXPECT_EQ(memcmp(&line.dcb, &expected, sizeof expected), 0) << c.rate;
    ClosePort(port);
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(SerialPort, AFailedStepReportsTheErrorOfThatMomentAndClosesTheHandle) {
  const struct {
    const char* failing;
    bool closes;
  } cases[] = {{"CreateFileA", false}, {"GetCommState", true}, {"SetCommState", true},
               {"SetCommTimeouts", true}};
  for (const auto& c : cases) {
    fake::Reset();
    fake::AddSerialPort("com4");
    fake::FailCall(c.failing, 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(OpenPort(4, 9600), INVALID_HANDLE_VALUE) << c.failing;
    EXPECT_EQ(fake::Calls("FormatMessageA"),
              std::vector<std::string>{"FormatMessageA(0x1100, null, 31, 0x400, 0, null)"});
    EXPECT_EQ(fake::Calls("CloseHandle").size(), c.closes ? 1u : 0u) << c.failing;
    EXPECT_EQ(Breaches(), "") << c.failing;
  }
}

TEST_F(PortIo, ReadsTimeOutAsSuccessWithAShortCountAndAlwaysEndWithNul) {
  const struct {
    PortId port;
    std::string sent;
    DWORD at, n;
    DWORD status, count, elapsed;
  } cases[] = {
      {3, "", 0, 9, 0, 0, 10018},              // nothing: 10000 + 9 x 2 ms at 9600
      {3, "abcd", 0, 10, 0, 4, 1000},          // the interval time-out after the last byte
      {3, "Mivra-H2Pmore", 0, 9, 0, 9, 0},     // no more than asked for
      {3, "late", 12000, 9, 0, 0, 10018},      // after the total time-out
      {PORT_USB, "", 0, 9, 0, 0, 5000},        // the USB library's time-out, as success
      {PORT_USB, "ab", 0, 9, 0, 2, 5000},
      {0, "", 0, 9, PORT_STATUS_NO_PORT, 0, 0},
      {10, "", 0, 9, PORT_STATUS_NO_PORT, 0, 0},
  };
  for (const auto& c : cases) {
    fake::Reset();
    Handheld(c.port == PORT_USB ? PORT_USB : 3, c.sent, c.at);
    HANDLE handle = OpenPort(c.port == PORT_USB ? PORT_USB : 3, 9600);
    char buffer[64];
    memset(buffer, 'Z', sizeof buffer);
    DWORD count = 99;
    DWORD start = fake::Now();
    SCOPED_TRACE(testing::Message() << "port " << c.port << " " << c.sent);
    EXPECT_EQ(ReadPort(c.port, handle, buffer, c.n, &count), c.status);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(std::string(buffer), c.sent.substr(0, c.count));
    EXPECT_EQ(fake::Now() - start, c.elapsed);
    ClosePort(handle);
  }
}

TEST_F(UsbSearch, FindsTheHandheldOnTheAttemptItIsAttachedBefore) {
  const struct {
    int fromQuery;  // the device list appears from this query on; 0: never
    bool found;
    DWORD slept;
  } cases[] = {{1, true, 0}, {3, true, 2000}, {4, true, 3000}, {0, false, 20000}};
  for (const auto& c : cases) {
    fake::Reset();
    memset(usbDeviceName, 0, sizeof usbDeviceName);
    if (c.fromQuery) fake::AttachUsb(DEVICE_LIST, 2, c.fromQuery);
    EXPECT_EQ(WaitForUsbDevice(), c.found) << c.fromQuery;
    EXPECT_EQ(fake::Now(), c.slept) << c.fromQuery;
    EXPECT_EQ(fake::Calls("Sleep").size(), c.slept / 1000) << c.fromQuery;
    EXPECT_STREQ(usbDeviceName, c.found ? "PalmUSB0" : "");
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(UsbSearch, TakesTheFirstNameWithinBoundsOnly) {
  const struct {
    std::string list;
    DWORD count;
    bool found;
    std::string name;
  } cases[] = {
      {DEVICE_LIST, 2, true, "PalmUSB0"},
      {std::string(254, 'A'), 1, true, std::string(254, 'A')},  // no NUL in the list
      {std::string(255, 'A'), 1, true, ""},                     // list above 254 bytes
      {std::string("Short\0", 6) + std::string(249, 'x'), 1, true, ""},
      {std::string(300, 'A'), 1, true, ""},
      {DEVICE_LIST, 0, false, ""},
  };
  for (const auto& c : cases) {
    fake::Reset();
    memset(usbDeviceName, 'Z', sizeof usbDeviceName);
    fake::AttachUsb(c.list, c.count, 1);
    SCOPED_TRACE(c.list.size());
    EXPECT_EQ(WaitForUsbDevice(), c.found);
    std::string name(usbDeviceName, strnlen(usbDeviceName, sizeof usbDeviceName));
    EXPECT_TRUE(!c.found || name == c.name) << name;
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(UsbSearch, OpensTheFoundDeviceWithBothTimeoutsAtFifty) {
  fake::AttachUsb(DEVICE_LIST, 2, 1);
  HANDLE port = OpenPort(PORT_USB, 0);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake::Calls("PalmUsb"), (std::vector<std::string>{
      "PalmUsbGetAttachedDevices(null, 0)", "PalmUsbGetAttachedDevices(buffer, 16)",
      "PalmUsbOpenPort(\"PalmUSB0\", 0)", "PalmUsbSetTimeouts(usb, 50, 50)"}));
  ClosePort(port);
  EXPECT_EQ(fake::Calls("CloseHandle"), std::vector<std::string>{"CloseHandle(usb)"});
  EXPECT_EQ(Breaches(), "");
}
