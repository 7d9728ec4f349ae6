// Matching over every construct of the pattern language: (pattern, text,
// start, expected groups) with -1, -1 for a group that took no part.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "regex/regexp.h"

namespace {

using Groups = std::vector<std::pair<int, int>>;
const Groups kNoMatch{};

struct MatchCase {
  const char* pattern;
  std::string text;
  int start;
  Groups groups;  // empty: no match
};

std::string Show(const MatchCase& c) { return std::string("pattern \"") + c.pattern + "\" text \"" + c.text + "\""; }
void PrintTo(const MatchCase& c, std::ostream* os) { *os << Show(c); }

Groups MatchGroups(const char* pattern, const std::string& text, int start) {
  CRegexpT<char> re(pattern);
  MatchResultT<0> m = re.MatchBuffer(text.data(), int(text.size()), start);
  Groups g;
  if (!m.IsMatched()) return g;
  for (int i = 0; i <= m.GroupCount(); ++i) g.emplace_back(m.GroupStart(i), m.GroupEnd(i));
  return g;
}

const std::string k100a(100, 'a');
const std::string k99a(99, 'a');

const MatchCase kCases[] = {
    // Literal text, and a quantifier binding to the last byte only.
    {"abc*", "ababc", 0, {{0, 2}}},
    {"abc", "xxabcxx", 0, {{2, 5}}},
    {"abc+", "abcabc", 0, {{0, 3}}},
    {"(abc)+", "abcabc", 0, {{0, 6}, {3, 6}}},
    {"", "abc", 0, {{0, 0}}},
    {"ab)cd", "ab", 0, {{0, 2}}},
    {"ab)cd", "xabcd", 0, {{1, 3}}},
    {"*a", "x*a", 0, {{1, 3}}},
    {"a{", "a{", 0, {{0, 0}}},
    // Bounded repeats and their recovery rules.
    {"a{,5}b", "aab", 0, {{2, 3}}},
    {"a{x}b", "ab", 0, {{1, 2}}},
    {"a{1000}", k100a, 0, {{0, 100}}},
    {"a{1000}", k99a, 0, kNoMatch},
    {"a{3,1}", "aaaa", 0, {{0, 3}}},
    {"a{2}?", "aaa", 0, {{0, 2}}},
    {"a{2}?b", "ab", 0, kNoMatch},
    {"x{2,3}", "xxxx", 0, {{0, 3}}},
    {"x{ 2 , }", "xxxx", 0, {{0, 4}}},
    {"(?:a{2})+", "aaaaa", 0, {{0, 4}}},
    {"a**", "a*", 0, {{0, 2}}},
    // Greedy, lazy and possessive.
    {"a+?", "aaa", 0, {{0, 1}}},
    {"a{2,}?", "aaaa", 0, {{0, 2}}},
    {"a*?b", "aab", 0, {{0, 3}}},
    {"a??b", "ab", 0, {{0, 2}}},
    {"(a|b)*?c", "abc", 0, {{0, 3}, {1, 2}}},
    {"a++a", "aaa", 0, kNoMatch},
    {"(?>a+)a", "aaa", 0, kNoMatch},
    {"a*+b", "aab", 0, {{0, 3}}},
    {"(a|ab)(c|bcd)(d*)", "abcd", 0, {{0, 4}, {0, 1}, {1, 4}, {4, 4}}},
    // A re-matched iteration leaves room for more iterations after it.
    {"^(?:aab|a)*bx$", "aabx", 0, {{0, 4}}},
    {"(?:ab|a)*?b$", "aab", 0, {{0, 3}}},
    {"(a*)*", "b", 0, {{0, 0}, {-1, -1}}},
    // Case.
    {"(?i)AbC", "abc", 0, {{0, 3}}},
    {"(?i)[a-z]", "A", 0, kNoMatch},
    {"a(?i)b|c", "C", 0, {{0, 1}}},
    {"a(?i)b|c", "aB", 0, {{0, 2}}},
    {"a(?i)b|c", "AB", 0, kNoMatch},
    {"(?i:a)b", "Ab", 0, {{0, 2}}},
    {"(?i:a)b", "AB", 0, kNoMatch},
    {"(?i)a(?-i)b", "Ab", 0, {{0, 2}}},
    {"(?i)a(?-i)b", "AB", 0, kNoMatch},
    // Escapes.
    {"\\x41\\x{41}\\u0041\\u{41}", "AAAA", 0, {{0, 4}}},
    {"\\xZ", "xZ", 0, {{0, 2}}},
    {"\\u", "u", 0, {{0, 1}}},
    {"\\Qa.b\\E.", "a.bc", 0, {{0, 4}}},
    {"\\Qa.b", "axb", 0, kNoMatch},
    {"\\Q(a)", "(a)", 0, {{0, 3}}},
    {"\\LABC\\Ed", "abcd", 0, {{0, 4}}},
    {"\\Uabc", "ABC", 0, {{0, 3}}},
    {"a\\tb\\n", "a\tb\n", 0, {{0, 4}}},
    {"\\e\\a\\f\\v\\r", "\x1b\x07\x0c\x0b\x0d", 0, {{0, 5}}},
    {"\\.\\*", "a.*", 0, {{1, 3}}},
    {"a\\", "a\\", 0, {{0, 2}}},
    {"(?#comment)a", "a", 0, {{0, 1}}},
    {"a(?#unclosed", "a", 0, {{0, 1}}},
    {"[(?#x)]", "#", 0, kNoMatch},
    // Classes.
    {"\\d+", "ab123c", 0, {{2, 5}}},
    {"\\D+", "12ab3", 0, {{2, 4}}},
    {"\\w+", "  a_1 ", 0, {{2, 5}}},
    {"\\W+", "ab, c", 0, {{2, 4}}},
    {"\\s+", "a \t\r\nb", 0, {{1, 5}}},
    {"\\s", "\f\v", 0, kNoMatch},
    {"\\S+", " ab ", 0, {{1, 3}}},
    {"(?<=\\s)x", "\fx", 0, {{1, 2}}},
    {"(?<=\\s)x", "\x01x", 0, kNoMatch},
    {"\\w", "\xb0\xa1", 0, kNoMatch},
    {".", "\n", 0, kNoMatch},
    {"(?s).", "\n", 0, {{0, 1}}},
    {".+", "ab\ncd", 0, {{0, 2}}},
    {"[\\x80-\\xff]+", "ab\xd6\xd0\xce\xc4" "cd", 0, {{2, 6}}},
    {"[a-\\xff]", "m", 0, kNoMatch},
    {"[^a]", "a", 0, kNoMatch},
    {"[^a]", "ab", 0, {{1, 2}}},
    {"[a-]+", "x-a-", 0, {{1, 4}}},
    {"[\\d.]+", "x1.5y", 0, {{1, 4}}},
    {"[.*+?]+", "a.*+?b", 0, {{1, 5}}},
    {"[\\b]", "\b", 0, {{0, 1}}},
    {"[]a]", "a]", 0, kNoMatch},
    {"[a-c-e]+", "-bde", 0, {{0, 2}}},
    {"[\\w-]+", "a-b c", 0, {{0, 3}}},
    {"[^\\d\\s]+", "1 ab2", 0, {{2, 4}}},
    {"[[:digit:]]+", "ab12", 0, {{2, 4}}},
    {"[[:^digit:]]+", "12ab", 0, {{2, 4}}},
    {"[:alpha:]+", "12ab", 0, {{2, 4}}},
    {"[[:bogus:]]", "a", 0, kNoMatch},
    {"[[:space:][:punct:]]+", "a ,;b", 0, {{1, 4}}},
    {"[[:upper:][:xdigit:]]+", "xGa9z", 0, {{1, 4}}},
    {"[[:blank:]]+", "a \t\nb", 0, {{1, 3}}},
    {"[[:alnum:]]+", "\xb0\xa1z9", 0, {{2, 4}}},
    // Anchors.
    {"^a", "ba", 0, kNoMatch},
    {"^a", "ab", 0, {{0, 1}}},
    {"(?m)^a", "b\na", 0, {{2, 3}}},
    {"(?m)^b", "a\r\nb", 0, {{3, 4}}},
    {"(?m)^\\n", "a\r\n", 0, kNoMatch},
    {"(?m)^x", "a\rx", 0, {{2, 3}}},
    {"(?m)a$", "a\r\n", 0, {{0, 1}}},
    {"(?m)\\r$", "a\r\n", 0, kNoMatch},
    {"a$", "a\n", 0, kNoMatch},
    {"a\\Z", "a\n", 0, {{0, 1}}},
    {"a\\Z", "a\r\n", 0, {{0, 1}}},
    {"a\\Z", "a", 0, {{0, 1}}},
    {"a\\z", "a\n", 0, kNoMatch},
    {"\\Aab", "ab", 0, {{0, 2}}},
    {"\\Ab", "ab", 0, kNoMatch},
    {"\\bfoo\\b", "a foo.", 0, {{2, 5}}},
    {"\\bfoo\\b", "afoo", 0, kNoMatch},
    {"\\bfoo", "\xb0" "foo", 0, {{1, 4}}},
    {"\\Bo", "foo", 0, {{1, 2}}},
    {"\\Gb", "ab", 0, {{1, 2}}},
    {"(?g)\\Gb", "ab", 0, kNoMatch},
    {"(?g)\\Gb", "ab", 1, {{1, 2}}},
    // Groups and back-references.
    {"(a)|b", "b", 0, {{0, 1}, {-1, -1}}},
    {"(a)*b", "aab", 0, {{0, 3}, {1, 2}}},
    {"(a)?b\\1", "b", 0, kNoMatch},
    {"ab\\0", "abab", 0, {{0, 4}}},
    {"ab\\k", "abab", 0, {{0, 4}}},
    {"(a)\\1{2}", "aaa", 0, {{0, 3}, {0, 1}}},
    {"(a)\\12", "aa2", 0, kNoMatch},
    {"(?i)(a)\\1", "aA", 0, {{0, 2}, {0, 1}}},
    {"(a)\\k<zz>", "aa", 0, kNoMatch},
    {"(a)\\g<1>", "aa", 0, {{0, 2}, {0, 1}}},
    {"(a)\\k'1'", "aa", 0, {{0, 2}, {0, 1}}},
    {"(?=(a))a", "a", 0, {{0, 1}, {0, 1}}},
    {"(?<n>x)(y)", "xy", 0, {{0, 2}, {1, 2}, {0, 1}}},
    {"(?<n>x)(?<N>y)\\k<n>", "xyy", 0, {{0, 3}, {1, 2}}},
    {"(?<7>x)\\7", "xx", 0, {{0, 2}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}, {0, 1}}},
    {"(?'q'a)(?P<r>b)(?P's'c)\\k<R>", "abcb", 0, {{0, 4}, {0, 1}, {1, 2}, {2, 3}}},
    {"(?:x(y))+", "xyxy", 0, {{0, 4}, {3, 4}}},
    // A look-around, atomic, possessive or condition element that fails gives
    // back its group slot: a later group must not be read in its place.
    {"(?:(?=(a))ab|a(c)\\1)", "acc", 0, kNoMatch},
    {"(?:(?>(a))b|a(c)\\1)", "acc", 0, kNoMatch},
    {"(?:(a)++b|a(c)\\1)", "acc", 0, kNoMatch},
    {"(?:(?(?=(a))ab|z)|a(c)\\1)", "acc", 0, kNoMatch},
    {"(?:(?=(a))ab|a(c))", "ac", 0, {{0, 2}, {-1, -1}, {1, 2}}},
    // Alternation.
    {"cat|dog", "hotdog", 0, {{3, 6}}},
    {"a|ab", "ab", 0, {{0, 1}}},
    {"|a", "a", 0, {{0, 0}}},
    // Look-ahead and look-behind.
    {"foo(?=bar)", "foobaz foobar", 0, {{7, 10}}},
    {"foo(?!bar)", "foobar foobaz", 0, {{7, 10}}},
    {"(?<=\\$)\\d+", "cost $42", 0, {{6, 8}}},
    {"(?<!\\$)\\b\\d+", "$42 17", 0, {{4, 6}}},
    {"(?<=a+)b", "aaab", 0, {{3, 4}}},
    {"(?<=(a+))b", "xaab", 0, {{3, 4}, {1, 3}}},
    {"(?<=ab|xyz)c", "xyzc", 0, {{3, 4}}},
    {"(?<=\\d{3})x", "12x123x", 0, {{6, 7}}},
    {"(?<=(?=ab)a)b", "ab", 0, {{1, 2}}},
    // Right to left the reference is met before its group.
    {"(?<=a(b)\\1)c", "abbc", 0, kNoMatch},
    // Conditions.
    {"(a)?(?(1)b|c)", "ab", 0, {{0, 2}, {0, 1}}},
    {"(a)?(?(1)b|c)", "c", 0, {{0, 1}, {-1, -1}}},
    {"(?(?=a)ab|cd)", "cd", 0, {{0, 2}}},
    {"(?(?=a)ab|cd)", "ab", 0, {{0, 2}}},
    {"(?(?!a)cd|ab)", "ab", 0, {{0, 2}}},
    {"(?<n>a)?(?(n)b|c)", "ab", 0, {{0, 2}, {0, 1}}},
    {"(?(1)a|b|c)", "c", 0, {{0, 1}}},
    {"(?(foo)foox|y)", "foox", 0, {{0, 4}}},
    {"(?(foo)foox|y)", "y", 0, {{0, 1}}},
    {"(?(2)a|b)", "b", 0, {{0, 1}}},
    // Recursion.
    {"\\((?:[^()]|(?R))*\\)", "x(a(b)c)y", 0, {{1, 8}}},
    {"\\((?:[^()]|(?R))*\\)", "((a)", 0, {{1, 4}}},
    {"a(?R)?b", "aaabbb", 0, {{0, 6}}},
    {"a(?R)?b", "aabbb", 0, {{0, 4}}},
    {"(a|b(?1))", "bba", 0, {{0, 3}, {0, 3}}},
    {"(?<n>a|b(?R<n>))", "bba", 0, {{0, 3}, {0, 3}}},
    {"(a|b(? 1))", "ba", 0, {{0, 2}, {0, 2}}},
    {"(?5)a", "a", 0, {{0, 1}}},
    {"(?R<zz>)a", "a", 0, {{0, 1}}},
    // Recovery from broken patterns and other lexer corners.
    {"(a", "a", 0, {{0, 1}, {0, 1}}},
    {"[a", "xa", 0, {{1, 2}}},
    {"a|", "b", 0, {{0, 0}}},
    {"x(?:)y", "xy", 0, {{0, 2}}},
    {"a(?i", "a", 0, {{0, 1}}},
    {"[\\Q]\\E]", "]", 0, {{0, 1}}},
    {"(?i)\\Qab\\E", "AB", 0, {{0, 2}}},
    {"(?s:.)", "\n", 0, {{0, 1}}},
    {"[:^alpha:]+", "ab12c", 0, {{2, 4}}},
    {"\\k<n>(?<n>a)", "aa", 0, kNoMatch},
    {"(?<n>a)|(?<n>b)", "b", 0, {{0, 1}, {0, 1}}},
    {"a{2,3}+", "aaaa", 0, {{0, 3}}},
    {"a{2,3}+a", "aaa", 0, kNoMatch},
    {"a{2,3}?", "aaa", 0, {{0, 2}}},
    {"(?<=\\bfoo)bar", "xfoobar foobar", 0, {{11, 14}}},
    {"(?<=a.c)x", "abcx", 0, {{3, 4}}},
    {"(?<=[a-c]{2})x", "axbcx", 0, {{4, 5}}},
    // Start positions.
    {"a", "aba", 1, {{2, 3}}},
    {"a", "abc", 5, kNoMatch},
    {"x*", "abc", 3, {{3, 3}}},
    {"x*", "abc", -4, {{0, 0}}},
    {"b", "abc", 3, kNoMatch},
};

