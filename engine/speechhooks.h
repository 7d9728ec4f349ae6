#pragma once
// The speech synthesisers live in the lines folder; the script instance and
// the call object reach them through these hooks, which the lines folder's
// registration installs once before any line runs. Without them speaking
// fails with the results the callers give for "no engine".
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

// Speaks into voice files for one script instance.
class TagFileSpeaker {
 public:
  virtual ~TagFileSpeaker() = default;
  // chinese: the language of the text; format 1 A-law, 2 mu-law, other 16-bit
  // PCM. 0, or a negative engine result.
  virtual int SpeakToFile(const std::string& text, const std::string& file, int chinese, int format) = 0;
};

// Speaks on a sound-card output, in the background.
class TagPcSpeaker {
 public:
  virtual ~TagPcSpeaker() = default;
  // fileFlag: text names a file whose content is spoken (xmlFlag: it holds
  // markup); otherwise text is spoken as Chinese. 0 when speaking started.
  virtual int Speak(const std::string& text, int fileFlag, int xmlFlag) = 0;
  virtual bool IsDone() = 0;
  virtual void Stop() = 0;
};

struct TagSpeechHooks {
  std::unique_ptr<TagFileSpeaker> (*makeFileSpeaker)() = nullptr;
  // device -1 is the default sound device; cancel ends a synthesis early.
  std::unique_ptr<TagPcSpeaker> (*makePcSpeaker)(int device, const std::atomic<uint8_t>* cancel) = nullptr;
  // The pinyin library: load from a voice directory (0 or negative, loaded
  // once per process), and text to a voice file (syllables, or negative).
  int (*pinyinLoad)(const std::string& dir) = nullptr;
  int (*pinyinToWave)(const std::string& text, const std::string& path) = nullptr;
};

void SetSpeechHooks(const TagSpeechHooks& hooks);
// A copy of the hooks installed (all null before).
TagSpeechHooks SpeechHooks();
