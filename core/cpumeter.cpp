#include "core/cpumeter.h"

#include <sys/resource.h>

#include <cstdlib>
#include <cstring>

#include "platform/tick.h"

GetCPUPercentage::GetCPUPercentage() {
  uint64_t ms = 0;
  haveProcess_ = ReadCpuTime(ms) == 0;
  if (haveProcess_) {
    lastCpuMs_ = ms;
    lastTick_ = plat::TickCount();
  }
  const char* gate = std::getenv("RODIZ_CPU_GATE");
  if (gate && std::strcmp(gate, "0") == 0) override_ = [] { return 0; };
}

int GetCPUPercentage::ReadCpuTime(uint64_t& ms) {
  rusage ru{};
  if (getrusage(RUSAGE_SELF, &ru) != 0) return -1;
  auto toMs = [](const timeval& tv) {
    return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
  };
  ms = toMs(ru.ru_utime) + toMs(ru.ru_stime);
  return 0;
}

void GetCPUPercentage::SetOverride(std::function<int()> percent) {
  std::lock_guard<std::mutex> g(lock_);
  override_ = std::move(percent);
}

int GetCPUPercentage::GetPercent() {
  std::lock_guard<std::mutex> g(lock_);
  if (override_) return override_();
  if (!haveProcess_) return 0;
  uint32_t now = plat::TickCount();
  uint32_t elapsed = now - lastTick_;
  if (elapsed > 399) {
    uint64_t cpu = 0;
    if (ReadCpuTime(cpu) == 0) {
      lastPercent_ = static_cast<int>((cpu - lastCpuMs_) * 100u / elapsed);
      lastCpuMs_ = cpu;
    }
    lastTick_ = now;
  }
  return lastPercent_;
}

GetCPUPercentage& CpuMeter() {
  static GetCPUPercentage meter;
  return meter;
}

uint32_t WaitMs(uint32_t ms) {
  uint32_t start = plat::TickCount();
  uint32_t waited;
  do {
    plat::SleepMs(50);
    waited = plat::TickCount() - start;
  } while (waited < ms);
  return waited;
}

bool WaitWhileCpuBusy(int count, uint32_t ms, const std::function<bool()>& stop) {
  for (long long i = 0; i < static_cast<long long>(count) * 10; ++i) {
    if (stop && stop()) return false;
    if (CpuMeter().GetPercent() < 55) {
      if (ms > 0) plat::SleepMs(ms);
      return true;
    }
    plat::SleepMs(320);
  }
  return false;
}
