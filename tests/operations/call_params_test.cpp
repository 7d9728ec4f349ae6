// A script function's parameter goes back to its argument whenever the body
// can write it, by whatever statement writes it. One the body never writes
// need not go back, but the argument still ends as the copy-back leaves it:
// a body that writes the argument's own variable sees that write undone.
#include <gtest/gtest.h>

#include <string>

#include "tests/engine/script_harness.h"

namespace {

// The body of f(a) (written after its header), and the text of the check
// variable once "x = 1", "r = f(x)" and the check statement have run.
struct ParamCase {
  const char* what;
  const char* body;
  const char* check;  // a statement that sets y
  const char* expect;
};

const ParamCase kCases[] = {
    {"assignment", "a = 9\nreturn(0)", "y = x", "9"},
    {"increment", "a++\nreturn(0)", "y = x", "2"},
    {"decrement", "a--\na--\nreturn(0)", "y = x", "-1"},
    {"complex expression", "a = a * 4 + 3;\nreturn(0)", "y = x", "7"},
    {"element of the parameter", "a = 0\na[2] = 5\nreturn(0)", "y = x[2] + 0;", "5"},
    {"call result", "a = g()\nreturn(0)", "y = x", "42"},
    {"argument of a call that writes it", "h(a)\nreturn(0)", "y = x", "11"},
    {"argument of a call that does not", "k(a)\nreturn(0)", "y = x", "1"},
    {"for loop init and step", "for(a = 0; a < 4; a++)\n{\n}\nreturn(0)", "y = x", "4"},
    {"for-in loop variable", "for(a in \"pq\")\n{\n}\nreturn(0)", "y = x", "q"},
    {"operation output argument", "UnicodeToStr(4, \"YWJj\", a)\nreturn(0)", "y = x", "abc"},
    // Never written, while the body writes the global passed in: the
    // copy-back still gives the argument its value from before the call.
    {"only read, argument written directly", "x = 5\nreturn(a)", "y = x", "1"},
    {"read by the return step", "x = 6\nreturn(a + 1)", "y = x * 10 + r;", "12"},
    {"only read, argument written by a call", "x2()\nreturn(a)", "y = x", "1"},
    {"only read, nothing else written", "z = a * 3\nreturn(z)", "y = x * 10 + r;", "13"},
};

class CallParams : public scripttest::ScriptTest {};

TEST_F(CallParams, WrittenParametersGoBackToTheirArguments) {
  int n = 0;
  for (const ParamCase& c : kCases) {
    // x is made first: the bodies see it as the main script's.
    const std::string script = std::string("x = 0\nfunction g()\n{\nreturn(42)\n}\n") +
                               "function h(p)\n{\np = p + 10\nreturn(0)\n}\n" +
                               "function k(p)\n{\nreturn(p)\n}\n" + "function x2()\n{\nx = 8\nreturn(0)\n}\n" + "function f(a)\n{\n" + c.body +
                               "\n}\nx = 1\nr = f(x)\n" + c.check + "\nreturn(0)\n";
    // Compiled scripts are cached by name: one file per case.
    Compile(script, 1, "case" + std::to_string(n++) + ".kxs");
    ASSERT_EQ(inst_->initResult, 0) << c.what << ": " << Report();
    Run();
    EXPECT_EQ(Text("y"), c.expect) << c.what;
  }
}

// A timer that fires inside the body writes the argument of a parameter the
// body only reads: the copy-back still undoes it, as for any other write.
TEST_F(CallParams, ATimerWriteInsideTheBodyIsUndoneToo) {
  Compile(
      "x = 0\nfired = 0\nfunction t()\n{\nx = 5\nfired = 1\n}\n"
      // Bounded, so a timer that never fires ends the test instead of hanging it.
      "function f(a)\n{\nn = 0\nwhile(x < 5 && n < 100000000)\n{\nn = n + 1\n}\nreturn(a)\n}\n"
      "x = 1\nStartTimer(t, 0.05)\nr = f(x)\nStopTimer(t)\nreturn(0)\n");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  ASSERT_EQ(Text("fired"), "1");
  EXPECT_EQ(Text("r"), "1");
  EXPECT_EQ(Text("x"), "1");
}

// One variable passed twice: the later parameter's copy-back decides, even
// when the body wrote only the earlier one.
TEST_F(CallParams, AVariablePassedTwiceEndsAsTheLastParameter) {
  Compile("function f(a, b)\n{\na = 9\nreturn(0)\n}\nx = 1\nr = f(x, x)\nreturn(0)\n");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  EXPECT_EQ(Text("x"), "1");
}

// The same call site with a body that changes under it (the function value
// reassigned) follows the new body's parameters.
TEST_F(CallParams, ACallSiteFollowsItsFunctionValue) {
  Compile(
      "function w(a)\n{\na = 7\nreturn(1)\n}\n"
      "function n(a)\n{\nreturn(2)\n}\n"
      "fn = w\nx = 1\ni = 0\ns = 0\nwhile(i < 2)\n{\nx = 1\nr = fn(x)\ns = s * 100 + r * 10 + x;\nfn = n\ni++\n}\n"
      "return(0)\n");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  EXPECT_EQ(Text("s"), "1721");
}

}  // namespace
