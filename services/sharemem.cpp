#include "services/sharemem.h"


namespace {

template <class Map>
void NullAll(Map& m) {
  for (auto& [k, v] : m) v.SetNull();
  m.clear();
}

}  // namespace

TagShareMem::~TagShareMem() { Clear(); }

TagVar* TagShareMem::FindLocked(const TagVar& key) {
  if (key.IsString()) {
    auto it = strs_.find(key.Bytes());
    return it == strs_.end() ? nullptr : &it->second;
  }
  if (key.IsDouble()) {
    auto it = dbls_.find(key.DblValue());
    return it == dbls_.end() ? nullptr : &it->second;
  }
  auto it = ints_.find(key.IntValue());
  return it == ints_.end() ? nullptr : &it->second;
}

TagVar& TagShareMem::EntryLocked(const TagVar& key, int& entries) {
  if (key.IsString()) {
    TagVar& v = strs_.try_emplace(std::string(key.Bytes())).first->second;
    entries = static_cast<int>(strs_.size());
    return v;
  }
  if (key.IsDouble()) {
    TagVar& v = dbls_.try_emplace(key.DblValue()).first->second;
    entries = static_cast<int>(dbls_.size());
    return v;
  }
  TagVar& v = ints_.try_emplace(key.IntValue()).first->second;
  entries = static_cast<int>(ints_.size());
  return v;
}

int TagShareMem::EntriesOf(const TagVar& key) const {
  if (key.IsString()) return static_cast<int>(strs_.size());
  if (key.IsDouble()) return static_cast<int>(dbls_.size());
  return static_cast<int>(ints_.size());
}

int TagShareMem::Set(const TagVar& key, const TagVar& value) {
  std::lock_guard<std::mutex> lock(mu_);
  int entries = 0;
  EntryLocked(key, entries).Assign(value);
  return entries;
}

int TagShareMem::Get(const TagVar& key, TagVar& out) {
  std::lock_guard<std::mutex> lock(mu_);
  TagVar* v = FindLocked(key);
  if (!v) return -1;
  out.Assign(*v);
  return EntriesOf(key);
}

int TagShareMem::Acc(const TagVar& key, TagVar& oldOut, const TagVar& newValue) {
  std::lock_guard<std::mutex> lock(mu_);
  TagVar* v = FindLocked(key);
  if (!v) return -1;
  oldOut.Assign(*v);
  v->Assign(newValue);
  return EntriesOf(key);
}

void TagShareMem::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  NullAll(ints_);
  NullAll(strs_);
  NullAll(dbls_);
}

int TagShareMem::Inc(const TagVar& key, const TagVar& n, TagVar& out) {
  std::lock_guard<std::mutex> lock(mu_);
  TagVar* v = FindLocked(key);
  if (!v) return -1;
  TagVar sum = TagVar::Add(*v, n);
  v->Assign(sum);
  out.Assign(*v);
  return 0;
}

int TagShareMem::Dec(const TagVar& key, const TagVar& n, TagVar& out) {
  std::lock_guard<std::mutex> lock(mu_);
  TagVar* v = FindLocked(key);
  if (!v) return -1;
  TagVar diff = TagVar::Subtract(*v, n);
  v->Assign(diff);
  out.Assign(*v);
  return 0;
}

bool TagShareMem::ClaimIfEqual(const TagVar& key, const TagVar& value, const TagVar& newValue) {
  std::lock_guard<std::mutex> lock(mu_);
  TagVar* v = FindLocked(key);
  if (!v || !v->Equals(value)) return false;
  v->Assign(newValue);
  return true;
}

TagShareMem& GlobalShareMem() {
  static TagShareMem store;
  return store;
}

