// Quillet's entry: no arguments, no window; the run's result is the exit code.
#include "transfer/transfer.h"

int main() { return RunTransfer(); }
