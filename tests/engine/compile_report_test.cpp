// What the compiler writes to the report for broken scripts, and the tables it
// builds: argument counts, constants, functions and their pruning.
#include <gtest/gtest.h>

#include <regex>

#include "engine/expr.h"
#include "engine/keyword.h"
#include "engine/scan.h"
#include "core/runcfg.h"
#include "platform/thread.h"
#include "script_harness.h"

using scripttest::ScriptTest;

namespace {

class ReportTest : public ScriptTest {};

// Every keyword that takes an argument list, written with one argument too
// many and one too few, reports the count on its own line.
TEST_F(ReportTest, EveryKeywordChecksItsArgumentCount) {
  const KeywordId flow[] = {KeywordId::ElseIf, KeywordId::If,      KeywordId::While, KeywordId::Switch,
                            KeywordId::Case,   KeywordId::Default, KeywordId::For};
  std::string script;
  std::vector<std::pair<int, std::string>> expect;
  int line = 0;
  for (int i = 0; i < kKeywordCount; ++i) {
    const RecKeyword& k = KeywordDict().Record(i);
    if (k.argCount < 0 || std::find(std::begin(flow), std::end(flow), static_cast<KeywordId>(i)) != std::end(flow))
      continue;
    auto call = [&](int n) {
      std::string s(k.name);
      for (int a = 0; a < n; ++a) s += a ? ", 1" : "1";
      return s + ")";
    };
    script += call(k.argCount + 1) + "\n";
    expect.emplace_back(++line, "): 操作参数太多, " + call(k.argCount));
    expect.back().second = "): 操作参数太多, " + call(k.argCount + 1);
    if (k.argCount > 0) {
      script += call(k.argCount - 1) + "\n";
      expect.emplace_back(++line, "): 操作参数不够, " + call(k.argCount - 1));
    }
  }
  TagTelBasic& t = Compile(script);
  EXPECT_EQ(t.errorCount, line);
  const std::string rep = Report();
  for (const auto& [ln, text] : expect)
    EXPECT_NE(rep.find("[Error]t.kxs(" + std::to_string(ln) + text + "\n"), std::string::npos) << text;
}

struct BrokenCase {
  const char* name;
  const char* script;
  int errors;
  std::vector<const char*> entries;  // exact report entries
};

class BrokenTest : public ScriptTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenTest, ReportsExactEntries) {
  const BrokenCase& c = GetParam();
  TagTelBasic& t = Compile(c.script);
  EXPECT_EQ(t.errorCount, c.errors) << Report();
  EXPECT_EQ(t.initResult, -2);
  const std::string rep = Report();
  for (const char* e : c.entries) EXPECT_NE(rep.find(e), std::string::npos) << "missing: " << e << "\nin:\n" << rep;
  // The summary closes the report.
  std::regex summary("\nt\\.kxs: 总错误数: " + std::to_string(c.errors) +
                     "; 总警告数: \\d+; 编译时间: \\d+\\.\\d{3}秒, 编译结束\n$");
  EXPECT_TRUE(std::regex_search(rep, summary)) << rep;
}

