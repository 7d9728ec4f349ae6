// Message, shared-value and ACD operations on a line of their own: the
// addressing rules, the record and the outputs of each operation.
#include <gtest/gtest.h>

#include <memory>

#include "core/runcfg.h"
#include "services/acdlist.h"
#include "services/linedir.h"
#include "services/lineslots.h"
#include "services/sharemem.h"
#include "tests/operations/op_fixture.h"

namespace {

using namespace optest;
using K = KeywordId;

// Line 0 is the fixture's instance, line 1 has no script, and there are two
// lines in all.
class Messaging : public OpTable {
 protected:
  void SetUp() override {
    OpTable::SetUp();
    TagTelBasic* self = inst_.get();
    SetLineDirectory({[] { return 2; },
                      [self](int line) {
                        return line == 0 ? std::shared_ptr<TagTelBasic>(std::shared_ptr<void>(), self) : nullptr;
                      }});
  }
  void TearDown() override {
    for (int q = 0; q < kMsgQueueCount; ++q) GlobalMsgQueue(q)->Clear();
    GlobalShareMem().Clear();
    SetLineDirectory({});
    OpTable::TearDown();
  }
  TagMsgFields& Record() { return MsgSlotOf(*inst_).record; }
};

TEST_F(Messaging, AddressingErrorsComeBeforeAnyQueue) {
  Check({
      {"queue 64", K::SendMsg, {I(0), I(64), S("k"), I(1)}, -1, {}},
      {"queue -1", K::GetMsgNum, {I(0), I(-1), N()}, -1, {{2, "NULL"}}},
      {"line past the last", K::GetMsgNum, {I(2), I(0), N()}, -2, {{2, "NULL"}}},
      {"line without a script", K::ClearMsg, {I(1), I(0)}, -3, {}},
      {"bad queue before bad line", K::ClearMsg, {I(9), I(99)}, -1, {}},
      {"own queue", K::SendMsg, {I(0), I(3), S("k"), I(1)}, 1, {}},
      {"global queue", K::SendMsg, {I(-1), I(0), S("g"), I(0)}, 1, {}},
      {"any negative line reads the global queue", K::GetMsgNum, {I(-5), I(0), N()}, 1, {{2, "1"}}},
      {"own count", K::GetMsgNum, {I(0), I(3), N()}, 1, {{2, "1"}}},
  });
}

TEST_F(Messaging, SendAndReceiveThroughTheRecord) {
  Check({
      {"set field 0", K::SetMsgField, {I(0), S("abc")}, 0, {}},
      {"set field 1", K::SetMsgField, {I(1), I(42)}, 0, {}},
      {"set field 20", K::SetMsgField, {I(20), I(1)}, -1, {}},
      {"send two fields", K::SendMsg, {I(0), I(2), S("key"), I(2)}, 1, {}},
      {"overwrite field 1", K::SetMsgField, {I(1), I(-1)}, 0, {}},
      {"set field 2", K::SetMsgField, {I(2), S("kept")}, 0, {}},
      {"receive", K::RecvMsg, {I(0), I(2), N(), N(), N(), N(), N()}, 1,
       {{2, "0"}, {3, "\"key\""}, {4, "\"abc\""}, {5, "2"}, {6, "1"}}},
      {"field 1 came back", K::GetMsgField, {I(1), N()}, 0, {{1, "42"}}},
      {"field 2 past the count kept", K::GetMsgField, {I(2), N()}, 0, {{1, "\"kept\""}}},
      {"field 20", K::GetMsgField, {I(20), I(5)}, -1, {{1, "5"}}},
      {"value of field 1", K::GetMsgFieldVal, {I(1)}, 0, {}, "42"},
      {"value of field 20", K::GetMsgFieldVal, {I(20)}, 0, {}, "NULL"},
      {"empty queue", K::RecvMsg, {I(0), I(2), I(7), I(7), I(7), I(7), I(7)}, 0,
       {{2, "7"}, {3, "7"}, {4, "7"}, {5, "7"}, {6, "0"}}},
  });
}

TEST_F(Messaging, FieldCountIsClampedBeforeTheQueueIsChecked) {
  Check({
      {"count 25", K::SendMsg, {I(0), I(0), N(), I(25)}, 1, {}},
      {"count -3 to a bad queue", K::SendMsg, {I(0), I(70), I(9), I(-3)}, -1, {}},
  });
  EXPECT_EQ(Record().FieldCount(), 0);
  EXPECT_EQ(Record().key.IntValue(), 9);
  EXPECT_EQ(Record().sender, 0);
  TagMsgFields got;
  ASSERT_TRUE(MsgSlotOf(*inst_).queues[0].Recv(got));
  EXPECT_EQ(got.FieldCount(), 20);
}

TEST_F(Messaging, ChoosingCountingReadingAndClearing) {
  // Three messages: key / field 0 / field 1.
  Check({
      {"f0 a", K::SetMsgField, {I(0), S("a")}, 0, {}},
      {"f1 1", K::SetMsgField, {I(1), I(1)}, 0, {}},
      {"send x", K::SendMsg, {I(0), I(1), S("x"), I(2)}, 1, {}},
      {"f0 b", K::SetMsgField, {I(0), S("b")}, 0, {}},
      {"send y", K::SendMsg, {I(0), I(1), S("y"), I(2)}, 2, {}},
      {"f1 2", K::SetMsgField, {I(1), I(2)}, 0, {}},
      {"send x again", K::SendMsg, {I(0), I(1), S("x"), I(2)}, 3, {}},
      {"count for key", K::GetMsgNumForType, {I(0), I(1), S("x"), N()}, 2, {{3, "2"}}},
      {"count for field", K::GetMsgNumForField, {I(0), I(1), I(0), S("b"), N()}, 2, {{4, "2"}}},
      {"count by key", K::CountMsg, {I(0), I(1), I(-1), N()}, 2, {}},
      {"read for field 1 of key x", K::ReadMsgFor, {I(0), I(1), I(-1), S("x"), I(1), N()}, 2, {{5, "\"1,2\""}}},
      {"read for nothing", K::ReadMsgFor, {I(0), I(1), I(-1), S("z"), I(1), S("old")}, 0, {{5, "\"old\""}}},
      {"read by field", K::ReadMsg, {I(0), I(1), I(0), S("b"), N(), N()}, 1, {{4, "0"}, {5, "\"y\""}}},
      {"read none", K::ReadMsg, {I(0), I(1), I(-7), N(), I(3), I(3)}, 0, {{4, "3"}, {5, "3"}}},
      {"write key of the field match", K::WriteMsg, {I(0), I(1), I(1), I(2), I(-1), S("w")}, 1, {}},
      {"receive by key", K::RecvMsgForType, {I(0), I(1), S("w"), N(), N(), N(), N()}, 1,
       {{3, "0"}, {4, "\"b\""}, {5, "2"}, {6, "1"}}},
      {"receive by field", K::RecvMsgForField, {I(0), I(1), I(0), S("b"), N(), N(), N(), N(), N()}, 1,
       {{5, "\"y\""}, {8, "1"}}},
      {"receive by two fields, both", K::RecvMsgFor2Field,
       {I(0), I(1), I(-1), S("x"), I(0), I(1), I(9), N(), N(), N(), N(), N()}, 0, {{11, "0"}}},
      {"receive by two fields, either", K::RecvMsgFor2Field,
       {I(0), I(1), I(-1), S("x"), I(1), I(1), I(9), N(), N(), N(), N(), N()}, 1, {{8, "\"x\""}, {11, "1"}}},
      {"clear none", K::ClearMsgForField, {I(0), I(1), I(0), S("a")}, 0, {}},
      {"order bad column", K::SetMsgOrderBy, {I(0), I(1), I(20), I(0)}, -1, {}},
      {"order key", K::SetMsgOrderBy, {I(0), I(1), I(-1), I(1)}, 0, {}},
      {"clear from line 0", K::ClearMsgFrom, {I(0), I(1), I(0)}, 0, {}},
  });
}

TEST_F(Messaging, FullQueueRefusesTheSend) {
  const int saved = msgQueueLimit.load();
  msgQueueLimit = 2;
  Check({
      {"1", K::SendMsg, {I(-1), I(5), N(), I(0)}, 1, {}},
      {"2", K::SendMsg, {I(-1), I(5), N(), I(0)}, 2, {}},
      {"3", K::SendMsg, {I(-1), I(5), N(), I(0)}, 3, {}},
      {"full", K::SendMsg, {I(-1), I(5), N(), I(0)}, 0, {}},
      {"cleared", K::ClearMsgForType, {I(-1), I(5), N()}, 3, {}},
  });
  msgQueueLimit = saved;
}

TEST_F(Messaging, SharedValues) {
  Check({
      {"set global", K::SetShareMem, {I(-1), S("state"), I(0)}, 1, {}},
      {"get global by another negative line", K::GetShareMem, {I(-9), S("state"), N()}, 1, {{2, "0"}}},
      {"bad line", K::SetShareMem, {I(2), S("state"), I(0)}, -2, {}},
      {"line without a script", K::GetShareMem, {I(1), S("state"), I(4)}, -2, {{2, "4"}}},
      {"inc absent", K::IncShareMem, {I(0), S("n"), I(1), I(8)}, -1, {{3, "8"}}},
      {"set own", K::SetShareMem, {I(0), S("n"), I(5)}, 1, {}},
      {"set own int key", K::SetShareMem, {I(0), I(5), S("five")}, 1, {}},
      {"inc", K::IncShareMem, {I(0), S("n"), I(2), N()}, 0, {{3, "7"}}},
      {"dec", K::DecShareMem, {I(0), S("n"), I(10), N()}, 0, {{3, "-3"}}},
      {"acc", K::AccShareMem, {I(0), S("n"), N(), S("x")}, 1, {{2, "-3"}}},
      {"get after acc", K::GetShareMem, {I(0), S("n"), N()}, 1, {{2, "\"x\""}}},
      {"double key absent", K::GetShareMem, {I(0), D(5.0), N()}, -1, {}},
      {"set line's state", K::SetShareMem, {I(0), S("state"), I(0)}, 2, {}},
      {"find and claim", K::FindShareMem, {S("state"), I(0), I(1)}, 0, {}},
      {"claimed", K::GetShareMem, {I(0), S("state"), N()}, 2, {{2, "1"}}},
      {"none left", K::FindShareMem, {S("state"), I(0), I(1)}, -1, {}},
      {"clear own", K::ClearShareMem, {I(0)}, 0, {}},
      {"cleared", K::GetShareMem, {I(0), S("state"), N()}, -1, {}},
      {"clear bad line", K::ClearShareMem, {I(3)}, -2, {}},
  });
}

TEST_F(Messaging, AcdOperationsWorkOnTheRecord) {
  GlobalAcdList().Reset();
  Check({
      {"field 0", K::SetMsgField, {I(0), S("caller 1")}, 0, {}},
      {"send 30 fields", K::AcdListSend, {S("sales"), I(30)}, 1, {}},
      {"num", K::AcdListNum, {S("sales")}, 1, {}},
      {"num of no group", K::AcdListNum, {S("none")}, 0, {}},
      {"recv by key never", K::AcdListRecv, {I(-1), S("caller 1")}, 0, {}},
      {"write", K::AcdListWrite, {I(0), S("caller 1"), I(1), S("marked")}, 1, {}},
      {"write none", K::AcdListWrite, {I(0), S("nobody"), I(1), S("marked")}, 0, {}},
      {"field 1 cleared locally", K::SetMsgField, {I(1), N()}, 0, {}},
      {"recv", K::AcdListRecv, {I(0), S("caller 1")}, 20, {}},
      {"field 1 as written", K::GetMsgField, {I(1), N()}, 0, {{1, "\"marked\""}}},
      {"group gone", K::AcdListNum, {S("sales")}, 0, {}},
      {"clear none", K::AcdListClear, {I(0), S("caller 1")}, 0, {}},
  });
  GlobalAcdList().Reset();
}

}  // namespace
