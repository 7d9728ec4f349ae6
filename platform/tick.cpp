#include "platform/tick.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace plat {

namespace {

// Trivially destroyed: readers that outlive the ticker still read a value.
std::atomic<uint32_t> g_sharedTick{0};
// Holders of the shared tick (enabled timers' owners): while there are none
// the ticker sleeps instead of waking 500 times a second.
std::atomic<int> g_tickUsers{0};
std::mutex g_tickLock;
std::condition_variable g_tickWake;

class SharedTicker {
 public:
  SharedTicker() : thread_([this] { Loop(); }) {}
  ~SharedTicker() {
    {
      std::lock_guard<std::mutex> g(g_tickLock);
      stop_.store(true);
    }
    g_tickWake.notify_all();
    thread_.join();
  }

 private:
  void Loop() {
    while (!stop_.load()) {
      if (g_tickUsers.load() <= 0) {
        std::unique_lock<std::mutex> g(g_tickLock);
        g_tickWake.wait(g, [this] { return stop_.load() || g_tickUsers.load() > 0; });
        continue;
      }
      SleepMs(2);
      g_sharedTick.store(CoarseTickCount(), std::memory_order_relaxed);
    }
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

const std::atomic<uint32_t>& SharedTickWord() {
  static const bool started = [] {
    g_sharedTick.store(CoarseTickCount());
    static SharedTicker ticker;
    return true;
  }();
  (void)started;
  return g_sharedTick;
}

void HoldSharedTick() {
  SharedTickWord();
  if (g_tickUsers.fetch_add(1) == 0) {
    // The word went stale while nobody held it: fresh before the first read.
    g_sharedTick.store(CoarseTickCount());
    { std::lock_guard<std::mutex> g(g_tickLock); }
    g_tickWake.notify_all();
  }
}

void ReleaseSharedTick() { g_tickUsers.fetch_sub(1); }

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

uint32_t CoarseTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

unsigned long ThreadId() {
  static thread_local unsigned long id = static_cast<unsigned long>(syscall(SYS_gettid));
  return id;
}

}  // namespace plat
