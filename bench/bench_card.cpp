// The software card under the load of a full installation: 480 digital lines
// (16 E1 links) each waiting for a call, polling as a waiting ISUP line does
// (event pump, the shared 200 ms card push, channel state) every 210 ms.
// Reports the process CPU used by the polling and the card lock's hold time
// per second of wall time.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/card/card.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

constexpr int kLinks = 16;
constexpr int kLines = kLinks * 30;

struct Installation {
  std::string dir;
  std::unique_ptr<plat::SimCard> card;
  uint32_t lastPush = 0;  // guarded by the card lock

  Installation() {
    char tmpl[] = "/tmp/bench_card_XXXXXX";
    dir = mkdtemp(tmpl);
    std::ofstream(dir + "/SimCard.ini") << "[Card]\nE1Links=" << kLinks << "\nAnalogPorts=\n";
    card = std::make_unique<plat::SimCard>(dir + "/SimCard.ini");
    card->Start("", "prompt.ini");
    card->IsupStart();
  }
  ~Installation() {
    card.reset();
    unlink((dir + "/SimCard.ini").c_str());
    rmdir(dir.c_str());
  }

  // One poll of a line waiting for a call.
  int Poll(int ch) {
    plat::SimCard& c = *card;
    c.IsupPump();
    {
      plat::CardLock g(c);
      uint32_t now = plat::TickCount();
      if (now - lastPush > 200) {
        c.Push();
        lastPush = now;
      }
    }
    return c.IsupChannelState(ch / 30, ch % 30);
  }
};

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Cost of one poll round over all lines on one thread.
void BM_PollRound480(benchmark::State& state) {
  Installation inst;
  int sink = 0;
  for (auto _ : state) {
    for (int ch = 0; ch < kLines; ch++) sink += inst.Poll(ch);
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_PollRound480);

// 480 line threads waiting for calls for two seconds.
void BM_WaitingLines480(benchmark::State& state) {
  Installation inst;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<plat::Thread>> threads;
    uint64_t held0 = inst.card->LockHeldNs();
    double cpu0 = ProcessCpuSeconds();
    uint32_t t0 = plat::TickCount();
    for (int ch = 0; ch < kLines; ch++) {
      auto t = std::make_unique<plat::Thread>();
      t->Start([&, ch] {
        while (!stop.load()) {
          if (inst.Poll(ch) == 9) break;
          plat::SleepMs(210);
        }
      });
      threads.push_back(std::move(t));
    }
    plat::SleepMs(2000);
    stop = true;
    for (auto& t : threads) t->Join();
    double wall = static_cast<double>(plat::TickCount() - t0) / 1000.0;
    double cpu = ProcessCpuSeconds() - cpu0;
    double heldMs = static_cast<double>(inst.card->LockHeldNs() - held0) / 1e6;
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["lock_held_ms_per_s"] = heldMs / wall;
    state.counters["pushes"] = static_cast<double>(inst.card->PushCount());
  }
}
BENCHMARK(BM_WaitingLines480)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
