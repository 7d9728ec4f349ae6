#include "engine/tagmap.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_set>

#include "core/log.h"

namespace {

// A key as the tables hold it.
struct Key {
  int kind = 2;  // 2 integer, 1 string, 3 double, 4 map
  int32_t i = 0;
  double d = 0;
  std::string_view s;
};

Key KeyOf(const TagVar& k) {
  Key key;
  switch (k.Type()) {
    case TagVar::kString:
      key.kind = 1;
      key.s = std::string_view(k.Text());  // up to the first NUL
      break;
    case TagVar::kDouble:
      key.kind = 3;
      key.d = k.DblValue();
      if (key.d == 0) key.d = 0.0;  // -0 and 0 are one key
      if (std::isnan(key.d)) key.d = std::numeric_limits<double>::quiet_NaN();
      break;
    case TagVar::kMap:
      key.kind = 4;
      key.i = k.MapHandle();
      break;
    default:
      key.i = k.IntValue();
      break;
  }
  return key;
}

uint64_t HashBytes(std::string_view s) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  size_t n = s.size();
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xff51afd7ed558ccdull;
    h ^= h >> 32;
    p += 8;
    n -= 8;
  }
  uint64_t w = 0;
  std::memcpy(&w, p, n);
  h = (h ^ w) * 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 29;
  return h;
}

// Identifies the thread for the maps' re-entrant locks.
thread_local char t_threadToken;
inline uintptr_t ThreadToken() { return reinterpret_cast<uintptr_t>(&t_threadToken); }

// Map locks this thread holds (counting re-entries), and releases waiting
// until it holds none.
thread_local int t_lockDepth = 0;
thread_local bool t_draining = false;
thread_local bool t_hasPending = false;
// The releases themselves. Kept trivially destructible, so that a map
// released after this thread's destructors have run (a static object freed
// at exit, another thread-local's destructor) still finds a usable list; its
// buffer is given back when the thread ends, or, once that is past, as soon
// as the list is empty again.
struct PendingList {
  int32_t* data = nullptr;
  size_t len = 0, cap = 0;
  bool ended = false;  // the thread's destructors have run

  bool empty() const { return len == 0; }
  int32_t back() const { return data[len - 1]; }
  void pop_back() {
    if (--len == 0 && ended) Free();
  }
  void push_back(int32_t h);
  void Free() {
    std::free(data);
    data = nullptr;
    len = cap = 0;
  }
};
thread_local PendingList t_pending;

struct PendingListEnd {
  ~PendingListEnd() {
    t_pending.ended = true;
    if (t_pending.empty()) t_pending.Free();
  }
};
thread_local PendingListEnd t_pendingEnd;

void PendingList::push_back(int32_t h) {
  if (len == cap) {
    if (!ended) {
      PendingListEnd* volatile end = &t_pendingEnd;  // registers the end of the thread
      (void)end;
    }
    const size_t grown = cap ? cap * 2 : 64;
    auto* p = static_cast<int32_t*>(std::realloc(data, grown * sizeof(int32_t)));
    if (!p) throw std::bad_alloc();
    data = p;
    cap = grown;
  }
  data[len++] = h;
}

PendingList& PendingReleases() { return t_pending; }

}  // namespace

// ---- one map ----

// A re-entrant lock for one map: one atomic exchange to take it, a store to
// let go. Holds are a few element steps long, so a waiter spins briefly,
// then yields, then sleeps in short steps.
class TagMapLock {
 public:
  void Lock() {
    const uintptr_t me = ThreadToken();
    if (owner_.load(std::memory_order_relaxed) == me) {
      ++depth_;
      return;
    }
    uintptr_t free = 0;
    if (!owner_.compare_exchange_strong(free, me, std::memory_order_acquire, std::memory_order_relaxed))
      LockSlow(me);
    depth_ = 1;
  }
  void Unlock() {
    if (--depth_ == 0) owner_.store(0, std::memory_order_release);
  }

 private:
  void LockSlow(uintptr_t me) {
    for (unsigned spin = 0;; ++spin) {
      uintptr_t free = 0;
      if (owner_.load(std::memory_order_relaxed) == 0 &&
          owner_.compare_exchange_weak(free, me, std::memory_order_acquire, std::memory_order_relaxed))
        return;
      if (spin < 64) {
        __builtin_ia32_pause();
      } else if (spin < 128) {
        sched_yield();
      } else {
        timespec ts{0, 50000};
        nanosleep(&ts, nullptr);
      }
    }
  }
  std::atomic<uintptr_t> owner_{0};
  int depth_ = 0;  // touched by the owner only
};

class TagMapItem {
 public:
  // String keys: entries in a vector (freed slots reused), found through an
  // open-addressing index; the byte-wise order is built when iteration asks
  // for it and kept while keys are added at its end.
  struct StrEntry {
    std::string key;
    TagVar value;
    uint64_t hash = 0;
    bool live = false;
  };
  struct StrTable {
    std::vector<StrEntry> ents;
    std::vector<uint32_t> freeEnts;
    std::vector<uint32_t> slots;  // entry index + 1, 0 empty
    uint32_t live = 0;
    std::vector<uint32_t> order;  // entry indices by key
    bool orderValid = true;

