#include <gtest/gtest.h>

#include <random>

#include "platform/card/isupmsg.h"

using namespace plat::card;

namespace {

std::vector<uint8_t> Hex(const std::string& s) {
  std::vector<uint8_t> v;
  EXPECT_TRUE(ParseHex(s, &v));
  return v;
}

// The IAM of an incoming call: called 12345 (odd), caller 6789.
const char kIam[] = "01 00 00 00 0A 00 02 07 05 83 10 21 43 05 0A 04 03 13 76 98 00";

}  // namespace

TEST(CardIsup, BcdDecodeTable) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool odd;
    std::string want;
  } cases[] = {
      {{0x21, 0x43, 0x05}, true, "12345"},
      {{0x21, 0x43, 0x05}, false, "123450"},
      {{0x68, 0x31}, false, "8613"},
      {{0x68, 0x31, 0x00}, true, "86130"},
      {{0x68, 0xF1}, false, "861"},  // filler half ends the number
      {{0xBA, 0x0C}, false, "...0"}, // 10..14 read as '.'
      {{}, true, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(BcdDecode(c.bytes.data(), c.bytes.size(), c.odd), c.want);
  std::vector<uint8_t> many(20, 0x99);
  EXPECT_EQ(BcdDecode(many.data(), many.size(), false).size(), kMaxNumberDigits);
}

TEST(CardIsup, BcdEncodeRoundTrip) {
  for (std::string n : {"", "1", "12", "12345", "13800138000", "0"}) {
    auto b = BcdEncode(n);
    EXPECT_EQ(b.size(), (n.size() + 1) / 2);
    EXPECT_EQ(BcdDecode(b.data(), b.size(), n.size() % 2 == 1), n);
  }
  EXPECT_EQ(BcdEncode("123"), (std::vector<uint8_t>{0x21, 0x03}));
}

TEST(CardIsup, DecodesTheExampleIam) {
  auto iam = Hex(kIam);
  IamInfo info;
  ASSERT_EQ(DecodeIam(iam.data(), iam.size(), &info), 0);
  EXPECT_EQ(info.called, "12345");
  EXPECT_EQ(info.caller, "6789");
  EXPECT_EQ(info.redirCase, 0);
  EXPECT_EQ(info.firstCalled, "");
}

TEST(CardIsup, BuiltIamDecodesBack) {
  struct Case {
    std::string caller, called, first;
    int redir;
  } cases[] = {
      {"6789", "12345", "", 0},
      {"", "8613", "", 0},
      {"13800138000", "4001234567", "95555", 3},
      {"1", "2", "", 7},
  };
  for (const auto& c : cases) {
    auto m = BuildIam(c.caller, c.called, c.first, c.redir, c.first.empty() ? "" : "777");
    IamInfo info;
    ASSERT_EQ(DecodeIam(m.data(), m.size(), &info), 0) << c.called;
    EXPECT_EQ(info.caller, c.caller);
    EXPECT_EQ(info.called, c.called);
    EXPECT_EQ(info.firstCalled, c.first);
    EXPECT_EQ(info.redirCase, c.redir);
    if (!c.first.empty()) {
      EXPECT_EQ(info.redirecting, "777");
    }
  }
  // Same bytes as the network's example.
  EXPECT_EQ(ToHex(BuildIam("6789", "12345")), kIam);
}

TEST(CardIsup, IamRedirectionInformationGivesTheCase) {
  // 0x13 with length 2, second value byte 0x30: case 3.
  auto m = Hex("01 00 00 00 0A 00 02 07 05 83 10 21 43 05 13 02 03 30 00");
  IamInfo info;
  ASSERT_EQ(DecodeIam(m.data(), m.size(), &info), 0);
  EXPECT_EQ(info.redirCase, 3);
}

TEST(CardIsup, IamRefusals) {
  IamInfo info;
  auto acm = Hex("06 12 14 01 00");
  EXPECT_EQ(DecodeIam(acm.data(), acm.size(), &info), -2);
  auto shortMsg = Hex("01 00 00");
  EXPECT_EQ(DecodeIam(shortMsg.data(), shortMsg.size(), &info), -1);
  // A parameter length above 20 ends the walk: no caller.
  auto longParam = Hex("01 00 00 00 0A 00 02 07 05 83 10 21 43 05 0A 15 03 13 76 98 00");
  EXPECT_EQ(DecodeIam(longParam.data(), longParam.size(), &info), 0);
  EXPECT_EQ(info.caller, "");
  EXPECT_EQ(info.called, "12345");
}

// Every read is bounded by the given length: cut a message anywhere, or lie
// in its length bytes, and the decoder stays inside it (ASan watches).
TEST(CardIsup, DecodersStayInsideTruncatedAndLyingMessages) {
  std::vector<std::vector<uint8_t>> corpus = {
      Hex(kIam),
      BuildIam("13800138000", "4001234567", "95555", 3, "777"),
      BuildAcm(true, 3, "12345"),
      BuildFarAcm(0x16, 0x14, 2, "88886666"),
      Hex("01 00 00 00 0A 00 02 FF FF 83 10 21"),
      Hex("06 12 14 01 0C 14 83 10 21"),
  };
  std::mt19937 rng(12);
  for (const auto& full : corpus) {
    for (size_t n = 0; n <= full.size(); n++) {
      std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(n));
      for (int round = 0; round < 40; round++) {
        std::vector<uint8_t> m = cut;  // exact size: any overread is caught
        if (round > 0 && !m.empty()) m[rng() % m.size()] = static_cast<uint8_t>(rng());
        IamInfo iam;
        AcmInfo acm;
        DecodeIam(m.data(), m.size(), &iam);
        DecodeAcm(m.data(), m.size(), round % 2 == 1, &acm);
        EXPECT_LE(iam.called.size(), kMaxNumberDigits);
        EXPECT_LE(iam.caller.size(), kMaxNumberDigits);
        EXPECT_LE(acm.redirection.size(), kMaxNumberDigits);
      }
    }
  }
}

