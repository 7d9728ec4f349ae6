#include <gtest/gtest.h>

#include <atomic>

#include "core/cpumeter.h"
#include "platform/tick.h"

namespace {

class CpuMeterTest : public ::testing::Test {
 protected:
  void TearDown() override { CpuMeter().SetOverride(nullptr); }
};

TEST_F(CpuMeterTest, MeasuresOwnProcessorTime) {
  GetCPUPercentage meter;
  meter.SetOverride(nullptr);  // RODIZ_CPU_GATE=0 would pin it at 0
  uint64_t before = 0;
  ASSERT_EQ(meter.ReadCpuTime(before), 0);
  // Spin until our own use shows in the processor time (on a loaded machine
  // that takes longer than the same span of wall time), and for longer than
  // the 400 ms the meter keeps a value.
  uint32_t start = plat::TickCount();
  uint64_t now = before;
  volatile uint64_t sink = 0;
  while ((now < before + 300 || plat::TickCount() - start < 450) && plat::TickCount() - start < 60000) {
    for (int i = 0; i < 1000000; ++i) sink = sink + 1;
    ASSERT_EQ(meter.ReadCpuTime(now), 0);
  }
  ASSERT_GE(now, before + 300) << "spinning does not show in the processor time";
  int busy = meter.GetPercent();
  EXPECT_GT(busy, 0);
  // Within 400 ms the stored value is handed out again.
  EXPECT_EQ(meter.GetPercent(), busy);
}

TEST_F(CpuMeterTest, IdleMachinePassesAtOnce) {
  std::atomic<int> asked{0};
  CpuMeter().SetOverride([&] {
    ++asked;
    return 10;
  });
  uint32_t start = plat::TickCount();
  EXPECT_TRUE(WaitWhileCpuBusy(200, 0));
  EXPECT_EQ(asked.load(), 1);
  EXPECT_LT(plat::TickCount() - start, 5000u);  // generous: it did not wait rounds of 320 ms
}

TEST_F(CpuMeterTest, BusyMachineWaitsCountTimesTenRounds) {
  std::atomic<int> asked{0};
  CpuMeter().SetOverride([&] {
    ++asked;
    return 60;
  });
  EXPECT_FALSE(WaitWhileCpuBusy(1, 0));
  EXPECT_EQ(asked.load(), 10);
}

TEST_F(CpuMeterTest, BusyWaitEndsWhenStopped) {
  std::atomic<int> asked{0};
  CpuMeter().SetOverride([&] {
    ++asked;
    return 99;
  });
  int polls = 0;
  EXPECT_FALSE(WaitWhileCpuBusy(200, 0, [&] { return ++polls > 2; }));
  EXPECT_EQ(asked.load(), 2);
}

TEST_F(CpuMeterTest, LoadDropsDuringTheWait) {
  std::atomic<int> asked{0};
  CpuMeter().SetOverride([&] { return ++asked < 3 ? 80 : 20; });
  EXPECT_TRUE(WaitWhileCpuBusy(5, 10));
  EXPECT_EQ(asked.load(), 3);
}

TEST(WaitMsTest, AlwaysSleepsAtLeastOnce) {
  for (uint32_t ms : {0u, 1u, 120u}) {
    uint32_t waited = WaitMs(ms);
    EXPECT_GE(waited, ms);
    EXPECT_GE(waited, 45u);  // one 50 ms step at least
  }
}

}  // namespace
