// libFuzzer target for the voice append of play-to-file and number reading:
// WAVE heads of any shape must keep the output's header true to its data.
//   Build every library source with -fsanitize=address (operations/voice.cpp
//   with -fsanitize=fuzzer-no-link,address) into objects, then:
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address -I. tests/fuzz/fuzz_appendvoc.cpp OBJECTS \
//     -lasound -lodbc -lpcre2-8 -ldl -lpthread -o /tmp/fuzz_appendvoc
#include <cstdlib>

#include "tests/fuzz/fuzz_appendvoc_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!appendvoc::CheckAppendInput(data, size).empty()) std::abort();
  return 0;
}
