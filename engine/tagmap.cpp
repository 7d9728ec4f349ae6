#include "engine/tagmap.h"

#include <cmath>
#include <cstring>
#include <limits>
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

// The finaliser of the registry: frees what is left, after which every call
// finds nothing.
struct RegistryFinaliser {
  RegistryFinaliser() { TagMapObject::Instance(); }
  ~RegistryFinaliser() { TagMapObject::Instance().Shutdown(); }
} g_registryFinaliser;

}  // namespace

// ---- TagMapItem positions ----

TagMapItem::Pos TagMapItem::Begin() {
  Pos p;
  p.i = ints.begin();
  p.s = strs.begin();
  p.d = dbls.begin();
  p.m = maps.begin();
  Settle(p);
  return p;
}

void TagMapItem::Settle(Pos& p) {
  for (;;) {
    switch (p.table) {
      case 0:
        if (p.i != ints.end()) return;
        break;
      case 1:
        if (p.s != strs.end()) return;
        break;
      case 2:
        if (p.d != dbls.end()) return;
        break;
      case 3:
        if (p.m != maps.end()) return;
        break;
      default:
        return;
    }
    ++p.table;
  }
}

void TagMapItem::Advance(Pos& p) {
  switch (p.table) {
    case 0: ++p.i; break;
    case 1: ++p.s; break;
    case 2: ++p.d; break;
    case 3: ++p.m; break;
    default: return;
  }
  Settle(p);
}

bool TagMapItem::StepBack(Pos& p) {
  for (int t = p.table; t >= 0; --t) {
    if (t != p.table) {  // entering an earlier table from its end
      switch (t) {
        case 0: p.i = ints.end(); break;
        case 1: p.s = strs.end(); break;
        case 2: p.d = dbls.end(); break;
        case 3: p.m = maps.end(); break;
      }
    }
    switch (t) {
      case 0: if (p.i != ints.begin()) { --p.i; p.table = 0; return true; } break;
      case 1: if (p.s != strs.begin()) { --p.s; p.table = 1; return true; } break;
      case 2: if (p.d != dbls.begin()) { --p.d; p.table = 2; return true; } break;
      case 3: if (p.m != maps.begin()) { --p.m; p.table = 3; return true; } break;
      default: break;
    }
  }
  return false;
}

TagVar& TagMapItem::Value(const Pos& p) {
  switch (p.table) {
    case 0: return p.i->second;
    case 1: return p.s->second;
    case 2: return p.d->second;
    default: return p.m->second;
  }
}

int TagMapItem::KeyKind(const Pos& p) const {
  static const int kinds[] = {2, 1, 3, 4, 0};
  return kinds[p.table < 4 ? p.table : 4];
}

bool TagMapItem::Seek(int32_t index, Pos& out) {
  if (index < 0 || size_t(index) >= Size()) return false;
  // Walks forwards or backwards from the last position are O(1) a step.
  if (cursorIndex_ >= 0 && index >= cursorIndex_ && index - cursorIndex_ <= 16) {
    while (cursorIndex_ < index) {
      Advance(cursor_);
      ++cursorIndex_;
    }
  } else if (cursorIndex_ >= 0 && index < cursorIndex_ && cursorIndex_ - index <= 16) {
    while (cursorIndex_ > index && StepBack(cursor_)) --cursorIndex_;
  } else {
    Pos p;
    p.i = ints.begin();
    p.s = strs.begin();
    p.d = dbls.begin();
    p.m = maps.begin();
    size_t rem = size_t(index);
    if (rem < ints.size()) {
      p.i = std::next(ints.begin(), rem);
    } else if ((rem -= ints.size()) < strs.size()) {
      p.table = 1;
      p.s = std::next(strs.begin(), rem);
    } else if ((rem -= strs.size()) < dbls.size()) {
      p.table = 2;
      p.d = std::next(dbls.begin(), rem);
    } else {
      rem -= dbls.size();
      p.table = 3;
      p.m = std::next(maps.begin(), rem);
    }
    cursor_ = p;
    cursorIndex_ = index;
  }
  out = cursor_;
  return true;
}

// ---- registry ----

TagMapObject& TagMapObject::Instance() {
  // Never deleted: values in other finalisers may still release maps, and
  // find an empty registry after Shutdown.
  static TagMapObject* const registry = new TagMapObject;
  return *registry;
}