TEST(CardIsup, AcmAsTheLineBuildsIt) {
  EXPECT_EQ(ToHex(BuildAcm(true, 0, "12345")), "06 12 14 01 37 01 0C 29 01 01 39 02 37 C0 00");
  EXPECT_EQ(ToHex(BuildAcm(false, 0, "12345")), "06 11 14 01 37 01 0C 29 01 01 39 02 37 C0 00");
  // Redirected: diversion 3*8 and the called number as redirection number.
  EXPECT_EQ(ToHex(BuildAcm(true, 3, "12345")),
            "06 12 14 01 37 01 0C 36 01 18 0C 05 83 10 21 43 05 29 01 01 39 02 37 C0 00");
  EXPECT_EQ(ToHex(BuildAcm(true, 1, "1234")),
            "06 12 14 01 37 01 0C 36 01 08 0C 04 03 10 21 43 29 01 01 39 02 37 C0 00");
}

TEST(CardIsup, DecodeAcmTable) {
  struct Case {
    std::vector<uint8_t> msg;
    bool mobile;
    int status, redirCase;
    std::string redirection;
  } cases[] = {
      {BuildFarAcm(0x16, 0x14, 0, ""), false, 1, 0, ""},
      {BuildFarAcm(0x12, 0x14, 0, ""), false, 0, 0, ""},
      {BuildFarAcm(0x12, 0x16, 0, ""), true, 4, 0, ""},   // mobile idle by octet 2
      {BuildFarAcm(0x02, 0x14, 0, ""), true, 4, 0, ""},   // mobile idle by octet 1
      {BuildFarAcm(0x12, 0x16, 0, ""), false, 0, 0, ""},
      {BuildFarAcm(0x16, 0x14, 3, "95555"), false, 1, 3, "95555"},
      {BuildAcm(true, 2, "12345"), false, 0, 2, "12345"},
  };
  for (const auto& c : cases) {
    AcmInfo info;
    ASSERT_EQ(DecodeAcm(c.msg.data(), c.msg.size(), c.mobile, &info), 0) << ToHex(c.msg);
    EXPECT_EQ(info.calledStatus, c.status) << ToHex(c.msg);
    EXPECT_EQ(info.redirCase, c.redirCase) << ToHex(c.msg);
    EXPECT_EQ(info.redirection, c.redirection) << ToHex(c.msg);
  }
  AcmInfo info;
  auto iam = Hex(kIam);
  EXPECT_EQ(DecodeAcm(iam.data(), iam.size(), false, &info), -2);
  EXPECT_EQ(DecodeAcm(iam.data(), 2, false, &info), -1);
}

TEST(CardIsup, HexParsing) {
  std::vector<uint8_t> v;
  EXPECT_TRUE(ParseHex("01 0a,FF:0x10", &v));
  EXPECT_EQ(v, (std::vector<uint8_t>{0x01, 0x0A, 0xFF, 0x10}));
  EXPECT_FALSE(ParseHex("0", &v));
  EXPECT_FALSE(ParseHex("zz", &v));
  EXPECT_FALSE(ParseHex("01 02 03", &v, 2));
  EXPECT_TRUE(ParseHex("", &v));
  EXPECT_TRUE(v.empty());
}

TEST(CardIsup, FskCallerIdMessage) {
  struct Case {
    std::string number;
    size_t textLen;
  } cases[] = {{"13800138000", 19}, {"", 8}, {std::string(40, '9'), 28}};
  for (const auto& c : cases) {
    auto m = BuildFskCallerId(3, 3, 14, 5, c.number);
    ASSERT_EQ(m.size(), c.textLen + 3) << c.number;
    EXPECT_EQ(m[0], 0x04);
    EXPECT_EQ(m[1], c.textLen);
    EXPECT_EQ(std::string(m.begin() + 2, m.begin() + 10), "03031405");
    uint8_t sum = 0;
    for (uint8_t b : m) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0) << c.number;
  }
  auto m = BuildFskCallerId(3, 3, 14, 5, "13800138000");
  EXPECT_EQ(std::string(m.begin() + 2, m.end() - 1), "0303140513800138000");
}
