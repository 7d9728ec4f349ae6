// Scripts compiled from text and run: flow statements, loops, switch,
// functions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "engine/call.h"
#include "engine/flow.h"
#include "engine/memkxs.h"
#include "engine/scan.h"
#include "platform/thread.h"
#include "script_harness.h"

using scripttest::ScriptTest;

namespace {

struct FlowCase {
  const char* name;
  const char* script;
  const char* var;
  const char* expect;
};

class FlowTest : public ScriptTest, public ::testing::WithParamInterface<FlowCase> {};

TEST_P(FlowTest, RunsToExpectedValue) {
  const FlowCase& c = GetParam();
  TagTelBasic& t = Compile(std::string(c.script) + "\nreturn(0)\n");
  ASSERT_EQ(t.initResult, 0) << Report();
  ASSERT_EQ(t.errorCount, 0) << Report();
  Run();
  EXPECT_EQ(Text(c.var), c.expect) << c.script;
}

const FlowCase kFlowCases[] = {
    {"Assign", "x = 1\ny = x + 1\n", "y", "2"},
    // Assignment lines of every shape near the plain "name = value" one.
    {"AssignWithoutBlanks", "x=3\n", "x", "3"},
    {"AssignAmongTabs", "\tx\t=\t3\t\n", "x", "3"},
    {"AssignCallResult", "function f(a)\n{\nreturn(a + 1)\n}\nx = f(4)\n", "x", "5"},
    {"AssignTextWithParentheses", "s = \"a(b){c}\"\n", "s", "a(b){c}"},
    {"AssignConstant", "const k = 7\nx = k\n", "x", "7"},
    {"AssignToAKeywordName", "while = 4\nx = while\n", "x", "4"},
    {"AssignWithComment", "x = 2 // x = 5\n", "x", "2"},
    {"Precedence", "x = (1 + 2) * 3;\n", "x", "9"},
    {"UnaryMinus", "x = 2 * -3;\n", "x", "-6"},
    {"AndOrSameLevel", "x = 1 || 0 && 0;\n", "x", "0"},
    {"BitAndAfterCompare", "x = 6 & 3 == 3;\n", "x", "0"},
    // Each operator against one of the next level up or down: a level
    // mixed up gives another value.
    {"ModBeforeMinus", "x = 7 - 4 % 3;\n", "x", "6"},
    {"DivBeforeMinus", "x = 8 / 2 - 1;\n", "x", "3"},
    {"MinusLeftToRight", "x = 10 - 2 - 3;\n", "x", "5"},
    {"PlusBeforeShiftLeft", "x = 1 << 2 + 1;\n", "x", "8"},
    {"PlusBeforeShiftRight", "x = 16 >> 1 + 1;\n", "x", "4"},
    {"ShiftBeforeGreater", "x = 2 << 1 > 3;\n", "x", "1"},
    {"PlusBeforeLess", "x = 1 + 1 < 3;\n", "x", "1"},
    {"PlusBeforeGreaterEqual", "x = 2 >= 1 + 1;\n", "x", "1"},
    {"PlusBeforeLessEqual", "x = 3 <= 1 + 1;\n", "x", "0"},
    {"PlusBeforeNotEqual", "x = 2 != 1 + 1;\n", "x", "0"},
    {"CompareBeforeXor", "x = 6 ^ 3 == 3;\n", "x", "7"},
    {"CompareBeforeBitOr", "x = 4 | 1 == 1;\n", "x", "5"},
    {"BitOrBeforeAnd", "x = 1 && 2 | 4;\n", "x", "1"},
    {"BitAndBeforeOr", "x = 1 || 0 & 0;\n", "x", "1"},
    {"MulPlusChain", "a = \"x\"\ns = a + 1 + 2;\n", "s", "x12"},
    {"MulPlusInts", "a = 1\ns = a + 2 + \"x\";\n", "s", "3"},
    {"IncDec", "x = 5\nx++\nx++\nx--\n", "x", "6"},
    {"IfThen", "a = 1\nx = 0\nif(a == 1)\n{\nx = 10\n}\nelse\n{\nx = 20\n}\nreturn(0)\n", "x", "10"},
    {"IfElse", "a = 2\nx = 0\nif(a == 1)\n{\nx = 10\n}\nelse\n{\nx = 20\n}\nreturn(0)\n", "x", "20"},
    {"ElseIfChain",
     "a = 3\nx = 0\nif(a == 1)\n{\nx = 1\n}\nelse if(a == 2)\n{\nx = 2\n}\nelse if(a == 3)\n{\nx = 3\n}\nelse\n{\nx = "
     "4\n}\ny = x\nreturn(0)\n",
     "y", "3"},
    {"ElseIfNoneTrue",
     "a = 9\nx = 0\nif(a == 1)\n{\nx = 1\n}\nelse if(a == 2)\n{\nx = 2\n}\nelse\n{\nx = 4\n}\nreturn(0)\n", "x", "4"},
    {"BracelessIfElse", "a = 0\nx = 0\nif(a)\nx = 1\nelse\nx = 2\ny = x * 10\nreturn(0)\n", "y", "20"},
    {"WhileLoop", "i = 0\ns = 0\nwhile(i < 5)\n{\ns = s + i\ni = i + 1\n}\nreturn(0)\n", "s", "10"},
    {"ForLoop", "s = \"\"\nfor(i = 0; i < 3; i = i + 1)\n{\ns = s + i\n}\nreturn(0)\n", "s", "012"},
    {"ForLeavesCounter", "for(i = 0; i < 3; i++)\n{\n}\nreturn(0)\n", "i", "3"},
    {"BreakContinue",
     "s = \"\"\nfor(i = 0; i < 10; i++)\n{\nif(i == 2)\n{\ncontinue;\n}\nif(i == 5)\n{\nbreak;\n}\ns = s + i\n}\nreturn(0)\n",
     "s", "0134"},
    {"BracelessWhile", "i = 0\nwhile(i < 4)\ni++\nreturn(0)\n", "i", "4"},
    {"ForInMap",
     "m = 0\nm[2] = \"b\"\nm[1] = \"a\"\nm[\"k\"] = 3\ns = \"\"\nfor(k in m)\n{\ns = s + k\n}\nreturn(0)\n", "s",
     "12k"},
    {"ForInString", "s = \"\"\nfor(c in \"abc\")\n{\ns = s + c + \",\";\n}\nreturn(0)\n", "s", "a,b,c,"},
    {"ForInRemovesWhileIterating",
     "m = 0\nm[1] = 1\nm[2] = 2\nm[3] = 3\nn = 0\nfor(k in m)\n{\nm = m >> k\nn = n + 1\n}\nc = n\nreturn(0)\n", "c",
     "3"},
    {"ForInEmpty", "n = 0\nv = 5\nfor(k in v)\n{\nn = n + 1\n}\nreturn(0)\n", "n", "0"},
    {"SwitchSharedLabels",
     "v = \"2\"\nx = 0\nswitch(v)\n{\ncase(1)\ncase(2)\n{\nx = 12\n}\ncase(3)\n{\nx = 3\n}\ndefault()\n{\nx = 9\n}\n}\nreturn("
     "0)\n",
     "x", "12"},
    {"SwitchDefault", "v = 7\nx = 0\nswitch(v)\n{\ncase(1)\n{\nx = 1\n}\ndefault()\n{\nx = 9\n}\n}\nreturn(0)\n", "x",
     "9"},
    {"SwitchNoMatchNoDefault",
     "v = 7\nx = 0\nswitch(v)\n{\ncase(1)\n{\nx = 1\n}\n}\nx = x + 100\nreturn(0)\n", "x", "100"},
    {"BreakInsideSwitchLeavesLoop",
     "n = 0\nwhile(n < 10)\n{\nn++\nswitch(n)\n{\ncase(3)\n{\nbreak;\n}\n}\n}\nreturn(0)\n", "n", "3"},
    {"FunctionValueResult",
     "function f(a, b)\n{\na = a + b\nreturn(a * 2)\n}\nx = 1\nr = f(x, 5)\nreturn(0)\n", "r", "12"},
    {"FunctionWritesBack", "function f(a, b)\n{\na = a + b\nreturn(a * 2)\n}\nx = 1\nr = f(x, 5)\nreturn(0)\n", "x",
     "6"},
    {"FunctionWithoutReturn", "function g(a)\n{\na = 3\n}\nx = 1\nr = g(x)\nreturn(0)\n", "r", "0"},
    {"Recursion",
     "function fact(n)\n{\nif(n <= 1)\n{\nreturn(1)\n}\nm = n - 1\nr = fact(m)\nreturn(n * r)\n}\nv = fact(5)\nreturn(0)\n", "v",
     "120"},
    {"RecursionKeepsOuterLoop",
     "function f(n)\n{\ns = 0\nfor(i = 0; i < 3; i++)\n{\nif(n > 0)\n{\nm = n - 1\nf(m)\n}\ns = s + 1\n}\nreturn(s)\n}\nv = f(2)\nreturn(0)\n",
     "v", "3"},
    {"FunctionScopes",
     "g = 10\na = 1\nfunction f(a)\n{\nb = g + a\ng = 11\nreturn(b)\n}\nr = f(5)\ns = r + g;\n", "s", "26"},
    {"FunctionReturnsMap", "function mk(a)\n{\nm = 0\nm[1] = a\nreturn(m)\n}\nr = mk(5)\nx = r[1] + 0;\n", "x", "5"},
    {"MapArgumentValueResult",
     "function add(m)\n{\nm[\"k\"] = 1\n}\nq = 0\nq[\"a\"] = 2\nadd(q)\nn = 0\nfor(k in q)\n{\nn++\n}\n", "n", "2"},
    // A return of one step computes it within the return: the same wrap,
    // fallbacks and repeated use as any other expression.
    {"ReturnStepWraps", "function f(a, b)\n{\nreturn(a + b)\n}\nx = 2147483647\nr = f(x, 1)\n", "r", "-2147483648"},
    {"ReturnStepStringFallback", "function f(a, b)\n{\nreturn(a + b)\n}\nr = f(\"n\", 12)\n", "r", "n12"},
    {"ReturnStepDoubleFallback", "function f(a, b)\n{\nreturn(a * b)\n}\nr = f(3, 0.5)\n", "r", "1.5"},
    {"ReturnStepCompare", "function f(a, b)\n{\nreturn(a < b)\n}\nr = f(4, 5)\nq = f(5, 4)\nr = r * 10 + q;\n", "r",
     "10"},
    {"ReturnStepElement", "function f(m)\n{\nreturn(m[2] + 1)\n}\nv = 0\nv[2] = 41\nr = f(v)\n", "r", "42"},
    {"ReturnStepInALoop",
     "function f(a, b)\n{\nreturn(a + b)\n}\ni = 0\ns = 0\nwhile(i < 5)\n{\nt = f(i, 1)\ns = s + t\ni = i + 1\n}\n", "s",
     "15"},
    {"ReturnStepRecursion",
     "function f(n)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nm = n - 1\nr = f(m)\nreturn(r + n)\n}\nv = f(4)\n", "v", "10"},
    {"ConstAndLiteral", "const N = 5\nx = N + 5\n", "x", "10"},
    {"ElementTarget", "m = 0\nm[5] = 1 + 1\nx = m[5] + 1;\n", "x", "3"},
    {"ComplexElementTarget", "m = 0\ni = 1\nm[i] = i * 3 + 1;\ny = m[1] + 0;\n", "y", "4"},
    {"ContinuationLine", "x = 1 + \\\n 2\n", "x", "3"},
};

INSTANTIATE_TEST_SUITE_P(Scripts, FlowTest, ::testing::ValuesIn(kFlowCases),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

namespace {

class FlowDetailTest : public ScriptTest {};

// Conditions after the first true one of an if chain are not evaluated: the
// ">>" in the second would remove key 1.
TEST_F(FlowDetailTest, ElseIfAfterTrueBranchIsNotEvaluated) {
  TagTelBasic& t = Compile(
      "m = 0\nm[1] = 1\nm[2] = 2\nx = 0\nif(1)\n{\nx = 1\n}\nelse if(m >> 1)\n{\nx = 2\n}\nn = 0\nfor(k in m)\n{\nn++\n}\n"
      "return(0)\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  Run();
  EXPECT_EQ(Text("x"), "1");
  EXPECT_EQ(Text("n"), "2");
}

TEST_F(FlowDetailTest, SectionMarkersRecordTheirIndexes) {
  TagTelBasic& t = Compile("x = 1\nClose()\nx = 2\nOnSysQuit()\nreturn(0)\n", 0);
  ASSERT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.warningCount, 1);
  EXPECT_EQ(t.hangupIndex, 1);
  EXPECT_EQ(t.quitIndex, 3);
  EXPECT_EQ(t.operations[1]->kind, kOpClose);
  EXPECT_EQ(t.operations[3]->kind, kOpOperation);
  // The hang-up marker turns a released call into "handled" and hands over
  // the last dial result once.
  call_->callState = kCallReleased;
  t.lastDialResult = 4;
  EXPECT_EQ(t.operations[1]->Execute(), 4);
  EXPECT_EQ(call_->callState.load(), kCallHungUpSection);
  EXPECT_EQ(t.lastDialResult, 0);
  t.operations[3]->Execute();
  EXPECT_EQ(t.runState, kRunQuitSection);
}

TEST_F(FlowDetailTest, CallResultsGoToTheirTargets) {
  TagTelBasic& t = Compile(
      "function f(a)\n{\nreturn(a + \"!\")\n}\nm = 0\nm[\"k\"] = ImTest()\ns = f(\"hi\")\nk = m[\"k\"] + 0;\nreturn(0)\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.operations[1]->resultRef.var, t.FindVariable("m"));
  EXPECT_NE(t.operations[1]->resultRef.key, nullptr);
  Run();
  EXPECT_EQ(Text("s"), "hi!");
  EXPECT_EQ(Text("k"), "-1");
}

struct DefCase {
  const char* name;
  const char* script;
  const char* entry;
};

class DefinitionTest : public ScriptTest, public ::testing::WithParamInterface<DefCase> {};

TEST_P(DefinitionTest, RefusedWithItsMessage) {
  TagTelBasic& t = Compile(GetParam().script);
  EXPECT_GT(t.errorCount, 0);
  EXPECT_NE(Report().find(GetParam().entry), std::string::npos) << Report();
}

const DefCase kDefinitions[] = {
    {"BadParameter", "function f(1a)\n{\n}\nf(1)\n", "[Error]t.kxs(1): 函数定义错误: 参数名不合法, function f(1a)\n"},
    {"Duplicate", "function f(a)\n{\n}\nfunction f(b)\n{\n}\nf(1)\n",
     "[Error]t.kxs(4): 函数定义错误: 重复定义, function f(b)\n"},
    {"NameIsVariable", "f = 1\nfunction f(a)\n{\n}\n",
     "[Error]t.kxs(2): 函数定义错误: 函数名已经被定义为变量或常量, function f(a)\n"},
    {"NoParenthesis", "function f\n", "[Error]t.kxs(1): 函数定义错误: 语法错, function f\n"},
    {"Unfinished", "function f(a)\n{\nx = 1\n", "函数定义没有结束 (行数:1), function f(a)\n"},
    {"BadIncDecName", "x\"++\n", "[Error]t.kxs(1): "},
    {"ForWithoutIn", "for(a b c)\n{\n}\n", "[Error]t.kxs(1): for语句语法错误, for(a b c)\n"},
    {"ForPartNotSimple", "for(i = 0; i < 3; i = i + 1 + 2)\n{\n}\n",
     "[Error]t.kxs(1): 操作符错误: 出现多个操作符, for(i = 0; i < 3; i = i + 1 + 2)\n"},
};

INSTANTIATE_TEST_SUITE_P(Scripts, DefinitionTest, ::testing::ValuesIn(kDefinitions),
                         [](const auto& p) { return std::string(p.param.name); });

// Lines load their scripts at the same time through the one cache.
TEST_F(FlowDetailTest, ConcurrentCompilesShareTheCache) {
  Write("inc.kxs", "function f(a)\n{\nreturn(a * 2)\n}\n");
  Write("t.kxs", "#include \"inc.kxs\"\nx = 0\nfor(i = 0; i < 10; i++)\n{\nr = f(i)\nx = x + r\n}\nreturn(0)\n");
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int n = 0; n < 4; ++n) {
    threads.emplace_back([&, n] {
      TagKxCall call;
      for (int k = 0; k < 5; ++k) {
        TagTelBasic t("t.kxs", 0, &call, 1);
        if (t.errorCount == 0 && t.Run() == 0 && t.FindVariable("x")->ToText() == "90") ++good;
        if (n == 0) TagMemKxs::Instance().Clear();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 20);
}

}  // namespace

namespace {

// Calls made outside compiled statements (timers, inter-line requests) check
// the argument count at run time.
TEST_F(FlowDetailTest, CallChecksCountAndKeepsLiteralsUnchanged) {
  TagTelBasic& t = Compile("function f(a, b)\n{\na = 7\nb = 8\n}\nx = 1\nf(x, 5)\nreturn(0)\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  Run();
  EXPECT_EQ(Text("x"), "7");
  TagVar* five = t.variables[static_cast<size_t>(t.FindConst(TagOperand::kInteger, "5"))].get();
  EXPECT_EQ(five->AsInt(), 5);

  TagCall one(t.FindVariable("f"), &t);
  one.AddArg(t.FindVariable("x"));
  EXPECT_EQ(one.Execute(), -2);
  EXPECT_EQ(t.RetVal().AsInt(), -2);
}

}  // namespace

namespace {

// Calls nested to the cap fit the line thread's stack.
// Braces are stepped over without a dispatch, except one with a breakpoint:
// the run stops on it, in the main body or in a function's, and once the
// breakpoint is cleared and the run resumed it goes on to its end.
TEST_F(FlowDetailTest, ABreakpointOnABraceStopsThere) {
  struct BraceCase {
    const char* what;
    bool inBody;  // the function's braces, else the main body's
    char kind;    // the first brace of this kind
  };
  const BraceCase cases[] = {
      {"opening brace of a function", true, '{'},
      {"closing brace of a function", true, '}'},
      {"opening brace of a loop", false, '{'},
      {"closing brace of a loop", false, '}'},
  };
  int n = 0;
  for (const BraceCase& c : cases) {
    // The closing brace of a function is reached by a body without a return.
    Compile(
        "s = 0\nfunction f(a)\n{\ns = s + a\n}\ni = 0\nwhile(i < 3)\n{\nf(i)\ni = i + 1\n}\nreturn(0)\n", 1,
        "brace" + std::to_string(n++) + ".kxs");
    ASSERT_EQ(inst_->errorCount, 0) << c.what << ": " << Report();
    ASSERT_EQ(inst_->functions.size(), 1u);
    TagTelBasic& holder = c.inBody ? *inst_->functions[0] : *inst_;
    int at = -1;
    for (TagOper* op : holder.operations)
      if (op->kind == c.kind) {
        at = op->index;
        break;
      }
    ASSERT_GE(at, 0) << c.what;
    holder.SetBreakpoint(at, true);
    std::thread t([this] { inst_->Run(); });
    auto waitFor = [](const std::function<bool()>& cond) {
      for (int i = 0; i < 1000 && !cond(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return cond();
    };
    const bool stopped =
        waitFor([&] { return inst_->paused.load() == 1 && holder.curOperIndex.load() == at; });
    EXPECT_TRUE(stopped) << c.what;
    holder.SetBreakpoint(at, false);
    inst_->SetPaused(false);
    if (!stopped) {
      inst_->stopRequested = 1;
      inst_->hardStop = 1;
    }
    EXPECT_TRUE(waitFor([&] { return inst_->runEnded.load() == 1; })) << c.what;
    t.join();
    if (stopped) {
      EXPECT_EQ(Text("s"), "3") << c.what;
    }
  }
}

TEST_F(FlowDetailTest, DeepestCallsFitALineStack) {
  TagTelBasic& t = Compile(
      "function f(n)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nm = n - 1\nq = f(m)\nif(q < 0)\n{\nreturn(q)\n}\nreturn(q + 1)\n}\n"
      "deep = f(63)\ntoo = f(64)\nreturn(0)\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  plat::Thread line;
  ASSERT_TRUE(line.Start([&] { t.Run(); }));
  line.Join();
  EXPECT_EQ(Text("deep"), "63");
  EXPECT_EQ(Text("too"), "-3");
}

}  // namespace

namespace {

// A body's variables hold no map once its call returns, however the map came
// in, also when later calls make none.
TEST_F(FlowDetailTest, BodyMapsAreReleasedOnReturn) {
  struct Case {
    const char* name;
    const char* script;
  };
  const Case cases[] = {
      {"ElementWrite", "function f(a)\n{\nm = 0\nm[1] = a\nreturn(1)\n}\nr = f(5)\nr = f(6)\n"},
      {"AssignedFromGlobal", "g = 0\ng[1] = 2\nfunction f(a)\n{\nm = g\nreturn(a)\n}\nr = f(5)\nr = f(6)\n"},
      {"ReturnedByAnotherBody",
       "function mk(a)\n{\nk = 0\nk[1] = a\nreturn(k)\n}\nfunction f(a)\n{\nm = mk(a)\nreturn(a)\n}\nr = f(5)\n"},
      {"ParameterKeptInALocal",
       "function f(p)\n{\nm = p\nreturn(1)\n}\nq = 0\nq[1] = 1\nr = f(q)\nfunction g(a)\n{\nreturn(a + 1)\n}\nr = g(r)\n"},
      {"MadeOnlyByTheFirstCall",
       "function f(a)\n{\nif(a > 0)\n{\nm = 0\nm[1] = a\n}\nreturn(a)\n}\nr = f(1)\nr = f(0)\nr = f(0)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TagTelBasic& t = Compile(std::string(c.script) + "return(0)\n");
    ASSERT_EQ(t.errorCount, 0) << Report();
    Run();
    ASSERT_FALSE(t.functions.empty());
    for (TagTelBasic* body : t.functions) {
      for (const auto& v : body->variables) {
        if (v) {
          EXPECT_FALSE(v->IsMap()) << body->name << "." << v->Name();
        }
      }
    }
  }
}

}  // namespace
