#include "engine/nameindex.h"

#include <cstring>
#include <limits>
#include <stdexcept>

uint64_t TagNameIndex::Hash(const Key& key) {
  // Eight bytes a step: keys are short, and byte-wise mixing cost more than
  // the probe itself. The last multiply spreads every byte into the high
  // bits, which choose the slot.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = (key.size() + 1) * 0xC2B2AE3D27D4EB4Full;
  if (key.hasHead) h = (h ^ static_cast<unsigned char>(key.head)) * kMul;
  const char* p = key.rest.data();
  size_t n = key.rest.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n != 0) {
    // The tail read in whole words (overlapping when needed): bytes stored
    // one by one and read back as a word would stall the load.
    uint64_t w;
    if (n >= 4) {
      uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
      w = (static_cast<uint64_t>(hi) << 32) | lo;
    } else {
      w = (static_cast<uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
          (static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) | static_cast<unsigned char>(p[n - 1]);
    }
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  h ^= h >> 32;
  h *= kMul;
  h ^= h >> 31;
  return h;
}

bool TagNameIndex::Matches(const Slot& s, const Key& key, uint32_t tag) const {
  if (s.tag != tag) return false;
  const Entry& e = entries_[s.entry];
  if (e.len != key.size()) return false;
  const char* k = keys_.data() + e.off;
  if (key.hasHead) {
    if (*k != key.head) return false;
    ++k;
  }
  return key.rest.empty() || std::memcmp(k, key.rest.data(), key.rest.size()) == 0;
}

int* TagNameIndex::Find(const Key& key, uint64_t hash) {
  if (entries_.empty()) return nullptr;
  const uint32_t tag = static_cast<uint32_t>(hash);
  for (size_t i = SlotOf(hash);; i = (i + 1) & mask_) {
    const Slot& s = slots_[i];
    if (s.entry == kEmpty) return nullptr;
    if (Matches(s, key, tag)) return &entries_[s.entry].value;
  }
}

std::pair<int*, bool> TagNameIndex::TryEmplace(const Key& key, uint64_t hash, int value) {
  // At most three quarters full: eight slots share a cache line, so the
  // short runs this leaves cost about one line per probe.
  if ((entries_.size() + 1) * 4 > slots_.size() * 3) Grow(slots_.empty() ? 64 : slots_.size() * 2);
  const uint32_t tag = static_cast<uint32_t>(hash);
  size_t i = SlotOf(hash);
  for (;; i = (i + 1) & mask_) {
    const Slot& s = slots_[i];
    if (s.entry == kEmpty) break;
    if (Matches(s, key, tag)) return {&entries_[s.entry].value, false};
  }
  if (key.size() >= std::numeric_limits<uint32_t>::max() - keys_.size() || entries_.size() >= kEmpty - 1)
    throw std::length_error("name index full");
  slots_[i] = Slot{tag, static_cast<uint32_t>(entries_.size())};
  entries_.push_back(Entry{static_cast<uint32_t>(keys_.size()), static_cast<uint32_t>(key.size()), value});
  if (key.hasHead) keys_.push_back(key.head);
  keys_.append(key.rest);
  return {&entries_.back().value, true};
}

void TagNameIndex::Clear() {
  for (Slot& s : slots_) s.entry = kEmpty;
  entries_.clear();
  keys_.clear();
}

void TagNameIndex::Reserve(size_t keys) {
  size_t want = 64;
  while (want * 3 < keys * 4) want *= 2;
  if (want > slots_.size()) Grow(want);
  entries_.reserve(keys);
  keys_.reserve(keys * 8);
}

void TagNameIndex::Grow(size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{0, kEmpty});
  mask_ = slots - 1;
  shift_ = 64;
  for (size_t n = slots; n > 1; n >>= 1) --shift_;
  for (const Slot& o : old) {
    if (o.entry == kEmpty) continue;
    const Entry& e = entries_[o.entry];
    size_t i = SlotOf(Hash(std::string_view(keys_.data() + e.off, e.len)));
    while (slots_[i].entry != kEmpty) i = (i + 1) & mask_;
    slots_[i] = o;
  }
}
