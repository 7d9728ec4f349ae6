// An index from short byte keys (names, constant keys) to variable numbers.
// Open addressing over one slot array, the keys' bytes kept in one buffer:
// no node per entry, and a probe touches one slot and one key. A script's
// compile looks a name or a literal up for nearly every operand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TagNameIndex {
 public:
  // A key as a leading byte and the rest: constant keys are a type byte and
  // the value's bytes, looked up without first being copied together (bytes
  // just written and read back in other widths stall the reads).
  struct Key {
    std::string_view rest;
    char head = 0;
    bool hasHead = false;
    size_t size() const { return rest.size() + (hasHead ? 1 : 0); }
  };
  static Key Whole(std::string_view key) {
    return key.empty() ? Key{} : Key{key.substr(1), key[0], true};
  }
  static uint64_t Hash(const Key& key);
  static uint64_t Hash(std::string_view key) { return Hash(Whole(key)); }

  // The value kept for the key, or nullptr. The pointer holds until the next
  // insertion or Clear.
  int* Find(std::string_view key) { return Find(Whole(key)); }
  int* Find(std::string_view key, uint64_t hash) { return Find(Whole(key), hash); }
  int* Find(const Key& key) { return Find(key, Hash(key)); }
  int* Find(const Key& key, uint64_t hash);
  // Keeps key -> value unless the key is there already; gives the kept
  // value's place and whether this call added it.
  std::pair<int*, bool> TryEmplace(std::string_view key, int value) { return TryEmplace(Whole(key), value); }
  std::pair<int*, bool> TryEmplace(const Key& key, int value) { return TryEmplace(key, Hash(key), value); }
  std::pair<int*, bool> TryEmplace(const Key& key, uint64_t hash, int value);
  void Clear();
  // Room for this many keys in all without growing.
  void Reserve(size_t keys);
  size_t Size() const { return entries_.size(); }

 private:
  // A slot is eight bytes: a probe for a key that is not there (every new
  // name and literal) reads only slots, many to a cache line.
  struct Slot {
    uint32_t tag;    // low bits of the hash; the high bits chose the slot
    uint32_t entry;  // into entries_, kEmpty for a free slot
  };
  struct Entry {
    uint32_t off;  // the key's bytes in keys_
    uint32_t len;
    int32_t value;
  };
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  size_t SlotOf(uint64_t hash) const { return static_cast<size_t>(hash >> shift_); }
  bool Matches(const Slot& s, const Key& key, uint32_t tag) const;
  void Grow(size_t slots);

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::string keys_;
  size_t mask_ = 0;
  unsigned shift_ = 64;
};
