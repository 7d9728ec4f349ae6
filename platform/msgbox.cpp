#include "platform/msgbox.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/text.h"

extern char** environ;

namespace plat {

namespace {

std::mutex g_mutex;
BoxHandler g_handler;
std::function<void(const std::string&)> g_diag;
std::atomic<bool> g_quiet{false};
std::atomic<bool> g_shellEnabled{true};

void AppendRecord(const char* envName, const std::string& line) {
  const char* path = std::getenv(envName);
  if (!path || !*path) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  if (FILE* f = std::fopen(path, "ae")) {
    std::fwrite(line.data(), 1, line.size(), f);
    std::fputc('\n', f);
    std::fclose(f);
  }
}

bool HasScreen() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && std::string(qpa).rfind("offscreen", 0) == 0) return false;
  const char* d = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (d && *d) || (w && *w);
}

}  // namespace

void SetBoxHandler(BoxHandler handler) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_handler = std::move(handler);
}

void SetBoxesQuiet(bool quiet) { g_quiet = quiet; }

int MessageBox(const std::string& title, const std::string& text, int flags,
               const std::function<bool()>& cancelled) {
  AppendRecord("RODIZ_BOX_RECORD", GbkToUtf8(title) + ": " + GbkToUtf8(text));
  BoxHandler handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    handler = g_handler;
  }
  int fallback = (flags & 0x0F) == kBoxYesNo ? kIdNo : kIdOk;
  if (!handler || g_quiet || !HasScreen()) {
    Diag(title + ": " + text);
    return fallback;
  }
  return handler(title, text, flags, cancelled);
}

void SetShellEnabled(bool enabled) { g_shellEnabled = enabled; }

void ShellOpen(const std::string& target) {
  AppendRecord("RODIZ_SHELL_RECORD", GbkToUtf8(target));
  if (!g_shellEnabled || !HasScreen()) {
    Diag("open: " + target);
    return;
  }
  // Double fork so the opener is never our child to reap.
  std::string arg = GbkToUtf8(target);
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::fork() == 0) {
      ::setsid();
      char* argv[] = {const_cast<char*>("xdg-open"), arg.data(), nullptr};
      ::execvp("xdg-open", argv);
      ::_exit(127);
    }
    ::_exit(0);
  }
  if (pid > 0) ::waitpid(pid, nullptr, 0);
}

void SetDiagSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_diag = std::move(sink);
}

void Diag(const std::string& text) {
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    sink = g_diag;
  }
  if (sink)
    sink(text);
  else
    WriteTerminal(stderr, text + "\n");
}

}  // namespace plat
