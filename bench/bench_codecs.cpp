// The encoding operations' codecs and GB <-> UTF-16 conversion on 1 MB,
// next to a plain copy of the same size.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "operations/codecs.h"
#include "platform/text.h"

namespace {

constexpr size_t kSize = 1 << 20;

// Random bytes without zeros (percent escaping stops at the first).
const std::string& RandomBytes() {
  static const std::string s = [] {
    std::mt19937 rng(7);
    std::string r(kSize, '\0');
    for (char& c : r) c = static_cast<char>(1 + rng() % 255);
    return r;
  }();
  return s;
}

// Chinese GB text with some ASCII, 1 MB.
const std::string& GbText() {
  static const std::string s = [] {
    std::string unit = plat::Utf8ToGbk("欢迎致电客户服务中心，查询请按1，人工服务请按0。Welcome! ");
    std::string r;
    while (r.size() + unit.size() <= kSize) r += unit;
    return r;
  }();
  return s;
}

void Bytes(benchmark::State& state, size_t n) { state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n)); }

void BM_Memcpy(benchmark::State& state) {
  const std::string& in = RandomBytes();
  std::string out(kSize, '\0');
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), kSize);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  Bytes(state, kSize);
}
BENCHMARK(BM_Memcpy);

void BM_Base64Encode(benchmark::State& state) {
  const std::string& in = RandomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(Base64Encode(in));
  Bytes(state, kSize);
}
BENCHMARK(BM_Base64Encode);

void BM_Base64Decode(benchmark::State& state) {
  const std::string enc = Base64Encode(RandomBytes().substr(0, kSize / 3 * 3));
  std::string out;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Base64Decode(enc, out));
    benchmark::DoNotOptimize(out.data());
  }
  Bytes(state, enc.size());
}
BENCHMARK(BM_Base64Decode);

void BM_PercentEncode(benchmark::State& state) {
  const std::string& in = RandomBytes();
  for (auto _ : state) benchmark::DoNotOptimize(PercentEncode(in));
  Bytes(state, kSize);
}
BENCHMARK(BM_PercentEncode);

void BM_PercentDecode(benchmark::State& state) {
  const std::string enc = PercentEncode(RandomBytes());
  for (auto _ : state) benchmark::DoNotOptimize(PercentDecode(enc));
  Bytes(state, enc.size());
}
BENCHMARK(BM_PercentDecode);

void BM_GbToUtf16(benchmark::State& state) {
  const std::string& gb = GbText();
  std::string out;
  for (auto _ : state) {
    plat::ConvertCodePage(gb, "GBK", "UTF-16LE", out);
    benchmark::DoNotOptimize(out.data());
  }
  Bytes(state, gb.size());
}
BENCHMARK(BM_GbToUtf16);

void BM_Utf16ToGb(benchmark::State& state) {
  std::string utf16;
  plat::ConvertCodePage(GbText(), "GBK", "UTF-16LE", utf16);
  std::string out;
  for (auto _ : state) {
    plat::ConvertCodePage(utf16, "UTF-16LE", "GBK", out);
    benchmark::DoNotOptimize(out.data());
  }
  Bytes(state, utf16.size());
}
BENCHMARK(BM_Utf16ToGb);

}  // namespace
