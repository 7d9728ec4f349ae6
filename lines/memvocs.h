#pragma once
// Whole voice files kept in memory under their resolved file names: one store
// for the process and one per script instance.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct MemStruct {
  std::vector<uint8_t> data;
  int32_t size = 0;   // bytes read
  int32_t value = 0;  // given at load; the loader passes 0
};

class TagMemVocs {
 public:
  TagMemVocs() = default;
  ~TagMemVocs() { UnloadAll(); }
  TagMemVocs(const TagMemVocs&) = delete;
  TagMemVocs& operator=(const TagMemVocs&) = delete;

  // The file's size; -1 for an empty name; -2 when the file cannot be read,
  // is empty, or the name is already loaded.
  int Load(const std::string& name, int32_t value = 0);
  // The voice, or null. The reference keeps the voice alive after another
  // line unloads it.
  std::shared_ptr<const MemStruct> Find(const std::string& name) const;
  void Unload(const std::string& name);
  void UnloadAll();
  size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::map<std::string, std::shared_ptr<const MemStruct>> voices_;
};

// The process-wide store.
TagMemVocs& GlobalMemVocs();
