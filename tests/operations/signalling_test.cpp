// Signalling operations: the raw-data parser, tones, dial-on, raw data both
// ways, signalling parameters, the plain fields, and FSK messages.
#include <gtest/gtest.h>

#include <cstring>

#include "operations/signalling.h"
#include "tests/operations/op_fixture.h"

using namespace optest;

namespace {

class FskCall : public TagKxCall {
 public:
  int SendFskMsg(int type, const std::string& data, int len) override {
    sent = std::to_string(type) + "|" + data + "|" + std::to_string(len);
    return 3;
  }
  int RecvFskMsg(int& number, std::string& text, int third) override {
    number = 40 + third;
    text = std::string(1500, 'f');
    return 1;
  }
  int SetSigParaStr(int type, const std::string& text) override {
    paraText = std::to_string(type) + ":" + text;
    return 8;
  }
  std::string sent, paraText;
};

class Signalling : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    fskLine_ = std::make_unique<TagTelBasic>("none.kxs", 0, &fsk_, 0);
    fskLine_->initResult = 0;
  }
  void TearDown() override {
    fskLine_.reset();
    OpFixture::TearDown();
  }
  int OnFsk(KeywordId id, const std::vector<TagVar*>& args) {
    auto op = testsupport::MakeOperation(id, args, fskLine_.get(), kLineDig);
    return op ? op->Execute() : -999;
  }
  FskCall fsk_;
  std::unique_ptr<TagTelBasic> fskLine_;
};

std::string HexOf(const std::vector<uint8_t>& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    snprintf(buf, sizeof buf, "%02X", x);
    s += buf;
  }
  return s;
}

}  // namespace

TEST(SigRawData, ParserTable) {
  std::string longHex;
  for (int i = 0; i < 301; ++i) longHex += "AB";
  std::string justHex;
  for (int i = 0; i < 300; ++i) justHex += "cd ";
  struct Case {
    const char* name;
    bool isString;
    std::string text;
    int stored;
    int length;
    int result;
    const char* hex;
  } cases[] = {
      {"hex with blanks", true, "01 06 00 0A", 12, 0, 4, "0106000A"},
      {"hex without blanks, length ignored", true, "0106000A", 9, 2, 4, "0106000A"},
      {"hex opening with 00", true, "00ff10 20", 10, 0, 4, "00FF1020"},
      {"hex stops at the first other character", true, "A1B2C3x44", 10, 0, 3, "A1B2C3"},
      {"a last single digit is a byte", true, "a1b2c3d", 8, 0, 4, "A1B2C30D"},
      {"short text is not hex", true, "0102", 5, 0, 4, "30313032"},
      {"text not opening with hex", true, "hello world", 12, 0, 11, "68656C6C6F20776F726C64"},
      {"text cut at the length", true, "hello world", 12, 5, 5, "68656C6C6F"},
      {"length one past the text takes the NUL", true, "hello", 6, 6, 6, "68656C6C6F00"},
      {"length past the stored integer", true, "hello", 6, 7, -1, ""},
      {"an integer is refused", false, "", 5, 0, -1, ""},
      {"300 hex bytes", true, justHex, 901, 0, 300, nullptr},
      {"301 hex bytes", true, longHex, 603, 0, -2, ""},
      {"301 text bytes", true, std::string(301, 'q'), 302, 0, -2, ""},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> out;
    EXPECT_EQ(ParseSigRawData(c.isString, c.text, c.stored, c.length, &out), c.result) << c.name;
    if (c.hex) {
      EXPECT_EQ(HexOf(out), c.result < 0 ? "" : c.hex) << c.name;
    }
  }
}