    StrEntry* Find(std::string_view k, uint64_t h) {
      if (slots.empty()) return nullptr;
      const size_t mask = slots.size() - 1;
      for (size_t i = h & mask;; i = (i + 1) & mask) {
        uint32_t s = slots[i];
        if (!s) return nullptr;
        StrEntry& e = ents[s - 1];
        if (e.hash == h && e.key == k) return &e;
      }
    }
    void Place(uint32_t idx) {
      const size_t mask = slots.size() - 1;
      size_t i = ents[idx].hash & mask;
      while (slots[i]) i = (i + 1) & mask;
      slots[i] = idx + 1;
    }
    void Grow() {
      size_t n = slots.empty() ? 8 : slots.size() * 2;
      slots.assign(n, 0);
      for (uint32_t i = 0; i < ents.size(); ++i)
        if (ents[i].live) Place(i);
    }
    // The entry of k, made (null) when absent; added tells which.
    StrEntry& Insert(std::string_view k, uint64_t h, bool& added) {
      if (StrEntry* e = Find(k, h)) {
        added = false;
        return *e;
      }
      added = true;
      if ((live + 1) * 2 > slots.size()) Grow();
      uint32_t idx;
      if (!freeEnts.empty()) {
        idx = freeEnts.back();
        freeEnts.pop_back();
      } else {
        idx = static_cast<uint32_t>(ents.size());
        ents.emplace_back();
      }
      StrEntry& e = ents[idx];
      e.key.assign(k);
      e.hash = h;
      e.live = true;
      ++live;
      Place(idx);
      if (orderValid) {
        if (order.empty() || ents[order.back()].key < e.key)
          order.push_back(idx);
        else {
          orderValid = false;
          order.clear();
        }
      }
      return e;
    }
    // Unlinks the entry (its value is the caller's to clear first).
    void Erase(StrEntry& e) {
      const uint32_t idx = static_cast<uint32_t>(&e - ents.data());
      const size_t mask = slots.size() - 1;
      size_t i = e.hash & mask;
      while (slots[i] != idx + 1) i = (i + 1) & mask;
      // Backward shift: the entries after it that would not be found past
      // the gap move into it.
      for (size_t j = (i + 1) & mask; slots[j]; j = (j + 1) & mask) {
        size_t home = ents[slots[j] - 1].hash & mask;
        bool between = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (between) continue;
        slots[i] = slots[j];
        i = j;
      }
      slots[i] = 0;
      if (orderValid) {
        auto pos = std::lower_bound(order.begin(), order.end(), e.key,
                                    [&](uint32_t a, const std::string& k) { return ents[a].key < k; });
        if (pos != order.end() && *pos == idx) order.erase(pos);
      }
      e.live = false;
      e.key.clear();
      freeEnts.push_back(idx);
      --live;
    }
    void EnsureOrder() {
      if (orderValid) return;
      order.clear();
      order.reserve(live);
      for (uint32_t i = 0; i < ents.size(); ++i)
        if (ents[i].live) order.push_back(i);
      std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return ents[a].key < ents[b].key; });
      orderValid = true;
    }
  };

  using SparseTable = std::map<int32_t, TagVar>;
  using DblTable = std::map<double, TagVar, TagDblKeyLess>;

  // Integer keys from 0 up to dense.size() - 1 live in dense (a slot of type
  // kAbsent holds no entry); all others in sparse, so sparse has no key in
  // that range and iterates as its keys below 0, the dense part, the rest.
  std::vector<TagVar> dense;
  SparseTable sparse;
  int32_t denseCount = 0;
  int32_t negCount = 0;  // keys of sparse below 0
  StrTable strs;
  DblTable dbls;
  SparseTable maps;
  int32_t refCount = 0;  // under the registry's lock

  TagMapLock lock;
  // One for the registry while it holds the item, one per pin.
  std::atomic<int32_t> holds{1};
  // Unregistered: set under the registry's lock; once set never cleared.
  std::atomic<bool> dead{false};

  static constexpr int8_t kAbsent = -1;
  static bool Absent(const TagVar& v) { return v.type_ == kAbsent; }
  static void MarkAbsent(TagVar& v) { v.type_ = kAbsent; }

  size_t Size() const {
    return size_t(denseCount) + sparse.size() + strs.live + dbls.size() + maps.size();
  }

  TagVar* FindInt(int32_t k) {
    if (static_cast<uint32_t>(k) < dense.size()) {
      TagVar& v = dense[static_cast<uint32_t>(k)];
      return Absent(v) ? nullptr : &v;
    }
    if (sparse.empty()) return nullptr;
    auto it = sparse.find(k);
    return it == sparse.end() ? nullptr : &it->second;
  }

  TagVar* Find(const TagVar& key) {
    if (key.type_ != TagVar::kString && key.type_ != TagVar::kDouble && key.type_ != TagVar::kMap)
      return FindInt(key.int_);
    Key k = KeyOf(key);
    switch (k.kind) {
      case 1: {
        StrEntry* e = strs.Find(k.s, HashBytes(k.s));
        return e ? &e->value : nullptr;
      }
      case 3: {
        auto it = dbls.find(k.d);
        return it == dbls.end() ? nullptr : &it->second;
      }
      default: {
        auto it = maps.find(k.i);
        return it == maps.end() ? nullptr : &it->second;
      }
    }
  }

  TagVar& InsertInt(int32_t k) {
    if (static_cast<uint32_t>(k) < dense.size()) {
      TagVar& v = dense[static_cast<uint32_t>(k)];
      if (Absent(v)) {
        v.type_ = TagVar::kNull;
        v.int_ = 0;
        v.dbl_ = 0;
        ++denseCount;
        Changed();
      }
      return v;
    }
    if (k >= 0) {
      // Into the array part while at least half its slots would be used.
      const int64_t high = int64_t(sparse.size()) - negCount;
      if ((int64_t(denseCount) + high + 1) * 2 >= int64_t(k) + 1) {
        GrowDense(static_cast<size_t>(k) + 1);
        return InsertInt(k);
      }
    }
    auto [it, added] = sparse.try_emplace(k);
    if (added) {
      if (k < 0) ++negCount;
      Changed();
    }
    return it->second;
  }

  void GrowDense(size_t n) {
    const size_t old = dense.size();
    dense.resize(n);
    for (size_t i = old; i < n; ++i) MarkAbsent(dense[i]);
    // Keys of the sparse table now inside the array part move in.
    auto it = sparse.lower_bound(static_cast<int32_t>(old));
    while (it != sparse.end() && size_t(it->first) < n) {
      TagVar& slot = dense[size_t(it->first)];
      slot.CopyValueNoRef(it->second);
      ++denseCount;
      it = sparse.erase(it);
    }
    Changed();
  }

  TagVar& Insert(const TagVar& key) {
    if (key.type_ != TagVar::kString && key.type_ != TagVar::kDouble && key.type_ != TagVar::kMap)
      return InsertInt(key.int_);
    Key k = KeyOf(key);
    switch (k.kind) {
      case 1: {
        bool added;
        StrEntry& e = strs.Insert(k.s, HashBytes(k.s), added);
        if (added) Changed();
        return e.value;
      }
      case 3: {
        auto [it, added] = dbls.try_emplace(k.d);
        if (added) Changed();
        return it->second;
      }
      default: {
        auto [it, added] = maps.try_emplace(k.i);
        if (added) Changed();
        return it->second;
      }
    }
  }

  // Erases the element of key after nulling it (a map it held is released
  // once the thread lets go of its map locks): false when absent.
  bool Erase(const TagVar& key) {
    Key k = KeyOf(key);
    switch (k.kind) {
      case 1: {
        StrEntry* e = strs.Find(k.s, HashBytes(k.s));
        if (!e) return false;
        e->value.SetNull();
        strs.Erase(*e);
        break;
      }
      case 3: {
        auto it = dbls.find(k.d);
        if (it == dbls.end()) return false;
        it->second.SetNull();
        dbls.erase(it);
        break;
      }
      case 4: {
        auto it = maps.find(k.i);
        if (it == maps.end()) return false;
        it->second.SetNull();
        maps.erase(it);
        break;
      }
      default: {
        if (static_cast<uint32_t>(k.i) < dense.size()) {
          TagVar& v = dense[static_cast<uint32_t>(k.i)];
          if (Absent(v)) return false;
          v.SetNull();
          MarkAbsent(v);
          --denseCount;
          while (!dense.empty() && Absent(dense.back())) dense.pop_back();
          break;
        }
        auto it = sparse.find(k.i);
        if (it == sparse.end()) return false;
        it->second.SetNull();
        if (k.i < 0) --negCount;
        sparse.erase(it);
        break;
      }
    }
    Changed();
    return true;
  }

  // ---- positions in iteration order ----
  // Tables: 0 sparse keys below 0, 1 the array part, 2 sparse keys above it,
  // 3 strings, 4 doubles, 5 map keys, 6 the end.
  struct Pos {
    int table = 0;
    SparseTable::iterator si;
    size_t di = 0;
    size_t oi = 0;
    DblTable::iterator d;
    SparseTable::iterator m;
  };

  Pos Begin() {
    Pos p;
    p.si = sparse.begin();
    Settle(p);
    return p;
  }
  static bool AtEnd(const Pos& p) { return p.table >= 6; }

  // Moves p onto an entry at or after it, entering later tables at their start.
  void Settle(Pos& p) {
    for (;;) {
      switch (p.table) {
        case 0:
          if (p.si != sparse.end() && p.si->first < 0) return;
          p.table = 1;
          p.di = 0;
          break;
        case 1:
          while (p.di < dense.size() && Absent(dense[p.di])) ++p.di;
          if (p.di < dense.size()) return;
          p.table = 2;
          p.si = sparse.lower_bound(0);
          break;
        case 2:
          if (p.si != sparse.end()) return;
          p.table = 3;
          p.oi = 0;
          strs.EnsureOrder();
          break;
        case 3:
          if (p.oi < strs.order.size()) return;
          p.table = 4;
          p.d = dbls.begin();
          break;
        case 4:
          if (p.d != dbls.end()) return;
          p.table = 5;
          p.m = maps.begin();
          break;
        case 5:
          if (p.m != maps.end()) return;
          p.table = 6;
          return;
        default:
          return;
      }
    }
  }

  void Advance(Pos& p) {
    switch (p.table) {
      case 0: case 2: ++p.si; break;
      case 1: ++p.di; break;
      case 3: ++p.oi; break;
      case 4: ++p.d; break;
      case 5: ++p.m; break;
      default: return;
    }
    Settle(p);
  }

  // One entry back; false at the first.
  bool StepBack(Pos& p) {
    for (int t = p.table; t >= 0; --t) {
      const bool entering = t != p.table;
      switch (t) {
        case 5:
          if (entering) p.m = maps.end();
          if (p.m != maps.begin()) { --p.m; p.table = 5; return true; }
          break;
        case 4:
          if (entering) p.d = dbls.end();
          if (p.d != dbls.begin()) { --p.d; p.table = 4; return true; }
          break;
        case 3:
          strs.EnsureOrder();
          if (entering) p.oi = strs.order.size();
          if (p.oi > 0) { --p.oi; p.table = 3; return true; }
          break;
        case 2:
          if (entering) p.si = sparse.end();
          if (p.si != sparse.begin() && std::prev(p.si)->first >= 0) { --p.si; p.table = 2; return true; }
          break;
        case 1:
          if (entering) p.di = dense.size();
          while (p.di > 0) {
            --p.di;
            if (!Absent(dense[p.di])) { p.table = 1; return true; }
          }
          break;
        case 0:
          if (entering) p.si = sparse.lower_bound(0);
          if (p.si != sparse.begin()) { --p.si; p.table = 0; return true; }
          break;
        default:
          break;
      }
    }
    return false;
  }

  TagVar& Value(const Pos& p) {
    switch (p.table) {
      case 0: case 2: return p.si->second;
      case 1: return dense[p.di];
      case 3: return strs.ents[strs.order[p.oi]].value;
      case 4: return p.d->second;
      default: return p.m->second;
    }
  }
  // Key kind of the entry (2 integer, 1 string, 3 double, 4 map).
  static int KeyKind(const Pos& p) {
    static const int kinds[] = {2, 2, 2, 1, 3, 4, 0};
    return kinds[p.table < 6 ? p.table : 6];
  }
  int32_t IntKey(const Pos& p) const {
    switch (p.table) {
      case 1: return static_cast<int32_t>(p.di);
      case 5: return p.m->first;
      default: return p.si->first;
    }
  }
  const std::string& StrKey(const Pos& p) const { return strs.ents[strs.order[p.oi]].key; }
  double DblKey(const Pos& p) const { return p.d->first; }

  // The i-th entry; sequential access is O(1) through a cached cursor.
  bool Seek(int32_t index, Pos& out) {
    if (index < 0 || size_t(index) >= Size()) return false;
    if (cursorIndex_ >= 0 && index >= cursorIndex_ && index - cursorIndex_ <= 16) {
      while (cursorIndex_ < index) {
        Advance(cursor_);
        ++cursorIndex_;
      }
    } else if (cursorIndex_ >= 0 && index < cursorIndex_ && cursorIndex_ - index <= 16) {
      while (cursorIndex_ > index && StepBack(cursor_)) --cursorIndex_;
    } else {
      cursor_ = At(size_t(index));
      cursorIndex_ = index;
    }
    out = cursor_;
    return true;
  }
  void Changed() { cursorIndex_ = -1; }

 private:
  Pos At(size_t rem) {
    Pos p;
    if (rem < size_t(negCount)) {
      p.si = std::next(sparse.begin(), long(rem));
      return p;
    }
    rem -= size_t(negCount);
    if (rem < size_t(denseCount)) {
      p.table = 1;
      if (size_t(denseCount) == dense.size()) {
        p.di = rem;
      } else {
        for (p.di = 0;; ++p.di)
          if (!Absent(dense[p.di]) && rem-- == 0) break;
      }
      return p;
    }
    rem -= size_t(denseCount);
    const size_t high = sparse.size() - size_t(negCount);
    if (rem < high) {
      p.table = 2;
      p.si = std::next(sparse.lower_bound(0), long(rem));
      return p;
    }
    rem -= high;
    if (rem < strs.live) {
      strs.EnsureOrder();
      p.table = 3;
      p.oi = rem;
      return p;
    }
    rem -= strs.live;
    if (rem < dbls.size()) {
      p.table = 4;
      p.d = std::next(dbls.begin(), long(rem));
      return p;
    }
    rem -= dbls.size();
    p.table = 5;
    p.m = std::next(maps.begin(), long(rem));
    return p;
  }

  int32_t cursorIndex_ = -1;
  Pos cursor_;
};

