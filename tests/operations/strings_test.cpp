// The string operations, one by one, with their edge cases.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "engine/tagmap.h"
#include "platform/trim.h"
#include "tests/operations/op_fixture.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;
using namespace optest;
using K = KeywordId;

class Strings : public OpTable {};

TEST_F(Strings, LengthsAndParts) {
  Check({
      {"Len of a number", K::Len, {I(7), N()}, 4, {{1, "4"}}},
      {"Len of empty", K::Len, {S(""), N()}, 0, {{1, "0"}}},
      {"Strlen counts zero bytes", K::Strlen, {S("ab\0c"sv), N()}, 4, {{1, "4"}}},
      {"Substr inside", K::Substr, {S("abcdef"), I(2), I(3), N()}, 0, {{3, "\"cde\""}}, "\"cde\""},
      {"Substr count past the end", K::Substr, {S("abcdef"), I(2), I(100), N()}, 0, {{3, "\"cdef\""}}, "\"cdef\""},
      {"Substr huge count", K::Substr, {S("abcdef"), I(2), I(2147483647), N()}, 0, {{3, "\"cdef\""}}, "\"cdef\""},
      {"Substr huge count from 1", K::Substr, {S("abcdef"), I(1), I(2147483647), N()}, 0, {{3, "\"bcdef\""}}},
      {"Substr at the end", K::Substr, {S("abcdef"), I(6), I(1), I(9)}, -2, {{3, "\"\""}}, "\"\""},
      {"Substr before the start", K::Substr, {S("abcdef"), I(-1), I(2), N()}, -2, {{3, "\"\""}}},
      {"Substr negative count", K::Substr, {S("abcdef"), I(1), I(-5), N()}, -2, {{3, "\"\""}}},
      {"Substr of a number", K::Substr, {I(12345), I(0), I(2), N()}, -2, {{3, "\"\""}}},
      {"Asc inside", K::Asc, {S("abc"), I(1), N()}, 98, {{2, "98"}}},
      {"Asc of the terminator", K::Asc, {S("abc"), I(3), N()}, 0, {{2, "0"}}},
      {"Asc past the end", K::Asc, {S("abc"), I(4), I(7)}, -1, {{2, "7"}}},
      {"Asc negative", K::Asc, {S("abc"), I(-1), I(7)}, -1, {{2, "7"}}},
      {"Asc high byte", K::Asc, {S("\xB0\xA1"), I(0), N()}, 0xB0, {{2, "176"}}},
      {"Chr", K::Chr, {I(65), N()}, 65, {{1, "\"A\""}}, "\"A\""},
      {"Chr low byte", K::Chr, {I(321), N()}, 321, {{1, "\"A\""}}},
      {"Chr zero", K::Chr, {I(0), N()}, 0, {{1, "\"\""}}, "\"\""},
  });
}

TEST_F(Strings, ZeroByteInsideSubstr) {
  // The table's brace form cannot hold a zero byte in a literal; spelled out.
  auto args = Args({S("a\0bc"sv), I(1), I(2), N()});
  EXPECT_EQ(Exec(K::Substr, args), 0);
  EXPECT_EQ(args[3]->Bytes(), "\0b"sv);
}

TEST_F(Strings, ComparisonsAndSearches) {
  Check({
      {"whole texts", K::Strcmp, {S("abc"), S("abd"), I(0), I(0)}, -1, {}},
      {"equal", K::Strcmp, {S("abc"), S("abc"), I(0), I(0)}, 0, {}},
      {"shorter first", K::Strcmp, {S("ab"), S("abc"), I(0), I(0)}, -'c', {}},
      {"bytes are unsigned", K::Strcmp, {S("\xB0"), S("a"), I(0), I(0)}, 0xB0 - 'a', {}},
      {"case counts", K::Strcmp, {S("ABC"), S("abc"), I(0), I(0)}, 'A' - 'a', {}},
      {"ignoring case", K::Strcmp, {S("ABC"), S("abc"), I(0), I(1)}, 0, {}},
      {"two bytes", K::Strcmp, {S("abc"), S("abd"), I(2), I(0)}, 0, {}},
      {"three bytes", K::Strcmp, {S("abc"), S("abd"), I(3), I(0)}, -1, {}},
      {"n includes the zeros", K::Strcmp, {S("abc"), S("abc"), I(4), I(0)}, 0, {}},
      {"n past both", K::Strcmp, {S("abc"), S("abd"), I(5), I(0)}, -2, {}},
      {"n on a number", K::Strcmp, {I(1), S("abd"), I(1), I(0)}, -2, {}},
      {"Strstr", K::Strstr, {S("hello"), S("l"), N()}, 3, {{2, "3"}}},
      {"Strstr absent", K::Strstr, {S("hello"), S("z"), N()}, 0, {{2, "0"}}},
      {"Strstr empty part", K::Strstr, {S("hello"), S(""), N()}, 1, {{2, "1"}}},
      {"Strstr GB text", K::Strstr, {S("\xC4\xE3\xBA\xC3"), S("\xBA\xC3"), N()}, 3, {{2, "3"}}},
      {"StrstrEx from 3", K::StrstrEx, {S("hello"), I(3), S("l"), N()}, 4, {{3, "4"}}},
      {"StrstrEx from the terminator", K::StrstrEx, {S("hello"), I(5), S("l"), I(9)}, 0, {{3, "0"}}},
      {"StrstrEx past the end", K::StrstrEx, {S("hello"), I(6), S("l"), I(9)}, 0, {{3, "9"}}},
      {"StrstrEx negative start", K::StrstrEx, {S("hello"), I(-3), S("l"), I(9)}, 0, {{3, "9"}}},
      {"StrstrEx on a number", K::StrstrEx, {I(12121), I(0), S("1"), I(9)}, 0, {{3, "9"}}},
  });
}

