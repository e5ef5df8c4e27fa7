// The contract between the programs and the platform: what each platform build of the
// cases (contract.cpp) provides, and the one check macro they all use.
#ifndef QUILLET_TESTS_CONTRACT_H
#define QUILLET_TESTS_CONTRACT_H

#include <cstdio>
#include <cstring>

#include "winapi.h"

// Which platform answers. A known difference skips its check there, and only there.
enum { FAKE = 1, LINUX = 2, WINE = 4, WINDOWS = 8 };
extern int platform;
// Real platforms wait real time: a wait may end this much later than the rule says.
extern DWORD lateness;

// Called once before the cases: no stored setting, the serial port "com1" with a peer at
// its far end, and a clipboard to use; a run that does not end fails within its own bound.
void StartPlatform(void);
DWORD Milliseconds(void);
// The peer sends each step's bytes at its time (ms from now), in the background.
struct PeerStep {
  DWORD at;
  const char* bytes;
};
void PeerSends(const PeerStep* steps, int count);
void PeerFinish(void);  // returns once every step has been sent

extern int failures;
void Failed(const char* file, int line, const char* what, const char* detail);

#define CHECK(condition) \
  ((condition) ? (void)0 : Failed(__FILE__, __LINE__, #condition, ""))
// Both as unsigned numbers.
#define CHECK_EQ(expected, actual)                                                      \
  do {                                                                                  \
    unsigned long e_ = (unsigned long)(expected), a_ = (unsigned long)(actual);        \
    char d_[64];                                                                        \
    snprintf(d_, sizeof d_, ": expected %lu, got %lu", e_, a_);                         \
    if (e_ != a_) Failed(__FILE__, __LINE__, #actual, d_);                              \
  } while (0)
// Skips the check that follows on the platforms named, whose difference the line above
// says.
#define EXCEPT_ON(platforms) if (!(platform & (platforms)))

#endif  // QUILLET_TESTS_CONTRACT_H
