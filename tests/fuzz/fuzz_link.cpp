// Fuzzes one whole run of Quillet on the fake platform: the input decides the stored
// setting, HotSync Manager's state, the clipboard, everything the handheld sends and when,
// how much the handheld takes, and which read (or any other call) fails. After the run
// nothing may be left open or allocated, and the clipboard and the wire must hold exactly
// what the rules give for what arrived.
//
// Input: port byte, HotSync byte, write capacity, read failure (2 bytes), failure of the
// Nth call (2 bytes), clipboard text (length byte + 1, then the bytes; 0: no text), then
// the handheld's bytes as chunks of (pause in 50 ms units, length, bytes).
#include <cstring>

#include "fake.h"
#include "model.h"
#include "transfer/transfer.h"

namespace {

const DWORD FAILURE_CODES[4] = {ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                                ERROR_DEVICE_NOT_CONNECTED};
const char* const SETTINGS_KEY = "Software\\Dorvane\\Quillet";

struct Script {
  bool usb;
  PortId port;
  DWORD baudRate;
  bool validSettings;
  bool hasClipboard;
  std::string clipboard;  // the clipboard's block, without its NUL
  bool failed;            // a call was made to fail
  DWORD capacity;         // bytes the handheld takes; 0xFFFFFFFF: all
};

Script Load(model::Input& in) {
  Script s{};
  uint8_t portByte = in.Byte();
  s.usb = portByte & 1;
  s.port = s.usb ? PORT_USB : 1 + ((portByte >> 1) & 7);
  uint8_t rateIndex = (portByte >> 4) & 7;
  s.baudRate = rateIndex < VALID_BAUD_RATE_COUNT ? VALID_BAUD_RATES[rateIndex] : 14400;
  s.validSettings = s.usb || rateIndex < VALID_BAUD_RATE_COUNT;
  fake::SetDword(SETTINGS_KEY, PORT_VALUE_NAME, s.port);
  fake::SetDword(SETTINGS_KEY, BAUDRATE_VALUE_NAME, s.baudRate);

  uint8_t hotSync = in.Byte();
  fake::Hs().apiStatus = hotSync & 1;
  fake::Hs().syncState = (hotSync >> 1) & 1;
  fake::messageOkDelay = (hotSync >> 2) & 1 ? 3000 : 0;
  fake::Line& line = s.usb ? fake::UsbLine() : fake::AddSerialPort("com" + std::to_string(s.port));
  if (s.usb) fake::AttachUsb(std::string("usb0\0", 5), 1, (hotSync >> 3) & 3);

  uint8_t capacity = in.Byte();
  s.capacity = capacity & 0x80 ? capacity & 0x7F : 0xFFFFFFFF;
  line.writeCapacity = s.capacity;

  uint8_t readFailure = in.Byte(), readCode = in.Byte(), nth = in.Byte(), nthCode = in.Byte();
  if (readFailure != 0) {
    fake::FailCall(s.usb ? "PalmUsbReceiveBytes" : "ReadFile", 1 + (readFailure - 1) % 4,
                   FAILURE_CODES[readCode % 4]);
  }
  if (nth != 0) fake::FailNthCall(nth, FAILURE_CODES[nthCode % 4]);

  uint8_t clipboardLength = in.Byte();
  s.hasClipboard = clipboardLength != 0;
  if (s.hasClipboard) {
    s.clipboard = in.Bytes(clipboardLength - 1u) + '\0';
    fake::SetClipboardText(s.clipboard.substr(0, s.clipboard.size() - 1));
    s.clipboard = fake::ClipboardBytes();
  }

  DWORD at = 0;
  while (!in.Done()) {
    at += in.Byte() * 50u;
    line.Send(at, in.Bytes(in.Byte()));
  }
  return s;
}

int Count(const std::string& prefix) { return (int)fake::Calls(prefix).size(); }

// What must hold after every run, whatever failed.
void CheckNothingLeft(const Script& s, int exitCode) {
  for (const std::string& v : fake::Violations()) fprintf(stderr, "violation: %s\n", v.c_str());
  EXPECT_THAT(fake::Violations().empty(), "the platform's rules were broken");
  EXPECT_THAT(fake::OpenResources().empty(), "a key, port or the clipboard was left open");
  EXPECT_THAT(fake::LiveBlocks() == 0, "a memory block was neither freed nor handed over");
  EXPECT_THAT(fake::LockedBlocks() == 0, "a memory block was left locked");
  EXPECT_THAT(fake::LiveErrorTexts() == 0, "an error text was not released");
  EXPECT_THAT(exitCode == 0 || exitCode == EXIT_INVALID_SETTINGS, "unknown exit code");
  int shutdowns = Count("HsSetAppStatus(0, 0)") - Count("HsSetAppStatus(0, 0) -> failed");
  EXPECT_THAT(shutdowns <= 1, "HotSync Manager shut down twice");
  EXPECT_THAT(Count("HsSetAppStatus(1, 0)") == shutdowns,
              "HotSync Manager not restarted exactly when this run stopped it");
  if (exitCode == EXIT_INVALID_SETTINGS) {
    EXPECT_THAT(Count("Hs") == 0 && Count("CreateFileA") == 0 && Count("PalmUsb") == 0,
                "invalid settings, yet HotSync Manager or a port was touched");
  }
  if (!s.failed) {
    EXPECT_THAT((exitCode == 0) == s.validSettings, "exit code does not follow the settings");
  }
}

void CheckTransfer(const Script& s, const fake::Line& line) {
  const std::string& incoming = line.incoming;
  size_t consumed = line.consumed;
  std::string command = model::UpToNul(incoming.substr(0, std::min<size_t>(consumed, COMMAND_SIZE)));
  bool commandRead = Count("ReadFile(") + Count("PalmUsbReceiveBytes(") > 0;
  bool receive = consumed >= COMMAND_SIZE && command == RECEIVE_COMMAND;
  bool send = consumed >= COMMAND_SIZE && command == SEND_COMMAND;

  // Reads never go past what the protocol allows.
  if (!receive) EXPECT_THAT(consumed <= COMMAND_SIZE, "read past the command word");

  // ---- Handheld to host ----
  std::string after = fake::ClipboardHasText() ? fake::ClipboardBytes() : std::string();
  bool changed = fake::ClipboardHasText() != s.hasClipboard || after != s.clipboard;
  std::string text;
  bool textArrived = false;
  if (receive && consumed >= COMMAND_SIZE + LENGTH_FIELD_SIZE) {
    int64_t length = model::Atoi(model::UpToNul(incoming.substr(COMMAND_SIZE, LENGTH_FIELD_SIZE)));
    bool lengthValid = length >= 1 && length <= MAX_INCOMING_TEXT;
    size_t textBytes = consumed - COMMAND_SIZE - LENGTH_FIELD_SIZE;
    if (!lengthValid) EXPECT_THAT(textBytes == 0, "read a text after a refused length");
    EXPECT_THAT((int64_t)textBytes <= (lengthValid ? length : 0), "read past the text");
    text = model::UpToNul(incoming.substr(COMMAND_SIZE + LENGTH_FIELD_SIZE, textBytes));
    textArrived = lengthValid && textBytes > 0;
  } else if (receive) {
    EXPECT_THAT(consumed <= COMMAND_SIZE + LENGTH_FIELD_SIZE, "read past the length field");
  }
  bool converted = fake::ClipboardHasText() && after == model::Expand(text) + '\0';
  if (changed) {
    EXPECT_THAT(textArrived, "the clipboard changed without a text from the handheld");
    // A failed allocation leaves the receive buffer's text unconverted; a failed hand-over
    // leaves the clipboard empty.
    bool allowedByFailure =
        s.failed && (model::UpToNul(after) == text || !fake::ClipboardHasText());
    EXPECT_THAT(converted || allowedByFailure, "the clipboard holds other than the text");
  }
  if (receive) {
    EXPECT_THAT(Count("Beep(250, 300)") == 0 || fake::ClipboardHasText(),
                "the tone sounded for a text the clipboard did not take");
  }
  if (textArrived && !s.failed) {
    EXPECT_THAT(converted, "a text that arrived did not reach the clipboard");
    EXPECT_THAT(Count("Beep(250, 300)") == 1, "a text arrived without the tone");
  }

  // ---- Host to handheld ----
  const std::string& written = line.written;
  std::string stripped = model::Strip(model::UpToNul(s.clipboard));
  std::string wire = stripped.empty() ? "" : model::LengthField(stripped.size()) + stripped;
  if (send) {
    EXPECT_THAT(written == wire.substr(0, written.size()), "sent other than length and text");
    EXPECT_THAT(!changed, "sending changed the clipboard");
    if (!s.failed && !wire.empty()) {
      size_t expected = std::min<size_t>(wire.size(), s.capacity);
      EXPECT_THAT(written.size() == expected, "the text was not sent");
      bool complete = expected == wire.size();
      bool textShort = !complete && expected >= LENGTH_FIELD_SIZE;
      EXPECT_THAT((Count("Beep(250, 300)") == 1) == complete, "tone without a whole text");
      EXPECT_THAT((Count("MessageBoxA(null, \"Unable to write complete clipboard\"") == 1) ==
                      textShort,
                  "a short text write went unreported, or a whole one was");
    }
  } else {
    EXPECT_THAT(written.empty(), "sent without being asked");
  }

  // ---- Neither ----
  if (!s.failed && commandRead && !send && !receive) {
    EXPECT_THAT(Count("MessageBoxA(null, \"Timeout\"") == 1, "no Timeout for a wrong command");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fake::Reset();
  model::Input in{data, size};
  Script s = Load(in);
  int exitCode = RunTransfer();
  // Only a failure that happened weakens the checks, not one that was set up and not met.
  static const bool trace = getenv("QUILLET_FUZZ_TRACE") != nullptr;
  for (const fake::Call& call : fake::Log()) {
    const std::string& text = call.text;
    s.failed |= text.size() > 10 && text.compare(text.size() - 10, 10, " -> failed") == 0;
    if (trace) fprintf(stderr, "%6lu %s\n", (unsigned long)call.time, text.c_str());
  }
  CheckNothingLeft(s, exitCode);
  const fake::Line& line = s.usb ? fake::UsbLine() : *fake::FindSerialPort("com" + std::to_string(s.port));
  CheckTransfer(s, line);
  return 0;
}