class MatchTable : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchTable, GroupsAsExpected) {
  const MatchCase& c = GetParam();
  EXPECT_EQ(MatchGroups(c.pattern, c.text, c.start), c.groups) << Show(c);
}

INSTANTIATE_TEST_SUITE_P(Constructs, MatchTable, ::testing::ValuesIn(kCases));

// Successive searches on one context: the empty-match walk.
TEST(MatchWalk, SuccessiveSearchesOnOneContext) {
  struct Walk {
    const char* pattern;
    const char* text;
    Groups matches;
  } walks[] = {
      {"x*", "abc", {{0, 0}, {1, 1}, {1, 1}, {2, 2}, {2, 2}, {3, 3}, {3, 3}}},
      {"a*", "baa", {{0, 0}, {1, 3}, {3, 3}}},
      {",", "a,b,,c", {{1, 2}, {3, 4}, {4, 5}}},
      {"\\d+", "a12b345", {{1, 3}, {4, 7}}},
      {"(?g)\\Ga", "aab", {{0, 1}, {1, 2}}},
  };
  for (const Walk& w : walks) {
    CRegexpT<char> re(w.pattern);
    CContext* ctx = re.PrepareContext(w.text, int(strlen(w.text)), 0);
    ASSERT_NE(ctx, nullptr);
    Groups got;
    for (int guard = 0; guard < 100; ++guard) {
      MatchResultT<0> m = re.MatchWithContext(ctx);
      if (!m.IsMatched()) break;
      got.emplace_back(m.MatchStart(), m.MatchEnd());
    }
    EXPECT_EQ(got, w.matches) << w.pattern;
    EXPECT_FALSE(re.MatchWithContext(ctx).IsMatched()) << "walk ended: " << w.pattern;
    CRegexpT<char>::ReleaseContext(ctx);
  }
}

