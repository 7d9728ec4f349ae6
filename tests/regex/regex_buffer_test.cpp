#include <gtest/gtest.h>

#include <cstdlib>

#include "regex/buffer.h"
#include "regex/regexp.h"

namespace {

TEST(Buffer, EmptyCharBufferReadsAsEmptyString) {
  CBufferT<char> b;
  ASSERT_NE(b.GetBuffer(), nullptr);
  EXPECT_STREQ(b.GetBuffer(), "");
  EXPECT_EQ(b.GetSize(), 0);
}

TEST(Buffer, PushPopPrepareAppendDetach) {
  CBufferT<int> ints;
  for (int i = 0; i < 100; ++i) ints.Push(i);
  EXPECT_EQ(ints.GetSize(), 100);
  int v = -1;
  EXPECT_TRUE(ints.Pop(v));
  EXPECT_EQ(v, 99);
  ints.Prepare(120, -7);
  EXPECT_EQ(ints.GetSize(), 121);
  EXPECT_EQ(ints[99], -7);
  EXPECT_EQ(ints[120], -7);
  EXPECT_EQ(ints[98], 98);
  CBufferT<int> empty;
  EXPECT_FALSE(empty.Pop(v));
  EXPECT_EQ(v, 0);

  CBufferT<char> s;
  s.Append("abc", 3, true);
  s.Append("de", 2, true);
  EXPECT_EQ(s.GetSize(), 5);
  EXPECT_STREQ(s.GetBuffer(), "abcde");
  CBufferT<char> copy(s);
  char* raw = s.Detach();
  EXPECT_STREQ(raw, "abcde");
  std::free(raw);
  EXPECT_EQ(s.GetSize(), 0);
  EXPECT_STREQ(s.GetBuffer(), "");
  EXPECT_EQ(copy.GetSize(), 5);
}

// A group named 0 does not take the place of the whole match.
TEST(MatchResult, GroupNamedZeroLeavesTheWholeMatch) {
  CRegexpT<char> re("a(?<0>x)b");
  MatchResultT<0> m = re.Match("zaxb");
  EXPECT_EQ(m.MatchStart(), 1);
  EXPECT_EQ(m.MatchEnd(), 4);
}

}  // namespace
