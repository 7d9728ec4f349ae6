#pragma once
#include <atomic>
#include <cstdint>

namespace plat {

// Milliseconds of the monotonic clock, wrapping like the 32-bit tick count the
// scripts and timers were written against. Differences are taken unsigned.
uint32_t TickCount();
// The same clock as last updated by the kernel's tick: a few ms behind at
// worst, but several times cheaper to read. For checks made very often.
uint32_t CoarseTickCount();
// The coarse clock as one process-wide word, refreshed every few ms by a
// single thread that the first call starts (and the process joins at exit):
// reading it is one load, for checks made between every two statements.
// It may lag the clock by a few ms more under load, never run ahead.
// It moves only while somebody holds it (the word is fresh when a hold
// begins); each hold is released once.
const std::atomic<uint32_t>& SharedTickWord();
void HoldSharedTick();
void ReleaseSharedTick();

// Sleeps the calling thread for the given milliseconds (0 yields).
void SleepMs(uint32_t ms);

// Thread id as shown in log lines.
unsigned long ThreadId();

}  // namespace plat
