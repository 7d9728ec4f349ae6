// libFuzzer target for number reading: any text, every mode, both languages.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstdlib>

#include "tests/fuzz/fuzz_numread_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size > 600 ? 600 : size);
  if (!numreadcheck::CheckNumberText(text).empty()) std::abort();
  return 0;
}
