// The fuzz target's checks over a fixed corpus of broken WAVE headers.
#include <gtest/gtest.h>

#include "tests/fuzz/fuzz_wave_check.h"
#include "voctest_util.h"

using namespace voctest;

namespace {

std::vector<std::vector<uint8_t>> Corpus() {
  std::vector<std::vector<uint8_t>> corpus;
  WaveShape fact;
  fact.tag = 6, fact.bits = 8, fact.fmtSize = 18, fact.before = {{"fact", {0x90, 1, 0, 0}}};
  std::vector<uint8_t> loud(400);
  for (size_t i = 0; i < loud.size(); ++i) loud[i] = (i / 100) % 2 ? 0x8A : 0xD5;
  const std::vector<std::vector<uint8_t>> seeds = {MakeWave(fact, loud), MakeWave(WaveShape{}, Pcm16Bytes(Square(200, 9000))),
                                                   MakeWave(WaveShape{1, 8000, 16, 20, {}, -1}, std::vector<uint8_t>(300, 7))};
  for (const auto& seed : seeds) {
    // Every truncation of the header and a little of the data.
    for (size_t n = 0; n <= std::min<size_t>(seed.size(), 80); ++n) corpus.emplace_back(seed.begin(), seed.begin() + n);
    // Sizes that point anywhere: the format chunk, the chunk after it, the data.
    for (size_t at : {size_t{16}, size_t{42}, seed.size() - 4}) {
      for (uint32_t v : {0u, 1u, 15u, 17u, 19u, 21u, 0x7FFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> m = seed;
        if (at + 4 > m.size()) continue;
        for (int i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
        corpus.push_back(m);
      }
    }
  }
  corpus.push_back({'R', 'I', 'F', 'F'});
  corpus.push_back(std::vector<uint8_t>(1000, 0x2A));  // headerless, loud
  return corpus;
}

TEST(WaveCorpus, ReadersStayWithinTheirBounds) {
  auto corpus = Corpus();
  ASSERT_GT(corpus.size(), 100u);
  for (size_t i = 0; i < corpus.size(); ++i) {
    std::string why = CheckWaveInput(corpus[i].data(), corpus[i].size());
    EXPECT_TRUE(why.empty()) << "input " << i << " (" << corpus[i].size() << " bytes): " << why;
  }
}

}  // namespace
