// SIP and IM operations: what the defaults of this system's lines answer,
// how arguments and outputs pass, and the SIP callbacks into a script.
#include <gtest/gtest.h>

#include <fstream>
#include <typeinfo>

#include "engine/memkxs.h"
#include "operations/sip.h"
#include "tests/operations/op_fixture.h"

using namespace optest;

namespace {

// A call object whose IM answers write their outputs.
class ImCall : public TagKxCall {
 public:
  int ImSend(const std::string& to, const std::string&, const std::string& body, int len) override {
    sent = to + "|" + body + "|" + std::to_string(len);
    return 1;
  }
  int ImRead(std::string& a, std::string& b, std::string& c, std::string& d) override {
    a = b = c = d = "read";
    return readResult;
  }
  int ImMakeReq(const std::vector<std::string>& texts, std::string& id) override {
    id = "new-id-" + texts[7];
    return 2;
  }
  std::string sent;
  int readResult = 0;
};

class SipIm : public OpTable {
 protected:
  void SetUp() override {
    OpTable::SetUp();
    imLine_ = std::make_unique<TagTelBasic>("none.kxs", 0, &im_, 0);
    imLine_->initResult = 0;
  }
  void TearDown() override {
    imLine_.reset();
    OpTable::TearDown();
  }
  int OnIm(KeywordId id, const std::vector<TagVar*>& args) {
    auto op = testsupport::MakeOperation(id, args, imLine_.get(), kLineDig);
    return op ? op->Execute() : -999;
  }
  ImCall im_;
  std::unique_ptr<TagTelBasic> imLine_;
};

}  // namespace

TEST_F(SipIm, SipDefaultsOfEveryOperation) {
  Check({
      {"dest addr", KeywordId::SipGetDestAddr, {S("a"), S("x")}, -1, {{1, "\"\""}}},
      {"account addr", KeywordId::SipGetAccAddr, {S("a"), S("b"), S("x"), I(1)}, -1, {{2, "\"\""}, {3, "999999"}}},
      {"peer msg", KeywordId::SipGetPeerMsg, {S("x"), S("y")}, 0, {{0, "\"\""}, {1, "\"\""}}},
      {"rtp count", KeywordId::SipGetRtpCount, {S("x"), S("y")}, 0, {{0, "0"}, {1, "0"}}},
      {"dial route", KeywordId::SipSetDialRoute, {S("a"), S("b")}, 0, {}},
      {"rtp addr", KeywordId::SipSetRtpAddr, {S("1.2.3.4"), I(5004), D(2.5)}, 0, {}},
      {"account state", KeywordId::SipGetAccStat, {S("a")}, 0, {}},
      {"unregister", KeywordId::SipUnregisterSpecUser, {S("u")}, 0, {}},
      {"proxy recv", KeywordId::SipProxyRecv, {S("x"), S("x"), I(3), S("x")}, 0,
       {{0, "\"\""}, {1, "\"\""}, {2, "0"}, {3, "\"\""}}},
      {"proxy field", KeywordId::SipProxyGetField, {I(1), S("Via"), N()}, 0, {}, "\"\""},
      {"add field", KeywordId::SipProxyAddField, {I(1), S("X"), I(5), I(0)}, 0, {}},
      {"remove field", KeywordId::SipProxyRemoveField, {I(1), S("X")}, 0, {}},
      {"send", KeywordId::SipProxySend, {I(1), S("d")}, 0, {}},
      {"send ex", KeywordId::SipProxySendEx, {I(1), S("d"), I(2)}, 0, {}},
      {"direct answer", KeywordId::SipProxyDirAns, {I(1), I(404), S("Not Found")}, 0, {}},
      {"keep alives", KeywordId::SipProxySendKeepAlives, {S("a"), S("b")}, 0, {}},
  });
}

TEST_F(SipIm, ImDefaultsAndOutputs) {
  Check({
      {"test", KeywordId::ImTest, {}, 0, {}},
      {"read 0 leaves outputs", KeywordId::ImRead, {S("a"), S("b"), I(3), N()}, 0, {{0, "\"a\""}, {2, "3"}}},
      {"recv", KeywordId::ImRecv, {S("x"), I(4)}, 0, {{0, "\"\""}, {1, "0"}}},
      {"field", KeywordId::ImMsgGetField, {I(1), S("To"), S("dflt")}, 0, {}, "\"\""},
      {"answer", KeywordId::ImMakeAns, {I(1), I(200), S("a"), S("b"), S("c"), S("d")}, 0, {}},
      {"free", KeywordId::ImMsgFree, {I(1)}, 0, {}},
      {"file send", KeywordId::ImFileSend, {S("f"), S(""), I(9), S("x"), I(9), S("x")}, 0,
       {{1, "\"\""}, {2, "0"}, {3, "\"\""}, {4, "0"}, {5, "\"\""}}},
      {"file recv writes all six", KeywordId::ImFileRecv,
       {I(1), S("t"), I(0), I(9), S("x"), S("x"), S("x"), I(9), S("x")}, 0,
       {{3, "0"}, {4, "\"\""}, {5, "\"\""}, {6, "\"\""}, {7, "0"}, {8, "\"\""}}},
      {"file check", KeywordId::ImFileCheck, {I(1), I(9), I(9)}, 0, {{1, "0"}, {2, "0"}}},
      {"file end", KeywordId::ImFileEnd, {I(1)}, 0, {}},
      {"proc answer", KeywordId::ImFileProcAnswer, {S("ok")}, 0, {}},
  });
}

