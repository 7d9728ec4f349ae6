#pragma once
// The per-line state of the services (data sets, sockets, message queues,
// shared values, text files, DLLs, speech), owned by the line's main script
// instance and reached through TagTelBasic::Services() of the root instance.
//
// A service keeps its state in a slot type of its own, in its own folder:
//   struct TagDataSetSlots : TagLineService {
//     void Close() override { ... }  // before the instance's operations go
//     std::vector<TagDataSet*> dataSets;
//   };
//   auto& slots = root->Services().Get<TagDataSetSlots>();
// so a new service touches neither this file nor the script instance.
// Teardown, in the instance's destructor: every slot's Close() in creation
// order before the operations are deleted, then the slots themselves in
// reverse creation order after them.
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

class TagLineService {
 public:
  virtual ~TagLineService() = default;
  // Release what outside parties see (connections, handles) while the
  // operations still exist; the destructor frees the rest.
  virtual void Close() {}
};

class TagLineServices {
 public:
  TagLineServices() = default;
  TagLineServices(const TagLineServices&) = delete;
  TagLineServices& operator=(const TagLineServices&) = delete;
  ~TagLineServices() {
    while (!slots_.empty()) slots_.pop_back();
  }

  // The line's slot of type T, made on first use. Other lines may reach a
  // line's slots (messages between lines), so making one takes the lock.
  template <class T>
  T& Get() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [key, slot] : slots_)
      if (key == KeyOf<T>()) return static_cast<T&>(*slot);
    slots_.emplace_back(KeyOf<T>(), std::make_unique<T>());
    return static_cast<T&>(*slots_.back().second);
  }
  // The slot of type T, or null when the line never used it.
  template <class T>
  T* Find() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [key, slot] : slots_)
      if (key == KeyOf<T>()) return static_cast<T*>(slot.get());
    return nullptr;
  }

  void CloseAll() {
    std::vector<TagLineService*> order;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (auto& s : slots_) order.push_back(s.second.get());
    }
    for (TagLineService* s : order) s->Close();
  }

 private:
  using Key = const void*;
  template <class T>
  static Key KeyOf() {
    static const char key = 0;
    return &key;
  }
  std::mutex mu_;
  std::vector<std::pair<Key, std::unique_ptr<TagLineService>>> slots_;
};

// The sockets the script's TCP operations opened: opening adds, closing
// removes; those still open close with the instance. Each is also recorded
// for ownerLine in the descriptor registry, and closes through it.
struct TagSocketSlot : TagLineService {
  void Close() override;
  std::set<int> sockets;
  int ownerLine = 0;
};
