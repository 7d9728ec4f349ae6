#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/wakeup.h"

namespace {

TEST(Wakeup, NoticesAreKeptTakenOnceAndCutASleepShort) {
  plat::Wakeup w;
  // Without a notice the sleep runs out.
  EXPECT_FALSE(w.Wait(1));
  // A notice before the wait is kept for it, and taken by it.
  w.Notify();
  w.Notify();
  EXPECT_TRUE(w.Wait(600000));
  EXPECT_FALSE(w.Wait(1));
  // A notice from another thread ends a long sleep.
  std::atomic<bool> woke{false};
  std::thread sleeper([&] { woke = w.Wait(600000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  w.Notify();
  sleeper.join();
  EXPECT_TRUE(woke.load());
}

}  // namespace
