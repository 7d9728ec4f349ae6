#pragma once
// A line thread's sleep that other threads can cut short: the card's far end,
// the operator's keys and stop requests notify it, so a waiting line sleeps
// until its own deadline or a change that concerns it instead of waking on
// its own every few milliseconds. A notice given while nobody waits is kept
// for the next wait.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plat {

class Wakeup {
 public:
  Wakeup() = default;
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  void Notify() {
    {
      std::lock_guard<std::mutex> g(lock_);
      notified_ = true;
    }
    cv_.notify_all();
  }
  // Sleeps until a notice or ms pass; true when it was a notice (taken).
  bool Wait(uint32_t ms) {
    std::unique_lock<std::mutex> g(lock_);
    cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return notified_; });
    const bool was = notified_;
    notified_ = false;
    return was;
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool notified_ = false;
};

}  // namespace plat
