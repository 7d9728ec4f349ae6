#pragma once
#include <cstdint>
#include <functional>
#include <mutex>

// The process's own processor use, measured at most once per 400 ms.
class GetCPUPercentage {
 public:
  GetCPUPercentage();
  int GetPercent();
  // Kernel plus user time of the process in ms; -1 when unreadable.
  int ReadCpuTime(uint64_t& ms);

  // Tests and busy build machines replace the measurement; an empty function
  // restores it. RODIZ_CPU_GATE=0 in the environment makes the meter read 0.
  void SetOverride(std::function<int()> percent);

 private:
  std::mutex lock_;
  bool haveProcess_ = false;
  uint32_t lastTick_ = 0;
  int lastPercent_ = 0;
  uint64_t lastCpuMs_ = 0;
  std::function<int()> override_;
};

GetCPUPercentage& CpuMeter();

// Sleeps in 50 ms steps until at least ms have passed; always sleeps once.
uint32_t WaitMs(uint32_t ms);

// Up to count x 10 tries: below 55 % sleep ms (when above 0) and return true;
// else sleep 320 ms. Returns false when the tries ran out or stop() said so.
bool WaitWhileCpuBusy(int count, uint32_t ms, const std::function<bool()>& stop = {});