const BrokenCase kBroken[] = {
    {"UnclosedWhileAndBrace",
     "i = 0\nwhile(i < 1)\n{\ni = 1\n",
     2,
     {"[Error]t.kxs(4): while语句没有结束 (行数:2), while(i < 1)\n", "[Error]t.kxs(4): {语句没有相应的} (行数:3)\n\n"}},
    {"ElseWithoutIf", "x = 1\nelse\n{\n}\n", 3, {"[Error]t.kxs(2): 找不到匹配的if语句, else\n"}},
    {"TwoDefaults",
     "v = 1\nswitch(v)\n{\ndefault()\n{\n}\ndefault()\n{\n}\n}\n",
     2,
     {"[Error]t.kxs(8): 在一个switch块里不允许有多个default语句, {\n"}},
    {"OnlyLabelsInSwitch", "v = 1\nswitch(v)\n{\nx = 1\n}\n", 1,
     {"[Error]t.kxs(4): 在一个switch块里只能有case和default语句, x = 1\n"}},
    {"BreakOutsideLoop", "break;\n", 1, {"[Error]t.kxs(1): 找不到匹配的while语句, break;\n"}},
    {"IfFollowedByIf", "a = 1\nif(a)\nif(a)\n{\n}\n", 2, {"[Error]t.kxs(3): 前面缺少'{'语句, if(a)\n"}},
    {"UnclosedComment", "x = 1\n/* open\ny = 2\n", 1, {"[Error]t.kxs(2): 注释没有结束\n\n"}},
    {"ConstRedefinedOtherValue", "const N = 5\nconst N = 6\n", 1, {"[Error]t.kxs(2): 常量重复定义, const N = 6\n"}},
    {"ConstAssigned", "const N = 5\nN = 7\n", 1, {"[Error]t.kxs(2): 常量不可以赋值, N = 7\n"}},
    {"ConstWithOperator", "const N = 5\nconst M = N + 1\n", 1, {"[Error]t.kxs(2): 常量定义错误，不能运算, const M = N + 1\n"}},
    {"IllegalCharacter", "x = 1\ny = x + 1 * 中;\n", 1, {"[Error]t.kxs(2): 非法字符, y = x + 1 * 中;\n"}},
    {"MissingOperator", "x = 1\nswitch(x 1)\n{\n}\n", 3, {"语法错误: 缺少操作符"}},
    {"ComplexIndexRefused", "m = 0\ni = 1\nm[i + 1] = 5\n", 1, {"[Error]t.kxs(3): 不可辨识的关键字, m[i + 1] = 5\n"}},
    {"ComplexCaseRefused", "v = 1\nswitch(v)\n{\ncase(v + 1)\n{\n}\n}\n", 3,
     {"[Error]t.kxs(4): 语法错误, case(v + 1)\n"}},
    {"CallBeforeDefinition", "f(1)\nfunction f(a)\n{\n}\n", 1, {"[Error]t.kxs(1): 不可辨识的关键字, f(1)\n"}},
    {"TooManyToFunction", "function f(a)\n{\n}\nf(1, 2)\n", 1, {"[Error]t.kxs(4): 操作参数太多, f(1, 2)\n"}},
    {"NestedFunction", "function f(a)\n{\nfunction g(b)\n}\nf(1)\n", 1,
     {"[Error]t.kxs(3): 函数定义错误: 语法错, function g(b)\n"}},
    {"SectionInFunction", "function f(a)\n{\nOnDisconn()\n}\nf(1)\n", 1, {"[Error]t.kxs(3): 在函数里不可以使用OnDisconn()"}},
    {"FunctionNamedLikeBuiltin", "function Play(a)\n{\n}\n", 3, {"[Error]t.kxs(1): 函数定义错误: 和系统函数重名"}},
    {"UnknownVariable", "Sleep(nothing)\n", 1, {"[Error]t.kxs(1): 表达式中的变量没有预先赋值, nothing\n"}},
    {"ConstWithoutValue", "const N\n", 1, {"[Error]t.kxs(1): 不可辨识的关键字, const N\n"}},
    {"BodyVariableInvisibleToMain", "function f(a)\n{\nb = a\n}\nf(1)\nc = b\n", 1,
     {"[Error]t.kxs(6): 表达式中的变量没有预先赋值, b\n"}},
    {"EmptyArguments", "Sleep(, )\n", 1, {"[Error]t.kxs(1): 参数不可以为空, Sleep(, )\n"}},
    {"MissingSemicolon", "x = 1\ny = x + 1 * 2\n", 1, {"[Error]t.kxs(2): 缺少结束的分号, y = x + 1 * 2\n"}},
    {"UnclosedIfBraceless", "a = 1\nif(a)\nx = 1\n", 1, {"[Error]t.kxs(3): if语句没有结束 (行数:2), if(a)\n"}},
    // "!" alone is no comparison, also between two plain operands.
    {"LoneBangInCondition", "a = 1\nb = 2\nif(a ! b)\n{\n}\n", 3, {"[Error]t.kxs(3): 语法错误:!, if(a ! b)\n"}},
};

