#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "engine/oper.h"
#include "engine/scriptrand.h"
#include "engine/telbasic.h"
#include "engine/kxcall.h"
#include "tests/support/tempdir.h"

namespace {

// An operation made of a lambda, for building operation lists by hand.
class FnOper : public TagOper {
 public:
  explicit FnOper(std::function<int()> fn, OpKind k = kOpOperation) : fn_(std::move(fn)) { kind = k; }
  int Execute() override { return fn_(); }

 private:
  std::function<int()> fn_;
};

class PlainCall : public TagKxCall {};

// A script instance whose operation list the test builds; the compile of the
// (missing) file fails, so the test resets the result and appends by hand.
class RunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path());
    inst_ = std::make_unique<TagTelBasic>("none.kxs", 0, &call_, 0);
    inst_->initResult = 0;
  }
  void TearDown() override {
    inst_.reset();
    cwd_.reset();
  }
  FnOper* Add(std::function<int()> fn, OpKind k = kOpOperation) {
    auto* op = new FnOper(std::move(fn), k);
    op->index = static_cast<int>(inst_->operations.size());
    if (!inst_->operations.empty()) inst_->operations.back()->next = op;
    inst_->AppendOperation(op);
    return op;
  }
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  PlainCall call_;
  std::unique_ptr<TagTelBasic> inst_;
};

TEST_F(RunFixture, BuiltinsOfAMainInstance) {
  struct Case {
    const char* name;
    int type;
    int intValue;
    bool isConst;
  } cases[] = {{"_tempVal", TagVar::kInt, 0, false}, {"_retVal", TagVar::kInt, -1, false},
               {"_lineNo", TagVar::kInt, 0, true},   {"_lineType", TagVar::kInt, 0, true},
               {"true", TagVar::kInt, 1, true},      {"false", TagVar::kInt, 0, true},
               {"NULL", TagVar::kNull, 0, true}};
  ASSERT_GE(inst_->variables.size(), 10u);
  EXPECT_EQ(inst_->variables[0]->Name(), "_tempVal");
  EXPECT_EQ(inst_->variables[1]->Name(), "_retVal");
  for (const auto& c : cases) {
    TagVar* v = inst_->FindVariable(c.name);
    ASSERT_NE(v, nullptr) << c.name;
    EXPECT_EQ(v->Type(), c.type) << c.name;
    EXPECT_EQ(v->IntValue(), c.intValue) << c.name;
    EXPECT_EQ(v->IsConst(), c.isConst) << c.name;
  }
  inst_->FindVariable("NULL")->SetInt(5);
  EXPECT_TRUE(inst_->FindVariable("NULL")->IsNull());
  EXPECT_EQ(inst_->FindVariable("_kxsFile")->ToText(), "none.kxs");
}

TEST(ScriptInstance, NoCallObjectMeansNothingCompiled) {
  testsupport::TempDir dir;
  testsupport::ScopedCwd cwd(dir.path());
  TagTelBasic inst("a.kxs", 3, nullptr, 0);
  EXPECT_EQ(inst.initResult, -2);
  EXPECT_TRUE(inst.variables.empty());
  EXPECT_TRUE(inst.operations.empty());
  EXPECT_EQ(inst.Run(), -1);
}

TEST_F(RunFixture, FunctionBodyAndRoots) {
  auto* body = new TagTelBasic("none.kxs", "f", inst_.get());
  inst_->functions.push_back(body);
  EXPECT_EQ(body->variables.size(), 2u);
  EXPECT_EQ(TagTelBasic::GetRoot(body), inst_.get());
  EXPECT_EQ(body->callObject, &call_);
  EXPECT_EQ(body->lineNo, inst_->lineNo);
}

TEST_F(RunFixture, ResultStorageByKind) {
  TagVar target;
  TagVar key = TagVar::Str("k");
  TagVar mapVar;
  auto* g = Add([] { return 42; });
  g->SetResultRef(&target);
  auto* e = Add([] { return 9; });
  e->SetResultRef(&mapVar, &key);  // into an element, created
  auto* v = Add([&] { return 0; }, kOpValue);
  TagVar vTarget = TagVar::Str("value");
  v->SetResultRef(&vTarget);
  Add([&] { return 77; }, kOpReturn);
  EXPECT_EQ(inst_->Run(), 77);
  EXPECT_EQ(target.AsInt(), 42);
  TagVar got;
  mapVar.GetItem(key, got);
  EXPECT_EQ(got.AsInt(), 9);
  EXPECT_EQ(inst_->RetVal().ToText(), "value");  // 'r' left _retVal as 'v' set it
  EXPECT_EQ(inst_->runEnded.load(), 1);
  mapVar.SetInt(0);
}

TEST_F(RunFixture, EmptyScriptReturnsAtOnce) {
  EXPECT_EQ(inst_->Run(), 0);
  EXPECT_EQ(inst_->runEnded.load(), 1);
}

