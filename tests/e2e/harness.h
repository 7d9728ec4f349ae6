#pragma once
// Runs the real program on a temporary installation: writes its files, starts
// rodiz headless through a link in the installation folder (as samples/ does),
// waits for what it writes, and stops it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "lines/vocfile.h"
#include "tests/support/free_port.h"
#include "tests/support/tempdir.h"
#include "tests/support/waitfor.h"

extern char** environ;

namespace e2e {

namespace fs = std::filesystem;

inline std::string ProgramPath() { return std::string(RODIZ_BINARY_DIR) + "/host/gui/rodiz"; }
// The program with a test double of the line manager in place of the lines.
inline std::string FakeLinesProgramPath() { return std::string(RODIZ_BINARY_DIR) + "/tests/e2e/rodiz_fakelines"; }

using testsupport::WaitFor;

// A port free for TCP and UDP, outside the range the kernel hands out.
inline int FreePort() { return testsupport::FreePort(); }

// An A-law voice of ms milliseconds, every sample the same byte.
inline std::string VoiceWave(char value, uint32_t ms) {
  std::vector<uint8_t> h = MakeWaveHeader(18, 6, ms * 8);
  return std::string(h.begin(), h.end()) + std::string(ms * 8, value);
}

// The plays of a far-end "PLAYED" answer: "OK" and then one
// "file mode=.. at=.. ms=.. [ended]" per play, separated by " | ".
inline std::vector<std::string> PlaysOf(const std::string& answer) {
  std::vector<std::string> plays;
  if (answer.rfind("OK", 0) != 0) return plays;
  const std::string a = answer.size() > 3 ? answer.substr(3) : "";
  size_t pos = 0;
  while (!a.empty() && pos != std::string::npos) {
    size_t bar = a.find(" | ", pos);
    plays.push_back(a.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos));
    pos = bar == std::string::npos ? bar : bar + 3;
  }
  return plays;
}

class Installation {
 public:
  explicit Installation(const std::string& program = ProgramPath()) {
    fs::create_directories(dir_ / "run");
    fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    fs::create_symlink(program, dir_ / "rodiz");
  }
  ~Installation() { Kill(); }

  const testsupport::TempDir& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ / name; }
  void Write(const std::string& name, const std::string& bytes) const {
    fs::path p = Path(name);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    testsupport::WriteFile(p.string(), bytes);
  }
  std::string Read(const std::string& name) const { return testsupport::ReadFile(Path(name)); }
  bool Exists(const std::string& name) const { return fs::exists(Path(name)); }

  // The program's environment: no screen, boxes and shell requests recorded,
  // kernel objects private to this installation.
  std::vector<std::string> Environment() const {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string kv = *e;
      if (kv.rfind("DISPLAY=", 0) == 0 || kv.rfind("WAYLAND_DISPLAY=", 0) == 0) continue;
      env.push_back(kv);
    }
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("RODIZ_BOX_RECORD=" + Path("boxes.txt"));
    env.push_back("RODIZ_SHELL_RECORD=" + Path("shell.txt"));
    env.push_back("XDG_RUNTIME_DIR=" + Path("run"));
    env.push_back("RODIZ_KOBJ_SUFFIX=" + KobjSuffix());
    env.push_back("RODIZ_CPU_GATE=0");
    for (auto& kv : extraEnv_) env.push_back(kv);
    return env;
  }
  void AddEnv(const std::string& kv) { extraEnv_.push_back(kv); }
  // The suffix of this installation's kernel object names.
  std::string KobjSuffix() const { return "e2e" + std::to_string(::getpid()) + "_" + fs::path(dir_.path()).filename().string(); }

  // Starts the program; its standard output and error go to stdout.txt and stderr.txt.
  pid_t Start() {
    pid_ = Spawn();
    return pid_;
  }

  // Starts another copy in the same installation; the caller waits for it.
  pid_t Spawn() {
    std::string prog = Path("rodiz");
    std::vector<std::string> env = Environment();
    std::vector<char*> envp;
    for (auto& kv : env) envp.push_back(kv.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, Path("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, Path("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    char* argv[] = {prog.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
  }

  // Sends sig and waits for the exit; the exit status, or -1 when it did not end in time.
  int Stop(int sig = SIGTERM, int timeoutMs = 60000) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, sig);
    return WaitExit(timeoutMs);
  }

  int WaitExit(int timeoutMs = 60000) {
    if (pid_ <= 0) return -1;
    int rc = WaitPid(pid_, timeoutMs);
    if (rc != -1) pid_ = -1;
    return rc;
  }

  // The exit status of a spawned copy, or -1 when it did not end in time (it is then killed).
  static int WaitPid(pid_t pid, int timeoutMs = 60000) {
    int status = 0;
    bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
    if (!ended) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void Kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

  // The text of every log file of the installation (msg_log*), concatenated.
  std::string LogText(const std::string& prefix = "msg_log") const {
    std::string all;
    std::vector<fs::path> files;
    for (auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().filename().string().rfind(prefix, 0) == 0) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (auto& f : files) all += testsupport::ReadFile(f.string());
    return all;
  }
  bool WaitForLog(const std::string& text, int timeoutMs = 20000) const {
    return WaitFor([&] { return LogText().find(text) != std::string::npos; }, timeoutMs);
  }

 private:
  testsupport::TempDir dir_;
  std::vector<std::string> extraEnv_;
  pid_t pid_ = -1;
};

}  // namespace e2e
