#pragma once
// Starting other programs without a shell, waiting for them by pid, and the
// memory and disk figures scripts ask for.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// Splits a command line as the Windows C runtime does for argv: blanks and
// tabs separate arguments; a double quote toggles quoting; inside quotes a
// doubled quote is one literal quote; 2n backslashes before a quote give n
// backslashes and the quote acts, 2n+1 give n and a literal quote; other
// backslashes are plain. The first word (the program) ends at the first
// blank outside quotes and takes its backslashes literally. Shell syntax
// (; | & $ ` > <) is ordinary text.
std::vector<std::string> SplitCommandLine(const std::string& line);

// Starts argv[0] (looked up in PATH when it has no slash) with the process's
// environment, working directory and standard streams (no other descriptor);
// the child's pid, or -1 when it could not be started (no such program, not
// executable, empty argv).
pid_t SpawnProgram(const std::vector<std::string>& argv);

// Collects pid when it has ended: true with its exit code (128 + signal for a
// killed child). Never blocks and never touches other children.
bool TryReap(pid_t pid, int* exitCode);
// Kills pid and collects it (blocks only for the kernel to finish it).
void KillAndReap(pid_t pid);
// Hands a child nobody waits for to the reaper thread, which collects it by
// its pid once it ends, so no zombie is left behind.
void ReapLater(pid_t pid);
// Children handed over and not yet collected.
size_t PendingReaps();

// The process's own memory counters in kilobytes, from /proc/self/status:
// resident set (VmRSS), its peak (VmHWM), and the private memory it holds
// (anonymous pages in memory, RssAnon, plus those swapped out, VmSwap) with
// its peak. Address space merely reserved (VmSize: thread stacks, allocator
// arenas) is not memory held. False when the file cannot be read.
struct MemoryFigures {
  uint64_t residentKb = 0, peakResidentKb = 0, privateKb = 0, peakPrivateKb = 0;
};
// The kernel keeps no peak of private memory: the peak is the highest figure
// read in this process so far.
bool ReadMemoryFigures(MemoryFigures* out);
// Parses the text of a /proc/<pid>/status file; missing keys read 0, and
// the peak of private memory is the figure itself.
MemoryFigures ParseMemoryFigures(const std::string& statusText);

// Size and free bytes of the file system holding path.
bool DiskSpace(const std::string& path, uint64_t* totalBytes, uint64_t* freeBytes);

}  // namespace plat
