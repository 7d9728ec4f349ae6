#pragma once
// The checks the voice-append fuzz target runs on one input; a unit test runs
// the same function over a fixed corpus.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "operations/voice.h"

namespace appendvoc {

inline uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}

inline std::vector<uint8_t> ReadAll(FILE* f) {
  std::vector<uint8_t> b;
  std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  b.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (!b.empty() && std::fread(b.data(), 1, b.size(), f) != b.size()) b.clear();
  return b;
}

// Appends the input twice as a WAVE voice and once as headerless data. Empty
// when the output stayed consistent, else what went wrong.
inline std::string CheckAppendInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);
  copy.push_back(0);  // fmemopen needs a buffer even for an empty input
  FILE* out = std::tmpfile();
  if (!out) return "tmpfile failed";
  std::string why;
  size_t before = 0;
  for (int round = 0; round < 3 && why.empty(); ++round) {
    FILE* in = ::fmemopen(copy.data(), size ? size : 1, "rb");
    if (!in) {
      why = "fmemopen failed";
      break;
    }
    if (size == 0) std::fgetc(in);  // an empty voice
    int r = AppendVocData(out, in, round < 2, "fuzz.wav");
    std::fclose(in);
    std::vector<uint8_t> b = ReadAll(out);
    // Never more than the voice itself plus a new 46-byte header.
    if (b.size() > before + size + 46) why = "output grew by more than the voice";
    if (r != 0 && r != -1) why = "result " + std::to_string(r);
    bool ours = b.size() >= 46 && std::string(b.begin(), b.begin() + 4) == "RIFF" &&
                std::string(b.begin() + 38, b.begin() + 42) == "data";
    if (round < 2 && ours) {
      if (Le32(b, 4) != b.size() - 8) why = "RIFF size is not the file size less 8";
      if (Le32(b, 42) != b.size() - 46) why = "data size is not the data present";
    }
    before = b.size();
  }
  std::fclose(out);
  return why;
}

}  // namespace appendvoc
