#include "lines/voccodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

// G.711 A-law written from its decision levels rather than from bit tricks:
// code k (segment k / 16, step k % 16) covers 12-bit magnitudes from
// Lower(k) up to the next code's lower level.
int Lower(int k) {
  int seg = k >> 4, q = k & 15;
  return seg == 0 ? 2 * q : (16 + q) << seg;
}

uint8_t ReferenceALaw(int16_t s) {
  // One's-complement magnitude of the 13-bit value, as G.711 defines it.
  int v = s >> 3;
  bool positive = v >= 0;
  int mag = positive ? v : -v - 1;
  int k = 127;
  while (k > 0 && Lower(k) > mag) --k;
  return static_cast<uint8_t>((k | (positive ? 0x80 : 0)) ^ 0x55);
}

// G.711 decoding to the middle of each interval (the standard decoder).
int ReferenceALawDecode(uint8_t a) {
  a ^= 0x55;
  int k = a & 0x7F;
  int seg = k >> 4;
  int step = seg == 0 ? 2 : (1 << seg);
  int mid = (2 * Lower(k) + step) * 4;  // middle of the interval, back to 16-bit scale
  return (a & 0x80) ? mid : -mid;
}

// mu-law decoding from its defining formula: ((2m + 33) * 2^seg - 33) * 4.
int ReferenceMuLawDecode(uint8_t b) {
  uint8_t u = static_cast<uint8_t>(~b);
  int seg = (u >> 4) & 7, m = u & 15;
  int mag = ((2 * m + 33) * (1 << seg) - 33) * 4;
  return (u & 0x80) ? -mag : mag;
}

struct Pinned {
  const char* what;
  int got;
  int want;
};

