#include "platform/faultguard.h"

#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace plat {
namespace {

constexpr int kFaults[] = {SIGSEGV, SIGFPE, SIGBUS, SIGILL};
constexpr int kFaultCount = sizeof kFaults / sizeof kFaults[0];

// Armed only while this thread is inside a guarded call.
thread_local sigjmp_buf* t_jump = nullptr;

// What was installed before us, one per fault; written once before our
// handlers go in, read only by them.
struct sigaction g_previous[kFaultCount];

int IndexOf(int sig) {
  for (int i = 0; i < kFaultCount; ++i)
    if (kFaults[i] == sig) return i;
  return -1;
}

// Gives the fault to whoever had it before: a handler of its own, or the
// default action (a core dump) once the signal is delivered again.
void PassOn(int sig, siginfo_t* info, void* context) {
  const int i = IndexOf(sig);
  const struct sigaction& before = g_previous[i];
  if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction) {
    before.sa_sigaction(sig, info, context);
    return;
  }
  if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN && before.sa_handler) {
    before.sa_handler(sig);
    return;
  }
  // A fault cannot be ignored: back to the default, and the signal again
  // (still blocked here, it lands when the handler returns; a fault of the
  // instruction itself would come back on its own anyway).
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(sig, &dfl, nullptr);
  raise(sig);
}

void OnFault(int sig, siginfo_t* info, void* context) {
  sigjmp_buf* jump = t_jump;
  // Only a fault the kernel raised on this thread's instructions counts; a
  // signal some process sent keeps its own meaning.
  const bool fromKernel = info && info->si_code > 0;
  if (jump && fromKernel) {
    t_jump = nullptr;
    siglongjmp(*jump, sig);
  }
  PassOn(sig, info, context);
}

void Install() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int i = 0; i < kFaultCount; ++i) sigaction(kFaults[i], nullptr, &g_previous[i]);
    for (int sig : kFaults) {
      struct sigaction sa {};
      sa.sa_sigaction = OnFault;
      sa.sa_flags = SA_SIGINFO;
      sigemptyset(&sa.sa_mask);
      sigaction(sig, &sa, nullptr);
    }
  });
}

}  // namespace

int RunFaultGuarded(void (*call)(void*), void* ctx) {
  Install();
  sigjmp_buf jump;
  // Put back on every way out: return, fault or exception.
  struct Restore {
    sigjmp_buf* outer;
    ~Restore() {
      std::atomic_signal_fence(std::memory_order_seq_cst);
      t_jump = outer;
    }
  } restore{t_jump};
  // The signal mask is saved too: the jump leaves the handler with the
  // fault still blocked otherwise.
  const int sig = sigsetjmp(jump, 1);
  if (sig != 0) return sig;
  t_jump = &jump;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  call(ctx);
  return 0;
}

const char* FaultName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGFPE:
      return "SIGFPE";
    case SIGBUS:
      return "SIGBUS";
    case SIGILL:
      return "SIGILL";
    default: {
      thread_local char text[24];
      std::snprintf(text, sizeof text, "signal %d", sig);
      return text;
    }
  }
}

}  // namespace plat
