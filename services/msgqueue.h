#pragma once
// Messages between the scripts of different lines: one message record
// (TagMsgFields) and a locked queue of them (TagMsgList) that can keep itself
// sorted by chosen fields. Every line has 64 queues plus a private reply
// queue; the process has 64 global queues and 64 queues of inter-line calls.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/tagvar.h"

// One message: a key, a sender and up to 20 fields. Stored values hold their
// own map references (Assign in, SetNull on the way out), so a queued copy
// never outlives a map the sender dropped.
class TagMsgFields {
 public:
  static constexpr int kMaxFields = 20;

  TagMsgFields() = default;
  TagMsgFields(const TagMsgFields& other) { Assign(other); }
  TagMsgFields& operator=(const TagMsgFields& other) {
    Assign(other);
    return *this;
  }
  ~TagMsgFields();

  // Copies the count, the sender, the key, the call tag and the first
  // count fields; fields past the count keep what they held.
  void Assign(const TagMsgFields& other);

  int FieldCount() const { return count_; }
  // Clamped to 0..20.
  void SetFieldCount(int n) { count_ = n < 0 ? 0 : n > kMaxFields ? kMaxFields : n; }
  // Any of the 20 fields whatever the count; false (nothing done) outside 0..19.
  bool SetField(int i, const TagVar& v);
  bool GetField(int i, TagVar& out) const;
  const TagVar& Field(int i) const { return fields_[i]; }
  TagVar& MutableField(int i) { return fields_[i]; }
  // The key for -1, field i for 0..19.
  const TagVar& Column(int i) const { return i < 0 ? key : fields_[i]; }

  int sender = 0;
  TagVar key;
  // Pairs an inter-line call's reply with its request; scripts never see it.
  uint32_t callTag = 0;

 private:
  int count_ = 0;
  TagVar fields_[kMaxFields];
};

// One order column: the key (-1) or a field (0..19), and its direction.
struct TagOrderCol {
  int column;
  bool descending;
};

// The order of a sorted queue: a strict weak order over the columns, in the
// order they were first added. Messages equal on every column compare equal,
// so a stable sort keeps them in arrival order.
class CompareByMsgFields {
 public:
  // -1 for i outside -1..19; order >= 0 adds or redirects column i, a
  // negative order removes it.
  int SetOrderCol(int i, int order);
  bool Empty() const { return cols_.empty(); }
  const std::vector<TagOrderCol>& Columns() const { return cols_; }
  bool operator()(const TagMsgFields& a, const TagMsgFields& b) const;

 private:
  std::vector<TagOrderCol> cols_;
};

// A locked queue of messages, oldest first unless order columns are set;
// then every send and write leaves it sorted by them (stably) before the
// lock is released, so no other line sees it half sorted.
class TagMsgList {
 public:
  TagMsgList() = default;
  TagMsgList(const TagMsgList&) = delete;
  TagMsgList& operator=(const TagMsgList&) = delete;
  ~TagMsgList();

  // The new number of messages, 0 when the queue was full (it holds at most
  // the process's limit + 1; limit 0: none).
  int Send(const TagMsgFields& msg);
  bool Recv(TagMsgFields& out);
  bool RecvForType(const TagVar& value, TagMsgFields& out);
  bool RecvForField(int i, const TagVar& value, TagMsgFields& out);
  bool RecvFor2Field(int i, const TagVar& value1, bool either, int j, const TagVar& value2, TagMsgFields& out);
  // The number removed.
  int Clear();
  int ClearFrom(int line);
  int ClearForType(const TagVar& value);
  int ClearForField(int i, const TagVar& value);
  int Count();
  int CountForType(const TagVar& value);
  int CountForField(int i, const TagVar& value);
  // Per value of column i (the key for -1): an int entry of map is raised
  // by one, any other becomes 1. Returns the number of entries set to 1.
  int CountByValue(int i, TagVar& map);
  // mode -1 the oldest, -2 a key match, i >= 0 a field match.
  bool Read(int mode, const TagVar& value, TagMsgFields& out);
  // Column j of the matching messages as ","-joined text of at most 2047
  // bytes; every match counts.
  int ReadFor(int i, const TagVar& value, int j, std::string& out);
  // Sets the key (j < 0) or field j of the first message Read would find:
  // 1 found, 0 not.
  int Write(int mode, const TagVar& value, int j, const TagVar& newValue);
  // 0, -1 for i outside -1..19. Takes effect at the next send or write.
  int SetMsgOrderBy(int i, int order);
  // Sorts by the columns in force: 0 without columns, 1 sorted.
  int Sort();
  // Without the lock (a snapshot).
  size_t Size() const { return size_.load(std::memory_order_relaxed); }
  // The message a call reply queue is waiting for: takes the first with
  // that tag, dropping every other one it passes. False when none came.
  bool RecvTagged(uint32_t tag, TagMsgFields& out);

 private:
  using Queue = std::deque<std::unique_ptr<TagMsgFields>>;
  template <class Pred>
  bool TakeFirst(Pred pred, TagMsgFields& out);
  template <class Pred>
  int RemoveAll(Pred pred);
  template <class Pred>
  int CountIf(Pred pred);
  Queue::iterator FindForRead(int mode, const TagVar& value);
  void SortLocked();
  void Publish() { size_.store(msgs_.size(), std::memory_order_relaxed); }

  std::mutex mu_;
  Queue msgs_;
  CompareByMsgFields order_;
  // The queue is in the order of the columns in force: a send then needs a
  // search and an insert, not a sort.
  bool inOrder_ = true;
  std::atomic<size_t> size_{0};
};

// The process-wide queues: 64 global message queues and 64 queues of
// inter-line calls; null outside 0..63.
constexpr int kMsgQueueCount = 64;
TagMsgList* GlobalMsgQueue(int q);
TagMsgList* CallQueue(int q);