// What the file's helpers need of the registry's private side.
struct TagMapInternals {
  static void Drain() { TagMapObject::DrainReleases(); }
  static void Unpin(TagMapItem* item) { TagMapObject::Unpin(item); }
};

namespace {

// Holds a map's lock for a scope, counting it among the thread's map locks;
// releases that waited for the thread's last map lock run when it goes.
class ItemLock {
 public:
  explicit ItemLock(TagMapItem* item) : item_(item) {
    item_->lock.Lock();
    ++t_lockDepth;
  }
  ~ItemLock() {
    item_->lock.Unlock();
    if (--t_lockDepth == 0 && t_hasPending && !t_draining) TagMapInternals::Drain();
  }
  ItemLock(const ItemLock&) = delete;
  ItemLock& operator=(const ItemLock&) = delete;

 private:
  TagMapItem* item_;
};

// The registry's finaliser: frees what is left, after which every call finds
// nothing.
struct RegistryFinaliser {
  RegistryFinaliser() { TagMapObject::Instance(); }
  ~RegistryFinaliser() { TagMapObject::Instance().Shutdown(); }
} g_registryFinaliser;

}  // namespace

// The maps this thread used last, each pinned, so that an element access
// finds its map without the registry's lock. A slot whose map has been freed
// since is looked up again; the pins go when the thread ends.
struct TagMapPinCache {
  static constexpr int kSlots = 4;
  struct Slot {
    int32_t handle;
    TagMapItem* item;
  };
  static thread_local Slot slots[kSlots];
  struct Owner {
    ~Owner() {
      for (Slot& s : slots) {
        if (s.item) TagMapInternals::Unpin(s.item);
        s = {0, nullptr};
      }
    }
  };
};
thread_local TagMapPinCache::Slot TagMapPinCache::slots[TagMapPinCache::kSlots];


