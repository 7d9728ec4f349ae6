#pragma once
#include <pthread.h>

#include <cstddef>
#include <functional>

namespace plat {

// A joinable thread with a chosen stack size (line threads get 512 KB, as the
// scripts were written for). Destroying a Thread that still runs joins it.
class Thread {
 public:
  static constexpr size_t kLineStack = 512 * 1024;

  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts fn on a new thread; false when the thread could not be made
  // (the thread object stays empty then).
  bool Start(std::function<void()> fn, size_t stackSize = kLineStack);
  void Join();
  bool Joinable() const { return started_; }
  // True when called on this thread itself (joining it would deadlock).
  bool IsCurrent() const;

 private:
  static void* Entry(void* arg);
  pthread_t tid_{};
  bool started_ = false;
};

}  // namespace plat
