#pragma once
// Fault injection for tests: the Nth open, write, connect or accept of the
// process fails with a chosen errno, or a write goes out short. Unarmed it
// costs one relaxed atomic load per call.
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

namespace plat {

namespace faults {

enum class Op { kOpen, kWrite, kConnect, kAccept };

// From the nth call of op on (1: the next one), `times` calls fail with err
// (0: every call until Disarm). A failing write first lets `keep` bytes
// through when keep > 0, so the caller sees a short write.
void Arm(Op op, int nth, int err, int times = 1, size_t keep = 0);
// Every op works again.
void Disarm();
// Calls of op that failed since it was armed.
int Failed(Op op);

extern std::atomic<bool> g_armed;
bool HitSlow(Op op, size_t* keep);

// Whether this call of op fails (errno is then set). For a write, *keep gets
// the bytes that still go out before the failure.
inline bool Hit(Op op, size_t* keep = nullptr) {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  return HitSlow(op, keep);
}

}  // namespace faults

// The system calls that fault injection reaches: same results as the calls.
int OpenFd(const char* path, int flags, mode_t mode = 0);
ssize_t WriteFd(int fd, const void* p, size_t n);
ssize_t PwriteFd(int fd, const void* p, size_t n, off_t pos);
// fwrite and fflush in one: the bytes that reached the file's buffer; fewer
// than n, or a failed flush (errno set, false in *flushed), is a failure.
size_t WriteStream(FILE* f, const void* p, size_t n, bool* flushed = nullptr);

// Appends a record with one write to a descriptor opened with O_APPEND, so
// writers of one file never interleave. A write that went out short is taken
// back (the file cut to where the record began, unless another writer has
// appended since): no record is torn or glued to the next. False on failure,
// errno kept.
bool AppendWhole(int fd, const void* p, size_t n);

}  // namespace plat
