#pragma once
// What the parts of the software card share: limits and small helpers.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace plat::card_internal {

constexpr int kDigitalWave = 200;
constexpr int kAnalogWave = 90;
constexpr int kConfVoiceBase = 100000;
constexpr uint32_t kDtmfOutMs = 100;  // one key's tone and pause
constexpr size_t kKeyQueueMax = 1024;
constexpr size_t kPlayedMax = 64;

inline bool IsWaveName(const std::string& name) {
  std::string u = name;
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u.find(".WAV") != std::string::npos;
}

inline bool IsKey(char c) {
  return (c >= '0' && c <= '9') || c == '*' || c == '#' || (c >= 'A' && c <= 'D') ||
         (c >= 'a' && c <= 'd');
}

inline uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace plat::card_internal