int32_t TagMapObject::NewMapLocked() {
  if (shuttingDown_) return 0;
  // Wrap to 1 and skip live handles: 0 and negatives mean "no map".
  do {
    lastHandle_ = lastHandle_ <= 0 || lastHandle_ == INT32_MAX ? 1 : lastHandle_ + 1;
  } while (items_.count(lastHandle_));
  items_.emplace(lastHandle_, std::make_unique<TagMapItem>());
  return lastHandle_;
}

int32_t TagMapObject::NewMap() {
  std::lock_guard g(mu_);
  return NewMapLocked();
}

int32_t TagMapObject::AddRef(int32_t h) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  if (!item) return -1;
  return ++item->refCount;
}

int32_t TagMapObject::Release(int32_t h) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  if (!item) return -1;
  if (--item->refCount <= 0) FreeItems(h);
  return 0;
}

void TagMapObject::FreeItems(int32_t first) {
  // A work list instead of recursion: a chain of nested maps of any length
  // is freed in constant stack.
  std::vector<int32_t> work{first};
  std::vector<std::unique_ptr<TagMapItem>> dead;
  auto releaseChild = [&](const TagVar& v) {
    if (!v.IsMap()) return;
    TagMapItem* c = Get(v.MapHandle());
    if (c && --c->refCount <= 0) work.push_back(v.MapHandle());
  };
  while (!work.empty()) {
    int32_t h = work.back();
    work.pop_back();
    auto it = items_.find(h);
    if (it == items_.end()) continue;
    std::unique_ptr<TagMapItem> item = std::move(it->second);
    items_.erase(it);
    for (auto& [k, v] : item->ints) releaseChild(v);
    for (auto& [k, v] : item->strs) releaseChild(v);
    for (auto& [k, v] : item->dbls) releaseChild(v);
    for (auto& [k, v] : item->maps) releaseChild(v);
    dead.push_back(std::move(item));
  }
}

bool TagMapObject::IsRegistered(int32_t h) {
  std::lock_guard g(mu_);
  return Get(h) != nullptr;
}

int32_t TagMapObject::RefCount(int32_t h) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  return item ? item->refCount : -1;
}

TagVar* TagMapObject::FindIn(TagMapItem& item, const TagVar& key) {
  Key k = KeyOf(key);
  switch (k.kind) {
    case 1: {
      auto it = item.strs.find(k.s);
      return it == item.strs.end() ? nullptr : &it->second;
    }
    case 3: {
      auto it = item.dbls.find(k.d);
      return it == item.dbls.end() ? nullptr : &it->second;
    }
    case 4: {
      auto it = item.maps.find(k.i);
      return it == item.maps.end() ? nullptr : &it->second;
    }
    default: {
      auto it = item.ints.find(k.i);
      return it == item.ints.end() ? nullptr : &it->second;
    }
  }
}

TagVar& TagMapObject::InsertIn(TagMapItem& item, const TagVar& key) {
  Key k = KeyOf(key);
  switch (k.kind) {
    case 1: {
      auto it = item.strs.find(k.s);
      if (it != item.strs.end()) return it->second;
      item.Changed();
      return item.strs.emplace(std::string(k.s), TagVar()).first->second;
    }
    case 3: {
      auto [it, added] = item.dbls.try_emplace(k.d);
      if (added) item.Changed();
      return it->second;
    }
    case 4: {
      auto [it, added] = item.maps.try_emplace(k.i);
      if (added) item.Changed();
      return it->second;
    }
    default: {
      auto& t = item.ints;
      if (t.empty() || t.rbegin()->first < k.i) {  // arrays filled in order
        item.Changed();
        return t.try_emplace(t.end(), k.i)->second;
      }
      auto [it, added] = t.try_emplace(k.i);
      if (added) item.Changed();
      return it->second;
    }
  }
}

TagVar* TagMapObject::Find(int32_t h, const TagVar& key) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  return item ? FindIn(*item, key) : nullptr;
}

TagVar* TagMapObject::FindOrInsert(int32_t h, const TagVar& key) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  // A map that is gone gets no slot: writes go to the constant null.
  if (!item) return &TagVar::ConstNull();
  return &InsertIn(*item, key);
}

