// Scripts compiled from text and walked: flow statements, loops, switch,
// functions.
#include <gtest/gtest.h>

#include "engine/flow.h"
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
    {"Precedence", "x = (1 + 2) * 3;\n", "x", "9"},
    {"UnaryMinus", "x = 2 * -3;\n", "x", "-6"},
    {"AndOrSameLevel", "x = 1 || 0 && 0;\n", "x", "0"},
    {"BitAndAfterCompare", "x = 6 & 3 == 3;\n", "x", "0"},
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
    {"ConstAndLiteral", "const N = 5\nx = N + 5\n", "x", "10"},
    {"ElementTarget", "m = 0\nm[5] = 1 + 1\nx = m[5] + 1;\n", "x", "3"},
    {"ComplexElementTarget", "m = 0\ni = 1\nm[i] = i * 3 + 1;\ny = m[1] + 0;\n", "y", "4"},
    {"ContinuationLine", "x = 1 + \\\n 2\n", "x", "3"},
};

INSTANTIATE_TEST_SUITE_P(Scripts, FlowTest, ::testing::ValuesIn(kFlowCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
