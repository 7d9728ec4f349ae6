#pragma once
// User libraries: the process-wide registry of loaded libraries shared by
// file name with a reference count, the resolved functions of each, the
// table of 50 slots of a line, and the call of a resolved function with the
// argument records of services/userdll.h.
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/lineservices.h"
#include "services/userdll.h"

class TagVar;

// One resolved function. Entries are only ever appended, never changed or
// removed while their library is loaded.
struct TagDllFunc {
  std::string name;
  TagDllFn entry = nullptr;  // null when the library has no such symbol
  int argCount = 0;
  std::atomic<TagDllFunc*> next{nullptr};
};

class TagDllName {
 public:
  explicit TagDllName(const std::string& file);
  ~TagDllName();
  TagDllName(const TagDllName&) = delete;
  TagDllName& operator=(const TagDllName&) = delete;

  bool Loaded() const { return module_ != nullptr; }
  const std::string& File() const { return file_; }
  // The first entry of that name, lock-free (entries are published with
  // release and read with acquire); null when there is none.
  const TagDllFunc* FindFunc(const std::string& name) const;
  // Resolves name with count and appends it, unless an entry of that name
  // with an address is already there (a name the library lacks is appended
  // and logged at every attempt). Returns the number of entries.
  int AddFunc(const std::string& name, int count);
  int FuncCount() const { return count_.load(std::memory_order_acquire); }

 private:
  std::string file_;
  void* module_ = nullptr;
  std::mutex lock_;  // serialises appends
  std::atomic<TagDllFunc*> head_{nullptr};
  TagDllFunc* tail_ = nullptr;
  std::atomic<int> count_{0};
};

class TagGlobalDlls {
 public:
  static TagGlobalDlls& Instance();
  // One more reference to the library of that file name, loading it when it
  // is new. A library that failed to load is registered too; the caller
  // releases it again.
  std::shared_ptr<TagDllName> Acquire(const std::string& file);
  // One reference less; the last unloads it (once no slot holds it).
  void Release(const std::string& file);
  // Unloads everything (at exit).
  void Clear();
  size_t Count();
  int RefCount(const std::string& file);

 private:
  struct Entry {
    std::shared_ptr<TagDllName> dll;
    int refs = 0;
  };
  std::mutex lock_;
  std::map<std::string, Entry> dlls_;
};

// The 50 library slots of a line's script instance.
struct TagKxDll : TagLineService {
  static constexpr int kSlots = 50;
  ~TagKxDll() override { FreeAll(); }
  void Close() override { FreeAll(); }

  // The slot (0 to 49) holding file; -1 it could not be loaded; -2 no free slot.
  int Load(const std::string& file);
  void Free(int slot);
  void FreeAll();
  // The slot, or -1 when it is out of range or empty.
  int AddFunc(int slot, const std::string& name, int count);
  // The first resolved entry of name over the slots in order; null when none.
  const TagDllFunc* FindFunc(const std::string& name) const;

  std::shared_ptr<TagDllName> slots[kSlots];
};

// Calls fn with the values: private copies of their texts, copy-back into
// the values that are not constants. The function's result; -100 when it
// threw or raised a hardware fault (logged with its name; after a fault
// nothing is copied back).
int CallDllFunction(const TagDllFunc& fn, const std::vector<TagVar*>& args);