// ---- registry ----

TagMapObject& TagMapObject::Instance() {
  // Never deleted: values in other finalisers may still release maps, and
  // find an empty registry after Shutdown.
  static TagMapObject* const registry = new TagMapObject;
  return *registry;
}

TagMapObject::MapGuard::~MapGuard() {
  if (!item_) return;
  item_->lock.Unlock();
  if (--t_lockDepth == 0 && t_hasPending && !t_draining) DrainReleases();
  Unpin(item_);
}

TagMapObject::MapGuard TagMapObject::LockMap(int32_t h) {
  TagMapItem* item = Pin(h);
  if (!item) return MapGuard();
  item->lock.Lock();
  ++t_lockDepth;
  return MapGuard(item);
}

inline TagMapItem* TagMapObject::Pinned(int32_t h) {
  TagMapPinCache::Slot& s = TagMapPinCache::slots[static_cast<uint32_t>(h) & (TagMapPinCache::kSlots - 1)];
  if (s.handle == h && s.item && !s.item->dead.load(std::memory_order_acquire)) return s.item;
  return PinnedSlow(h);
}

TagMapItem* TagMapObject::PinnedSlow(int32_t h) {
  TagMapItem* item = Pin(h);
  if (!item) return nullptr;
  static thread_local TagMapPinCache::Owner owner;  // unpins at thread end
  (void)owner;
  TagMapPinCache::Slot& s = TagMapPinCache::slots[static_cast<uint32_t>(h) & (TagMapPinCache::kSlots - 1)];
  TagMapItem* old = s.item;
  s = {h, item};
  if (old) Unpin(old);
  return item;
}

