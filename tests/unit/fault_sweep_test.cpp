// The fault sweep: each scenario runs once to count its platform calls, then once more
// for every call, with that call failing. Whatever fails, what was opened is closed in
// reverse order, every block is freed or the clipboard's, HotSync Manager is started
// again exactly when the run stopped it, and the exit code is the one its path calls for.
#include <cstdio>
#include <functional>
#include <set>

#include "harness.h"

namespace {
struct Scenario {
  const char* name;
  std::function<void()> setup;
  std::vector<std::string> setQuilletArgs;  // empty with quillet set: a Quillet run
  bool quillet = false;
  bool serial = false;  // the stored rate decides the settings' validity
};

void Clipboard() { fake::SetClipboardText("line\r\nnext\r"); }

const Scenario SCENARIOS[] = {
    {"serial send", [] { StoreSettings(3, 9600); Handheld(3, "Mivra-H2P"); Clipboard(); }, {},
     true, true},
    {"serial receive",
     [] { StoreSettings(3, 9600); Handheld(3, "Mivra-P2H00000000005a\nbc\n"); Clipboard(); },
     {}, true, true},
    {"usb send", [] { StoreSettings(9, 0); Handheld(9, "Mivra-H2P"); Clipboard(); }, {}, true},
    {"usb receive, found on the third attempt", [] {
       StoreSettings(9, NO_RATE);
       Handheld(9, "Mivra-P2H00000000003x\ny");
       fake::AttachUsb(DEVICE_LIST, 2, 3);
     }, {}, true},
    {"serial receive refused",
     [] { StoreSettings(2, 2400); Handheld(2, "Mivra-P2H00000032767z"); }, {}, true, true},
    {"short text write, sync running", [] {
       StoreSettings(8, 115200);
       Handheld(8, "Mivra-H2P").writeCapacity = 12;
       fake::Hs().syncState = 1;
       Clipboard();
     }, {}, true, true},
    {"timeout", [] { StoreSettings(1, 4800); Handheld(1, "nonsense"); }, {}, true, true},
    {"invalid settings", [] { StoreSettings(3, 14400); }, {}, true, true},
    {"no such port", [] { StoreSettings(5, 9600); }, {}, true, true},
    {"no usb device", [] { StoreSettings(9, 0); }, {}, true},
    {"SetQuillet writes", [] { StoreSettings(9, 0); }, {"com5", "9600"}},
    {"SetQuillet creates", [] {}, {"usb"}},
    {"SetQuillet shows", [] { StoreSettings(5, 9600); }, {}},
    {"SetQuillet shows and writes", [] { StoreSettings(5, 9600); }, {"com3", "1234"}},
};

const std::set<std::string> MESSAGES = {
    "MessageBoxA(null, \"Registry values unset.\\nRun SetQuillet from console!\\n\", "
    "\"Quillet\", 0x10)",
    "MessageBoxA(null, \"Unable to shutdown HotSync Manager\", \"Quillet\", 0x10)",
    "MessageBoxA(null, \"HotSync in progress\", \"Quillet\", 0x30)",
    "MessageBoxA(null, \"Unable open to communication port\", \"Quillet\", 0x10)",
    "MessageBoxA(null, \"Timeout\", \"Quillet\", 0x10)",
    "MessageBoxA(null, \"Unable to write complete clipboard\", \"Quillet\", 0x10)",
    "MessageBoxA(null, \"Unable to restart HotSync Manager\", \"Quillet\", 0x10)",
};

bool Starts(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }
bool Has(const std::string& text, const std::string& part) { return text.find(part) != text.npos; }

// Runs the scenario; the exit code, and SetQuillet's output.
int RunScenario(const Scenario& s, std::string* output) {
  if (s.quillet) return RunTransfer();
  int exitCode = -1;
  *output = RunSetQuilletOutput(s.setQuilletArgs, &exitCode);
  return exitCode;
}

// Whether a failure of this call leaves Quillet without valid settings.
bool SpoilsSettings(const Scenario& s, const std::string& failed) {
  return Starts(failed, "RegOpen") ||
         (Starts(failed, "RegQueryValueExA") &&
          (Has(failed, "\"Port\"") || (s.serial && Has(failed, "\"Baudrate\""))));
}

void CheckQuilletRun(const Scenario& s, int baselineExit, const std::string& failed, int exit) {
  bool invalid = baselineExit == EXIT_INVALID_SETTINGS || SpoilsSettings(s, failed);
  EXPECT_EQ(exit, invalid ? EXIT_INVALID_SETTINGS : 0);
  if (invalid) {
    EXPECT_TRUE(fake::Calls("Hs").empty());
    EXPECT_TRUE(fake::Calls("CreateFileA").empty() && fake::Calls("PalmUsb").empty());
  }
  for (const std::string& box : fake::Calls("MessageBoxA")) {
    EXPECT_TRUE(MESSAGES.count(box) || Has(box, "-> failed")) << box;
  }
  for (const std::string& tone : fake::Calls("Beep")) EXPECT_TRUE(Starts(tone, "Beep(250, 300)"));
  EXPECT_LE(fake::Calls("Beep").size(), 1u);
}

void CheckSetQuilletRun(const std::string& failed, const std::string& output, int exit) {
  // Only a failed root open, key creation, value write or key close is printed, once.
  bool printed = Starts(failed, "RegOpenCurrentUser") || Starts(failed, "RegCreateKeyExA") ||
                 Starts(failed, "RegSetValueExA") || Starts(failed, "RegCloseKey");
  size_t lines = 0;
  for (size_t at = 0; (at = output.find("\nLastError: ", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, printed ? 1u : 0u) << output;
  EXPECT_EQ(exit, printed ? 1 : 0) << "a printed failure exits with 1, anything else with 0";
}
}  // namespace

TEST(FaultSweep, EveryCallOfEveryScenarioFailsInTurnAndNothingIsLeftOpen) {
  int swept = 0;
  std::string counts;
  for (const Scenario& s : SCENARIOS) {
    fake::Reset();
    memset(usbDeviceName, 0, sizeof usbDeviceName);
    s.setup();
    std::string output;
    int baselineExit = RunScenario(s, &output);
    int calls = fake::FallibleCalls();
    ASSERT_EQ(Breaches(), "") << s.name;
    ASSERT_TRUE(s.quillet || baselineExit == 0) << s.name << ": exit code " << baselineExit;
    counts += std::string("  ") + s.name + ": " + std::to_string(calls) + " calls\n";
    for (int n = 1; n <= calls; ++n) {
      fake::Reset();
      memset(usbDeviceName, 0, sizeof usbDeviceName);
      s.setup();
      fake::FailNthCall(n, ERROR_GEN_FAILURE);
      int exit = RunScenario(s, &output);
      std::vector<std::string> failed;
      for (const fake::Call& call : fake::Log()) {
        if (Has(call.text, "-> failed")) failed.push_back(call.text);
      }
      ASSERT_EQ(failed.size(), 1u) << s.name << ": call " << n << " was not reached";
      SCOPED_TRACE(std::string(s.name) + ", failing " + failed[0]);
      EXPECT_EQ(Breaches(), "");
      if (s.quillet) {
        CheckQuilletRun(s, baselineExit, failed[0], exit);
      } else {
        CheckSetQuilletRun(failed[0], output, exit);
      }
      ++swept;
    }
  }
  printf("FaultSweep: %zu scenarios, %d failing calls swept\n%s",
         sizeof SCENARIOS / sizeof SCENARIOS[0], swept, counts.c_str());
  EXPECT_GT(swept, 200);
}
