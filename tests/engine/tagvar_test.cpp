// Script values: conversions, texts, comparisons, arithmetic, const, limits.
#include "engine/tagvar.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>

#include "engine/tagmap.h"
#include "platform/text.h"
#include "tests/support/tempdir.h"
#include "value_cases.h"

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// ---- conversions ----

struct ConvCase {
  V v;
  int32_t asInt;
  double asDouble;
};

void PrintTo(const ConvCase& c, std::ostream* os) { *os << c.v.Show(); }

class Conversions : public testing::TestWithParam<ConvCase> {};

TEST_P(Conversions, AsIntAndAsDouble) {
  const auto& c = GetParam();
  TagVar v = c.v.Make();
  EXPECT_EQ(v.AsInt(), c.asInt) << c.v.Show();
  if (std::isnan(c.asDouble))
    EXPECT_TRUE(std::isnan(v.AsDouble())) << c.v.Show();
  else
    EXPECT_EQ(v.AsDouble(), c.asDouble) << c.v.Show();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Conversions,
    testing::Values(
        ConvCase{V::Null(), 0, 0}, ConvCase{V::I(-7), -7, -7}, ConvCase{V::D(2.9), 2, 2.9},
        ConvCase{V::D(-2.9), -2, -2.9}, ConvCase{V::D(2147483647.9), INT32_MAX, 2147483647.9},
        ConvCase{V::D(-2147483648.9), INT32_MIN, -2147483648.9}, ConvCase{V::D(1e10), INT32_MIN, 1e10},
        ConvCase{V::D(-1e10), INT32_MIN, -1e10}, ConvCase{V::D(kNaN), INT32_MIN, kNaN},
        ConvCase{V::D(kInf), INT32_MIN, kInf}, ConvCase{V::S("  -12abc"), -12, -12}, ConvCase{V::S("+7"), 7, 7},
        ConvCase{V::S("\t 42 "), 42, 42}, ConvCase{V::S("abc"), 0, 0}, ConvCase{V::S(""), 0, 0},
        ConvCase{V::S("--5"), 0, 0}, ConvCase{V::S("- 5"), 0, 0}, ConvCase{V::S("1.5e3x"), 1, 1500},
        ConvCase{V::S(".5"), 0, 0.5}, ConvCase{V::S("-.5"), 0, -0.5}, ConvCase{V::S("5."), 5, 5},
        ConvCase{V::S("."), 0, 0}, ConvCase{V::S("0x10"), 0, 0}, ConvCase{V::S("inf"), 0, 0},
        ConvCase{V::S("-nan"), 0, 0}, ConvCase{V::S("1e"), 1, 1}, ConvCase{V::S("2E+2"), 2, 200}, ConvCase{V::S("1e400"), 1, kInf},
        ConvCase{V::S("-1e400"), -1, -kInf}, ConvCase{V::S("1e-400"), 1, 0},
        ConvCase{V::S("1" + std::string(400, '0')), INT32_MAX, kInf},
        ConvCase{V::S("0." + std::string(400, '0') + "1"), 0, 0},
        ConvCase{V::S("99999999999"), INT32_MAX, 99999999999.0},
        ConvCase{V::S("-99999999999"), INT32_MIN, -99999999999.0},
        ConvCase{V::S("-2147483648"), INT32_MIN, -2147483648.0},
        ConvCase{V::S(std::string("12\0" "34", 5)), 12, 12}));

TEST(Conversions, MapReadsAsItsHandle) {
  TagVar m;
  m.Item(TagVar::Int(1));
  EXPECT_GT(m.MapHandle(), 0);
  EXPECT_EQ(m.AsInt(), m.MapHandle());
  EXPECT_EQ(m.AsDouble(), double(m.MapHandle()));
  m.SetNull();
}

// ---- texts ----

struct TextCase {
  V v;
  const char* plain;
  const char* quoted;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.v.Show(); }

class Texts : public testing::TestWithParam<TextCase> {};

TEST_P(Texts, ToText) {
  const auto& c = GetParam();
  TagVar v = c.v.Make();
  EXPECT_EQ(v.ToText(false), c.plain) << c.v.Show();
  EXPECT_EQ(v.ToText(true), c.quoted) << c.v.Show();
}

