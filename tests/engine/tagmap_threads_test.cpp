// One map used by several line threads at once (shared values, messages):
// element access, nested maps, set operations and printing must neither race
// nor lose updates. Run under the tsan preset as well.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/tagmap.h"
#include "platform/thread.h"

namespace {

TEST(MapThreads, SharedMapUnderConcurrentUse) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 1500;
  auto& reg = TagMapObject::Instance();
  size_t base = reg.MapCount();

  TagVar shared;
  shared.Item(TagVar::Str("log")).SetString("");
  std::atomic<int> badValues{0};
  std::atomic<int> ready{0};

  std::vector<std::unique_ptr<plat::Thread>> threads;
  for (int id = 0; id < kThreads; ++id) {
    threads.push_back(std::make_unique<plat::Thread>());
    ASSERT_TRUE(threads.back()->Start([&, id] {
      TagVar mine;
      mine.Assign(shared);  // each line holds its own reference
      ready++;
      while (ready.load() < kThreads) std::this_thread::yield();
      TagVar tag = TagVar::Str("t" + std::to_string(id));
      TagVar out, key, tmp;
      for (int i = 0; i < kRounds; ++i) {
        mine.SetItem(TagVar::Int(i % 40), tag);
        mine.GetItem(TagVar::Int((i + 7) % 40), out);
        if (!out.IsNull() && !(out.IsString() && out.Text()[0] == 't')) badValues++;
        mine.RemoveItem(TagVar::Int((i + 13) % 40));

        // A nested map handed over and replaced: counts move under the lock.
        TagVar sub;
        sub.Item(TagVar::Int(0)).SetInt(i);
        mine.SetItem(TagVar::Str("sub" + std::to_string(id % 2)), sub);
        sub.SetNull();

        // An in-place update of one element, holding the lock across it.
        {
          auto lock = reg.LockMap(mine.MapHandle());
          mine.Item(TagVar::Str("log")).AppendBytes("x", 1);
        }

        if (i % 50 == 0) {
          TagVar::Calculate('+', tmp, mine, &mine);  // union
          TagVar::Calculate('-', tmp, mine, &tmp);   // difference
          std::string text = mine.ToText();
          if (text.empty() || text[0] != '{') badValues++;
          mine.EntryAt(i % 10, key, out);
          std::vector<TagVarP> keys;
          mine.Keys(keys);
          if (mine.Length() < 1) badValues++;
        }
      }
      tmp.SetNull();
      out.SetNull();
      mine.SetNull();
    }));
  }
  for (auto& t : threads) t->Join();

  EXPECT_EQ(badValues.load(), 0);
  TagVar log;
  shared.GetItem(TagVar::Str("log"), log);
  EXPECT_EQ(log.Length(), kThreads * kRounds);  // no append lost
  EXPECT_EQ(reg.RefCount(shared.MapHandle()), 1);
  shared.SetNull();
  EXPECT_EQ(reg.MapCount(), base);
}

// Runs fn(id) on n threads that start together.
template <typename Fn>
void OnThreads(int n, Fn fn) {
  std::atomic<int> ready{0};
  std::vector<std::unique_ptr<plat::Thread>> threads;
  for (int id = 0; id < n; ++id) {
    threads.push_back(std::make_unique<plat::Thread>());
    ASSERT_TRUE(threads.back()->Start([&, id] {
      ready++;
      while (ready.load() < n) std::this_thread::yield();
      fn(id);
    }));
  }
  for (auto& t : threads) t->Join();
}

