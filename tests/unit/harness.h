// What the unit tests share: a clean fake machine per test, the stored setting, a
// handheld on the chosen port, and the checks every run must pass.
#ifndef QUILLET_TESTS_UNIT_HARNESS_H
#define QUILLET_TESTS_UNIT_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/setquillet.h"
#include "fake.h"
#include "transfer/transfer.h"

#define SETTINGS_KEY "Software\\Dorvane\\Quillet"
#define DEVICE_LIST std::string("PalmUSB0\0Other\0\0", 16)

class Fake : public ::testing::Test {
 protected:
  void SetUp() override;
};

// Stores Port (and Baudrate unless rate is NO_RATE) as SetQuillet would.
#define NO_RATE 0xDEADBEEF
void StoreSettings(DWORD port, DWORD rate);
// Makes the port exist (com1..com8, or an attached USB handheld) and has the handheld send
// bytes at virtual time at.
fake::Line& Handheld(PortId port, const std::string& bytes, DWORD at = 0);
// SetQuillet with these arguments; its standard output. Its exit code goes to *exitCode,
// or without exitCode must be 0.
std::string RunSetQuilletOutput(const std::vector<std::string>& args, int* exitCode = nullptr);
// Every rule a finished run must keep, as one text: empty when all hold.
std::string Breaches();
// The Port and Baudrate stored now, as "port/rate" ("none" when a value is missing).
std::string StoredSettings();

#endif  // QUILLET_TESTS_UNIT_HARNESS_H
