#include "host/app.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "core/linemanager.h"
#include "core/log.h"
#include "core/runcfg.h"
#include "platform/instance.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"

namespace {

std::unique_ptr<plat::InstanceLock> g_instance;
int g_signalPipe[2] = {-1, -1};
std::mutex g_hookLock;
std::function<void()> g_exitHook;

void OnExitSignal(int sig) {
  int saved = errno;
  exitRequested.store(true);
  unsigned char b = static_cast<unsigned char>(sig);
  if (g_signalPipe[1] >= 0) (void)!::write(g_signalPipe[1], &b, 1);
  errno = saved;
}

}  // namespace

std::string ProductName(int language) { return language == 1 ? "Corvane CTI Server" : GBK("Tarnwick语音平台"); }

std::string VersionText() { return "Ver 3.2.0-CardIsup"; }

bool AcquireInstance() {
  if (!g_instance) g_instance = std::make_unique<plat::InstanceLock>(kInstanceMutexName);
  return g_instance->Acquire();
}

int SecondInstance() {
  plat::MessageBox(ProductName(0), GBK("程序已经启动！"), plat::kBoxIconError);
  plat::NamedEvent show;
  if (show.Open("RoDiz Show")) {
    show.Set();
    plat::SleepMs(130);
    show.Close();
  }
  return -1;
}

bool PrepareStart(const char* argv0) {
  std::string dir = plat::ProgramDir(argv0);
  if (!dir.empty() && ::chdir(dir.c_str()) != 0) return false;
  // Quiet: the line manager reads the file again, and reports its faults
  // once the log exists.
  ReadCfgFile("RoDizRun.cfg", &runCfg, true);
  logLevel.store(runCfg.isWriteLog);
  SetLogWriter(std::make_shared<TagWriteLog>(runCfg.logFile, runCfg.logSize, runCfg.isImmediateLog != 0,
                                             runCfg.isWriteLog <= 0));
  plat::SetDiagSink([](const std::string& t) { LogAlways(t); });
  return true;
}

int InstallExitSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  if (g_signalPipe[0] < 0 && ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction sa{};
  sa.sa_handler = OnExitSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
  return g_signalPipe[0];
}

int DrainExitSignals(int fd) {
  int n = 0;
  unsigned char buf[32];
  ssize_t r;
  while ((r = ::read(fd, buf, sizeof buf)) > 0) n += static_cast<int>(r);
  return n;
}

void SetExitHook(std::function<void()> hook) {
  std::lock_guard<std::mutex> l(g_hookLock);
  g_exitHook = std::move(hook);
}

void Exit() {
  RawLog("Exit()!");
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> l(g_hookLock);
    hook = g_exitHook;
  }
  if (hook) hook();
}
