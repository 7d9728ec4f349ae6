// What a script sees of recursive calls: each call has its own parameters
// and locals, loops keep their place across calls made in their bodies,
// arguments take results back through every level, and the nesting limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/log.h"
#include "script_harness.h"
#include "tests/support/tempdir.h"

using scripttest::ScriptTest;

namespace {

struct RecursionCase {
  const char* name;
  const char* script;
  const char* var;
  const char* expect;
};

class RecursionTest : public ScriptTest, public ::testing::WithParamInterface<RecursionCase> {};

TEST_P(RecursionTest, RunsToExpectedValue) {
  const RecursionCase& c = GetParam();
  TagTelBasic& t = Compile(std::string(c.script) + "\nreturn(0)\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  Run();
  EXPECT_EQ(Text(c.var), c.expect) << c.script;
}

const char kDepth[] = "function f(n)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nm = n - 1\nr = f(m)\nreturn(r + 1)\n}\n";

const RecursionCase kCases[] = {
    // 64 calls deep is allowed; the 65th gives -3 to the 64th, which adds 1.
    {"SixtyFourDeep", "function f(n)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nm = n - 1\nr = f(m)\nreturn(r + 1)\n}\nv = f(63)\n",
     "v", "63"},
    {"SixtyFiveDeepFailsInnermost",
     "function f(n)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nm = n - 1\nr = f(m)\nreturn(r + 1)\n}\nv = f(64)\n", "v", "61"},
    // The depth is counted again for the next call from the main body.
    {"DepthComesBackDown",
     "function f(n)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nm = n - 1\nr = f(m)\nreturn(r + 1)\n}\nv = f(64)\nv = f(63)\n", "v",
     "63"},
    {"LocalsComeBackAfterInnerCall",
     "function f(n)\n{\nx = n * 10\nif(n > 0)\n{\nm = n - 1\nf(m)\n}\nreturn(x)\n}\nv = f(3)\n", "v", "30"},
    // An inner call starts with the locals as the outer call left them.
    {"InnerCallSeesOuterLocals",
     "function f(n)\n{\nif(n > 0)\n{\nx = n\nm = n - 1\nr = f(m)\nreturn(r)\n}\nreturn(x)\n}\nv = f(3)\n", "v", "1"},
    {"CopyBackThroughEveryLevel",
     "function inc(n, acc)\n{\nif(n <= 0)\n{\nreturn(0)\n}\nacc = acc + n\nm = n - 1\ninc(m, acc)\nreturn(0)\n}\na = 0\n"
     "inc(4, a)\n",
     "a", "10"},
    {"CopyBackInsideLoop",
     "function g(n, acc)\n{\ni = 0\nwhile(i < 2)\n{\nacc = acc + 1\nif(n > 0)\n{\nm = n - 1\ng(m, acc)\n}\ni = i + 1\n}\n"
     "return(0)\n}\na = 0\ng(2, a)\n",
     "a", "14"},
    {"WhileCounterSurvivesCall",
     "function f(n)\n{\ns = 0\ni = 0\nwhile(i < 3)\n{\nif(n > 0)\n{\nm = n - 1\nt = f(m)\ns = s + t\n}\ni = i + 1\n}\n"
     "return(s + 1)\n}\nv = f(2)\n",
     "v", "13"},
    {"ForStateSurvivesCall",
     "function f(n)\n{\ns = 0\nfor(i = 0; i < 3; i++)\n{\nif(n > 0)\n{\nm = n - 1\nt = f(m)\ns = s + t\n}\n}\n"
     "return(s + 1)\n}\nv = f(3)\n",
     "v", "40"},
    {"BreakAfterCall",
     "function f(n)\n{\ns = 0\nfor(i = 0; i < 5; i++)\n{\nif(i == 2)\n{\nbreak;\n}\nif(n > 0)\n{\nm = n - 1\nt = f(m)\n"
     "s = s + t\n}\n}\nreturn(s + 1)\n}\nv = f(2)\n",
     "v", "7"},
    {"ForInKeysSurviveCall",
     "gm = 0\ngm[1] = 1\ngm[2] = 2\nfunction f(n)\n{\nc = 0\nfor(k in gm)\n{\nif(n > 0)\n{\nm = n - 1\nt = f(m)\n"
     "c = c + t\n}\nc = c + k\n}\nreturn(c)\n}\nv = f(2)\n",
     "v", "21"},
    {"ForInTextSurvivesCall",
     "function f(n, w)\n{\nc = \"\"\nfor(ch in w)\n{\nc = c + ch\nif(n > 0)\n{\nm = n - 1\nt = f(m, \"xy\")\nc = c + t\n}\n}\n"
     "return(c)\n}\nv = f(1, \"ab\")\n",
     "v", "axybxy"},
    // Functions defined later are reached through a variable holding them.
    {"MutualRecursion",
     "odd = 0\nfunction ev(n)\n{\nif(n == 0)\n{\nreturn(1)\n}\nm = n - 1\nr = odd(m)\nreturn(r)\n}\n"
     "function od(n)\n{\nif(n == 0)\n{\nreturn(0)\n}\nm = n - 1\nr = ev(m)\nreturn(r)\n}\nodd = od\na = ev(7)\nb = ev(10)\n"
     "v = a * 10 + b;\n",
     "v", "1"},
    {"MutualRecursionKeepsBothFrames",
     "cb = 0\nfunction f(n)\n{\nx = n\nif(n > 0)\n{\nm = n - 1\ncb(m)\n}\nreturn(x)\n}\n"
     "function g(n)\n{\nx = 100\nm = n\nf(m)\nreturn(x)\n}\ncb = g\nv = f(4)\n",
     "v", "4"},
    {"GlobalsAreShared",
     "total = 0\nfunction f(n)\n{\ntotal = total + n\nif(n > 0)\n{\nm = n - 1\nf(m)\n}\nreturn(0)\n}\nf(4)\n", "total",
     "10"},
    {"StringResultThroughLevels",
     "function rep(n, s)\n{\nif(n <= 0)\n{\nreturn(s)\n}\nt = s + \"ab\"\nm = n - 1\nr = rep(m, t)\nreturn(r)\n}\n"
     "v = rep(3, \"x\")\n",
     "v", "xababab"},
    {"MapResultThroughLevels",
     "function mk(n)\n{\nif(n <= 0)\n{\nq = 0\nq[0] = 0\nreturn(q)\n}\nk = n - 1\nq = mk(k)\nq[n] = n\nreturn(q)\n}\n"
     "v = mk(3)\nc = 0\nfor(e in v)\n{\nc = c + v[e];\n}\n",
     "c", "6"},
    {"Fibonacci",
     "function fib(n)\n{\nif(n < 2)\n{\nreturn(n)\n}\na = n - 1\nb = n - 2\nx = fib(a)\ny = fib(b)\nreturn(x + y)\n}\n"
     "v = fib(15)\n",
     "v", "610"},
};

INSTANTIATE_TEST_SUITE_P(Scripts, RecursionTest, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

class RecursionLimitTest : public ScriptTest {
 protected:
  void SetUp() override {
    ScriptTest::SetUp();
    SetLogWriter(std::make_shared<TagWriteLog>(log_ / "log.txt", 1 << 24, true, true));
  }
  void TearDown() override {
    SetLogWriter(nullptr);
    ScriptTest::TearDown();
  }
  testsupport::TempDir log_;
};

TEST_F(RecursionLimitTest, CallPastTheLimitLogsAndTheLineGoesOn) {
  TagTelBasic& t = Compile(std::string(kDepth) + "v = f(70)\nw = f(2)\nreturn(0)\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  Run();
  EXPECT_EQ(Text("v"), "61");
  EXPECT_EQ(Text("w"), "2");
  const std::string log = testsupport::ReadFile(log_ / "log.txt");
  EXPECT_NE(log.find("function calling err: 'f()' nested deeper than 64 calls"), std::string::npos) << log;
}

}  // namespace
