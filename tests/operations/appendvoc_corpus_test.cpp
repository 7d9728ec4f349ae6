// The voice-append fuzz checks over a fixed corpus of WAVE heads.
#include <gtest/gtest.h>

#include "lines/vocfile.h"
#include "tests/fuzz/fuzz_appendvoc_check.h"

namespace {

std::string Wave(const std::string& data, uint32_t fmtSize = 18) {
  std::vector<uint8_t> h = MakeWaveHeader(fmtSize, 6, static_cast<uint32_t>(data.size()));
  return std::string(h.begin(), h.end()) + data;
}

std::string Le(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// A WAVE whose data chunk follows a "fact" chunk (as sox writes A-law).
// declared: the fact chunk's size field (it holds 4 bytes whatever it says).
std::string WaveWithFact(const std::string& data, uint32_t declared = 4) {
  std::string w = Wave(data);
  std::string head = w.substr(0, 38);
  return head + "fact" + Le(declared) + std::string(4, '\x01') + w.substr(38);
}

TEST(AppendVocCorpus, OutputHeaderStaysTrue) {
  std::string valid = Wave(std::string(300, 'a'));
  std::string claimsMore = valid.substr(0, 42) + Le(1000000000) + std::string(10, 'z');
  const std::string corpus[] = {
      "",
      "RIFF",
      valid,
      valid.substr(0, 30),
      valid.substr(0, 46),
      claimsMore,
      Wave(std::string(64, 'b'), 16),
      Wave(std::string(64, 'c'), 20),
      WaveWithFact(std::string(80, 'f')),
      WaveWithFact(std::string(8, 'g'), 0xFFFFFFF0u),
      valid.substr(0, 16) + Le(0xFFFFFFFFu) + valid.substr(20),  // format size
      valid.substr(0, 16) + Le(10) + valid.substr(20),
      valid.substr(0, 16) + Le(0) + valid.substr(20),
      std::string(200, '\xff'),
      "RIFF\x10\0\0\0WAVEfmt \x12\0\0\0",
  };
  for (size_t i = 0; i < std::size(corpus); ++i) {
    const std::string& c = corpus[i];
    EXPECT_EQ(appendvoc::CheckAppendInput(reinterpret_cast<const uint8_t*>(c.data()), c.size()), "")
        << "corpus entry " << i;
  }
}

TEST(AppendVocCorpus, FactChunkIsSkippedAndShortDataCounted) {
  struct Case {
    std::string voice;
    std::string wantData;
  } cases[] = {
      {WaveWithFact(std::string(80, 'f')), std::string(80, 'f')},
      {Wave(std::string(300, 'a')).substr(0, 42) + Le(0) + "x", ""},  // declares no data
      {Wave(std::string(300, 'a')).substr(0, 46 + 7), std::string(7, 'a')},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> in(c.voice.begin(), c.voice.end());
    FILE* f = ::fmemopen(in.data(), in.size(), "rb");
    FILE* out = std::tmpfile();
    ASSERT_TRUE(f && out);
    EXPECT_EQ(AppendVocData(out, f, true, "v.wav"), 0);
    std::vector<uint8_t> b = appendvoc::ReadAll(out);
    std::fclose(f);
    std::fclose(out);
    ASSERT_GE(b.size(), 46u);
    EXPECT_EQ(std::string(b.begin() + 46, b.end()), c.wantData);
    EXPECT_EQ(appendvoc::Le32(b, 42), c.wantData.size());
    EXPECT_EQ(appendvoc::Le32(b, 4), b.size() - 8);
  }
}

}  // namespace
