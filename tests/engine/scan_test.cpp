#include "engine/scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/compilediag.h"
#include "platform/text.h"

#define RODIZ_FUZZ_NO_MAIN
#include "tests/fuzz/fuzz_scan.cpp"

namespace {

// Keeps report entries in memory.
class MemDiag : public TagCompileDiag {
 public:
  MemDiag() : TagCompileDiag(0, false, true) { curFileName = "t.kxs"; }
  std::vector<std::string> entries;

 protected:
  void WriteEntry(const std::string& entry) override { entries.push_back(entry); }
};

// ---- text helpers -------------------------------------------------------

TEST(TextHelpers, TrimRemoveAndBlankTests) {
  std::string s = "abc \t\n\r";
  TrimRight(s);
  EXPECT_EQ(s, "abc");
  s = " \t ";
  TrimRight(s);
  EXPECT_EQ(s, "");

  s = " A = 1 \t2\n b c";
  RemoveBlanks(s);
  EXPECT_EQ(s, "A=12\n b c");  // stops at the line end

  EXPECT_TRUE(IsBlankText(""));
  EXPECT_TRUE(IsBlankText(" \t "));
  EXPECT_FALSE(IsBlankText(" x "));
  EXPECT_EQ(SkipBlanksAndEquals(" == a = b"), "a = b");
}

TEST(TextHelpers, RestAfterBraceMustBeBlankOrComment) {
  const struct {
    const char* rest;
    bool blank;
  } cases[] = {{"", true},         {"  \t", true},     {" // note", true}, {"/* note */", true},
               {"\r\n", true},     {" x = 1", false},  {" /x", false},     {"ab/", false},
               {" else", false},   {"a\n", false}};
  for (const auto& c : cases) EXPECT_EQ(IsRestBlank(c.rest), c.blank) << '"' << c.rest << '"';
}

// ---- comments -------------------------------------------------------------

struct StripCase {
  const char* text;
  const char* statement;
  const char* comment;
  size_t openAfter;  // comment stack depth afterwards
};

TEST(StripComments, CutsCommentsOutsideStrings) {
  const StripCase cases[] = {
      {"x = 1 // note", "x = 1 ", " note", 0},
      {"x = 1 // note /* not a block", "x = 1 ", " note /* not a block", 0},
      {"Print(\"a // b\")", "Print(\"a // b\")", "", 0},
      {"Print(\"say \\\"/*\\\"\") // c", "Print(\"say \\\"/*\\\"\") ", " c", 0},
      {"x = 1 /* note */", "x = 1  ", " note ", 0},
      {"x = 1 /* note */ + 2", "x = 1   + 2", " note ", 0},  // code after the comment stays
      {"x = 1 /* open", "x = 1 ", " open", 1},
      {"x = 1 /* a \"quote */ + 2", "x = 1   + 2", " a \"quote ", 0},  // quotes in comments do not count
      {"x = 1\ny = 2", "x = 1", "", 0},
      {"", "", "", 0},
      // Lone "/" and "*" are operators; a mark inside a string is text.
      {"x = a / b * c", "x = a / b * c", "", 0},
      {"x = a /*c*/ * b", "x = a   * b", "c", 0},
      {"s = \"a */ b\"", "s = \"a */ b\"", "", 0},
  };
  for (const StripCase& c : cases) {
    MemDiag diag;
    std::string text = c.text, comment = "stale";
    int len = StripComments(diag, text, comment, 5, true);
    EXPECT_EQ(text, c.statement) << c.text;
    EXPECT_EQ(comment, c.comment) << c.text;
    EXPECT_EQ(len, static_cast<int>(comment.size()));
    EXPECT_EQ(diag.Comments().size(), c.openAfter) << c.text;
    EXPECT_TRUE(diag.entries.empty()) << c.text;
  }
}

TEST(StripComments, StrayCommentEndIsAnError) {
  MemDiag diag;
  std::string text = "x = 1 */ y", comment;
  EXPECT_EQ(StripComments(diag, text, comment, 7, true), -1);
  ASSERT_EQ(diag.entries.size(), 1u);
  EXPECT_EQ(diag.entries[0], "[Error]t.kxs(7): " + GBK("找不到匹配的起始注释/*") + ", x = 1 */ y\n");
}

TEST(StripComments, WithoutCutKeepsLinesAfterLineFeed) {
  MemDiag diag;
  std::string text = "a = 1\n// b", comment;
  StripComments(diag, text, comment, 1, false);
  EXPECT_EQ(text, "a = 1\n// b");
}

TEST(SkipLeadingComments, FindsStatementStartAcrossLines) {
  MemDiag diag;
  const int line = 12;
  EXPECT_EQ(SkipLeadingComments(diag, "   ", line), kNoStatement);
  EXPECT_EQ(SkipLeadingComments(diag, "  // only a comment", line), kNoStatement);
  EXPECT_EQ(SkipLeadingComments(diag, "\tx = 1", line), 1);
  EXPECT_EQ(SkipLeadingComments(diag, "/* a */ x = 1", line), 8);
  // A comment left open swallows the following lines up to its end.
  EXPECT_EQ(SkipLeadingComments(diag, "/* open", line), kNoStatement);
  EXPECT_EQ(diag.Comments(), std::vector<int>{12});
  EXPECT_EQ(SkipLeadingComments(diag, "Play(1)", 13), kNoStatement);
  EXPECT_EQ(SkipLeadingComments(diag, "still */ y = 2", 14), 9);
  EXPECT_TRUE(diag.Comments().empty());
  EXPECT_TRUE(diag.entries.empty());
  EXPECT_EQ(SkipLeadingComments(diag, "  */", 15), kStrayCommentEnd);
  ASSERT_EQ(diag.entries.size(), 1u);
  EXPECT_EQ(diag.entries[0], "[Error]t.kxs(15): " + GBK("找不到匹配的起始注释/*") + ",   */\n");
}

TEST(SkipLeadingComments, OneCommentStackAcrossFunctionBody) {
  // "/*" opened on a function line and closed inside the body: the body
  // shares the stack of the file, so nothing is reported.
  MemDiag main;
  main.BeginFile();
  std::string head = "function f(a) /* helper", comment;
  StripComments(main, head, comment, 3, true);
  EXPECT_EQ(head, "function f(a) ");
  TagCompileDiag body(main);
  EXPECT_EQ(SkipLeadingComments(body, "  end of note */", 4), kNoStatement);
  EXPECT_TRUE(main.Comments().empty());
  main.EndFile();
  EXPECT_TRUE(main.entries.empty());
  EXPECT_EQ(main.errorCount, 0);
}

// ---- shapes ---------------------------------------------------------------

struct ShapeCase {
  const char* text;
  int shape;
  const char* name;
  const char* index;
  size_t offset;  // checked for call assignments
};

void PrintTo(const ShapeCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ClassifyTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ClassifyTest, Shape) {
  const ShapeCase& c = GetParam();
  size_t offset = 0;
  std::string name = "stale", index = "stale";
  EXPECT_EQ(ClassifyStatement(c.text, offset, name, index), c.shape);
  EXPECT_EQ(name, c.name);
  EXPECT_EQ(index, c.index);
  if (c.shape == kShapeCallAssign) {
    EXPECT_EQ(offset, c.offset);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Statements, ClassifyTest,
    ::testing::Values(ShapeCase{"x = Play(a)", kShapeCallAssign, "x", "", 3},
                      ShapeCase{"x[i] = Strlen(s)", kShapeCallAssign, "x", "i", 6},
                      ShapeCase{"x[i] = 5", kShapeAssign, "x", "i", 0},
                      ShapeCase{"x = 5", kShapeAssign, "x", "", 0},
                      ShapeCase{"s = \"a(b\"", kShapeAssign, "s", "", 0},
                      ShapeCase{"const x = 1", kShapeTwoWords, "x", "", 0},
                      ShapeCase{"x++", kShapeIncDec, "", "", 0}, ShapeCase{"x+=1", kShapeIncDec, "", "", 0},
                      ShapeCase{"--x", kShapeIncDec, "", "", 0}, ShapeCase{"Play(a)", kShapeCall, "", "", 0},
                      ShapeCase{"Play (a)", kShapeCall, "", "", 0},
                      ShapeCase{"\"Play(\" x", kShapeOther, "", "", 0},
                      ShapeCase{"x + 1", kShapeIncDec, "", "", 0}, ShapeCase{"{", kShapeOther, "", "", 0},
                      ShapeCase{"x * 2", kShapeOther, "", "", 0}, ShapeCase{"", kShapeOther, "", "", 0},
                      ShapeCase{"a\n= 1", kShapeOther, "", "", 0}));

// ---- increment and decrement ---------------------------------------------

TEST(ParseIncDec, Forms) {
  const struct {
    const char* text;
    bool yes;
    const char* name;
    char op;
  } cases[] = {{"x++", true, "x", '+'},   {"++x", true, "x", '+'},   {"x ++", true, "x", '+'},
               {"x--;", true, "x", '-'},  {" y -- ;", true, "y", '-'}, {"a.b++", true, "a.b", '+'},
               {"x+=1", false, "", 0},    {"x+1", false, "", 0},     {"x++--", false, "", 0},
               {"x++ y", false, "", 0},   {"a b++", false, "", 0},   {"f(x)++", false, "", 0},
               {"\"s\"++", false, "", 0}, {"1++", false, "", 0},     {"x", false, "", 0},
               {"x*2++", false, "", 0}};
  for (const auto& c : cases) {
    MemDiag diag;
    std::string name;
    char op = 'z';
    EXPECT_EQ(ParseIncDec(diag, 1, c.text, name, op), c.yes) << c.text;
    if (c.yes) {
      EXPECT_EQ(name, c.name) << c.text;
      EXPECT_EQ(op, c.op) << c.text;
    }
    EXPECT_TRUE(diag.entries.empty()) << c.text;
  }
}

TEST(ParseIncDec, BadNameIsReported) {
  MemDiag diag;
  std::string name;
  char op;
  EXPECT_FALSE(ParseIncDec(diag, 9, "x]++", name, op));
  ASSERT_EQ(diag.entries.size(), 1u);
  EXPECT_EQ(diag.entries[0], "[Error]t.kxs(9): " + GBK("自加或自减的变量名不合法") + ", x]++\n");
}

// ---- names and targets ----------------------------------------------------

TEST(Names, ValidNames) {
  const struct {
    const char* name;
    bool ok;
  } cases[] = {{"x", true},   {"_a1", true},  {"a.b", true},  {"x+", true},   {"\xB1\xE4\xC1\xBF", true},
               {"", false},   {"1x", false},  {"\"x", false}, {"a!", false},  {"a'b", false},
               {"f(", false}, {"a)", false},  {"a;", false},  {"a[1]", false}, {"{", false}, {"}", false}};
  for (const auto& c : cases) EXPECT_EQ(IsValidName(c.name), c.ok) << c.name;
}

TEST(Names, AssignTarget) {
  const struct {
    const char* text;
    int result;
    const char* name;
    const char* index;
  } cases[] = {{"x = 1", 1, "x", ""},          {" my var = 1", 5, "myvar", ""},
               {"x[i] = 1", 1, "x", "i]"},     {"m [ k ]  = 2", 1, "m", " k ]"},
               {"x += 1", 2, "x+", ""},        {"Play(1)", 0, "", ""},
               {"1x = 2", -1, "", ""},         {"\"s\" = 2", -1, "", ""},
               {"a(b) = 1", -2, "", ""},       {" = 5", -2, "", ""}};
  for (const auto& c : cases) {
    std::string name = "stale", index = "stale";
    EXPECT_EQ(SplitAssignTarget(c.text, name, index), c.result) << c.text;
    EXPECT_EQ(name, c.name) << c.text;
    EXPECT_EQ(index, c.index) << c.text;
  }
}

TEST(Names, AssignmentOfANegativeNumber) {
  // b = -5: an assignment to b of the integer -5, no operator.
  size_t offset = 0;
  std::string name, index;
  EXPECT_EQ(ClassifyStatement("b = -5", offset, name, index), kShapeAssign);
  EXPECT_EQ(SplitAssignTarget("b = -5", name, index), 1);
  EXPECT_EQ(name, "b");
  TagOperand a, b;
  char op = 'z';
  std::string message;
  EXPECT_EQ(ParseSimpleExpression(a, op, b, " -5", message), 0);
  EXPECT_EQ(a.kind, TagOperand::kInteger);
  EXPECT_EQ(a.text, "-5");
  EXPECT_EQ(op, 0);
  EXPECT_EQ(b.kind, TagOperand::kEmpty);
}

TEST(Names, CallName) {
  std::string name, rest;
  EXPECT_EQ(SplitCallName(" my func (a, b)", name, rest), 0);
  EXPECT_EQ(name, "myfunc");
  EXPECT_EQ(rest, "a, b)");
  EXPECT_EQ(SplitCallName("x = 1", name, rest), -1);
  EXPECT_EQ(name, "");
}

// ---- arguments ------------------------------------------------------------

struct ArgCase {
  const char* text;
  char sep;
  char term;
  int result;
  std::vector<std::string> args;
};

void PrintTo(const ArgCase& c, std::ostream* os) { *os << '"' << c.text << "\" sep '" << c.sep << "'"; }

class SplitArgsTest : public ::testing::TestWithParam<ArgCase> {};

TEST_P(SplitArgsTest, Split) {
  const ArgCase& c = GetParam();
  std::vector<std::string> args;
  EXPECT_EQ(SplitArgs(c.text, kMaxArgs, args, c.sep, c.term), c.result) << c.text;
  if (c.result >= 0) {
    EXPECT_EQ(args, c.args) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Args, SplitArgsTest,
    ::testing::Values(
        // keyword arguments: "," up to the last ")"
        ArgCase{"\"a, b\", x)", ',', ')', 2, {"\"a, b\"", " x"}},
        ArgCase{"a,b);", ',', ')', 2, {"a", "b"}},
        ArgCase{"a) ;", ',', ')', 1, {"a"}},
        ArgCase{"f(x))", ',', ')', 1, {"f(x)"}},
        ArgCase{")", ',', ')', 0, {}},
        ArgCase{" ,)", ',', ')', -1, {}},
        ArgCase{"a,,b)", ',', ')', -1, {}},
        ArgCase{"a, )", ',', ')', -1, {}},  // an empty last argument is an error too
        ArgCase{"a, {)", ',', ')', -5, {}},
        ArgCase{"\"a)", ',', ')', -3, {}},
        ArgCase{"\"a\\\", b\")", ',', ')', 1, {"\"a\\\", b\""}},  // escaped quote
        ArgCase{"a, b) x", ',', ')', 2, {"a", " b) x"}},        // text after ")" is not lost
        // flow statements: ";" up to the end of the text
        ArgCase{"i = 0; i < 3; i++)", ';', kEndOfText, 3, {"i = 0", "i < 3", " i++"}},
        ArgCase{"x>1)", ';', kEndOfText, 1, {"x>1"}},
        ArgCase{"a b)", ';', kEndOfText, 1, {"a b"}},
        ArgCase{"\"open", ';', kEndOfText, -3, {}},
        // complex assignment: ";" both separator and terminator
        ArgCase{" a + b * c;", ';', ';', 1, {"a + b * c"}},
        ArgCase{" a + b * c; ", ';', ';', 1, {"a + b * c"}},
        ArgCase{" a + b * c; y = 2", ';', ';', 2, {"a + b * c", "y = 2"}},  // not silently dropped
        ArgCase{" a + b * c", ';', ';', -2, {}},
        ArgCase{" \"a;", ';', ';', -2, {}},
        ArgCase{" x; \"a", ';', ';', -3, {}},
        ArgCase{" \"a", ';', ';', -2, {}},
        // chains of "+"
        ArgCase{" a + b + c;", '+', ';', 3, {"a ", "b ", " c"}},
        ArgCase{" a + b + c", '+', ';', -2, {}},
        // for-in: blanks
        ArgCase{"  i   in\tlist ", ' ', kEndOfText, 3, {"i", "in", "list"}},
        ArgCase{"i in list)", ' ', kEndOfText, 3, {"i", "in", "list"}}));

TEST(SplitArgs, AtMostFortyArgumentsOfAnyLength) {
  std::string forty, fortyOne;
  for (int i = 0; i < 40; ++i) forty += (i ? "," : "") + std::to_string(i);
  fortyOne = forty + ",40)";
  forty += ")";
  std::vector<std::string> args;
  EXPECT_EQ(SplitArgs(forty, kMaxArgs, args, ',', ')'), 40);
  EXPECT_EQ(args.back(), "39");
  EXPECT_EQ(SplitArgs(fortyOne, kMaxArgs, args, ',', ')'), -4);
  EXPECT_EQ(SplitArgs("1,2,3)", 2, args, ',', ')'), -4);

  // Run-time text of "RunLine(" has no length bound.
  std::string big(200000, 'x');
  std::string text = "\"" + big + "\", " + big + ")";
  ASSERT_EQ(SplitArgs(text, kMaxArgs, args, ',', ')'), 2);
  EXPECT_EQ(args[0].size(), big.size() + 2);
  EXPECT_EQ(args[1], " " + big);
}

// ---- simple expressions ---------------------------------------------------

struct ExprCase {
  const char* text;
  int result;
  int kind1;
  const char* text1;
  char op;
  int kind2;
  const char* text2;
  const char* message;  // UTF-8, converted for the comparison
};

void PrintTo(const ExprCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class SimpleExprTest : public ::testing::TestWithParam<ExprCase> {};

TEST_P(SimpleExprTest, Lex) {
  const ExprCase& c = GetParam();
  TagOperand a, b;
  char op = 'z';
  std::string message = "stale";
  EXPECT_EQ(ParseSimpleExpression(a, op, b, c.text, message), c.result) << c.text;
  if (c.result == 0) {
    EXPECT_EQ(a.kind, c.kind1) << c.text;
    EXPECT_EQ(a.text, c.text1) << c.text;
    EXPECT_EQ(op, c.op) << c.text;
    EXPECT_EQ(b.kind, c.kind2) << c.text;
    EXPECT_EQ(b.text, c.text2) << c.text;
    EXPECT_EQ(message, "");
  } else {
    EXPECT_EQ(message, plat::Utf8ToGbk(c.message)) << c.text;
  }
}

constexpr int N = TagOperand::kName, S = TagOperand::kString, I = TagOperand::kInteger,
              R = TagOperand::kReal, E = TagOperand::kEmpty;

INSTANTIATE_TEST_SUITE_P(
    Lexer, SimpleExprTest,
    ::testing::Values(
        ExprCase{"a >= 10", 0, N, "a", kCalcGreaterEq, I, "10", ""}, ExprCase{"-5", 0, I, "-5", 0, E, "", ""},
        ExprCase{" -5 ", 0, I, "-5", 0, E, "", ""}, ExprCase{"x - 5", 0, N, "x", '-', I, "5", ""},
        ExprCase{"x-5", 0, N, "x", '-', I, "5", ""}, ExprCase{"-x", 0, E, "", '-', N, "x", ""},
        ExprCase{"1.5", 0, R, "1.5", 0, E, "", ""}, ExprCase{".5", 0, R, ".5", 0, E, "", ""},
        ExprCase{"+5", 0, I, "+5", 0, E, "", ""},
        ExprCase{"\"say \\\"hi\\\"\"", 0, S, "say \"hi\"", 0, E, "", ""},
        ExprCase{"\"a\\\\b\\n\\t\\q\"", 0, S, "a\\b\n\t\\q", 0, E, "", ""},
        ExprCase{"\"a;b\" + c", 0, S, "a;b", '+', N, "c", ""},
        ExprCase{"a != b", 0, N, "a", kCalcNotEq, N, "b", ""}, ExprCase{"a ! b", 0, N, "a", kCalcNotEq, N, "b", ""},
        ExprCase{"!a", 0, E, "", '!', N, "a", ""}, ExprCase{"a <= b", 0, N, "a", kCalcLessEq, N, "b", ""},
        ExprCase{"a || b", 0, N, "a", kCalcOr, N, "b", ""}, ExprCase{"a && b", 0, N, "a", kCalcAnd, N, "b", ""},
        ExprCase{"a >> 2", 0, N, "a", kCalcShiftRight, I, "2", ""},
        ExprCase{"a << 2", 0, N, "a", kCalcShiftLeft, I, "2", ""},
        ExprCase{"a == b", 0, N, "a", '=', N, "b", ""}, ExprCase{"a = b", 0, N, "a", '=', N, "b", ""},
        ExprCase{"a | b", 0, N, "a", '|', N, "b", ""}, ExprCase{"a % 3", 0, N, "a", '%', I, "3", ""},
        ExprCase{"~a", 0, E, "", '~', N, "a", ""}, ExprCase{"x;", 0, N, "x", 0, E, "", ""},
        ExprCase{"x ; ", 0, N, "x", 0, E, "", ""}, ExprCase{"", 0, E, "", 0, E, "", ""},
        ExprCase{"\xB1\xE4 + 1", 0, N, "\xB1\xE4", '+', I, "1", ""},
        ExprCase{"x - -5", -1, 0, "", 0, 0, "", "操作符错误: 出现多个操作符"},
        ExprCase{"a + b * c", -1, 0, "", 0, 0, "", "操作符错误: 出现多个操作符"},
        ExprCase{"(a)", -1, 0, "", 0, 0, "", "操作符错误: 出现多个操作符"},
        ExprCase{"\"abc", -2, 0, "", 0, 0, "", "语法错误: 字符串没有结束"},
        ExprCase{"a ? b", -3, 0, "", 0, 0, "", "不支持的操作符"},
        ExprCase{"a, b", -3, 0, "", 0, 0, "", "不支持的操作符"},
        ExprCase{"a b", -4, 0, "", 0, 0, "", "语法错误: 缺少操作符"},
        ExprCase{"5a", -5, 0, "", 0, 0, "", "语法错误"}, ExprCase{"1.2.3", -5, 0, "", 0, 0, "", "语法错误"},
        ExprCase{"a\"b\"", -5, 0, "", 0, 0, "", "语法错误"},
        ExprCase{"x; y", -5, 0, "", 0, 0, "", "语法错误"},
        ExprCase{"a + b c", -5, 0, "", 0, 0, "", "语法错误"}));

TEST(SimpleExpr, SwitchValueOfTwoOperandsNamesTheMissingOperator) {
  // switch(a b): the value text as split from the statement.
  std::vector<std::string> parts;
  ASSERT_EQ(SplitArgs("a b)", kMaxArgs, parts, ';', kEndOfText), 1);
  TagOperand a, b;
  char op;
  std::string message;
  EXPECT_EQ(ParseSimpleExpression(a, op, b, parts[0], message), -4);
  EXPECT_EQ(message, GBK("语法错误: 缺少操作符"));
}

// ---- GB byte rules -------------------------------------------------------

TEST(GbBytes, TrailBytesAreSyntaxWhereverTheyStand) {
  // "\xD5\x5C" is one GB character whose second byte is a backslash: inside a
  // string it escapes the quote after it, as scripts have always been read.
  const std::string escaping = "\"\xD5\x5C\"";
  std::vector<std::string> args;
  EXPECT_EQ(SplitArgs(escaping + ", x)", kMaxArgs, args, ',', ')'), -3);
  TagOperand a, b;
  char op;
  std::string message;
  EXPECT_EQ(ParseSimpleExpression(a, op, b, escaping, message), -2);
  // A trail byte equal to "{" outside strings is a brace.
  EXPECT_EQ(SplitArgs("\x81{)", kMaxArgs, args, ',', ')'), -5);
  // Outside strings a GB name is an ordinary name.
  EXPECT_EQ(SplitArgs("\xB1\xE4, \"\xD6\xD0\")", kMaxArgs, args, ',', ')'), 2);
  EXPECT_EQ(args, (std::vector<std::string>{"\xB1\xE4", " \"\xD6\xD0\""}));
}

// ---- the fuzz target's checks over a fixed corpus ---------------------------

TEST(ScanCorpus, FuzzChecksHoldOnEveryPrefix) {
  const std::string corpus[] = {
      "x = Play(\"a, b\", c) // note /* x",
      "if (a >= 10 && \"s\\\"\" != b) {",
      "else if ( x ) { y = 1 }",
      "for(i = 0; i < 3; i++)",
      "for (k in m)",
      "s = a + b + c;",
      "x[\"k\" + 1] = Strlen(\"\\\\\");",
      "/* a /* b */ c */ d = 1 */",
      "\"\xD5\x5C\" + 1",                 // a GB character whose trail byte is a backslash
      "\xB1\xE4\xC1\xBF = \xD6\xD0;",
      "==,,==)",
      "x++--;;(",
      "const N = -5.5.5",
      "#include <a.kxs",
      "function f(a, , b) /*",
      std::string("a\0b = 1", 7),
      "\\\"\\",
      "}{",
      "x = 1 */ y",
      "'?:,;",
  };
  for (const std::string& text : corpus) {
    for (size_t n = 0; n <= text.size(); ++n) fuzz_scan::ExerciseScan(std::string_view(text).substr(0, n));
  }
  // Long run-time texts, as "RunLine(" may compile.
  std::string many;
  for (int i = 0; i < 100; ++i) many += "arg" + std::to_string(i) + ", ";
  fuzz_scan::ExerciseScan(many + "x)");
  fuzz_scan::ExerciseScan(std::string(100000, '"'));
  fuzz_scan::ExerciseScan(std::string(100000, '('));
}

TEST(SplitArgs, ArgumentOfOnlyEqualSignsIsEmpty) {
  std::vector<std::string> args;
  EXPECT_EQ(SplitArgs("==, a)", kMaxArgs, args, ',', ')'), -1);
  EXPECT_EQ(SplitArgs("a; ==;", kMaxArgs, args, ';', ';'), -1);
}

}  // namespace
