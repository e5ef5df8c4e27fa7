// The unit tests' shared setup and checks.
#include "harness.h"

#include <cstdio>
#include <cstring>

void Fake::SetUp() {
  fake::Reset();
  memset(usbDeviceName, 0, sizeof usbDeviceName);
}

void StoreSettings(DWORD port, DWORD rate) {
  fake::SetDword(SETTINGS_KEY, "Port", port);
  if (rate != NO_RATE) fake::SetDword(SETTINGS_KEY, "Baudrate", rate);
}

fake::Line& Handheld(PortId port, const std::string& bytes, DWORD at) {
  fake::Line* line = &fake::UsbLine();
  if (port == PORT_USB) {
    fake::AttachUsb(DEVICE_LIST, 2);
  } else {
    std::string name = "com" + std::to_string(port);
    line = fake::FindSerialPort(name);
    if (line == nullptr) line = &fake::AddSerialPort(name);
  }
  line->Send(at, bytes);
  return *line;
}

std::string RunSetQuilletOutput(const std::vector<std::string>& args, int* exitCode) {
  std::vector<std::string> strings = args;
  strings.insert(strings.begin(), "SetQuillet");
  std::vector<char*> argv;
  for (std::string& arg : strings) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int code = RunSetQuillet((int)strings.size(), argv.data());
  fflush(stdout);
  std::string output = testing::internal::GetCapturedStdout();
  if (exitCode != nullptr) *exitCode = code;
  EXPECT_TRUE(exitCode != nullptr || code == 0) << "exit code " << code;
  return output;
}

std::string Breaches() {
  std::string breaches;
  for (const std::string& violation : fake::Violations()) breaches += violation + "; ";
  for (const std::string& open : fake::OpenResources()) breaches += "left open: " + open + "; ";
  if (fake::LiveBlocks()) breaches += std::to_string(fake::LiveBlocks()) + " blocks live; ";
  if (fake::LockedBlocks()) breaches += std::to_string(fake::LockedBlocks()) + " blocks locked; ";
  if (fake::LiveErrorTexts()) breaches += "error text not released; ";
  return breaches;
}

std::string StoredSettings() {
  const fake::Value* port = fake::GetValue(SETTINGS_KEY, "Port");
  const fake::Value* rate = fake::GetValue(SETTINGS_KEY, "Baudrate");
  if (port == nullptr || rate == nullptr) return "none";
  if (port->type != REG_DWORD || rate->type != REG_DWORD || port->data.size() != 4 ||
      rate->data.size() != 4)
    return "malformed";
  DWORD p, r;
  memcpy(&p, port->data.data(), 4);
  memcpy(&r, rate->data.data(), 4);
  return std::to_string(p) + "/" + std::to_string(r);
}
