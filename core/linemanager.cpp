#include "core/linemanager.h"

#include <mutex>

#include "core/monitor.h"

std::atomic<bool> exitRequested{false};

namespace {

// The closing flag may be lowered only by the start of all lines, and not
// while an exit or a reset holds it up.
std::mutex g_closeLock;
bool g_closeHeld = false;

}  // namespace

void ClearCloseing() {
  std::lock_guard<std::mutex> l(g_closeLock);
  if (!g_closeHeld) isCloseing.store(false);
}

void HoldCloseing(bool hold) {
  std::lock_guard<std::mutex> l(g_closeLock);
  g_closeHeld = hold;
  if (hold) isCloseing.store(true);
}

bool TryHoldCloseing() {
  std::lock_guard<std::mutex> l(g_closeLock);
  if (isCloseing.load()) return false;
  g_closeHeld = true;
  isCloseing.store(true);
  return true;
}