TEST_F(Strings, InPlaceChanges) {
  Check({
      {"Trim", K::Trim, {S("\t ab  ")}, 0, {{0, "\"ab\""}}},
      {"Trim blanks only", K::Trim, {S(" \t ")}, 0, {{0, "\"\""}}},
      {"Trim trailing zeros", K::Trim, {S("a \0\0"sv)}, 0, {{0, "\"a\""}}},
      {"Trim keeps inner blanks", K::Trim, {S(" a b ")}, 0, {{0, "\"a b\""}}},
      {"Trim constant", K::Trim, {C(S(" a "))}, -1, {{0, "\" a \""}}},
      {"Trim number", K::Trim, {I(5)}, -2, {{0, "5"}}},
      {"Upper", K::Upper, {S("ab1z")}, 0, {{0, "\"AB1Z\""}}},
      // 0x81 0x61 is one GB character; its second byte is not the letter a.
      {"Upper skips GB trail bytes", K::Upper, {S("a\x81\x61z\xB0\x61")}, 0, {{0, "\"A\x81\x61Z\xB0\x61\""}}},
      {"Lower skips GB trail bytes", K::Lower, {S("A\x81\x41Z")}, 0, {{0, "\"a\x81\x41z\""}}},
      {"Upper constant", K::Upper, {C(S("a"))}, -1, {{0, "\"a\""}}},
      {"Lower number", K::Lower, {I(5)}, -2, {{0, "5"}}},
      {"Replstr", K::Replstr, {S("abcdef"), I(1), I(2), S("XYZ")}, 0, {{0, "\"aXYdef\""}}},
      {"Replstr to the end", K::Replstr, {S("abcdef"), I(4), I(2), S("XY")}, 0, {{0, "\"abcdXY\""}}},
      {"Replstr past the end", K::Replstr, {S("abcdef"), I(5), I(2), S("XYZ")}, -2, {{0, "\"abcdef\""}}},
      {"Replstr huge length", K::Replstr, {S("abcdef"), I(1), I(2147483647), S("XYZ")}, -2, {{0, "\"abcdef\""}}},
      {"Replstr short replacement", K::Replstr, {S("abcdef"), I(1), I(3), S("X")}, -2, {{0, "\"abcdef\""}}},
      {"Replstr negative position", K::Replstr, {S("abcdef"), I(-1), I(2), S("XY")}, -2, {{0, "\"abcdef\""}}},
      {"Replstr constant", K::Replstr, {C(S("abcdef")), I(1), I(2), S("XY")}, -1, {{0, "\"abcdef\""}}},
      {"Replstr of a number", K::Replstr, {I(5), I(0), I(1), S("X")}, -2, {{0, "5"}}},
      {"Repeatstr", K::Repeatstr, {N(), S("ab"), I(3)}, 0, {{0, "\"ababab\""}}},
      {"Repeatstr empty unit", K::Repeatstr, {I(4), S(""), I(3)}, 0, {{0, "\"\""}}},
      {"Repeatstr byte unit", K::Repeatstr, {N(), I(42), I(3)}, 0, {{0, "\"***\""}}},
      {"Repeatstr no times", K::Repeatstr, {S("x"), S("ab"), I(0)}, -2, {{0, "\"x\""}}},
      {"Repeatstr constant", K::Repeatstr, {C(S("x")), S("ab"), I(2)}, -1, {{0, "\"x\""}}},
      // 2 x 2147483647 wraps to -2 in 32 bits; it is simply too long.
      {"Repeatstr over the limit", K::Repeatstr, {S("x"), S("ab"), I(2147483647)}, -2, {{0, "\"x\""}}},
  });
}

TEST_F(Strings, ReplstrMayCopyTheTerminatingZero) {
  auto args = Args({S("abcdef"), I(1), I(2), S("X")});
  EXPECT_EQ(Exec(K::Replstr, args), 0);
  EXPECT_EQ(args[0]->Bytes(), "aX\0def"sv);
}

TEST_F(Strings, RepeatstrAboveTheValueLimitLeavesOutAlone) {
  TagVar::SetTextLimitForTest(100);
  auto args = Args({S("keep"), S("ab"), I(51)});
  EXPECT_EQ(Exec(K::Repeatstr, args), -2);
  EXPECT_EQ(Show(*args[0]), "\"keep\"");
  auto fits = Args({S("keep"), S("ab"), I(50)});
  EXPECT_EQ(Exec(K::Repeatstr, fits), 0);
  EXPECT_EQ(args[0]->TextLen(), 4u);
  EXPECT_EQ(fits[0]->TextLen(), 100u);
  TagVar::SetTextLimitForTest(0);
}

