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
  // An entry without an address is not there: another attempt appends
  // another; the first still answers.
  EXPECT_EQ(dll.AddFunc("f5", 99), kNames + 1);
  EXPECT_EQ(dll.FindFunc("f5")->argCount, 5);
  EXPECT_EQ(dll.FindFunc("absent"), nullptr);
}

TEST(DllFunctionList, AResolvedNameIsNotAddedAgain) {
  TagDllName dll("libc.so.6");
  ASSERT_TRUE(dll.Loaded());
  EXPECT_EQ(dll.AddFunc("strlen", 1), 1);
  EXPECT_EQ(dll.AddFunc("strlen", 4), 1);
  ASSERT_NE(dll.FindFunc("strlen"), nullptr);
  EXPECT_EQ(dll.FindFunc("strlen")->argCount, 1);
}

}  // namespace
