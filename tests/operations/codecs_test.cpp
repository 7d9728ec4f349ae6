// Percent escaping and Base64.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "operations/codecs.h"

namespace {

std::string Bytes(std::initializer_list<unsigned> b) {
  std::string s;
  for (unsigned c : b) s.push_back(static_cast<char>(c));
  return s;
}

// Every byte value in turn, starting at start, n of them.
std::string ByteRun(unsigned start, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((start + i) & 0xFF));
  return s;
}

TEST(Base64, RoundTripsEveryByteAtEveryLength) {
  for (size_t n = 0; n <= 5; ++n) {
    for (unsigned start = 0; start < 256; ++start) {
      std::string in = ByteRun(start, n);
      std::string enc = Base64Encode(in);
      ASSERT_EQ(enc.size(), (n + 2) / 3 * 4) << n;
      std::string back = "stale";
      ASSERT_EQ(Base64Decode(enc, back), static_cast<int>(n)) << enc;
      ASSERT_EQ(back, in) << enc;
    }
  }
}

TEST(Base64, KnownTexts) {
  const char* cases[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                            {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "+/8="}};
  for (auto& c : cases) {
    EXPECT_EQ(Base64Encode(c[0]), c[1]);
    std::string back;
    EXPECT_EQ(Base64Decode(c[1], back), static_cast<int>(std::string(c[0]).size()));
    EXPECT_EQ(back, c[0]);
  }
  EXPECT_EQ(Base64Encode(Bytes({0, 0, 0})), "AAAA");
}

TEST(Base64, DecodingOddInput) {
  struct Case {
    const char* in;
    int n;
    std::string out;
  } cases[] = {
      {"abc", -1, "untouched"},
      {"YWJjZ", -1, "untouched"},
      {"", 0, ""},
      {"YQ==", 1, "a"},
      {"YWI=", 2, "ab"},
      // Characters outside the alphabet read as 0.
      {"Y!==", 1, "`"},
      {"Y\xFFQQ", 3, Bytes({0x60, 0x04, 0x10})},
      // Only the last group's filling shortens the result.
      {"YQ==YWJj", 6, Bytes({'a', 0, 0, 'a', 'b', 'c'})},
  };
  for (const Case& c : cases) {
    std::string out = "untouched";
    EXPECT_EQ(Base64Decode(c.in, out), c.n) << c.in;
    EXPECT_EQ(out, c.out) << c.in;
  }
  const std::pair<char, int> values[] = {{'A', 0},  {'Z', 25}, {'a', 26}, {'z', 51}, {'0', 52},   {'9', 61},
                                         {'+', 62}, {'/', 63}, {'=', 0},  {'-', 0},  {'\xFF', 0}, {'\0', 0}};
  for (auto [c, v] : values) EXPECT_EQ(Base64Value(c), v) << c;
}

TEST(Percent, EveryByteEncodesAndComesBack) {
  for (unsigned b = 1; b < 256; ++b) {
    std::string in(1, static_cast<char>(b));
    bool kept = (b >= 0x21 && b <= 0x24) || (b >= 0x26 && b <= 0x2A) || (b >= 0x2C && b <= 0x7E);
    std::string enc = PercentEncode(in);
    if (kept) {
      EXPECT_EQ(enc, in) << b;
    } else {
      char want[4];
      std::snprintf(want, sizeof want, "%%%02X", b);
      EXPECT_EQ(enc, want) << b;
    }
    EXPECT_EQ(PercentDecode(enc), in) << b;
  }
  for (size_t n = 0; n <= 5; ++n) {
    for (unsigned start = 1; start < 256; ++start) {
      std::string in = ByteRun(start, n);
      if (in.find('\0') != std::string::npos) continue;
      std::string enc = PercentEncode(in);
      ASSERT_LE(enc.size(), 3 * n);
      ASSERT_EQ(PercentDecode(enc), in) << enc;
    }
  }
}

TEST(Percent, OddInput) {
  struct Case {
    std::string in;
    std::string encoded;
    std::string decoded;
  } cases[] = {
      {"a b", "a%20b", "a b"},
      {"100%", "100%25", "100%"},
      {"a+b", "a%2Bb", "a+b"},
      // Both stop at the first zero byte.
      {std::string("a\0b", 3), "a", "a"},
      {std::string("%41\0%42", 7), "%2541", "A"},
      // A % too near the end, or without a hex digit after it, stays.
      {"50%", "50%25", "50%"},
      {"%4", "%254", "%4"},
      {"%zz", "%25zz", "%zz"},
      // Digits up to the first byte that is not one; both bytes are used.
      {"%4z!", "%254z!", Bytes({0x04, '!'})},
      {"%%41", "%25%2541", "%A"},
      {"%4a%4A%ff", "%254a%254A%25ff", "JJ\xFF"},
      {"%00x", "%2500x", Bytes({0, 'x'})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PercentEncode(c.in), c.encoded) << c.in;
    EXPECT_EQ(PercentDecode(c.in), c.decoded) << c.in;
  }
}

}  // namespace
