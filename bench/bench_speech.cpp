// Speech as the lines feel it: pinyin text turned into voice files by 30
// lines at once (one library, one lock around its lookups), and spoken files
// made by the speech engine with 30 lines queued on its one lock, where the
// time of one file is what a caller waits.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "lines/pinyin.h"
#include "lines/tts.h"
#include "platform/text.h"

namespace {

std::string BenchDir() {
  static const std::string dir = [] {
    std::string d = (std::filesystem::temp_directory_path() / "rodiz-bench-speech").string();
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

// A library with a name for every GB2312 character and 400 bytes (50 ms)
// of audio per syllable.
CGetHypy& BenchLibrary() {
  static CGetHypy* hypy = [] {
    std::vector<uint8_t> table(static_cast<size_t>(0xF7 - 0xB0 + 1) * 94 * 10, ' ');
    std::vector<TagVocSegment> segments;
    for (int i = 0; i < 400; ++i) segments.push_back({"S" + std::to_string(i), std::vector<uint8_t>(400, 0x55)});
    for (size_t c = 0; c < table.size() / 10; ++c) {
      std::string name = "S" + std::to_string(c % 400);
      std::copy(name.begin(), name.end(), table.begin() + static_cast<std::ptrdiff_t>(c * 10));
    }
    WriteVocLib(BenchDir() + "/KxVocLib.dat", segments, table);
    auto* h = new CGetHypy;
    h->LoadVocLib(BenchDir());
    return h;
  }();
  return *hypy;
}

// A 100-character GB text with digits and punctuation.
std::string BenchText() {
  std::string utf8;
  for (int i = 0; i < 10; ++i) utf8 += "欢迎致电重庆银行，您的余额是12.5元。";
  return plat::Utf8ToGbk(utf8);
}

void BM_PinyinToWave(benchmark::State& state) {
  CGetHypy& hypy = BenchLibrary();
  const std::string text = BenchText();
  const std::string out = BenchDir() + "/py" + std::to_string(state.thread_index()) + ".wav";
  int64_t syllables = 0;
  for (auto _ : state) {
    int n = hypy.TextToWave(text, out);
    if (n <= 0) state.SkipWithError("no syllables");
    syllables += n;
  }
  state.SetItemsProcessed(syllables);
}
BENCHMARK(BM_PinyinToWave)->Threads(1)->Threads(30)->UseRealTime();

void BM_PinyinSyllables(benchmark::State& state) {
  CGetHypy& hypy = BenchLibrary();
  const std::string text = BenchText();
  std::vector<std::string> names;
  int64_t syllables = 0;
  for (auto _ : state) syllables += hypy.TextToSyllables(text, names);
  state.SetItemsProcessed(syllables);
}
BENCHMARK(BM_PinyinSyllables)->Threads(1)->Threads(30)->UseRealTime();

// One short sentence into an A-law file per iteration and line; with 30
// threads every file waits for the others on the engine lock.
void BM_SpeechToFile(benchmark::State& state) {
  TagMsTTS tts;
  const std::string text = plat::Utf8ToGbk("您好，欢迎致电。");
  const std::string out = BenchDir() + "/tts" + std::to_string(state.thread_index()) + ".wav";
  for (auto _ : state)
    if (tts.SpeakToFile(text, out, true, 1) != 0) state.SkipWithError("speech engine failed");
}
BENCHMARK(BM_SpeechToFile)->Threads(1)->Threads(30)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
