// Replacement templates and the work of the three script operations.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "regex/ereg.h"
#include "regex/regexp.h"

namespace {

struct ReplaceCase {
  const char* pattern;
  const char* text;
  const char* tmpl;
  int count;
  const char* expected;
};

const ReplaceCase kReplaceCases[] = {
    {"b", "abc", "[$&]", -1, "a[b]c"},
    {"b", "abc", "$$", -1, "a$c"},
    {"b", "abc", "$`", -1, "aac"},
    {"b", "abc", "$'", -1, "acc"},
    {"b", "abc", "$_", -1, "aabcc"},
    {"(a)|(b)", "b", "$+", -1, "b"},
    {"(a)|(b)", "a", "<$+>", -1, "<a>"},
    {"x", "x", "<$+>", -1, "<x>"},
    {"(a)(b)(c)", "abc", "$3", -1, "c"},
    {"(a)(b)(c)", "abc", "$4", -1, "$4"},
    {"(a)(b)(c)", "abc", "$12", -1, "a2"},
    {"(a)(b)(c)", "abc", "$0", -1, "abc"},
    {"(a)(b)(c)", "abc", "$3$2$1", -1, "cba"},
    {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)(l)", "abcdefghijkl", "$12-$10", -1, "l-j"},
    {"(a)(b)(c)", "abc", "$0123", -1, "a23"},
    {"(?<x>a)", "a", "${x}", -1, "a"},
    {"(?<x>a)", "a", "${X}", -1, "a"},
    {"(?<x>a)", "a", "${y}", -1, "${y}"},
    {"(?<x>a)", "a", "${1}", -1, "${1}"},
    {"(?<x>a)", "a", "${x", -1, "${x"},
    {"b", "abc", "$", -1, "a$c"},
    {"b", "abc", "$q", -1, "a$qc"},
    {"b", "abc", "x$", -1, "ax$c"},
    {"(a)?b", "b", "[$1]", -1, "[]"},
    {"a", "aaa", "x", 1, "xaa"},
    {"a", "aaa", "x", 0, "aaa"},
    {"a", "aaa", "x", 2, "xxa"},
    {"a", "bbb", "x", -1, "bbb"},
    {"x*", "abc", "-", -1, "-a--b--c--"},
    {"a*", "baa", "-", -1, "-b--"},
    {",", "a,b,,c", ";", -1, "a;b;;c"},
    {"(\\w+) (\\w+)", "hello world", "$2 $1", -1, "world hello"},
    {"", "", "x", -1, "x"},
    {"\\d", "a1b2", "<$&>", -1, "a<1>b<2>"},
};

void PrintTo(const ReplaceCase& c, std::ostream* os) { *os << c.pattern << " / " << c.text << " / " << c.tmpl; }

class ReplaceTable : public ::testing::TestWithParam<ReplaceCase> {};

TEST_P(ReplaceTable, TemplateAsExpected) {
  const ReplaceCase& c = GetParam();
  CRegexpT<char> re(c.pattern);
  char* s = re.Replace(c.text, c.tmpl, 0, c.count);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, c.expected) << c.pattern << " / " << c.tmpl;
  CRegexpT<char>::FreeString(s);
}

INSTANTIATE_TEST_SUITE_P(Templates, ReplaceTable, ::testing::ValuesIn(kReplaceCases));

TEST(Replace, StartPositionKeepsTheTextBeforeIt) {
  CRegexpT<char> re("a");
  char* s = re.Replace("aaa", "x", 1, -1);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "axx");
  CRegexpT<char>::FreeString(s);
  CRegexpT<char>::FreeString(nullptr);
}

// The scanner is shared by every line: first uses from many threads at once.
TEST(Replace, ScannerSharedByThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &results] {
      for (int i = 0; i < 200; ++i) {
        std::string out;
        EregReplace("k=v;a=b", "(\\w)=(\\w)", "$2=$1", -1, &out);
        if (i == 0 || out != results[size_t(t)]) results[size_t(t)] = out;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, "v=k;b=a");
}

