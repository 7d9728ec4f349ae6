// What the program sets up at start, before any fuzz input runs.
#include "engine/call.h"
#include "host/operations.h"
#include "lines/waveplay.h"
#include "operations/argread.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  RegisterAllOperations();
  RegisterWavePlayer();
  SetDllCallHandler(&RunDllCall);
  return 0;
}
