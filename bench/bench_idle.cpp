// What waiting lines cost: the share of one core the process uses (its CPU
// time over wall time) while
//   - trunk lines of the software card wait for a call in WaitRing, and
//   - virtual lines wait in "GetKeys(" for keys typed into their cells.
// Two forms of each: the waiting operation alone on a bare thread per line,
// and the real thing, the line manager loading a script on every line and
// running it on its line thread with the run loop (which also publishes the
// line's state and polls its timers). Compare core_percent_per_100_lines.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/cpumeter.h"
#include "core/log.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "engine/keyword.h"
#include "engine/kxcall.h"
#include "engine/opfactory.h"
#include "engine/telbasic.h"
#include "host/operations.h"
#include "lines/carddrive.h"
#include "lines/cardisup.h"
#include "runtime/teldrive.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

constexpr uint32_t kWaitMs = 3000;

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/bench_idle_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// Measures the process while the lines wait for kWaitMs, then ends them.
template <typename End>
void MeasureWaiting(benchmark::State& state, std::vector<std::unique_ptr<plat::Thread>>& threads, End end) {
  plat::SleepMs(300);  // every thread started and asleep
  const double cpu0 = ProcessCpuSeconds();
  const uint32_t t0 = plat::TickCount();
  plat::SleepMs(kWaitMs);
  const double wall = static_cast<double>(plat::TickCount() - t0) / 1000.0;
  const double cpu = ProcessCpuSeconds() - cpu0;
  end();
  for (auto& t : threads) t->Join();
  state.counters["core_percent"] = 100.0 * cpu / wall;
  state.counters["lines"] = static_cast<double>(threads.size());
  state.counters["core_percent_per_100_lines"] = 100.0 * 100.0 * cpu / wall / static_cast<double>(threads.size());
}

void BM_TrunkLinesWaitingForCalls(benchmark::State& state) {
  const int links = static_cast<int>(state.range(0));
  TempDir dir;
  std::ofstream(dir.path + "/SimCard.ini") << "[Card]\nE1Links=" << links << "\nAnalogPorts=\n";
  TagCardIsupDrive drive(dir.path + "/SimCard.ini");
  std::vector<TagTelLine*> lines;
  for (int i = 0; i < drive.telCount; ++i) lines.push_back(drive.MakeLine(i, i));
  if (static_cast<int>(lines.size()) != links * 30) {
    state.SkipWithError("the card did not give every channel");
    for (TagTelLine* l : lines) drive.FreeLine(l);
    return;
  }
  for (auto _ : state) {
    std::vector<std::unique_ptr<plat::Thread>> threads;
    for (TagTelLine* l : lines) {
      auto* c = static_cast<TagCardIsupCall*>(l->call);
      c->interrupted = 0;
      threads.push_back(std::make_unique<plat::Thread>());
      threads.back()->Start([c] { c->WaitRing(1); });
    }
    MeasureWaiting(state, threads, [&] {
      for (TagTelLine* l : lines) l->call->interrupted = 1;
    });
  }
  for (TagTelLine* l : lines) drive.FreeLine(l);
}
BENCHMARK(BM_TrunkLinesWaitingForCalls)->Arg(4)->Arg(16)->Arg(32)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

class VirtualCall : public TagKxCall {
 public:
  explicit VirtualCall(int line) {
    lineNo = line;
    lineType = kLineVir;
    callState = kCallConnected;
  }
};

// One virtual line: its call object, script instance and "GetKeys(" with no
// time-out.
struct VirtualLine {
  VirtualCall call;
  std::unique_ptr<TagTelBasic> inst;
  TagVar keys, max, seconds;
  std::vector<TagVar*> args{&keys, &max, &seconds};
  std::unique_ptr<TagOper> getKeys;
  explicit VirtualLine(int line) : call(line) {
    inst = std::make_unique<TagTelBasic>("none.kxs", line, &call, 0);
    inst->initResult = 0;
    keys.SetString("");
    max.SetInt(5);
    seconds.SetInt(0);
    const RecKeyword& kw = KeywordRec(KeywordId::GetKeys);
    getKeys.reset(TagOpFactory::Instance().Make(TagOpArgs{kw, args, inst.get(), inst.get(), kLineVir, line}));
  }
  ~VirtualLine() {
    getKeys.reset();
    inst.reset();
  }
};