bool TagMapObject::EraseIn(TagMapItem& item, const TagVar& key, int32_t& released) {
  Key k = KeyOf(key);
  auto erase = [&](auto& table, auto it) {
    if (it == table.end()) return false;
    released = it->second.IsMap() ? it->second.MapHandle() : 0;
    table.erase(it);
    item.Changed();
    return true;
  };
  switch (k.kind) {
    case 1: return erase(item.strs, item.strs.find(k.s));
    case 3: return erase(item.dbls, item.dbls.find(k.d));
    case 4: return erase(item.maps, item.maps.find(k.i));
    default: return erase(item.ints, item.ints.find(k.i));
  }
}

int TagMapObject::Remove(int32_t h, const TagVar& key) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  if (!item) return 0;
  int32_t released = 0;
  if (!EraseIn(*item, key, released)) return 0;
  // Released only after the erase: freeing that map may free this one too.
  if (released) Release(released);
  return 1;
}

int32_t TagMapObject::Count(int32_t h) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  return item ? int32_t(item->Size()) : -1;
}

namespace {

// The key of an entry as EntryAt yields it (a map key as its handle).
void KeyToVar(TagMapItem& item, const TagMapItem::Pos& p, TagVar& out) {
  switch (p.table) {
    case 0: out.SetInt(p.i->first); break;
    case 1: out.SetBytes(p.s->first.data(), p.s->first.size()); break;
    case 2: out.SetDouble(p.d->first); break;
    default: out.SetInt(p.m->first); break;
  }
}

}  // namespace

int TagMapObject::EntryAt(int32_t h, int32_t i, TagVar& keyOut, TagVar& valueOut) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  if (!item) return -1;
  TagMapItem::Pos p;
  if (!item->Seek(i, p)) return -2;
  // Pinned while the outputs are written: giving up their old values may
  // drop the last other reference to this very map.
  ++item->refCount;
  KeyToVar(*item, p, keyOut);
  valueOut.Assign(item->Value(p));
  Release(h);
  return i;
}

int TagMapObject::Keys(int32_t h, std::vector<TagVarP>& out) {
  std::lock_guard g(mu_);
  TagMapItem* item = Get(h);
  if (!item) return -1;
  out.clear();
  out.reserve(item->Size());
  for (auto& [k, v] : item->ints) out.push_back({2, k, 0, {}});
  for (auto& [k, v] : item->strs) out.push_back({1, 0, 0, k});
  for (auto& [k, v] : item->dbls) out.push_back({3, 0, k, {}});
  for (auto& [k, v] : item->maps) out.push_back({4, k, 0, {}});
  return int(out.size());
}

// Inserts the entry at p of `from` into `to` and assigns its value. A map
// key becomes an integer key when mapKeyAsInt (as EntryAt yields it).
void TagMapObject::CopyEntry(TagMapItem& to, TagMapItem& from, const TagMapItem::Pos& p, bool mapKeyAsInt) {
  TagVar* e;
  switch (p.table) {
    case 0: e = &to.ints.try_emplace(p.i->first).first->second; break;
    case 1: e = &to.strs.try_emplace(p.s->first).first->second; break;
    case 2: e = &to.dbls.try_emplace(p.d->first).first->second; break;
    default:
      e = mapKeyAsInt ? &to.ints.try_emplace(p.m->first).first->second
                      : &to.maps.try_emplace(p.m->first).first->second;
      break;
  }
  to.Changed();
  e->Assign(from.Value(p));
}

bool TagMapObject::HasKeyLike(TagMapItem& item, TagMapItem& from, const TagMapItem::Pos& p) {
  switch (p.table) {
    case 0: return item.ints.count(p.i->first) != 0;
    case 1: return item.strs.count(p.s->first) != 0;
    case 2: return item.dbls.count(p.d->first) != 0;
    default: return item.maps.count(p.m->first) != 0;
  }
}

int32_t TagMapObject::Clone(int32_t h) {
  std::lock_guard g(mu_);
  TagMapItem* src = Get(h);
  if (!src) return -1;
  int32_t nh = NewMapLocked();
  TagMapItem* dst = Get(nh);
  if (!dst) return -1;
  for (auto p = src->Begin(); !src->AtEnd(p); src->Advance(p)) CopyEntry(*dst, *src, p, true);
  return nh;
}