TEST(MatchResult, AccessorsDefaultOutsideTheResult) {
  MatchResultT<0> none;
  EXPECT_EQ(none.IsMatched(), 0);
  EXPECT_EQ(none.GroupCount(), 0);
  EXPECT_EQ(none.GroupStart(0), -1);
  EXPECT_EQ(none.MatchEnd(), -1);
  CRegexpT<char> re("(a)(b)?");
  MatchResultT<0> m = re.Match("xa");
  EXPECT_EQ(m.IsMatched(), 1);
  EXPECT_EQ(m.GroupCount(), 2);
  EXPECT_EQ(m.GroupStart(2), -1);
  EXPECT_EQ(m.GroupStart(7), -1);
  EXPECT_EQ(m.GroupEnd(-3), -1);
}

TEST(Compile, NullPatternIsNotCompiledAndMatchesNothing) {
  CRegexpT<char> re(nullptr);
  EXPECT_FALSE(re.IsCompiled());
  EXPECT_FALSE(re.Match("abc").IsMatched());
  EXPECT_EQ(re.PrepareContext("abc", 3, 0), nullptr);
  EXPECT_EQ(re.Replace("abc", "x"), nullptr);
}

TEST(Compile, GroupNumbersAndNames) {
  struct NameCase {
    const char* pattern;
    int maxGroup;
    const char* name;
    int number;
  } cases[] = {
      {"(?<n>x)(y)", 2, "n", 2},
      {"(?<n>x)(?<N>y)", 1, "N", 1},
      {"(?<7>x)", 7, "7", -3},
      {"(a)(?<first>b)(?'second'c)", 3, "SECOND", 3},
      {"(a)", 1, "a", -3},
      {"(?(1)a)(((b)))", 3, "x", -3},
  };
  for (const NameCase& c : cases) {
    CRegexpT<char> re(c.pattern);
    EXPECT_EQ(re.MaxGroup(), c.maxGroup) << c.pattern;
    EXPECT_EQ(re.GroupNumberByName(c.name, int(strlen(c.name))), c.number) << c.pattern;
  }
}

TEST(Compile, RecompilingReplacesTheTree) {
  CRegexpT<char> re("(a)(b)");
  EXPECT_EQ(re.MaxGroup(), 2);
  re.Compile("c", 1, 0);
  EXPECT_EQ(re.MaxGroup(), 0);
  EXPECT_EQ(re.Match("abc").MatchStart(), 2);
}

TEST(Compile, PatternWithZeroByteInside) {
  const char pat[] = {'a', 0, 'b'};
  CRegexpT<char> re(pat, 3, 0);
  const char text[] = {'x', 'a', 0, 'b'};
  MatchResultT<0> m = re.MatchBuffer(text, 4, 0);
  EXPECT_EQ(m.MatchStart(), 1);
  EXPECT_EQ(m.MatchEnd(), 4);
}

}  // namespace
