#include "platform/faults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace plat {

namespace faults {

std::atomic<bool> g_armed{false};

namespace {

struct Plan {
  bool on = false;
  int calls = 0;  // calls seen since armed
  int nth = 0, err = 0, times = 0, failed = 0;
  size_t keep = 0;
};

std::mutex g_mu;
Plan g_plans[4];

}  // namespace

void Arm(Op op, int nth, int err, int times, size_t keep) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_plans[static_cast<int>(op)] = Plan{true, 0, nth < 1 ? 1 : nth, err, times, 0, keep};
  g_armed.store(true, std::memory_order_relaxed);
}

void Disarm() {
  std::lock_guard<std::mutex> lock(g_mu);
  for (Plan& p : g_plans) p = Plan{};
  g_armed.store(false, std::memory_order_relaxed);
}

int Failed(Op op) {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_plans[static_cast<int>(op)].failed;
}

bool HitSlow(Op op, size_t* keep) {
  std::lock_guard<std::mutex> lock(g_mu);
  Plan& p = g_plans[static_cast<int>(op)];
  if (!p.on) return false;
  const int call = ++p.calls;
  if (call < p.nth || (p.times > 0 && call >= p.nth + p.times)) return false;
  p.failed++;
  if (keep) *keep = p.keep;
  errno = p.err;
  return true;
}

}  // namespace faults

int OpenFd(const char* path, int flags, mode_t mode) {
  if (faults::Hit(faults::Op::kOpen)) return -1;
  return ::open(path, flags, mode);
}

namespace {

// A write that was told to fail: `keep` bytes go out, then the error.
template <typename Put>
ssize_t Faulted(size_t n, size_t keep, Put put) {
  const int err = errno;
  if (keep > 0 && keep < n) {
    const ssize_t w = put(keep);
    errno = err;
    return w;
  }
  errno = err;
  return -1;
}

}  // namespace

ssize_t WriteFd(int fd, const void* p, size_t n) {
  size_t keep = 0;
  if (faults::Hit(faults::Op::kWrite, &keep)) return Faulted(n, keep, [&](size_t k) { return ::write(fd, p, k); });
  return ::write(fd, p, n);
}

ssize_t PwriteFd(int fd, const void* p, size_t n, off_t pos) {
  size_t keep = 0;
  if (faults::Hit(faults::Op::kWrite, &keep))
    return Faulted(n, keep, [&](size_t k) { return ::pwrite(fd, p, k, pos); });
  return ::pwrite(fd, p, n, pos);
}

size_t WriteStream(FILE* f, const void* p, size_t n, bool* flushed) {
  size_t keep = 0;
  if (faults::Hit(faults::Op::kWrite, &keep)) {
    const int err = errno;
    size_t w = 0;
    if (keep > 0 && keep < n) {
      w = std::fwrite(p, 1, keep, f);
      std::fflush(f);
    }
    errno = err;
    if (flushed) *flushed = false;
    return w;
  }
  const size_t w = n ? std::fwrite(p, 1, n, f) : 0;
  const bool ok = std::fflush(f) == 0;
  if (flushed) *flushed = ok;
  return w;
}

bool AppendWhole(int fd, const void* p, size_t n) {
  ssize_t w;
  do {
    w = WriteFd(fd, p, n);
  } while (w < 0 && errno == EINTR);
  if (w == static_cast<ssize_t>(n)) return true;
  const int err = w < 0 ? errno : ENOSPC;
  if (w > 0) {
    // Our bytes end where the position stands now (O_APPEND put them at the
    // end); a second write could land after another writer's record.
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    struct stat st {};
    if (end >= w && ::fstat(fd, &st) == 0 && st.st_size == end) {
      while (::ftruncate(fd, end - w) != 0 && errno == EINTR) {
      }
    }
  }
  errno = err;
  return false;
}

}  // namespace plat
