// Resident memory under calls and reloads: the 30 trunk lines of a one-link
// card, loaded by the line manager with the call flow of the sample IVR
// (wait for a call, play a prompt, take keys, read them back, hang up), take
// calls from the card's far end, all lines at once, then reload their
// scripts again and again. Resident memory is read from /proc/self/status.
// A leak grows with the work; a pool (the allocator's per-thread arenas, the
// voice and script caches) grows during the warm-up and then stays.
//
// Counters: resident MB after the warm-up calls, after all calls, after the
// first reload and after the last; the growth after the warm-up per 10,000
// calls and per reload. RODIZ_MEMORY_CALLS and RODIZ_MEMORY_RELOADS set the
// amounts (defaults 50,000 and 20); every wait is bounded.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/cpumeter.h"
#include "core/log.h"
#include "core/monitor.h"
#include "core/runcfg.h"
#include "host/operations.h"
#include "lines/carddrive.h"
#include "runtime/teldrive.h"
#include "lines/vocfile.h"
#include "platform/card/farend.h"
#include "platform/tick.h"

namespace {

constexpr int kLines = 30;
constexpr int kAnswered = 7;
constexpr int kIdle = 1;

int EnvInt(const char* name, int fallback) {
  const char* v = std::getenv(name);
  const int n = v ? std::atoi(v) : 0;
  return n > 0 ? n : fallback;
}

double ResidentMb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  return 0;
}

std::string Wave(char value, uint32_t ms) {
  std::vector<uint8_t> h = MakeWaveHeader(18, 6, ms * 8);
  return std::string(h.begin(), h.end()) + std::string(ms * 8, value);
}

const char* kScript =
    "SetSndDir(\"voc\\\\ch\\\\\", \"\", \"\");\n"
    "r = WaitRing(1);\n"
    "r = Play(\"welcome\");\n"
    "keys = \"\";\n"
    "n = GetKeys(keys, 4, 3);\n"
    "if (n > 0)\n"
    "{\n"
    "  r = PlayNumber(keys, 0);\n"
    "}\n"
    "Hangup();\n"
    "OnDisconn();\n"
    "r = 0;\n";

struct Installation {
  std::string dir;
  std::filesystem::path oldCwd = std::filesystem::current_path();
  TagRunCfg cfg;
  std::shared_ptr<TagMonitor> monitor;