TagMapItem* TagMapObject::Pin(int32_t h) {
  std::lock_guard g(mu_);
  auto it = items_.find(h);
  if (it == items_.end()) return nullptr;
  it->second->holds.fetch_add(1, std::memory_order_relaxed);
  return it->second;
}

void TagMapObject::Unpin(TagMapItem* item) {
  if (item->holds.fetch_sub(1, std::memory_order_acq_rel) == 1) delete item;
}

int32_t TagMapObject::NewMapLocked(int32_t refCount) {
  if (shuttingDown_) return 0;
  // Wrap to 1 and skip live handles: 0 and negatives mean "no map".
  do {
    lastHandle_ = lastHandle_ <= 0 || lastHandle_ == INT32_MAX ? 1 : lastHandle_ + 1;
  } while (items_.count(lastHandle_));
  auto* item = new TagMapItem;
  item->refCount = refCount;
  items_.emplace(lastHandle_, item);
  return lastHandle_;
}

int32_t TagMapObject::NewMap() {
  std::lock_guard g(mu_);
  return NewMapLocked(0);
}

int32_t TagMapObject::AddRef(int32_t h) {
  std::lock_guard g(mu_);
  auto it = items_.find(h);
  if (it == items_.end()) return -1;
  return ++it->second->refCount;
}

int32_t TagMapObject::Release(int32_t h) {
  if (t_lockDepth > 0 || t_draining) {
    // Freeing runs under no map's lock: later, when this thread holds none.
    PendingReleases().push_back(h);
    t_hasPending = true;
    return 0;
  }
  t_draining = true;
  int32_t r = ReleaseNow(h);
  t_draining = false;
  if (t_hasPending) DrainReleases();
  return r;
}