// Two maps holding each other, each line working on both: element writes,
// removals, reads, printing and set operations cross from one map's lock to
// the other's in both orders, and must neither deadlock nor lose counts.
TEST(MapThreads, MapsHoldingEachOtherUsedFromTwoLines) {
  auto& reg = TagMapObject::Instance();
  const size_t base = reg.MapCount();
  TagVar a, b;
  a.SetItem(TagVar::Int(1), TagVar::Int(0));
  b.SetItem(TagVar::Int(1), a);
  a.SetItem(TagVar::Int(1), b);
  a.SetItem(TagVar::Int(2), a);  // and itself
  std::atomic<int> bad{0};
  OnThreads(2, [&](int id) {
    TagVar mine, other, out, tmp;
    mine.Assign(id ? b : a);
    other.Assign(id ? a : b);
    TagVar key = TagVar::Str(id ? "y" : "x");
    for (int i = 0; i < 800; ++i) {
      mine.SetItem(key, other);
      other.SetItem(key, mine);
      other.RemoveItem(key);
      mine.GetItem(TagVar::Int(1), out);
      if (out.MapHandle() != other.MapHandle()) bad++;
      if (i % 20 == 0) {
        std::string text = mine.ToText();
        if (text.find("{...}") == std::string::npos) bad++;
        TagVar::Calculate('+', tmp, mine, &other);
        TagVar::Calculate('*', tmp, tmp, &mine);
        TagVar::Calculate('-', tmp, other, &tmp);
      }
    }
    mine.RemoveItem(key);
    for (TagVar* v : {&mine, &other, &out, &tmp}) v->SetNull();
  });
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(reg.RefCount(a.MapHandle()), 3);  // a, b[1], a[2]
  EXPECT_EQ(reg.RefCount(b.MapHandle()), 2);  // b, a[1]
  a.RemoveItem(TagVar::Int(2));
  a.RemoveItem(TagVar::Int(1));
  a.SetNull();
  b.SetNull();
  EXPECT_EQ(reg.MapCount(), base);
}

// A line replaces the map under a shared key again and again while others
// read it: each reader holds the map it got while it checks it, and a map
// nobody holds any more is freed even while a reader's thread still has it
// among the maps it used last.
TEST(MapThreads, MapsFreedWhileOtherLinesReadThem) {
  auto& reg = TagMapObject::Instance();
  const size_t base = reg.MapCount();
  constexpr int kRounds = 600;
  TagVar slot;
  slot.SetItem(TagVar::Int(0), TagVar::Int(0));
  std::atomic<bool> writing{true};
  std::atomic<int> bad{0}, reads{0};
  OnThreads(3, [&](int id) {
    TagVar shared;
    shared.Assign(slot);
    if (id == 0) {
      for (int r = 1; r <= kRounds; ++r) {
        TagVar fresh;
        for (int i = 0; i < 10; ++i) fresh.SetItem(TagVar::Int(i), TagVar::Int(r));
        fresh.SetItem(TagVar::Str("round"), TagVar::Int(r));
        shared.SetItem(TagVar::Int(0), fresh);  // the old map loses its last holder here
        fresh.SetNull();
      }
      writing = false;
    } else {
      TagVar got, v;
      while (writing.load() || reads.load() < 50) {
        shared.GetItem(TagVar::Int(0), got);
        if (!got.IsMap()) continue;
        got.GetItem(TagVar::Str("round"), v);
        const int32_t r = v.AsInt();
        for (int i = 0; i < 10; ++i) {
          got.GetItem(TagVar::Int(i), v);
          if (v.AsInt() != r) bad++;
        }
        if (got.Length() != 11) bad++;
        reads++;
      }
      got.SetNull();
      v.SetNull();
    }
    shared.SetNull();
  });
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(reg.RefCount(slot.MapHandle()), 1);
  slot.SetNull();
  EXPECT_EQ(reg.MapCount(), base);
}

// One line appends to a map's array part (which moves as it grows) while
// others read the keys already written.
TEST(MapThreads, ReadsWhileTheArrayPartGrows) {
  constexpr int kKeys = 20000;
  TagVar shared;
  shared.SetItem(TagVar::Int(0), TagVar::Int(0));
  std::atomic<int> written{1};
  std::atomic<int> bad{0};
  OnThreads(3, [&](int id) {
    TagVar mine, v;
    mine.Assign(shared);
    if (id == 0) {
      for (int i = 1; i < kKeys; ++i) {
        mine.SetItem(TagVar::Int(i), TagVar::Int(i));
        written.store(i + 1, std::memory_order_release);
      }
    } else {
      uint32_t x = uint32_t(id);
      while (written.load() < kKeys) {
        x = x * 1103515245u + 12345u;
        const int k = int((x >> 8) % uint32_t(written.load(std::memory_order_acquire)));
        mine.GetItem(TagVar::Int(k), v);
        if (v.AsInt() != k) bad++;
      }
    }
    mine.SetNull();
  });
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(shared.Length(), kKeys);
  shared.SetNull();
}

}  // namespace
