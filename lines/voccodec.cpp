#include "lines/voccodec.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace {

constexpr int16_t ExpandComputed(uint8_t b, bool isALaw) {
  if (isALaw) b ^= 0x2A;
  unsigned u = static_cast<uint8_t>(~b);
  unsigned seg = (u >> 4) & 7;
  unsigned mant = u & 15;
  int mag = static_cast<int>((mant << (seg + 3)) + 132u * ((1u << seg) - 1));
  return static_cast<int16_t>((u & 0x80) ? -mag : mag);
}

constexpr uint8_t ALawComputed(int16_t s) {
  int v = s >> 3;
  int mask = 0xD5;
  if (s < 0) {
    mask = 0x55;
    v = ~v;
  }
  int seg = 0;
  while (seg < 8 && v > (1 << (seg + 5)) - 1) ++seg;
  if (seg == 8) return static_cast<uint8_t>(0x7F ^ mask);
  int code = (seg << 4) | ((v >> (seg < 2 ? 1 : seg)) & 15);
  return static_cast<uint8_t>(code ^ mask);
}

constexpr auto kExpand = [] {
  std::array<std::array<int16_t, 256>, 2> t{};
  for (int law = 0; law < 2; ++law)
    for (int b = 0; b < 256; ++b) t[law][b] = ExpandComputed(static_cast<uint8_t>(b), law == 1);
  return t;
}();

// LinearToALaw looks only at s >> 3: 8192 entries cover every input.
constexpr auto kALaw = [] {
  std::array<uint8_t, 8192> t{};
  for (int i = 0; i < 8192; ++i) t[i] = ALawComputed(static_cast<int16_t>((i - 4096) * 8));
  return t;
}();

uint8_t ALawFormulaComputed(int16_t s) {
  float x = static_cast<float>(std::abs(static_cast<int>(s))) / 32767.0f;
  float d = static_cast<float>(1.0 + std::log(87.6));
  float y;
  if (x <= 1.0f / 87.6f)
    y = static_cast<float>(87.6 * x / d);
  else
    y = static_cast<float>((1.0 + std::log(87.6 * x)) / d);
  int c = static_cast<int>(y * 127.0f);
  if (s < 0) c = (c - 128) & 0xFF;
  return static_cast<uint8_t>(c ^ 0x55);
}

const std::array<uint8_t, 65536>& FormulaTable() {
  static const auto table = [] {
    auto t = std::make_unique<std::array<uint8_t, 65536>>();
    for (int i = 0; i < 65536; ++i) (*t)[i] = ALawFormulaComputed(static_cast<int16_t>(i - 32768));
    return t;
  }();
  return *table;
}

constexpr int kSteps[49] = {16,  17,  19,  21,  23,  25,  28,  31,  34,  37,  41,  45,   50,   55,   60,   66,   73,
                            80,  88,  97,  107, 118, 130, 143, 157, 173, 190, 209, 230,  253,  279,  307,  337,  371,
                            408, 449, 494, 544, 598, 658, 724, 796, 876, 963, 1060, 1166, 1282, 1411, 1552};
constexpr int kAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

struct AdpcmEntry {
  int16_t diff;
  uint8_t next;
};

constexpr auto kAdpcm = [] {
  std::array<std::array<AdpcmEntry, 16>, 49> t{};
  for (int i = 0; i < 49; ++i) {
    for (int n = 0; n < 16; ++n) {
      int step = kSteps[i];
      int diff = step * ((n >> 2) & 1) + (step >> 1) * ((n >> 1) & 1) + (step >> 2) * (n & 1) + (step >> 3);
      if (n & 8) diff = -diff;
      int next = i + kAdjust[n & 7];
      next = next < 0 ? 0 : (next > 48 ? 48 : next);
      t[i][n] = AdpcmEntry{static_cast<int16_t>(diff), static_cast<uint8_t>(next)};
    }
  }
  return t;
}();

inline int16_t AdpcmStep(unsigned nibble, int& pred, int& index) {
  const AdpcmEntry& e = kAdpcm[index][nibble];
  pred += e.diff;
  pred = pred < -2048 ? -2048 : (pred > 2047 ? 2047 : pred);
  index = e.next;
  return static_cast<int16_t>(pred * 10);
}

}  // namespace

int16_t ExpandG711(uint8_t b, bool isALaw) { return kExpand[isALaw ? 1 : 0][b]; }

uint8_t LinearToALaw(int16_t s) { return kALaw[(s >> 3) + 4096]; }

uint8_t LinearToMuLaw(int16_t s) {
  int v = s;
  const uint8_t sign = v < 0 ? 0x80 : 0;
  if (v < 0) v = -v;
  v = std::min(v, 32635) + 0x84;
  int exponent = 7;
  for (int mask = 0x4000; (v & mask) == 0 && exponent > 0; mask >>= 1) --exponent;
  const int mantissa = (v >> (exponent + 3)) & 0x0F;
  return static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
}

uint8_t ALawByFormula(int16_t s) { return FormulaTable()[static_cast<uint16_t>(s) ^ 0x8000u]; }

void ExpandG711Block(const uint8_t* in, int16_t* out, size_t n, bool isALaw) {
  const auto& t = kExpand[isALaw ? 1 : 0];
  for (size_t i = 0; i < n; ++i) out[i] = t[in[i]];
}

void LinearToALawBlock(const int16_t* in, uint8_t* out, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = kALaw[(in[i] >> 3) + 4096];
}

void ALawByFormulaBlock(const int16_t* in, uint8_t* out, size_t n) {
  const auto& t = FormulaTable();
  for (size_t i = 0; i < n; ++i) out[i] = t[static_cast<uint16_t>(in[i]) ^ 0x8000u];
}

int16_t VoxAdpcmStep(uint8_t nibble, VoxAdpcmState& state) {
  int index = state.index < 0 ? 0 : (state.index > 48 ? 48 : state.index);
  int16_t s = AdpcmStep(nibble & 15u, state.predictor, index);
  state.index = index;
  return s;
}

void VoxAdpcmDecode(const uint8_t* in, int16_t* out, size_t bytes, VoxAdpcmState& state) {
  int pred = state.predictor;
  int index = state.index < 0 ? 0 : (state.index > 48 ? 48 : state.index);
  for (size_t i = 0; i < bytes; ++i) {
    out[2 * i] = AdpcmStep(in[i] >> 4, pred, index);
    out[2 * i + 1] = AdpcmStep(in[i] & 15u, pred, index);
  }
  state.predictor = pred;
  state.index = index;
}
