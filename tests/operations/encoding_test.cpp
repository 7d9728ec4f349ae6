// The two encoding operations compiled from scripts and run.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "operations/codecs.h"
#include "tests/engine/script_harness.h"

namespace {

std::string Bytes(std::initializer_list<unsigned> b) {
  std::string s;
  for (unsigned c : b) s.push_back(static_cast<char>(c));
  return s;
}

// One statement of a script and what it leaves: the result r and the bytes
// of o (which starts as "keep").
struct OpCase {
  const char* what;
  const char* script;
  int result;
  std::string out;
};

class EncodingOps : public scripttest::ScriptTest {
 protected:
  void Check(const OpCase* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      const OpCase& c = cases[i];
      // Compiled scripts are cached by name: one file per case.
      Compile(std::string("o = \"keep\";\n") + c.script + "\nreturn(0);\n", 1, "case" + std::to_string(i) + ".kxs");
      ASSERT_EQ(inst_->initResult, 0) << c.what << ": " << Report();
      Run();
      EXPECT_EQ(Var("r").AsInt(), c.result) << c.what;
      EXPECT_EQ(std::string(Var("o").Bytes()), c.out) << c.what;
    }
  }
};

TEST_F(EncodingOps, StrToUnicode) {
  const OpCase cases[] = {
      {"percent", "v = \"a b\";\nr = StrToUnicode(v, 3, o);", 5, "a%20b"},
      {"percent of %", "v = \"100%\";\nr = StrToUnicode(v, 3, o);", 6, "100%25"},
      {"base64", "v = \"abc\";\nr = StrToUnicode(v, 4, o);", 4, "YWJj"},
      {"base64 filled", "v = \"ab\";\nr = StrToUnicode(v, 4, o);", 4, "YWI="},
      {"utf-16", "v = \"AB\";\nr = StrToUnicode(v, 0, o);", 4, Bytes({0x41, 0, 0x42, 0})},
      {"unlisted mode is utf-16", "v = \"AB\";\nr = StrToUnicode(v, 9, o);", 4, Bytes({0x41, 0, 0x42, 0})},
      {"utf-8 counts its zero", "v = \"AB\";\nr = StrToUnicode(v, 1, o);", 3, "AB"},
      {"chinese utf-16", "v = \"说话\";\nr = StrToUnicode(v, 0, o);", 4, Bytes({0xF4, 0x8B, 0xDD, 0x8B})},
      {"chinese utf-8", "v = \"说话\";\nr = StrToUnicode(v, 1, o);", 7, "\xE8\xAF\xB4\xE8\xAF\x9D"},
      {"chinese utf-7", "v = \"说话\";\nr = StrToUnicode(v, 2, o);", 9, "+i/SL3Q-"},
      {"empty", "v = \"\";\nr = StrToUnicode(v, 1, o);", 0, "keep"},
      {"constant out", "v = \"ab\";\nr = StrToUnicode(v, 1, 5);", -100, "keep"},
      // A number that never held a string has an empty string buffer.
      {"number never text", "v = 12;\nr = StrToUnicode(v, 1, o);", 0, "keep"},
      // One that did is encoded as its printed number.
      {"number after text", "v = \"x\";\nv = 12;\nr = StrToUnicode(v, 1, o);", 3, "12"},
      // Binary data starting with a zero byte is not empty.
      {"base64 leading zero", "v = \"\";\nUnicodeToStr(4, \"AGFi\", v);\nr = StrToUnicode(v, 4, o);", 4, "AGFi"},
      // Only a string has bytes to encode.
      {"base64 of a number", "v = \"abcdefgh\";\nv = 12;\nr = StrToUnicode(v, 4, o);", 0, "keep"},
  };
  Check(cases, std::size(cases));
}

