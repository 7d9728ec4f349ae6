// libFuzzer target for the WAVE readers: ReadVoiceData, speech segments over
// what it read, and the player's layout.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstdlib>

#include "tests/fuzz/fuzz_wave_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!CheckWaveInput(data, size).empty()) std::abort();
  return 0;
}
