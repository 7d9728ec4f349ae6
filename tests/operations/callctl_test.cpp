#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "host/operations.h"

#include "tests/operations/ivr_fixture.h"

namespace ivrtest {
namespace {

using CallCtl = IvrFixture;

// Each family's keywords reach the factory once registered at start, belong to
// one family only (a second maker would silently replace the first), and make
// a real operation from a full argument list.
TEST_F(CallCtl, EveryKeywordOfEveryFamilyIsRegisteredOnce) {
  std::map<int, std::string> owner;
  for (const TagOpFamily& family : OperationFamilies()) {
    ASSERT_FALSE(family.table().empty()) << family.name;
    for (const TagOpEntry& e : family.table()) {
      const RecKeyword& kw = KeywordRec(e.id);
      auto [it, fresh] = owner.emplace(kw.index, family.name);
      EXPECT_TRUE(fresh) << kw.name << " is in " << it->second << " and " << family.name;
      EXPECT_TRUE(TagOpFactory::Instance().Has(kw.index)) << kw.name;
      std::vector<TagVar*> args;
      for (int i = 0; i < kw.argCount; ++i) args.push_back(Int(0));
      std::unique_ptr<TagOper> op(
          TagOpFactory::Instance().Make(TagOpArgs{kw, args, inst_.get(), inst_.get(), kLineDig, 3}));
      ASSERT_NE(op, nullptr) << kw.name;
      EXPECT_FALSE(TagOpFactory::IsPlaceholder(op.get())) << kw.name << " of " << family.name;
    }
  }
  // And a keyword of no family still compiles, to the placeholder.
  std::vector<TagVar*> none;
  for (int i = 0; i < kKeywordCount; ++i) {
    if (owner.count(i) || TagOpFactory::Instance().Has(i)) continue;
    const RecKeyword& kw = KeywordRec(static_cast<KeywordId>(i));
    if (kw.argCount < 0) continue;
    std::unique_ptr<TagOper> op(TagOpFactory::Instance().Make(TagOpArgs{kw, none, inst_.get(), inst_.get(), kLineDig, 3}));
    EXPECT_TRUE(TagOpFactory::IsPlaceholder(op.get())) << kw.name;
    break;
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
