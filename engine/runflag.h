#pragma once
// Requests that other threads (or operations) make of a line's run loops:
// stop, quit, reload, pause. Raising one (storing non-zero) also raises the
// line's attention word, so a run loop tests one word per statement and
// reads the flags themselves only when it is set. The flag is stored before
// the word: a loop that clears the word and then reads the flags misses
// nothing.
#include <atomic>
#include <cstdint>

class TagRunFlag {
 public:
  TagRunFlag() = default;
  TagRunFlag(const TagRunFlag&) = delete;
  TagRunFlag& operator=(const TagRunFlag&) = delete;

  // The word this flag raises (set once, before any other thread sees it).
  void Bind(std::atomic<uint32_t>* word) { word_ = word; }

  uint8_t load(std::memory_order order = std::memory_order_seq_cst) const { return value_.load(order); }
  void store(uint8_t v, std::memory_order order = std::memory_order_seq_cst) {
    value_.store(v, order);
    if (v && word_) word_->store(1, std::memory_order_seq_cst);
  }
  uint8_t operator=(uint8_t v) {
    store(v);
    return v;
  }
  operator uint8_t() const { return load(); }

 private:
  std::atomic<uint8_t> value_{0};
  std::atomic<uint32_t>* word_ = nullptr;
};
