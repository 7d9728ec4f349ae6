// Codec throughput and whole-file trim and mix of a 10-minute recording.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "lines/vocedit.h"
#include "lines/vocfile.h"

namespace {

constexpr size_t kBlock = 1 << 20;

std::vector<uint8_t> RandomBytes(size_t n) {
  std::mt19937 rng(1);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

std::vector<int16_t> RandomSamples(size_t n) {
  std::mt19937 rng(2);
  std::vector<int16_t> v(n);
  for (auto& s : v) s = static_cast<int16_t>(rng());
  return v;
}

void BM_ExpandALaw(benchmark::State& state) {
  auto in = RandomBytes(kBlock);
  std::vector<int16_t> out(kBlock);
  for (auto _ : state) {
    ExpandG711Block(in.data(), out.data(), in.size(), true);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_ExpandALaw);

void BM_ExpandMuLaw(benchmark::State& state) {
  auto in = RandomBytes(kBlock);
  std::vector<int16_t> out(kBlock);
  for (auto _ : state) {
    ExpandG711Block(in.data(), out.data(), in.size(), false);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_ExpandMuLaw);

// Bytes processed count the 16-bit input.
void BM_LinearToALaw(benchmark::State& state) {
  auto in = RandomSamples(kBlock);
  std::vector<uint8_t> out(kBlock);
  for (auto _ : state) {
    LinearToALawBlock(in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock * 2));
}
BENCHMARK(BM_LinearToALaw);

void BM_ALawByFormula(benchmark::State& state) {
  auto in = RandomSamples(kBlock);
  std::vector<uint8_t> out(kBlock);
  ALawByFormulaBlock(in.data(), out.data(), 1);  // builds its table outside the timing
  for (auto _ : state) {
    ALawByFormulaBlock(in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock * 2));
}
BENCHMARK(BM_ALawByFormula);

// Bytes processed count the ADPCM input.
void BM_VoxDecode(benchmark::State& state) {
  auto in = RandomBytes(kBlock);
  std::vector<int16_t> out(2 * kBlock);
  for (auto _ : state) {
    VoxAdpcmState st;
    VoxAdpcmDecode(in.data(), out.data(), in.size(), st);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlock));
}
BENCHMARK(BM_VoxDecode);

// A 10-minute A-law recording: speech bursts between pauses.
struct TenMinutes {
  std::string dir, file, other, out;
  std::vector<uint8_t> image;
  TenMinutes() {
    char tmpl[] = "/tmp/rodiz_bench_XXXXXX";
    dir = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    file = dir + "/ten.wav";
    other = dir + "/short.wav";
    out = dir + "/mix.wav";
    const size_t n = 10 * 60 * 8000;
    std::vector<uint8_t> data(n, 0xD5);
    for (size_t i = 8000; i + 8000 < n; ++i)
      if ((i / 16000) % 2) data[i] = (i % 16) < 8 ? 0x8A : 0x0A;
    image = MakeWaveHeader(16, 6, static_cast<uint32_t>(n));
    image.insert(image.end(), data.begin(), data.end());
    Write(file);
    std::vector<uint8_t> shortImage = MakeWaveHeader(16, 6, 60 * 8000);
    shortImage.insert(shortImage.end(), data.begin(), data.begin() + 60 * 8000);
    if (FILE* f = std::fopen(other.c_str(), "wb")) {
      std::fwrite(shortImage.data(), 1, shortImage.size(), f);
      std::fclose(f);
    }
  }
  ~TenMinutes() { std::system(("rm -rf '" + dir + "'").c_str()); }
  void Write(const std::string& path) const {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
      std::fwrite(image.data(), 1, image.size(), f);
      std::fclose(f);
    }
  }
};

void BM_TrimTenMinutes(benchmark::State& state) {
  TenMinutes t;
  for (auto _ : state) {
    state.PauseTiming();
    t.Write(t.file);
    state.ResumeTiming();
    benchmark::DoNotOptimize(TrimVocFile(t.file));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.image.size()));
}
BENCHMARK(BM_TrimTenMinutes)->Unit(benchmark::kMillisecond);

void BM_MixTenMinutes(benchmark::State& state) {
  TenMinutes t;
  for (auto _ : state) benchmark::DoNotOptimize(MixVocFile(t.file, 1.0, 30000, t.other, 0.5, t.out));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.image.size()));
}
BENCHMARK(BM_MixTenMinutes)->Unit(benchmark::kMillisecond);

}  // namespace
