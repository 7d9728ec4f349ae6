// Named conference rooms through the conference operations: the defaults of
// this system's lines, and the registry driven by a test call class that
// provides rooms.
#include <gtest/gtest.h>

#include <map>

#include "engine/confrooms.h"
#include "tests/operations/op_fixture.h"

using namespace optest;

namespace {

// A call object with conference rooms: sessions, joins, records and plays
// counted so the tests can see what the registry asked for.
class RoomCall : public TagKxCall {
 public:
  int CreateConfRoom(int& isSipConf, int& session) override {
    isSipConf = 0;
    session = ++*nextSession;
    created++;
    return 0;
  }
  int JoinConfRoom(int, int, int) override { return joinResult; }
  int LeaveConfRoom(int, int) override { return ++left, 0; }
  int CloseConfRoom(int, int) override { return ++closed, 0; }
  int StartConfRecord(int, int, const std::string& file, int& handle) override {
    lastFile = file;
    handle = 70 + ++records;
    return 0;
  }
  int StopConfRecord(int, int, int h) override { return stoppedRec = h, 0; }
  int StartConfChRecord(int, const std::string& file, int& handle) override {
    lastFile = file;
    handle = 90 + ++chRecords;
    return 0;
  }
  int StopConfChRecord(int h) override { return stoppedChRec = h, 0; }
  int StartConfPlay(int, int, const std::string& file, int& handle) override {
    lastFile = file;
    handle = 50 + ++plays;
    return 0;
  }
  int IsConfPlayEnd(int, int, int) override { return ++endPolls >= 3 ? 1 : 0; }
  int StopConfPlay(int, int, int h) override { return stoppedPlay = h, 0; }

  // Session numbers come from the fixture, so every test's rooms number from
  // 1 however many tests ran before in the process.
  int* nextSession = nullptr;
  int created = 0, joinResult = 0, left = 0, closed = 0, records = 0, chRecords = 0, plays = 0, endPolls = 0;
  int stoppedRec = 0, stoppedChRec = 0, stoppedPlay = 0;
  std::string lastFile;
};

class Rooms : public OpFixture {
 protected:
  void SetUp() override {
    OpFixture::SetUp();
    for (int i = 0; i < 3; ++i) {
      calls_[i].lineNo = i;
      calls_[i].callState = kCallConnected;
      calls_[i].nextSession = &sessions_;
      lines_[i] = std::make_unique<TagTelBasic>("none.kxs", i, &calls_[i], 0);
      lines_[i]->initResult = 0;
    }
  }
  void TearDown() override {
    for (int i = 0; i < 3; ++i) calls_[i].ExitNameConf();
    for (auto& l : lines_) l.reset();
    OpFixture::TearDown();
  }
  int On(int line, KeywordId id, const std::vector<TagVar*>& args) {
    auto op = testsupport::MakeOperation(id, args, lines_[line].get(), kLineDig);
    return op ? op->Execute() : -999;
  }
  int sessions_ = 0;
  RoomCall calls_[3];
  std::unique_ptr<TagTelBasic> lines_[3];
};

}  // namespace

TEST_F(OpFixture, RoomsOfThisSystemsLinesCannotBeJoined) {
  EXPECT_EQ(Exec(KeywordId::JoinConf, Args({S("a"), I(0)})), -2);
  auto out = Args({S("a"), I(7)});
  EXPECT_EQ(Exec(KeywordId::GetConfNum, out), 0);
  EXPECT_EQ(Show(*out[1]), "7");
  auto found = Args({I(0), S("x"), I(9)});
  EXPECT_EQ(Exec(KeywordId::IsInConf, found), 0);
  EXPECT_EQ(Show(*found[1]), "\"\"");
  EXPECT_EQ(Show(*found[2]), "0");
  EXPECT_EQ(Exec(KeywordId::ExitConf, {}), 0);
  EXPECT_EQ(Exec(KeywordId::RecConf, Args({S("a"), S("r")})), -1);
  EXPECT_EQ(Exec(KeywordId::PlayConf, Args({S("a"), S("p"), I(0)})), -1);
  EXPECT_EQ(Exec(KeywordId::RecConfCh, Args({S("a"), I(0), S("r")})), -1);
  EXPECT_EQ(ConfRooms().RoomCount(), 0u);
}

