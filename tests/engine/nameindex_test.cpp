#include "engine/nameindex.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

// Keys that share prefixes, differ only in length, hold zero bytes or are
// empty: every one must find its own value, through several growths.
TEST(NameIndex, KeepsEveryKeyApartThroughGrowth) {
  TagNameIndex index;
  std::map<std::string, int> expected;
  auto add = [&](const std::string& key, int value) {
    auto [slot, added] = index.TryEmplace(key, value);
    ASSERT_NE(slot, nullptr);
    const bool fresh = expected.emplace(key, value).second;
    EXPECT_EQ(added, fresh) << key;
    EXPECT_EQ(*slot, expected[key]) << key;
  };
  add("", 0);
  for (int i = 0; i < 5000; ++i) {
    add("v" + std::to_string(i), i + 1);
    add(std::string("i") + std::string(4, static_cast<char>(i & 0xFF)) + std::to_string(i >> 8), 10000 + i);
  }
  add("v", 99999);
  add("v1", 12345);  // already there: keeps its first value
  add(std::string("a\0b", 3), 7);
  add(std::string("a\0c", 3), 8);
  add(std::string(40, 'x'), 9);
  add(std::string(41, 'x'), 10);
  EXPECT_EQ(index.Size(), expected.size());
  for (const auto& [key, value] : expected) {
    const int* found = index.Find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value) << key;
  }
  for (const char* absent : {"v5000", "w1", "v01", "a", "xx"}) EXPECT_EQ(index.Find(absent), nullptr) << absent;
}

TEST(NameIndex, ValuesCanBeChangedInPlaceAndClearForgetsAll) {
  TagNameIndex index;
  index.Reserve(3);
  *index.TryEmplace("k", 5).first = 2;
  ASSERT_NE(index.Find("k"), nullptr);
  EXPECT_EQ(*index.Find("k"), 2);
  index.Clear();
  EXPECT_EQ(index.Size(), 0u);
  EXPECT_EQ(index.Find("k"), nullptr);
  EXPECT_TRUE(index.TryEmplace("k", 6).second);
  EXPECT_EQ(*index.Find("k"), 6);
}

}  // namespace
