#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/tagvar.h"

// Double keys in ascending order; NaN sorts after everything and equals
// itself, so a NaN key cannot break the table.
struct TagDblKeyLess {
  bool operator()(double a, double b) const {
    if (a != a) return false;
    if (b != b) return true;
    return a < b;
  }
};

// One script map: four ordered tables, one per key kind, iterated in this
// order: integer keys ascending, string keys (unsigned byte order), double
// keys, map keys (by handle). Element values are TagVar; using a map as a key
// does not count as a reference to it.
class TagMapItem {
 public:
  using IntTable = std::map<int32_t, TagVar>;
  using StrTable = std::map<std::string, TagVar, std::less<>>;
  using DblTable = std::map<double, TagVar, TagDblKeyLess>;

  IntTable ints;
  StrTable strs;
  DblTable dbls;
  IntTable maps;
  int32_t refCount = 0;

  size_t Size() const { return ints.size() + strs.size() + dbls.size() + maps.size(); }

  // A position in iteration order; table 4 is the end.
  struct Pos {
    int table = 0;
    IntTable::iterator i;
    StrTable::iterator s;
    DblTable::iterator d;
    IntTable::iterator m;
  };
  Pos Begin();
  bool AtEnd(const Pos& p) const { return p.table >= 4; }
  void Advance(Pos& p);
  // One entry back; false at the first.
  bool StepBack(Pos& p);
  TagVar& Value(const Pos& p);
  // Key kind of the entry (2 integer, 1 string, 3 double, 4 map).
  int KeyKind(const Pos& p) const;
  // The i-th entry; sequential access is O(1) through a cached cursor.
  bool Seek(int32_t index, Pos& out);
  void Changed() { cursorIndex_ = -1; }

 private:
  void Settle(Pos& p);
  int32_t cursorIndex_ = -1;
  Pos cursor_;
};

// The process-wide registry of maps under integer handles, shared by
// reference count across lines.
//
// Locking: one recursive registry lock is held across every operation below,
// element work included, so two lines may use one map at once. Find and
// FindOrInsert hand out element pointers: a caller that uses one after the
// call on a map another line may touch holds Lock() around the use. Nested
// calls from the same thread (an Assign inside a set operation) re-enter.
//
// Handles are positive and never reused while in use: the counter wraps from
// INT32_MAX back to 1 and skips live handles, so 0 and negative results
// always mean "no map" or an error.
class TagMapObject {
 public:
  static TagMapObject& Instance();

  std::unique_lock<std::recursive_mutex> Lock() { return std::unique_lock(mu_); }

  // A new empty map with count 0; 0 once the registry is shut down.
  int32_t NewMap();
  // count + 1: the new count, -1 when h is not registered.
  int32_t AddRef(int32_t h);
  // count - 1, freeing the map at 0 (its map elements are released in turn,
  // through a work list, so any depth of nesting is safe): 0, or -1.
  int32_t Release(int32_t h);
  bool IsRegistered(int32_t h);
  // The count of h, -1 when not registered.
  int32_t RefCount(int32_t h);

  // The element under key or nullptr. Never creates.
  TagVar* Find(int32_t h, const TagVar& key);
  // The element under key, created as null when absent. For a handle that is
  // not registered: TagVar::ConstNull() (writes to it are ignored).
  TagVar* FindOrInsert(int32_t h, const TagVar& key);
  // Nulls the element (releasing a map element) and erases it: 1, or 0 when
  // the key or the handle is not there.
  int Remove(int32_t h, const TagVar& key);
  // Elements over the four tables; -1 when not registered.
  int32_t Count(int32_t h);
  // The i-th entry in iteration order: key into keyOut as int, string or
  // double (a map key as its handle, an int), element assigned to valueOut.
  // Returns i, -1 not registered, -2 past the end.
  int EntryAt(int32_t h, int32_t i, TagVar& keyOut, TagVar& valueOut);
  // Clears out and lists every key in iteration order: the count, or -1.
  int Keys(int32_t h, std::vector<TagVarP>& out);

  // New maps with count 0 (they gain their first reference when assigned).
  // Clone: every entry re-inserted under its EntryAt key; -1 not registered.
  int32_t Clone(int32_t h);
  // Clone(a), then b's entries fill keys that are absent or null in a.
  // -1 when a is not registered; a plain clone when b is not.
  int32_t Union(int32_t a, int32_t b);
  // b's entries whose key a has, with b's values; -1 / -2 when a / b is not
  // registered.
  int32_t Intersect(int32_t a, int32_t b);
  // a's entries whose key b lacks; -1 / -2 as Intersect.
  int32_t Difference(int32_t a, int32_t b);

  // The map text "{\r\n" entries ",\r\n" "\r\n}" appended to out; a map that
  // is already being printed further out shows as "{...}". Iterative, so any
  // depth prints; it stops at the string length limit. 0, or -1 (out left
  // empty of it) when not registered.
  int ToText(int32_t h, std::string& out);

  // Live maps (tests and diagnostics).
  size_t MapCount();
  // Frees every map without touching elements; later calls find nothing.
  // Run by the static finaliser.
  void Shutdown();
  // Tests: where the handle counter stands.
  void SetLastHandleForTest(int32_t h);

 private:
  friend class TagVar;
  TagMapObject() = default;
  TagMapItem* Get(int32_t h) {
    auto it = items_.find(h);
    return it == items_.end() ? nullptr : it->second.get();
  }
  TagVar* FindIn(TagMapItem& item, const TagVar& key);
  TagVar& InsertIn(TagMapItem& item, const TagVar& key);
  bool EraseIn(TagMapItem& item, const TagVar& key, int32_t& releasedHandle);
  bool HasKeyLike(TagMapItem& item, TagMapItem& from, const TagMapItem::Pos& p);
  void CopyEntry(TagMapItem& to, TagMapItem& from, const TagMapItem::Pos& p, bool mapKeyAsInt);
  void FreeItems(int32_t first);
  int32_t NewMapLocked();
  int32_t KeyFilter(int32_t a, int32_t b, bool intersect);

  std::recursive_mutex mu_;
  std::unordered_map<int32_t, std::unique_ptr<TagMapItem>> items_;
  int32_t lastHandle_ = 0;
  bool shuttingDown_ = false;
};
