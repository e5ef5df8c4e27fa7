// Fuzzes SetQuillet on the fake platform: the input decides what the registry holds, which
// call fails, and the arguments. The output must be the usage with a setting, nothing, or
// LastError lines; what is stored must be exactly what the arguments ask for.
//
// Input: registry byte (bit 0 key path exists, bit 1 Port there, bit 2 Baudrate there,
// bits 3-4 and 5-6 the two values' forms), Port (4 bytes), Baudrate (4 bytes), failure of
// the Nth call (2 bytes), then the arguments separated by NUL bytes.
#include <cstring>
#include <regex>

#include "config/setquillet.h"
#include "fake.h"
#include "model.h"
#include "../contract/systemtexts.h"

namespace {

const char* const KEY = "Software\\Dorvane\\Quillet";
const DWORD FAILURE_CODES[4] = {ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE,
                                ERROR_REGISTRY_IO_FAILED};
const char* const USAGE =
    "SetQuillet <port> [<baudrate>]\n"
    "   <port> ::= usb | com1..com8\n"
    "   <baudrate> ::= 2400..115200 (only for com1..com8)\n"
    " Current setting: ";

struct Stored {
  bool keys[3];  // Software, Software\Dorvane, Software\Dorvane\Quillet
  bool has[2];
  fake::Value values[2];
};

const char* const VALUE_NAMES[2] = {PORT_VALUE_NAME, BAUDRATE_VALUE_NAME};

Stored Snapshot() {
  Stored s{};
  const char* paths[3] = {"Software", "Software\\Dorvane", KEY};
  for (int i = 0; i < 3; ++i) s.keys[i] = fake::KeyExists(paths[i]);
  for (int i = 0; i < 2; ++i) {
    const fake::Value* value = fake::GetValue(KEY, VALUE_NAMES[i]);
    s.has[i] = value != nullptr;
    if (value) s.values[i] = *value;
  }
  return s;
}

bool Same(const fake::Value& a, const fake::Value& b) { return a.type == b.type && a.data == b.data; }

fake::Value Dword(DWORD value) { return {REG_DWORD, std::string((const char*)&value, 4)}; }

// A value as a 4-byte query reads it: shorter data fills the low bytes; longer data does
// not fit and counts as not set.
DWORD AsRead(const Stored& s, int which) {
  if (!s.keys[2] || !s.has[which] || s.values[which].data.size() > 4) return 0;
  DWORD value = 0;
  memcpy(&value, s.values[which].data.data(), s.values[which].data.size());
  return value;
}

std::string SettingText(DWORD port, DWORD rate) {
  char text[64];
  if (port >= 1 && port <= 8) {
    snprintf(text, sizeof text, IsValidBaudRate(rate) ? "com%lu with %ld bps\n"
                                                      : "com%lu with illegal %ld bps\n",
             (unsigned long)port, (long)(int32_t)rate);
    return text;
  }
  return port == PORT_USB ? "usb\n" : "unknown or no port set";
}

// The system's texts for the codes the run may meet, and the stand-in for a code without
// one.
std::vector<std::string> ErrorTexts() {
  std::vector<std::string> texts;
  for (DWORD code : FAILURE_CODES) {
    for (const auto& known : SYSTEM_TEXTS) {
      if (known.code == code) texts.push_back(known.text);
    }
    texts.push_back("unknown error " + std::to_string(code));
  }
  return texts;
}

bool Take(const std::string& out, size_t* at, const std::string& part) {
  if (out.compare(*at, part.size(), part) != 0) return false;
  *at += part.size();
  return true;
}

// Consumes one LastError line at *at.
bool LastErrorLine(const std::string& out, size_t* at, const std::vector<std::string>& texts) {
  size_t from = *at;
  if (!Take(out, &from, "\nLastError: ")) return false;
  for (const std::string& text : texts) {
    size_t end = from;
    if (Take(out, &end, text + "\n")) return *at = end, true;
  }
  return false;
}

// Consumes one setting of any of the four forms at *at.
bool AnySetting(const std::string& out, size_t* at) {
  static const std::regex SETTING(
      "usb\n|unknown or no port set|com[1-8] with (illegal )?-?[0-9]+ bps\n");
  std::smatch found;
  if (!std::regex_search(out.begin() + *at, out.end(), found, SETTING,
                         std::regex_constants::match_continuous))
    return false;
  *at += found.length();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> texts = ErrorTexts();
  fake::Reset();
  model::Input in{data, size};
  uint8_t layout = in.Byte();
  std::string port = in.Bytes(4), rate = in.Bytes(4);
  if (layout & 1) {
    const DWORD types[4] = {REG_DWORD, 3, 11, 1};  // DWORD, binary, QWORD, string
    const size_t sizes[4] = {4, 2, 8, 4};
    for (int which = 0; which < 2; ++which) {
      if (!(layout & (2 << which))) continue;
      int form = (layout >> (3 + 2 * which)) & 3;
      std::string bytes = (which == 0 ? port : rate) + std::string(8, '\0');
      fake::SetValue(KEY, VALUE_NAMES[which], types[form], bytes.substr(0, sizes[form]));
    }
    if ((layout & 6) == 0) fake::SetValue(KEY, "Other", REG_DWORD, "abcd");
  }
  uint8_t nth = in.Byte() % 48, code = in.Byte();
  if (nth != 0) fake::FailNthCall(nth, FAILURE_CODES[code % 4]);

  std::vector<std::string> args = {"SetQuillet"};
  if (!in.Done()) {
    std::string rest = in.Bytes(size);
    for (size_t from = 0;; ) {
      size_t end = rest.find('\0', from);
      args.push_back(rest.substr(from, end - from));
      if (end == std::string::npos || args.size() > 5) break;
      from = end + 1;
    }
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  // What the rules say this run prints and stores.
  Stored before = Snapshot();
  bool usage = true, store = false;
  DWORD newPort = 0, newRate = 0;
  if (args.size() == 2 && args[1] == "usb") {
    usage = false, store = true, newPort = PORT_USB;
  } else if (args.size() == 3 && args[1].compare(0, 3, "com") == 0 && args[1].size() > 3 &&
             args[1][3] >= '1' && args[1][3] <= '8') {
    newPort = (DWORD)(args[1][3] - '0');
    newRate = (DWORD)model::Atoi(args[1 + 1]);
    usage = !IsValidBaudRate(newRate);
    store = true;
  }

  // The run, its standard output caught.
  char* captured = nullptr;
  size_t capturedSize = 0;
  FILE* console = stdout;
  stdout = open_memstream(&captured, &capturedSize);
  int exitCode = RunSetQuillet((int)args.size(), argv.data());
  fclose(stdout);
  stdout = console;
  std::string out(captured, capturedSize);
  free(captured);

  // Every failed open, create, write or close of the registry is reported, once.
  bool failed = false;
  int reportable = 0;
  for (const fake::Call& call : fake::Log()) {
    const std::string& text = call.text;
    bool failure = text.size() > 10 && text.compare(text.size() - 10, 10, " -> failed") == 0;
    failed |= failure;
    for (const char* name : {"RegOpenCurrentUser(", "RegCreateKeyExA(", "RegSetValueExA(", "RegCloseKey("}) {
      reportable += failure && text.compare(0, strlen(name), name) == 0;
    }
  }

  for (const std::string& v : fake::Violations()) fprintf(stderr, "violation: %s\n", v.c_str());
  EXPECT_THAT(fake::Violations().empty(), "the platform's rules were broken");
  EXPECT_THAT(fake::OpenResources().empty(), "a registry key was left open");
  EXPECT_THAT(fake::LiveErrorTexts() == 0, "an error text was not released");
  EXPECT_THAT(exitCode == (reportable > 0 ? 1 : 0),
              "exit code other than 1 after a printed registry failure, or 0 without one");

  // The output: [usage, LastError lines, a setting], then LastError lines.
  size_t at = 0;
  bool printedUsage = out.compare(0, strlen(USAGE), USAGE) == 0;
  EXPECT_THAT(printedUsage == usage, "usage printed when not due, or missing");
  if (printedUsage) {
    at = strlen(USAGE);
    while (LastErrorLine(out, &at, texts)) {}
    EXPECT_THAT(AnySetting(out, &at), "usage without a setting");
  }
  while (LastErrorLine(out, &at, texts)) {}
  EXPECT_THAT(at == out.size(), "output other than usage, setting and LastError lines");
  int lastErrors = 0;
  for (size_t at = 0; (at = out.find("\nLastError: ", at)) != std::string::npos; ++at) ++lastErrors;
  EXPECT_THAT(lastErrors == reportable, "a registry failure unreported, or reported twice");

  Stored after = Snapshot();
  if (!failed) {
    std::string expected =
        usage ? USAGE + SettingText(AsRead(before, 0), AsRead(before, 1)) : std::string();
    EXPECT_THAT(out == expected, "output differs from the rules'");
  }
  // Each value is what it was, or (when due) what was asked for; without failures exactly
  // the latter.
  DWORD asked[2] = {newPort, newRate};
  for (int which = 0; which < 2; ++which) {
    bool unchanged = after.has[which] == before.has[which] &&
                     (!after.has[which] || Same(after.values[which], before.values[which]));
    bool written = store && after.has[which] && Same(after.values[which], Dword(asked[which]));
    EXPECT_THAT(unchanged || written, "a value holds what was not asked for");
    if (!failed && store) EXPECT_THAT(written, "a value was not stored");
  }
  if (!store) {
    for (int i = 0; i < 3; ++i) EXPECT_THAT(after.keys[i] == before.keys[i], "a key was created");
  }
  return 0;
}