TEST_F(EncodingOps, UnicodeToStr) {
  const OpCase cases[] = {
      {"base64", "r = UnicodeToStr(4, \"YWJj\", o);", 3, "abc"},
      {"base64 filled", "r = UnicodeToStr(4, \"YQ==\", o);", 1, "a"},
      {"base64 wrong length", "r = UnicodeToStr(4, \"abc\", o);", -1, "keep"},
      {"base64 empty", "r = UnicodeToStr(4, \"\", o);", 0, "keep"},
      {"base64 zero bytes kept", "r = UnicodeToStr(4, \"AGFi\", o);", 3, Bytes({0, 'a', 'b'})},
      {"percent", "r = UnicodeToStr(3, \"a%20b\", o);", 3, "a b"},
      {"percent plus", "r = UnicodeToStr(3, \"a+b\", o);", 3, "a+b"},
      {"percent of a number", "v = 12;\nr = UnicodeToStr(3, v, o);", 2, "12"},
      {"utf-16", "u = \"\";\nUnicodeToStr(4, \"QQBCAA==\", u);\nr = UnicodeToStr(0, u, o);", 2, "AB"},
      {"utf-16 odd last byte", "u = \"\";\nUnicodeToStr(4, \"QQBC\", u);\nr = UnicodeToStr(0, u, o);", 1, "A"},
      // U+0E01 has no GB form: one '?', and the rest still reads.
      {"utf-16 unconvertible", "u = \"\";\nUnicodeToStr(4, \"AQ4ATkEA\", u);\nr = UnicodeToStr(0, u, o);", 4,
       Bytes({0x3F, 0xD2, 0xBB, 0x41})},
      {"utf-8", "r = UnicodeToStr(1, \"AB\", o);", 2, "AB"},
      // UTF-8 that starts with a zero is read as UTF-16LE.
      {"utf-8 falls back", "u = \"\";\nUnicodeToStr(4, \"AE5BAA==\", u);\nr = UnicodeToStr(1, u, o);", 3,
       Bytes({0xD2, 0xBB, 0x41})},
      {"utf-7", "r = UnicodeToStr(2, \"+i/SL3Q-\", o);", 4, Bytes({0xCB, 0xB5, 0xBB, 0xB0})},
      {"constant out keeps its length", "const K = \"wxyz\";\nr = UnicodeToStr(1, \"AB\", K);", 4, "keep"},
      // Values that are not strings have no bytes to decode, whatever text
      // they once held.
      {"base64 of a number", "v = \"YWJj\";\nv = 5;\nr = UnicodeToStr(4, v, o);", 0, "keep"},
      {"utf-16 of a number", "v = \"QUJDRA==\";\nv = 9;\nr = UnicodeToStr(0, v, o);", 0, ""},
      {"utf-8 of a number", "v = \"ABCDEFGH\";\nv = 9;\nr = UnicodeToStr(1, v, o);", 0, ""},
  };
  Check(cases, std::size(cases));
}

TEST_F(EncodingOps, ChineseRoundTripsThroughEveryMode) {
  Compile(R"kxs(t = "说话，国语 ABC 100%";
e0 = "";
r0 = StrToUnicode(t, 0, e0);
b0 = "";
n0 = UnicodeToStr(0, e0, b0);
e1 = "";
r1 = StrToUnicode(t, 1, e1);
b1 = "";
n1 = UnicodeToStr(1, e1, b1);
e2 = "";
r2 = StrToUnicode(t, 2, e2);
b2 = "";
n2 = UnicodeToStr(2, e2, b2);
e3 = "";
r3 = StrToUnicode(t, 3, e3);
b3 = "";
n3 = UnicodeToStr(3, e3, b3);
e4 = "";
r4 = StrToUnicode(t, 4, e4);
b4 = "";
n4 = UnicodeToStr(4, e4, b4);
return(0);
)kxs");
  ASSERT_EQ(inst_->initResult, 0) << Report();
  Run();
  std::string gb = std::string(Var("t").Bytes());
  ASSERT_EQ(gb.substr(0, 4), Bytes({0xCB, 0xB5, 0xBB, 0xB0}));
  for (int m = 0; m <= 4; ++m) {
    std::string i = std::to_string(m);
    EXPECT_EQ(std::string(Var("b" + i).Bytes()), gb) << "mode " << m;
    EXPECT_EQ(Var("n" + i).AsInt(), static_cast<int>(gb.size())) << "mode " << m;
  }
  // Five GB characters of two bytes and nine of one: fourteen units.
  EXPECT_EQ(Var("r0").AsInt(), 2 * 14);
  EXPECT_EQ(Var("e0").Bytes().size(), 2u * 14);
  EXPECT_EQ(Var("r1").AsInt(), static_cast<int>(Var("e1").Bytes().size()) + 1);
  EXPECT_EQ(Var("r2").AsInt(), static_cast<int>(Var("e2").Bytes().size()) + 1);
  EXPECT_EQ(std::string(Var("e3").Bytes()), PercentEncode(gb));
  EXPECT_EQ(std::string(Var("e4").Bytes()), Base64Encode(gb));
}

}  // namespace
