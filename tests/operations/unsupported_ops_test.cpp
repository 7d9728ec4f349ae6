// What a script sees when its line's call object has no such feature: the
// SIP, instant-message, conference-room and FSK operations on a trunk line,
// an analog user port and a virtual line give the harmless answers the
// scripts of this system rely on, and a virtual line connects at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "lines/vircard.h"
#include "tests/lines/cardtest_fixture.h"

namespace {

const char* const kScript =
    "a = \"x\"\nb = \"y\"\nn = 7\nt = \"x\"\n"
    "sipDest = SipGetDestAddr(\"dest\", a)\n"
    "sipAcc = SipGetAccAddr(\"acc\", \"pw\", b, n)\n"
    "imSend = ImSend(\"to\", \"body\", 4)\n"
    "conf = JoinConf(\"room\", 0)\n"
    "rec = RecConf(\"room\", \"r.wav\")\n"
    "fsk = RecvFskMsg(n, t, 0)\n"
    "return(0)\n";

struct Want {
  const char* var;
  const char* text;
};
const Want kUnsupported[] = {
    {"sipDest", "-1"}, {"a", ""}, {"sipAcc", "-1"}, {"b", ""}, {"imSend", "0"}, {"conf", "-2"}, {"rec", "-1"}, {"fsk", "0"},
};

class UnsupportedOps : public cardtest::CardFixture {
 protected:
  void SetUp() override {
    CardFixture::SetUp();
    TagMemKxs::Instance().Clear();
    testsupport::WriteFile(dir_ / "u.kxs", kScript);
  }
  // Runs the script once on the call object and gives its variables' texts.
  std::unique_ptr<TagTelBasic> RunOn(TagKxCall* call, int lineNo) {
    auto inst = std::make_unique<TagTelBasic>("u.kxs", lineNo, call, 1);
    EXPECT_EQ(inst->initResult, 0) << testsupport::ReadFile(dir_ / ("errmsg" + std::to_string(lineNo) + ".txt"));
    if (inst->initResult == 0) inst->Run();
    return inst;
  }
  static void Expect(TagTelBasic& inst, const Want* begin, const Want* end) {
    for (const Want* w = begin; w != end; ++w) {
      TagVar* v = inst.FindVariable(w->var);
      ASSERT_NE(v, nullptr) << w->var;
      EXPECT_EQ(v->ToText(), w->text) << w->var;
    }
  }
};

TEST_F(UnsupportedOps, CardAndVirtualLinesGiveTheSameHarmlessAnswers) {
  Open();
  TagVirCard virCard(1, 1);
  TagTelLine* virLine = virCard.MakeLine(0, 40);
  ASSERT_NE(virLine, nullptr);
  const struct {
    const char* what;
    TagKxCall* call;
    int lineNo;
  } lines[] = {{"trunk line", Digital(0), 0}, {"user port", Analog(30), 30}, {"virtual line", virLine->call, 40}};
  for (const auto& l : lines) {
    SCOPED_TRACE(l.what);
    ASSERT_NE(l.call, nullptr);
    auto inst = RunOn(l.call, l.lineNo);
    Expect(*inst, std::begin(kUnsupported), std::end(kUnsupported));
  }
  virCard.FreeLine(virLine);
}

// A virtual line has no far end: it is called and answered at once.
TEST_F(UnsupportedOps, AVirtualLineConnectsAtOnce) {
  testsupport::WriteFile(dir_ / "v.kxs",
                         "caller = \"x\"\ncallee = \"y\"\nring = WaitRing(1)\nrings = IsRings(1)\n"
                         "ringing = IsRinging(caller, callee)\nhook = GetHookState()\n"
                         "out = OutCall(\"123\")\ndial = CheckDial()\nreturn(0)\n");
  TagVirCard virCard(1, 1);
  TagTelLine* virLine = virCard.MakeLine(0, 40);
  ASSERT_NE(virLine, nullptr);
  {
    TagTelBasic inst("v.kxs", 40, virLine->call, 1);
    ASSERT_EQ(inst.initResult, 0) << testsupport::ReadFile(dir_ / "errmsg40.txt");
    inst.Run();
    const Want want[] = {{"ring", "0"}, {"rings", "1"}, {"ringing", "1"}, {"caller", ""}, {"callee", ""}, {"hook", "1"}, {"out", "0"}, {"dial", "1"}};
    Expect(inst, std::begin(want), std::end(want));
    EXPECT_EQ(virLine->call->callState.load(), kCallConnected);
  }
  virCard.FreeLine(virLine);
}

}  // namespace
