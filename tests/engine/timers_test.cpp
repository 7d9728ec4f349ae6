#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>

#include "engine/timers.h"
#include "platform/tick.h"
#include "tests/engine/handops.h"

namespace {

using handops::Fixture;
using handops::FnOper;

TagVar Named(const std::string& name) {
  TagVar v;
  v.SetName(name);
  return v;
}

class TimerTest : public Fixture {
 protected:
  // A timer named name whose call counts into *count (and runs extra).
  void AddTimer(const std::string& name, int* count, std::function<void()> extra = {}) {
    auto call = std::make_unique<FnOper>([count, extra] {
      ++*count;
      if (extra) extra();
      return 0;
    });
    ASSERT_EQ(inst_->timers.Add(name, std::move(call), inst_.get()), 1);
  }
};

TEST_F(TimerTest, RegistryAnswers) {
  int n = 0;
  AddTimer("f", &n);
  AddTimer("g", &n);
  TagSysTimers& t = inst_->timers;
  struct Case {
    const char* what;
    std::function<int()> act;
    int result;
    int enabledAfter;
  } cases[] = {
      {"second registration", [&] { return t.Add("f", std::make_unique<FnOper>([] { return 0; }), nullptr); }, 0, 0},
      {"start unknown", [&] { return t.Start(Named("h"), 10); }, -1, 0},
      {"start f", [&] { return t.Start(Named("f"), 10); }, 0, 1},
      {"start f again restarts", [&] { return t.Start(Named("f"), 20); }, 0, 1},
      {"start g", [&] { return t.Start(Named("g"), 10); }, 0, 2},
      {"stop unknown", [&] { return t.Stop(Named("h")); }, -1, 2},
      {"stop g", [&] { return t.Stop(Named("g")); }, 0, 1},
      {"stop 0 stops all", [&] { return t.Stop(TagVar::Int(0)); }, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.act(), c.result) << c.what;
    EXPECT_EQ(t.EnabledCount(), c.enabledAfter) << c.what;
  }
  EXPECT_EQ(t.Size(), 2u);  // stopping keeps the timers registered
  EXPECT_EQ(t.Find(Named("f"))->intervalMs, 20);
  t.Poll();
  EXPECT_EQ(n, 0);
}

TEST_F(TimerTest, FireAnswersByState) {
  int n = 0;
  AddTimer("f", &n);
  TagTimer* t = inst_->timers.Find(Named("f"));
  EXPECT_EQ(t->Fire(), -1);  // disabled at registration
  inst_->timers.Start(Named("f"), 60000);
  EXPECT_EQ(t->Fire(), 0);
  t->startTick = plat::TickCount() - 60001;
  EXPECT_EQ(t->Fire(), 1);
  EXPECT_EQ(n, 1);
  EXPECT_EQ(t->Fire(), 0);  // counts again from the end of the call
}

TEST_F(TimerTest, FiresRepeatedlyBetweenShortOperations) {
  int n = 0;
  AddTimer("f", &n);
  // Read before the timer starts: a preemption in between must not count.
  const uint32_t start = plat::TickCount();
  ASSERT_EQ(inst_->timers.Start(Named("f"), 30), 0);
  Add([] {
    plat::SleepMs(2);
    return 0;
  });
  Add([&] {
    // Generous bound: end the script once it fired enough or far too late.
    if (n >= 4 || plat::TickCount() - start > 20000) inst_->SetQuitRequest(true);
    return 0;
  });
  inst_->Run();
  EXPECT_GE(n, 4);
  // Never caught up: four firings need at least four intervals.
  EXPECT_GE(plat::TickCount() - start, 4u * 30u);
}

// Statements that never wait: the timer still comes due between them.
TEST_F(TimerTest, FiresInsideATightLoop) {
  int n = 0;
  AddTimer("f", &n);
  const uint32_t start = plat::TickCount();
  ASSERT_EQ(inst_->timers.Start(Named("f"), 20), 0);
  int64_t passes = 0;
  Add([&] {
    ++passes;
    return 0;
  });
  Add([&] {
    if (n >= 3 || plat::TickCount() - start > 20000) inst_->SetQuitRequest(true);
    return 0;
  });
  inst_->Run();
  EXPECT_GE(n, 3);
  EXPECT_GT(passes, 3);
  EXPECT_GE(plat::TickCount() - start, 3u * 20u);
}

TEST_F(TimerTest, LongOperationGivesOneLateFiring) {
  int n = 0, seenAfterLong = -1;
  AddTimer("f", &n);
  inst_->timers.Start(Named("f"), 10);
  Add([] {
    plat::SleepMs(150);  // many intervals pass inside one operation
    return 0;
  });
  Add([&] {
    seenAfterLong = n;
    return 0;
  });
  Add([] { return 0; }, kOpReturn);
  inst_->Run();
  EXPECT_EQ(seenAfterLong, 1);
}

TEST_F(TimerTest, TimerFunctionDoesNotPollAgain) {
  int n = 0;
  AddTimer("f", &n, [&] { inst_->timers.Poll(); });  // its own run loop polls too
  inst_->timers.Start(Named("f"), 0);
  inst_->timers.Poll();
  EXPECT_EQ(n, 1);
}

TEST_F(TimerTest, NestedScriptsTimersAreRemovedEvenFromInsideAPoll) {
  auto nested = MakeInstance(0, inst_.get());
  auto* body = new TagTelBasic("none.kxs", "fn", nested.get());
  nested->functions.push_back(body);
  int mine = 0, byNested = 0, byBody = 0;
  AddTimer("a", &mine);
  // The body's timer ends the nested script while the poll walks the set;
  // the nested script's own timer comes after it in name order.
  inst_->timers.Add("b", std::make_unique<FnOper>([&] {
                      ++byBody;
                      inst_->timers.RemoveOwnedBy(nested.get());
                      return 0;
                    }),
                    body);
  inst_->timers.Add("c", std::make_unique<FnOper>([&] { return ++byNested; }), nested.get());
  for (const char* name : {"a", "b", "c"}) inst_->timers.Start(Named(name), 0);
  inst_->timers.Poll();
  EXPECT_EQ(byBody, 1);
  EXPECT_EQ(byNested, 0);  // removed before its turn came
  EXPECT_EQ(inst_->timers.Size(), 1u);
  EXPECT_EQ(inst_->timers.Find(Named("c")), nullptr);
  nested.reset();
  inst_->timers.Poll();
  EXPECT_EQ(mine, 2);
  EXPECT_EQ(inst_->timers.EnabledCount(), 1);
}

TEST(StartTimerSeconds, ConvertsAndClamps) {
  struct Case {
    double seconds;
    int ms;
  } cases[] = {{0.5, 500}, {1, 1000}, {0.0019, 1}, {-2, -2000}, {1e12, INT_MAX}, {-1e12, INT_MIN}, {NAN, 0}};
  for (const auto& c : cases) EXPECT_EQ(TagStartTimer::SecondsToMs(c.seconds), c.ms) << c.seconds;
}

}  // namespace
