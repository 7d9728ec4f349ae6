// The user library registry's function list: lines resolve names while other
// lines look them up, without a lock on the lookup.
#include "services/dllbridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(DllFunctionList, LookupsWhileAnotherLineAppends) {
  // A library that failed to load still records the names asked for.
  TagDllName dll("rodiz-no-such-library.so");
  ASSERT_FALSE(dll.Loaded());
  constexpr int kNames = 300;
  std::atomic<bool> done{false};
  std::atomic<int> badSeen{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!done.load()) {
        const int n = dll.FuncCount();
        // Every entry counted is complete and reachable.
        for (int i = 0; i < n; ++i) {
          const TagDllFunc* f = dll.FindFunc("f" + std::to_string(i));
          if (!f || f->argCount != i || f->entry != nullptr) badSeen.fetch_add(1);
        }
      }
    });
  }
  for (int i = 0; i < kNames; ++i) EXPECT_EQ(dll.AddFunc("f" + std::to_string(i), i), i + 1);
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(badSeen.load(), 0);
  // A name already there is not added again: its first count stays.
  EXPECT_EQ(dll.AddFunc("f5", 99), kNames);
  EXPECT_EQ(dll.FindFunc("f5")->argCount, 5);
  EXPECT_EQ(dll.FindFunc("absent"), nullptr);
}

}  // namespace
