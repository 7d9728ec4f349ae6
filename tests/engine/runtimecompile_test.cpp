#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "engine/debugsvc.h"
#include "engine/runtimecompile.h"
#include "engine/tagmap.h"
#include "tests/engine/handops.h"

namespace {

using handops::Fixture;
using handops::WaitFor;

class RuntimeTest : public Fixture {};

TEST_F(RuntimeTest, SetRunKxsEnvtTakesTheFlag) {
  struct Case {
    TagVar flag;
    int result, importVars;
  } cases[] = {{TagVar::Int(5), 5, 1}, {TagVar::Int(0), 0, 0}, {TagVar::Str("2"), 2, 1}, {TagVar::Dbl(0.5), 0, 0}};
  for (auto& c : cases) {
    TagSetRunKxsEnvt op(inst_.get(), &c.flag);
    EXPECT_EQ(op.Execute(), c.result);
    EXPECT_EQ(inst_->importVars, c.importVars);
  }
}

TEST_F(RuntimeTest, AssertWithoutDebuggerLogsThroughTheCallObject) {
  TagVar yes = TagVar::Int(3), no = TagVar::Int(0);
  TagAssert holds(inst_.get(), &yes), fails(inst_.get(), &no);
  fails.lineNo = 7;
  EXPECT_EQ(holds.Execute(), 3);
  EXPECT_EQ(LogText().find("Assert Failed"), std::string::npos);
  EXPECT_EQ(fails.Execute(), 0);
  EXPECT_NE(LogText().find("lcnt=0, Assert Failed: line=7"), std::string::npos);
  EXPECT_FALSE(inst_->IsPaused());
}

TEST_F(RuntimeTest, AssertUnderTheDebuggerShowsABoxAndPauses) {
  std::string boxes = dir_ / "boxes.txt";
  setenv("RODIZ_BOX_RECORD", boxes.c_str(), 1);
  SetDebugPageOpen(0, true);
  TagVar no = TagVar::Int(0);
  TagAssert fails(inst_.get(), &no);
  fails.lineNo = 12;
  fails.text = "Assert(x)";
  std::atomic<int> result{-1};
  std::thread t([&] { result = fails.Execute(); });
  bool paused = WaitFor([&] { return inst_->IsPaused(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), -1);  // still waiting
  inst_->SetPaused(false);
  t.join();
  SetDebugPageOpen(0, false);
  unsetenv("RODIZ_BOX_RECORD");
  EXPECT_TRUE(paused);
  EXPECT_EQ(result.load(), 0);
  EXPECT_NE(testsupport::ReadFile(boxes).find("Stop for Assert: Assert Failed: line=12, 'Assert(x)'"),
            std::string::npos);
}

TEST_F(RuntimeTest, RunKxsOfAFileThatDoesNotCompile) {
  TagVar file = TagVar::Str("missing.kxs");
  // The caller's variables go to the nested script, a map among them.
  TagVar* m = Var(*inst_, "m");
  m->SetItem(TagVar::Int(1), TagVar::Int(2));
  const int32_t h = m->MapHandle();
  inst_->importVars = 1;
  TagRunKxs op(inst_.get(), &file);
  op.lineNo = 4;
  EXPECT_EQ(op.Execute(), TagRunKxs::kRefused);
  EXPECT_NE(LogText().find("RunKxs('missing.kxs') err: [LINE=4]"), std::string::npos);
  // The failed nested instance gave its reference back.
  EXPECT_EQ(TagMapObject::Instance().RefCount(h), 1);
  EXPECT_EQ(inst_->runningNested, nullptr);
  EXPECT_EQ(inst_->nestedDepth, 0);
  m->SetInt(0);
}

TEST_F(RuntimeTest, RunKxsNestingIsBounded) {
  TagVar file = TagVar::Str("any.kxs");
  TagRunKxs op(inst_.get(), &file);
  inst_->nestedDepth = TagRunKxs::kMaxDepth;
  EXPECT_EQ(op.Execute(), TagRunKxs::kRefused);
  EXPECT_NE(LogText().find("RunKxs('any.kxs') err: nested deeper than 16"), std::string::npos);
  inst_->nestedDepth = 0;
}

}  // namespace
