#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/debugsvc.h"
#include "platform/text.h"
#include "tests/engine/handops.h"

namespace {

using handops::Fixture;
using handops::WaitFor;

class DebugTest : public Fixture {};

struct Caption : TagCaptionControl {
  std::string text = "unset";
  void SetCaption(std::string_view t) override { text = t; }
};

TEST_F(DebugTest, BreakpointsByIndex) {
  for (int i = 0; i < 3; ++i) Add([] { return 0; });
  auto* body = new TagTelBasic("none.kxs", "f", inst_.get());
  inst_->functions.push_back(body);
  handops::Append(*body, new handops::FnOper([] { return 0; }));
  struct Case {
    int index;
    bool takes;
  } cases[] = {{-1, false}, {0, true}, {2, true}, {3, false}, {1 << 30, false}};
  for (const auto& c : cases) {
    inst_->SetBreakpoint(c.index, true);
    EXPECT_EQ(inst_->HasBreakpoint(c.index), c.takes) << c.index;
  }
  EXPECT_FALSE(inst_->HasBreakpoint(1));
  inst_->SetBreakpoint(2, false);
  EXPECT_FALSE(inst_->HasBreakpoint(2));
  body->SetBreakpoint(0, true);
  inst_->ClearBreakpoints();
  EXPECT_FALSE(inst_->HasBreakpoint(0));
  EXPECT_FALSE(body->HasBreakpoint(0));
}

TEST_F(DebugTest, FindVarTextByOrigin) {
  auto* body = new TagTelBasic("none.kxs", "f", inst_.get());
  inst_->functions.push_back(body);
  body->paramNames = {"p"};
  body->params.push_back(std::make_unique<TagVar>(TagVar::Int(7)));
  body->paramCount = 1;
  Var(*inst_, "s")->SetString("a");
  auto c = std::make_unique<TagVar>();
  c->DefineDouble("PI", 3.5, true);
  inst_->AddVariable(std::move(c));
  Var(*body, "p")->SetInt(99);  // a parameter hides a variable of its name
  inst_->PublishDebugSnapshot();
  struct Case {
    TagTelBasic* in;
    const char* name;
    int result;
    std::string kind, note, value;
  } cases[] = {
      {body, "p", 0, GBK("参数: 整型"), GBK("参数"), "7"},
      {inst_.get(), "s", 0, GBK("变量: 字符串"), "", "\"a\""},
      {inst_.get(), "PI", 0, GBK("常量: 浮点型"), "", "3.5"},
      {inst_.get(), "true", 0, GBK("常量: 整型"), "", "1"},
      {inst_.get(), "nope", -1, "", "", GBK("变量名不存在.")},
      {body, "s", -1, "", "", GBK("变量名不存在.")},  // the parent's: not the body's own
  };
  for (const auto& tc : cases) {
    std::string note = "x", value, kind = "x";
    EXPECT_EQ(tc.in->FindVarText(tc.name, note, value, kind), tc.result) << tc.name;
    EXPECT_EQ(kind, tc.kind) << tc.name;
    EXPECT_EQ(note, tc.note) << tc.name;
    EXPECT_EQ(value, tc.value) << tc.name;
  }
}

TEST_F(DebugTest, WatchTextListsTheStatementsNamesInByteOrder) {
  Var(*inst_, "x")->SetInt(1);
  Var(*inst_, "y")->SetString("a");
  Var(*inst_, "z")->SetInt(0);
  handops::Append(*inst_, new handops::FnOper([] { return 0; }), "z = y + x + 1 + \"q w\"");
  auto* body = new TagTelBasic("none.kxs", "f", inst_.get());
  inst_->functions.push_back(body);
  Var(*body, "loc")->SetDouble(2.5);
  handops::Append(*body, new handops::FnOper([] { return 0; }), "loc = x * loc; // unseen");
  inst_->PublishDebugSnapshot();
  std::string out = "stale";
  inst_->GetOperWatchText(0, out);
  EXPECT_EQ(out, "x: 1\ny: \"a\"\nz: 0");
  body->GetOperWatchText(0, out);
  EXPECT_EQ(out, "loc: 2.5\nx: 1");  // x found in the parent
  inst_->GetOperWatchText(1, out);
  EXPECT_EQ(out, "");
}

TEST(StatementNames, Scan) {
  using Set = std::set<std::string>;
  struct Case {
    const char* text;
    Set names;
  } cases[] = {
      {"z = x + y", {"x", "y", "z"}},
      {"a=b;c=d", {"a", "b"}},
      {"Play(\"x\\\"y z\", v)", {"Play", "v"}},
      {"n = 12 + .5 + x1", {"n", "x1"}},
      {"m[k]=m[k]|~a^b&&c||!d", {"a", "b", "c", "d", "k", "m"}},
      {"if(x){", {"if", "x", "{"}},
      {"s = \"unterminated", {"s"}},
      {"B a b A", {"A", "B", "a", "b"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(StatementNames(c.text), c.names) << c.text;
}

TEST(DebugVarsOrder, Orders) {
  std::vector<TagDebugVar> vars(3);
  vars[0].name = "b";
  vars[1].name = "a";
  vars[2].name = "c";
  struct Case {
    TagVarOrder order;
    std::string names;
  } cases[] = {{TagVarOrder::kByName, "abc"},
               {TagVarOrder::kByNameReverse, "cba"},
               {TagVarOrder::kPositionReversed, "cab"},
               {TagVarOrder::kUnsorted, "bac"}};
  for (const auto& c : cases) {
    auto v = vars;
    OrderDebugVars(v, c.order);
    std::string got;
    for (const auto& e : v) got += e.name;
    EXPECT_EQ(got, c.names);
  }
}

TEST_F(DebugTest, FunctionCaption) {
  auto* body = new TagTelBasic("none.kxs", "f", inst_.get());
  inst_->functions.push_back(body);
  Caption cap;
  inst_->ShowFunctionName(cap);
  EXPECT_EQ(cap.text, "_main_");
  body->ShowFunctionName(cap);
  EXPECT_EQ(cap.text, "_main_");  // no definition text
  body->definitionText = "function f(a, b)";
  body->ShowFunctionName(cap);
  EXPECT_EQ(cap.text, "function f(a, b)");
}

// A script that keeps reassigning a string: the debugger thread reads only
// what the run thread published, at its pauses.
TEST_F(DebugTest, PauseStepResumeAndStopWithSnapshots) {
  TagVar* s = Var(*inst_, "s");
  s->SetString("pass 0");
  std::atomic<int> passes{0};
  auto* first = Add([&] {
    s->SetString(std::string(static_cast<size_t>(passes.load() % 50 + 1) * 40, 'x'));
    return 0;
  });
  Add([&] {
    s->SetString("pass " + std::to_string(++passes));
    return 0;
  });
  first->text = "s = s";
  first->SetBreakpoint(true);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::string note, value, kind, watch;
    while (!done.load()) {
      inst_->FindVarText("s", note, value, kind);
      inst_->GetOperWatchText(0, watch);
    }
  });
  std::thread run([&] { inst_->Run(); });
  auto finish = [&] {
    inst_->stopRequested = 1;  // a stop ends the pause
    inst_->hardStop = 1;
    bool ended = WaitFor([&] { return inst_->runEnded.load() == 1; }, 5000);
    run.join();
    done = true;
    reader.join();
    return ended;
  };
  std::string note, value, kind;
  uint32_t published = 0;  // snapshots seen so far
  for (int pass = 1; pass <= 3; ++pass) {
    // The breakpoint on operation 0 stops every pass of the main body; the
    // snapshot follows the pause.
    if (!WaitFor([&] {
          return inst_->IsPaused() && inst_->curOperIndex.load() == 0 && passes.load() == pass - 1 &&
                 inst_->debugRefreshes.load() > published;
        })) {
      finish();
      FAIL() << "no pause on pass " << pass;
    }
    EXPECT_EQ(inst_->FindVarText("s", note, value, kind), 0);
    EXPECT_EQ(value, "\"pass " + std::to_string(pass - 1) + "\"");
    uint32_t refreshes = inst_->debugRefreshes.load();
    inst_->Step();  // runs operation 0 and pauses before operation 1
    EXPECT_TRUE(WaitFor([&] { return inst_->debugRefreshes.load() > refreshes; }));
    EXPECT_EQ(inst_->curOperIndex.load(), 1);
    inst_->FindVarText("s", note, value, kind);
    EXPECT_EQ(value.size(), static_cast<size_t>((pass - 1) % 50 + 1) * 40 + 2);
    published = inst_->debugRefreshes.load();
    inst_->SetPaused(false);  // resume: runs on until the breakpoint again
  }
  EXPECT_TRUE(WaitFor([&] { return inst_->IsPaused() && passes.load() == 3; }));
  EXPECT_TRUE(finish());
}

}  // namespace

#define RODIZ_FUZZ_NO_MAIN
#include "tests/fuzz/fuzz_watchnames.cpp"

namespace {

TEST(StatementNames, FuzzCorpus) {
  const std::string corpus[] = {
      "",        "\"",        "\\",         "a\"\\",      ";a",           "a;;b",         "x\"y\"z",
      "..5 x.5", "\t\t=\t",   "\"\\\"",      "f(g(h(1)))", "m[\"k\"] = 1", std::string("a\0b c", 5),
      "\xb2\xe2\xca\xd4 = 1", "9a b9 _c",   "a=\"b;c\";d",
  };
  for (const std::string& text : corpus) {
    fuzz_watchnames::Check(text);
    for (size_t cut = 0; cut <= text.size(); ++cut) fuzz_watchnames::Check(std::string_view(text).substr(0, cut));
  }
  EXPECT_EQ(StatementNames("a=\"b;c\";d"), (std::set<std::string>{"a"}));
}

}  // namespace

#include "engine/memkxs.h"

namespace {

// The debugger on compiled scripts: statement texts as the compiler keeps them.
class DebugScript : public Fixture {
 protected:
  TagTelBasic& Load(const std::string& utf8) {
    testsupport::WriteFile(dir_ / "d.kxs", plat::Utf8ToGbk(utf8));
    TagMemKxs::Instance().Clear();
    inst_ = std::make_unique<TagTelBasic>("d.kxs", 0, &call_, 1);
    EXPECT_EQ(inst_->initResult, 0);
    return *inst_;
  }
  int IndexOf(const TagTelBasic& t, const std::string& text) {
    for (const TagOper* op : t.operations)
      if (op->text == text) return op->index;
    return -1;
  }
  // Runs the script on its own thread until the test ends it.
  void Start() {
    run_ = std::thread([this] { inst_->Run(); });
  }
  bool Stop() {
    inst_->stopRequested = 1;
    inst_->hardStop = 1;
    bool ended = WaitFor([&] { return inst_->runEnded.load() == 1; }, 5000);
    run_.join();
    return ended;
  }
  std::thread run_;
};

TEST_F(DebugScript, WatchOfAStatementAtItsBreakpoint) {
  TagTelBasic& t = Load("x = 1\ny = \"a\"\nz = 0\nz = x + y\nz = 5\nreturn(0)\n");
  const int at = IndexOf(t, "z = x + y");
  ASSERT_GE(at, 0);
  t.SetBreakpoint(at, true);
  Start();
  bool paused = WaitFor([&] { return t.IsPaused() && t.curOperIndex.load() == at && t.debugRefreshes.load() > 0; });
  std::string watch;
  t.GetOperWatchText(at, watch);
  EXPECT_TRUE(Stop());
  ASSERT_TRUE(paused);
  EXPECT_EQ(watch, "x: 1\ny: \"a\"\nz: 0");
}

TEST_F(DebugScript, BreakpointInAFunctionPausesItsParent) {
  TagTelBasic& t = Load("function f(a)\n{\nb = a * 2\nreturn(b)\n}\nr = f(21)\nreturn(0)\n");
  ASSERT_EQ(t.functions.size(), 1u);
  TagTelBasic& body = *t.functions[0];
  const int at = IndexOf(body, "b = a * 2");
  ASSERT_GE(at, 0);
  body.SetBreakpoint(at, true);
  Start();
  bool paused = WaitFor([&] { return t.IsPaused() && t.debugRefreshes.load() > 0; });
  std::string note, value, kind, caption;
  int found = body.FindVarText("a", note, value, kind);
  EXPECT_EQ(body.curOperIndex.load(), at);
  t.Step();  // "b = a * 2" runs, the body pauses before the next statement
  bool stepped = WaitFor([&] { return body.curOperIndex.load() == at + 1 && t.debugRefreshes.load() > 1; });
  std::string watch;
  body.GetOperWatchText(at, watch);
  t.SetPaused(false);
  bool ended = WaitFor([&] { return t.runEnded.load() == 1; });
  if (!ended) Stop();
  else run_.join();
  ASSERT_TRUE(paused);
  EXPECT_TRUE(stepped);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(kind, GBK("参数: 整型"));
  EXPECT_EQ(note, GBK("参数"));
  EXPECT_EQ(value, "21");
  EXPECT_EQ(watch, "a: 21\nb: 42");
  EXPECT_TRUE(ended);
  EXPECT_EQ(t.FindVariable("r")->AsInt(), 42);
}

TEST_F(DebugScript, FailedAssertStopsUnderTheDebugger) {
  TagTelBasic& t = Load("x = 0\nAssert(x)\nx = 2\nreturn(0)\n");
  SetDebugPageOpen(0, true);
  Start();
  bool paused = WaitFor([&] { return t.IsPaused() && t.debugRefreshes.load() > 0; });
  std::string note, value, kind;
  t.FindVarText("x", note, value, kind);
  t.SetPaused(false);
  bool ended = WaitFor([&] { return t.runEnded.load() == 1; });
  SetDebugPageOpen(0, false);
  if (!ended) Stop();
  else run_.join();
  EXPECT_TRUE(paused);
  EXPECT_EQ(value, "0");
  EXPECT_TRUE(ended);
  EXPECT_EQ(t.FindVariable("x")->AsInt(), 2);
}

}  // namespace
