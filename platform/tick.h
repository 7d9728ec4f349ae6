#pragma once
#include <cstdint>

namespace plat {

// Milliseconds of the monotonic clock, wrapping like the 32-bit tick count the
// scripts and timers were written against. Differences are taken unsigned.
uint32_t TickCount();

// Sleeps the calling thread for the given milliseconds (0 yields).
void SleepMs(uint32_t ms);

// Thread id as shown in log lines.
unsigned long ThreadId();

}  // namespace plat
