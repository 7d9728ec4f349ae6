#include <gtest/gtest.h>

#include "operations/numread.h"

namespace {

std::string Join(const std::vector<std::string>& w) {
  std::string s;
  for (const auto& x : w) s += (s.empty() ? "" : " ") + x;
  return s;
}

struct Case {
  const char* text;
  int mode;
  int language;
  const char* want;  // nullptr: invalid
};

class NumberReading : public ::testing::TestWithParam<Case> {};

TEST_P(NumberReading, Stems) {
  const Case& c = GetParam();
  std::vector<std::string> out;
  bool ok = NumberReadingStems(c.text, c.mode, c.language, out);
  if (!c.want) {
    EXPECT_FALSE(ok) << c.text << " mode " << c.mode;
    EXPECT_TRUE(out.empty());
    return;
  }
  ASSERT_TRUE(ok) << c.text << " mode " << c.mode;
  EXPECT_EQ(Join(out), c.want) << c.text << " mode " << c.mode << " language " << c.language;
}

INSTANTIATE_TEST_SUITE_P(
    Chinese, NumberReading,
    ::testing::Values(
        // Units reading and its zero rules.
        Case{"10", 0, 0, "shi"}, Case{"15", 0, 0, "shi 5"}, Case{"20", 0, 0, "2 shi"},
        Case{"101", 0, 0, "1 bai 0 1"}, Case{"110", 0, 0, "1 bai 1 shi"}, Case{"111", 0, 0, "1 bai 1 shi 1"},
        Case{"1010", 0, 0, "1 qian 0 1 shi"}, Case{"1011", 0, 0, "1 qian 0 shi 1"},
        Case{"10001", 0, 0, "1 wan 0 1"}, Case{"100000", 0, 0, "shi wan"}, Case{"110000", 0, 0, "shi 1 wan"},
        Case{"1000005", 0, 0, "1 bai wan 0 5"}, Case{"1005000", 0, 0, "1 bai wan 0 5 qian"},
        Case{"100001234", 0, 0, "1 yyi 0 1 qian 2 bai 3 shi 4"}, Case{"100010000", 0, 0, "1 yyi 0 1 wan"},
        Case{"100000001", 0, 0, "1 yyi 0 1"},
        Case{"102030405", 0, 0, "1 yyi 0 2 bai 0 3 wan 0 4 bai 0 5"},
        Case{"999999999999", 0, 0,
             "9 qian 9 bai 9 shi 9 yyi 9 qian 9 bai 9 shi 9 wan 9 qian 9 bai 9 shi 9"},
        // Mode 0 with leading zeros, blanks and decimals.
        Case{"0", 0, 0, "0"}, Case{"00", 0, 0, "0"}, Case{"", 0, 0, "0"}, Case{"007", 0, 0, "7"},
        Case{"  42", 0, 0, "4 shi 2"}, Case{"3.05", 0, 0, "3 dian 0 5"}, Case{"3.0", 0, 0, "3"},
        Case{"0.5", 0, 0, "0 dian 5"}, Case{"3.5a7", 0, 0, "3 dian 5"},
        Case{"12345678901234567890", 0, 0, "0"},
        // Money.
        Case{"12.34", 1, 0, "shi 2 yuan 3 jiao 4 fen"}, Case{"1.05", 1, 0, "1 yuan 5 fen"},
        Case{"0.5", 1, 0, "5 jiao"}, Case{"0", 1, 0, "0 yuan"}, Case{"100.00", 1, 0, "1 bai yuan"},
        Case{"10.5", 1, 0, "shi yuan 5 jiao"}, Case{"005", 1, 0, "5 yuan"},
        Case{"1.2345", 1, 0, "1 yuan 2 jiao 3 fen 4 li"},
        // Digits.
        Case{"13.5a", 2, 0, "1 3 dian 5"}, Case{"13.5a", 2, 2, "1 3 dian 5"},
        // Dates.
        Case{"20140311", 3, 0, "2 0 1 4 nian 3 yue shi 1 ri"}, Case{"3-15", 3, 0, "3 yue shi 5 ri"},
        Case{"5/3/1", 3, 0, "0 5 nian 3 yue 1 ri"}, Case{"2014-10-20", 3, 0, "2 0 1 4 nian shi yue 2 shi ri"},
        Case{"311", 3, 0, "3 yue shi 1 ri"}, Case{"2014-13-01", 3, 0, nullptr}, Case{"2014-01-00", 3, 0, nullptr},
        Case{"12", 3, 0, nullptr}, Case{"1-2-3-4", 3, 0, nullptr},
        Case{"1234567890123-1-1", 3, 0, nullptr},
        // Clock times and durations.
        Case{"9:05", 4, 0, "9 dian 5 fen"}, Case{"0:00", 4, 0, "0 dian 0 fen"}, Case{"24:00", 4, 0, "2 shi 4 dian 0 fen"},
        Case{"25:00", 4, 0, nullptr}, Case{"12:30:15", 4, 0, "shi 2 dian 3 shi fen shi 5 miao"},
        Case{"0:30", 5, 0, "3 shi miao"}, Case{"1:00:00", 5, 0, "1 xiaoshi 0 miao"},
        Case{"1:02:03", 5, 0, "1 xiaoshi 2 fen 3 miao"}, Case{"10203", 5, 0, "1 xiaoshi 2 fen 3 miao"},
        Case{"9:60", 4, 0, nullptr}, Case{"99999999999", 5, 0, nullptr},
        // Unknown modes read nothing.
        Case{"5", 9, 0, ""}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

INSTANTIATE_TEST_SUITE_P(
    English, NumberReading,
    ::testing::Values(Case{"0", 0, 2, "0"}, Case{"15", 0, 2, "15"}, Case{"100", 0, 2, "1 hundred"},
                      Case{"1234", 0, 2, "1 thousand 2 hundred and 30 4"},
                      Case{"2147483647", 0, 2,
                           "2 billion 1 hundred and 40 7 million 4 hundred and 80 3 thousand 6 hundred and 40 7"},
                      Case{"100005", 0, 2, "1 hundred thousand 5"}, Case{"1000000", 0, 2, "1 million"},
                      Case{"99999999999999999999", 0, 2,
                           "2 billion 1 hundred and 40 7 million 4 hundred and 80 3 thousand 6 hundred and 40 7"},
                      Case{"-5", 0, 2, "0"}, Case{"3.25", 0, 2, "3 dian 2 5"}, Case{"3.0", 0, 2, "3"},
                      Case{"3.00", 1, 2, "3 dian 0 0 yuan"}, Case{"12", 1, 2, "12 yuan"},
                      Case{"20140311", 3, 2, ""}, Case{"9:05", 4, 2, ""}, Case{"1:00", 5, 2, ""}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

TEST(EnNumber, WordStemsAndDigits) {
  TagEnNumber words(true);
  std::vector<std::string> out;
  EXPECT_EQ(words.NumberToWords(42, out), 2);
  EXPECT_EQ(Join(out), "forty two");
  out.clear();
  EXPECT_EQ(words.DigitsToWords("1a0", out), 2);
  EXPECT_EQ(Join(out), "one oh");
  out.clear();
  EXPECT_EQ(EnNumber().NumberToWords(0, out), 0);
  EXPECT_EQ(EnNumber().NumberToWords(-7, out), 0);
  EXPECT_TRUE(out.empty());
}

}  // namespace
