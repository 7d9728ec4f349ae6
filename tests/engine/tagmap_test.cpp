// Maps: the registry, element access, iteration order, set operations,
// reference counts, map text, deep nesting and handle wrap.
#include "engine/tagmap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <map>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "value_cases.h"

namespace {

TagMapObject& Reg() { return TagMapObject::Instance(); }

// Each test starts and ends with the same number of live maps: anything else
// is a leak or a double free of counts.
class Maps : public testing::Test {
 protected:
  void SetUp() override { before_ = Reg().MapCount(); }
  void TearDown() override {
    for (auto* v : {&m, &n, &o}) v->SetNull();
    EXPECT_EQ(Reg().MapCount(), before_) << "maps leaked or lost";
  }
  // m[key] := value
  static void Put(TagVar& map, const TagVar& key, const TagVar& value) { map.SetItem(key, value); }
  static std::string Text(const TagVar& v) { return v.ToText(); }

  TagVar m, n, o;
  size_t before_ = 0;
};

TEST_F(Maps, ItemTurnsAValueIntoAMapOfOneNullElement) {
  m.SetString("text");
  TagVar& e = m.Item(TagVar::Str("k"));
  EXPECT_TRUE(e.IsNull());
  ASSERT_TRUE(m.IsMap());
  EXPECT_EQ(m.Length(), 1);
  EXPECT_EQ(Reg().RefCount(m.MapHandle()), 1);
  TagVar out = TagVar::Int(5);
  m.GetItem(TagVar::Str("missing"), out);
  EXPECT_TRUE(out.IsNull());
  EXPECT_EQ(m.Length(), 1);  // GetItem never creates
  TagVar s = TagVar::Str("x");
  s.GetItem(TagVar::Int(1), out);  // not a map
  EXPECT_TRUE(out.IsNull());
}

TEST_F(Maps, KeysOfEachKindInIterationOrder) {
  n.Item(TagVar::Int(0));  // a map used as a key
  Put(m, TagVar::Str("b"), TagVar::Int(2));
  Put(m, TagVar::Dbl(2.5), TagVar::Dbl(1.5));
  Put(m, n, TagVar());
  Put(m, TagVar::Int(10), TagVar::Str("ten"));
  Put(m, TagVar::Str("a"), TagVar::Str("x"));
  Put(m, TagVar::Int(-1), TagVar::Int(0));
  Put(m, TagVar(), TagVar::Int(7));  // null keys go to the integer table under 0
  EXPECT_EQ(Reg().RefCount(n.MapHandle()), 1);  // a key is not a reference

  std::string h = std::to_string(n.MapHandle());
  EXPECT_EQ(Text(m), "{\r\n-1:0,\r\n0:7,\r\n10:\"ten\",\r\n\"a\":\"x\",\r\n\"b\":2,\r\n2.500000:1.5,\r\n" + h +
                         ":NULL\r\n}");

  std::vector<V> wantKeys = {V::I(-1), V::I(0), V::I(10), V::S("a"), V::S("b"), V::D(2.5), V::I(n.MapHandle())};
  for (int i = 0; i < int(wantKeys.size()); ++i) {
    TagVar k, v;
    ASSERT_EQ(m.EntryAt(i, k, v), i);
    EXPECT_TRUE(Holds(k, wantKeys[i])) << "entry " << i;
  }
  for (int i = int(wantKeys.size()) - 1; i >= 0; --i) {  // backwards through all four tables
    TagVar k, v;
    ASSERT_EQ(m.EntryAt(i, k, v), i);
    EXPECT_TRUE(Holds(k, wantKeys[i])) << "entry " << i << " walking back";
  }
  TagVar k, v;
  EXPECT_EQ(m.EntryAt(int(wantKeys.size()), k, v), -2);
  EXPECT_EQ(m.EntryAt(-1, k, v), -2);
  EXPECT_EQ(TagVar::Int(1).EntryAt(0, k, v), -1);

  std::vector<TagVarP> keys;
  ASSERT_EQ(m.Keys(keys), 7);
  std::vector<int> kinds;
  for (auto& p : keys) kinds.push_back(p.kind);
  EXPECT_EQ(kinds, (std::vector<int>{2, 2, 2, 1, 1, 3, 4}));
  EXPECT_EQ(keys[3].strKey, "a");
  EXPECT_EQ(keys[5].dblKey, 2.5);
  keys[6].ToVar(k);
  EXPECT_TRUE(Holds(k, V::I(n.MapHandle())));
  EXPECT_EQ(TagVar::Int(1).Keys(keys), 0);
  EXPECT_EQ(keys.size(), 7u);  // untouched
}

TEST_F(Maps, EntryAtWalksLargeMapsInOrder) {
  for (int i = 0; i < 3000; ++i) Put(m, TagVar::Int(2999 - i), TagVar::Int(i));
  Put(m, TagVar::Str("s"), TagVar::Int(-1));
  for (int i : {0, 1, 2, 5, 4, 100, 2999, 3000, 7}) {  // sequential and random access agree
    TagVar k, v;
    ASSERT_EQ(m.EntryAt(i, k, v), i);
    if (i < 3000)
      EXPECT_TRUE(Holds(k, V::I(i)));
    else
      EXPECT_TRUE(Holds(k, V::S("s")));
  }
  for (int i = 0; i < 3000; ++i) {
    TagVar k, v;
    ASSERT_EQ(m.EntryAt(i, k, v), i);
    ASSERT_EQ(v.AsInt(), 2999 - i);
  }
  for (int i = 3000; i >= 0; --i) {  // backwards, across the table border
    TagVar k, v;
    ASSERT_EQ(m.EntryAt(i, k, v), i);
    if (i < 3000) {
      ASSERT_TRUE(Holds(k, V::I(i)));
    }
  }
  // A change between two reads: positions shift, the walk follows.
  TagVar k, v;
  m.RemoveItem(TagVar::Int(0));
  ASSERT_EQ(m.EntryAt(1500, k, v), 1500);
  EXPECT_TRUE(Holds(k, V::I(1501)));
  m.SetItem(TagVar::Int(-5), TagVar::Int(0));
  ASSERT_EQ(m.EntryAt(1501, k, v), 1501);
  EXPECT_TRUE(Holds(k, V::I(1501)));
}

TEST_F(Maps, DoubleKeysNaNAndSignedZero) {
  double nan = std::numeric_limits<double>::quiet_NaN();
  Put(m, TagVar::Dbl(nan), TagVar::Int(1));
  Put(m, TagVar::Dbl(-nan), TagVar::Int(2));
  Put(m, TagVar::Dbl(0.0), TagVar::Int(3));
  Put(m, TagVar::Dbl(-0.0), TagVar::Int(4));
  Put(m, TagVar::Dbl(-1.0), TagVar::Int(5));
  EXPECT_EQ(m.Length(), 3);
  TagVar out;
  m.GetItem(TagVar::Dbl(nan), out);
  EXPECT_TRUE(Holds(out, V::I(2)));
  m.GetItem(TagVar::Dbl(0.0), out);
  EXPECT_TRUE(Holds(out, V::I(4)));
  TagVar k, v;
  m.EntryAt(2, k, v);
  EXPECT_TRUE(std::isnan(k.DblValue()));  // NaN sorts last
}

TEST_F(Maps, StringKeysStopAtTheFirstNul) {
  Put(m, TagVar::Str(std::string("ab\0c", 4)), TagVar::Int(1));
  TagVar out;
  m.GetItem(TagVar::Str("ab"), out);
  EXPECT_TRUE(Holds(out, V::I(1)));
}

TEST_F(Maps, RemoveReleasesAndReportsAbsence) {
  n.Item(TagVar::Int(1));
  int32_t nh = n.MapHandle();
  Put(m, TagVar::Int(1), n);
  Put(m, TagVar::Int(2), TagVar::Str("b"));
  EXPECT_EQ(Reg().RefCount(nh), 2);
  EXPECT_EQ(m.RemoveItem(TagVar::Int(9)), 0);
  EXPECT_EQ(m.Length(), 2);
  EXPECT_EQ(m.RemoveItem(TagVar::Int(1)), 1);
  EXPECT_EQ(Reg().RefCount(nh), 1);
  EXPECT_EQ(m.Length(), 1);
  EXPECT_EQ(Reg().Remove(-5, TagVar::Int(1)), 0);
  EXPECT_EQ(TagVar::Int(3).RemoveItem(TagVar::Int(1)), 0);
}

TEST_F(Maps, RemoveThatFreesTheMapItself) {
  // m's map A holds B; B holds A. Only the cycle keeps them: a copy (which
  // holds no reference) then removes A's element, which frees B and with it
  // the last reference to A, while Remove is still working on A.
  TagVar& b = m.Item(TagVar::Int(1));
  b.Item(TagVar::Int(1)).Assign(m);
  int32_t a = m.MapHandle();
  TagVar copy(m);  // no reference
  m.SetNull();
  EXPECT_EQ(Reg().RefCount(a), 1);
  EXPECT_EQ(copy.RemoveItem(TagVar::Int(1)), 1);
  EXPECT_FALSE(Reg().IsRegistered(a));
}

TEST_F(Maps, EntryAtIntoTheLastReferenceOfItsOwnMap) {
  Put(m, TagVar::Int(1), TagVar::Str("one"));
  TagVar copy(m);  // no reference
  TagVar key, value;
  // value holds the only reference: writing it frees the map being read.
  value.Assign(m);
  m.SetNull();
  EXPECT_EQ(copy.EntryAt(0, key, value), 0);
  EXPECT_TRUE(Holds(value, V::S("one")));
  EXPECT_FALSE(Reg().IsRegistered(copy.MapHandle()));
}

TEST_F(Maps, AssignMovesReferenceCounts) {
  m.Item(TagVar::Int(1));
  n.Item(TagVar::Int(2));
  int32_t mh = m.MapHandle(), nh = n.MapHandle();
  o.Assign(m);
  EXPECT_EQ(Reg().RefCount(mh), 2);
  o.Assign(n);
  EXPECT_EQ(Reg().RefCount(mh), 1);
  EXPECT_EQ(Reg().RefCount(nh), 2);
  o.Assign(n);  // the same map: nothing
  EXPECT_EQ(Reg().RefCount(nh), 2);
  n.SetInt(1);
  EXPECT_EQ(Reg().RefCount(nh), 1);
  o.SetString("s");  // the last reference: freed
  EXPECT_FALSE(Reg().IsRegistered(nh));
  TagVar copy(m);
  EXPECT_EQ(Reg().RefCount(mh), 1);  // copies hold no reference
}

TEST_F(Maps, ReleasingTheLastVariableFreesNestedMaps) {
  size_t base = Reg().MapCount();
  m.Item(TagVar::Int(1)).Item(TagVar::Str("x")).SetInt(3);
  EXPECT_EQ(Reg().MapCount(), base + 2);
  m.SetNull();
  EXPECT_EQ(Reg().MapCount(), base);
}

TEST_F(Maps, SelfAndMutualReferencesPrint) {
  Put(m, TagVar::Int(1), TagVar::Str("x"));
  Put(m, TagVar::Int(2), m);
  EXPECT_EQ(Text(m), "{\r\n1:\"x\",\r\n2:{...}\r\n}");
  // A holds B, B holds A: the inner A is cut.
  n.Item(TagVar::Int(1));
  o.Item(TagVar::Str("back")).Assign(n);
  Put(n, TagVar::Int(1), o);
  EXPECT_EQ(Text(n), "{\r\n1:{\r\n\"back\":{...}\r\n}\r\n}");
  // A map shared twice (not a cycle) prints in full both times.
  TagVar shared;
  Put(shared, TagVar::Int(0), TagVar::Int(0));
  TagVar twice;
  Put(twice, TagVar::Int(1), shared);
  Put(twice, TagVar::Int(2), shared);
  EXPECT_EQ(Text(twice), "{\r\n1:{\r\n0:0\r\n},\r\n2:{\r\n0:0\r\n}\r\n}");
  EXPECT_EQ(Text(TagVar()), "NULL");
  TagVar empty;
  empty.Item(TagVar::Int(0));
  empty.RemoveItem(TagVar::Int(0));
  EXPECT_EQ(Text(empty), "{\r\n\r\n}");
  // Break the cycles so the fixture can count.
  m.RemoveItem(TagVar::Int(2));
  o.RemoveItem(TagVar::Str("back"));
  twice.SetNull();
  shared.SetNull();
  empty.SetNull();
}

TEST_F(Maps, UnregisteredHandles) {
  TagVar stale;
  stale.Item(TagVar::Int(1));
  TagVar copy(stale);  // no reference
  stale.SetNull();
  ASSERT_TRUE(copy.IsMap());
  int32_t h = copy.MapHandle();
  EXPECT_EQ(copy.Length(), -1);
  EXPECT_EQ(Text(copy), "");
  EXPECT_EQ(Reg().FindOrInsert(h, TagVar::Int(1)), &TagVar::ConstNull());
  EXPECT_FALSE(Reg().IsRegistered(h));
  EXPECT_EQ(Reg().Find(h, TagVar::Int(1)), nullptr);
  EXPECT_EQ(Reg().AddRef(h), -1);
  EXPECT_EQ(Reg().Release(h), -1);
  EXPECT_EQ(Reg().Count(h), -1);
  std::vector<TagVarP> keys;
  EXPECT_EQ(Reg().Keys(h, keys), -1);
  std::string out;
  EXPECT_EQ(Reg().ToText(h, out), -1);
  EXPECT_EQ(out, "");
  // Item on it makes a fresh map.
  copy.Item(TagVar::Int(5)).SetInt(1);
  EXPECT_TRUE(Reg().IsRegistered(copy.MapHandle()));
  EXPECT_EQ(copy.Length(), 1);
  copy.SetNull();
}

// ---- iteration order across the array part and the tables ----

// A model of one map: integer keys ascending, then string keys byte-wise
// ascending. Each case runs a sequence of puts and removes on a map and on
// the model, and after every step compares the count, the key listing, the
// entries walked forwards and backwards, and (for short maps) the text.
struct OrderStep {
  bool put;
  bool str;
  int32_t key;  // the integer key, or the number a string key is made of
};

std::string StrKey(int32_t n) { return n % 3 == 0 ? "k" + std::to_string(n) : std::string(1, char('a' + n % 26)) + std::to_string(n); }

struct OrderCase {
  const char* name;
  std::vector<OrderStep> steps;
};

std::vector<OrderStep> Puts(std::vector<int32_t> keys, bool str = false) {
  std::vector<OrderStep> out;
  for (int32_t k : keys) out.push_back({true, str, k});
  return out;
}
std::vector<OrderStep> Removes(std::vector<int32_t> keys, bool str = false) {
  std::vector<OrderStep> out;
  for (int32_t k : keys) out.push_back({false, str, k});
  return out;
}
std::vector<int32_t> Range(int32_t from, int32_t to, int32_t step = 1) {
  std::vector<int32_t> out;
  for (int32_t k = from; step > 0 ? k < to : k > to; k += step) out.push_back(k);
  return out;
}
template <typename... T>
std::vector<OrderStep> Seq(T... parts) {
  std::vector<OrderStep> out;
  (out.insert(out.end(), parts.begin(), parts.end()), ...);
  return out;
}

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class MapOrder : public Maps, public testing::WithParamInterface<OrderCase> {};

TEST_P(MapOrder, MatchesTheModelAfterEveryStep) {
  std::map<int32_t, int32_t> ints;
  std::map<std::string, int32_t> strs;  // std::string compares bytes unsigned
  int32_t serial = 0;
  size_t stepNo = 0;
  for (const OrderStep& st : GetParam().steps) {
    ++stepNo;
    TagVar key = st.str ? TagVar::Str(StrKey(st.key)) : TagVar::Int(st.key);
    if (st.put) {
      ++serial;
      Put(m, key, TagVar::Int(serial));
      if (st.str)
        strs[StrKey(st.key)] = serial;
      else
        ints[st.key] = serial;
    } else {
      const size_t had = st.str ? strs.erase(StrKey(st.key)) : ints.erase(st.key);
      ASSERT_EQ(m.RemoveItem(key), int(had)) << "step " << stepNo;
    }
    // Checked fully at the end and every few steps in between.
    if (stepNo % 7 != 0 && stepNo != GetParam().steps.size()) continue;
    const size_t total = ints.size() + strs.size();
    ASSERT_EQ(m.Length(), int32_t(total)) << "step " << stepNo;
    std::vector<TagVarP> keys;
    ASSERT_EQ(m.Keys(keys), int(total));
    std::vector<std::pair<V, int32_t>> want;
    for (auto& [k, v] : ints) want.push_back({V::I(k), v});
    for (auto& [k, v] : strs) want.push_back({V::S(k), v});
    std::string text = "{\r\n";
    for (size_t i = 0; i < want.size(); ++i) {
      TagVar k;
      keys[i].ToVar(k);
      ASSERT_TRUE(Holds(k, want[i].first)) << "listing, entry " << i << " after step " << stepNo;
      if (i) text += ",\r\n";
      text += want[i].first.k == V::kInt ? std::to_string(want[i].first.i) : "\"" + want[i].first.s + "\"";
      text += ":" + std::to_string(want[i].second);
    }
    text += "\r\n}";
    for (int i = 0; i < int(total); ++i) {
      TagVar k, v;
      ASSERT_EQ(m.EntryAt(i, k, v), i);
      ASSERT_TRUE(Holds(k, want[size_t(i)].first)) << "entry " << i << " after step " << stepNo;
      ASSERT_EQ(v.AsInt(), want[size_t(i)].second) << "entry " << i;
    }
    for (int i = int(total) - 1; i >= 0; --i) {
      TagVar k, v;
      ASSERT_EQ(m.EntryAt(i, k, v), i);
      ASSERT_TRUE(Holds(k, want[size_t(i)].first)) << "entry " << i << " walking back after step " << stepNo;
    }
    TagVar k, v;
    EXPECT_EQ(m.EntryAt(int(total), k, v), -2);
    if (total < 300) {
      EXPECT_EQ(Text(m), text) << "step " << stepNo;
    }
    // Every key reads back its value; a removed neighbour reads as absent.
    for (auto& [key2, val] : ints) {
      TagVar out;
      m.GetItem(TagVar::Int(key2), out);
      ASSERT_EQ(out.AsInt(), val) << "key " << key2;
    }
  }
}

const OrderCase kOrderCases[] = {
    {"AscendingFromZero", Puts(Range(0, 200))},
    {"AscendingFromOne", Puts(Range(1, 200))},
    {"Descending", Puts(Range(199, -1, -1))},
    {"NegativeAndPositive", Seq(Puts(Range(-50, 50)), Puts(Range(-100, -50)))},
    {"ExtremeKeys", Puts({INT32_MIN, -1, 0, 1, INT32_MAX, INT32_MAX - 1, 2, INT32_MIN + 1})},
    // Far keys stay in the ordered table; filling up to them moves them in.
    {"FarKeysThenFillUpToThem", Seq(Puts({1000, 64, 40, 500}), Puts(Range(0, 70)), Puts(Range(70, 1001, 3)))},
    {"HolesEveryOtherKey", Seq(Puts(Range(0, 400, 2)), Puts(Range(401, 0, -2)))},
    {"RemoveFromTheEnd", Seq(Puts(Range(0, 120)), Removes(Range(119, 40, -1)), Puts({200, 41, 300}))},
    {"RemoveFromTheFrontThenAppend", Seq(Puts(Range(0, 100)), Removes(Range(0, 90)), Puts(Range(100, 200)))},
    {"RemoveEverythingAndRefill", Seq(Puts(Range(0, 50)), Removes(Range(0, 50)), Puts(Range(-5, 20)))},
    {"RemoveAbsentKeys", Seq(Puts(Range(0, 10)), Removes({-1, 10, 11, 1000}), Removes({3, 3}))},
    {"StringsInAnyOrder", Seq(Puts(Range(0, 150, 7), true), Puts(Range(149, 0, -5), true), Removes(Range(0, 150, 14), true),
                              Puts(Range(0, 10), true))},
    {"StringsAndIntsMixed", Seq(Puts(Range(0, 60), true), Puts(Range(-10, 60)), Removes(Range(0, 60, 4), true),
                                Removes(Range(-10, 60, 3)), Puts(Range(30, 90), true), Puts(Range(100, 0, -7)))},
};

INSTANTIATE_TEST_SUITE_P(Maps, MapOrder, testing::ValuesIn(kOrderCases),
                         [](const testing::TestParamInfo<OrderCase>& p) { return std::string(p.param.name); });

TEST_F(Maps, KeysOfTheSameTextInBothTablesStaySeparate) {
  // 5 under the integer table and "5" under the string table.
  Put(m, TagVar::Int(5), TagVar::Int(1));
  Put(m, TagVar::Str("5"), TagVar::Int(2));
  Put(m, TagVar::Dbl(5.0), TagVar::Int(3));
  EXPECT_EQ(Text(m), "{\r\n5:1,\r\n\"5\":2,\r\n5.000000:3\r\n}");
  EXPECT_EQ(m.RemoveItem(TagVar::Str("5")), 1);
  EXPECT_EQ(Text(m), "{\r\n5:1,\r\n5.000000:3\r\n}");
}

TEST_F(Maps, ElementsKeepTheirValuesWhenTheArrayPartGrows) {
  // Strings and nested maps in the first slots survive the moves of growth.
  n.Item(TagVar::Int(0)).SetString("inner");
  Put(m, TagVar::Int(0), TagVar::Str("first"));
  Put(m, TagVar::Int(1), n);
  Put(m, TagVar::Int(5000), TagVar::Str("far"));  // the ordered table first
  for (int i = 2; i < 6000; ++i) Put(m, TagVar::Int(i), TagVar::Int(i));
  TagVar out;
  m.GetItem(TagVar::Int(0), out);
  EXPECT_TRUE(Holds(out, V::S("first")));
  m.GetItem(TagVar::Int(5000), out);
  EXPECT_TRUE(Holds(out, V::I(5000)));
  m.GetItem(TagVar::Int(1), out);
  EXPECT_EQ(out.MapHandle(), n.MapHandle());
  EXPECT_EQ(Reg().RefCount(n.MapHandle()), 3);  // n, m[1], out
  out.SetNull();
  m.SetNull();
  EXPECT_EQ(Reg().RefCount(n.MapHandle()), 1);
}

// ---- set operations ----

TEST_F(Maps, UnionIntersectDifference) {
  Put(m, TagVar::Int(1), TagVar::Str("x"));
  Put(m, TagVar::Int(2), TagVar());
  Put(n, TagVar::Int(2), TagVar::Str("y"));
  Put(n, TagVar::Int(3), TagVar::Str("z"));
  TagVar::Calculate('+', o, m, &n);
  EXPECT_EQ(Text(o), "{\r\n1:\"x\",\r\n2:\"y\",\r\n3:\"z\"\r\n}");
  EXPECT_EQ(Reg().RefCount(o.MapHandle()), 1);

  m.SetNull();
  n.SetNull();
  Put(m, TagVar::Int(1), TagVar::Str("a"));
  Put(m, TagVar::Int(2), TagVar::Str("b"));
  Put(n, TagVar::Int(2), TagVar::Str("B"));
  Put(n, TagVar::Int(3), TagVar::Str("C"));
  TagVar::Calculate('*', o, m, &n);
  EXPECT_EQ(Text(o), "{\r\n2:\"B\"\r\n}");
  TagVar::Calculate('-', o, m, &n);
  EXPECT_EQ(Text(o), "{\r\n1:\"a\"\r\n}");
  // A value of a wins on a common key.
  TagVar::Calculate('+', o, m, &n);
  EXPECT_EQ(Text(o), "{\r\n1:\"a\",\r\n2:\"b\",\r\n3:\"C\"\r\n}");

  EXPECT_EQ(Reg().Union(-3, n.MapHandle()), -1);
  EXPECT_EQ(Reg().Intersect(-3, n.MapHandle()), -1);
  EXPECT_EQ(Reg().Intersect(n.MapHandle(), -3), -2);
  EXPECT_EQ(Reg().Difference(-3, n.MapHandle()), -1);
  EXPECT_EQ(Reg().Difference(n.MapHandle(), -3), -2);
  TagVar clone;
  clone.SetMap(Reg().Union(m.MapHandle(), -3));  // a plain clone of a
  EXPECT_EQ(Text(clone), Text(m));
  clone.SetNull();
}

TEST_F(Maps, SetOperationResultsStartUnreferenced) {
  Put(m, TagVar::Int(1), TagVar::Int(1));
  Put(n, TagVar::Int(2), TagVar::Int(2));
  size_t base = Reg().MapCount();
  TagVar sum = TagVar::Add(m, n);
  ASSERT_TRUE(sum.IsMap());
  EXPECT_EQ(Reg().RefCount(sum.MapHandle()), 0);
  o.Assign(sum);  // the first reference
  EXPECT_EQ(Reg().RefCount(o.MapHandle()), 1);
  o.SetNull();
  EXPECT_EQ(Reg().MapCount(), base);
  TagVar diff = TagVar::Subtract(m, n);
  TagVar prod = TagVar::Multiply(m, n);
  o.Assign(diff);
  o.Assign(prod);
  o.SetNull();
  EXPECT_EQ(Reg().MapCount(), base);
}

TEST_F(Maps, CloneSharesNestedMapsAndTurnsMapKeysIntoInts) {
  n.Item(TagVar::Int(0));
  Put(m, TagVar::Int(-1), n);  // handles are positive: no clash with the map key
  Put(m, n, TagVar::Str("by map"));
  int32_t nh = n.MapHandle();
  o.SetMap(Reg().Clone(m.MapHandle()));
  EXPECT_EQ(Reg().RefCount(nh), 3);  // n, m[-1], clone[-1]
  TagVar out;
  o.GetItem(TagVar::Int(nh), out);
  EXPECT_TRUE(Holds(out, V::S("by map")));
  EXPECT_EQ(Reg().Clone(-1), -1);
}

TEST_F(Maps, ShiftRightOnAMapRemovesTheKey) {
  Put(m, TagVar::Int(1), TagVar::Str("a"));
  Put(m, TagVar::Int(2), TagVar::Str("b"));
  TagVar one = TagVar::Int(1);
  TagVar::Calculate(kCalcShiftRight, m, m, &one);
  EXPECT_EQ(Text(m), "{\r\n2:\"b\"\r\n}");
  TagVar two = TagVar::Int(2);
  TagVar::Calculate(kCalcShiftRight, n, m, &two);  // n shares the same map
  EXPECT_EQ(n.MapHandle(), m.MapHandle());
  EXPECT_EQ(m.Length(), 0);
  EXPECT_EQ(Reg().RefCount(m.MapHandle()), 2);
}

TEST_F(Maps, ElementAccessStep) {
  Put(m, TagVar::Str("k"), TagVar::Str("v"));
  TagVar key = TagVar::Str("k");
  TagVar::Calculate('[', o, m, &key);
  EXPECT_TRUE(Holds(o, V::S("v")));
  TagVar missing = TagVar::Str("none");
  TagVar::Calculate('[', o, m, &missing);
  EXPECT_TRUE(o.IsNull());
  EXPECT_EQ(m.Length(), 1);
  // m = m[k]: the element is copied before the map lets go.
  TagVar::Calculate('[', m, m, &key);
  EXPECT_TRUE(Holds(m, V::S("v")));
}

TEST_F(Maps, ComparisonsOfMaps) {
  for (int i = 0; i < 3; ++i) Put(m, TagVar::Int(i), TagVar::Int(i));
  for (int i = 0; i < 2; ++i) Put(n, TagVar::Int(i), TagVar::Int(i));
  EXPECT_EQ(m.Greater(n), 1);
  EXPECT_EQ(n.Less(m), 1);
  EXPECT_EQ(m.Equals(n), 0);
  o.Assign(m);
  EXPECT_EQ(m.Equals(o), 1);
}

TEST_F(Maps, StringPlusMapAppendsItsText) {
  Put(m, TagVar::Int(1), TagVar::Str("x"));
  TagVar s = TagVar::Str("m=");
  TagVar::Calculate('+', o, s, &m);
  EXPECT_TRUE(Holds(o, V::S("m={\r\n1:\"x\"\r\n}")));
  // The other way round: a map with a string stays the map.
  TagVar::Calculate('+', o, m, &s);
  EXPECT_EQ(o.MapHandle(), m.MapHandle());
  EXPECT_EQ(Reg().RefCount(m.MapHandle()), 2);
}

TEST_F(Maps, MapTextStopsAtTheLengthLimit) {
  // Each level holds the next one twice: the full text would double per
  // level (2^30 leaves), so printing must stop at the string limit.
  TagVar::SetTextLimitForTest(10000);
  TagVar level;
  level.Item(TagVar::Int(0)).SetString("leaf");
  for (int i = 0; i < 30; ++i) {
    TagVar up;
    up.SetItem(TagVar::Int(1), level);
    up.SetItem(TagVar::Int(2), level);
    level.Assign(up);
    up.SetNull();
  }
  std::string text;
  level.ToText(text);
  TagVar::SetTextLimitForTest(0);
  EXPECT_GT(text.size(), 10000u);
  EXPECT_LT(text.size(), 10100u);
  level.SetNull();
}

// ---- deep nesting on a line-sized stack ----

TEST_F(Maps, DeepChainPrintsAndFreesOnALineStack) {
  constexpr int kDepth = 100000;
  size_t base = Reg().MapCount();
  std::atomic<bool> done{false};
  size_t textLen = 0;
  plat::Thread t;
  ASSERT_TRUE(t.Start(
      [&] {
        TagVar root;
        TagVar* cur = &root;
        TagVar zero = TagVar::Int(0);
        for (int i = 0; i < kDepth; ++i) cur = &cur->Item(zero);
        cur->SetString("end");
        textLen = root.ToText().size();
        root.SetNull();  // frees all 100000 maps
        done = true;
      },
      plat::Thread::kLineStack));
  t.Join();
  ASSERT_TRUE(done);
  EXPECT_GT(textLen, size_t(kDepth) * 8);
  EXPECT_EQ(Reg().MapCount(), base);
}

// A variable freed after its thread's own destructors have run (another
// thread-local's destructor, or a static object at exit) still frees its
// nested maps, with no use of storage the thread has already given back.
struct HeldUntilThreadEnd {
  TagVar v;
  ~HeldUntilThreadEnd() { v.SetNull(); }
};
thread_local HeldUntilThreadEnd t_held;

TEST_F(Maps, NestedMapsFreedAfterTheThreadsDestructorsRan) {
  size_t base = Reg().MapCount();
  plat::Thread t;
  ASSERT_TRUE(t.Start([&] {
    // Made first, so destroyed last: after the maps' own per-thread lists.
    t_held.v.Item(TagVar::Int(1)).Item(TagVar::Int(2)).Item(TagVar::Int(3)).SetInt(4);
    // Frees a nested chain, which is what puts the per-thread list to use.
    TagVar other;
    other.Item(TagVar::Int(1)).Item(TagVar::Int(2)).SetInt(3);
    other.SetNull();
  }));
  t.Join();
  EXPECT_EQ(Reg().MapCount(), base);
}

// ---- handles ----

TEST_F(Maps, HandlesWrapToOneAndSkipLiveOnes) {
  Reg().SetLastHandleForTest(INT32_MAX - 1);
  m.Item(TagVar::Int(0));
  EXPECT_EQ(m.MapHandle(), INT32_MAX);
  n.Item(TagVar::Int(0));
  int32_t first = n.MapHandle();
  EXPECT_GT(first, 0);
  // Again past the top: INT32_MAX and first are alive and are skipped.
  Reg().SetLastHandleForTest(INT32_MAX - 1);
  o.Item(TagVar::Int(0));
  EXPECT_GT(o.MapHandle(), 0);
  EXPECT_NE(o.MapHandle(), INT32_MAX);
  EXPECT_NE(o.MapHandle(), first);
  // A loop making one map per pass near the top never sees 0 or less.
  Reg().SetLastHandleForTest(INT32_MAX - 50);
  TagVar loop;
  for (int i = 0; i < 200; ++i) {
    loop.SetNull();
    loop.Item(TagVar::Int(i)).SetInt(i);
    ASSERT_GT(loop.MapHandle(), 0);
    ASSERT_NE(loop.MapHandle(), m.MapHandle());
  }
  loop.SetNull();
}

}  // namespace
