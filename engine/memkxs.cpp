#include "engine/memkxs.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "platform/path.h"

void DescrambleBuffer(char* buffer, size_t n, uint8_t key) {
  for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<char>(static_cast<uint8_t>(buffer[i]) ^ key);
}

uint32_t GetFileTime(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(plat::ResolvePath(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  std::tm tm{};
  time_t t = st.st_mtime;
  localtime_r(&t, &tm);
  int year = tm.tm_year + 1900 - 1980;
  if (year < 0) year = 0;
  const uint32_t date = (static_cast<uint32_t>(year) << 9) | (static_cast<uint32_t>(tm.tm_mon + 1) << 5) |
                        static_cast<uint32_t>(tm.tm_mday);
  const uint32_t time = (static_cast<uint32_t>(tm.tm_hour) << 11) | (static_cast<uint32_t>(tm.tm_min) << 5) |
                        static_cast<uint32_t>(tm.tm_sec / 2);
  return (date << 16) | (time & 0xFFFF);
}

int SplitPath(const std::string& path, std::string& dir, std::string& name) {
  const size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) {
    dir.clear();
    name = path;
    return -1;
  }
  dir = path.substr(0, cut + 1);
  name = path.substr(cut + 1);
  return static_cast<int>(dir.size());
}

TagMemKxs& TagMemKxs::Instance() {
  static TagMemKxs cache;
  return cache;
}

TagMemKxs::~TagMemKxs() { Clear(); }

void TagMemKxs::Clear() {
  std::lock_guard lock(mu_);
  files_.clear();  // texts still being compiled live on in their readers
}

size_t TagMemKxs::CountForTest() {
  std::lock_guard lock(mu_);
  return files_.size();
}

TagKxsText TagMemKxs::Get(const std::string& path, size_t* size, bool raw, bool checkTime, uint8_t* wasScrambled) {
  if (path.empty()) return nullptr;
  uint32_t fileTime = 1;
  if (checkTime) {
    fileTime = GetFileTime(path);
    if (fileTime == 0) return nullptr;
  }
  std::lock_guard lock(mu_);
  const auto key = std::make_pair(path, raw);
  if (auto it = files_.find(key); it != files_.end()) {
    if (!checkTime || it->second.fileTime == fileTime) {
      if (size) *size = it->second.size;
      // The flag travels with the text, so every line loading a scrambled
      // script knows it.
      if (it->second.scrambled && wasScrambled) *wasScrambled = 1;
      return it->second.text;
    }
    files_.erase(it);
  }
  FILE* f = plat::OpenFile(path, "rb");
  if (!f) return nullptr;
  std::string data;
  if (std::fseek(f, 0, SEEK_END) == 0) {
    long n = std::ftell(f);
    if (n > 0) {
      data.resize(static_cast<size_t>(n));
      std::rewind(f);
      data.resize(std::fread(data.data(), 1, data.size(), f));
    }
  }
  std::fclose(f);
  if (data.empty()) return nullptr;
  Node node;
  node.fileTime = fileTime;
  node.size = data.size();
  if (!raw && data[0] == 1) {
    // A scrambled file holds at least its five-byte head; anything shorter
    // (or only the head) has no text.
    if (data.size() <= 5) return nullptr;
    const auto* b = reinterpret_cast<const uint8_t*>(data.data());
    const uint32_t v = uint32_t(b[1]) | (uint32_t(b[2]) << 8) | (uint32_t(b[3]) << 16) | (uint32_t(b[4]) << 24);
    data.erase(0, 5);
    DescrambleBuffer(data.data(), data.size(), ScrambleKey(v));
    node.scrambled = true;
    if (wasScrambled) *wasScrambled = 1;
  }
  node.text = std::make_shared<const std::string>(std::move(data));
  if (size) *size = node.size;
  TagKxsText out = node.text;
  files_[key] = std::move(node);
  return out;
}
