// The contract's platform: the scripted fake, on its virtual clock, "com1" a scripted line.
#include "contract.h"
#include "fake.h"

int platform = FAKE;
DWORD lateness = 0;
static DWORD lastStep;

void StartPlatform(void) {
  fake::Reset();
  fake::AddSerialPort("com1");
}

DWORD Milliseconds(void) { return fake::Now(); }

void PeerSends(const PeerStep* steps, int count) {
  for (int i = 0; i < count; ++i) {
    lastStep = fake::Now() + steps[i].at;
    fake::FindSerialPort("com1")->Send(lastStep, steps[i].bytes);
  }
}

void PeerFinish(void) {
  if (lastStep > fake::Now()) Sleep(lastStep - fake::Now());
}
