#include "engine/keyword.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string>

#include "tests/engine/script_harness.h"

namespace {

TEST(KeywordTable, IndexesAreContiguousAndNamesUnique) {
  ASSERT_EQ(KeywordDict().Count(), static_cast<int>(kKeywordTable.size()));
  ASSERT_GT(KeywordDict().Count(), kFirstOperation);
  std::set<std::string_view> names;
  for (int i = 0; i < KeywordDict().Count(); ++i) {
    const RecKeyword& rec = KeywordDict().Record(i);
    EXPECT_EQ(rec.index, i);
    EXPECT_EQ(rec.nameLen, static_cast<int>(rec.name.size())) << rec.name;
    EXPECT_LT(rec.name.size(), 28u) << rec.name;  // fits the 28-byte name field
    EXPECT_TRUE(names.insert(rec.name).second) << "duplicate " << rec.name;
    if (i >= kFirstOperation) {
      EXPECT_EQ(rec.name.back(), '(') << rec.name;
    }
  }
}

// What a script meets: a name that is no keyword, no script function and no
// declared library function does not compile, whatever it resembles.
using UnknownKeyword = scripttest::ScriptTest;

TEST_F(UnknownKeyword, IsACompileErrorNamingTheStatement) {
  const struct {
    const char* statement;
    const char* reported;  // an assignment reports its right-hand side
  } cases[] = {{"Play2(1)", "Play2(1)"}, {"play(\"a\")", "play(\"a\")"}, {"r = DbOpenX(1)", " DbOpenX(1)"}, {"Foo()", "Foo()"}};
  std::string script;
  for (const auto& c : cases) script += std::string(c.statement) + "\n";
  TagTelBasic& t = Compile(script);
  EXPECT_EQ(t.initResult, -2);
  EXPECT_EQ(t.errorCount, static_cast<int>(std::size(cases)));
  const std::string report = Report();
  int line = 0;
  for (const auto& c : cases) {
    const std::string entry =
        "[Error]t.kxs(" + std::to_string(++line) + "): 不可辨识的关键字, " + c.reported + "\n";
    EXPECT_NE(report.find(entry), std::string::npos) << c.statement << "\n" << report;
  }
}

struct HeadCase {
  const char* text;
  const char* head;  // nullptr: no keyword
  size_t pos;
};

void PrintTo(const HeadCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class ParseHeadTest : public ::testing::TestWithParam<HeadCase> {};

TEST_P(ParseHeadTest, RecognisesHead) {
  const HeadCase& c = GetParam();
  size_t pos = 12345;
  const RecKeyword* rec = KeywordDict().ParseHead(c.text, pos);
  if (c.head == nullptr) {
    EXPECT_EQ(rec, nullptr) << "found " << (rec ? rec->name : "");
    return;
  }
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->name, c.head);
  EXPECT_EQ(pos, c.pos);
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, ParseHeadTest,
    ::testing::Values(HeadCase{"else if (x>1)", "else if(", 9}, HeadCase{"else if(x>1)", "else if(", 8},
                      HeadCase{"  else   if   (x)", "else if(", 15}, HeadCase{"else", "else", 4},
                      HeadCase{"else\r\n", "else", 4}, HeadCase{"while (i<3)", "while(", 7},
                      HeadCase{"break ;", "break;", 7}, HeadCase{"break;", "break;", 6},
                      HeadCase{"break", nullptr, 0}, HeadCase{"return 5", nullptr, 0},
                      HeadCase{"return(5)", "return(", 7}, HeadCase{"else {", "{", 6},
                      HeadCase{"x {", "{", 3}, HeadCase{"x = 1 {", "{", 7}, HeadCase{"x = f(a) {", nullptr, 0},
                      HeadCase{"s = \"{\"", nullptr, 0}, HeadCase{"a.b", nullptr, 0}, HeadCase{"}", "}", 1}, HeadCase{"  } // end", "}", 3},
                      HeadCase{"#include \"a.kxs\"", "#include", 9}, HeadCase{"#include<a.kxs>", "#include", 8},
                      HeadCase{"const N = 5", "const", 6}, HeadCase{"const\tN=5", "const", 6},
                      HeadCase{"function f(a, b)", "function", 9}, HeadCase{"default:", nullptr, 0},
                      HeadCase{"case 1:", nullptr, 0}, HeadCase{"default()", "default(", 8},
                      HeadCase{"Play (\"a.wav\")", "Play(", 6}, HeadCase{"x = 1", nullptr, 0},
                      HeadCase{"1abc(", nullptr, 0}, HeadCase{"", nullptr, 0}, HeadCase{"   ", nullptr, 0},
                      HeadCase{"play(1)", nullptr, 0}, HeadCase{"Play2(1)", nullptr, 0},
                      HeadCase{"else x", nullptr, 0}, HeadCase{"Strlen(s)", "Strlen(", 7}));

TEST(ParseHead, EveryKeywordIsRecognisedAsWritten) {
  for (const RecKeyword& rec : kKeywordTable) {
    std::string text(rec.name);
    size_t expect = text.size();
    if (rec.name == "const" || rec.name == "function") {
      text += " x";
      expect += 1;
    } else if (rec.name == "#include") {
      text += "\"f.kxs\"";
    } else if (rec.name.back() == '(') {
      text += "a, b)";
    }
    size_t pos = 0;
    const RecKeyword* got = KeywordDict().ParseHead(text, pos);
    ASSERT_NE(got, nullptr) << text;
    EXPECT_EQ(got->index, rec.index) << text;
    EXPECT_EQ(pos, expect) << text;
  }
}

constexpr int I(KeywordId id) { return static_cast<int>(id); }

TEST(KeywordFind, SearchesBuiltInOperationsOnly) {
  const struct {
    const char* name;
    int index;
  } cases[] = {{"Play(", I(KeywordId::Play)},
               {"Eval(", I(KeywordId::Eval)},
               {"RecvFskMsg(", I(KeywordId::RecvFskMsg)},
               {"Type(", I(KeywordId::Type)},
               {"if(", -1},
               {"Close(", -1},
               {"StopTimer(", -1},
               {"Play", -1},
               {"", -1},
               {"play(", -1}};
  for (const auto& c : cases) {
    const RecKeyword* rec = KeywordDict().Find(c.name);
    EXPECT_EQ(rec ? rec->index : -1, c.index) << c.name;
  }
}

TEST(FindKeyword, CopiesTheNameOrEmptiesIt) {
  std::string name = "old";
  size_t pos = 99;
  const RecKeyword* rec = FindKeyword("x = 1", name, pos);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(name, "");
  rec = FindKeyword("else  if (a)", name, pos);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(name, "else if(");
  EXPECT_EQ(pos, 10u);
}

}  // namespace