TEST_F(Strings, RepeatstrIntoItsOwnUnit) {
  auto args = Args({S("ab")});
  TagVar times = I(2);
  EXPECT_EQ(Exec(K::Repeatstr, {args[0], args[0], &times}), 0);
  EXPECT_EQ(Show(*args[0]), "\"abab\"");
}

// The pieces of a map filled by AnlyStr, in key order.
std::vector<std::string> Pieces(const TagVar& map, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    TagVar v;
    map.GetItem(TagVar::Int(i), v);
    out.push_back(Show(v));
  }
  return out;
}

TEST_F(Strings, AnlyStrCutsBySeparatorKind) {
  struct Row {
    std::string text, sep;
    std::vector<std::string> pieces;
  } rows[] = {
      {"a,b,,c", ",", {"\"a\"", "\"b\"", "\"\"", "\"c\""}},
      {"a,b,", ",", {"\"a\"", "\"b\"", "\"\""}},
      {"a:=b:=c", ":=", {"\"a\"", "\"b\"", "\"c\""}},
      {"a:=:=b", ":=", {"\"a\"", "\"\"", "\"b\""}},
      {"  a  b\t c ", " ", {"\"\"", "\"a\"", "\"b\"", "\"c\"", "\"\""}},
      {"a b", " ", {"\"a\"", "\"b\""}},
      {"abc", "", {"\"abc\""}},
      {"", ",", {"\"\""}},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.text + " / " + r.sep);
    auto args = Args({S(r.text), S(r.sep), N()});
    EXPECT_EQ(Exec(K::AnlyStr, args), int(r.pieces.size()));
    EXPECT_EQ(Pieces(*args[2], int(r.pieces.size())), r.pieces);
    EXPECT_EQ(args[2]->Length(), int(r.pieces.size()));
  }
  auto notText = Args({I(5), S(","), N()});
  EXPECT_EQ(Exec(K::AnlyStr, notText), 0);
  EXPECT_FALSE(notText[2]->IsMap());
}

TEST_F(Strings, AnlyStrDoesNotClearTheMap) {
  auto args = Args({S("x,y"), S(","), N()});
  args[2]->SetItem(I(5), S("old"));
  EXPECT_EQ(Exec(K::AnlyStr, args), 2);
  EXPECT_EQ(args[2]->Length(), 3);
}

TEST_F(Strings, GetMapItemWalksEntries) {
  auto args = Args({N(), I(0), N(), N()});
  TagVar& map = *args[0];
  map.SetItem(I(7), S("seven"));
  map.SetItem(S("k"), I(2));
  EXPECT_EQ(Exec(K::GetMapItem, args), 0);
  EXPECT_EQ(Show(*args[2]), "7");
  EXPECT_EQ(Show(*args[3]), "\"seven\"");
  args[1]->SetInt(1);
  EXPECT_EQ(Exec(K::GetMapItem, args), 1);
  EXPECT_EQ(Show(*args[2]), "\"k\"");
  EXPECT_EQ(Show(*args[3]), "2");
  args[1]->SetInt(2);
  EXPECT_EQ(Exec(K::GetMapItem, args), -2);
  args[1]->SetInt(-1);
  EXPECT_EQ(Exec(K::GetMapItem, args), -2);
  auto number = Args({I(3), I(0), N(), N()});
  EXPECT_EQ(Exec(K::GetMapItem, number), -1);
  EXPECT_EQ(map.Length(), 2);
  map.SetNull();
}

TEST(Trim, BufferAndTextForms) {
  constexpr int kOwn = INT32_MIN;
  struct Row {
    std::string in;
    int length;  // kOwn: the text's own length
    int result;
    std::string kept;
  } rows[] = {
      {"\t ab  ", kOwn, 3, "ab"}, {"ab", kOwn, 3, "ab"},  {"   ", kOwn, 1, ""},
      {"", kOwn, 1, ""},          {"ab\0\0 "s, 5, 3, "ab"}, {"x", 0, 1, "x"},
      {"x", -4, -3, "x"},       {" a b ", 4, 4, "a b"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.in);
    std::string buf = r.in + '\0';
    int got = r.length == kOwn ? plat::TrimText(buf.data()) : plat::TrimBuffer(buf.data(), r.length);
    EXPECT_EQ(got, r.result);
    EXPECT_EQ(std::string(buf.c_str()), r.kept);
  }
  std::string s = " \tkey = value \t";
  plat::TrimText(s);
  EXPECT_EQ(s, "key = value");
  plat::RemoveAllBlanks(s);
  EXPECT_EQ(s, "key=value");
  char line[] = " a\tb \r\n c ";
  plat::RemoveAllBlanks(line);
  EXPECT_STREQ(line, "ab\r\nc");
}

}  // namespace
