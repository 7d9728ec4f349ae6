#pragma once
#include <semaphore.h>

#include <string>

namespace plat {

// Kernel objects are named per user session: the lock file lives in
// $XDG_RUNTIME_DIR (else /tmp), and RODIZ_KOBJ_SUFFIX, when set, is added to
// every name so that tests can run several installations side by side.
std::string KernelObjectName(const std::string& base);

// The single-instance guard: an flock on a lock file, freed by the kernel when
// the process dies.
class InstanceLock {
 public:
  explicit InstanceLock(const std::string& name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;
  // False when another process holds it.
  bool Acquire();
  void Release();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// A named auto-reset event. Create() makes it (replacing a stale one left by
// a dead process); Open() succeeds only when somebody created it.
class NamedEvent {
 public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  bool Create(const std::string& name);
  bool Open(const std::string& name);
  bool IsOpen() const { return sem_ != nullptr; }
  void Set();
  // Takes the event if it is set; never blocks.
  bool TryWait();
  void Close();

 private:
  sem_t* sem_ = nullptr;
  std::string semName_;
  bool owner_ = false;
};

}  // namespace plat
