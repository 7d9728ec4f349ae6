#pragma once
#include <cstdint>

namespace plat {

// Milliseconds of the monotonic clock, wrapping like the 32-bit tick count the
// scripts and timers were written against. Differences are taken unsigned.
uint32_t TickCount();
// The same clock as last updated by the kernel's tick: a few ms behind at
// worst, but several times cheaper to read. For checks made very often.
uint32_t CoarseTickCount();

// Sleeps the calling thread for the given milliseconds (0 yields).
void SleepMs(uint32_t ms);

// Thread id as shown in log lines.
unsigned long ThreadId();

}  // namespace plat