TEST_F(SipIm, ImSendRefusesALongDestinationAndPassesTheRest) {
  EXPECT_EQ(OnIm(KeywordId::ImSend, Args({S(std::string(100, 'd')), S("me"), S("hi")})), -100);
  EXPECT_EQ(im_.sent, "") << "nothing sent";
  EXPECT_EQ(OnIm(KeywordId::ImSend, Args({S(std::string(99, 'd')), S("me"), S("hello")})), 1);
  EXPECT_EQ(im_.sent, std::string(99, 'd') + "|hello|5");
}

TEST_F(SipIm, ImReadWritesOnAPositiveResultAndMakeReqKeepsAGivenId) {
  im_.readResult = 1;
  auto out = Args({N(), N(), N(), N()});
  EXPECT_EQ(OnIm(KeywordId::ImRead, out), 1);
  for (TagVar* v : out) EXPECT_EQ(Show(*v), "\"read\"");
  auto req = Args({S("1"), S("2"), S("3"), S("4"), S("5"), S("6"), S("7"), S("8"), S("")});
  EXPECT_EQ(OnIm(KeywordId::ImMakeReq, req), 2);
  EXPECT_EQ(Show(*req[8]), "\"new-id-8\"");
  auto keep = Args({S("1"), S("2"), S("3"), S("4"), S("5"), S("6"), S("7"), S("8"), S("mine")});
  EXPECT_EQ(OnIm(KeywordId::ImMakeReq, keep), 2);
  EXPECT_EQ(Show(*keep[8]), "\"mine\"");
}

namespace {

std::shared_ptr<TagTelBasic> CompileScript(const std::string& text, TagKxCall& call) {
  {
    std::ofstream f("cb.kxs", std::ios::binary);
    f << text;
  }
  TagMemKxs::Instance().Clear();
  auto inst = std::make_shared<TagTelBasic>("cb.kxs", 0, &call, 1);
  EXPECT_EQ(inst->initResult, 0) << testsupport::ReadFile("errmsg0.txt");
  return inst;
}

// Runs every statement of the main body whose class name holds cls.
void RunOps(TagTelBasic& inst, const char* cls) {
  for (TagOper* op : inst.operations)
    if (std::string(typeid(*op).name()).find(cls) != std::string::npos) op->Execute();
}

}  // namespace

TEST_F(OpFixture, SipCallbacksRunTheRegisteredFunctionWithTheirArguments) {
  TagKxCall call;
  auto inst = CompileScript(
      "function pw(acc, p1, p2)\n{\np1 = acc + \"-pw\"\np2 = \"realm\"\nreturn(7)\n}\n"
      "function ip(acc, a, b, c)\n{\na = \"1\"\nb = \"2\"\nc = acc\nreturn(3)\n}\n"
      "function note(a, b, x, y)\n{\nreturn(9)\n}\n"
      "function few(a)\n{\nreturn(1)\n}\n"
      "seen = 0\n"
      "r = SetOnSipGetAccPwd(pw)\nr = SetOnSipGetAccPwdIp(ip)\nr = SetOnSipRegisterNotify(note)\n",
      call);
  std::string o1, o2, o3;
  EXPECT_EQ(SipAccPwdCallback("bob", o1, o2), -100) << "nothing registered yet";
  RunOps(*inst, "SetOnSip");
  EXPECT_EQ(SipAccPwdCallback("bob", o1, o2), 7);
  EXPECT_EQ(o1, "bob-pw");
  EXPECT_EQ(o2, "realm");
  EXPECT_EQ(SipAccPwdIpCallback("ann", o1, o2, o3), 3);
  EXPECT_EQ(o1 + o2 + o3, "12ann");
  EXPECT_EQ(SipRegisterNotifyCallback("u", "v", 4, 5), 0);
  EXPECT_EQ(inst->FindFunction("note")->params[2]->ToText(), "4");
  EXPECT_EQ(inst->FindFunction("note")->params[3]->ToText(), "5");

  // A function with too few parameters, and a value that is no function.
  auto few = CompileScript("function few(a)\n{\nreturn(1)\n}\nn = 5\nr = SetOnSipGetAccPwd(few)\nr = SetOnSipGetAccPwdIp(n)\n",
                           call);
  RunOps(*few, "SetOnSip");
  EXPECT_EQ(SipAccPwdCallback("bob", o1, o2), -102);
  EXPECT_EQ(SipAccPwdIpCallback("bob", o1, o2, o3), -101);
  // Deleting the registering instances removes their registrations.
  inst.reset();
  few.reset();
  EXPECT_EQ(SipAccPwdCallback("bob", o1, o2), -100);
  EXPECT_EQ(SipRegisterNotifyCallback("u", "v", 1, 2), -100);
}
