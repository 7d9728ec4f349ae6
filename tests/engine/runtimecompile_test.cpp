#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "engine/debugsvc.h"
#include "engine/runtimecompile.h"
#include "engine/memkxs.h"
#include "engine/tagmap.h"
#include "platform/text.h"
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
  op.lineNo = 7;
  inst_->nestedDepth = TagRunKxs::kMaxDepth;
  EXPECT_EQ(op.Execute(), TagRunKxs::kRefused);
  // The text of every refused "RunKxs(", then the reason.
  EXPECT_NE(LogText().find("RunKxs('any.kxs') err: [LINE=7] nested deeper than 16"), std::string::npos) << LogText();
  inst_->nestedDepth = 0;
}

}  // namespace

// ---- compiled scripts, judged by the bytes they print ----

namespace {

class ScriptRun : public Fixture {
 protected:
  void Write(const std::string& name, const std::string& utf8) {
    testsupport::WriteFile(dir_ / name, plat::Utf8ToGbk(utf8));
  }
  // Compiles t.kxs of line 0 from the text; the test fails on compile errors.
  TagTelBasic& Load(const std::string& utf8) {
    Write("t.kxs", utf8);
    TagMemKxs::Instance().Clear();
    inst_.reset();
    inst_ = std::make_unique<TagTelBasic>("t.kxs", 0, &call_, 1);
    EXPECT_EQ(inst_->initResult, 0) << plat::GbkToUtf8(testsupport::ReadFile(dir_ / "errmsg0.txt"));
    return *inst_;
  }
  // What the script printed into its default file.
  std::string Printed() { return testsupport::ReadFile(dir_ / "_stdout0.txt"); }
};

TEST_F(ScriptRun, PrintedResults) {
  struct Case {
    const char* name;
    const char* script;
    const char* printed;
  } cases[] = {
      {"ValueResult", "function f(a)\n{\na = a + 5\nreturn(a + 5)\n}\nx = 1\nr = f(x)\n"
                      "Print(\"r=\" + r + \" x=\" + x)\nreturn(0)\n", "r=11 x=6"},
      {"MapText", "m = 0\nm[1] = 1.5\nm[2] = \"two\"\nm[\"k\"] = 3\nPrint(m)\nreturn(0)\n",
       "{\r\n1:1.5,\r\n2:\"two\",\r\n\"k\":3\r\n}"},
      {"Eval", "a = Eval(\"1 + 2 * 3\")\nb = Eval(\"\\\"a\\\" + \\\"b\\\"\")\nPrint(a)\nPrint(b)\nreturn(0)\n", "7ab"},
      {"EvalError", "c = 5\nc = Eval(\"1 +\")\nPrint(c)\nreturn(0)\n", "NULL"},
      {"EvalOfOneOperand", "x = 4\nc = Eval(\"x\")\nd = Eval(\"\\\"s\\\"\")\nPrint(c)\nPrint(d)\nreturn(0)\n", "4s"},
      {"EvalUsesVariables", "x = 4\nc = Eval(\"x * x - 1\")\nPrint(c)\nreturn(0)\n", "15"},
      {"RunLine", "y = 0\nr = RunLine(\"y = 5\")\nPrint(r)\nPrint(\",\")\nPrint(y)\nreturn(0)\n", "0,5"},
      {"RunLineRefusesFlow",
       "a = RunLine(\"if(1)\")\nb = RunLine(\"}\")\nc = RunLine(\"while(1)\")\nd = RunLine(\"function g(x)\")\n"
       "e = RunLine(\"#include \\\"x.kxs\\\"\")\nf = RunLine(\"OnSysQuit()\")\ng = RunLine(\"q = \")\n"
       "Print(\"\" + a + b + c + d + e + f + g)\nreturn(0)\n",
       "-999-999-999-999-999-999-999"},
      {"RunLineInALoop", "n = 0\nwhile(n < 3)\n{\nRunLine(\"n = n + 1\")\n}\nPrint(n)\nreturn(0)\n", "3"},
      // A line with an unclosed "/*" is refused; the comment ends with it, so
      // the next line still runs.
      {"RunLineUnclosedComment",
       "y = 0\na = RunLine(\"y = 1 /* open\")\nb = RunLine(\"y = y + 2\")\n"
       "Print(\"\" + a + \",\" + b + \",\" + y)\nreturn(0)\n",
       "-999,0,2"},
      {"PrintsWithoutSeparators", "Print(\"a\")\nPrint(5)\nreturn(0)\n", "a5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((dir_ / "_stdout0.txt").c_str());
    TagTelBasic& t = Load(c.script);
    const size_t ops = t.operations.size();
    t.Run();
    EXPECT_EQ(Printed(), c.printed);
    EXPECT_EQ(t.operations.size(), ops);  // run-time compiles leave the list as it was
  }
  EXPECT_NE(LogText().find("Eval(1 +) :"), std::string::npos);  // the parse error is logged
  EXPECT_NE(LogText().find("RunLine refused: [LINE=1] if(1)"), std::string::npos);
}

TEST_F(ScriptRun, SetPrintToEmptyWritesStandardOutput) {
  TagTelBasic& t = Load("SetPrintTo(\"\")\nPrint(\"x\")\nPrint(5)\nreturn(0)\n");
  testing::internal::CaptureStdout();
  t.Run();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "0 : x\n0 : 5\n");
  EXPECT_EQ(Printed(), "");
}

// The script ends with a loop's closing brace: a line compiled into the
// running list would be linked as the loop's exit and then deleted.
TEST_F(ScriptRun, RunLineLeavesTheLoopsLinksAlone) {
  TagTelBasic& t = Load("n = 0\nwhile(n < 3)\n{\nRunLine(\"n = n + 1\")\n}\n");
  std::vector<TagOper*> nexts;
  for (TagOper* op : t.operations) nexts.push_back(op->next);
  std::thread quit([&] {
    // Many passes of the main body, then a quit (the script has no section).
    handops::WaitFor([&] { return t.runEnded.load() == 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    t.SetQuitRequest(true);
  });
  t.Run();
  quit.join();
  ASSERT_EQ(t.operations.size(), nexts.size());
  for (size_t i = 0; i < nexts.size(); ++i) EXPECT_EQ(t.operations[i]->next, nexts[i]) << i;
  EXPECT_LE(t.FindVariable("n")->AsInt(), 3);
}

TEST_F(ScriptRun, EvalAndRunLineReuseTheirTemporaries) {
  TagTelBasic& t = Load("i = 0\nw = 0\nwhile(i < 200)\n{\nv = Eval(\"(i + 1) * (i + 2)\")\n"
                        "RunLine(\"w = (i + 1) * (i + 3);\")\ni = i + 1\n}\nPrint(\"\" + v + \",\" + w)\nreturn(0)\n");
  size_t before = t.variables.size();
  t.Run();
  EXPECT_EQ(Printed(), "40200,40400");
  EXPECT_LE(t.variables.size(), before + 8);  // not one set per pass
}

TEST_F(ScriptRun, RunKxsResultsAndEnvironment) {
  Write("sub.kxs", "Print(\"in sub \")\nreturn(42)\n");
  Write("env.kxs", "Print(v)\nv = 9\nreturn(0)\n");
  Write("self.kxs", "d = RunKxs(\"self.kxs\")\nreturn(d)\n");
  TagTelBasic& t = Load(
      "r = RunKxs(\"sub.kxs\")\nPrint(r)\nm = RunKxs(\"missing.kxs\")\nPrint(\",\" + m + \",\")\n"
      "v = 5\nSetRunKxsEnvt(1)\nRunKxs(\"env.kxs\")\nPrint(v)\nSetRunKxsEnvt(0)\n"
      "d = RunKxs(\"self.kxs\")\nPrint(\",\" + d)\nreturn(0)\n");
  t.Run();
  // The nested scripts print into the caller's file; their changes to
  // imported variables stay theirs; nesting ends at 16 levels.
  EXPECT_EQ(Printed(), "in sub 42,-999,55,-999");
  EXPECT_EQ(t.runningNested, nullptr);
  EXPECT_EQ(t.nestedDepth, 0);
  EXPECT_NE(LogText().find("RunKxs('missing.kxs') err:"), std::string::npos);
  EXPECT_NE(LogText().find("RunKxs('self.kxs') err: [LINE=1] nested deeper than 16"), std::string::npos) << LogText();
}

TEST_F(ScriptRun, NestedScriptsTimerEndsWithIt) {
  Write("sub.kxs", "function t()\n{\nPrint(\"T\")\n}\nStartTimer(t, 0)\nx = 1\nreturn(0)\n");
  TagTelBasic& t = Load("RunKxs(\"sub.kxs\")\nk = 0\nk = k + 1\nk = k + 1\nPrint(\"|\" + k)\nreturn(0)\n");
  t.Run();
  // It fired while its script ran (after "StartTimer(" and "x = 1"), then
  // never again.
  EXPECT_EQ(Printed(), "TT|2");
  EXPECT_EQ(t.timers.Size(), 0u);
}

TEST_F(ScriptRun, TimersFromAScript) {
  TagTelBasic& t = Load(
      "n = 0\nfunction tick()\n{\nn = n + 1\n}\nfunction other()\n{\nreturn(1)\n}\n"
      "a = StartTimer(5, 1)\nb = StopTimer(other)\nc = StartTimer(tick, 0.02)\n"
      "k = 0\nwhile(n < 3)\n{\nk = k + 1\n}\nStopTimer(0)\nother()\n"
      "Print(\"\" + a + \",\" + b + \",\" + c)\nreturn(0)\n");
  t.Run();
  EXPECT_EQ(Printed(), "-1,-1,0");
  EXPECT_GE(t.FindVariable("n")->AsInt(), 3);
  EXPECT_EQ(t.timers.EnabledCount(), 0);
}

}  // namespace

namespace {

// Sections entered from outside: the test raises a quit or releases the call
// while the script spins in its loop.
TEST_F(ScriptRun, SectionsByPrintedBytes) {
  const std::string spin = "Print(\"a\")\nn = 0\nwhile(n < 2000000000)\n{\nn = n + 1\n}\n";
  // What reaches the spinning line from this thread.
  enum Request { kQuit, kRelease, kHangupRequest, kReload };
  struct Case {
    const char* name;
    std::string script;
    Request request;
    const char* printed;
    const char* logged;
  } cases[] = {
      {"QuitWithoutSection", spin, kQuit, "a", "sysQuitIndex<=0"},
      {"QuitSection", spin + "return(0)\nOnSysQuit()\nPrint(\"q\")\nreturn(0)\n", kQuit, "aq", nullptr},
      {"HangupSection", spin + "return(0)\nOnDisconn()\nPrint(\"h\" + _retVal)\nreturn(0)\n", kRelease, "ah0",
       nullptr},
      // The operator's hang-up is carried out by the line's own thread.
      {"HangupRequest", spin + "return(0)\nOnDisconn()\nPrint(\"h\")\nreturn(0)\n", kHangupRequest, "ah",
       nullptr},
      {"ReloadWithoutCall", spin + "return(0)\nOnSysQuit()\nPrint(\"r\")\nreturn(0)\n", kReload, "ar",
       "IsReload..., quitindex="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((dir_ / "_stdout0.txt").c_str());
    TagTelBasic& t = Load(c.script);
    std::thread run([&] { t.Run(); });
    // In the loop (the statement index is published for other threads; the
    // variables are not).
    bool spinning = WaitFor([&] { return t.runEnded.load() == 0 && t.curOperIndex.load() >= 2; });
    switch (c.request) {
      case kQuit: t.SetQuitRequest(true); break;
      case kRelease: call_.callState = kCallReleased; break;
      case kHangupRequest: call_.RequestHangup(); break;
      case kReload:
        t.runLine = &t;  // run by a line's threads, as a reload needs
        t.SetReload(true);
        break;
    }
    bool ended = WaitFor([&] { return t.runEnded.load() == 1; });
    if (!ended) t.hardStop = 1;
    run.join();
    EXPECT_TRUE(spinning);
    EXPECT_TRUE(ended);
    EXPECT_EQ(Printed(), c.printed);
    if (c.logged) {
      EXPECT_NE(LogText().find(c.logged), std::string::npos);
    }
  }
}

// A timer fires while the line spins in a loop of plain statements, in the
// main body and inside a function body.
TEST_F(ScriptRun, TimerFiresInsideATightLoop) {
  const std::string head = "hits = 0\nfunction tick()\n{\nhits = hits + 1\n}\n";
  const std::string loop = "n = 0\nwhile(hits < 3)\n{\nn = n + 1\n}\n";
  struct Case {
    const char* name;
    std::string script;
  } cases[] = {
      {"MainBody", head + "StartTimer(tick, 0.01)\n" + loop + "Print(\"t\" + hits)\nreturn(0)\n"},
      {"FunctionBody", head + "function spin()\n{\n" + loop + "}\nStartTimer(tick, 0.01)\nspin()\n" +
                           "Print(\"t\" + hits)\nreturn(0)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((dir_ / "_stdout0.txt").c_str());
    TagTelBasic& t = Load(c.script);
    std::thread run([&] { t.Run(); });
    bool ended = WaitFor([&] { return t.runEnded.load() == 1; });
    if (!ended) t.hardStop = 1;
    run.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(Printed(), "t3");
  }
}

// The debugger pauses a spinning loop between two statements, steps it one
// statement at a time and lets it go; a quit then ends it.
TEST_F(ScriptRun, PauseAndStepReachATightLoop) {
  TagTelBasic& t = Load("n = 0\nwhile(n < 2000000000)\n{\nn = n + 1\n}\nreturn(0)\nOnSysQuit()\nreturn(0)\n");
  std::thread run([&] { t.Run(); });
  EXPECT_TRUE(WaitFor([&] { return t.runEnded.load() == 0 && t.curOperIndex.load() >= 2; }));
  t.SetPaused(true);
  // Held: the published statement stays where the pause caught it.
  int at = -1;
  EXPECT_TRUE(WaitFor([&] {
    int before = t.curOperIndex.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    at = t.curOperIndex.load();
    return at == before && t.debugRefreshes.load() > 0;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(t.curOperIndex.load(), at);
  // One step moves on by one statement and holds again.
  t.Step();
  EXPECT_TRUE(WaitFor([&] { return t.curOperIndex.load() != at; }));
  const int stepped = t.curOperIndex.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(t.curOperIndex.load(), stepped);
  t.SetPaused(false);
  t.SetQuitRequest(true);
  bool ended = WaitFor([&] { return t.runEnded.load() == 1; });
  if (!ended) t.hardStop = 1;
  run.join();
  EXPECT_TRUE(ended);
}

// Braces are stepped over without running, yet they leave what they always
// left: a 0 in _retVal after a block, and a breakpoint on one still stops
// the line there.
TEST_F(ScriptRun, BracesKeepTheirResultAndBreakpoints) {
  Load("function f()\n{\nreturn(7)\n}\nx = 0\nif(x == 0)\n{\ny = f()\n}\nz = _retVal\n"
       "Print(\"y\" + y + \"z\" + z)\nreturn(0)\n")
      .Run();
  EXPECT_EQ(Printed(), "y7z0");

  for (char brace : {'{', '}'}) {
    SCOPED_TRACE(brace);
    TagTelBasic& t = Load("n = 0\nwhile(n < 2000000000)\n{\nn = n + 1\n}\nreturn(0)\nOnSysQuit()\nreturn(0)\n");
    int at = -1;
    for (TagOper* op : t.operations)
      if (op->kind == brace && at < 0) at = op->index;
    ASSERT_GE(at, 0);
    std::remove((dir_ / "_stdout0.txt").c_str());
    t.SetBreakpoint(at, true);
    std::thread run([&] { t.Run(); });
    EXPECT_TRUE(WaitFor([&] { return t.IsPaused() && t.curOperIndex.load() == at; }));
    t.SetBreakpoint(at, false);
    t.SetPaused(false);
    t.SetQuitRequest(true);
    bool ended = WaitFor([&] { return t.runEnded.load() == 1; });
    if (!ended) t.hardStop = 1;
    run.join();
    EXPECT_TRUE(ended);
  }
}

}  // namespace

#define RODIZ_FUZZ_NO_MAIN
#include "tests/fuzz/fuzz_runtime.cpp"

namespace {

TEST_F(Fixture, RuntimeCompileFuzzCorpus) {
  fuzz_runtime::Host host;
  ASSERT_TRUE(host.inst);
  ASSERT_EQ(host.inst->initResult, 0);
  testsupport::ScopedCwd cwd(host.dir);
  const std::string corpus[] = {
      "",           "1 + 2 * 3",  "x * (x + 1)",     "\"a\" + s",      "m[1] + m[2]", "1 +",
      "((((",       "))",         "x = x + 1",       "q = (x + 2) * 3;", "m[\"k\"] = x;", "if(1)",
      "}",          "{",          "while(x)",        "function g(a)",  "const c = 1",  "s = s + s + s",
      "x / 0",      "x % 0",      "!x || ~x && -x",  "a b c",          "\"unterminated", "// only a comment",
      "/* open",    "x = ",       "= 1",             "m = m + m",      std::string("x\0y", 3), "1.5e300 * 1e300",
      std::string(100, '(') + "1" + std::string(100, ')'),
      "m8888q= 1888888888<| 8+ 8+|1+ i+ + ",
      // A chain of repeats grew one text past the memory of the whole run.
      "\"...\"*44*8*48*44*8*48", "s = \"...\"*44*8*48*44*8*48",
      // An unclosed comment left the line's comment state open for good.
      std::string("\265ffffffff\265ffffffffff            -  f\300ff=//0-/\377\377\377*-/**/*/**/.\042.\042*/*/*\325\320\325\320\325+>=\322+\320                  -  f\300\314fff", 106),
  };
  for (const std::string& text : corpus) EXPECT_EQ(fuzz_runtime::Check(*host.inst, text), 0) << text;
  std::error_code ec;
  EXPECT_GT(std::filesystem::remove_all(host.dir, ec), 0u) << ec.message();
}

}  // namespace
