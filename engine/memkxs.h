#pragma once
// The process-wide cache of script file texts, and the scrambled form of a
// script: the byte 1, a little-endian uint32 from which the key comes, then
// the text with every byte xor the key.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

// key = (value / kScrambleDivisor) & 0xFF. A scrambled file is readable only
// with the divisor it was made for; 7919 is this system's.
inline constexpr uint32_t kScrambleDivisor = 7919;
inline uint8_t ScrambleKey(uint32_t value) { return static_cast<uint8_t>((value / kScrambleDivisor) & 0xFF); }

// Each of the n bytes xor key, in place.
void DescrambleBuffer(char* buffer, size_t n, uint8_t key);

// The file's modification stamp: DOS date in the high 16 bits, DOS time in
// the low 16; 0 when no normal file has that name.
uint32_t GetFileTime(const std::string& path);

// Splits after the last "/" or "\": dir keeps the separator. Returns the
// length of dir, or -1 without separator (dir empty, name the whole path).
int SplitPath(const std::string& path, std::string& dir, std::string& name);

// One cached text. Texts are shared: a clear or a replacement never frees a
// text that a compile on another line still reads.
using TagKxsText = std::shared_ptr<const std::string>;

class TagMemKxs {
 public:
  static TagMemKxs& Instance();
  ~TagMemKxs();

  // The text of the file, or null. raw: take the bytes as they are (no
  // descrambling). checkTime: re-read when the file changed on disk.
  // wasScrambled is raised when the text came from the scrambled form (also
  // on a cache hit); it is never cleared here. size: the bytes on disk.
  TagKxsText Get(const std::string& path, size_t* size, bool raw, bool checkTime, uint8_t* wasScrambled);
  void Clear();
  size_t CountForTest();

 private:
  struct Node {
    uint32_t fileTime = 0;
    size_t size = 0;
    bool scrambled = false;
    TagKxsText text;
  };
  std::mutex mu_;
  // Keyed on the path exactly as given and the raw flag.
  std::map<std::pair<std::string, bool>, Node> files_;
};
