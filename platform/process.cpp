#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/path.h"
#include "platform/thread.h"
#include "platform/tick.h"

extern char** environ;

namespace plat {

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  const size_t n = line.size();
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (i < n && blank(line[i])) ++i;
  if (i >= n) return out;

  // The program name: quotes group, backslashes are path separators.
  std::string word;
  bool quoted = false;
  for (; i < n; ++i) {
    const char c = line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && blank(c)) {
      break;
    } else {
      word += c;
    }
  }
  out.push_back(word);

  while (true) {
    while (i < n && blank(line[i])) ++i;
    if (i >= n) break;
    word.clear();
    quoted = false;
    while (i < n) {
      const char c = line[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && line[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && line[i] == '"') {
          word.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            word += '"';
            ++i;
          }
          // An even count leaves the quote to act below.
        } else {
          word.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && line[i + 1] == '"') {
          word += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (!quoted && blank(c)) break;
      word += c;
      ++i;
    }
    out.push_back(word);
  }
  return out;
}

pid_t SpawnProgram(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) return -1;
  std::string program = argv[0];
  // A path is named the Windows way; a bare name is looked up in PATH.
  if (program.find_first_of("/\\") != std::string::npos) program = ResolvePath(program);
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  args.push_back(program.data());
  std::vector<std::string> rest(argv.begin() + 1, argv.end());
  for (std::string& a : rest) args.push_back(a.data());
  args.push_back(nullptr);
  // Only the standard streams pass on: a program left running must not
  // hold the platform's sockets and files (its listening ports among them).
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return -1;
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

namespace {

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Collects handed-over children by pid. Its thread runs only while there are
// children to collect and is joined before the next one starts and at exit.
class Reaper {
 public:
  ~Reaper() {
    stop_.store(true);
    thread_.Join();
  }
  void Add(pid_t pid) {
    std::lock_guard<std::mutex> g(lock_);
    pids_.push_back(pid);
    if (running_) return;
    thread_.Join();
    running_ = true;
    if (!thread_.Start([this] { Loop(); }, 64 * 1024)) running_ = false;
  }
  size_t Pending() {
    std::lock_guard<std::mutex> g(lock_);
    return pids_.size();
  }

 private:
  void Loop() {
    while (!stop_.load()) {
      {
        std::lock_guard<std::mutex> g(lock_);
        for (size_t i = 0; i < pids_.size();) {
          int status = 0;
          const pid_t r = ::waitpid(pids_[i], &status, WNOHANG);
          // Ended, or not ours any more: either way nothing to wait for.
          if (r == pids_[i] || (r < 0 && errno == ECHILD)) {
            pids_[i] = pids_.back();
            pids_.pop_back();
          } else {
            ++i;
          }
        }
        if (pids_.empty()) {
          running_ = false;
          return;
        }
      }
      SleepMs(20);
    }
  }
  std::mutex lock_;
  std::vector<pid_t> pids_;
  bool running_ = false;
  std::atomic<bool> stop_{false};
  Thread thread_;
};

Reaper& TheReaper() {
  static Reaper reaper;
  return reaper;
}

}  // namespace

bool TryReap(pid_t pid, int* exitCode) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid) return false;
  if (exitCode) *exitCode = ExitCodeOf(status);
  return true;
}

void KillAndReap(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void ReapLater(pid_t pid) {
  if (pid > 0) TheReaper().Add(pid);
}

size_t PendingReaps() { return TheReaper().Pending(); }

MemoryFigures ParseMemoryFigures(const std::string& statusText) {
  MemoryFigures f;
  uint64_t anonKb = 0, swapKb = 0;
  std::istringstream in(statusText);
  std::string line;
  while (std::getline(in, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    uint64_t* slot = key == "VmRSS"     ? &f.residentKb
                     : key == "VmHWM"   ? &f.peakResidentKb
                     : key == "RssAnon" ? &anonKb
                     : key == "VmSwap"  ? &swapKb
                                        : nullptr;
    if (!slot) continue;
    *slot = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
  }
  f.privateKb = anonKb + swapKb;
  f.peakPrivateKb = f.privateKb;
  return f;
}

bool ReadMemoryFigures(MemoryFigures* out) {
  static std::atomic<uint64_t> peakPrivateKb{0};
  std::ifstream in("/proc/self/status");
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  *out = ParseMemoryFigures(text.str());
  uint64_t peak = peakPrivateKb.load();
  while (peak < out->privateKb && !peakPrivateKb.compare_exchange_weak(peak, out->privateKb)) {
  }
  out->peakPrivateKb = std::max(peak, out->privateKb);
  return true;
}

bool DiskSpace(const std::string& path, uint64_t* totalBytes, uint64_t* freeBytes) {
  struct statvfs s {};
  if (::statvfs(ResolvePath(path).c_str(), &s) != 0) return false;
  *totalBytes = uint64_t(s.f_blocks) * s.f_frsize;
  *freeBytes = uint64_t(s.f_bfree) * s.f_frsize;
  return true;
}

}  // namespace plat
