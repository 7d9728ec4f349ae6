// Shared values under keys of three types, and the ACD groups: the choice
// of the group idle the longest (across the tick's wrap), ownership, and
// groups going when emptied.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/runcfg.h"
#include "engine/tagmap.h"
#include "services/acdlist.h"
#include "services/sharemem.h"

namespace {

TEST(ShareMem, KeysOfEachTypeAreSeparate) {
  TagShareMem s;
  EXPECT_EQ(s.Set(TagVar::Int(1), TagVar::Str("int")), 1);
  EXPECT_EQ(s.Set(TagVar::Str("1"), TagVar::Str("text")), 1);
  EXPECT_EQ(s.Set(TagVar::Int(2), TagVar::Int(5)), 2);
  TagVar out = TagVar::Int(-9);
  EXPECT_EQ(s.Get(TagVar::Dbl(1.0), out), -1);
  EXPECT_EQ(out.IntValue(), -9);  // unchanged
  EXPECT_EQ(s.Get(TagVar::Str("1"), out), 1);
  EXPECT_EQ(out.ToText(), "text");
  EXPECT_EQ(s.Get(TagVar(), out), -1);  // null goes by its stored integer 0
  EXPECT_EQ(s.Set(TagVar(), TagVar::Int(0)), 3);
  EXPECT_EQ(s.Set(TagVar::Dbl(2.5), TagVar::Int(1)), 1);
  EXPECT_EQ(s.Get(TagVar::Dbl(2.5), out), 1);
  s.Clear();
  EXPECT_EQ(s.Get(TagVar::Int(1), out), -1);
}

TEST(ShareMem, IncDecAccAndClaim) {
  TagShareMem s;
  TagVar out;
  EXPECT_EQ(s.Inc(TagVar::Int(7), TagVar::Int(2), out), -1);
  EXPECT_EQ(s.Get(TagVar::Int(7), out), -1);  // nothing made
  s.Set(TagVar::Int(7), TagVar::Int(5));
  EXPECT_EQ(s.Inc(TagVar::Int(7), TagVar::Int(2), out), 0);
  EXPECT_EQ(out.IntValue(), 7);
  EXPECT_EQ(s.Dec(TagVar::Int(7), TagVar::Dbl(0.5), out), 0);
  EXPECT_EQ(out.ToText(), "6.5");
  TagVar old;
  EXPECT_EQ(s.Acc(TagVar::Int(7), old, TagVar::Str("x")), 1);
  EXPECT_EQ(old.ToText(), "6.5");
  EXPECT_FALSE(s.ClaimIfEqual(TagVar::Int(7), TagVar::Str("y"), TagVar::Int(1)));
  EXPECT_TRUE(s.ClaimIfEqual(TagVar::Int(7), TagVar::Str("x"), TagVar::Int(1)));
  EXPECT_FALSE(s.ClaimIfEqual(TagVar::Int(8), TagVar(), TagVar::Int(1)));
  s.Get(TagVar::Int(7), out);
  EXPECT_EQ(out.IntValue(), 1);
}

TEST(ShareMem, StoredMapsAreHeldUntilReplacedOrCleared) {
  auto& reg = TagMapObject::Instance();
  TagVar map;
  map.Item(TagVar::Int(1)).SetInt(1);
  const int32_t h = map.MapHandle();
  {
    TagShareMem s;
    s.Set(TagVar::Str("m"), map);
    s.Set(TagVar::Int(1), map);
    EXPECT_EQ(reg.RefCount(h), 3);
    s.Set(TagVar::Int(1), TagVar::Int(0));
    EXPECT_EQ(reg.RefCount(h), 2);
  }
  EXPECT_EQ(reg.RefCount(h), 1);
  map.SetNull();
  EXPECT_FALSE(reg.IsRegistered(h));
}

// A clock the test moves by hand.
std::uint32_t g_now = 0;
std::uint32_t TestClock() { return g_now; }

TagMsgFields Item(int caller) {
  TagMsgFields m;
  m.SetField(0, TagVar::Int(caller));
  m.SetFieldCount(1);
  return m;
}

TEST(Acd, OldestFreeGroupIsChosenAndKept) {
  TagAcdList acd(&TestClock);
  g_now = 100;
  acd.Send("A", Item(1));
  g_now = 50;
  acd.Send("B", Item(2));
  g_now = 200;
  TagMsgFields out;
  ASSERT_EQ(acd.Read(7, out), 1);
  EXPECT_EQ(out.Field(0).IntValue(), 2);  // B, idle the longest
  EXPECT_EQ(acd.OwnerOf("B"), 7);
  g_now = 201;
  ASSERT_EQ(acd.Read(8, out), 1);
  EXPECT_EQ(out.Field(0).IntValue(), 1);  // B is line 7's now
  EXPECT_EQ(acd.OwnerOf("A"), 8);
  g_now = 202;
  TagMsgFields untouched = Item(55);
  EXPECT_EQ(acd.Read(9, untouched), 0);  // every group owned by another line
  EXPECT_EQ(untouched.Field(0).IntValue(), 55);
  // A group touched in this very tick is not chosen.
  EXPECT_EQ(acd.Read(7, out), 1);
  EXPECT_EQ(acd.Read(7, out), 0);
}

TEST(Acd, TheChoiceSurvivesTheTickWrap) {
  TagAcdList acd(&TestClock);
  g_now = 0xFFFFFF00u;  // just before the wrap
  acd.Send("old", Item(1));
  g_now = 0x00000010u;  // after it
  acd.Send("new", Item(2));
  g_now = 0x00000020u;
  TagMsgFields out;
  ASSERT_EQ(acd.Read(1, out), 1);
  EXPECT_EQ(out.Field(0).IntValue(), 1);
  EXPECT_EQ(acd.OwnerOf("old"), 1);
}

TEST(Acd, EmptiedGroupsGoAndComeBackFree) {
  TagAcdList acd(&TestClock);
  g_now = 10;
  EXPECT_EQ(acd.Send("G", Item(1)), 1);
  EXPECT_EQ(acd.Send("G", Item(2)), 2);
  EXPECT_EQ(acd.Num("G"), 2);
  EXPECT_EQ(acd.Num("none"), 0);
  TagMsgFields out;
  EXPECT_EQ(acd.Recv(3, -1, TagVar::Int(1), out), 0);  // field matches need i >= 0
  EXPECT_EQ(acd.Recv(3, 0, TagVar::Int(1), out), 1);
  EXPECT_EQ(acd.OwnerOf("G"), 3);
  EXPECT_EQ(acd.Write(0, TagVar::Int(2), 0, TagVar::Int(5)), 1);
  EXPECT_EQ(acd.Write(0, TagVar::Int(2), 0, TagVar::Int(6)), 0);
  EXPECT_EQ(acd.Clear(0, TagVar::Int(5)), 1);
  EXPECT_EQ(acd.OwnerOf("G"), -2);  // gone with its last message
  acd.Send("G", Item(4));
  EXPECT_EQ(acd.OwnerOf("G"), -1);  // made again, free
}

TEST(Acd, AFullGroupKeepsItsCount) {
  const int saved = msgQueueLimit.load();
  msgQueueLimit = 1;
  TagAcdList acd(&TestClock);
  EXPECT_EQ(acd.Send("G", Item(1)), 1);
  EXPECT_EQ(acd.Send("G", Item(2)), 2);
  EXPECT_EQ(acd.Send("G", Item(3)), 2);
  msgQueueLimit = saved;
}

}  // namespace
