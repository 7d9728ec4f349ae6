// The program: runs from its own folder, reads RoDizRun.cfg and writes the
// log until it is asked to stop.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>

#include "host/log.h"
#include "host/runcfg.h"
#include "platform/msgbox.h"
#include "platform/path.h"
#include "platform/tick.h"

namespace {
std::atomic<bool> g_quit{false};
void OnSignal(int) { g_quit = true; }
}  // namespace

int main(int argc, char** argv) {
  std::string dir = plat::ProgramDir(argc > 0 ? argv[0] : nullptr);
  if (chdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "rodiz: cannot enter %s\n", dir.c_str());
    return 1;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  signal(SIGHUP, OnSignal);

  ReadCfgFile("RoDizRun.cfg", &runCfg);
  logLevel = runCfg.isWriteLog;
  SetLogWriter(std::make_shared<TagWriteLog>(runCfg.logFile, runCfg.logSize, runCfg.isImmediateLog != 0,
                                             logLevel <= 0));
  plat::SetDiagSink([](const std::string& t) { LogAlways(t); });
  std::printf("rodiz: running in %s, log %s\n", dir.c_str(), GetLogWriter()->FileName().c_str());
  std::fflush(stdout);
  LogAlways("[rodiz started]");
  while (!g_quit) {
    plat::SleepMs(static_cast<uint32_t>(runCfg.dispDelay));
    if (auto w = GetLogWriter()) w->Flush();
  }
  LogAlways("[rodiz stopping]");
  SetLogWriter(nullptr);
  std::printf("rodiz: stopped\n");
  return 0;
}
