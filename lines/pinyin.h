#pragma once
// The platform's own Chinese speech: GB text becomes a list of syllable
// names (pinyin with tone such as "CHONG2", a letter or digit, or "mute"),
// and the recorded segment of each name is taken from the voice library
// file KxVocLib.dat and joined into an A-law sound file.
//
// KxVocLib.dat, little-endian:
//   header  count, data base, table offset (int32 each)
//   index   count entries of 16 bytes: name (8 bytes, each stored less
//           kVocNameOffset), segment offset from the data base, length
//   voices  the segments, 8 kHz A-law
//   table   from data base + table offset to the end: 10 bytes per GB2312
//           character of rows 0xB0 onward, 94 per row, in code order: its
//           syllable name, blank-padded
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Every stored name byte is the name's byte less this (modulo 256); the
// loader adds it back. Shared by the loader and the library generator.
constexpr uint8_t kVocNameOffset = 0x2B;
constexpr int kVocHeaderBytes = 12;
constexpr int kVocIndexEntryBytes = 16;
constexpr int kVocTableEntryBytes = 10;
constexpr int kVocTableFirstRow = 0xB0;
constexpr int kVocRowChars = 94;
constexpr int kVocMaxSegmentRead = 10240;
constexpr size_t kPinyinMaxText = 2048;
constexpr const char* kVocLibName = "KxVocLib.dat";

struct TagWord {
  int32_t offset = 0;  // from the data base
  int32_t length = 0;
};

// A reading of one character of a two-character word: first is 1 when it
// belongs to the word's first character, 0 when to its second.
struct DuoyinZi {
  std::string word;
  uint8_t first = 0;
  std::string pinyin;
};

class CGetHypy {
 public:
  CGetHypy() = default;
  CGetHypy(const CGetHypy&) = delete;
  CGetHypy& operator=(const CGetHypy&) = delete;

  // Loads the library of a voice directory once; later calls keep the first
  // directory. 0, or -1 (and retried at the next use) when the file cannot
  // be opened or its header does not fit its size.
  int LoadVocLib(const std::string& dir);
  // The syllable names of the text, into the emptied list; their number, 0
  // when the library is not loaded.
  int TextToSyllables(std::string_view text, std::vector<std::string>& list) const;
  // Writes the joined segments to path (a WAVE file when it ends in ".wav"
  // or ".WAV", else raw A-law). The number of syllables; -1 none or the file
  // cannot be made; -2 the library cannot be opened.
  int TextToWave(std::string_view text, const std::string& path);

  // Back to not loaded. Only while no line speaks (tests, exit).
  void Unload();
  // The index entry of a name, under the lock; false when there is none.
  bool Lookup(const std::string& name, TagWord& out) const;
  int State() const { return state_.load(std::memory_order_acquire); }
  // How many times a library file was read in (each load that succeeded).
  int LoadCount() const { return loads_.load(); }
  const std::string& LibraryPath() const { return libPath_; }

 private:
  // The table name of a Chinese character; empty when the table lacks it.
  std::string TableName(uint8_t h, uint8_t l) const;

  mutable std::mutex lock_;
  std::atomic<int> state_{-1};
  std::atomic<int> loads_{0};
  std::unordered_map<std::string, TagWord> index_;
  std::string dir_, libPath_;
  int32_t dataBase_ = 0;
  std::vector<uint8_t> table_;
  std::vector<DuoyinZi> duoyin_;
};

// The process's one pinyin engine.
CGetHypy& GlobalHypy();

// One recorded syllable of a library being written.
struct TagVocSegment {
  std::string name;  // at most 8 bytes
  std::vector<uint8_t> audio;
};
// Writes a voice library: the segments in order, then the character table
// (kVocTableEntryBytes per character from row kVocTableFirstRow). False when
// the file cannot be written or a name is longer than 8 bytes.
bool WriteVocLib(const std::string& path, const std::vector<TagVocSegment>& segments,
                 const std::vector<uint8_t>& table);

// The built-in polyphone rows, GB bytes.
const std::vector<DuoyinZi>& BuiltinPolyphones();
