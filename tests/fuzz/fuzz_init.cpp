// What the program sets up at start, before any fuzz input runs.
#include "host/operations.h"
#include "lines/waveplay.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RegisterAllOperations();
  RegisterWavePlayer();
  return 0;
}
