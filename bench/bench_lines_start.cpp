// Start-up of an installation of 120 virtual lines sharing one script, and
// the processor the 120 lines use while their scripts wait (each polls its
// line every 50 ms, as the waiting operations do).
// The scripts are hand-built operation lists until the compiler lands; the
// start-up time is dominated by the paced loading (LOAD_DELAY / 4 + 55 ms per
// line), so the figure to watch is the time beyond that pacing.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine/oper.h"
#include "engine/telbasic.h"
#include "core/cpumeter.h"
#include "core/log.h"
#include "core/runcfg.h"
#include "engine/kxcall.h"
#include "runtime/teldrive.h"
#include "platform/tick.h"

namespace {

constexpr int kLines = 120;
constexpr int kLoadDelay = 5;

class WaitOper : public TagOper {
 public:
  explicit WaitOper(TagKxCall* call) : call_(call) { kind = kOpOperation; }
  int Execute() override {
    while (!call_->interrupted.load()) {
      call_->PollState();
      WaitMs(50);
    }
    return 0;
  }

 private:
  TagKxCall* call_;
};

uint64_t ProcessCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

struct Installation {
  std::string dir;
  std::string oldCwd;
  TagRunCfg cfg;

  Installation() {
    char tmpl[] = "/tmp/bench_lines_XXXXXX";
    dir = mkdtemp(tmpl);
    oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    std::ofstream("RoDizRun.cfg") << "VIR_LINES_NUM=" << kLines << "\nLOAD_DELAY=" << kLoadDelay << "\n0-"
                                  << kLines - 1 << "=main.kxs\n";
    logLevel = 0;
    CpuMeter().SetOverride([] { return 0; });
  }
  ~Installation() {
    std::filesystem::current_path(oldCwd);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  std::unique_ptr<TagTelDrive> Make() {
    TagTelDriveHooks hooks;
    hooks.makeInstance = [](const std::string& script, int line, TagKxCall* call) {
      auto inst = std::make_shared<TagTelBasic>(script, line, call, 0);
      inst->initResult = 0;
      auto* op = new WaitOper(call);
      op->index = 0;
      inst->AppendOperation(op);
      return inst;
    };
    return std::make_unique<TagTelDrive>("RoDizRun.cfg", &cfg, hooks);
  }

  static bool AllRunning(TagTelDrive& d) {
    for (int i = 0; i < kLines; ++i) {
      auto inst = d.Instance(i);
      if (!inst || inst->curOperIndex.load() != 0) return false;
    }
    return true;
  }
  static void WaitAllRunning(TagTelDrive& d) {
    const uint32_t start = plat::TickCount();
    while (!AllRunning(d) && plat::TickCount() - start < 120000) plat::SleepMs(5);
  }
};

// From the start of the loading until every line's script runs.
void BM_StartOf120Lines(benchmark::State& state) {
  Installation inst;
  for (auto _ : state) {
    auto drive = inst.Make();
    const uint32_t t0 = plat::TickCount();
    drive->RunStart("RoDizRun.cfg");
    Installation::WaitAllRunning(*drive);
    const uint32_t ms = plat::TickCount() - t0;
    state.SetIterationTime(ms / 1000.0);
    state.counters["pacing_ms"] = kLines * (kLoadDelay / 4 + 55);
    state.counters["beyond_pacing_ms"] = static_cast<double>(ms) - kLines * (kLoadDelay / 4 + 55);
    state.PauseTiming();
    drive.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StartOf120Lines)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// The same start with the shared script compiled on every line (a few
// hundred statements that run once and return), until every line is loaded.
void BM_StartOf120LinesCompiled(benchmark::State& state) {
  Installation inst;
  {
    std::ofstream f("main.kxs");
    f << "w = 0\n";
    for (int i = 0; i < 100; ++i)
      f << "v" << i << " = " << i << " * 3 + 1;\nif(v" << i << " > 50)\n{\nw = w + v" << i << ";\n}\n";
    f << "return(0)\n";
  }
  for (auto _ : state) {
    auto drive = std::make_unique<TagTelDrive>("RoDizRun.cfg", &inst.cfg);
    const uint32_t t0 = plat::TickCount();
    drive->RunStart("RoDizRun.cfg");
    while (drive->LoadedLines() < kLines && plat::TickCount() - t0 < 120000) plat::SleepMs(5);
    const uint32_t ms = plat::TickCount() - t0;
    state.SetIterationTime(ms / 1000.0);
    state.counters["beyond_pacing_ms"] = static_cast<double>(ms) - kLines * (kLoadDelay / 4 + 55);
    int failed = 0;
    for (int i = 0; i < kLines; ++i) {
      auto instance = drive->Instance(i);
      if (!instance || instance->initResult != 0) ++failed;
    }
    state.counters["failed_lines"] = failed;
    if (failed) {
      std::ifstream report("errmsg0.txt");
      std::string first;
      std::getline(report, first);
      state.SetLabel(first);
    }
    state.PauseTiming();
    drive.reset();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_StartOf120LinesCompiled)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Processor use of 120 waiting lines, in percent of one processor.
void BM_Idle120Lines(benchmark::State& state) {
  Installation inst;
  auto drive = inst.Make();
  drive->RunStart("RoDizRun.cfg");
  Installation::WaitAllRunning(*drive);
  for (auto _ : state) {
    const uint64_t cpu0 = ProcessCpuMs();
    const uint32_t t0 = plat::TickCount();
    plat::SleepMs(2000);
    const uint64_t cpu = ProcessCpuMs() - cpu0;
    const uint32_t wall = plat::TickCount() - t0;
    state.counters["idle_cpu_percent"] = 100.0 * static_cast<double>(cpu) / wall;
  }
  drive.reset();
}
BENCHMARK(BM_Idle120Lines)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
