// libFuzzer target: raw bytes as modifier flags, pattern and text through the
// compiler, the search, successive searches and replacement, within limits.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//     tests/fuzz/fuzz_regex.cpp regex/*.cpp host/*.cpp platform/*.cpp -lpcre2-8 -o fuzz_regex
#include <cstddef>
#include <cstdint>

#include "tests/regex/regex_gen.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  regex_gen::FuzzOne(data, size);
  return 0;
}
