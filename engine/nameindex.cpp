#include "engine/nameindex.h"

#include <cstring>
#include <limits>
#include <stdexcept>

uint64_t TagNameIndex::Hash(std::string_view key) {
  // Eight bytes a step: keys are short, and byte-wise mixing cost more than
  // the probe itself. The last multiply spreads every byte into the high
  // bits, which choose the slot.
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = (key.size() + 1) * 0xC2B2AE3D27D4EB4Full;
  const char* p = key.data();
  size_t n = key.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n != 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * kMul;
    h ^= h >> 29;
  }
  h ^= h >> 32;
  h *= kMul;
  h ^= h >> 31;
  return h;
}

bool TagNameIndex::Matches(const Slot& s, std::string_view key, uint32_t tag) const {
  return s.tag == tag && s.len == key.size() && std::memcmp(keys_.data() + s.off, key.data(), key.size()) == 0;
}

int* TagNameIndex::Find(std::string_view key, uint64_t hash) {
  if (count_ == 0) return nullptr;
  const uint32_t tag = static_cast<uint32_t>(hash);
  for (size_t i = SlotOf(hash);; i = (i + 1) & mask_) {
    Slot& s = slots_[i];
    if (s.len == kEmpty) return nullptr;
    if (Matches(s, key, tag)) return &s.value;
  }
}

std::pair<int*, bool> TagNameIndex::TryEmplace(std::string_view key, uint64_t hash, int value) {
  // At most half full: probes stay short.
  if ((count_ + 1) * 2 > slots_.size()) Grow(slots_.empty() ? 64 : slots_.size() * 2);
  const uint32_t tag = static_cast<uint32_t>(hash);
  size_t i = SlotOf(hash);
  for (;; i = (i + 1) & mask_) {
    Slot& s = slots_[i];
    if (s.len == kEmpty) break;
    if (Matches(s, key, tag)) return {&s.value, false};
  }
  if (key.size() >= kEmpty || keys_.size() + key.size() > std::numeric_limits<uint32_t>::max())
    throw std::length_error("name index full");
  Slot& s = slots_[i];
  s.tag = tag;
  s.len = static_cast<uint32_t>(key.size());
  s.off = static_cast<uint32_t>(keys_.size());
  s.value = value;
  keys_.append(key);
  ++count_;
  return {&s.value, true};
}

void TagNameIndex::Clear() {
  for (Slot& s : slots_) s.len = kEmpty;
  keys_.clear();
  count_ = 0;
}

void TagNameIndex::Reserve(size_t keys) {
  size_t want = 64;
  while (want < keys * 2) want *= 2;
  if (want > slots_.size()) Grow(want);
}

void TagNameIndex::Grow(size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{0, kEmpty, 0, 0});
  mask_ = slots - 1;
  shift_ = 64;
  for (size_t s = slots; s > 1; s >>= 1) --shift_;
  for (const Slot& o : old) {
    if (o.len == kEmpty) continue;
    const uint64_t h = Hash(std::string_view(keys_.data() + o.off, o.len));
    size_t i = SlotOf(h);
    while (slots_[i].len != kEmpty) i = (i + 1) & mask_;
    slots_[i] = o;
  }
}
