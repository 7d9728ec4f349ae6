#include "lines/memvocs.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "core/log.h"
#include "platform/path.h"

int TagMemVocs::Load(const std::string& name, int32_t value) {
  if (name.empty()) return -1;
  {
    std::lock_guard<std::mutex> l(lock_);
    if (voices_.count(name)) return -2;
  }
  // The file is read without the lock: other lines keep finding their voices
  // meanwhile.
  auto voc = std::make_shared<MemStruct>();
  voc->value = value;
  FILE* f = plat::OpenFile(name, "rb");
  if (!f) {
    LogAlways(" LoadVocFile() error : " + name);
    return -2;
  }
  long length = 0;
  if (std::fseek(f, 0, SEEK_END) == 0) length = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (length > 0 && length < INT32_MAX) {
    voc->data.resize(static_cast<size_t>(length));
    size_t got = 0;
    while (got < voc->data.size()) {
      size_t piece = std::min<size_t>(2048, voc->data.size() - got);
      size_t n = std::fread(voc->data.data() + got, 1, piece, f);
      if (n == 0) break;
      got += n;
    }
    voc->data.resize(got);
    voc->size = static_cast<int32_t>(got);
  }
  std::fclose(f);
  if (voc->size == 0) return -2;
  std::lock_guard<std::mutex> l(lock_);
  // Another thread may have loaded the same name while we read.
  if (!voices_.emplace(name, voc).second) return -2;
  return voc->size;
}

std::shared_ptr<const MemStruct> TagMemVocs::Find(const std::string& name) const {
  std::lock_guard<std::mutex> l(lock_);
  auto it = voices_.find(name);
  return it == voices_.end() ? nullptr : it->second;
}

void TagMemVocs::Unload(const std::string& name) {
  std::shared_ptr<const MemStruct> dropped;  // freed after the lock is let go
  std::lock_guard<std::mutex> l(lock_);
  auto it = voices_.find(name);
  if (it == voices_.end()) return;
  dropped = std::move(it->second);
  voices_.erase(it);
}

void TagMemVocs::UnloadAll() {
  std::map<std::string, std::shared_ptr<const MemStruct>> dropped;
  std::lock_guard<std::mutex> l(lock_);
  dropped.swap(voices_);
}

size_t TagMemVocs::Count() const {
  std::lock_guard<std::mutex> l(lock_);
  return voices_.size();
}

TagMemVocs& GlobalMemVocs() {
  static TagMemVocs store;
  return store;
}

