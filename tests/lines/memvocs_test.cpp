#include "lines/memvocs.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/tempdir.h"

namespace {

class MemVocs : public ::testing::Test {
 protected:
  void SetUp() override { cwd_ = std::make_unique<testsupport::ScopedCwd>(dir_.path()); }
  void TearDown() override { cwd_.reset(); }
  testsupport::TempDir dir_;
  std::unique_ptr<testsupport::ScopedCwd> cwd_;
  TagMemVocs store_;
};

TEST_F(MemVocs, LoadResults) {
  testsupport::WriteFile(dir_ / "a.wav", std::string(5000, 'x'));
  testsupport::WriteFile(dir_ / "empty.wav", "");
  EXPECT_EQ(store_.Load("a.wav"), 5000);
  EXPECT_EQ(store_.Load("a.wav"), -2);  // already loaded
  EXPECT_EQ(store_.Load(""), -1);
  EXPECT_EQ(store_.Load("empty.wav"), -2);
  EXPECT_EQ(store_.Load("none.wav"), -2);
  EXPECT_EQ(store_.Load("A.WAV"), 5000);  // found by the path helper, stored under its own name
  EXPECT_EQ(store_.Count(), 2u);
  auto v = store_.Find("a.wav");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->size, 5000);
  EXPECT_EQ(v->data, std::vector<uint8_t>(5000, 'x'));
  EXPECT_EQ(store_.Find("A.wav"), nullptr);  // case matters
  store_.Unload("never");
  EXPECT_EQ(store_.Count(), 2u);
  store_.UnloadAll();
  EXPECT_EQ(store_.Count(), 0u);
}

TEST_F(MemVocs, AVoiceInUseOutlivesAnUnloadOnAnotherThread) {
  testsupport::WriteFile(dir_ / "v.wav", std::string(300, 'v'));
  ASSERT_EQ(store_.Load("v.wav"), 300);
  auto inUse = store_.Find("v.wav");
  std::thread other([this] { store_.UnloadAll(); });
  other.join();
  EXPECT_EQ(store_.Find("v.wav"), nullptr);
  ASSERT_NE(inUse, nullptr);
  EXPECT_EQ(inUse->data.back(), 'v');
}

TEST_F(MemVocs, ConcurrentLoadsOfOneNameStoreItOnce) {
  testsupport::WriteFile(dir_ / "c.wav", std::string(100, 'c'));
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      if (store_.Load("c.wav") == 100) ++ok;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 1);
}

}  // namespace
