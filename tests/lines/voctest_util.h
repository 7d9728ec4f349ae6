#pragma once
// Small helpers of the voice tests: files in and out, WAVE images built by
// hand, sox. Their folder is a testsupport::TempDir.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/tempdir.h"
namespace voctest {

inline std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

inline void WriteAll(const std::string& path, const std::vector<uint8_t>& data) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

inline uint32_t Le32(const std::vector<uint8_t>& v, size_t at) {
  return at + 4 > v.size() ? 0
                           : static_cast<uint32_t>(v[at]) | (static_cast<uint32_t>(v[at + 1]) << 8) |
                                 (static_cast<uint32_t>(v[at + 2]) << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}
inline uint16_t Le16(const std::vector<uint8_t>& v, size_t at) {
  return at + 2 > v.size() ? 0 : static_cast<uint16_t>(v[at] | (v[at + 1] << 8));
}

inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
inline void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
inline void PutTag(std::vector<uint8_t>& v, const char* tag) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(tag[i]));
}

// A WAVE image: a format chunk of fmtSize bytes, optional chunks before the
// data, and a data size that may differ from the data given.
struct WaveShape {
  uint16_t tag = 1;
  uint32_t rate = 8000;
  uint16_t bits = 16;
  uint32_t fmtSize = 16;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> before;  // chunks before "data"
  int64_t dataSizeField = -1;                                        // -1: the real size
};

inline std::vector<uint8_t> MakeWave(const WaveShape& s, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> v;
  PutTag(v, "RIFF");
  Put32(v, 0);
  PutTag(v, "WAVE");
  PutTag(v, "fmt ");
  Put32(v, s.fmtSize);
  std::vector<uint8_t> fmt;
  uint16_t align = static_cast<uint16_t>(s.bits / 8);
  Put16(fmt, s.tag);
  Put16(fmt, 1);
  Put32(fmt, s.rate);
  Put32(fmt, s.rate * align);
  Put16(fmt, align);
  Put16(fmt, s.bits);
  fmt.resize(s.fmtSize, 0);
  v.insert(v.end(), fmt.begin(), fmt.end());
  for (const auto& [id, body] : s.before) {
    PutTag(v, id.c_str());
    Put32(v, static_cast<uint32_t>(body.size()));
    v.insert(v.end(), body.begin(), body.end());
  }
  PutTag(v, "data");
  Put32(v, s.dataSizeField < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(s.dataSizeField));
  v.insert(v.end(), data.begin(), data.end());
  uint32_t riff = static_cast<uint32_t>(v.size() - 8);
  for (int i = 0; i < 4; ++i) v[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
  return v;
}

inline std::vector<uint8_t> Pcm16Bytes(const std::vector<int16_t>& s) {
  std::vector<uint8_t> v;
  for (int16_t x : s) Put16(v, static_cast<uint16_t>(x));
  return v;
}

inline std::vector<int16_t> PcmOf(const std::vector<uint8_t>& bytes, size_t from) {
  std::vector<int16_t> s;
  for (size_t i = from; i + 1 < bytes.size(); i += 2) s.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
  return s;
}

// Square wave of amplitude a, period 16 samples, n samples.
inline std::vector<int16_t> Square(size_t n, int a) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>((i % 16) < 8 ? a : -a);
  return s;
}

inline bool HaveSox() { return std::system("sox --version >/dev/null 2>&1") == 0; }

inline bool Sox(const std::string& args) { return std::system(("sox " + args + " 2>/dev/null").c_str()) == 0; }

// RIFF size and data size agree with the file's length and the header size.
inline ::testing::AssertionResult WaveSizesConsistent(const std::vector<uint8_t>& f, size_t headerSize) {
  if (f.size() < headerSize) return ::testing::AssertionFailure() << "file of " << f.size() << " bytes";
  if (Le32(f, 4) != f.size() - 8)
    return ::testing::AssertionFailure() << "RIFF size " << Le32(f, 4) << " for a file of " << f.size();
  if (Le32(f, headerSize - 4) != f.size() - headerSize)
    return ::testing::AssertionFailure() << "data size " << Le32(f, headerSize - 4) << " for " << f.size() - headerSize;
  return ::testing::AssertionSuccess();
}

}  // namespace voctest
