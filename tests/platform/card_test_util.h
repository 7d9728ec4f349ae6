#pragma once
// Shared helpers of the software card tests: files and voice files written
// byte by byte (the folder is a testsupport::TempDir).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/tick.h"
#include "tests/support/waitfor.h"

namespace cardtest {

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary);
  f << text;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}
inline void PutTag(std::vector<uint8_t>& v, const char* t) {
  for (int i = 0; i < 4; i++) v.push_back(static_cast<uint8_t>(t[i]));
}

// A WAVE file: tag 1 (PCM16), 6 (A-law) or 7 (mu-law); an optional chunk
// before "data" as extra chunks in real files do.
inline std::vector<uint8_t> Wave(int tag, const std::vector<uint8_t>& data, bool extraChunk,
                                 int fmtSize = 16) {
  std::vector<uint8_t> v;
  PutTag(v, "RIFF");
  Put32(v, 0);
  PutTag(v, "WAVE");
  PutTag(v, "fmt ");
  Put32(v, static_cast<uint32_t>(fmtSize));
  int width = tag == 1 ? 2 : 1;
  Put16(v, static_cast<uint32_t>(tag));
  Put16(v, 1);
  Put32(v, 8000);
  Put32(v, static_cast<uint32_t>(8000 * width));
  Put16(v, static_cast<uint32_t>(width));
  Put16(v, static_cast<uint32_t>(8 * width));
  for (int i = 16; i < fmtSize; i++) v.push_back(0);
  if (extraChunk) {
    PutTag(v, "LIST");
    Put32(v, 5);  // odd size: padded to 6
    for (int i = 0; i < 6; i++) v.push_back('x');
  }
  PutTag(v, "data");
  Put32(v, static_cast<uint32_t>(data.size()));
  v.insert(v.end(), data.begin(), data.end());
  uint32_t riff = static_cast<uint32_t>(v.size() - 8);
  for (int i = 0; i < 4; i++) v[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  return v;
}

using testsupport::WaitFor;

// The card most tests use: one E1 and four analog ports.
inline const char* kStandardIni =
    "[Card]\n"
    "E1Links = 1\n"
    "AnalogPorts = USER, USER, TRUNK, TRUNK\n"
    "FaxChannels = 2\n"
    "ConfGroups = 32\n"
    "ConfInterface = NEW\n"
    "Serial = 20261210\n"
    "FaxSeconds = 600\n";

}  // namespace cardtest
