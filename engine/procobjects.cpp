#include "engine/procobjects.h"

#include <array>
#include <mutex>

namespace {

struct Slot {
  std::function<void()> make, free;
  bool made = false;
};

struct Registry {
  std::mutex lock;
  std::array<Slot, static_cast<size_t>(TagProcessSlot::kCount)> slots;
  bool started = false;
};

Registry& Reg() {
  static Registry r;
  return r;
}

}  // namespace

void InstallProcessObject(TagProcessSlot slot, std::function<void()> make, std::function<void()> free) {
  Registry& r = Reg();
  std::function<void()> runNow;
  {
    std::lock_guard<std::mutex> g(r.lock);
    Slot& s = r.slots[static_cast<size_t>(slot)];
    s.make = std::move(make);
    s.free = std::move(free);
    if (r.started && !s.made && s.make) {
      s.made = true;
      runNow = s.make;
    }
  }
  if (runNow) runNow();
}

void StartProcessObjects() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  if (r.started) return;
  r.started = true;
  for (Slot& s : r.slots) {
    if (s.make && !s.made) {
      s.make();
      s.made = true;
    }
  }
}

void FinishProcessObjects() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  for (size_t i = r.slots.size(); i-- > 0;) {
    Slot& s = r.slots[i];
    if (s.made) {
      if (s.free) s.free();
      s.made = false;
    }
  }
  r.started = false;
}

bool ProcessObjectsStarted() {
  Registry& r = Reg();
  std::lock_guard<std::mutex> g(r.lock);
  return r.started;
}
