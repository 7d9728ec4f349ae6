#include "engine/timers.h"

#include <cmath>
#include <climits>
#include <iterator>

#include "engine/tagvar.h"
#include "engine/telbasic.h"
#include "platform/tick.h"

int TagTimer::Fire() {
  if (!enabled) return -1;
  uint32_t now = plat::TickCount();
  // Unsigned difference: right across the tick counter's wrap.
  if (intervalMs > 0 && now - startTick < static_cast<uint32_t>(intervalMs)) return 0;
  call_->Execute();
  startTick = plat::TickCount();
  return 1;
}

int TagSysTimers::Add(const std::string& name, std::unique_ptr<TagOper> call, TagTelBasic* owner) {
  if (timers_.count(name)) return 0;
  timers_.emplace(name, std::make_unique<TagTimer>(std::move(call), owner));
  return 1;
}

TagTimer* TagSysTimers::Find(const TagVar& v) {
  auto it = timers_.find(v.Name());
  return it == timers_.end() || it->second->dead ? nullptr : it->second.get();
}

void TagSysTimers::SetEnabled(TagTimer& t, bool on) {
  if (t.enabled == on) return;
  t.enabled = on;
  enabledCount_ += on ? 1 : -1;
  // The shared tick runs only while some line has a timer enabled.
  if (on && enabledCount_ == 1) {
    plat::HoldSharedTick();
    tick_ = &plat::SharedTickWord();
  } else if (!on && enabledCount_ == 0) {
    plat::ReleaseSharedTick();
  }
}

TagSysTimers::~TagSysTimers() {
  if (enabledCount_ > 0) plat::ReleaseSharedTick();
}

int TagSysTimers::Start(const TagVar& v, int ms) {
  TagTimer* t = Find(v);
  if (!t) return -1;
  t->intervalMs = ms;
  t->startTick = plat::TickCount();
  SetEnabled(*t, true);
  PlanNext();
  return 0;
}

int TagSysTimers::Stop(const TagVar& v) {
  if (v.IsInt() && v.IntValue() == 0) {
    StopAll();
    return 0;
  }
  TagTimer* t = Find(v);
  if (!t) return -1;
  SetEnabled(*t, false);
  return 0;
}

void TagSysTimers::StopAll() {
  for (auto& [name, t] : timers_) SetEnabled(*t, false);
}

void TagSysTimers::PlanNext() {
  bool any = false;
  int32_t soonest = 0;
  const uint32_t now = plat::TickCount();
  for (auto& [name, t] : timers_) {
    if (!t->enabled || t->dead) continue;
    // Ticks until due, relative to now so the counter's wrap does not matter.
    int64_t left = static_cast<int64_t>(t->intervalMs) - static_cast<int32_t>(now - t->startTick);
    int32_t in = left < 0 ? 0 : left > INT32_MAX / 2 ? INT32_MAX / 2 : static_cast<int32_t>(left);
    if (!any || in < soonest) soonest = in;
    any = true;
  }
  // On the coarse clock's scale, which the poll reads: a timer due at once
  // is looked at by the next poll.
  nextDue_ = (tick_ ? tick_->load() : plat::CoarseTickCount()) + static_cast<uint32_t>(soonest);
}

void TagSysTimers::PollDue() {
  // The shared tick lags by a few ms: a timer fires at most that much late,
  // never early (each timer decides on the exact clock).
  busy_ = true;
  for (auto& [name, t] : timers_)
    if (!t->dead) t->Fire();
  busy_ = false;
  if (hasDead_) EraseDead();
  PlanNext();
}

void TagSysTimers::RemoveOwnedBy(const TagTelBasic* inst) {
  for (auto it = timers_.begin(); it != timers_.end();) {
    TagTimer& t = *it->second;
    const TagTelBasic* owner = t.Owner();
    bool owned = !t.dead && (owner == inst || (owner && owner->parent == inst));
    if (!owned) {
      ++it;
      continue;
    }
    SetEnabled(t, false);
    if (busy_) {
      // Removed from inside a poll (a timer's function ran a nested script):
      // the poll still walks the map, so mark now and erase after it.
      t.dead = true;
      hasDead_ = true;
      ++it;
    } else {
      it = timers_.erase(it);
    }
  }
}

void TagSysTimers::EraseDead() {
  hasDead_ = false;
  for (auto it = timers_.begin(); it != timers_.end();) it = it->second->dead ? timers_.erase(it) : std::next(it);
}

int TagStartTimer::SecondsToMs(double seconds) {
  double ms = seconds * 1000.0;
  if (std::isnan(ms)) return 0;
  if (ms >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (ms <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(ms);
}


int TagStartTimer::Execute() {
  if (!Arg(0).IsFunction()) return -1;
  return root_->timers.Start(Arg(0), SecondsToMs(Arg(1).AsDouble()));
}

int TagStopTimer::Execute() { return root_->timers.Stop(Arg(0)); }