INSTANTIATE_TEST_SUITE_P(Scripts, BrokenTest, ::testing::ValuesIn(kBroken),
                         [](const auto& p) { return std::string(p.param.name); });

// Text after a brace and a "*/" without its "/*" are reported, the text (or
// the line) is dropped, and the script still runs: old scripts hold such lines.
struct DroppedCase {
  const char* name;
  const char* script;
  const char* result;  // r after the run
  std::vector<const char*> entries;
};

class DroppedTextTest : public ScriptTest, public ::testing::WithParamInterface<DroppedCase> {};

TEST_P(DroppedTextTest, ReportedWithoutFailingTheScript) {
  const DroppedCase& c = GetParam();
  TagTelBasic& t = Compile(c.script);
  const std::string rep = Report();
  EXPECT_EQ(t.errorCount, 0) << rep;
  ASSERT_EQ(t.initResult, 0) << rep;
  for (const char* e : c.entries) EXPECT_NE(rep.find(e), std::string::npos) << "missing: " << e << "\nin:\n" << rep;
  EXPECT_EQ(rep.find("总错误数"), std::string::npos) << rep;
  Run();
  EXPECT_EQ(Text("r"), c.result);
}

const DroppedCase kDropped[] = {
    {"TextAfterOpenBrace", "a = 1\nr = 0\nif(a)\n{ r = 5\nr = r + 1\n}\nreturn(0)\n", "1",
     {"[Error]t.kxs(4): 语法错误: '{'必需单独一行, { r = 5\n"}},
    // The if is still closed by its block: no "if语句没有结束" follows.
    {"TextAfterCloseBrace", "a = 1\nr = 2\nif(a)\n{\nr = 1\n} r = 7\nreturn(0)\n", "1",
     {"[Error]t.kxs(6): 语法错误: '}'必需单独一行, } r = 7\n"}},
    {"TextAfterBracesOfAnIfElse",
     "a = 0\nr = 0\nif(a)\n{\nr = 1\n} r = 9\nelse\n{ r = 3\nr = 2\n} junk\nr = r + 10\nreturn(0)\n", "12",
     {"[Error]t.kxs(6): 语法错误: '}'必需单独一行, } r = 9\n", "[Error]t.kxs(8): 语法错误: '{'必需单独一行, { r = 3\n",
      "[Error]t.kxs(10): 语法错误: '}'必需单独一行, } junk\n"}},
    {"TextAfterBracesOfALoop", "r = 0\nwhile(r < 3)\n{ junk\nr = r + 1\n} junk\nreturn(0)\n", "3",
     {"[Error]t.kxs(3): 语法错误: '{'必需单独一行, { junk\n", "[Error]t.kxs(5): 语法错误: '}'必需单独一行, } junk\n"}},
    {"StrayCommentEnd", "r = 1\nr = 5 */\n*/ r = 6\nr = r + 1\nreturn(0)\n", "2",
     {"[Error]t.kxs(2): 找不到匹配的起始注释/*, r = 5 */\n", "[Error]t.kxs(3): 找不到匹配的起始注释/*, */ r = 6\n"}},
};

INSTANTIATE_TEST_SUITE_P(Scripts, DroppedTextTest, ::testing::ValuesIn(kDropped),
                         [](const auto& p) { return std::string(p.param.name); });

// A lone "=" compares with a warning, also when a quoted "==" stands beside
// it, and however simple the condition.
TEST_F(ReportTest, LoneEqualsInAConditionWarns) {
  for (const char* cond : {"a = \"==\"", "a = 1", "\"!=\" = a"}) {
    TagTelBasic& t = Compile(std::string("a = 1\nif(") + cond + ")\n{\nx = 1\n}\nreturn(0)\n");
    EXPECT_EQ(t.errorCount, 0) << cond << "\n" << Report();
    EXPECT_EQ(t.warningCount, 1) << cond << "\n" << Report();
  }
}

