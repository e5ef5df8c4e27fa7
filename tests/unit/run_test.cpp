// Whole runs of Quillet on the fake: the bytes on the wire, the clipboard, the messages,
// the tone, HotSync Manager, and the order in which things happen.
#include <algorithm>
#include <fstream>

#include "harness.h"

using Transfer = Fake;
using HotSyncControl = Fake;
using RunOrder = Fake;

namespace {
std::string Box(const std::string& text, int icon) {
  return "MessageBoxA(null, \"" + text + "\", \"Quillet\", " + (icon == 0x10 ? "0x10)" : "0x30)");
}
const std::string TIMEOUT = Box("Timeout", 0x10);
const std::string UNSET = Box("Registry values unset.\\nRun SetQuillet from console!\\n", 0x10);
const std::string NO_PORT = Box("Unable open to communication port", 0x10);
const std::string SHORT_WRITE = Box("Unable to write complete clipboard", 0x10);
const std::string NO_TEXT = "(none)";
std::string Bytes(const char* bytes, size_t n) { return std::string(bytes, n); }
}  // namespace

TEST_F(Transfer, EachCommandMovesOneTextByteExact) {
  const std::string big(32766, 'x');
  const struct {
    const char* name;
    PortId port;
    const char* clipboard;  // null: no text on the clipboard
    std::string incoming;   // what the handheld sends
    std::string wire;       // what Quillet must send
    std::string clipboardAfter;
    std::vector<std::string> messages;
    int tones;
    const char* failing = "";  // a call that fails, and on which occurrence
    int occurrence = 0;
    DWORD writeCapacity = ~0u;
  } cases[] = {
      {"send", 3, "a\r\nb\rc\n", "Mivra-H2P", "00000000006a\nb\rc\n", "a\r\nb\rc\n", {}, 1},
      {"send over usb", 9, "x\r\n", "Mivra-H2P", "00000000002x\n", "x\r\n", {}, 1},
      {"send a lone CR LF", 3, "\r\n", "Mivra-H2P", "00000000001\n", "\r\n", {}, 1},
      {"send nothing", 3, nullptr, "Mivra-H2P", "", "", {}, 0},
      {"send empty", 3, "", "Mivra-H2P", "", "", {}, 0},
      {"more than nine", 3, "t", "Mivra-H2PXYZ", "00000000001t", "t", {}, 1},
      {"short text write", 3, "a\r\nb\rc\n", "Mivra-H2P", "00000000006a\n", "a\r\nb\rc\n",
       {SHORT_WRITE}, 0, "", 0, 13},
      {"short field write", 3, "abc", "Mivra-H2P", "00000", "abc", {}, 0, "", 0, 5},
      {"receive", 3, "old", "Mivra-P2H00000000005a\nbc\n", "", "a\r\nbc\r\n", {}, 1},
      {"receive over usb", 9, "old", "Mivra-P2H00000000002a\n", "", "a\r\n", {}, 1},
      {"receive CR LF", 3, "old", "Mivra-P2H00000000004x\r\ny", "", "x\r\r\ny", {}, 1},
      {"receive the most", 3, "old", "Mivra-P2H00000032766" + big, "", big, {}, 1},
      {"receive blank-led", 3, "old", "Mivra-P2H 0000000003abc", "", "abc", {}, 1},
      {"receive short", 3, "old", "Mivra-P2H00000000010abcd", "", "abcd", {}, 1},
      {"receive NUL", 3, "old", Bytes("Mivra-P2H00000000005ab\0cd", 25), "", "ab", {}, 1},
      {"NUL ends the field", 3, "old", Bytes("Mivra-P2H5\0" "000000000abcdef", 26), "", "abcde",
       {}, 1},
      {"one too many", 3, "old", "Mivra-P2H00000032767x", "", "old", {}, 0},
      {"zero", 3, "old", "Mivra-P2H00000000000", "", "old", {}, 0},
      {"letters", 3, "old", "Mivra-P2Habcdefghijkx", "", "old", {}, 0},
      {"negative", 3, "old", "Mivra-P2H-0000000005abcde", "", "old", {}, 0},
      {"overflow", 3, "old", "Mivra-P2H99999999999x", "", "old", {}, 0},
      {"wraps in 32 bits", 3, "old", "Mivra-P2H04294967297x", "", "old", {}, 0},
      {"short field", 3, "old", "Mivra-P2H0000", "", "old", {}, 0},
      {"no text", 3, "old", "Mivra-P2H00000000005", "", "old", {}, 0},
      {"other case", 3, "old", "mivra-h2p", "", "old", {TIMEOUT}, 0},
      {"silence", 3, "old", "", "", "old", {TIMEOUT}, 0},
      {"silence on usb", 9, "old", "", "", "old", {TIMEOUT}, 0},
      {"incomplete", 3, "old", "Mivra-H2", "", "old", {TIMEOUT}, 0},
      {"read error on usb", 9, "old", "Mivra-H2P", "", "old", {}, 0, "PalmUsbReceiveBytes", 1},
      {"no buffer", 3, "x", "Mivra-H2P", "", "x", {}, 0, "GlobalLock", 1},
      {"no clipboard handle", 3, "x", "Mivra-H2P", "", "x", {}, 0, "GetClipboardData", 1},
      {"clipboard unlockable", 3, "x", "Mivra-H2P", "", "x", {}, 0, "GlobalLock", 2},
      {"text write error", 3, "x", "Mivra-H2P", "00000000001", "x", {}, 0, "WriteFile", 2},
      {"clipboard busy", 3, "old", "Mivra-P2H00000000001a", "", "old", {}, 0, "OpenClipboard", 1},
      // The clipboard was emptied, and no tone says the text is there.
      {"hand-over refused", 3, "old", "Mivra-P2H00000000001a", "", NO_TEXT, {}, 0,
       "SetClipboardData", 1},
  };
  for (const auto& c : cases) {
    fake::Reset();
    SCOPED_TRACE(c.name);
    StoreSettings(c.port, 9600);
    fake::Line& line = Handheld(c.port, c.incoming);
    line.writeCapacity = c.writeCapacity;
    if (c.clipboard) fake::SetClipboardText(c.clipboard);
    if (c.occurrence) fake::FailCall(c.failing, c.occurrence, ERROR_GEN_FAILURE);
    EXPECT_EQ(RunTransfer(), 0);
    EXPECT_EQ(line.written, c.wire);
    // Compares the whole block: the clipboard's own text is never altered in place.
    EXPECT_EQ(fake::ClipboardBytes(),
              c.clipboard && c.clipboardAfter != NO_TEXT ? c.clipboardAfter + '\0' : "");
    EXPECT_EQ(fake::Calls("MessageBoxA"), c.messages);
    EXPECT_EQ(fake::Calls("Beep"), std::vector<std::string>(c.tones, "Beep(250, 300)"));
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(Transfer, InvalidSettingsEndTheRunWithFiveAndTouchNothingElse) {
  for (DWORD port : {0u, 10u, 3u}) {
    fake::Reset();
    StoreSettings(port, 14400);
    Handheld(3, "Mivra-H2P");
    EXPECT_EQ(RunTransfer(), EXIT_INVALID_SETTINGS);
    EXPECT_EQ(fake::Calls("MessageBoxA"), std::vector<std::string>{UNSET});
    EXPECT_TRUE(fake::Calls("Hs").empty());
    EXPECT_TRUE(fake::Calls("CreateFileA").empty());
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(Transfer, APortThatCannotBeOpenedIsReportedAndHotSyncRestarted) {
  for (PortId port : {4u, 9u}) {  // com4 does not exist; no handheld on USB
    fake::Reset();
    StoreSettings(port, 19200);
    EXPECT_EQ(RunTransfer(), 0);
    EXPECT_EQ(fake::Calls("MessageBoxA"), std::vector<std::string>{NO_PORT});
    EXPECT_EQ(fake::Now(), port == PORT_USB ? 20000u : 0u);  // the whole USB search
    // With no device found, the open is still tried, with the empty name.
    EXPECT_EQ(fake::Calls("PalmUsbOpenPort"),
              std::vector<std::string>(port == PORT_USB, "PalmUsbOpenPort(\"\", 0)"));
    EXPECT_EQ(fake::Calls("HsSetAppStatus(1, 0)").size(), 1u);
    EXPECT_EQ(Breaches(), "");
  }
}

TEST_F(HotSyncControl, OnlyARunThatStoppedHotSyncStartsItAgain) {
  const std::string shutdown = Box("Unable to shutdown HotSync Manager", 0x10);
  const std::string API = "HsCheckApiStatus()", SYNC = "HsGetSyncStatus()", FAILED = " -> failed",
                    STOP = "HsSetAppStatus(0, 0)", START = "HsSetAppStatus(1, 0)";
  const struct {
    const char* name;
    LONG apiStatus;
    DWORD syncState;
    const char* failing;  // HotSync call that fails
    int occurrence;
    std::vector<std::string> hsCalls, messages;
  } cases[] = {
      {"normal", 0, 0, "", 0, {API, SYNC, STOP, START}, {}},
      {"no HotSync", 1, 0, "", 0, {API}, {}},
      {"status query fails", 0, 0, "HsGetSyncStatus", 1, {API, SYNC + FAILED}, {shutdown}},
      {"sync running", 0, 1, "", 0, {API, SYNC}, {Box("HotSync in progress", 0x30)}},
      {"shutdown fails", 0, 0, "HsSetAppStatus", 1, {API, SYNC, STOP + FAILED}, {shutdown}},
      {"restart fails", 0, 0, "HsSetAppStatus", 2, {API, SYNC, STOP, START + FAILED},
       {Box("Unable to restart HotSync Manager", 0x10)}},
  };
  for (const auto& c : cases) {
    fake::Reset();
    SCOPED_TRACE(c.name);
    StoreSettings(2, 9600);
    Handheld(2, "Mivra-P2H00000000001z");
    fake::Hs().apiStatus = c.apiStatus;
    fake::Hs().syncState = c.syncState;
    if (c.occurrence) fake::FailCall(c.failing, c.occurrence, 99);
    EXPECT_EQ(RunTransfer(), 0);
    EXPECT_EQ(fake::Calls("Hs"), c.hsCalls);
    EXPECT_EQ(fake::Calls("MessageBoxA"), c.messages);
    EXPECT_EQ(fake::ClipboardBytes(), std::string("z\0", 2));  // the transfer went ahead
    EXPECT_EQ(Breaches(), "");
  }
}

namespace {
size_t IndexOf(const std::string& prefix, bool last = false) {
  const auto& log = fake::Log();
  size_t found = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].text.compare(0, prefix.size(), prefix) == 0) {
      found = i;
      if (!last) break;
    }
  }
  return found;
}
}  // namespace

TEST_F(RunOrder, SettingsThenShutdownThenOpenThenCloseThenRestart) {
  StoreSettings(6, 38400);
  Handheld(6, "Mivra-P2H00000000001z");
  RunTransfer();
  EXPECT_LT(IndexOf("Reg", true), IndexOf("Hs"));
  EXPECT_LT(IndexOf("HsSetAppStatus(0"), IndexOf("CreateFileA"));
  // The port is opened the moment the shutdown request returns.
  EXPECT_EQ(fake::Log()[IndexOf("CreateFileA")].time, fake::Log()[IndexOf("HsSetAppStatus(0")].time);
  EXPECT_LT(IndexOf("CloseClipboard"), IndexOf("CloseHandle"));
  EXPECT_LT(IndexOf("CloseHandle"), IndexOf("HsSetAppStatus(1"));
  EXPECT_LT(IndexOf("HsSetAppStatus(1"), fake::Log().size());
}

TEST_F(RunOrder, NothingHappensWhileAMessageWaitsForItsOk) {
  // The user reads the warning for 15 s; the handheld sends at 20 s. The command word's
  // time-out starts only after OK, so the text still arrives.
  for (const char* failing : {"", "HsGetSyncStatus"}) {
    fake::Reset();
    fake::messageOkDelay = 15000;
    fake::Hs().syncState = *failing ? 0 : 1;
    if (*failing) fake::FailCall(failing, 1, 99);
    StoreSettings(1, 115200);
    Handheld(1, "Mivra-P2H00000000002ok", 20000);
    RunTransfer();
    size_t box = IndexOf("MessageBoxA");
    ASSERT_LT(box + 1, fake::Log().size());
    EXPECT_LT(box, IndexOf("CreateFileA"));
    EXPECT_EQ(fake::Log()[box + 1].time, fake::Log()[box].time + 15000);
    EXPECT_EQ(fake::ClipboardBytes(), std::string("ok\0", 3)) << failing;
    EXPECT_EQ(Breaches(), "");
  }
}

// The documents quote the programs' texts; a text changed on one side only would send a
// user looking for a message that never shows.
using Documentation = Fake;

namespace {
std::string SourceFile(const std::string& path) {
  std::ifstream file(QUILLET_SOURCE_DIR "/" + path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}
size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}
// text as a document writes it: each line between open and close, each line end as lineEnd.
std::string Written(const std::string& text, const std::string& open, const std::string& close,
                    const std::string& lineEnd) {
  std::string written;
  for (size_t start = 0; start < text.size();) {
    size_t end = std::min(text.find('\n', start), text.size());
    if (end > start) written += open + text.substr(start, end - start) + close;
    if (end < text.size()) written += lineEnd;
    start = end + 1;
  }
  return written;
}
}  // namespace

TEST_F(Documentation, QuotesEveryMessageAsTheProgramsWriteIt) {
  const std::string table = SourceFile("docs/troubleshooting.md");
  const std::string manual = SourceFile("resources/linux/Quillet.1");
  const size_t diagnostics = manual.find(".SH DIAGNOSTICS");
  ASSERT_NE(diagnostics, std::string::npos);
  const std::string section = manual.substr(diagnostics, manual.find("\n.SH ", diagnostics) - diagnostics);
  const char* messages[] = {MESSAGE_SETTINGS_UNSET, MESSAGE_SHUTDOWN_FAILED, MESSAGE_SYNC_IN_PROGRESS,
                            MESSAGE_PORT_FAILED,    MESSAGE_TIMEOUT,         MESSAGE_INCOMPLETE_WRITE,
                            MESSAGE_RESTART_FAILED};
  for (const char* message : messages) {
    SCOPED_TRACE(message);
    // A table row's first cell: each line a code span, each line end <br>.
    EXPECT_EQ(Count(table, "\n| " + Written(message, "`", "`", "<br>") + " |"), 1u);
    // The man page: each line a .B request, each line end .br, then the indented remedy.
    EXPECT_EQ(Count(section, "\n.PP\n" + Written(message, ".B ", "\n", ".br\n") + ".RS\n"), 1u);
  }
  // Nothing quoted that the program no longer says.
  EXPECT_EQ(Count(table, "\n| `"), 7u);
  EXPECT_EQ(Count(section, "\n.RS\n"), 7u);

  // SetQuillet's page shows its usage and a LastError line as a terminal shows them.
  const std::string setquillet = SourceFile("resources/linux/SetQuillet.1");
  std::string usage = RunSetQuilletOutput({});
  fake::Reset();
  fake::FailCall("RegOpenCurrentUser", 1, ERROR_ACCESS_DENIED);
  int exitCode = 0;
  std::string failure = RunSetQuilletOutput({"usb"}, &exitCode);
  for (std::string output : {usage, failure}) {
    output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
    if (output.back() != '\n') output += '\n';
    EXPECT_EQ(Count(setquillet, "\n.nf\n" + output + ".fi\n"), 1u) << output;
  }
}
