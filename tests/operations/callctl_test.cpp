#include <gtest/gtest.h>

#include "tests/operations/ivr_fixture.h"

namespace ivrtest {
namespace {

using CallCtl = IvrFixture;

TEST_F(CallCtl, EveryIvrKeywordIsMadeWithItsArgumentCount) {
  for (auto* family : {&CallCtlOperations(), &KeyOperations(), &VoiceOperations(), &VoiceCfgOperations(),
                       &PlayNumberOperations()}) {
    for (const TagOpEntry& e : *family) {
      std::vector<TagVar*> args;
      for (int i = 0; i < KeywordRec(e.id).argCount; ++i) args.push_back(Int(0));
      TagOper* op = Make(e.id, args);
      EXPECT_NE(op, nullptr) << KeywordRec(e.id).name;
      EXPECT_EQ(FindIvrOperation(e.id), &e);
    }
  }
}

TEST_F(CallCtl, WaitRingPassesTheStoredIntegerAndAnswerReducesTheFlag) {
  EXPECT_EQ(Run(KeywordId::WaitRing, {Str("5")}), 0);
  EXPECT_EQ(Run(KeywordId::WaitRing, {Int(3)}), 0);
  EXPECT_EQ(Run(KeywordId::Answer, {Int(7)}), 0);
  EXPECT_EQ(Run(KeywordId::Answer, {Str("0")}), 0);
  EXPECT_EQ(call_.intArgs, (std::vector<int>{2, 3, 1, 0}));
}

TEST_F(CallCtl, DialFailureRules) {
  struct Case {
    KeywordId id;
    int mode;
    int result;
    int wantState;
    int wantPending;
  } cases[] = {
      {KeywordId::OutCall, 0, 3, kCallConnected, 3},        // success still stored
      {KeywordId::OutCall, 0, -4, kCallConnected, -4},
      {KeywordId::OutCall, 1, -4, kCallDialFailed, -4},     // both
      {KeywordId::Dial, 0, 2, kCallConnected, 77},          // success: untouched
      {KeywordId::Dial, 0, -5, kCallConnected, -5},
      {KeywordId::Dial, 1, -5, kCallDialFailed, 77},        // mode 1: state only
      {KeywordId::CheckDial, 0, -6, kCallConnected, -6},
      {KeywordId::CheckDial, 1, -6, kCallDialFailed, 77},
  };
  for (const Case& c : cases) {
    call_.callState = kCallConnected;
    call_.dialFailedMode = c.mode;
    call_.dialResult = c.result;
    inst_->lastDialResult = 77;
    std::vector<TagVar*> args;
    if (c.id != KeywordId::CheckDial) args.push_back(Str("12345"));
    EXPECT_EQ(Run(c.id, args), c.result) << KeywordRec(c.id).name << " " << c.result;
    EXPECT_EQ(call_.callState.load(), c.wantState) << KeywordRec(c.id).name << " " << c.result;
    EXPECT_EQ(inst_->lastDialResult, c.wantPending) << KeywordRec(c.id).name << " " << c.result;
  }
}

TEST_F(CallCtl, DialRefusesAHundredCharacters) {
  call_.dialResult = 0;
  EXPECT_EQ(Run(KeywordId::Dial, {Str(std::string(99, '1'))}), 0);
  EXPECT_EQ(Run(KeywordId::Dial, {Str(std::string(100, '1'))}), -100);
  ASSERT_EQ(call_.texts.size(), 1u);
  EXPECT_EQ(call_.texts[0].size(), 99u);
}

TEST_F(CallCtl, SetMaxTalkTime) {
  struct Case {
    int n, want;
    bool restarts;
  } cases[] = {{30, 60, false}, {0, 0, false}, {-5, 0, false}, {90, 90, true}, {59, 60, false}, {60, 60, true}};
  for (const Case& c : cases) {
    call_.connectTime = 5;
    EXPECT_EQ(Run(KeywordId::SetMaxTalkTime, {Int(c.n)}), c.want) << c.n;
    EXPECT_EQ(call_.maxTalkTime, c.want) << c.n;
    if (c.restarts)
      EXPECT_GE(call_.connectTime.load(), NowSeconds() - 2) << c.n;
    else
      EXPECT_EQ(call_.connectTime.load(), 5) << c.n;
  }
}

TEST_F(CallCtl, IsRingingWritesOnlyOnAPositiveResult) {
  TagVar* caller = Str("old");
  TagVar* callee = Int(9);
  call_.callerNumber = "1234";
  call_.ringingResult = 0;
  EXPECT_EQ(Run(KeywordId::IsRinging, {caller, callee}), 0);
  EXPECT_EQ(caller->ToText(), "old");
  EXPECT_EQ(callee->ToText(), "9");
  call_.ringingResult = 1;
  EXPECT_EQ(Run(KeywordId::IsRinging, {caller, callee}), 1);
  EXPECT_EQ(caller->ToText(), "1234");
  EXPECT_EQ(callee->ToText(), "5678");
}

TEST_F(CallCtl, GetCallerIdWritesEvenEmptyAndCutsAt511) {
  TagVar* out = Int(4);
  call_.callerNumber = "";
  EXPECT_EQ(Run(KeywordId::GetCallerId, {out}), 0);
  EXPECT_TRUE(out->IsString());
  EXPECT_EQ(out->ToText(), "");
  call_.callerNumber = std::string(600, '7');
  Run(KeywordId::GetCallerId, {out});
  EXPECT_EQ(out->TextLen(), 511u);
  TagVar* literal = Const(5);
  call_.callerNumber = "88";
  EXPECT_EQ(Run(KeywordId::GetCallerId, {literal}), 0);
  EXPECT_EQ(literal->ToText(), "5");
}

TEST_F(CallCtl, StoredTextArgumentsReachTheCallObject) {
  TagVar* number = Str("800");
  number->SetInt(12);  // last held text stays the stored text
  Run(KeywordId::SetCallerId, {number});
  EXPECT_EQ(call_.callerId, "800");
  Run(KeywordId::SetFirstCalleeId, {Str("9"), Dbl(2.7)});
  EXPECT_EQ(call_.firstCalleeId, "9");
  EXPECT_EQ(call_.firstCalleeValue, 2);
  Run(KeywordId::SetSubAddr, {Str("a"), Str("b")});
  EXPECT_EQ(call_.subAddr[1], "b");
  EXPECT_EQ(Run(KeywordId::SetDialFailedTo, {Int(1)}), 1);
  EXPECT_EQ(call_.dialFailedMode, 1);
  EXPECT_EQ(Run(KeywordId::Hangup, {}), 0);
  EXPECT_EQ(call_.callState.load(), kCallReleased);
}

}  // namespace
}  // namespace ivrtest
