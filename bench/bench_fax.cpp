// Faxes: text rendered into fax pages (rows coded per second, for a
// 100-line GB text), and the card's fax modems (CPU per second of audio,
// for a page sent from one modem to the other).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "lines/txtfax.h"
#include "platform/card/faxmodem.h"
#include "tools/t4codes.h"

namespace {

void WriteBytes(const std::string& path, const std::vector<uint8_t>& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                               static_cast<std::streamsize>(b.size()));
}

// A folder with the real code table, fonts of glyph-like noise (about a
// third of the pixels black) and a 100-line text of Chinese and ASCII.
class FaxFolder {
 public:
  FaxFolder() {
    char tmpl[] = "/tmp/bench_fax_XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
    WriteBytes(Path("huffman.cod"), t4::HuffmanCodFile());
    std::mt19937 rng(7);
    auto font = [&](size_t n) {
      std::vector<uint8_t> f(n);
      for (auto& b : f) b = static_cast<uint8_t>(rng() & rng());
      return f;
    };
    WriteBytes(Path("asc16"), font(4096));
    WriteBytes(Path("hzk16"), font(94 * 94 * 32));
    std::string text;
    for (int line = 0; line < 100; line++) {
      text += "Line " + std::to_string(line) + ": ";
      for (int i = 0; i < 40; i++) {
        text += static_cast<char>(0xB0 + (rng() % 40));
        text += static_cast<char>(0xA1 + (rng() % 94));
      }
      text += "\n";
    }
    std::ofstream(Path("text.txt"), std::ios::binary) << text;
  }
  ~FaxFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

void BM_TextToFax(benchmark::State& state) {
  FaxFolder f;
  std::string out = f.Path(state.range(0) ? "page.tif" : "page.fax");
  for (auto _ : state) {
    TagTxtCvtFax conv(f.Path(""), f.Path("text.txt"), out);
    if (conv.status != 0) state.SkipWithError("conversion failed");
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(state.iterations()) * 100 * 17,
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TextToFax)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One page from a sending modem to a receiving one through A-law, as a card
// fax channel and the far end's machine exchange it.
void BM_FaxModemPage(benchmark::State& state) {
  FaxFolder f;
  TagTxtCvtFax conv(f.Path(""), f.Path("text.txt"), f.Path("page.tif"));
  if (conv.status != 0) {
    state.SkipWithError("no page");
    return;
  }
  double audioSeconds = 0;
  std::clock_t cpuStart = std::clock();
  for (auto _ : state) {
    plat::card::FaxModem tx(true, true, f.Path("page.tif"), "TX");
    plat::card::FaxModem rx(false, false, f.Path("in.tif"), "RX");
    int frames = 0;
    while (!(tx.Done() && rx.Done()) && frames < 50 * 600) {
      plat::card::ExchangeFaxAudio(tx, rx, 50);
      frames += 50;
    }
    if (tx.Completion() != 0 || rx.Pages() != 1) state.SkipWithError("fax failed");
    audioSeconds += frames * 0.02;
  }
  double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  // Seconds of audio (both directions through both modems) per second, and
  // the CPU both modems take for one second of audio.
  state.counters["audio_s/s"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
  if (audioSeconds > 0) state.counters["cpu_ms/audio_s"] = cpuMs / audioSeconds;
}
BENCHMARK(BM_FaxModemPage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