int32_t TagMapObject::Union(int32_t a, int32_t b) {
  std::lock_guard g(mu_);
  int32_t nh = Clone(a);
  if (nh <= 0) return -1;
  TagMapItem* ib = Get(b);
  if (!ib) return nh;
  TagMapItem* dst = Get(nh);
  for (auto p = ib->Begin(); !ib->AtEnd(p); ib->Advance(p)) {
    // Under the key EntryAt gives, as in the clone.
    TagVar* e;
    switch (p.table) {
      case 0: e = &dst->ints.try_emplace(p.i->first).first->second; break;
      case 1: e = &dst->strs.try_emplace(p.s->first).first->second; break;
      case 2: e = &dst->dbls.try_emplace(p.d->first).first->second; break;
      default: e = &dst->ints.try_emplace(p.m->first).first->second; break;
    }
    dst->Changed();
    if (e->IsNull()) e->Assign(ib->Value(p));
  }
  return nh;
}

int32_t TagMapObject::Intersect(int32_t a, int32_t b) { return KeyFilter(a, b, true); }

int32_t TagMapObject::Difference(int32_t a, int32_t b) { return KeyFilter(a, b, false); }

// Intersect: b's entries whose key a has. Difference: a's entries whose key b lacks.
int32_t TagMapObject::KeyFilter(int32_t a, int32_t b, bool intersect) {
  std::lock_guard g(mu_);
  TagMapItem* ia = Get(a);
  if (!ia) return -1;
  TagMapItem* ib = Get(b);
  if (!ib) return -2;
  int32_t nh = NewMapLocked();
  TagMapItem* dst = Get(nh);
  if (!dst) return -1;
  TagMapItem& from = intersect ? *ib : *ia;
  TagMapItem& other = intersect ? *ia : *ib;
  for (auto p = from.Begin(); !from.AtEnd(p); from.Advance(p))
    if (HasKeyLike(other, from, p) == intersect) CopyEntry(*dst, from, p, false);
  return nh;
}

int TagMapObject::ToText(int32_t h, std::string& out) {
  std::lock_guard g(mu_);
  TagMapItem* root = Get(h);
  if (!root) return -1;
  // An explicit stack instead of recursion; a map already on the path
  // prints as "{...}", so cycles of any length end.
  struct Frame {
    TagMapItem* item;
    int32_t handle;
    TagMapItem::Pos pos;
    bool first;
  };
  std::vector<Frame> stack;
  std::unordered_set<int32_t> onPath;
  const size_t limit = size_t(TagVar::TextLimit());
  out += "{\r\n";
  stack.push_back({root, h, root->Begin(), true});
  onPath.insert(h);
  while (!stack.empty()) {
    if (out.size() > limit) {
      LogAlwaysF("map text of map %d passes %zu bytes, cut", h, limit);
      break;
    }
    Frame& f = stack.back();
    if (f.item->AtEnd(f.pos)) {
      out += "\r\n}";
      onPath.erase(f.handle);
      stack.pop_back();
      continue;
    }
    TagMapItem::Pos p = f.pos;
    f.item->Advance(f.pos);
    if (!f.first) out += ",\r\n";
    f.first = false;
    switch (p.table) {
      case 0:
        TagVar::AppendInt(out, p.i->first);
        break;
      case 1:
        out += '"';
        out += p.s->first;
        out += '"';
        break;
      case 2:
        TagVar::AppendDouble(out, p.d->first, false);
        break;
      default:
        TagVar::AppendInt(out, p.m->first);
        break;
    }
    out += ':';
    TagVar& v = f.item->Value(p);
    if (!v.IsMap()) {
      v.ToText(out, true);
      continue;
    }
    TagMapItem* child = Get(v.MapHandle());
    if (!child) continue;  // a map that is gone prints empty
    if (onPath.count(v.MapHandle())) {
      out += "{...}";
      continue;
    }
    out += "{\r\n";
    onPath.insert(v.MapHandle());
    stack.push_back({child, v.MapHandle(), child->Begin(), true});  // f is not used after this
  }
  return 0;
}

size_t TagMapObject::MapCount() {
  std::lock_guard g(mu_);
  return items_.size();
}

void TagMapObject::Shutdown() {
  std::lock_guard g(mu_);
  shuttingDown_ = true;
  items_.clear();
}

void TagMapObject::SetLastHandleForTest(int32_t h) {
  std::lock_guard g(mu_);
  lastHandle_ = h;
}
