#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

namespace plat {

std::string KernelObjectName(const std::string& base) {
  const char* suffix = std::getenv("RODIZ_KOBJ_SUFFIX");
  return suffix && *suffix ? base + " " + suffix : base;
}

namespace {

std::string RuntimeDir() {
  const char* d = std::getenv("XDG_RUNTIME_DIR");
  return d && *d ? std::string(d) : std::string("/tmp");
}

// Semaphore names are one path component: no slashes after the first.
std::string SemName(const std::string& name) {
  std::string n = "/" + KernelObjectName(name);
  for (size_t i = 1; i < n.size(); ++i)
    if (n[i] == '/') n[i] = '_';
  return n;
}

}  // namespace

InstanceLock::InstanceLock(const std::string& name)
    : path_(RuntimeDir() + "/" + KernelObjectName(name) + ".lock") {}

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::Acquire() {
  if (fd_ >= 0) return true;
  int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void InstanceLock::Release() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

NamedEvent::~NamedEvent() { Close(); }

bool NamedEvent::Create(const std::string& name) {
  Close();
  semName_ = SemName(name);
  ::sem_unlink(semName_.c_str());
  sem_t* s = ::sem_open(semName_.c_str(), O_CREAT | O_EXCL, 0600, 0);
  if (s == SEM_FAILED) return false;
  sem_ = s;
  owner_ = true;
  return true;
}

bool NamedEvent::Open(const std::string& name) {
  Close();
  semName_ = SemName(name);
  sem_t* s = ::sem_open(semName_.c_str(), 0);
  if (s == SEM_FAILED) return false;
  sem_ = s;
  owner_ = false;
  return true;
}

void NamedEvent::Set() {
  if (!sem_) return;
  // Auto-reset semantics: setting an event that is already set changes nothing.
  int v = 0;
  if (::sem_getvalue(sem_, &v) == 0 && v > 0) return;
  ::sem_post(sem_);
}

bool NamedEvent::TryWait() { return sem_ && ::sem_trywait(sem_) == 0; }

void NamedEvent::Close() {
  if (!sem_) return;
  ::sem_close(sem_);
  if (owner_) ::sem_unlink(semName_.c_str());
  sem_ = nullptr;
  owner_ = false;
}

}  // namespace plat
