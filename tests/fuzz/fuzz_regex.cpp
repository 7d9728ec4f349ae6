// libFuzzer target: raw bytes as modifier flags, pattern and text through the
// compiler, the search, successive searches and replacement, within limits.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstddef>
#include <cstdint>

#include "tests/regex/regex_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  regex_gen::FuzzOne(data, size);
  return 0;
}
