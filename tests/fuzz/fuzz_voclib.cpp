// Loading a pinyin voice library: any bytes must load or be refused without
// reading outside the file, and text spoken from what loaded must stay
// inside the loaded table and segments.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "lines/pinyin.h"
#include "tests/support/tempdir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const testsupport::TempDir tmp;
  const std::string& dir = tmp.path();
  FILE* f = std::fopen((dir + "/KxVocLib.dat").c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  CGetHypy h;
  if (h.LoadVocLib(dir) != 0) return 0;
  // Every lead and trail byte pair of the character rows, and the signs.
  std::string text;
  for (int lead = 0xA1; lead <= 0xFE; lead += 3) {
    text.push_back(static_cast<char>(lead));
    text.push_back(static_cast<char>(0xA1 + (lead % 94)));
  }
  text += "1.5+-a..?";
  std::vector<std::string> names;
  h.TextToSyllables(text, names);
  for (const std::string& n : names)
    if (n.size() > 7) __builtin_trap();
  h.TextToWave(text, dir + "/out.wav");
  return 0;
}