  Installation() {
    char tmpl[] = "/tmp/bench_memory_XXXXXX";
    dir = mkdtemp(tmpl);
    std::filesystem::current_path(dir);
    std::ofstream("RoDizRun.cfg") << "LANGUAGE_TYPE=ENGLISH\nVIR_LINES_NUM=0\nLOAD_DELAY=0\n0-" << kLines - 1
                                  << " = ivr.kxs\n";
    std::ofstream("SimCard.ini") << "[Card]\nE1Links = 1\nSerial = 20261210\n";
    std::ofstream("ivr.kxs") << kScript;
    std::filesystem::create_directories("voc/ch");
    for (const char* stem : {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "shi", "bai", "qian"})
      std::ofstream(std::string("voc/ch/") + stem + ".WAV", std::ios::binary) << Wave('\x55', 40);
    std::ofstream("voc/ch/welcome.WAV", std::ios::binary) << Wave('\x35', 300);
    std::ofstream("voc/ch/timeout.wav", std::ios::binary) << Wave('\x45', 100);
    logLevel = 0;
    CpuMeter().SetOverride([] { return 0; });
    RegisterAllOperations();
    monitor = std::make_shared<TagMonitor>(kLines, TagMonitorSettings{});
    SetMonitor(monitor);
  }
  ~Installation() {
    SetMonitor(nullptr);
    CpuMeter().SetOverride(nullptr);
    std::filesystem::current_path(oldCwd);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

bool Until(const std::function<bool()>& cond, uint32_t timeoutMs) {
  const uint32_t start = plat::TickCount();
  for (;;) {
    if (cond()) return true;
    if (plat::TickCount() - start >= timeoutMs) return false;
    plat::SleepMs(2);
  }
}

// One call on a channel: placed, answered, released by the caller during
// the prompt or after keys, ended. What went wrong, or an empty text.
// A line still ending its last call (its own hang-up after the caller's)
// may release the next call before answering it: the caller tries again.
std::atomic<int> g_refused{0};

std::string OneCall(plat::SimCardFarEnd& far, int ch, int n) {
  const std::string c = std::to_string(ch);
  for (int attempt = 0;; ++attempt) {
    const std::string placed = far.Execute("CALL " + c + " 6789 8000");
    if (placed != "OK") return "channel " + c + ": call not placed: " + placed;
    int st = 0;
    if (!Until([&] { return (st = far.State(ch)) == kAnswered || st == kIdle; }, 60000))
      return "channel " + c + ": not answered, state " + std::to_string(far.State(ch));
    if (st == kAnswered) break;
    ++g_refused;
    if (attempt == 20) return "channel " + c + ": every call released before the answer";
    plat::SleepMs(10);
  }
  if (n % 2) far.Execute("DTMF " + c + " 12#");
  far.Execute("REL " + c + " 16");
  if (!Until([&] { return far.State(ch) == kIdle; }, 60000))
    return "channel " + c + ": never ended, state " + std::to_string(far.State(ch));
  return "";
}

// Calls on every line at once until `calls` have ended in all; samples the
// resident memory each time another `every` calls have ended.
std::string Calls(plat::SimCardFarEnd& far, int calls, int every, std::vector<double>* samples) {
  std::atomic<int> next{0}, done{0};
  std::atomic<bool> failed{false};
  std::vector<std::string> faults(kLines);
  std::vector<std::thread> callers;
  for (int ch = 0; ch < kLines; ++ch)
    callers.emplace_back([&, ch] {
      for (int n; !failed.load() && (n = next.fetch_add(1)) < calls;) {
        faults[static_cast<size_t>(ch)] = OneCall(far, ch, n);
        if (!faults[static_cast<size_t>(ch)].empty()) failed = true;
        ++done;
      }
    });
  int sampled = 0;
  while (done.load() < calls && !failed.load()) {
    if (done.load() >= sampled + every) {
      sampled += every;
      samples->push_back(ResidentMb());
    }
    plat::SleepMs(20);
  }
  for (auto& t : callers) t.join();
  samples->push_back(ResidentMb());
  for (const std::string& f : faults)
    if (!f.empty()) return f;
  return "";
}

void BM_ResidentMemoryUnderCallsAndReloads(benchmark::State& state) {
  const int calls = EnvInt("RODIZ_MEMORY_CALLS", 50000);
  const int reloads = EnvInt("RODIZ_MEMORY_RELOADS", 20);
  const int warmup = calls / 5;
  Installation inst;
  for (auto _ : state) {
    auto drive = std::make_unique<TagTelDrive>("RoDizRun.cfg", &inst.cfg);
    auto* card = dynamic_cast<TagCardDigitDrive*>(drive->pPhyCard.get());
    if (!card) {
      state.SkipWithError("the card did not open");
      break;
    }
    plat::SimCardFarEnd far(card->Card());
    const double before = ResidentMb();
    drive->RunStart("RoDizRun.cfg");
    if (!Until([&] { return drive->LoadedLines() == kLines; }, 120000)) {
      state.SkipWithError("the lines did not load");
      break;
    }
    std::vector<double> warm, run;
    std::string fault = Calls(far, warmup, warmup, &warm);
    if (fault.empty()) fault = Calls(far, calls - warmup, (calls - warmup) / 8, &run);
    if (!fault.empty()) {
      state.SkipWithError(("a call did not go through: " + fault).c_str());
      break;
    }
    // Each reload is followed by one call on every line: the lines are back
    // to taking calls when the memory is read.
    std::vector<double> afterReload;
    for (int r = 0; r < reloads; ++r) {
      // As the menu's reload does: on a reload thread of its own.
      drive->StartReloadThread();
      std::vector<double> one;
      if (!Until([&] { return !drive->ReloadRunning() && drive->CountReloadPending() == 0; }, 60000)) {
        state.SkipWithError("a reload did not end");
        break;
      }
      if (const std::string f = Calls(far, kLines, kLines + 1, &one); !f.empty()) {
        state.SkipWithError(("a reload did not come back to taking calls: " + f).c_str());
        break;
      }
      afterReload.push_back(one.back());
    }
    if (afterReload.size() < 2 || static_cast<int>(afterReload.size()) != reloads) break;
    state.counters["calls_released_before_answer"] = g_refused.load();
    state.counters["mb_before_start"] = before;
    state.counters["mb_after_warmup"] = warm.back();
    state.counters["mb_after_calls"] = run.back();
    state.counters["mb_after_first_reload"] = afterReload.front();
    state.counters["mb_after_last_reload"] = afterReload.back();
    state.counters["mb_per_10k_calls_after_warmup"] =
        (run.back() - warm.back()) * 10000.0 / static_cast<double>(calls - warmup);
    state.counters["mb_per_reload_after_first"] =
        (afterReload.back() - afterReload.front()) / static_cast<double>(afterReload.size() - 1);
    std::string series = "calls:";
    char buf[32];
    for (double m : run) {
      std::snprintf(buf, sizeof buf, " %.1f", m);
      series += buf;
    }
    series += " reloads:";
    for (double m : afterReload) {
      std::snprintf(buf, sizeof buf, " %.1f", m);
      series += buf;
    }
    state.SetLabel(series);
    drive.reset();
  }
}
BENCHMARK(BM_ResidentMemoryUnderCallsAndReloads)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
