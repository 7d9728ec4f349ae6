#include "lines/vocedit.h"

#include <gtest/gtest.h>

#include <climits>

#include "lines/vocfile.h"
#include "voctest_util.h"

using namespace voctest;

namespace {

class VocEditTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.empty());
  }
  std::string P(const std::string& name) const { return dir + "/" + name; }

  // Silence and square-wave runs, in samples.
  static std::vector<int16_t> Runs(std::initializer_list<std::pair<int, int>> runs) {
    std::vector<int16_t> s;
    for (auto [n, amplitude] : runs) {
      std::vector<int16_t> part = amplitude ? Square(static_cast<size_t>(n), amplitude) : std::vector<int16_t>(n, 0);
      s.insert(s.end(), part.begin(), part.end());
    }
    return s;
  }
  void WritePcm(const std::string& name, const std::vector<int16_t>& s) {
    WriteAll(P(name), MakeWave(WaveShape{}, Pcm16Bytes(s)));
  }
  void WriteALaw(const std::string& name, const std::vector<int16_t>& s) {
    std::vector<uint8_t> a(s.size());
    LinearToALawBlock(s.data(), a.data(), a.size());
    WriteAll(P(name), MakeWave(WaveShape{6, 8000, 8, 16, {}, -1}, a));
  }

  testsupport::TempDir tmp;
  std::string dir = tmp.path();
};

// ---------------------------------------------------------------------------
// Segments

struct UnitCase {
  const char* what;
  std::vector<std::pair<int, int>> frames;  // runs of frames: count, amplitude
  int mode;
  int startOffset;  // bytes
  std::vector<TagVocUnit> want;
};

TEST_F(VocEditTest, FindSpeechUnitsTable) {
  const UnitCase cases[] = {
      {"one segment", {{100, 0}, {30, 8000}, {50, 0}}, 0, 0, {{2000, 2600, 30}}},
      {"20 frames are too short", {{100, 0}, {20, 8000}, {50, 0}}, 0, 0, {}},
      {"21 frames are enough", {{100, 0}, {21, 8000}, {50, 0}}, 0, 0, {{2000, 2420, 21}}},
      {"threshold 450 in mode 0", {{10, 0}, {30, 449}, {10, 0}}, 0, 0, {}},
      {"at the threshold", {{10, 0}, {30, 450}, {10, 0}}, 0, 0, {{200, 800, 30}}},
      {"threshold 350 in mode 1", {{10, 0}, {30, 350}, {10, 0}}, 1, 0, {{200, 800, 30}}},
      {"mode 0 ends at one quiet frame", {{10, 0}, {25, 8000}, {1, 0}, {25, 8000}, {10, 0}}, 0, 0,
       {{200, 700, 25}, {720, 1220, 25}}},
      {"mode 1 bridges 5 quiet frames", {{10, 0}, {25, 8000}, {5, 0}, {25, 8000}, {10, 0}}, 1, 0, {{200, 1200, 50}}},
      {"mode 1 ends after 6", {{10, 0}, {25, 8000}, {6, 0}, {25, 8000}, {10, 0}}, 1, 0,
       {{200, 700, 25}, {820, 1320, 25}}},
      {"speech from frame 0 starts one frame late", {{30, 8000}, {10, 0}}, 0, 0, {{20, 620, 30}}},
      {"open at the end", {{10, 0}, {30, 8000}}, 0, 0, {{200, 800, 30}}},
      {"start offset skips frames", {{10, 0}, {30, 8000}, {10, 0}, {30, 8000}, {5, 0}}, 0, 40 * 40,
       {{1000, 1600, 30}}},
      {"start offset past the end counts as 0", {{10, 0}, {30, 8000}, {10, 0}}, 0, 1 << 30, {{200, 800, 30}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<int16_t> s;
    for (auto [n, a] : c.frames) {
      // Constant magnitude per frame, alternating sign.
      for (int i = 0; i < n * 20; ++i) s.push_back(static_cast<int16_t>(i % 2 ? a : -a));
    }
    std::vector<uint8_t> bytes = Pcm16Bytes(s);
    std::vector<TagVocUnit> got = {{1, 2, 3}};  // cleared by the call
    int n = FindSpeechUnits(bytes.data(), static_cast<int>(bytes.size()), got, c.startOffset, c.mode, kVocPcm);
    ASSERT_EQ(n, static_cast<int>(c.want.size()));
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].start, c.want[i].start) << i;
      EXPECT_EQ(got[i].end, c.want[i].end) << i;
      EXPECT_EQ(got[i].frames, c.want[i].frames) << i;
    }
  }
}