TEST_F(RunFixture, MainBodyRestartsAndQuitsWithoutSection) {
  int passes = 0;
  Add([&] { return ++passes; });
  Add([&] {
    if (passes == 3) inst_->SetQuitRequest(true);
    return 0;
  });
  inst_->Run();
  EXPECT_EQ(passes, 3);
}

TEST_F(RunFixture, HangupSectionRunsOncePerReleasedCall) {
  int body = 0, section = 0;
  Add([&] {
    ++body;
    if (body == 1) call_.callState = kCallReleased;  // the far end hangs up
    if (body == 4) inst_->SetQuitRequest(true);
    return 0;
  });
  Add([&] { return 0; });
  auto* marker = Add([&] {
    // The marker turns 2 into 12 so the jump happens once.
    if (call_.callState == kCallReleased) call_.callState = kCallHungUpSection;
    return 0;
  });
  inst_->hangupIndex = marker->index;
  Add([&] {
    ++section;
    return 0;
  });
  inst_->Run();
  EXPECT_EQ(section, 3);  // entered once after the release, then on the later passes through the list
  EXPECT_GE(body, 4);
}

TEST_F(RunFixture, QuitJumpsToTheQuitSectionOnce) {
  int inSection = 0;
  Add([&] {
    inst_->SetQuitRequest(true);
    return 0;
  });
  Add([&] { return 0; });
  auto* q = Add([&] {
    inst_->runState = kRunQuitSection;
    return 0;
  });
  inst_->quitIndex = q->index;
  Add([&] {
    ++inSection;
    return 5;
  });
  Add([] { return 6; }, kOpReturn);
  EXPECT_EQ(inst_->Run(), 6);
  EXPECT_EQ(inSection, 1);
}

TEST_F(RunFixture, StopBeforeRunIsKept) {
  int ran = 0;
  Add([&] { return ++ran; });
  inst_->lineStopping = 1;  // the stop came while the run thread waited at its gates
  inst_->Run();
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(call_.interrupted.load(), 1);
}

TEST_F(RunFixture, BreakpointPausesStepsAndStops) {
  std::atomic<int> ran{0};
  Add([&] { return ++ran; });
  auto* second = Add([&] { return ++ran; });
  Add([&] { return ++ran; });
  second->SetBreakpoint(true);
  std::thread t([&] { inst_->Run(); });
  auto waitFor = [](const std::function<bool()>& c) {
    for (int i = 0; i < 1000 && !c(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return c();
  };
  ASSERT_TRUE(waitFor([&] { return inst_->paused.load() == 1 && inst_->curOperIndex.load() == 1; }));
  int before = ran.load();
  inst_->stepping = 1;  // one step: the paused statement runs, the next waits
  ASSERT_TRUE(waitFor([&] { return ran.load() == before + 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(ran.load(), before + 1);
  inst_->stopRequested = 1;
  inst_->hardStop = 1;
  ASSERT_TRUE(waitFor([&] { return inst_->runEnded.load() == 1; }));
  t.join();
}

TEST_F(RunFixture, MapsAreReleasedWhenTheRunEnds) {
  TagVar* m = inst_->AddVariable(std::make_unique<TagVar>());
  Add([&] {
    TagVar key = TagVar::Int(1);
    m->SetItem(key, TagVar::Int(2));
    return 0;
  });
  Add([] { return 0; }, kOpReturn);
  inst_->Run();
  EXPECT_FALSE(m->IsMap());
}

TEST(ScriptRand, FollowsTheLineGenerator) {
  ScriptSrand(1);
  for (int want : {346, 130, 10982, 1090}) EXPECT_EQ(ScriptRand(), want);
}

TEST_F(RunFixture, ReloadIsPendingOnlyOutsideAConnectedCall) {
  EXPECT_FALSE(inst_->IsReloadPending());
  int line = 0;
  inst_->runLine = &line;
  call_.callState = kCallConnected;
  inst_->SetReload(true);
  EXPECT_FALSE(inst_->IsReloadPending());
  EXPECT_EQ(call_.interrupted.load(), 0);
  call_.callState = kCallReleased;
  EXPECT_TRUE(inst_->IsReloadPending());
  inst_->SetReload(true);
  EXPECT_EQ(call_.interrupted.load(), 1);
}

TEST_F(RunFixture, ImportVarAssignsOrAppends) {
  TagVar a;
  a.DefineInt("_lineNo", 9, false);
  size_t n = inst_->variables.size();
  inst_->ImportVar(a);  // const built-in: the write is ignored
  EXPECT_EQ(inst_->FindVariable("_lineNo")->AsInt(), 0);
  TagVar b;
  b.DefineString("greeting", "hi", false);
  inst_->ImportVar(b);
  ASSERT_EQ(inst_->variables.size(), n + 1);
  EXPECT_EQ(inst_->FindVariable("greeting")->ToText(), "hi");
  TagVar f;
  f.DefineFunction("fn", nullptr, false);
  inst_->ImportVar(f);
  EXPECT_EQ(inst_->variables.size(), n + 1);
}

}  // namespace
