#pragma once
#include <atomic>
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

// One script map (defined in tagmap.cpp): integer keys in an array part for
// dense keys from 0 and an ordered table for the rest, string keys in a hash
// table with a sorted order kept for iteration, double and map keys in
// ordered tables; a lock of its own.
class TagMapItem;

// The process-wide registry of maps under integer handles, shared by
// reference count across lines.
//
// Locking: the registry's lock is held only to give out handles, find an
// item by its handle and pin it, change counts and unregister an item. Each
// map has a lock of its own, re-entrant, held while its elements are read or
// written; a thread never holds two maps' locks at once, and never takes a
// map's lock while it holds the registry's. Maps released while a thread
// holds a map's lock are released when it lets go of its last one, so
// freeing a map never runs under another map's lock. A pinned map's memory
// stays until its last pin goes, even when it is freed meanwhile.
//
// Find, FindOrInsert and TagVar::Item hand out element pointers that stay
// valid until the next insert or removal on that map: a caller that keeps one
// on a map another line may use holds LockMap(handle) around the use.
//
// Handles are positive and never reused while in use: the counter wraps from
// INT32_MAX back to 1 and skips live handles, so 0 and negative results
// always mean "no map" or an error.
class TagMapObject {
 public:
  static TagMapObject& Instance();

  // One map's lock with a pin on the map, for a caller that works on element
  // references of a map other lines may use. Re-entrant on the thread; no
  // other map may be touched while it is held. Holds nothing for a handle
  // that is not registered.
  class MapGuard {
   public:
    MapGuard() = default;
    MapGuard(MapGuard&& o) noexcept : item_(o.item_) { o.item_ = nullptr; }
    MapGuard& operator=(MapGuard&&) = delete;
    ~MapGuard();

   private:
    friend class TagMapObject;
    explicit MapGuard(TagMapItem* item) : item_(item) {}
    TagMapItem* item_ = nullptr;
  };
  MapGuard LockMap(int32_t h);

  // A new empty map with count 0; 0 once the registry is shut down.
  int32_t NewMap();
  // count + 1: the new count, -1 when h is not registered.
  int32_t AddRef(int32_t h);
  // count - 1, freeing the map at 0 (its map elements are released in turn,
  // through a work list, so any depth of nesting is safe): 0, or -1. Called
  // while the thread holds a map's lock, the release waits until the thread
  // lets go of it (and answers 0).
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
  friend class TagMapItem;
  TagMapObject() = default;

  // Element access of TagVar (see tagvar.h).
  void GetElement(int32_t h, const TagVar& key, TagVar& out);
  // The element of the map that `map` holds, made when absent (a value that
  // is not a live map first becomes a new one); ConstNull() when no map can
  // be had. With value: assigns it. With out: copies the element into it.
  TagVar* ElementOf(TagVar& map, const TagVar& key, const TagVar* value, TagVar* out);

  // The registered item of h, pinned by this thread's cache of recent maps;
  // nullptr when h is not registered. Valid until the thread's next lookup.
  TagMapItem* Pinned(int32_t h);
  TagMapItem* PinnedSlow(int32_t h);
  // The registered item of h with a pin of the caller's, or nullptr.
  TagMapItem* Pin(int32_t h);
  static void Unpin(TagMapItem* item);
  int32_t NewMapLocked(int32_t refCount);
  int32_t ReleaseNow(int32_t h);
  static void DrainReleases();
  static void FreeItem(TagMapItem* item, bool releaseChildren);
  int32_t KeyFilter(int32_t a, int32_t b, bool intersect);
  friend struct TagMapPinCache;
  friend struct TagMapInternals;

  std::mutex mu_;
  std::unordered_map<int32_t, TagMapItem*> items_;
  int32_t lastHandle_ = 0;
  bool shuttingDown_ = false;
};