void TagMapObject::DrainReleases() {
  // A work list instead of recursion: a chain of nested maps of any length
  // is freed in constant stack.
  auto& pending = PendingReleases();
  t_draining = true;
  while (!pending.empty()) {
    int32_t h = pending.back();
    pending.pop_back();
    Instance().ReleaseNow(h);
  }
  t_hasPending = false;
  t_draining = false;
}

int32_t TagMapObject::ReleaseNow(int32_t h) {
  TagMapItem* dead = nullptr;
  {
    std::lock_guard g(mu_);
    auto it = items_.find(h);
    if (it == items_.end()) return -1;
    if (--it->second->refCount <= 0) {
      dead = it->second;
      dead->dead.store(true, std::memory_order_release);
      items_.erase(it);
    }
  }
  if (dead) FreeItem(dead, true);
  return 0;
}

// Empties an unregistered item, queueing the release of its map elements
// when asked, and gives up the registry's hold on it.
void TagMapObject::FreeItem(TagMapItem* item, bool releaseChildren) {
  TagMapItem::StrTable strs;
  TagMapItem::SparseTable sparse, maps;
  TagMapItem::DblTable dbls;
  std::vector<TagVar> dense;
  {
    // Taken out under the item's lock: a line still holding a pin sees an
    // empty map, and adds nothing to it, as it is marked dead.
    item->lock.Lock();
    std::swap(strs, item->strs);
    std::swap(sparse, item->sparse);
    std::swap(maps, item->maps);
    std::swap(dbls, item->dbls);
    std::swap(dense, item->dense);
    item->denseCount = 0;
    item->negCount = 0;
    item->Changed();
    item->lock.Unlock();
  }
  if (releaseChildren) {
    auto& pending = PendingReleases();
    auto queue = [&](const TagVar& v) {
      if (v.IsMap() && v.MapHandle()) {
        pending.push_back(v.MapHandle());
        t_hasPending = true;
      }
    };
    for (auto& v : dense) queue(v);
    for (auto& [k, v] : sparse) queue(v);
    for (auto& e : strs.ents)
      if (e.live) queue(e.value);
    for (auto& [k, v] : dbls) queue(v);
    for (auto& [k, v] : maps) queue(v);
  }
  Unpin(item);
}

bool TagMapObject::IsRegistered(int32_t h) {
  std::lock_guard g(mu_);
  return items_.count(h) != 0;
}

int32_t TagMapObject::RefCount(int32_t h) {
  std::lock_guard g(mu_);
  auto it = items_.find(h);
  return it == items_.end() ? -1 : it->second->refCount;
}

// ---- elements ----

TagVar* TagMapObject::Find(int32_t h, const TagVar& key) {
  TagMapItem* item = Pinned(h);
  if (!item) return nullptr;
  ItemLock l(item);
  return item->Find(key);
}

TagVar* TagMapObject::FindOrInsert(int32_t h, const TagVar& key) {
  TagMapItem* item = Pinned(h);
  // A map that is gone gets no slot: writes go to the constant null.
  if (!item) return &TagVar::ConstNull();
  ItemLock l(item);
  if (item->dead.load(std::memory_order_relaxed)) return &TagVar::ConstNull();
  return &item->Insert(key);
}

void TagMapObject::GetElement(int32_t h, const TagVar& key, TagVar& out) {
  TagMapItem* item = Pinned(h);
  if (!item) {
    out.Assign(TagVar::ConstNull());
    return;
  }
  ItemLock l(item);
  TagVar* e = item->Find(key);
  // A map out gave up is released once the lock goes.
  out.Assign(e ? *e : TagVar::ConstNull());
}

TagVar* TagMapObject::ElementOf(TagVar& map, const TagVar& key, const TagVar* value, TagVar* out) {
  for (;;) {
    TagMapItem* item = map.type_ == TagVar::kMap ? Pinned(map.handle_) : nullptr;
    if (!item) {
      // A handle that is gone is not released: the new map may reuse it.
      int32_t h;
      {
        std::lock_guard g(mu_);
        h = NewMapLocked(1);
      }
      if (h <= 0) return &TagVar::ConstNull();
      ++TagVar::mapsMade_;
      map.type_ = TagVar::kMap;
      map.handle_ = h;
      continue;
    }
    ItemLock l(item);
    if (item->dead.load(std::memory_order_relaxed)) {
      if (out) out->Assign(TagVar::ConstNull());
      return &TagVar::ConstNull();
    }
    TagVar& e = item->Insert(key);
    if (value) e.Assign(*value);
    if (out) out->Assign(e);
    return &e;
  }
}

int TagMapObject::Remove(int32_t h, const TagVar& key) {
  TagMapItem* item = Pinned(h);
  if (!item) return 0;
  // The element's map is released after the lock: freeing it may free this
  // map too.
  ItemLock l(item);
  return item->Erase(key) ? 1 : 0;
}

