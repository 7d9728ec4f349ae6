#pragma once
// Waiting for a condition in tests: poll with short sleeps until it holds or
// a generous time-out passes. Tests never assert how long something took.
#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// True as soon as cond holds; false when it still fails after timeoutMs.
// between runs before each poll (a GUI test pumps its events there).
inline bool WaitFor(const std::function<bool()>& cond, long timeoutMs = 20000,
                    const std::function<void()>& between = {}) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (between) between();
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace testsupport