TEST_F(Rooms, JoinCountFindRecordPlayAndTheLastOneOutCloses) {
  EXPECT_EQ(On(0, KeywordId::JoinConf, Args({S("sales"), I(0)})), 1);
  EXPECT_EQ(On(1, KeywordId::JoinConf, Args({S("sales"), I(1)})), 2);
  EXPECT_EQ(calls_[0].created + calls_[1].created, 1) << "the second join finds the room";
  auto byRef = Args({S("sales"), N()});
  EXPECT_EQ(On(2, KeywordId::GetConfNum, byRef), 2);
  ASSERT_TRUE(byRef[1]->IsMap());
  TagVar l0, l1;
  byRef[1]->GetItem(I(0), l0);
  byRef[1]->GetItem(I(1), l1);
  EXPECT_EQ(Show(l0), "0");
  EXPECT_EQ(Show(l1), "1");
  auto constant = Args({S("sales"), C(I(4))});
  EXPECT_EQ(On(2, KeywordId::GetConfNum, constant), 2) << "a constant output still counts";
  EXPECT_EQ(Show(*constant[1]), "4");

  auto where = Args({I(1), N(), N()});
  EXPECT_EQ(On(2, KeywordId::IsInConf, where), 1);
  EXPECT_EQ(Show(*where[1]), "\"\"sales\"\"") << "a string room name keeps its quotes";
  EXPECT_EQ(Show(*where[2]), "1");

  int rec = On(0, KeywordId::RecConf, Args({S("sales"), S("r1")}));
  EXPECT_EQ(rec, 71);
  EXPECT_NE(calls_[0].lastFile.find("r1"), std::string::npos);
  EXPECT_EQ(On(1, KeywordId::RecConf, Args({S("sales"), S("r2")})), -2);
  EXPECT_EQ(On(0, KeywordId::PlayConf, Args({S("sales"), S("p"), I(0)})), 51);
  EXPECT_EQ(On(1, KeywordId::PlayConf, Args({S("sales"), S("p"), I(0)})), -2);
  EXPECT_EQ(On(0, KeywordId::RecConfCh, Args({S("sales"), I(1), S("ch")})), 0);
  EXPECT_GE(On(0, KeywordId::RecConfCh, Args({S("sales"), I(1), S("ch")})), 0);
  EXPECT_EQ(calls_[0].chRecords, 1) << "a running member record is not started again";
  EXPECT_EQ(On(0, KeywordId::RecConfCh, Args({S("sales"), I(2), S("ch")})), -1);

  EXPECT_EQ(On(1, KeywordId::ExitConf, {}), 1);
  EXPECT_EQ(calls_[1].stoppedChRec, 91) << "the member's own record stops";
  EXPECT_EQ(calls_[1].isLastExitConf, 0);
  EXPECT_EQ(On(0, KeywordId::ExitConf, {}), 1);
  EXPECT_EQ(calls_[0].stoppedRec, 71);
  EXPECT_EQ(calls_[0].stoppedPlay, 51);
  EXPECT_EQ(calls_[0].closed, 1);
  EXPECT_EQ(calls_[0].isLastExitConf, 1);
  EXPECT_EQ(ConfRooms().RoomCount(), 0u);
  EXPECT_EQ(On(0, KeywordId::ExitConf, {}), 0) << "in no room";
}

TEST_F(Rooms, StringAndIntegerNamesAreDifferentRooms) {
  EXPECT_EQ(On(0, KeywordId::JoinConf, Args({I(5), I(0)})), 1);
  EXPECT_EQ(On(1, KeywordId::GetConfNum, Args({S("5"), N()})), 0);
  EXPECT_EQ(On(1, KeywordId::GetConfNum, Args({I(5), N()})), 1);
  auto where = Args({I(0), N(), N()});
  EXPECT_EQ(On(1, KeywordId::IsInConf, where), 1);
  EXPECT_EQ(Show(*where[1]), "\"5\"");
}

TEST_F(Rooms, FailedJoinRemovesOnlyARoomItCreated) {
  calls_[0].joinResult = -1;
  EXPECT_EQ(On(0, KeywordId::JoinConf, Args({S("x"), I(0)})), -3);
  EXPECT_EQ(calls_[0].closed, 1);
  EXPECT_EQ(ConfRooms().RoomCount(), 0u);
  EXPECT_EQ(On(1, KeywordId::JoinConf, Args({S("x"), I(0)})), 1);
  EXPECT_EQ(On(0, KeywordId::JoinConf, Args({S("x"), I(0)})), -3);
  EXPECT_EQ(calls_[0].closed, 1) << "the room was there before";
  EXPECT_EQ(On(2, KeywordId::GetConfNum, Args({S("x"), N()})), 1);
}

TEST_F(Rooms, WaitedPlayClearsItsHandleSoTheRoomPlaysAgain) {
  ASSERT_EQ(On(0, KeywordId::JoinConf, Args({S("m"), I(0)})), 1);
  EXPECT_EQ(On(0, KeywordId::PlayConf, Args({S("m"), S("p"), I(1)})), 51);
  EXPECT_EQ(calls_[0].stoppedPlay, 51);
  EXPECT_GE(calls_[0].endPolls, 3);
  EXPECT_EQ(On(0, KeywordId::PlayConf, Args({S("m"), S("p"), I(0)})), 52);
}
