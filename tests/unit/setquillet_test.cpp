// SetQuillet: what it prints, byte for byte, and what it stores.
#include "harness.h"

using SetQuilletCommand = Fake;

namespace {
const std::string USAGE =
    "SetQuillet <port> [<baudrate>]\n"
    "   <port> ::= usb | com1..com8\n"
    "   <baudrate> ::= 2400..115200 (only for com1..com8)\n"
    " Current setting: ";
const std::string UNKNOWN = "unknown or no port set";
}  // namespace

TEST_F(SetQuilletCommand, PrintsAndStoresExactlyAsItsArgumentsSay) {
  const DWORD none = NO_RATE;
  const struct {
    std::vector<std::string> args;
    DWORD port, rate;  // stored before; port none: nothing stored
    std::string output, storedAfter;
  } cases[] = {
      {{"com5", "9600"}, none, 0, "", "5/9600"},
      {{"usb"}, none, 0, "", "9/0"},
      {{"usb"}, 3, 9600, "", "9/0"},
      {{"USB"}, none, 0, USAGE + UNKNOWN, "none"},
      {{"usb2"}, none, 0, USAGE + UNKNOWN, "none"},
      {{"com12", "9600"}, none, 0, "", "1/9600"},
      {{"com8", "115200"}, none, 0, "", "8/115200"},
      {{"com2", "2400"}, none, 0, "", "2/2400"},
      {{"com9", "9600"}, 9, 0, USAGE + "usb\n", "9/0"},
      {{"com0", "9600"}, none, 0, USAGE + UNKNOWN, "none"},
      {{"Com3", "9600"}, none, 0, USAGE + UNKNOWN, "none"},
      {{"com3", "9600abc"}, none, 0, "", "3/9600"},
      {{"com3", "1234"}, 9, 0, USAGE + "usb\n", "3/1234"},
      {{"com3", "14400"}, none, 0, USAGE + UNKNOWN, "3/14400"},
      {{"com3", "-5"}, 5, 9600, USAGE + "com5 with 9600 bps\n", "3/4294967291"},
      {{"com3", "abc"}, none, 0, USAGE + UNKNOWN, "3/0"},
      {{"com3", "99999999999"}, none, 0, USAGE + UNKNOWN, "3/2147483647"},
      {{"usb", "9600"}, none, 0, USAGE + UNKNOWN, "none"},
      {{"com5"}, none, 0, USAGE + UNKNOWN, "none"},
      {{"com5", "9600", "x"}, none, 0, USAGE + UNKNOWN, "none"},
      {{}, none, 0, USAGE + UNKNOWN, "none"},
      {{}, 5, 9600, USAGE + "com5 with 9600 bps\n", "5/9600"},
      {{}, 1, 2400, USAGE + "com1 with 2400 bps\n", "1/2400"},
      {{}, 3, 1234, USAGE + "com3 with illegal 1234 bps\n", "3/1234"},
      {{}, 3, 4294967291u, USAGE + "com3 with illegal -5 bps\n", "3/4294967291"},
      {{}, 3, 2147483647, USAGE + "com3 with illegal 2147483647 bps\n", "3/2147483647"},
      {{}, 9, 0, USAGE + "usb\n", "9/0"},
      {{}, 0, 0, USAGE + UNKNOWN, "0/0"},
      {{}, 10, 9600, USAGE + UNKNOWN, "10/9600"},
      {{}, 4, none, USAGE + "com4 with illegal 0 bps\n", "none"},
  };
  for (const auto& c : cases) {
    fake::Reset();
    if (c.port != none) StoreSettings(c.port, c.rate);
    std::string args;
    for (const std::string& arg : c.args) args += arg + " ";
    SCOPED_TRACE(args);
    EXPECT_EQ(RunSetQuilletOutput(c.args), c.output);
    EXPECT_EQ(StoredSettings(), c.storedAfter);
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(SetQuilletCommand, CreatesTheKeyPathAndWritesTwoDwords) {
  fake::SetDword("Software\\Other", "x", 1);  // Software exists; Dorvane is created
  RunSetQuilletOutput({"com2", "57600"});
  EXPECT_EQ(fake::Calls("Reg"), (std::vector<std::string>{
      "RegOpenCurrentUser(0xF003F)",
      "RegCreateKeyExA(HKCU, \"Software\", 0, null, 0, 0xF003F, null, null)",
      "RegCreateKeyExA(HKCU\\Software, \"Dorvane\", 0, null, 0, 0xF003F, null, null)",
      "RegCreateKeyExA(HKCU\\Software\\Dorvane, \"Quillet\", 0, null, 0, 0xF003F, null, null)",
      "RegSetValueExA(HKCU\\Software\\Dorvane\\Quillet, \"Port\", 0, 4, \"\\x02\\x00\\x00\\x00\", 4)",
      "RegSetValueExA(HKCU\\Software\\Dorvane\\Quillet, \"Baudrate\", 0, 4, \"\\x00\\xE1\\x00\\x00\", 4)",
      "RegCloseKey(HKCU\\Software\\Dorvane\\Quillet)", "RegCloseKey(HKCU\\Software\\Dorvane)",
      "RegCloseKey(HKCU\\Software)", "RegCloseKey(HKCU)"}));
  EXPECT_TRUE(fake::KeyExists("Software\\Other"));
}

// A printed failure is also the exit code 1, so that a script can tell; a silent one
// (a missing key shown as no setting) is not.
TEST_F(SetQuilletCommand, RegistryFailuresPrintTheSystemTextOncePerFailedCallAndExitWith1) {
  const std::string denied = "\nLastError: Access is denied.\r\n\n";
  const struct {
    std::vector<std::string> args;
    const char* failing;
    int occurrence;
    std::string output, storedAfter;
    int exitCode;
  } cases[] = {
      {{}, "RegOpenCurrentUser", 1, USAGE + denied + UNKNOWN, "5/9600", 1},
      {{}, "RegOpenKeyExA", 2, USAGE + UNKNOWN, "5/9600", 0},
      {{}, "RegQueryValueExA", 1, USAGE + UNKNOWN, "5/9600", 0},
      {{}, "RegCloseKey", 2, USAGE + denied + "com5 with 9600 bps\n", "5/9600", 1},
      {{"usb"}, "RegOpenCurrentUser", 1, denied, "5/9600", 1},
      {{"usb"}, "RegCreateKeyExA", 3, denied, "5/9600", 1},
      {{"usb"}, "RegSetValueExA", 1, denied, "5/0", 1},  // the second value is still written
      {{"usb"}, "RegSetValueExA", 2, denied, "9/9600", 1},
      {{"usb"}, "RegCloseKey", 1, denied, "9/0", 1},
      {{"com3", "1234"}, "RegOpenKeyExA", 1, USAGE + UNKNOWN, "3/1234", 0},
      {{"com3", "1234"}, "RegCloseKey", 1, USAGE + denied + "com5 with 9600 bps\n", "3/1234", 1},
  };
  for (const auto& c : cases) {
    fake::Reset();
    StoreSettings(5, 9600);
    fake::FailCall(c.failing, c.occurrence, ERROR_ACCESS_DENIED);
    SCOPED_TRACE(testing::Message() << c.failing << " #" << c.occurrence);
    int exitCode = -1;
    EXPECT_EQ(RunSetQuilletOutput(c.args, &exitCode), c.output);
    EXPECT_EQ(exitCode, c.exitCode);
    EXPECT_EQ(StoredSettings(), c.storedAfter);
    EXPECT_EQ(Breaches(), "");
  }
  // A code without a system text still names the failure.
  fake::Reset();
  int exitCode = -1;
  fake::FailCall("RegOpenCurrentUser", 1, 12345);
  EXPECT_EQ(RunSetQuilletOutput({"usb"}, &exitCode), "\nLastError: unknown error 12345\n");
  EXPECT_EQ(exitCode, 1);
}