INSTANTIATE_TEST_SUITE_P(Table, Texts,
                         testing::Values(TextCase{V::D(2.5), "2.5", "2.5"}, TextCase{V::D(2.0), "2.", "2."},
                                         TextCase{V::D(100.0), "100.", "100."}, TextCase{V::D(0.0), "0.", "0."},
                                         TextCase{V::D(-0.5), "-0.5", "-0.5"},
                                         TextCase{V::D(1.0 / 3), "0.333333", "0.333333"},
                                         TextCase{V::D(1e-7), "0.", "0."}, TextCase{V::I(-5), "-5", "-5"},
                                         TextCase{V::I(INT32_MIN), "-2147483648", "-2147483648"},
                                         TextCase{V::Null(), "NULL", "NULL"}, TextCase{V::S("ab"), "ab", "\"ab\""},
                                         TextCase{V::S(""), "", "\"\""},
                                         TextCase{V::S(std::string("a\0b", 3)), "a", "\"a\""}));

TEST(Texts, HugeDoubleHasAllItsDigits) {
  // "%f" of 1e300 into a small buffer was an overflow; the text is 301 digits
  // (1 followed by 300 places) and the kept point.
  std::string s = TagVar::Dbl(1e300).ToText();
  ASSERT_EQ(s.size(), 302u);
  EXPECT_EQ(s.front(), '1');
  EXPECT_EQ(s.back(), '.');
  std::string max = TagVar::Dbl(-std::numeric_limits<double>::max()).ToText();
  EXPECT_EQ(max.substr(0, 4), "-179");
  EXPECT_EQ(max.size(), 1u + 309u + 1u);
}

TEST(Texts, IndependentOfTheCLocale) {
  // Qt sets the C locale from the environment; a German one writes "2,5".
  testsupport::TempDir tmp;
  ASSERT_FALSE(tmp.path().empty());
  const char* dir = tmp.path().c_str();
  std::string cmd = std::string("localedef -i de_DE -f UTF-8 ") + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) GTEST_SKIP() << "cannot build a de_DE locale here";
  setenv("LOCPATH", dir, 1);
  const char* set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
  if (!set) {
    unsetenv("LOCPATH");
    GTEST_SKIP() << "de_DE locale not loadable";
  }
  char probe[16];
  std::snprintf(probe, sizeof probe, "%.1f", 2.5);
  EXPECT_STREQ(probe, "2,5");  // the locale is really in force
  EXPECT_EQ(TagVar::Dbl(2.5).ToText(), "2.5");
  EXPECT_EQ(TagVar::Str("2.5").AsDouble(), 2.5);
  TagVar s = TagVar::Str("x");
  TagVar::AddAssign(s, s, TagVar::Dbl(1.25));
  EXPECT_EQ(s.ToText(), "x1.25");
  std::setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
}

TEST(Texts, LengthAndEmbeddedNul) {
  TagVar v;
  v.SetBytes("a\0b", 3);
  EXPECT_EQ(v.Length(), 3);
  EXPECT_EQ(v.IntValue(), 4);
  TagVar w;
  w.Assign(v);  // copies every byte, NUL included
  EXPECT_EQ(w.Bytes(), std::string("a\0b", 3));
  EXPECT_EQ(w.ToText(), "a");
  EXPECT_EQ(TagVar::Int(12345).Length(), 4);
  EXPECT_EQ(TagVar().Length(), 4);
}

TEST(Texts, TypeNames) {
  struct {
    V v;
    const char* name;
    const char* value;
  } cases[] = {{V::Null(), "空", "NULL"},
               {V::S("a"), "字符串", "\"a\""},
               {V::I(3), "整型", "3"},
               {V::D(1.5), "浮点型", "1.5"}};
  for (const auto& c : cases) {
    std::string type, value;
    c.v.Make().TypeName(type, value);
    EXPECT_EQ(type, plat::Utf8ToGbk(c.name)) << c.v.Show();
    EXPECT_EQ(value, c.value);
  }
  TagVar m;
  m.Item(TagVar::Int(1));
  std::string type, value;
  m.TypeName(type, value);
  EXPECT_EQ(type, plat::Utf8ToGbk("字典(数组)型"));
  m.SetNull();
}

std::string NameOf(const TagTelBasic*) { return "fn1"; }

