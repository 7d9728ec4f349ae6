// The value fuzz target over a fixed corpus: hand-made programs for the
// tricky cases (self-holding maps, aliased operands, number limits), then a
// fixed pseudo-random set.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#define RODIZ_FUZZ_NO_ENTRY
#include "tests/fuzz/fuzz_values.cpp"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> b) { return std::vector<uint8_t>(b.begin(), b.end()); }

TEST(ValuesFuzzCorpus, RunsCleanly) {
  std::vector<std::vector<uint8_t>> corpus = {
      {},
      // v0[v1] = v0 (a self-holding map), print it, remove it again.
      Bytes({5, 0, 1, 0, 9, 0, 0, 0, 1, 7, 0, 1, 0}),
      // Two maps holding each other, then dropped.
      Bytes({5, 0, 2, 1, 5, 1, 2, 0, 9, 0, 0, 0, 1, 15, 0, 0, 0, 15, 1, 0, 0}),
      // A string doubled into itself, repeated by an int, appended in place.
      Bytes({2, 0, 0, 0, 3, 'a', 'b', 'c', 3, 0, 0, 0, 19, 0, 1, 2, 0, 30, 0, 0, 0, 3, 0, 0, 1, 18, 14, 0, 0, 0}),
      // Element access into the map being read, EntryAt into its own map.
      Bytes({5, 0, 1, 2, 3, 0, 0, 1, 21, 10, 0, 0, 0, 0, 10, 0, 1, 0, 0}),
      // Number texts: sign, blanks, exponent out of range.
      Bytes({12, 0, 0, 0, 8, ' ', '-', '1', 'e', '9', '9', '9', '9'}),
      Bytes({12, 0, 0, 0, 12, '2', '1', '4', '7', '4', '8', '3', '6', '4', '8', '0', '0'}),
      // INT_MIN / -1 and % -1.
      Bytes({0, 0, 0, 0, 0, 0, 0, 0x80, 0, 1, 0, 0, 0xff, 0xff, 0xff, 0xff, 3, 2, 0, 1, 17, 3, 2, 0, 1, 16}),
  };
  std::mt19937 gen(20261210);
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> in(gen() % 400);
    for (auto& b : in) b = uint8_t(gen());
    corpus.push_back(std::move(in));
  }
  for (const auto& in : corpus) EXPECT_EQ(fuzz_values::Run(in.data(), in.size()), 0);
  EXPECT_EQ(TagVar::TextLimit(), TagVar::kMaxTextLen);  // the run restores the limit
}

}  // namespace
