#include "platform/faultguard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Faulting code as a careless library has it, without the sanitizers'
// checks, which would report each fault before the hardware raises it.
#define RAW_CODE __attribute__((noinline, no_sanitize("address", "undefined")))

RAW_CODE void ReadNull(void*) {
  volatile int* volatile p = nullptr;
  const int v = *p;
  static_cast<void>(v);
}

RAW_CODE void DivideByZero(void* out) {
  volatile int zero = 0;
  *static_cast<int*>(out) = 7 / zero;
}

RAW_CODE void ReadPastFileEnd(void*) {
  static volatile char* page = [] {
    const int fd = memfd_create("faultguard-test", 0);
    void* p = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    return static_cast<volatile char*>(p);
  }();
  const char v = page[0];
  static_cast<void>(v);
}

RAW_CODE void IllegalInstruction(void*) {
#if defined(__x86_64__) || defined(__i386__)
  __asm__ volatile("ud2");
#elif defined(__aarch64__)
  __asm__ volatile("udf #0");
#else
  __builtin_trap();
#endif
}

struct FaultCase {
  void (*call)(void*);
  int sig;
  const char* name;
};

const FaultCase kFaults[] = {
    {ReadNull, SIGSEGV, "SIGSEGV"},
#if defined(__x86_64__) || defined(__i386__)  // elsewhere division by zero does not trap
    {DivideByZero, SIGFPE, "SIGFPE"},
#endif
    {ReadPastFileEnd, SIGBUS, "SIGBUS"},
    {IllegalInstruction, SIGILL, "SIGILL"},
};

TEST(FaultGuard, EachFaultEndsOnlyTheCallAgainAndAgain) {
  for (const FaultCase& f : kFaults) {
    SCOPED_TRACE(f.name);
    int out = 0;
    // Twice: the first jump out must leave the signal unblocked.
    EXPECT_EQ(plat::RunFaultGuarded(f.call, &out), f.sig);
    EXPECT_EQ(plat::RunFaultGuarded(f.call, &out), f.sig);
    EXPECT_STREQ(plat::FaultName(f.sig), f.name);
  }
  int out = 0;
  EXPECT_EQ(plat::RunFaultGuarded([](void* p) { *static_cast<int*>(p) = 42; }, &out), 0);
  EXPECT_EQ(out, 42);
}

TEST(FaultGuard, ThreadsFaultingAtOnceEachGetTheirOwnCallBack) {
  std::atomic<int> caught{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const FaultCase& f = kFaults[(t + i) % (sizeof kFaults / sizeof kFaults[0])];
        int out = 0;
        (plat::RunFaultGuarded(f.call, &out) == f.sig ? caught : wrong).fetch_add(1);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(caught.load(), 800);
  EXPECT_EQ(wrong.load(), 0);
}

TEST(FaultGuard, AnExceptionPassesThroughAndDisarms) {
  EXPECT_THROW(plat::RunFaultGuarded([](void*) { throw std::runtime_error("x"); }, nullptr), std::runtime_error);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The guard is gone: a fault now is the crash it always was.
  EXPECT_DEATH(ReadNull(nullptr), "");
}

TEST(FaultGuard, OutsideAGuardedCallAFaultStillKills) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  int out = 0;
  ASSERT_EQ(plat::RunFaultGuarded(ReadNull, &out), SIGSEGV);  // handlers in place
  EXPECT_DEATH(ReadNull(nullptr), "");
  EXPECT_DEATH(IllegalInstruction(nullptr), "");
  // A fault signal sent to the thread, not raised by its code, is not one.
  EXPECT_DEATH(plat::RunFaultGuarded([](void*) { raise(SIGSEGV); }, nullptr), "");
}

}  // namespace
