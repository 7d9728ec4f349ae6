// Message records and queues: copying, matching, the sorted order (strict,
// stable on equal keys, insert equal to a whole re-sort), the capacity, the
// text listing, and the map references messages hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/runcfg.h"
#include "engine/tagmap.h"
#include "services/msgqueue.h"

namespace {

TagMsgFields Msg(int sender, TagVar key, std::vector<TagVar> fields) {
  TagMsgFields m;
  m.sender = sender;
  m.key.Assign(key);
  for (size_t i = 0; i < fields.size(); ++i) m.SetField(static_cast<int>(i), fields[i]);
  m.SetFieldCount(static_cast<int>(fields.size()));
  for (TagVar& f : fields) f.SetNull();
  key.SetNull();
  return m;
}

// The senders of a queue's messages, oldest first, taken out.
std::vector<int> Drain(TagMsgList& q) {
  std::vector<int> out;
  TagMsgFields m;
  while (q.Recv(m)) out.push_back(m.sender);
  return out;
}

class LimitScope {
 public:
  explicit LimitScope(int limit) : saved_(msgQueueLimit.load()) { msgQueueLimit = limit; }
  ~LimitScope() { msgQueueLimit = saved_; }

 private:
  int saved_;
};

TEST(MsgFields, CountIsClampedAndCopiesKeepFieldsPastTheCount) {
  TagMsgFields m;
  m.SetFieldCount(25);
  EXPECT_EQ(m.FieldCount(), 20);
  m.SetFieldCount(-3);
  EXPECT_EQ(m.FieldCount(), 0);
  EXPECT_FALSE(m.SetField(20, TagVar::Int(1)));
  EXPECT_FALSE(m.SetField(-1, TagVar::Int(1)));
  TagVar out = TagVar::Int(7);
  EXPECT_FALSE(m.GetField(20, out));
  EXPECT_EQ(out.IntValue(), 7);

  TagMsgFields sent = Msg(3, TagVar::Str("k"), {TagVar::Int(10), TagVar::Int(11), TagVar::Int(12)});
  TagMsgFields receiver;
  for (int i = 0; i < 20; ++i) receiver.SetField(i, TagVar::Int(100 + i));
  receiver.Assign(sent);
  EXPECT_EQ(receiver.FieldCount(), 3);
  EXPECT_EQ(receiver.sender, 3);
  EXPECT_EQ(receiver.key.ToText(), "k");
  EXPECT_EQ(receiver.Field(2).IntValue(), 12);
  EXPECT_EQ(receiver.Field(3).IntValue(), 103);  // past the count: kept
}

TEST(MsgCompare, EqualKeysAreNeitherBeforeTheOther) {
  CompareByMsgFields cmp;
  ASSERT_EQ(cmp.SetOrderCol(0, 0), 0);
  TagMsgFields a = Msg(1, TagVar::Int(0), {TagVar::Int(5)});
  TagMsgFields b = Msg(2, TagVar::Int(0), {TagVar::Int(5)});
  EXPECT_FALSE(cmp(a, b));
  EXPECT_FALSE(cmp(b, a));
  EXPECT_FALSE(cmp(a, a));  // irreflexive
  TagMsgFields c = Msg(3, TagVar::Int(0), {TagVar::Int(6)});
  EXPECT_TRUE(cmp(a, c));
  EXPECT_FALSE(cmp(c, a));
  ASSERT_EQ(cmp.SetOrderCol(0, 1), 0);  // now descending
  EXPECT_TRUE(cmp(c, a));
  EXPECT_FALSE(cmp(a, c));
  EXPECT_EQ(cmp.SetOrderCol(20, 0), -1);
  EXPECT_EQ(cmp.SetOrderCol(-2, 0), -1);
}

TEST(MsgQueue, SortedSendsKeepArrivalOrderOnEqualKeys) {
  TagMsgList q;
  ASSERT_EQ(q.SetMsgOrderBy(0, 1), 0);  // field 0 descending
  const int values[] = {1, 3, 2, 3, 1, 2, 3};
  for (int s = 0; s < 7; ++s) q.Send(Msg(s, TagVar::Int(0), {TagVar::Int(values[s])}));
  EXPECT_EQ(Drain(q), (std::vector<int>{1, 3, 6, 2, 5, 0, 4}));
}

TEST(MsgQueue, OrderColumnsTakeEffectAtTheNextSend) {
  TagMsgList q;
  for (int s = 0; s < 3; ++s) q.Send(Msg(s, TagVar::Int(0), {TagVar::Int(3 - s)}));  // 3, 2, 1
  ASSERT_EQ(q.SetMsgOrderBy(0, 0), 0);
  TagMsgFields first;
  ASSERT_TRUE(q.Read(-1, TagVar(), first));
  EXPECT_EQ(first.sender, 0);  // not re-sorted yet
  q.Send(Msg(3, TagVar::Int(0), {TagVar::Int(2)}));
  EXPECT_EQ(Drain(q), (std::vector<int>{2, 1, 3, 0}));

  // Removing the last column: sends append again.
  ASSERT_EQ(q.SetMsgOrderBy(0, -1), 0);
  for (int s = 0; s < 3; ++s) q.Send(Msg(s, TagVar::Int(0), {TagVar::Int(3 - s)}));
  EXPECT_EQ(q.Sort(), 0);
  EXPECT_EQ(Drain(q), (std::vector<int>{0, 1, 2}));
}

TEST(MsgQueue, TwoColumnsAndTheKey) {
  TagMsgList q;
  ASSERT_EQ(q.SetMsgOrderBy(-1, 0), 0);  // key ascending
  ASSERT_EQ(q.SetMsgOrderBy(1, 1), 0);   // then field 1 descending
  q.Send(Msg(0, TagVar::Str("b"), {TagVar::Int(0), TagVar::Int(1)}));
  q.Send(Msg(1, TagVar::Str("a"), {TagVar::Int(0), TagVar::Int(1)}));
  q.Send(Msg(2, TagVar::Str("b"), {TagVar::Int(0), TagVar::Int(5)}));
  q.Send(Msg(3, TagVar::Str("a"), {TagVar::Int(0), TagVar::Int(9)}));
  EXPECT_EQ(Drain(q), (std::vector<int>{3, 1, 2, 0}));
}

// Each send into a queue kept in order must give what the whole re-sort of
// the queue would: the stable sort of every message in arrival order.
TEST(MsgQueue, InsertingIntoASortedQueueMatchesAWholeStableSort) {
  std::mt19937 rng(12345);
  for (int cols = 1; cols <= 3; ++cols) {
    SCOPED_TRACE(cols);
    TagMsgList q;
    CompareByMsgFields cmp;
    for (int c = 0; c < cols; ++c) {
      q.SetMsgOrderBy(c, c % 2);
      cmp.SetOrderCol(c, c % 2);
    }
    std::vector<TagMsgFields> all;
    for (int s = 0; s < 300; ++s) {
      std::vector<TagVar> f;
      for (int c = 0; c < 3; ++c) f.push_back(TagVar::Int(static_cast<int>(rng() % 4)));
      all.push_back(Msg(s, TagVar::Int(0), f));
      q.Send(all.back());
    }
    std::vector<TagMsgFields*> want;
    for (auto& m : all) want.push_back(&m);
    std::stable_sort(want.begin(), want.end(), [&](auto* a, auto* b) { return cmp(*a, *b); });
    std::vector<int> senders;
    for (auto* m : want) senders.push_back(m->sender);
    EXPECT_EQ(Drain(q), senders);
  }
}

TEST(MsgQueue, WriteResortsAndMatchesByMode) {
  TagMsgList q;
  q.SetMsgOrderBy(0, 0);
  for (int s = 0; s < 3; ++s) q.Send(Msg(s, TagVar::Int(s), {TagVar::Int(s * 10), TagVar::Int(0)}));
  EXPECT_EQ(q.Write(0, TagVar::Int(0), 0, TagVar::Int(99)), 1);  // field 0 of sender 0
  EXPECT_EQ(q.Write(-2, TagVar::Int(7), 0, TagVar::Int(1)), 0);  // no key 7
  EXPECT_EQ(q.Write(-3, TagVar::Int(0), 0, TagVar::Int(1)), 0);  // no such mode
  EXPECT_EQ(q.Write(-2, TagVar::Int(1), 5, TagVar::Int(1)), 1);  // found, field past the count: unchanged
  EXPECT_EQ(q.Write(-1, TagVar(), -1, TagVar::Str("k")), 1);     // the oldest's key
  TagMsgFields m;
  ASSERT_TRUE(q.Read(-2, TagVar::Str("k"), m));
  EXPECT_EQ(m.sender, 1);
  EXPECT_EQ(Drain(q), (std::vector<int>{1, 2, 0}));
}

TEST(MsgQueue, MatchingTakesCountsAndClears) {
  TagMsgList q;
  q.Send(Msg(1, TagVar::Str("a"), {TagVar::Int(1), TagVar::Int(2), TagVar::Int(3), TagVar::Int(4), TagVar::Int(5)}));
  q.Send(Msg(2, TagVar::Str("b"), {TagVar::Int(1), TagVar::Int(7)}));
  q.Send(Msg(2, TagVar::Str("a"), {TagVar::Int(9)}));
  EXPECT_EQ(q.CountForType(TagVar::Str("a")), 2);
  EXPECT_EQ(q.CountForField(0, TagVar::Int(1)), 2);
  EXPECT_EQ(q.CountForField(5, TagVar()), 0);  // needs a sixth field
  TagMsgFields m;
  EXPECT_FALSE(q.RecvForField(5, TagVar(), m));
  EXPECT_FALSE(q.RecvFor2Field(-1, TagVar::Str("b"), false, 1, TagVar::Int(2), m));
  ASSERT_TRUE(q.RecvFor2Field(-1, TagVar::Str("b"), true, 1, TagVar::Int(0), m));
  EXPECT_EQ(m.sender, 2);
  EXPECT_EQ(m.Field(1).IntValue(), 7);
  EXPECT_EQ(q.ClearFrom(2), 1);
  EXPECT_EQ(q.ClearForType(TagVar::Str("x")), 0);
  EXPECT_EQ(q.ClearForField(4, TagVar::Int(5)), 1);
  EXPECT_EQ(q.Size(), 0u);
}

TEST(MsgQueue, CapacityIsTheLimitPlusOne) {
  LimitScope limit(2);
  TagMsgList q;
  TagMsgFields m = Msg(0, TagVar(), {});
  EXPECT_EQ(q.Send(m), 1);
  EXPECT_EQ(q.Send(m), 2);
  EXPECT_EQ(q.Send(m), 3);
  EXPECT_EQ(q.Send(m), 0);
  msgQueueLimit = 0;  // no limit, read at each send
  EXPECT_EQ(q.Send(m), 4);
}

TEST(MsgQueue, ReadForListsMatchesWithinTheTextLimit) {
  TagMsgList q;
  const std::string big(1000, 'x');
  for (int s = 0; s < 3; ++s) q.Send(Msg(s, TagVar::Int(s), {TagVar::Str(big), TagVar::Int(s)}));
  std::string text;
  EXPECT_EQ(q.ReadFor(-2, TagVar(), 1, text), 3);
  EXPECT_EQ(text, "0,1,2");
  EXPECT_EQ(q.ReadFor(-2, TagVar(), 0, text), 3);  // every match counted,
  EXPECT_EQ(text, big + "," + big);                 // two fit in 2047 bytes
  EXPECT_LE(text.size(), 2047u);
  EXPECT_EQ(q.ReadFor(-1, TagVar::Int(1), -1, text), 1);
  EXPECT_EQ(text, "1");
  EXPECT_EQ(q.ReadFor(1, TagVar::Int(2), 7, text), 1);
  EXPECT_EQ(text, "");
}

TEST(MsgQueue, CountByValueAddsUpIntoAMap) {
  TagMsgList q;
  for (int s = 0; s < 5; ++s) q.Send(Msg(s, TagVar::Str(s % 2 ? "odd" : "even"), {TagVar::Int(s % 3)}));
  TagVar counts;
  EXPECT_EQ(q.CountByValue(-1, counts), 2);
  EXPECT_EQ(q.CountByValue(-1, counts), 0);  // not cleared: the counts add up
  TagVar out;
  counts.GetItem(TagVar::Str("even"), out);
  EXPECT_EQ(out.IntValue(), 6);
  EXPECT_EQ(q.CountByValue(0, counts), 3);
  counts.SetNull();
}

class MapRefs : public ::testing::Test {
 protected:
  static TagMapObject& Reg() { return TagMapObject::Instance(); }
};

TEST_F(MapRefs, QueuedMessagesHoldTheirMaps) {
  TagVar map;
  map.Item(TagVar::Str("a")).SetInt(1);
  const int32_t h = map.MapHandle();
  ASSERT_EQ(Reg().RefCount(h), 1);
  TagMsgList q;
  {
    TagMsgFields rec;
    rec.key.Assign(map);
    rec.SetField(0, map);
    rec.SetFieldCount(1);
    EXPECT_EQ(Reg().RefCount(h), 3);
    q.Send(rec);
    EXPECT_EQ(Reg().RefCount(h), 5);
  }
  map.SetNull();  // the sender drops its own references
  ASSERT_TRUE(Reg().IsRegistered(h));
  EXPECT_EQ(Reg().RefCount(h), 2);
  TagMsgFields out;
  ASSERT_TRUE(q.Recv(out));
  EXPECT_EQ(Reg().RefCount(h), 2);  // moved from the queue to the record
  TagVar item;
  out.Field(0).GetItem(TagVar::Str("a"), item);
  EXPECT_EQ(item.IntValue(), 1);
  out.key.SetNull();
  out.MutableField(0).SetNull();
  EXPECT_FALSE(Reg().IsRegistered(h));
}

TEST_F(MapRefs, ClearAndDestructionRelease) {
  TagVar map;
  map.Item(TagVar::Int(1)).SetInt(1);
  const int32_t h = map.MapHandle();
  {
    TagMsgList q;
    TagMsgFields rec;
    rec.SetField(0, map);
    rec.SetFieldCount(1);
    q.Send(rec);
    q.Send(rec);
    EXPECT_EQ(Reg().RefCount(h), 4);
    EXPECT_EQ(q.ClearForField(0, map), 2);
    EXPECT_EQ(Reg().RefCount(h), 2);
    q.Send(rec);
  }
  EXPECT_EQ(Reg().RefCount(h), 1);
  map.SetNull();
  EXPECT_FALSE(Reg().IsRegistered(h));
}

// Four lines sending to each other's queues and receiving at once (the
// ThreadSanitizer build checks the locking).
TEST(MsgQueue, FourThreadsSendAndReceiveAtOnce) {
  LimitScope limit(0);
  constexpr int kThreads = 4, kEach = 2000;
  TagMsgList queues[kThreads];
  queues[1].SetMsgOrderBy(0, 1);
  std::atomic<int> received{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TagMsgFields out;
      TagMsgFields rec;
      rec.sender = t;
      rec.SetFieldCount(1);
      for (int i = 0; i < kEach; ++i) {
        rec.SetField(0, TagVar::Int(i));
        queues[(t + 1) % kThreads].Send(rec);
        if (queues[t].Recv(out)) received.fetch_add(1);
        queues[(t + 2) % kThreads].Size();
      }
    });
  }
  for (auto& th : threads) th.join();
  int left = 0;
  for (auto& q : queues) left += q.Count();
  EXPECT_EQ(received.load() + left, kThreads * kEach);
}

}  // namespace
