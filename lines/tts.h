#pragma once
// Speech through the process's speech engine: on a sound-card output
// (TagTTS) or into WAVE files (TagMsTTS), and the PCM to A-law conversion
// of a spoken file. Spoken text may carry language markers
// <LANG LANGID="804"> (Chinese) and <LANG LANGID="409"> (English).
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/wave.h"

// One stretch of text in one language.
struct TagSpeechPart {
  int langId = 0;
  std::string text;
};

// The text wrapped in the language marker: Chinese (804) or English (409).
std::string WrapLanguage(std::string_view text, bool chinese);
// Splits marked-up text into stretches by its language markers; other tags
// are dropped and the five XML entities decoded. Text outside any marker is
// in defaultLang.
std::vector<TagSpeechPart> SplitSpeechMarkup(std::string_view text, int defaultLang);
// Speaks every stretch; appends 8000 Hz samples. 0 or the engine's result.
int SpeakParts(const std::vector<TagSpeechPart>& parts, std::vector<int16_t>& out,
               const std::atomic<uint8_t>* cancel = nullptr);

// Speaks on a wave output device.
class TagTTS {
 public:
  // device -1 is the default device. cancel (optional) ends a synthesis early.
  explicit TagTTS(int device, const std::atomic<uint8_t>* cancel = nullptr);
  ~TagTTS();
  TagTTS(const TagTTS&) = delete;
  TagTTS& operator=(const TagTTS&) = delete;

  int SpeakLang(const std::string& text, bool chinese);
  // Speaks the content of the named text file, as markup when xml is set.
  int Speak(bool xml, const std::string& fileName);
  bool IsDone();
  void Stop();
  int Error() const { return error_; }

 private:
  int Play(std::vector<int16_t> samples);

  int device_;
  const std::atomic<uint8_t>* cancel_;
  int error_ = 0;
  std::unique_ptr<plat::WaveOut> out_;
  std::vector<int16_t> audio_;
  plat::WaveHeader header_;
  bool queued_ = false;
};

// Speaks into WAVE files; one per script instance.
class TagMsTTS {
 public:
  TagMsTTS();
  // chinese: wrap the text as Chinese, else English. formatType 1 A-law,
  // 2 mu-law, other 16-bit PCM. 0, -1 when the file cannot be bound, or the
  // engine's negative result.
  int SpeakToFile(const std::string& text, const std::string& file, bool chinese, int formatType);
  int Error() const { return error_; }

 private:
  // Starts the engine on first use; its failure is kept as the error.
  bool Ready();
  bool tried_ = false;
  int error_ = 0;
};

// Converts a 16-bit PCM WAVE into an 8-bit A-law WAVE by the A-law formula.
// 0; -1 source not opened; -2 not RIFF..WAVE, no data, or target not made;
// -3 not 16-bit PCM.
int PcmToAlawWave(const std::string& source, const std::string& target);

// Installs the speech and pinyin hooks of the script instance and the call
// object.
void RegisterSpeech();
