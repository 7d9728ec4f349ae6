// libFuzzer target for the voice append of play-to-file and number reading:
// WAVE heads of any shape must keep the output's header true to its data.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstdlib>

#include "tests/fuzz/fuzz_appendvoc_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!appendvoc::CheckAppendInput(data, size).empty()) std::abort();
  return 0;
}