int32_t TagMapObject::Count(int32_t h) {
  TagMapItem* item = Pinned(h);
  if (!item) return -1;
  ItemLock l(item);
  return int32_t(item->Size());
}

namespace {

// The key of an entry as EntryAt yields it (a map key as its handle).
void KeyToVar(TagMapItem& item, const TagMapItem::Pos& p, TagVar& out) {
  switch (p.table) {
    case 3: {
      const std::string& s = item.StrKey(p);
      out.SetBytes(s.data(), s.size());
      break;
    }
    case 4: out.SetDouble(item.DblKey(p)); break;
    default: out.SetInt(item.IntKey(p)); break;
  }
}

}  // namespace

int TagMapObject::EntryAt(int32_t h, int32_t i, TagVar& keyOut, TagVar& valueOut) {
  TagMapItem* item = Pinned(h);
  if (!item) return -1;
  // Giving up the outputs' old maps may free this very map: that waits for
  // the lock to go.
  ItemLock l(item);
  TagMapItem::Pos p;
  if (!item->Seek(i, p)) return -2;
  KeyToVar(*item, p, keyOut);
  valueOut.Assign(item->Value(p));
  return i;
}

int TagMapObject::Keys(int32_t h, std::vector<TagVarP>& out) {
  TagMapItem* item = Pinned(h);
  if (!item) return -1;
  ItemLock l(item);
  out.clear();
  out.reserve(item->Size());
  for (auto p = item->Begin(); !TagMapItem::AtEnd(p); item->Advance(p)) {
    switch (p.table) {
      case 3: out.push_back({1, 0, 0, item->StrKey(p)}); break;
      case 4: out.push_back({3, 0, item->DblKey(p), {}}); break;
      case 5: out.push_back({4, item->IntKey(p), 0, {}}); break;
      default: out.push_back({2, item->IntKey(p), 0, {}}); break;
    }
  }
  return int(out.size());
}

// ---- set operations ----
// Each works on one map's lock at a time: the entries of one map are copied
// out (their maps gaining a reference) and then filtered against or put into
// another, so two maps' locks are never held together.

namespace {

struct EntryCopy {
  int table;  // as TagMapItem::Pos
  int32_t i = 0;
  double d = 0;
  std::string s;
  TagVar value;
  bool keep = true;
};

// Copies every entry of item, in iteration order; a map key becomes an
// integer key when mapKeyAsInt (as EntryAt yields it).
std::vector<EntryCopy> CopyEntries(TagMapItem& item, bool mapKeyAsInt) {
  std::vector<EntryCopy> out;
  ItemLock l(&item);
  out.reserve(item.Size());
  for (auto p = item.Begin(); !TagMapItem::AtEnd(p); item.Advance(p)) {
    out.emplace_back();
    EntryCopy& e = out.back();
    e.table = p.table;
    switch (p.table) {
      case 3: e.s = item.StrKey(p); break;
      case 4: e.d = item.DblKey(p); break;
      default: e.i = item.IntKey(p); break;
    }
    if (e.table == 5 && mapKeyAsInt) e.table = 1;
    e.value.Assign(item.Value(p));
  }
  return out;
}

TagVar* FindCopy(TagMapItem& item, const EntryCopy& e) {
  switch (e.table) {
    case 3: {
      TagMapItem::StrEntry* s = item.strs.Find(e.s, HashBytes(e.s));
      return s ? &s->value : nullptr;
    }
    case 4: {
      auto it = item.dbls.find(e.d);
      return it == item.dbls.end() ? nullptr : &it->second;
    }
    case 5: {
      auto it = item.maps.find(e.i);
      return it == item.maps.end() ? nullptr : &it->second;
    }
    default: return item.FindInt(e.i);
  }
}

TagVar& InsertCopy(TagMapItem& item, const EntryCopy& e) {
  switch (e.table) {
    case 3: {
      bool added;
      TagMapItem::StrEntry& s = item.strs.Insert(e.s, HashBytes(e.s), added);
      item.Changed();
      return s.value;
    }
    case 4: {
      item.Changed();
      return item.dbls.try_emplace(e.d).first->second;
    }
    case 5: {
      item.Changed();
      return item.maps.try_emplace(e.i).first->second;
    }
    default: return item.InsertInt(e.i);
  }
}

// Puts the copies into item: where the element is null, it takes the copy's
// value (and its reference); with overwrite, every element does. Copies left
// holding a map give it up after the lock.
void PutCopies(TagMapItem& item, std::vector<EntryCopy>& copies, bool overwrite) {
  {
    ItemLock l(&item);
    for (EntryCopy& c : copies) {
      if (!c.keep) continue;
      TagVar& e = InsertCopy(item, c);
      if (overwrite || e.IsNull()) e.Assign(c.value);
    }
  }
  for (EntryCopy& c : copies) c.value.SetNull();
}

// Puts copies into dst, a pinned map, and unpins it. With no map (its making
// failed, or it went meanwhile) the copies' references are dropped instead.
bool PutInto(TagMapItem* dst, std::vector<EntryCopy>& copies, bool overwrite) {
  if (!dst) {
    for (EntryCopy& c : copies) c.value.SetNull();
    return false;
  }
  PutCopies(*dst, copies, overwrite);
  TagMapInternals::Unpin(dst);
  return true;
}

}  // namespace

