#pragma once
// The process's one speech engine (espeak-ng). The engine keeps global state
// and is not re-entrant, so every synthesis holds one process-wide lock for
// its whole length. Texts come in as GB bytes and are converted to UTF-8
// here, at the edge; audio comes out as 16-bit mono samples at 8000 Hz.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Language identities of the markers in spoken text.
constexpr int kLangChinese = 0x804;
constexpr int kLangEnglish = 0x409;

// The start failure of the engine, reported as the speech interface's
// "class not registered" result.
constexpr int kSpeechClassNotRegistered = static_cast<int>(0x80040154u);
constexpr int kSpeechInvalidArg = static_cast<int>(0x80070057u);

constexpr int kSpeechRate = 8000;

// Starts the engine on first use (later calls return the first outcome):
// 0, or kSpeechClassNotRegistered when it cannot start.
int SpeechEngineStart();

// Speaks GB text with the voice of langId (kLangEnglish: en-us, anything
// else: cmn-latn-pinyin) and appends the 8000 Hz samples to out. 0, or a
// negative code. cancel, when given, ends the synthesis early once set.
int SpeakGbText(std::string_view gbText, int langId, std::vector<int16_t>& out, const std::atomic<uint8_t>* cancel = nullptr);

// Where the engine finds its data; empty (the default) is the installed
// data. A running engine is stopped, so the next use starts it afresh from
// there. For tests of the start failure.
void SetSpeechDataPath(const std::string& path);

// Number of syntheses run so far (all threads).
uint64_t SpeechSynthesisCount();

// Band-limited resampling of mono 16-bit audio between integer rates
// (windowed-sinc, low-pass at the lower Nyquist). Appends to out.
void ResampleMono(const int16_t* in, size_t n, int fromRate, int toRate, std::vector<int16_t>& out);

}  // namespace plat