TEST_F(VocEditTest, EightBitFramesAreExpandedFirst) {
  // 20-byte frames; A-law goes through the mu-law curve after the XOR.
  std::vector<uint8_t> a(50 * 20, 0xD5);
  std::fill(a.begin() + 10 * 20, a.begin() + 40 * 20, LinearToALaw(8000));
  std::vector<TagVocUnit> units;
  EXPECT_EQ(FindSpeechUnits(a.data(), static_cast<int>(a.size()), units, 0, 0, kVocALaw), 1);
  EXPECT_EQ(units[0].start, 200);
  EXPECT_EQ(units[0].end, 800);
  std::vector<uint8_t> u(50 * 20, 0xFF);
  std::fill(u.begin() + 10 * 20, u.begin() + 40 * 20, 0x90);  // mu-law, loud
  EXPECT_EQ(FindSpeechUnits(u.data(), static_cast<int>(u.size()), units, 0, 0, kVocMuLaw), 1);
  EXPECT_EQ(FindSpeechUnits(nullptr, 100, units, 0, 0, kVocALaw), 0);
}

// ---------------------------------------------------------------------------
// Trim

TEST_F(VocEditTest, TrimCutsToTheSpeechOfSquareWaves) {
  struct Case {
    const char* what;
    bool alaw;
    std::vector<int16_t> samples;
    int result;
    int from, to;  // kept samples
  };
  const Case cases[] = {
      {"PCM one burst", false, Runs({{8000, 0}, {8000, 8000}, {8000, 0}}), 0, 8000, 16000},
      {"A-law one burst", true, Runs({{8000, 0}, {8000, 8000}, {8000, 0}}), 0, 8000, 16000},
      {"PCM two bursts", false, Runs({{4000, 0}, {4000, 8000}, {4000, 0}, {4000, 8000}, {2000, 0}}), 1, 4000, 16000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.alaw ? WriteALaw("t.wav", c.samples) : WritePcm("t.wav", c.samples);
    std::vector<uint8_t> before = ReadAll(P("t.wav"));
    ASSERT_EQ(TrimVocFile(P("t.wav")), c.result);
    std::vector<uint8_t> after = ReadAll(P("t.wav"));
    const size_t per = c.alaw ? 1 : 2;
    ASSERT_EQ(after.size(), 46 + (c.to - c.from) * per);
    EXPECT_TRUE(WaveSizesConsistent(after, 46));
    EXPECT_EQ(Le32(after, 16), 18u);
    EXPECT_EQ(Le16(after, 20), c.alaw ? 6 : 1);
    const size_t srcData = 44;
    EXPECT_TRUE(std::equal(after.begin() + 46, after.end(), before.begin() + srcData + c.from * per));
  }
  // Nothing but the trimmed file remains in the folder.
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

TEST_F(VocEditTest, TrimRefusalsLeaveTheFileAlone) {
  struct Case {
    const char* what;
    std::vector<int16_t> samples;
    int result;
  };
  const Case cases[] = {
      {"silence only", Runs({{16000, 0}}), -2},
      {"shorter than 1000 bytes", Runs({{100, 0}, {300, 8000}}), -2},
      // Speech from the first frame to the last: the segment's end lies one
      // frame past the data.
      {"speech from start to end", Runs({{8000, 8000}}), -3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WritePcm("t.wav", c.samples);
    std::vector<uint8_t> before = ReadAll(P("t.wav"));
    EXPECT_EQ(TrimVocFile(P("t.wav")), c.result);
    EXPECT_EQ(ReadAll(P("t.wav")), before);
  }
  EXPECT_EQ(TrimVocFile(P("none.wav")), -2);
  int files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1);
}

// ---------------------------------------------------------------------------
// Mix

TEST_F(VocEditTest, MixAddsTheShorterFileAtTheOffset) {
  struct Case {
    const char* what;
    int n1, a1, n2, a2, offsetMs;
    int from, to;  // where file 1 holds the sum
    int shift;     // file 2's sample index at `from`
  };
  const Case cases[] = {
      {"inside", 16000, 1000, 4000, 500, 1000, 8000, 12000, 0},
      {"runs past the end", 16000, 1000, 4000, 500, 1500, 12000, 16000, 0},
      {"negative offset skips the part before the start", 16000, 1000, 4000, 500, -250, 0, 2000, 2000},
      {"offset far past the end", 16000, 1000, 4000, 500, INT_MAX, 0, 0, 0},
      {"offset far before the start", 16000, 1000, 4000, 500, INT_MIN, 0, 0, 0},
      {"saturates", 16000, 20000, 4000, 20000, 0, 0, 4000, 0},
      // Above 80000 samples, 6000 of file 2 are left out.
      {"long files", 100000, 1000, 90000, 500, 0, 0, 84000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<int16_t> s1 = Square(c.n1, c.a1), s2 = Square(c.n2, c.a2);
    WritePcm("1.wav", s1);
    WritePcm("2.wav", s2);
    ASSERT_EQ(MixVocFile(P("1.wav"), 1.0, c.offsetMs, P("2.wav"), 1.0, P("out.wav")), 1);
    std::vector<uint8_t> out = ReadAll(P("out.wav"));
    ASSERT_TRUE(WaveSizesConsistent(out, 44));
    std::vector<int16_t> got = PcmOf(out, 44);
    ASSERT_EQ(got.size(), s1.size());
    for (int i = 0; i < c.n1; ++i) {
      int want = s1[i];
      if (i >= c.from && i < c.to) want = std::clamp(s1[i] + s2[i - c.from + c.shift], -32467, 32467);
      ASSERT_EQ(got[i], want) << "sample " << i;
    }
  }
}

TEST_F(VocEditTest, MixIntoTheLongerSecondFileIgnoresTheOffset) {
  std::vector<int16_t> s1 = Square(4000, 1000), s2 = Square(16000, 700);
  WritePcm("1.wav", s1);
  WritePcm("2.wav", s2);
  ASSERT_EQ(MixVocFile(P("1.wav"), 1.0, 1000, P("2.wav"), 1.0, P("out.wav")), 1);
  std::vector<int16_t> got = PcmOf(ReadAll(P("out.wav")), 44);
  ASSERT_EQ(got.size(), s2.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], i < 4000 ? s1[i] + s2[i] : s2[i]) << i;
}

TEST_F(VocEditTest, MixAppliesGainsToALawFilesAndWritesALaw) {
  std::vector<int16_t> s1 = Square(16000, 1000), s2 = Square(4000, 1000);
  WriteALaw("1.wav", s1);
  WriteALaw("2.wav", s2);
  ASSERT_EQ(MixVocFile(P("1.wav"), 1.0, 0, P("2.wav"), 2.0, P("out.wav")), 1);
  std::vector<uint8_t> out = ReadAll(P("out.wav"));
  ASSERT_TRUE(WaveSizesConsistent(out, 44));
  EXPECT_EQ(Le16(out, 20), 6);
  TagVocFile a(P("1.wav"), 1.0), b(P("2.wav"), 2.0);
  ASSERT_EQ(out.size(), 44u + 16000);
  for (int i = 0; i < 16000; ++i) {
    int sum = i < 4000 ? a.samples[i] + b.samples[i] : a.samples[i];
    ASSERT_EQ(out[44 + i], LinearToALaw(static_cast<int16_t>(std::clamp(sum, -32467, 32467)))) << i;
  }
}

TEST_F(VocEditTest, MixWithAMissingFileWritesNothing) {
  WritePcm("1.wav", Square(4000, 1000));
  EXPECT_EQ(MixVocFile(P("1.wav"), 1.0, 0, P("none.wav"), 1.0, P("out.wav")), 1);
  EXPECT_FALSE(std::filesystem::exists(P("out.wav")));
}

}  // namespace
