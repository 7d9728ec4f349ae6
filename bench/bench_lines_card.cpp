// The card driver under the load of a full installation: 480 digital lines
// (16 E1 links), each call object waiting for a call in WaitRing on its own
// line thread. Reports the process CPU the polling uses and the card lock's
// hold time per second of wall time; and the cost of one poll of a waiting
// line.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "lines/carddrive.h"
#include "lines/cardisup.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

constexpr int kLinks = 16;
constexpr int kLines = kLinks * 30;

struct Installation {
  std::string dir;
  std::unique_ptr<TagCardIsupDrive> drive;
  std::vector<TagTelLine*> lines;

  Installation() {
    char tmpl[] = "/tmp/bench_lines_card_XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/SimCard.ini") << "[Card]\nE1Links=" << kLinks << "\nAnalogPorts=\n";
    drive = std::make_unique<TagCardIsupDrive>(dir + "/SimCard.ini");
    for (int i = 0; i < drive->telCount; ++i) lines.push_back(drive->MakeLine(i, i));
  }
  ~Installation() {
    for (TagTelLine* l : lines) drive->FreeLine(l);
    drive.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  TagCardIsupCall* Call(int i) { return static_cast<TagCardIsupCall*>(lines[static_cast<size_t>(i)]->call); }
};

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One poll of a line that waits for a call (event pump, shared push, channel state).
void BM_PollWaitingLine(benchmark::State& state) {
  Installation inst;
  std::string caller, called;
  int ch = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(inst.Call(ch)->IsRinging(caller, called));
    ch = (ch + 1) % kLines;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PollWaitingLine);

// 480 line threads in WaitRing for two seconds, then stopped.
void BM_WaitRing480(benchmark::State& state) {
  Installation inst;
  for (auto _ : state) {
    std::vector<std::unique_ptr<plat::Thread>> threads;
    uint64_t held0 = inst.drive->Card().LockHeldNs();
    uint64_t pushes0 = inst.drive->Card().PushCount();
    double cpu0 = ProcessCpuSeconds();
    uint32_t t0 = plat::TickCount();
    for (int i = 0; i < kLines; ++i) {
      TagCardIsupCall* c = inst.Call(i);
      c->interrupted = 0;
      auto t = std::make_unique<plat::Thread>();
      t->Start([c] { c->WaitRing(1); });
      threads.push_back(std::move(t));
    }
    plat::SleepMs(2000);
    for (int i = 0; i < kLines; ++i) inst.Call(i)->interrupted = 1;
    for (auto& t : threads) t->Join();
    double wall = static_cast<double>(plat::TickCount() - t0) / 1000.0;
    double cpu = ProcessCpuSeconds() - cpu0;
    double heldMs = static_cast<double>(inst.drive->Card().LockHeldNs() - held0) / 1e6;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["lock_held_ms_per_s"] = heldMs / wall;
    state.counters["pushes_per_s"] = static_cast<double>(inst.drive->Card().PushCount() - pushes0) / wall;
  }
}
BENCHMARK(BM_WaitRing480)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