TEST(Texts, FunctionShowsItsName) {
  TagVar f;
  auto* body = reinterpret_cast<TagTelBasic*>(&f);  // any address: only compared and named
  f.DefineFunction("f", body, true);
  TagVar::SetFunctionNameHook(&NameOf);
  EXPECT_EQ(f.ToText(), "function fn1");
  TagVar::SetFunctionNameHook(nullptr);
  EXPECT_EQ(f.ToText(), "function ");
  TagVar g;
  g.Assign(f);
  EXPECT_EQ(g.Equals(f), 1);
  EXPECT_EQ(g.Equals(TagVar::Int(0)), 0);  // a function equals no other type
}

// ---- comparisons ----

struct CmpCase {
  V a, b;
  int eq, gt, lt;
};

void PrintTo(const CmpCase& c, std::ostream* os) { *os << c.a.Show() << " vs " << c.b.Show(); }

class Comparisons : public testing::TestWithParam<CmpCase> {};

TEST_P(Comparisons, EqualsGreaterLess) {
  const auto& c = GetParam();
  TagVar a = c.a.Make(), b = c.b.Make();
  EXPECT_EQ(a.Equals(b), c.eq) << c.a.Show() << " == " << c.b.Show();
  EXPECT_EQ(a.Greater(b), c.gt) << c.a.Show() << " > " << c.b.Show();
  EXPECT_EQ(a.Less(b), c.lt) << c.a.Show() << " < " << c.b.Show();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Comparisons,
    testing::Values(CmpCase{V::I(1), V::S("1"), 1, 0, 0}, CmpCase{V::S("1.0"), V::D(1.0), 1, 0, 0},
                    CmpCase{V::S("10"), V::I(10), 1, 0, 0}, CmpCase{V::Null(), V::I(0), 0, 0, 0},
                    CmpCase{V::Null(), V::Null(), 1, 0, 0}, CmpCase{V::Null(), V::S(""), 0, 0, 0},
                    CmpCase{V::S("abc"), V::S("abd"), 0, 0, 1}, CmpCase{V::S("b"), V::S("a"), 0, 1, 0},
                    CmpCase{V::S("\xB0\xA1"), V::S("z"), 0, 1, 0},  // GB bytes sort above ASCII
                    CmpCase{V::S(std::string("a\0x", 3)), V::S(std::string("a\0y", 3)), 1, 0, 0},
                    CmpCase{V::S("abc"), V::I(0), 1, 0, 0},         // the int rule: "abc" reads 0
                    CmpCase{V::I(2), V::D(2.5), 0, 0, 1}, CmpCase{V::D(kNaN), V::D(kNaN), 0, 0, 0},
                    CmpCase{V::I(-1), V::I(1), 0, 0, 1}));

// ---- expression steps ----

struct CalcCase {
  char op;
  V a, b;   // b None: the unary form
  V want;   // None: the target is left as it was
};

std::string OpName(char op) { return op ? std::string(1, op) : std::string("assign"); }

void PrintTo(const CalcCase& c, std::ostream* os) {
  *os << c.a.Show() << " " << OpName(c.op) << " " << c.b.Show();
}

class Calculations : public testing::TestWithParam<CalcCase> {};

TEST_P(Calculations, WritesTargetOrLeavesIt) {
  const auto& c = GetParam();
  TagVar a = c.a.Make(), b = c.b.Make();
  TagVar t = TagVar::Str("keep");
  bool wrote = TagVar::Calculate(c.op, t, a, c.b.k == V::kNone ? nullptr : &b);
  std::string what = c.a.Show() + " " + OpName(c.op) + " " + c.b.Show();
  if (c.want.k == V::kNone) {
    EXPECT_FALSE(wrote) << what;
    EXPECT_TRUE(Holds(t, V::S("keep"))) << what;
  } else {
    EXPECT_TRUE(wrote) << what;
    EXPECT_TRUE(Holds(t, c.want)) << what;
  }
  // The operands are never changed.
  EXPECT_TRUE(Holds(a, c.a.k == V::kNone ? V::Null() : c.a)) << what;
}

