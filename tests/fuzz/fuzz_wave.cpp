// libFuzzer target for the WAVE readers: ReadVoiceData, speech segments over
// what it read, and the player's layout.
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. tests/fuzz/fuzz_wave.cpp \
//     lines/voccodec.cpp lines/vocfile.cpp lines/vocedit.cpp lines/waveplay.cpp \
//     platform/*.cpp host/log.cpp host/runcfg.cpp host/cpumeter.cpp -lasound -o /tmp/fuzz_wave
#include <cstdlib>

#include "tests/fuzz/fuzz_wave_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!CheckWaveInput(data, size).empty()) std::abort();
  return 0;
}
