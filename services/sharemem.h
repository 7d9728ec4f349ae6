#pragma once
// A locked store of script values under keys, through which the scripts of
// different lines share state. A string key, a double key and any other key
// (by its stored integer) go to three separate maps, so 5, 5.0 and "5" are
// three keys. Stored values hold their own map references.
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "engine/tagmap.h"
#include "engine/tagvar.h"

class TagShareMem {
 public:
  TagShareMem() = default;
  TagShareMem(const TagShareMem&) = delete;
  TagShareMem& operator=(const TagShareMem&) = delete;
  ~TagShareMem();

  // The entries of the key's map afterwards.
  int Set(const TagVar& key, const TagVar& value);
  // The entries of the key's map; -1 absent (out unchanged).
  int Get(const TagVar& key, TagVar& out);
  // Old value out, then the new one in: the entries, -1 absent.
  int Acc(const TagVar& key, TagVar& oldOut, const TagVar& newValue);
  void Clear();
  // entry + n / entry - n, copied out: 0, -1 absent (nothing made).
  int Inc(const TagVar& key, const TagVar& n, TagVar& out);
  int Dec(const TagVar& key, const TagVar& n, TagVar& out);
  // When the key holds a value equal to `value` it becomes `newValue`, in
  // one lock hold: true when it did.
  bool ClaimIfEqual(const TagVar& key, const TagVar& value, const TagVar& newValue);

  // Held by a search over every line's store around its whole walk: the
  // order is this (global) store's search lock first, then a line's store.
  std::unique_lock<std::mutex> SearchLock() { return std::unique_lock(searchMu_); }

 private:
  TagVar* FindLocked(const TagVar& key);
  // The entry, made null when absent; the count of its map out.
  TagVar& EntryLocked(const TagVar& key, int& entries);
  int EntriesOf(const TagVar& key) const;

  std::mutex mu_;
  std::mutex searchMu_;
  std::map<int32_t, TagVar> ints_;
  std::map<std::string, TagVar, std::less<>> strs_;
  std::map<double, TagVar, TagDblKeyLess> dbls_;
};

// The process-wide store.
TagShareMem& GlobalShareMem();