TEST_F(OpTable, SignallingTonesDialOnAndFields) {
  auto toneWith = [](int key) {
    return std::vector<TagVar>{I(key), I(1), I(2), I(3), I(4), I(5), I(6), I(7), I(8), I(9)};
  };
  std::vector<TagVar> tone = toneWith(256), low = toneWith(249), high = toneWith(257);
  Check({
      {"tone key 256", KeywordId::SetTones, tone, 0, {}},
      {"tone key 249", KeywordId::SetTones, low, -1, {}},
      {"tone key 257", KeywordId::SetTones, high, -1, {}},
      {"dial-on", KeywordId::SetDialOn, {S("1"), I(5)}, 1, {}},
      {"hang-up cause", KeywordId::SetHangupCause, {I(17)}, 17, {}},
      {"call type", KeywordId::SetCallType, {S("3")}, 3, {}},
      {"record position", KeywordId::SetRecPos, {I(4000)}, 0, {}},
  });
  ASSERT_EQ(call_.tones.Tones().size(), 1u);
  EXPECT_EQ(call_.tones.Tones().at(256).values[9], 9);
  EXPECT_EQ(call_.dialPara[0], 1);
  EXPECT_EQ(call_.dialPara[1], 5);
  EXPECT_EQ(call_.hangupCause, 17);
  EXPECT_EQ(call_.callType, 3);
  EXPECT_EQ(call_.recPos, 4000);
  EXPECT_EQ(Exec(KeywordId::ClearTones, {}), 0);
  EXPECT_TRUE(call_.tones.Tones().empty());
}

TEST_F(OpFixture, RawDataToSendAndReceived) {
  EXPECT_EQ(Exec(KeywordId::SetSigRawData, Args({S("01 06 00 0A"), I(0)})), 4);
  EXPECT_EQ(call_.rawSendLen, 4);
  EXPECT_EQ(call_.rawData[3], 0x0A);
  // Refused data leaves what was there.
  EXPECT_EQ(Exec(KeywordId::SetSigRawData, Args({S(std::string(301, 'z')), I(0)})), -2);
  EXPECT_EQ(Exec(KeywordId::SetSigRawData, Args({I(5), I(0)})), -1);
  EXPECT_EQ(call_.rawSendLen, 4);
  EXPECT_EQ(call_.rawData[0], 0x01);

  // Received bytes, NUL included, fetched once.
  const uint8_t got[] = {0x06, 0x00, 0x41};
  std::memcpy(call_.rawData, got, sizeof got);
  call_.rawRecvLen = 3;
  auto out = Args({S("old")});
  EXPECT_EQ(Exec(KeywordId::GetSigRawData, out), 3);
  EXPECT_EQ(std::string(out[0]->Bytes()), std::string("\x06\x00\x41", 3));
  EXPECT_EQ(call_.rawSendLen, 0);
  EXPECT_EQ(Exec(KeywordId::GetSigRawData, out), 0);
  EXPECT_EQ(std::string(out[0]->Bytes()), std::string("\x06\x00\x41", 3)) << "second fetch leaves it";
}

TEST_F(Signalling, SigParaFskSendAndReceive) {
  EXPECT_EQ(OnFsk(KeywordId::SetSigPara, Args({I(2), N()})), 0);
  EXPECT_EQ(fsk_.sigPara[1], -1) << "null passes -1";
  EXPECT_EQ(OnFsk(KeywordId::SetSigPara, Args({I(1), D(7.5)})), 0);
  EXPECT_EQ(fsk_.sigPara[0], 7);
  EXPECT_EQ(OnFsk(KeywordId::SetSigPara, Args({I(3), S("abc")})), 8);
  EXPECT_EQ(fsk_.paraText, "3:abc");

  EXPECT_EQ(OnFsk(KeywordId::SendFskMsg, Args({S("2"), S("13800"), I(5)})), 3);
  EXPECT_EQ(fsk_.sent, "2|13800|5");
  auto out = Args({N(), N(), I(2)});
  EXPECT_EQ(OnFsk(KeywordId::RecvFskMsg, out), 1);
  EXPECT_EQ(Show(*out[0]), "42");
  EXPECT_EQ(out[1]->Bytes().size(), 1024u) << "cut to the buffer";
  // The default call object empties both outputs.
  auto plain = Args({I(9), S("x"), I(0)});
  EXPECT_EQ(Exec(KeywordId::RecvFskMsg, plain), 0);
  EXPECT_EQ(Show(*plain[0]), "0");
  EXPECT_EQ(Show(*plain[1]), "\"\"");
  EXPECT_EQ(Exec(KeywordId::SendFskMsg, Args({I(1), S("a"), I(1)})), 0);
}