void BM_VirtualLinesWaitingForKeys(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  TempDir dir;
  const auto old = std::filesystem::current_path();
  std::filesystem::current_path(dir.path);
  std::ofstream("none.kxs") << "return(0)\n";
  RegisterAllOperations();
  auto monitor = std::make_shared<TagMonitor>(count, TagMonitorSettings{});
  SetMonitor(monitor);
  {
    std::vector<std::unique_ptr<VirtualLine>> lines;
    for (int i = 0; i < count; ++i) lines.push_back(std::make_unique<VirtualLine>(i));
    for (auto _ : state) {
      std::vector<std::unique_ptr<plat::Thread>> threads;
      for (auto& l : lines) {
        l->inst->stopRequested = 0;
        VirtualLine* p = l.get();
        threads.push_back(std::make_unique<plat::Thread>());
        threads.back()->Start([p] { p->getKeys->Execute(); });
      }
      MeasureWaiting(state, threads, [&] {
        for (auto& l : lines) l->inst->stopRequested = 1;
      });
    }
  }
  SetMonitor(nullptr);
  std::filesystem::current_path(old);
}
BENCHMARK(BM_VirtualLinesWaitingForKeys)->Arg(120)->Arg(480)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// An installation in a folder of its own: the card with `links` E1 links
// (none: no SimCard.ini), `virtualLines` virtual lines, a script for each
// kind, loaded by the line manager as the program does.
struct LineManagerInstallation {
  TempDir dir;
  std::filesystem::path oldCwd = std::filesystem::current_path();
  TagRunCfg cfg;
  std::shared_ptr<TagMonitor> monitor;
  int lines;

  LineManagerInstallation(int links, int virtualLines) : lines(links * 30 + virtualLines) {
    std::filesystem::current_path(dir.path);
    if (links > 0) std::ofstream("SimCard.ini") << "[Card]\nE1Links=" << links << "\nAnalogPorts=\n";
    std::ofstream("trunk.kxs") << "r = WaitRing(1);\n";
    std::ofstream("keys.kxs") << "keys = \"\";\nn = GetKeys(keys, 5, 0);\n";
    std::ofstream cfgFile("RoDizRun.cfg");
    cfgFile << "VIR_LINES_NUM=" << virtualLines << "\nLOAD_DELAY=0\n";
    if (links > 0) cfgFile << "0-" << links * 30 - 1 << "=trunk.kxs\n";
    if (virtualLines > 0) cfgFile << links * 30 << "-" << lines - 1 << "=keys.kxs\n";
    cfgFile.close();
    logLevel = 0;
    // The load pacing reads the process's processor use: on a shared machine
    // that is this benchmark's own, never another program's.
    CpuMeter().SetOverride([] { return 0; });
    RegisterAllOperations();
    monitor = std::make_shared<TagMonitor>(lines, TagMonitorSettings{});
    SetMonitor(monitor);
  }
  ~LineManagerInstallation() {
    SetMonitor(nullptr);
    CpuMeter().SetOverride(nullptr);
    std::filesystem::current_path(oldCwd);
  }
};

// True once every line runs its script and stands in its waiting statement.
bool AllWaiting(TagTelDrive& drive, int lines, int firstVirtual) {
  for (int i = 0; i < lines; ++i) {
    auto inst = drive.Instance(i);
    if (!inst || inst->curOperIndex.load() != (i < firstVirtual ? 0 : 1)) return false;
  }
  return true;
}

void MeasureLineManager(benchmark::State& state, int links, int virtualLines) {
  LineManagerInstallation inst(links, virtualLines);
  for (auto _ : state) {
    auto drive = std::make_unique<TagTelDrive>("RoDizRun.cfg", &inst.cfg);
    drive->RunStart("RoDizRun.cfg");
    // Loading is paced (55 ms a line, then each run thread's own start
    // delay): wait, bounded, until every line waits in its statement.
    const uint32_t start = plat::TickCount();
    bool ready = false;
    while (!(ready = AllWaiting(*drive, inst.lines, links * 30)) && plat::TickCount() - start < 300000)
      plat::SleepMs(20);
    if (!ready) {
      state.SkipWithError("not every line reached its waiting statement");
      break;
    }
    plat::SleepMs(300);
    const double cpu0 = ProcessCpuSeconds();
    const uint32_t t0 = plat::TickCount();
    plat::SleepMs(kWaitMs);
    const double wall = static_cast<double>(plat::TickCount() - t0) / 1000.0;
    const double cpu = ProcessCpuSeconds() - cpu0;
    state.counters["core_percent"] = 100.0 * cpu / wall;
    state.counters["lines"] = inst.lines;
    state.counters["core_percent_per_100_lines"] = 100.0 * 100.0 * cpu / wall / inst.lines;
    drive.reset();
  }
}

void BM_TrunkLinesOfTheLineManagerWaitingForCalls(benchmark::State& state) {
  MeasureLineManager(state, static_cast<int>(state.range(0)), 0);
}
BENCHMARK(BM_TrunkLinesOfTheLineManagerWaitingForCalls)->Arg(4)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VirtualLinesOfTheLineManagerWaitingForKeys(benchmark::State& state) {
  MeasureLineManager(state, 0, static_cast<int>(state.range(0)));
}
BENCHMARK(BM_VirtualLinesOfTheLineManagerWaitingForKeys)->Arg(120)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
