#pragma once
// Calls into code we do not control (functions of user libraries) with the
// hardware faults they may raise caught: the thread that faults inside such
// a call jumps back out of it, so the line that made the call goes on and
// the other lines never notice. A fault anywhere else keeps its ordinary
// action (an earlier handler such as a sanitizer's, else the default with
// its core dump). A fault from a stack overflow is not caught: the handler
// runs on the faulting thread's own stack.

namespace plat {

// Runs call(ctx) on this thread. 0 when it returned; the signal's number
// (SIGSEGV, SIGFPE, SIGBUS, SIGILL) when the kernel raised that fault on
// this thread inside it. What the call left half done (locks, memory) stays
// so. An exception thrown by call passes through.
int RunFaultGuarded(void (*call)(void*), void* ctx);

// "SIGSEGV", "SIGFPE", "SIGBUS", "SIGILL"; "signal %d" for any other.
const char* FaultName(int sig);

}  // namespace plat