int32_t TagMapObject::Clone(int32_t h) {
  TagMapItem* src = Pin(h);
  if (!src) return -1;
  std::vector<EntryCopy> copies = CopyEntries(*src, true);
  Unpin(src);
  int32_t nh = NewMap();
  return PutInto(nh > 0 ? Pin(nh) : nullptr, copies, true) ? nh : -1;
}

int32_t TagMapObject::Union(int32_t a, int32_t b) {
  int32_t nh = Clone(a);
  if (nh <= 0) return -1;
  TagMapItem* ib = Pin(b);
  if (!ib) return nh;
  std::vector<EntryCopy> copies = CopyEntries(*ib, true);
  Unpin(ib);
  PutInto(Pin(nh), copies, false);
  return nh;
}

int32_t TagMapObject::Intersect(int32_t a, int32_t b) { return KeyFilter(a, b, true); }

int32_t TagMapObject::Difference(int32_t a, int32_t b) { return KeyFilter(a, b, false); }

// Intersect: b's entries whose key a has. Difference: a's entries whose key b lacks.
int32_t TagMapObject::KeyFilter(int32_t a, int32_t b, bool intersect) {
  TagMapItem* ia = Pin(a);
  if (!ia) return -1;
  TagMapItem* ib = Pin(b);
  if (!ib) {
    Unpin(ia);
    return -2;
  }
  TagMapItem& from = intersect ? *ib : *ia;
  TagMapItem& other = intersect ? *ia : *ib;
  std::vector<EntryCopy> copies = CopyEntries(from, false);
  {
    ItemLock l(&other);
    for (EntryCopy& c : copies) c.keep = (FindCopy(other, c) != nullptr) == intersect;
  }
  Unpin(ia);
  Unpin(ib);
  int32_t nh = NewMap();
  return PutInto(nh > 0 ? Pin(nh) : nullptr, copies, true) ? nh : -1;
}

// ---- text ----

int TagMapObject::ToText(int32_t h, std::string& out) {
  TagMapItem* root = Pin(h);
  if (!root) return -1;
  // An explicit stack instead of recursion; a map already on the path
  // prints as "{...}", so cycles of any length end. Each step holds only
  // the lock of the map it reads; the maps on the path are pinned.
  struct Frame {
    TagMapItem* item;
    int32_t handle;
    int32_t index;
  };
  std::vector<Frame> stack;
  std::unordered_set<int32_t> onPath;
  const size_t limit = size_t(TagVar::TextLimit());
  out += "{\r\n";
  stack.push_back({root, h, 0});
  onPath.insert(h);
  while (!stack.empty()) {
    if (out.size() > limit) {
      LogAlwaysF("map text of map %d passes %zu bytes, cut", h, limit);
      break;
    }
    Frame& f = stack.back();
    int32_t child = 0;
    bool ended = false;
    {
      ItemLock l(f.item);
      TagMapItem::Pos p;
      if (!f.item->Seek(f.index, p)) {
        ended = true;
      } else {
        if (f.index > 0) out += ",\r\n";
        ++f.index;
        switch (p.table) {
          case 3:
            out += '"';
            out += f.item->StrKey(p);
            out += '"';
            break;
          case 4: TagVar::AppendDouble(out, f.item->DblKey(p), false); break;
          default: TagVar::AppendInt(out, f.item->IntKey(p)); break;
        }
        out += ':';
        TagVar& v = f.item->Value(p);
        if (v.IsMap())
          child = v.MapHandle();
        else
          v.ToText(out, true);
      }
    }
    if (ended) {
      out += "\r\n}";
      onPath.erase(f.handle);
      Unpin(f.item);
      stack.pop_back();
      continue;
    }
    if (!child) continue;
    if (onPath.count(child)) {
      out += "{...}";
      continue;
    }
    TagMapItem* c = Pin(child);
    if (!c) continue;  // a map that is gone prints empty
    out += "{\r\n";
    onPath.insert(child);
    stack.push_back({c, child, 0});  // f is not used after this
  }
  for (Frame& f : stack) Unpin(f.item);
  return 0;
}

size_t TagMapObject::MapCount() {
  std::lock_guard g(mu_);
  return items_.size();
}

void TagMapObject::Shutdown() {
  std::vector<TagMapItem*> items;
  {
    std::lock_guard g(mu_);
    shuttingDown_ = true;
    for (auto& [h, item] : items_) {
      item->dead.store(true, std::memory_order_release);
      items.push_back(item);
    }
    items_.clear();
  }
  for (TagMapItem* item : items) FreeItem(item, false);
}

void TagMapObject::SetLastHandleForTest(int32_t h) {
  std::lock_guard g(mu_);
  lastHandle_ = h;
}
