// libFuzzer target for the voice append of play-to-file and number reading:
// WAVE heads of any shape must keep the output's header true to its data.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. tests/fuzz/fuzz_appendvoc.cpp \
//     operations/voice.cpp operations/argread.cpp operations/callctl.cpp operations/keys.cpp \
//     operations/voicecfg.cpp operations/playnumber.cpp operations/numread.cpp lines/*.cpp \
//     engine/*.cpp host/log.cpp host/runcfg.cpp host/cpumeter.cpp host/monitor.cpp platform/*.cpp \
//     -lasound -o /tmp/fuzz_appendvoc
#include <cstdlib>

#include "tests/fuzz/fuzz_appendvoc_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!appendvoc::CheckAppendInput(data, size).empty()) std::abort();
  return 0;
}