TEST_F(ReportTest, LegalCommentsAfterBracesAndAcrossFunctionHeads) {
  TagTelBasic& t = Compile(
      "a = 1\nif(a)\n{ // fine\nx = 1\n} // fine too\nfunction f(p) /* opened here\n and closed */\n{\nreturn(p)\n}\n"
      "y = f(2)\nreturn(0)\n");
  EXPECT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.initResult, 0);
  Run();
  EXPECT_EQ(Text("y"), "2");
}

TEST_F(ReportTest, IfClosedByItsBlockAtTheEndIsComplete) {
  TagTelBasic& t = Compile("a = 1\nif(a)\n{\nx = 1\n}\n");
  EXPECT_EQ(t.errorCount, 0) << Report();
}

TEST_F(ReportTest, WarningsAreWrittenOnlyOutsideRunMode) {
  const char* script = "const N = 5\nconst N = 5\nClose()\n";
  TagTelBasic& t = Compile(script, 0);
  EXPECT_EQ(t.errorCount, 0);
  EXPECT_EQ(t.warningCount, 2);
  EXPECT_NE(Report().find("[Warning]t.kxs(2): 常量重复定义, const N = 5\n"), std::string::npos) << Report();
  EXPECT_NE(Report().find("[Warning]t.kxs(3): 最好不要使用将来可能不支持的Close()函数, 请使用OnDisconn()函数\n\n"),
            std::string::npos);
  TagTelBasic& r = Compile(script, 1);
  EXPECT_EQ(r.warningCount, 2);
  EXPECT_EQ(r.initResult, 0);
  EXPECT_EQ(Report(), "");
}

TEST_F(ReportTest, LiteralsShareConstantsOfEqualTypeAndValue) {
  TagTelBasic& t = Compile("const N = 5\na = 5\nb = 5\nc = \"5\"\nd = 0\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  // a and b copy the same variable as N; the string literal has its own.
  TagVar* n = t.FindVariable("N");
  int sameAsN = 0, strings = 0;
  for (TagOper* op : t.operations) {
    auto* calc = dynamic_cast<TagCalculate*>(op);
    ASSERT_NE(calc, nullptr);
    if (calc->A() == n) ++sameAsN;
    if (calc->A()->IsString()) ++strings;
  }
  EXPECT_EQ(sameAsN, 2);
  EXPECT_EQ(strings, 1);
  // Line 0's literal 0 is the built-in _lineNo: the first constant of that value.
  EXPECT_EQ(dynamic_cast<TagCalculate*>(t.operations.back())->A(), t.FindVariable("_lineNo"));
}

TEST_F(ReportTest, UncalledFunctionsArePrunedInPasses) {
  TagTelBasic& t = Compile("function f(a)\n{\nreturn(a)\n}\nfunction g(a)\n{\nf(a)\n}\nfunction h(a)\n{\nh(a)\n}\n", 0);
  EXPECT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.warningCount, 3);
  EXPECT_TRUE(t.functions.empty());
  const std::string rep = Report();
  // g goes in the first pass (with h, which only calls itself), f in the second.
  const size_t g = rep.find("[Warning]t.kxs(5): 该函数从来没有被调用过, 已被优化, function g(a)\n");
  const size_t f = rep.find("[Warning]t.kxs(1): 该函数从来没有被调用过, 已被优化, function f(a)\n");
  ASSERT_NE(g, std::string::npos) << rep;
  ASSERT_NE(f, std::string::npos) << rep;
  EXPECT_LT(g, f);
  EXPECT_TRUE(t.FindVariable("f")->IsNull());
}

TEST_F(ReportTest, RunLineKeepsEveryFunction) {
  TagTelBasic& t = Compile("function f(a)\n{\nreturn(a)\n}\nRunLine(\"x = 1\")\n");
  EXPECT_EQ(t.functions.size(), 1u);
}

struct CallFailure {
  const char* name;
  const char* script;
  const char* expect;
};

class CallFailureTest : public ScriptTest, public ::testing::WithParamInterface<CallFailure> {};

