#include "platform/thread.h"

#include <memory>

namespace plat {

Thread::~Thread() { Join(); }

void* Thread::Entry(void* arg) {
  std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(arg));
  (*fn)();
  return nullptr;
}

bool Thread::Start(std::function<void()> fn, size_t stackSize) {
  Join();
  pthread_attr_t attr;
  pthread_attr_init(&attr);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Sanitizers enlarge frames several times over; keep the limit's spirit, not its number.
  stackSize *= 4;
#endif
  if (stackSize < static_cast<size_t>(PTHREAD_STACK_MIN)) stackSize = static_cast<size_t>(PTHREAD_STACK_MIN);
  pthread_attr_setstacksize(&attr, stackSize);
  auto* heapFn = new std::function<void()>(std::move(fn));
  int rc = pthread_create(&tid_, &attr, &Thread::Entry, heapFn);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete heapFn;
    return false;
  }
  started_ = true;
  return true;
}

void Thread::Join() {
  if (!started_) return;
  if (IsCurrent()) {
    pthread_detach(tid_);
  } else {
    pthread_join(tid_, nullptr);
  }
  started_ = false;
}

bool Thread::IsCurrent() const { return started_ && pthread_equal(tid_, pthread_self()); }

}  // namespace plat
