// Inter-line calls between two compiled scripts of this process: a refused
// request returns at once, a stop of the caller withdraws its request, and
// the server answers from its line's message record.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <typeinfo>

#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "engine/memkxs.h"
#include "engine/telbasic.h"
#include "services/linedir.h"
#include "services/lineslots.h"
#include "services/msgqueue.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

namespace {

class InterLine : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    savedLimit_ = msgQueueLimit.load();
    SetLineDirectory({[] { return 2; },
                      [this](int line) { return line == 0 ? caller_ : line == 1 ? server_ : nullptr; }});
  }
  void TearDown() override {
    if (worker_.joinable()) {
      if (caller_) caller_->stopRequested = 1;
      worker_.join();
    }
    SetLineDirectory({});
    for (int q = 0; q < kMsgQueueCount; ++q) CallQueue(q)->Clear();
    msgQueueLimit = savedLimit_;
    caller_.reset();
    server_.reset();
    cwd_.reset();
  }

  std::shared_ptr<TagTelBasic> Compile(const std::string& file, const std::string& text, int line, TagKxCall& call) {
    {
      std::ofstream f(file, std::ios::binary);
      f << text;
    }
    TagMemKxs::Instance().Clear();
    auto inst = std::make_shared<TagTelBasic>(file, line, &call, 1);
    EXPECT_EQ(inst->initResult, 0) << file;
    return inst;
  }
  static TagOper* Find(TagTelBasic& inst, const char* cls) {
    for (TagOper* op : inst.operations)
      if (std::string(typeid(*op).name()).find(cls) != std::string::npos) return op;
    return nullptr;
  }
  // The call statement of the caller's function f, run on a thread of its own.
  void StartCall(int queue, int seconds) {
    caller_ = Compile("c.kxs",
                      "res = 0\nfunction f(a)\n{\nr = InterLineCall(" + std::to_string(queue) + ", " +
                          std::to_string(seconds) + ", 1, res)\nreturn(r)\n}\nx = f(5)\n",
                      0, callerCall_);
    TagTelBasic* body = caller_->FindFunction("f");
    ASSERT_NE(body, nullptr);
    TagOper* op = Find(*body, "TagInterLineCall");
    ASSERT_NE(op, nullptr);
    body->params[0]->SetInt(5);
    worker_ = std::thread([this, op] {
      result_ = op->Execute();
      done_ = true;
    });
  }

  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  int savedLimit_ = 0;
  TagKxCall callerCall_, serverCall_;
  std::shared_ptr<TagTelBasic> caller_, server_;
  std::thread worker_;
  std::atomic<bool> done_{false};
  std::atomic<int> result_{-999};
};

TEST_F(InterLine, ARefusedRequestReturnsAtOnce) {
  msgQueueLimit = 1;
  TagMsgFields other;
  other.sender = 1;
  CallQueue(7)->Send(other);
  CallQueue(7)->Send(other);
  StartCall(7, -1);  // no time limit: only a refusal ends it
  ASSERT_TRUE(testsupport::WaitFor([&] { return done_.load(); }));
  EXPECT_EQ(result_.load(), 0);
  EXPECT_EQ(CallQueue(7)->Count(), 2);
}

// No time limit, and one whose milliseconds pass 32 bits: only the stop
// ends the wait.
class InterLineStop : public InterLine, public ::testing::WithParamInterface<int> {};

TEST_P(InterLineStop, AStopDuringTheWaitWithdrawsTheRequest) {
  StartCall(8, GetParam());
  ASSERT_TRUE(testsupport::WaitFor([&] { return CallQueue(8)->Size() == 1; }));
  EXPECT_FALSE(testsupport::WaitFor([&] { return done_.load(); }, 300));
  caller_->stopRequested = 1;
  ASSERT_TRUE(testsupport::WaitFor([&] { return done_.load(); }));
  EXPECT_EQ(result_.load(), -4);
  EXPECT_EQ(CallQueue(8)->Count(), 0);
}
INSTANTIATE_TEST_SUITE_P(TimeOuts, InterLineStop, ::testing::Values(-1, 2147483647));

// The served function uses the server line's record (a send sets its
// sender and key): the reply built there still goes to the caller, with the
// result, and stays in the record.
TEST_F(InterLine, TheServerAnswersFromItsLinesRecord) {
  server_ = Compile("s.kxs",
                    "r = InterLineServer(4)\nfunction f(a)\n{\nz = SendMsg(1, 0, \"x\", 0)\na = a * 2\n"
                    "return(a + 1)\n}\n",
                    1, serverCall_);
  TagOper* serve = Find(*server_, "TagInterLineServer");
  ASSERT_NE(serve, nullptr);
  MsgSlotOf(*server_).record.SetField(0, TagVar::Str("kept"));
  StartCall(4, 20);
  int served = 0;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    served = serve->Execute();
    return served != 0;
  }));
  EXPECT_EQ(served, 1);
  ASSERT_TRUE(testsupport::WaitFor([&] { return done_.load(); }));
  EXPECT_EQ(result_.load(), 1);  // the server queue's count after the send
  EXPECT_EQ(caller_->FindVariable("res")->ToText(), "11");
  EXPECT_EQ(caller_->FindFunction("f")->params[0]->ToText(), "10");  // copied back
  const TagMsgFields& record = MsgSlotOf(*server_).record;
  EXPECT_EQ(record.sender, 0);
  EXPECT_EQ(record.key.ToText(), "11");
  EXPECT_EQ(record.FieldCount(), 2);
  EXPECT_EQ(record.Field(0).ToText(), "0") << "the status";
  EXPECT_EQ(record.Field(1).ToText(), "10");
  EXPECT_EQ(MsgSlotOf(*server_).queues[0].Count(), 1);  // the function's own send
}

}  // namespace
