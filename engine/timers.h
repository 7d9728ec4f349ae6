#pragma once
// Script timers: functions called periodically by the run loops between
// operations ("StartTimer(", "StopTimer("). Not threads: a due timer runs its
// function synchronously on the line's thread.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/argoper.h"

class TagVar;
class TagTelBasic;

class TagTimer {
 public:
  TagTimer(std::unique_ptr<TagOper> call, TagTelBasic* owner) : call_(std::move(call)), owner_(owner) {}
  // -1 disabled, 0 not due yet, 1 fired (the interval then counts from the
  // end of the call, so missed intervals are not caught up).
  int Fire();

  uint32_t startTick = 0;
  int intervalMs = 1000;
  bool enabled = false;
  bool dead = false;  // removed while a poll was walking the set
  TagTelBasic* Owner() const { return owner_; }

 private:
  std::unique_ptr<TagOper> call_;
  TagTelBasic* owner_;
};

// One set per main script, by the function variable's name, polled in name
// order. Used by the line's thread only.
class TagSysTimers {
 public:
  TagSysTimers() = default;
  ~TagSysTimers();
  TagSysTimers(const TagSysTimers&) = delete;
  TagSysTimers& operator=(const TagSysTimers&) = delete;

  // At compile time: -1 when fn is not a function, 0 when that name has a
  // timer already, 1 after adding a disabled 1000 ms timer calling fn with no
  // arguments on behalf of owner.
  int Add(TagVar* fn, TagTelBasic* owner);
  // The same with a ready call operation (and for tests).
  int Add(const std::string& name, std::unique_ptr<TagOper> call, TagTelBasic* owner);
  TagTimer* Find(const TagVar& v);
  // -1 when no timer has that name; else enabled from now with interval ms; 0.
  int Start(const TagVar& v, int ms);
  // The int 0 stops every timer; else -1 when no timer has that name, or 0.
  int Stop(const TagVar& v);
  void StopAll();
  // Between operations: leaves at once when nothing is enabled or a timer's
  // own function is running.
  void Poll() {
    if (enabledCount_ == 0 || busy_) return;
    // Not due yet: one load of the shared tick, no clock read.
    if (static_cast<int32_t>(tick_->load(std::memory_order_relaxed) - nextDue_) < 0) return;
    PollDue();
  }
  // Removes the timers registered by inst or its function bodies (a nested
  // script that ends), so none calls into a deleted script.
  void RemoveOwnedBy(const TagTelBasic* inst);
  size_t Size() const { return timers_.size(); }
  int EnabledCount() const { return enabledCount_; }

 private:
  void PollDue();
  void SetEnabled(TagTimer& t, bool on);
  // nextDue_ from the enabled timers.
  void PlanNext();
  void EraseDead();
  std::map<std::string, std::unique_ptr<TagTimer>> timers_;
  int enabledCount_ = 0;
  // No enabled timer is due before this tick: most polls end with one cheap
  // clock read.
  uint32_t nextDue_ = 0;
  // The process's shared tick, once a timer has been enabled.
  const std::atomic<uint32_t>* tick_ = nullptr;
  bool busy_ = false;
  bool hasDead_ = false;
};

// "StartTimer(" function, seconds (kind kOpOperation). Registers at construction.
class TagStartTimer : public TagArgOper {
 public:
  TagStartTimer(TagTelBasic* root, TagTelBasic* inst, TagVar* fn, TagVar* seconds);
  int Execute() override;
  // seconds * 1000 truncated, clamped into the int range (NaN gives 0).
  static int SecondsToMs(double seconds);
};

// "StopTimer(" function or 0.
class TagStopTimer : public TagArgOper {
 public:
  using TagArgOper::TagArgOper;
  TagStopTimer(TagTelBasic* root, TagVar* which) : TagArgOper({which}, root) {}
  int Execute() override;
};