// ---- the operations' work ----

TEST(Ereg, StoresGroupsAndReturnsOneBasedPosition) {
  struct Case {
    const char* text;
    int start;
    const char* pattern;
    int result;
    std::map<int, std::string> groups;  // after the call, from a map holding {1: "old", 9: "keep"}
  } cases[] = {
      {"abc", 0, "b(c)", 2, {{0, "bc"}, {1, "c"}, {9, "keep"}}},
      {"abc", -5, "b(c)", 2, {{0, "bc"}, {1, "c"}, {9, "keep"}}},
      {"abc", 4, "b(c)", 0, {{1, "old"}, {9, "keep"}}},
      {"abc", 0, "x*", 1, {{0, ""}, {1, "old"}, {9, "keep"}}},
      {"abc", 0, "(x)|b", 2, {{0, "b"}, {1, "old"}, {9, "keep"}}},
      {"abc", 0, "z", 0, {{1, "old"}, {9, "keep"}}},
      {"a\xd6\xd0" "b", 0, "[\\x80-\\xff]+", 2, {{0, "\xd6\xd0"}, {1, "old"}, {9, "keep"}}},
  };
  for (const Case& c : cases) {
    std::map<int, std::string> groups{{1, "old"}, {9, "keep"}};
    EXPECT_EQ(EregMatch(c.text, c.start, c.pattern, &groups), c.result) << c.pattern;
    EXPECT_EQ(groups, c.groups) << c.pattern;
  }
}

TEST(Ereg, ConstantGroupsStillGivesThePosition) { EXPECT_EQ(EregMatch("abc", 0, "c", nullptr), 3); }

TEST(Ereg, TextEndsAtItsFirstZeroByte) {
  std::map<int, std::string> groups;
  EXPECT_EQ(EregMatch(std::string("ab\0cd", 5), 0, "c", &groups), 0);
  EXPECT_EQ(EregMatch(std::string("ab\0cd", 5), 0, "b$", &groups), 2);
}

TEST(EregRepl, CountsAndUnchangedText) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* tmpl;
    int count;
    const char* expected;
  } cases[] = {
      {"a-a-a", "a", "b", 0, "a-a-a"},
      {"a-a-a", "a", "b", 1, "b-a-a"},
      {"a-a-a", "a", "b", -1, "b-b-b"},
      {"a-a-a", "z", "b", -1, "a-a-a"},
      {"abc", "x*", "-", -1, "-a--b--c--"},
  };
  for (const auto& c : cases) {
    std::string out = "unset";
    EXPECT_EQ(EregReplace(c.text, c.pattern, c.tmpl, c.count, &out), 1) << c.pattern;
    EXPECT_EQ(out, c.expected) << c.pattern;
  }
}

TEST(EregSplit, PiecesAndCounts) {
  struct Case {
    const char* text;
    const char* pattern;
    std::vector<std::string> pieces;
  } cases[] = {
      {"a,b,,c", ",", {"a", "b", "", "c"}},
      {"abc", "x*", {"", "a", "", "b", "", "c", "", ""}},
      {"", ",", {""}},
      {"abc", ",", {"abc"}},
      {",a,", ",", {"", "a", ""}},
      {"a1b22c", "\\d+", {"a", "b", "c"}},
      {"one  two\tthree", "\\s+", {"one", "two", "three"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> pieces{"stale"};
    EXPECT_EQ(EregSplit(c.text, c.pattern, &pieces), int(c.pieces.size())) << c.text << " / " << c.pattern;
    EXPECT_EQ(pieces, c.pieces) << c.text << " / " << c.pattern;
  }
}

TEST(EregSplit, ConstantTargetGivesZero) { EXPECT_EQ(EregSplit("a,b", ",", nullptr), 0); }

}  // namespace
