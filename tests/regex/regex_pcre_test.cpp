// Differential test against PCRE2 (interpreter) over generated patterns and
// texts, and the fixed corpora of the two fuzz targets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/regex/regex_gen.h"

namespace {

TEST(Differential, GeneratedCasesAgreeWithPcre2) {
  int compared = 0, walked = 0;
  std::vector<std::string> disagreements;
  for (uint32_t seed = 1; seed <= 30000; ++seed) {
    regex_gen::RandomPicker p(seed);
    regex_gen::Generator g(p);
    regex_gen::Outcome o = regex_gen::Compare(g.Make());
    if (!o.compared) continue;
    ++compared;
    walked += o.walked;
    if (!o.agree && disagreements.size() < 10) disagreements.push_back("seed " + std::to_string(seed) + ": " + o.detail);
  }
  EXPECT_GT(compared, 25000);
  EXPECT_GT(walked, 5000);
  for (const auto& d : disagreements) ADD_FAILURE() << d;
}

TEST(Differential, HandPickedAgreeWithPcre2) {
  const regex_gen::Case cases[] = {
      {"(a|ab)(c|bcd)(d*)", "abcd", 0},   {"^(?:aab|a)*bx$", "aabx", 0},   {"(?:(a)|b)*", "ab", 0},
      {"(a)(?(1)b|c)", "ab", 0},          {"(?<=ab|c)x", "abx cx", 0},     {"\\b\\w+?\\b", " ab cd", 1},
      {"(?>a|ab)c", "abc", 0},            {"(a+)++b", "aab", 0},           {"(?i)(a)\\1", "aA", 0},
      {"(?m)^b$", "a\nb\n", 0},           {"(x)?\\1y", "y", 0},            {"[^\\s]+", "a b", 0},
      {"((a)|b)+", "ab", 0},              {"(?=(a))a", "a", 0},           {"a{2,}?a", "aaaa", 0},
      {"(?=  *bb)\\B(?:x)? ", "  \n bbab", 0},
      // Python's re matches all 13 letters too; PCRE2's auto-possessification did not.
      {"(?:(?:(?:\\s?+\\w*)(?:\\s?+\\s?+))(?:(?:\\s?+\\s{0,2}?)(?>\\s?+\\s?+|\\Wb{0,2}?)))a", "aaaaaaaaaaaaa", 0},
  };
  for (const auto& c : cases) {
    regex_gen::Outcome o = regex_gen::Compare(c);
    EXPECT_TRUE(o.compared) << c.pattern;
    EXPECT_TRUE(o.agree) << o.detail;
  }
}

// Patterns that start with literal bytes: the search skips to the places
// where those bytes stand, sixteen places a step with a byte-wise tail, and
// near misses (first and last byte right, middle wrong) must not match.
TEST(Differential, LiteralPrefixesAgreeWithPcre2) {
  const std::string pad(40, 'x');
  const std::string miss = "nxxxxe neexle needl nee" + pad + "needle" + pad + "needle needl";
  const regex_gen::Case cases[] = {
      {"needle", miss, 0, false},
      {"needle", miss, 17, false},
      {"(ne)(ed)le", miss, 0, false},
      {"needle(\\w*)", miss, 0, false},
      {"ne(?=ed)", miss, 0, false},
      {"needle\\b", miss + "s needle", 0, false},
      {"\\Gxx", pad + "needle", 0, false},
      {"aa", std::string(37, 'a'), 0, false},
      {"aab", std::string(35, 'a') + "b", 0, false},
      {"needle|needy", pad + "needy" + pad, 0, false},
      {"(?i)needle", pad + "NEEDLE" + pad, 0, false},
      {"(?<=x)ne", pad + "ne" + pad + "ne", 0, false},
      {"(?:)ab()cd", pad + "abcd" + pad + "abcdabcd", 0, false},
      {"x{2}ab", pad + "ab", 0, false},
      {"ab", "a", 0, false},
      {"ab", pad + "a", 0, false},
  };
  for (const auto& c : cases) {
    regex_gen::Outcome o = regex_gen::Compare(c);
    EXPECT_TRUE(o.compared) << c.pattern;
    EXPECT_TRUE(o.agree) << c.pattern << ": " << o.detail;
  }
}

// The needle at every place of a text longer than two wide steps, with near
// misses before it: the wide search, its tail and the byte-wise end agree.
TEST(Differential, LiteralAtEveryPlace) {
  for (int at = 0; at <= 140; ++at) {
    std::string text = std::string(size_t(at), 'x') + "needle" + "xxx";
    for (int k = 0; k + 6 <= at; k += 9) text.replace(size_t(k), 6, "nxxxxe");
    regex_gen::Case c{"needle", text, 0, false};
    regex_gen::Outcome o = regex_gen::Compare(c);
    EXPECT_TRUE(o.compared) << at;
    EXPECT_TRUE(o.agree) << o.detail;
  }
}

// Patterns simple enough to run without the tree (flat: true) and near
// relatives that must keep it, because a byte given back could still lead
// to a match. Both kinds agree with PCRE2, walks included (sets stay out of
// case folding: the engines differ there by design).
TEST(Differential, FlatPatternsAgreeWithPcre2) {
  const std::string csv = "field1,12.50,abc,,x\nfield2,,\n,x,";
  struct FlatCase {
    regex_gen::Case c;
    bool flat;
  };
  const FlatCase cases[] = {
      {{"([^,\n]*),", "field1,12.50,abc,,x\nfield2,,\n,x,", 0, false}, true},
      {{",", csv, 3, false}, true},
      {{"\\d{3,4}-\\d{7,8}", "010-12345678 0755-1234567 12-1234567 01234-123456789", 0, false}, true},
      {{"[a-c]{1,2},", "aaa,b,,abc,", 0, false}, true},
      {{"(\\w+)@(\\w+)\\.com", "x@y.cn ab@cd.com a@b.com", 0, false}, true},
      {{"[^a]*+a", "bbbabba", 0, false}, true},
      {{"(?i)[0-9]*A", "12b 3a 4A", 0, false}, true},
      {{"x*y", "xxy y xxxz xy", 0, false}, true},
      {{"\\b\\w{2},", "ab,abc,x,cd,", 0, false}, true},
      {{"[[:digit:]]+\\.", "12.3.x4.", 0, false}, true},
      {{"(?<y>\\d{4})-(?<m>\\d\\d)", "2024-1 2024-12-01", 0, false}, true},
      {{"a{2}[^a]*", "aaabcaab", 0, false}, true},
      {{"[a-z]+[0-9]+", "ab12c3 d", 0, false}, true},
      {{"[ab]*b", "aabab c abb", 0, false}, false},
      {{"(?i)[0-9a]*A", "12a3a", 0, false}, false},
      {{"[a-z]*\\b", "ab cd", 0, true}, false},
      {{"[a-z]+[a-c]+", "abcabc", 0, false}, false},
      {{"(a)(a)?", "aab", 0, false}, false},
  };
  for (const auto& f : cases) {
    CRegexpT<char> re(f.c.pattern.c_str());
    EXPECT_EQ(re.Builder().useFlat_, f.flat) << f.c.pattern;
    regex_gen::Outcome o = regex_gen::Compare(f.c);
    EXPECT_TRUE(o.compared) << f.c.pattern;
    EXPECT_TRUE(o.agree) << o.detail;
  }
}

template <size_t N>
std::string Bytes(const char (&s)[N]) {
  return std::string(s, N - 1);
}

// The inputs the fuzz targets start from; each must run clean here too.
const std::vector<std::string>& Corpus() {
  static const std::vector<std::string> corpus = {
      Bytes("\x00(a+)+$\x00" "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab"),
      Bytes("\x00" "a(?R)?b\x00" "aaaaabbbbb"),
      Bytes("\x00(?R)\x00" "x"),
      Bytes("\x01(?s).*\x00" "a\nb"),
      Bytes("\x02(?m)^$\x00\r\n\r\n"),
      Bytes("\x04\\G\\d\x00" "12a"),
      Bytes("\x08[[:alpha:]-\\d]{2,}\x00" "ab-12"),
      Bytes("\x00(?<n>a)(?(n)b|c)\\k<n>\x00" "aba"),
      Bytes("\x00\\Q(\\E[\\x80-\\xff]+\\u{41}\x00" "(\xb0\xa1" "A"),
      Bytes("\x00(((((((((a)))))))))\\9\x00" "aa"),
      Bytes("\x00[[a]]*\\\x00" "[a]]\\"),
      Bytes("\x00(?(?<=a)b|c)+(?#x\x00" "abcb"),
      Bytes("\x00" "a{2}?+*{,}{x\x00" "aa+*"),
      Bytes("\x00(?=(a))?\\1\x00" "a"),
      Bytes("\x00\\x\\u{\\k<\\g'\\1(?P'x'\x00" "x"),
      // A back-reference the generator followed with a digit literal ("\\1" "1"),
      // read as one longer escape (a group number to us, an octal byte to PCRE2).
      std::string("\x93\xff\x09\x59\x37\x8f\x02\x80\xff\xff\xb7\x00\x89\x51\x07\x80"
                  "\xff\xff\xb7\x00\x00\x8c\x8c\xbc\xd4\xd2\xd2\xd2\xd2\xd2\xd2\xd2"
                  "\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2"
                  "\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2"
                  "\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xd2\xa6\x06\xe2\x06\x9c\x00"
                  "\x00\x06\x2e\xf3\x01\x00\x00\x15\x0b\x30\xfd\x27\x7f\x01\x00\x00"
                  "\x61\x00\x00\x40\x28\xf1", 102),
  };
  return corpus;
}

TEST(FuzzCorpus, CrashTargetRunsClean) {
  int found = 0;
  for (const std::string& input : Corpus())
    found += regex_gen::FuzzOne(reinterpret_cast<const uint8_t*>(input.data()), input.size());
  // Most corpus patterns match something; a broken engine finds nothing.
  EXPECT_GT(found, 10);
}

TEST(FuzzCorpus, DifferentialTargetAgrees) {
  for (const std::string& input : Corpus()) {
    regex_gen::Outcome o = regex_gen::DiffOne(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    EXPECT_TRUE(o.agree) << o.detail;
  }
}

}  // namespace
