// libFuzzer target: the input bytes choose a pattern and a text from the
// syntax our engine shares with PCRE2; any difference in the groups aborts.
// Built and run by scripts/fuzz (the fuzz preset).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/regex/regex_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  regex_gen::Outcome o = regex_gen::DiffOne(data, size);
  if (!o.agree) {
    std::fprintf(stderr, "%s\n", o.detail.c_str());
    std::abort();
  }
  return 0;
}
