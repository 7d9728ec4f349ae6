// What the line monitor costs the run loop (DispRunLine after every
// statement), the display tick and the remote monitor's frames.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "core/monitor.h"
#include "host/remotectrl.h"

namespace {

constexpr int kStatements = 200;

std::shared_ptr<TagRunSource> Source() {
  std::vector<std::string> texts;
  for (int i = 0; i < kStatements; ++i) texts.push_back("Play(\"prompt" + std::to_string(i) + ".wav\"); // step");
  return std::make_shared<TagRunTexts>(std::move(texts));
}

// A running system with as many lines as the benchmark's argument.
void InstallMonitor(const benchmark::State& state) {
  int lines = static_cast<int>(state.range(0));
  auto m = std::make_shared<TagMonitor>(lines, TagMonitorSettings{});
  auto src = Source();
  for (int line = 0; line < lines; ++line) m->SetRunSource(line, src);
  SetMonitor(m);
  isCloseing.store(false);
}

void RemoveMonitor(const benchmark::State&) {
  SetMonitor(nullptr);
  isCloseing.store(true);
}

// One statement's notification on each line's own thread.
void BM_DispRunLine(benchmark::State& state) {
  int lines = static_cast<int>(state.range(0));
  int line = state.thread_index() % lines;
  int statement = 0;
  for (auto _ : state) {
    DispRunLine(statement, line);
    statement = statement + 1 == kStatements ? 0 : statement + 1;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DispRunLine)->Arg(1)->Threads(1)->Setup(InstallMonitor)->Teardown(RemoveMonitor);
BENCHMARK(BM_DispRunLine)->Arg(240)->Threads(240)->Setup(InstallMonitor)->Teardown(RemoveMonitor)->UseRealTime();

// The display tick's work when every line moved to another statement.
void BM_TickAllLinesMoved(benchmark::State& state) {
  int lines = static_cast<int>(state.range(0));
  TagMonitor m(lines, TagMonitorSettings{});
  auto src = Source();
  for (int line = 0; line < lines; ++line) m.SetRunSource(line, src);
  int statement = 0;
  for (auto _ : state) {
    statement = (statement + 1) % kStatements;
    for (int line = 0; line < lines; ++line) m.PublishRun(line, TagRunMark{statement, statement, -1, false, false});
    benchmark::DoNotOptimize(m.TakeChanges());
  }
}
BENCHMARK(BM_TickAllLinesMoved)->Arg(240)->Unit(benchmark::kMicrosecond);

// A console's first frame over 700 busy lines (every cell changed).
void BM_RemoteFrame(benchmark::State& state) {
  const int lines = 700;
  auto m = std::make_shared<TagMonitor>(lines, TagMonitorSettings{});
  for (int line = 0; line < lines; ++line) {
    for (int cell = 0; cell < kCellCount; ++cell) m->SetCellText(std::string(30, 'a' + cell), line, cell);
  }
  TagRemoteCtrl server(lines, 0, 0, m);
  server.SetStatusText("Connected:10.2: Ex:8.1, In:0, Vir:2, Ip:0.0");
  for (auto _ : state) {
    state.PauseTiming();
    TagRemoteConn conn(-1, "127.0.0.1", lines);
    state.ResumeTiming();
    size_t bytes = 0;
    for (;;) {
      std::string f = server.BuildFrame(conn);
      bytes += f.size();
      if (f.size() < 600) break;  // only the end record and the status left
    }
    benchmark::DoNotOptimize(bytes);
  }
}
BENCHMARK(BM_RemoteFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