// A failing call leaves its error code in _retVal, so the target gets it
// rather than the previous statement's result.
TEST_P(CallFailureTest, TargetGetsErrorCode) {
  TagTelBasic& t = Compile(GetParam().script);
  ASSERT_EQ(t.errorCount, 0) << Report();
  Run();
  EXPECT_EQ(Text("r"), GetParam().expect);
}

const CallFailure kCallFailures[] = {
    {"NotAFunction", "x = 5\nr = 7\nr = x(1)\nreturn(0)\n", "-1"},
    {"DepthCapped", "function f(n)\n{\nq = f(n)\nreturn(q)\n}\nr = 7\nr = f(1)\nreturn(0)\n", "-3"},
    {"PlaceholderOperation", "r = 7\nr = ImTest()\nreturn(0)\n", "-1"},
    // "Eval(" is the one keyword that sets _retVal itself: its parse error
    // leaves null there, not the previous statement's 7.
    {"EvalParseError", "r = 7\nr = Eval(\"1 +\")\nreturn(0)\n", "NULL"},
};

INSTANTIATE_TEST_SUITE_P(Scripts, CallFailureTest, ::testing::ValuesIn(kCallFailures),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace

namespace {

// Statements compiled one by one, as the run-time compile feeds them.
TEST_F(ReportTest, ArgumentsOverTheLimitAreSyntaxErrorsAndLeakNothing) {
  TagTelBasic& t = Compile("x = 1\n");
  const size_t ops = t.operations.size();
  const std::string big = "Sleep(\"" + std::string(5000, 'a') + "\")";
  EXPECT_EQ(t.CompileLine(big, 7), -1);
  // The first argument's expression is dropped with the failed statement.
  EXPECT_EQ(t.CompileLine("Strlen(x + 1, nothing)", 8), -1);
  EXPECT_TRUE(t.pendingPreExpressions.empty());
  EXPECT_EQ(t.operations.size(), ops);
  EXPECT_NE(Report().find("[Error]t.kxs(7): 语法错误, Sleep(\"aaa"), std::string::npos);
  EXPECT_NE(Report().find("[Error]t.kxs(8): 表达式中的变量没有预先赋值, nothing\n"), std::string::npos);
}

}  // namespace

namespace {

// A run-time compile that is undone takes its variables off the list again;
// lookups must not answer with what is gone.
TEST_F(ReportTest, LookupsSurviveVariablesTakenOffTheEnd) {
  TagTelBasic& t = Compile("x = 1\n");
  const size_t vars = t.variables.size();
  ASSERT_EQ(t.CompileLine("y = 12345", 2), 0);
  ASSERT_GT(t.variables.size(), vars);
  ASSERT_GE(t.FindVarIndex("y"), 0);
  ASSERT_GE(t.FindConst(TagOperand::kInteger, "12345"), 0);
  t.RemoveOperationsFrom(t.operations.size() - 1);
  t.variables.resize(vars);
  EXPECT_EQ(t.FindVarIndex("y"), -1);
  EXPECT_EQ(t.FindConst(TagOperand::kInteger, "12345"), -1);
  EXPECT_GE(t.FindVarIndex("x"), 0);
}

}  // namespace

namespace {

// An ordinary call-flow script, the way script authors write them, compiles
// without a single entry in the report.
TEST_F(ReportTest, TypicalScriptCompilesClean) {
  Write("common.kxs", "const MAXTRY = 3\t// tries\nfunction Greet(name)\n{\n    msg = \"hello \" + name\n    return(msg)\n}\n");
  TagTelBasic& t = Compile(R"(/* IVR main
   second comment line */
#include "common.kxs"
const WELCOME = "welcome.wav"
tries = 0
keys = ""
WaitRing(0);
Answer(1);
while (tries < MAXTRY)
{
    Play(WELCOME);
    n = GetKeys(keys, 4, 10);
    if(n <= 0)
    {
        tries++
        continue;
    }
    switch(keys)
    {
        case("1")
        {
            Play("one.wav");
        }
        case("2")
        case("3")
        {
            g = Greet(keys)
            s = Substr(keys, 0, 1, 0)
        }
        default()
        {
            Play("error.wav")
        }
    }
    for(i = 0; i < 3; i++)
        tries = tries + 0
    break;
}
m = 0
m["a"] = 1
for (k in m)
{
    Print(k + ":" + m[k]);
}
total = tries * 2 + (n - 1) / 3;
Hangup();
return(0)
OnDisconn()
Print("released")
return(1)
)");
  EXPECT_EQ(t.errorCount, 0) << Report();
  EXPECT_EQ(t.initResult, 0);
  EXPECT_EQ(Report(), "");
  EXPECT_GT(t.hangupIndex, 0);
}

}  // namespace

namespace {

// Statement texts may be off for the run (IS_DISP_SENTE 0); the report of an
// unclosed block still names the statement.
TEST_F(ReportTest, UnclosedBlocksNamedWithoutStatementTexts) {
  const int saved = runCfg.isDispSente;
  runCfg.isDispSente = 0;
  TagTelBasic& t = Compile("i = 0\nwhile(i < 1)\n{\n");
  runCfg.isDispSente = saved;
  EXPECT_TRUE(t.operations[1]->text.empty());
  EXPECT_NE(Report().find("[Error]t.kxs(3): while语句没有结束 (行数:2), while(i < 1)\n"), std::string::npos) << Report();
}

}  // namespace

namespace {

// Run-time lines are compiled apart from the live list: the script's links
// stay as they were, flow statements are refused.
TEST_F(ReportTest, DetachedLinesLeaveTheLiveListAlone) {
  TagTelBasic& t = Compile("i = 0\nwhile(i < 3)\ni++\n");
  ASSERT_EQ(t.errorCount, 0) << Report();
  const size_t ops = t.operations.size();
  TagOper* last = t.operations.back();
  TagOper* lastNext = last->next;
  const int temps = t.tempCounter;

  int r = 0;
  TagOper* op = t.CompileDetached("i = i * 10 + 5;", 1, r);
  ASSERT_NE(op, nullptr);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(last->next, lastNext);
  EXPECT_EQ(op->next, nullptr);
  EXPECT_EQ(t.tempCounter, temps);
  op->RunPreExpressions();
  op->Execute();
  EXPECT_EQ(Text("i"), "5");
  t.RemoveOperationsFrom(ops);

  for (const char* refused : {"if(i)", "{", "}", "while(1)", "break;", "OnDisconn()", "Close()", "function f(a)",
                              "#include \"x.kxs\"", "return(1)", "x = for(1)"}) {
    EXPECT_EQ(t.CompileDetached(refused, 1, r), nullptr) << refused;
    EXPECT_EQ(r, TagTelBasic::kDetachedRefused) << refused;
  }
  EXPECT_EQ(t.CompileDetached("Sleep(nothing)", 1, r), nullptr);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(t.CompileDetached("// only a comment", 1, r), nullptr);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(t.operations.size(), ops);
  EXPECT_EQ(t.operations.back()->next, lastNext);
}

}  // namespace

namespace {

// Run-time lines reach the parser on the line's own small stack.
TEST_F(ReportTest, DeepNestingIsRefusedNotRecursedInto) {
  TagTelBasic& t = Compile("x = 1\n");
  auto nested = [](int n) { return "y = " + std::string(n, '(') + "x" + std::string(n, ')') + " + 1;"; };
  std::string brackets = "z = x";
  for (int i = 0; i < 5000; ++i) brackets += "[x";
  brackets += std::string(5000, ']') + ";";
  int shallow = 1, deep = 1, deepBrackets = 1;
  plat::Thread line;
  ASSERT_TRUE(line.Start([&] {
    shallow = t.CompileLine(nested(60), 2);
    deep = t.CompileLine(nested(5000), 3);
    deepBrackets = t.CompileLine(brackets, 4);
  }));
  line.Join();
  EXPECT_EQ(shallow, 0);
  EXPECT_EQ(deep, -1);
  EXPECT_EQ(deepBrackets, -1);
  EXPECT_NE(Report().find("[Error]t.kxs(3): 语法错误, y = ((("), std::string::npos);
}

}  // namespace
