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

}  // namespace