TEST(VocCodec, PinnedValues) {
  const Pinned cases[] = {
      {"LinearToALaw(0)", LinearToALaw(0), 0xD5},
      {"LinearToALaw(-1)", LinearToALaw(-1), 0x55},
      {"LinearToALaw(32767)", LinearToALaw(32767), 0xAA},
      {"LinearToALaw(-32768)", LinearToALaw(-32768), 0x2A},
      {"ExpandG711(0xFF, mu)", ExpandG711(0xFF, false), 0},
      {"ExpandG711(0x7F, mu)", ExpandG711(0x7F, false), 0},
      {"ExpandG711(0x00, mu)", ExpandG711(0x00, false), -32124},
      {"ExpandG711(0x80, mu)", ExpandG711(0x80, false), 32124},
      {"ExpandG711(0xD5, A)", ExpandG711(0xD5, true), 0},
      {"ExpandG711(0x2A, A)", ExpandG711(0x2A, true), -32124},
      {"ALawByFormula(32767)", ALawByFormula(32767), 0x2B},
      {"ALawByFormula(-32768)", ALawByFormula(-32768), 0xAA},
      {"ALawByFormula(0)", ALawByFormula(0), 0x55},
      {"ALawByFormula(-1)", ALawByFormula(-1), 0xD5},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}

TEST(VocCodec, LinearToALawMatchesG711OverEveryInput) {
  int mismatches = 0;
  for (int s = -32768; s <= 32767; ++s) {
    uint8_t got = LinearToALaw(static_cast<int16_t>(s));
    uint8_t want = ReferenceALaw(static_cast<int16_t>(s));
    if (got != want && ++mismatches <= 5) ADD_FAILURE() << "s=" << s << " got " << int(got) << " want " << int(want);
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(VocCodec, LinearToALawRoundTripsEveryCodeThroughTheStandardDecoder) {
  for (int c = 0; c < 256; ++c) {
    int mid = ReferenceALawDecode(static_cast<uint8_t>(c));
    EXPECT_EQ(LinearToALaw(static_cast<int16_t>(mid)), c) << "code " << c << " mid " << mid;
  }
}

TEST(VocCodec, ExpandG711FollowsTheMuLawCurveForBothLaws) {
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(ExpandG711(static_cast<uint8_t>(b), false), ReferenceMuLawDecode(static_cast<uint8_t>(b))) << b;
    // A-law bytes are read through the same curve after the XOR (kept on purpose).
    EXPECT_EQ(ExpandG711(static_cast<uint8_t>(b), true), ReferenceMuLawDecode(static_cast<uint8_t>(b ^ 0x2A))) << b;
  }
}

TEST(VocCodec, BlockFormsAgreeWithSingleSamples) {
  std::mt19937 rng(7);
  std::vector<int16_t> pcm(5000);
  for (auto& s : pcm) s = static_cast<int16_t>(rng());
  std::vector<uint8_t> a(pcm.size()), f(pcm.size());
  LinearToALawBlock(pcm.data(), a.data(), pcm.size());
  ALawByFormulaBlock(pcm.data(), f.data(), pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) {
    ASSERT_EQ(a[i], LinearToALaw(pcm[i]));
    ASSERT_EQ(f[i], ALawByFormula(pcm[i]));
  }
  std::vector<uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
  std::vector<int16_t> out(256);
  for (bool alaw : {false, true}) {
    ExpandG711Block(bytes.data(), out.data(), 256, alaw);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(out[i], ExpandG711(static_cast<uint8_t>(i), alaw));
  }
}

TEST(VocCodec, ALawByFormulaFollowsTheLawWithinOneStep) {
  // Double-precision law; the single-precision result may differ by one
  // step where a value lands on a boundary, never more.
  const double d = 1.0 + std::log(87.6);
  for (int s = -32768; s <= 32767; ++s) {
    double x = std::abs(s) / 32767.0;
    double y = x <= 1 / 87.6 ? 87.6 * x / d : (1 + std::log(87.6 * x)) / d;
    int c = static_cast<int>(y * 127);
    int got = ALawByFormula(static_cast<int16_t>(s)) ^ 0x55;
    int gotMag = s < 0 ? got - 128 : got;
    ASSERT_EQ((got & 0x80) != 0, s < 0) << "polarity at " << s;
    ASSERT_LE(std::abs(gotMag - c), 1) << "s=" << s;
  }
}

TEST(VocCodec, AdpcmStepsByHand) {
  struct Step {
    uint8_t nibble;
    int sample;
    int index;
  };
  // Worked from the step table: 73 at index 16, 157 at 24, 337 at 32.
  const Step steps[] = {{0x7, 1360, 24}, {0xF, -1570, 32}, {0x0, -1150, 31}, {0x8, -1530, 30}};
  VoxAdpcmState st;
  for (const auto& s : steps) {
    EXPECT_EQ(VoxAdpcmStep(s.nibble, st), s.sample);
    EXPECT_EQ(st.index, s.index);
  }
}

TEST(VocCodec, AdpcmSaturates) {
  struct Case {
    uint8_t nibble;
    int sample;
    int index;
  };
  for (const auto& c : {Case{0x7, 20470, 48}, Case{0xF, -20480, 48}, Case{0x0, 0, 0}}) {
    VoxAdpcmState st;
    int16_t s = 0;
    for (int i = 0; i < 200; ++i) s = VoxAdpcmStep(c.nibble, st);
    if (c.nibble == 0) {
      EXPECT_EQ(st.index, 0);  // quiet codes walk the step down to its floor
    } else {
      EXPECT_EQ(s, c.sample);
      EXPECT_EQ(st.index, c.index);
    }
  }
}

TEST(VocCodec, AdpcmDecodeTakesTheHighNibbleFirst) {
  std::mt19937 rng(3);
  std::vector<uint8_t> in(3000);
  for (auto& b : in) b = static_cast<uint8_t>(rng());
  std::vector<int16_t> out(2 * in.size());
  VoxAdpcmState a, b;
  // Decoded in two calls, the state carries over.
  VoxAdpcmDecode(in.data(), out.data(), 1000, a);
  VoxAdpcmDecode(in.data() + 1000, out.data() + 2000, in.size() - 1000, a);
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[2 * i], VoxAdpcmStep(in[i] >> 4, b));
    ASSERT_EQ(out[2 * i + 1], VoxAdpcmStep(in[i] & 15, b));
  }
  EXPECT_EQ(a.predictor, b.predictor);
  EXPECT_EQ(a.index, b.index);
}

}  // namespace
