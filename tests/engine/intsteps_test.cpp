// The inline int steps of expressions: they must give exactly what the
// general calculation gives, wrap as it wraps, and stand aside (writing
// nothing) for every other pair of types, a const target and a map target.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

#include "engine/expr.h"
#include "engine/tagvar.h"

namespace {

struct Case {
  const char* name;
  char op;
  std::function<TagVar()> a, b;
  bool inline_;  // taken by the int steps
  int type;      // of the target afterwards
  std::string text;
};

TagVar I(int32_t v) { return TagVar::Int(v); }

TEST(IntSteps, AgreeWithTheGeneralCalculation) {
  const Case cases[] = {
      {"AddWraps", '+', [] { return I(INT_MAX); }, [] { return I(1); }, true, TagVar::kInt, std::to_string(INT_MIN)},
      {"SubtractWraps", '-', [] { return I(INT_MIN); }, [] { return I(1); }, true, TagVar::kInt,
       std::to_string(INT_MAX)},
      {"MultiplyWraps", '*', [] { return I(65536); }, [] { return I(65536); }, true, TagVar::kInt, "0"},
      {"MultiplyNegativeWraps", '*', [] { return I(INT_MIN); }, [] { return I(-1); }, true, TagVar::kInt,
       std::to_string(INT_MIN)},
      {"LessAcrossTheRange", '<', [] { return I(INT_MIN); }, [] { return I(INT_MAX); }, true, TagVar::kInt, "1"},
      {"GreaterNegative", '>', [] { return I(-1); }, [] { return I(0); }, true, TagVar::kInt, "0"},
      {"LessOrEqualEqual", 'l', [] { return I(5); }, [] { return I(5); }, true, TagVar::kInt, "1"},
      {"GreaterOrEqualLess", 'g', [] { return I(4); }, [] { return I(5); }, true, TagVar::kInt, "0"},
      {"Equal", '=', [] { return I(7); }, [] { return I(7); }, true, TagVar::kInt, "1"},
      {"NotEqual", '#', [] { return I(7); }, [] { return I(7); }, true, TagVar::kInt, "0"},
      // Other operators on ints go the general way.
      {"DivideMinByMinusOne", '/', [] { return I(INT_MIN); }, [] { return I(-1); }, false, TagVar::kInt,
       std::to_string(INT_MIN)},
      {"RemainderByMinusOne", '%', [] { return I(INT_MIN); }, [] { return I(-1); }, false, TagVar::kInt, "0"},
      {"And", 'a', [] { return I(2); }, [] { return I(3); }, false, TagVar::kInt, "1"},
      // Mixed types fall back and keep their rules.
      {"IntPlusDouble", '+', [] { return I(1); }, [] { return TagVar::Dbl(2.5); }, false, TagVar::kDouble, "3.5"},
      {"DoubleLessInt", '<', [] { return TagVar::Dbl(2.5); }, [] { return I(3); }, false, TagVar::kInt, "1"},
      {"StringPlusInt", '+', [] { return TagVar::Str("n"); }, [] { return I(12); }, false, TagVar::kString, "n12"},
      {"IntPlusString", '+', [] { return I(1); }, [] { return TagVar::Str("2"); }, false, TagVar::kInt, "3"},
      {"StringEqualsInt", '=', [] { return TagVar::Str("7"); }, [] { return I(7); }, false, TagVar::kInt, "1"},
      {"NullPlusInt", '+', [] { return TagVar(); }, [] { return I(4); }, false, TagVar::kInt, "4"},
      {"IntTimesDouble", '*', [] { return I(3); }, [] { return TagVar::Dbl(0.5); }, false, TagVar::kDouble, "1.5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TagVar a = c.a(), b = c.b();
    // The inline steps alone: they write only when they claim the pair.
    TagVar direct = TagVar::Str("untouched");
    EXPECT_EQ(TagVar::CalculateInts(c.op, direct, a, b), c.inline_);
    if (!c.inline_) {
      EXPECT_EQ(direct.ToText(), "untouched");
    }
    // The step as a script runs it, against the general calculation.
    TagVar viaStep, viaGeneral;
    TagCalculate step(c.op, &viaStep, &a, &b);
    step.Execute();
    ASSERT_TRUE(TagVar::Calculate(c.op, viaGeneral, a, &b));
    EXPECT_EQ(viaStep.Type(), c.type);
    EXPECT_EQ(viaStep.ToText(), c.text);
    EXPECT_EQ(viaGeneral.Type(), viaStep.Type());
    EXPECT_EQ(viaGeneral.ToText(), viaStep.ToText());
  }
}

// Targets the inline steps must leave to the general calculation.
TEST(IntSteps, ConstAndMapTargets) {
  TagVar a = I(2), b = I(3);
  TagVar constant;
  constant.DefineInt("k", 9, true);
  EXPECT_FALSE(TagVar::CalculateInts('+', constant, a, b));
  TagCalculate('+', &constant, &a, &b).Execute();
  EXPECT_EQ(constant.AsInt(), 9);

  // A target holding a map gives it up (its reference released) and takes
  // the int.
  TagVar map;
  map.Item(TagVar::Int(1)).Assign(TagVar::Int(1));
  ASSERT_TRUE(map.IsMap());
  const int32_t handle = map.MapHandle();
  TagVar other;
  other.Assign(map);  // a second holder sees the map live on
  EXPECT_FALSE(TagVar::CalculateInts('+', map, a, b));
  TagCalculate('+', &map, &a, &b).Execute();
  EXPECT_TRUE(map.IsInt());
  EXPECT_EQ(map.AsInt(), 5);
  EXPECT_EQ(other.MapHandle(), handle);
  EXPECT_EQ(other.Length(), 1);
  other.SetInt(0);

  // An element target goes through the map.
  TagVar holder, key = I(4);
  TagCalculate('*', &holder, &a, &b, &key).Execute();
  TagVar got;
  holder.GetItem(key, got);
  EXPECT_EQ(got.AsInt(), 6);
  holder.SetInt(0);
}

}  // namespace
