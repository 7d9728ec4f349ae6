#pragma once
// Requests that other threads (or operations) make of a line's run loops:
// stop, quit, reload, pause. Raising one (storing non-zero) also raises the
// line's attention word, so a run loop tests one word per statement and
// reads the flags themselves only when it is set. The flag is stored before
// the word: a loop that clears the word and then reads the flags misses
// nothing. A flag may also notify a line's wakeup, so a line sleeping in a
// wait hears of it at once.
#include <atomic>
#include <cstdint>

#include "platform/wakeup.h"

class TagRunFlag {
 public:
  TagRunFlag() = default;
  TagRunFlag(const TagRunFlag&) = delete;
  TagRunFlag& operator=(const TagRunFlag&) = delete;

  // The word this flag raises and the wakeup it notifies (set once, before
  // any other thread sees the flag; either may be null).
  void Bind(std::atomic<uint32_t>* word, plat::Wakeup* wake = nullptr) {
    word_ = word;
    wake_ = wake;
  }

  uint8_t load(std::memory_order order = std::memory_order_seq_cst) const { return value_.load(order); }
  void store(uint8_t v, std::memory_order order = std::memory_order_seq_cst) {
    value_.store(v, order);
    if (!v) return;
    if (word_) word_->store(1, std::memory_order_seq_cst);
    if (wake_) wake_->Notify();
  }
  uint8_t operator=(uint8_t v) {
    store(v);
    return v;
  }
  operator uint8_t() const { return load(); }
  // The flag itself, for code that only reads it.
  const std::atomic<uint8_t>& Raw() const { return value_; }

 private:
  std::atomic<uint8_t> value_{0};
  std::atomic<uint32_t>* word_ = nullptr;
  plat::Wakeup* wake_ = nullptr;
};