INSTANTIATE_TEST_SUITE_P(
    Arithmetic, Calculations,
    testing::Values(
        CalcCase{'+', V::S("ab"), V::I(5), V::S("ab5")}, CalcCase{'+', V::I(5), V::S("abc"), V::I(5)},
        CalcCase{'+', V::S("x"), V::D(1.5), V::S("x1.5")}, CalcCase{'+', V::S("x"), V::D(3.0), V::S("x3.")},
        CalcCase{'+', V::I(2), V::D(2.5), V::D(4.5)}, CalcCase{'+', V::I(INT32_MAX), V::I(1), V::I(INT32_MIN)},
        CalcCase{'+', V::S("x"), V::Null(), V::S("x")}, CalcCase{'+', V::Null(), V::S("x"), V::S("x")},
        CalcCase{'+', V::Null(), V::Null(), V::Null()}, CalcCase{'+', V::Null(), V::I(3), V::I(3)},
        CalcCase{'+', V::S(std::string("a\0", 2)), V::S("b"), V::S(std::string("a\0b", 3))},
        CalcCase{'+', V::S("ab"), V::S(""), V::S("ab")}, CalcCase{'+', V::S(""), V::S("ab"), V::S("ab")},
        CalcCase{'-', V::I(5), V::D(0.5), V::D(4.5)}, CalcCase{'-', V::I(INT32_MIN), V::I(1), V::I(INT32_MAX)},
        CalcCase{'-', V::S("x"), V::S("y"), V::S("x")}, CalcCase{'-', V::S("7"), V::I(2), V::I(5)},
        CalcCase{'*', V::S("ab"), V::I(3), V::S("ababab")}, CalcCase{'*', V::I(3), V::S("ab"), V::I(0)},
        CalcCase{'*', V::S("ab"), V::I(0), V::S("")}, CalcCase{'*', V::S("ab"), V::I(-2), V::S("")},
        CalcCase{'*', V::D(1.5), V::I(2), V::D(3.0)}, CalcCase{'*', V::I(INT32_MAX), V::I(2), V::I(-2)},
        CalcCase{'*', V::S("a"), V::S("b"), V::None()}, CalcCase{'/', V::I(7), V::I(2), V::I(3)},
        CalcCase{'/', V::I(-7), V::I(2), V::I(-3)}, CalcCase{'/', V::I(7), V::D(2.0), V::D(3.5)},
        CalcCase{'/', V::I(7), V::I(0), V::None()}, CalcCase{'/', V::I(7), V::D(0.0005), V::None()},
        CalcCase{'/', V::I(7), V::D(-0.001), V::None()}, CalcCase{'/', V::D(1), V::D(kNaN), V::None()},
        CalcCase{'/', V::I(INT32_MIN), V::I(-1), V::I(INT32_MIN)},
        CalcCase{'/', V::S("8"), V::S("2"), V::None()}, CalcCase{'/', V::S("8"), V::I(2), V::I(4)},
        CalcCase{'%', V::I(-7), V::I(2), V::I(-1)}, CalcCase{'%', V::I(7), V::I(0), V::None()},
        CalcCase{'%', V::I(INT32_MIN), V::I(-1), V::I(0)}, CalcCase{'%', V::D(7.9), V::I(4), V::I(3)},
        CalcCase{'L', V::I(1), V::I(33), V::I(2)}, CalcCase{'L', V::I(1), V::I(31), V::I(INT32_MIN)},
        CalcCase{'L', V::I(-1), V::I(4), V::I(-16)}, CalcCase{'R', V::I(-8), V::I(1), V::I(-4)},
        CalcCase{'R', V::I(INT32_MIN), V::I(63), V::I(-1)}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

INSTANTIATE_TEST_SUITE_P(
    LogicAndCompare, Calculations,
    testing::Values(CalcCase{'=', V::S("10"), V::I(10), V::I(1)},
                    CalcCase{'=', V::S("abc"), V::S("abd"), V::I(0)}, CalcCase{'#', V::S("abc"), V::S("abd"), V::I(1)},
                    CalcCase{'>', V::S("b"), V::S("a"), V::I(1)}, CalcCase{'<', V::I(1), V::D(1.5), V::I(1)},
                    CalcCase{'l', V::I(2), V::I(2), V::I(1)}, CalcCase{'g', V::S("a"), V::S("b"), V::I(0)},
                    CalcCase{'l', V::S("a"), V::S("a"), V::I(1)}, CalcCase{'a', V::D(2.5), V::I(1), V::I(1)},
                    CalcCase{'a', V::D(0.5), V::I(1), V::I(0)}, CalcCase{'o', V::I(3), V::I(0), V::I(1)},
                    CalcCase{'o', V::Null(), V::S("0"), V::I(0)}, CalcCase{'&', V::I(6), V::I(3), V::I(2)},
                    CalcCase{'|', V::I(6), V::I(3), V::I(7)}, CalcCase{'^', V::I(6), V::I(3), V::I(5)},
                    CalcCase{'!', V::I(0), V::None(), V::I(1)}, CalcCase{'!', V::S("x"), V::None(), V::I(1)},
                    CalcCase{'~', V::I(0), V::None(), V::I(-1)}, CalcCase{'-', V::I(5), V::None(), V::I(-5)},
                    CalcCase{'-', V::I(INT32_MIN), V::None(), V::I(INT32_MIN)},
                    CalcCase{'-', V::D(2.5), V::None(), V::D(-2.5)}, CalcCase{'-', V::S("3"), V::None(), V::I(-3)},
                    CalcCase{'+', V::D(2.5), V::None(), V::D(2.5)}, CalcCase{'+', V::Null(), V::None(), V::I(0)},
                    CalcCase{0, V::S("v"), V::None(), V::S("v")}, CalcCase{'?', V::I(1), V::I(1), V::None()}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

TEST(Calculations, TargetMayBeAnOperand) {
  TagVar s = TagVar::Str("ab");
  TagVar::Calculate('+', s, s, &s);  // s = s + s
  EXPECT_TRUE(Holds(s, V::S("abab")));
  TagVar x = TagVar::Str("x");
  TagVar::Calculate('+', s, x, &s);  // s = x + s: s is the right side
  EXPECT_TRUE(Holds(s, V::S("xabab")));
  TagVar three = TagVar::Int(3);
  TagVar::Calculate('*', s, s, &three);  // s = s * 3
  EXPECT_TRUE(Holds(s, V::S("xababxababxabab")));
  TagVar n = TagVar::Int(7);
  TagVar::Calculate('/', n, n, &three);
  EXPECT_TRUE(Holds(n, V::I(2)));
}

TEST(Calculations, InPlaceAppendKeepsEveryByte) {
  TagVar s;
  s.SetString("");
  std::string want;
  for (int i = 0; i < 5000; ++i) {
    TagVar piece = TagVar::Int(i % 10);
    TagVar::AddAssign(s, s, piece);
    want += char('0' + i % 10);
  }
  EXPECT_EQ(s.Bytes(), want);
  EXPECT_EQ(s.Length(), 5000);
  s.AppendBytes("\0z", 2);
  EXPECT_EQ(s.Length(), 5002);
}

TEST(Arithmetic, AddReturnsNewValue) {
  struct {
    V a, b, want;
  } cases[] = {{V::S("abc"), V::I(5), V::S("abc5")},
               {V::I(5), V::S("abc"), V::I(5)},
               {V::S("x"), V::D(1.5), V::S("x1.5")},
               {V::I(2), V::D(2.5), V::D(4.5)}};
  for (const auto& c : cases) {
    TagVar a = c.a.Make(), b = c.b.Make();
    TagVar r = TagVar::Add(a, b);
    EXPECT_TRUE(Holds(r, c.want)) << c.a.Show() << " + " << c.b.Show();
    EXPECT_TRUE(Holds(a, c.a));
  }
}

TEST(Arithmetic, SubtractAndMultiplyOfValues) {
  struct {
    V a, b, diff, prod;
  } cases[] = {{V::I(7), V::I(2), V::I(5), V::I(14)},
               {V::I(7), V::D(0.5), V::D(6.5), V::D(3.5)},
               {V::S("ab"), V::I(2), V::S("ab"), V::S("ab")},  // not both numbers: a copy of a
               {V::Null(), V::I(2), V::Null(), V::Null()}};
  for (const auto& c : cases) {
    TagVar a = c.a.Make(), b = c.b.Make();
    EXPECT_TRUE(Holds(TagVar::Subtract(a, b), c.diff)) << c.a.Show() << " - " << c.b.Show();
    EXPECT_TRUE(Holds(TagVar::Multiply(a, b), c.prod)) << c.a.Show() << " * " << c.b.Show();
  }
}

// ---- const values ----

TEST(Const, EveryWriteIsIgnored) {
  TagVar c(true);
  c.DefineInt("five", 5, true);
  TagVar src = TagVar::Str("new");
  TagVar two = TagVar::Int(2);
  c.SetInt(1);
  c.SetDouble(1.5);
  c.SetString("s");
  c.SetBytes("ab", 2);
  c.SetNull();
  c.AppendBytes("x", 1);
  c.Assign(src);
  EXPECT_FALSE(TagVar::Calculate('+', c, c, &two));
  EXPECT_EQ(TagVar::AddAssign(c, src, two), -1);
  EXPECT_EQ(&c.Item(two), &TagVar::ConstNull());
  c.SetItem(two, two);
  EXPECT_TRUE(Holds(c, V::I(5)));
  EXPECT_EQ(c.Name(), "five");

  TagVar& null = TagVar::ConstNull();
  null.SetInt(3);
  null.Item(two).SetInt(4);
  TagVar::Calculate(0, null, two, nullptr);
  null.DefineInt("x", 1, false);  // the shared null is never redefined
  null.SetConst(false);
  null.SetName("x");
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(null.Name(), "");
  EXPECT_TRUE(null.IsConst());
  EXPECT_EQ(null.IntValue(), 0);
}

TEST(Assign, KeepsNameAndConstFlag) {
  TagVar v;
  v.DefineString("name", "old", false);
  TagVar src;
  src.DefineInt("other", 9, true);
  v.Assign(src);
  EXPECT_EQ(v.Name(), "name");
  EXPECT_FALSE(v.IsConst());
  EXPECT_TRUE(Holds(v, V::I(9)));
  v.Assign(v);  // itself: nothing
  EXPECT_TRUE(Holds(v, V::I(9)));
  TagVar copy(src);  // the copy constructor copies name and flag
  EXPECT_EQ(copy.Name(), "other");
  EXPECT_TRUE(copy.IsConst());
}

// ---- string length bound ----

class TextLimit : public testing::Test {
 protected:
  void TearDown() override { TagVar::SetTextLimitForTest(0); }
};

TEST_F(TextLimit, HugeRepeatWritesNothing) {
  TagVar ab = TagVar::Str("ab");
  TagVar n = TagVar::Int(2000000000);
  TagVar t = TagVar::Str("keep");
  EXPECT_FALSE(TagVar::Calculate('*', t, ab, &n));
  EXPECT_TRUE(Holds(t, V::S("keep")));
  // One byte short of the int field's limit still fits the rule; one past
  // it is refused before any allocation.
  TagVar one = TagVar::Str("a");
  TagVar past = TagVar::Int(INT32_MAX);
  EXPECT_FALSE(TagVar::Calculate('*', t, one, &past));
  EXPECT_TRUE(Holds(t, V::S("keep")));
  TagVar s = TagVar::Str("x");
  TagVar::AddAssign(s, s, ab);
  EXPECT_TRUE(Holds(s, V::S("xab")));
}

// One runaway line must not take the process down: a value just past
// 256 MiB is refused before anything is allocated, whatever makes it.
TEST_F(TextLimit, DefaultLimitIsAQuarterGigabyte) {
  constexpr int32_t kQuarterGiB = 256 * 1024 * 1024;
  TagVar ab = TagVar::Str("ab");
  TagVar half = TagVar::Int(kQuarterGiB / 2 + 1);
  TagVar t = TagVar::Str("keep");
  EXPECT_FALSE(TagVar::Calculate('*', t, ab, &half));
  EXPECT_TRUE(Holds(t, V::S("keep")));
  TagVar a = TagVar::Str("a");
  TagVar past = TagVar::Int(kQuarterGiB + 1);
  EXPECT_FALSE(TagVar::Calculate('*', t, a, &past));
  EXPECT_TRUE(Holds(t, V::S("keep")));
}

TEST_F(TextLimit, DoublingStopsAtTheLimit) {
  TagVar::SetTextLimitForTest(1000);
  TagVar s = TagVar::Str("abcdefgh");
  for (int i = 0; i < 20; ++i) TagVar::Calculate('+', s, s, &s);
  EXPECT_EQ(s.Length(), 512);  // 1024 would pass the limit: the last good value stays
  EXPECT_EQ(s.Bytes().substr(0, 8), "abcdefgh");

  TagVar a = TagVar::Str(std::string(600, 'a'));
  TagVar t = TagVar::Str("keep");
  TagVar::AddAssign(t, a, a);
  EXPECT_TRUE(Holds(t, V::S("keep")));
  t.SetBytes(std::string(1001, 'b').data(), 1001);
  EXPECT_TRUE(Holds(t, V::S("keep")));
  t.SetBytes(std::string(1000, 'b').data(), 1000);
  EXPECT_EQ(t.Length(), 1000);
  t.AppendBytes("c", 1);
  EXPECT_EQ(t.Length(), 1000);
  TagVar three = TagVar::Int(3);
  EXPECT_FALSE(TagVar::Calculate('*', t, a, &three));
  EXPECT_EQ(t.Length(), 1000);
}

}  // namespace
